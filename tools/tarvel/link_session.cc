#include "link_session.h"

#include <cstdio>
#include <optional>

#include "event_watch.h"
#include "system.h"
#include "tarvel.h"
#include "terminal_text.h"

namespace tarvel_cli {

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
  bool opened = false;
  {
    // An outgoing Bluetooth connect may take many seconds: a stop signal
    // closes the port, which ends it.
    StopClosesPort interruptible;
    opened = TarvelPortOpen(options.port) == TARVEL_DONE;
  }
  if (!opened) {
    std::optional<std::string> reason = CallFailure();
    Complain(reason ? *reason : "cannot open " + DescribePort(options));
    return false;
  }
  return true;
}

int Complain(const std::string& message) {
  std::fprintf(stderr, "tarvel: %s\n", Shown(message).c_str());
  return 1;
}

void Tell(const CommonOptions& options, const std::string& message) {
  if (!options.quiet) std::fprintf(stderr, "%s\n", Shown(message).c_str());
}

StopClosesPort::StopClosesPort() : onStop_([] { TarvelPortClose(); }) {}

}  // namespace tarvel_cli
