#include "link_session.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "command_link.h"
#include "event_watch.h"
#include "system.h"
#include "tarvel.h"
#include "terminal_text.h"

namespace tarvel_cli {
namespace {

const auto commandStart = std::chrono::steady_clock::now();

}  // namespace

bool OpenLink(const CommonOptions& options) {
  std::string error;
  if (!ApplyCommonOptions(options, &error)) {
    Complain(error);
    return false;
  }
  // The library's own words would name the port by its number: a tty that
  // is missing or forbidden is named as the user named it, with the remedy.
  std::string device = DescribePort(options);
  if (DeviceNamed(options) && device.rfind("bluetooth:", 0) != 0) {
    if (std::optional<std::string> problem = DeviceProblem(device)) {
      Complain(*problem);
      return false;
    }
  }
  std::string root = LinkSetting("root");
  Verbose(options, "device root: " + (!root.empty() ? root : std::string(".")));
  Verbose(options, "opening " + DescribePort(options));
  auto start = std::chrono::steady_clock::now();
  bool opened = false;
  {
    // An outgoing Bluetooth connect may take many seconds: a stop signal
    // closes the port, which ends it.
    StopClosesPort interruptible;
    opened = TarvelLinkPortOpen(CommandLink(), options.port) == TARVEL_DONE;
  }
  if (!opened) {
    std::optional<std::string> reason = CallFailure();
    Complain(reason ? *reason : "cannot open " + DescribePort(options));
    return false;
  }
  auto took = std::chrono::steady_clock::now() - start;
  Verbose(options,
          "opened in " +
              std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()) +
              " ms");
  return true;
}

int Complain(const std::string& message) {
  std::fprintf(stderr, "tarvel: %s\n", Shown(message).c_str());
  return 1;
}

void Tell(const CommonOptions& options, const std::string& message) {
  if (!options.quiet) std::fprintf(stderr, "%s\n", Shown(message).c_str());
}

void Verbose(const CommonOptions& options, const std::string& message) {
  if (!options.verbose) return;
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - commandStart).count();
  std::fprintf(stderr, "tarvel: +%.3f %s\n", seconds, Shown(message).c_str());
  std::fflush(stderr);
}

StopClosesPort::StopClosesPort() : onStop_([] { TarvelLinkPortClose(CommandLink()); }) {}

}  // namespace tarvel_cli
