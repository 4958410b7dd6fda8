// SPDX-License-Identifier: MIT
// The facts of a POSIX system the command needs beyond the library.
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "system.h"

extern char** environ;

namespace tarvel_cli {

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::optional<std::string> EnvironmentVariable(const std::string& name) {
  const char* value = getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::map<std::string, std::string> TarvelVariables(const std::string& prefix) {
  std::map<std::string, std::string> found;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string variable = *entry;
    size_t equals = variable.find('=');
    if (equals == std::string::npos || variable.compare(0, prefix.size(), prefix) != 0) continue;
    found.emplace(variable.substr(0, equals), variable.substr(equals + 1));
  }
  return found;
}

std::tm LocalTime(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  return local;
}

bool StandardErrorIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

std::string DefaultDevice(int port) {
  return "/dev/rfcomm" + std::to_string(port);
}

// The file the library keeps its registry values in.
std::string RegistryLocation() {
  auto set = [](const char* name) -> const char* {
    const char* value = getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
  };
  if (const char* path = set("TARVEL_REGISTRY")) return path;
  if (const char* config = set("XDG_CONFIG_HOME"); config && config[0] == '/') {
    return std::string(config) + "/tarvel/registry.reg";
  }
  if (const char* home = set("HOME")) return std::string(home) + "/.config/tarvel/registry.reg";
  return "(none)";
}

std::string HomeFolder() {
  const char* home = getenv("HOME");
  return home != nullptr ? home : "";
}

std::string SystemConfigFile() {
  return "/etc/tarvel.conf";
}

std::string UserConfigFile() {
  const char* config = getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return std::string(config) + "/tarvel/config";
  std::string home = HomeFolder();
  return home.empty() ? std::string() : home + "/.config/tarvel/config";
}

namespace {

bool InGroup(gid_t group) {
  if (getegid() == group) return true;
  int count = getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  count = getgroups(count, groups.data());
  for (int i = 0; i < count; ++i) {
    if (groups[static_cast<size_t>(i)] == group) return true;
  }
  return false;
}

// The advice for a tty this user may not open: the group that may.
std::string PermissionAdvice(const std::string& device, const struct stat& status) {
  std::string reason = "cannot open " + device + ": " + std::strerror(EACCES);
  const group* owner = getgrgid(status.st_gid);
  if (owner == nullptr || (status.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
    return reason;
  std::string name = owner->gr_name;
  if (InGroup(status.st_gid)) return reason;
  return reason + ": the group " + name + " may use it; add yourself to the group " + name +
         " (sudo adduser $USER " + name + ") and log in again";
}

}  // namespace

std::optional<std::string> DeviceProblem(const std::string& device) {
  struct stat status {};
  if (stat(device.c_str(), &status) != 0) {
    return "cannot open " + device + ": " + std::strerror(errno);
  }
  if (S_ISDIR(status.st_mode)) return "cannot open " + device + ": it is a folder, not a tty";
  if (access(device.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
    return PermissionAdvice(device, status);
  }
  if (S_ISREG(status.st_mode)) return "cannot open " + device + ": it is a file, not a tty";
  return std::nullopt;
}

std::string MissingBluetoothService() {
  return "Bluetooth service (bluetoothd) is not running";
}

}  // namespace tarvel_cli
