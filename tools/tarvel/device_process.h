// SPDX-License-Identifier: MIT
// One device of the demo: a `tarvel agent` child process with its own library
// state, its own port end and its own device root, driven over two pipes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "progress_display.h"
#include "unique_fd.h"

namespace tarvel_cli {

struct AgentReply {
  bool ok = false;
  std::string text;  // the result as shown, or why it failed
  std::string kind;  // of a result: "text" for a peer's text, else "result"
};

class DeviceProcess {
 public:
  // Starts `program agent` with `options` before the subcommand and waits for
  // it to report ready; nothing, saying why, when it does not.
  static std::unique_ptr<DeviceProcess> Start(const std::string& name, const std::string& program,
                                              const std::vector<std::string>& options,
                                              std::string* error);
  // Asks the agent to end and waits for it; kills it if it does not.
  ~DeviceProcess();
  DeviceProcess(const DeviceProcess&) = delete;
  DeviceProcess& operator=(const DeviceProcess&) = delete;

  const std::string& name() const { return name_; }

  // Sends one request and waits up to `limit` for its reply. Progress lines
  // that arrive meanwhile go to `progress`.
  AgentReply Ask(const std::vector<std::string>& request, ProgressSink& progress,
                 std::chrono::milliseconds limit);

 private:
  DeviceProcess(std::string name, pid_t pid, UniqueFd input, UniqueFd output);
  enum class LineEnd { Line, TimedOut, Closed, Stopped };
  LineEnd ReadLine(std::chrono::steady_clock::time_point deadline, std::string* line);
  bool WaitForExit(std::chrono::milliseconds limit);

  std::string name_;
  pid_t pid_;
  UniqueFd input_;   // the agent's standard input
  UniqueFd output_;  // the agent's standard output
  std::string pending_;
};

}  // namespace tarvel_cli
