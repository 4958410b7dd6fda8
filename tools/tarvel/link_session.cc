#include "link_session.h"

#include <cstdio>
#include <optional>

#include "event_watch.h"
#include "tarvel.h"
#include "terminal_text.h"

namespace tarvel_cli {

bool OpenLink(const CommonOptions& options) {
  std::string error;
  if (!ApplyCommonOptions(options, &error)) {
    Complain(error);
    return false;
  }
  if (TarvelPortOpen(options.port) != TARVEL_DONE) {
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
