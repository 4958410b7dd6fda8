// The built tarvel command run as a real process, its output captured in files.
// The destructor kills a process still running, so a failed test leaves none.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace tarvel::testing {

class TarvelProcess {
 public:
  // Starts tarvel with `arguments`; `environment` adds to or replaces the
  // test's own variables. It runs in `workingDirectory`, or in the test's own.
  TarvelProcess(const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>& environment,
                const std::string& workingDirectory = std::string());
  ~TarvelProcess();
  TarvelProcess(const TarvelProcess&) = delete;
  TarvelProcess& operator=(const TarvelProcess&) = delete;

  // The exit status (128 + signal number for a killed process), or nothing when
  // it is still running after `limit`.
  std::optional<int> Wait(std::chrono::milliseconds limit);
  // Waits until standard output (or error) holds `text`; false after `limit`.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit);
  bool WaitForError(const std::string& text, std::chrono::milliseconds limit);
  void Signal(int number);

  std::string Output() const { return ReadWholeFile(outputPath_); }
  std::string Error() const { return ReadWholeFile(errorPath_); }

 private:
  TempDir captured_;
  std::string outputPath_;
  std::string errorPath_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

struct Finished {
  int status;  // -1 when it did not end within the limit
  std::string output;
  std::string error;
};

// Runs tarvel to its end, or kills it after `limit`.
Finished RunTarvel(const std::vector<std::string>& arguments,
                   const std::map<std::string, std::string>& environment,
                   std::chrono::milliseconds limit);

}  // namespace tarvel::testing
