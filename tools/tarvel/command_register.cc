// tarvel register: write the incoming Bluetooth serial port settings.
#include <CLI/CLI.hpp>
#include <cstdlib>

#include "commands.h"
#include "link_session.h"
#include "status_watch.h"
#include "tarvel.h"

namespace tarvel_cli {
namespace {

// The file the library keeps its registry values in.
std::string RegistryFile() {
  auto set = [](const char* name) -> const char* {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
  };
  if (const char* path = set("TARVEL_REGISTRY")) return path;
  if (const char* config = set("XDG_CONFIG_HOME"); config && config[0] == '/') {
    return std::string(config) + "/tarvel/registry.reg";
  }
  if (const char* home = set("HOME")) return std::string(home) + "/.config/tarvel/registry.reg";
  return "(none)";
}

int Register(const CommonOptions& options) {
  std::string error;
  if (!ApplyCommonOptions(options, &error)) return Complain(error);
  BlankStatus();
  TarvelPortCreate();
  if (ReportedFailure(CurrentStatus())) return 1;
  Tell(options, "registered the incoming serial port settings in " + RegistryFile());
  return 0;
}

}  // namespace

void AddRegisterCommand(CLI::App& app, const CommonOptions& options, CommandList& commands) {
  auto* command =
      app.add_subcommand("register", "write the incoming Bluetooth serial port settings");
  command->footer(
      "Writes Server, Authentication, Encryption, RemoteDCB, KeepDCD and Port to the registry\n"
      "file: TARVEL_REGISTRY, or $XDG_CONFIG_HOME/tarvel/registry.reg. Opens no port.");
  commands.push_back({command, [&options] { return Register(options); }});
}

}  // namespace tarvel_cli
