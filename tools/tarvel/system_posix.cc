#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "system.h"

namespace tarvel_cli {

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void SetEnvironment(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
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

}  // namespace tarvel_cli
