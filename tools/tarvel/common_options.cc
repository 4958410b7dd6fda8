#include "common_options.h"

#include <CLI/CLI.hpp>
#include <filesystem>

#include "command_link.h"
#include "plain_usage.h"
#include "settings.h"
#include "system.h"

namespace tarvel_cli {

void AddCommonOptions(CLI::App& app, CommonOptions& options) {
  app.add_option("--port", options.port, "COM port number; without --device it is /dev/rfcomm<N>")
      ->check(PortNumber())
      ->capture_default_str();
  app.add_option("--device", options.device,
                 "serial device to use as the port (/dev/rfcomm0, /dev/ttyUSB0, a pty), or "
                 "bluetooth:ADDR[@CHANNEL] for a paired Bluetooth peer's serial port");
  app.add_option("--root", options.root,
                 "device root: the folder that device paths like \\a.txt refer to")
      ->check(ExistingFolder());
  app.add_option("--codepage", options.codepage,
                 "8-bit code page of names and texts on the link (default Windows-1252)")
      ->check(KnownCodePageName());
  app.add_flag("-q,--quiet", options.quiet, "no progress and no chatter");
  app.add_flag("-v,--verbose", options.verbose,
               "tell on standard error what the command does: device, root, waits, timings");
}

bool ApplyCommonOptions(const CommonOptions& options, std::string* error) {
  if (std::string refused = EnvironmentRefusal(); !refused.empty()) {
    *error = refused;
    return false;
  }
  if (!options.device.empty() &&
      !SetLinkSetting("com" + std::to_string(options.port), options.device, error)) {
    return false;
  }
  if (!options.root.empty()) {
    std::error_code failure;
    std::filesystem::path root =
        std::filesystem::absolute(std::filesystem::u8path(options.root), failure);
    if (failure || !std::filesystem::is_directory(root, failure)) {
      *error = "device root " + options.root + " is not a folder";
      return false;
    }
    if (!SetLinkSetting("root", root.u8string(), error)) return false;
  }
  return options.codepage.empty() || SetLinkSetting("codepage", options.codepage, error);
}

std::optional<std::string> UseDeviceRoot(std::string* error) {
  if (std::string chosen = LinkSetting("root"); !chosen.empty()) return chosen;
  std::string home = HomeFolder();
  if (home.empty()) {
    *error = "no home folder for the device root ~/Tarvel: give --root";
    return std::nullopt;
  }
  std::filesystem::path root = std::filesystem::u8path(home) / "Tarvel";
  std::error_code failure;
  std::filesystem::create_directories(root, failure);
  if (failure || !std::filesystem::is_directory(root, failure)) {
    *error = "cannot make the device root " + root.u8string();
    return std::nullopt;
  }
  if (!SetLinkSetting("root", root.u8string(), error)) return std::nullopt;
  return root.u8string();
}

void AddClashOption(CLI::App& command, std::string& onClash) {
  command
      .add_option("--on-clash", onClash,
                  "a received file whose name is taken: overwrite it, rename the new one to\n"
                  "\"name (1).ext\", or skip it and keep the old (default overwrite)")
      ->check(OneOf({"overwrite", "rename", "skip"}));
}

std::optional<std::string> UseClashPolicy(const std::string& chosen, std::string* error) {
  if (!chosen.empty()) {
    if (!SetLinkSetting("on_clash", chosen, error)) return std::nullopt;
    return chosen;
  }
  std::string policy = LinkSetting("on_clash");
  if (policy.empty()) policy = "overwrite";
  if (policy != "overwrite" && policy != "rename" && policy != "skip") {
    *error = "TARVEL_ON_CLASH=" + policy + " is none of overwrite, rename and skip";
    return std::nullopt;
  }
  return policy;
}

std::string LinkCodePage() {
  std::string chosen = LinkSetting("codepage");
  return !chosen.empty() ? chosen : "WINDOWS-1252";
}

std::string DescribePort(const CommonOptions& options) {
  if (!options.device.empty()) return options.device;
  std::string mapped = LinkSetting("com" + std::to_string(options.port));
  return !mapped.empty() ? mapped : DefaultDevice(options.port);
}

bool DeviceNamed(const CommonOptions& options) {
  return !options.device.empty() || !LinkSetting("com" + std::to_string(options.port)).empty();
}

SettingHooks CommonSettingHooks(const CommonOptions& options) {
  SettingHooks hooks;
  hooks.environmentOf = [&options](const std::string& key) -> std::string {
    if (key == "root") return "TARVEL_ROOT";
    if (key == "codepage") return "TARVEL_CODEPAGE";
    if (key == "on-clash") return "TARVEL_ON_CLASH";
    if (key == "device") return "TARVEL_COM" + std::to_string(options.port);
    return std::string();
  };
  hooks.defaultOf = [&options](const std::string& key) -> std::string {
    if (key == "device") return DescribePort(options);
    if (key == "root") {
      if (std::string set = LinkSetting("root"); !set.empty()) return set + " from TARVEL_ROOT";
      std::string home = HomeFolder();
      return home.empty() ? std::string() : ShownPath(home, home) + "/Tarvel";
    }
    if (key == "codepage") return LinkCodePage();
    if (key == "on-clash") {
      std::string set = LinkSetting("on_clash");
      return !set.empty() ? set : "overwrite";
    }
    return std::string();
  };
  return hooks;
}

}  // namespace tarvel_cli
