#include "link_session.h"

#include <cstdio>

#include "status_watch.h"
#include "stop_signal.h"
#include "tarvel.h"

namespace tarvel_cli {

bool OpenLink(const CommonOptions& options) {
  std::string error;
  if (!ApplyCommonOptions(options, &error)) {
    Complain(error);
    return false;
  }
  if (TarvelPortOpen(options.port) != TARVEL_DONE) {
    std::string status = CurrentStatus();
    Complain(IsFailure(status) ? FailureReason(status) : "cannot open " + DescribePort(options));
    return false;
  }
  return true;
}

int Complain(const std::string& message) {
  std::fprintf(stderr, "tarvel: %s\n", message.c_str());
  return 1;
}

void Tell(const CommonOptions& options, const std::string& message) {
  if (!options.quiet) std::fprintf(stderr, "%s\n", message.c_str());
}

bool ReportedFailure(const std::string& status) {
  if (!IsFailure(status)) return false;
  Complain(FailureReason(status));
  return true;
}

StopClosesPort::StopClosesPort() {
  watcher_ = std::thread([this] {
    while (!done_.load()) {
      if (StopRequested()) {
        TarvelPortClose();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
}

StopClosesPort::~StopClosesPort() {
  done_.store(true);
  watcher_.join();
}

}  // namespace tarvel_cli
