#include "device_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "agent_protocol.h"
#include "stop_signal.h"

namespace tarvel_cli {
namespace {

constexpr auto kReadyLimit = std::chrono::seconds(10);

// Runs in the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void BecomeAgent(int input, int output, char* const* argv) {
  // Should the demo die without cleaning up, the agent goes with it.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  dup2(input, STDIN_FILENO);
  dup2(output, STDOUT_FILENO);
  execv(argv[0], argv);
  _exit(127);
}

}  // namespace

std::unique_ptr<DeviceProcess> DeviceProcess::Start(const std::string& name,
                                                    const std::string& program,
                                                    const std::vector<std::string>& options,
                                                    std::string* error) {
  std::vector<std::string> words{program};
  words.insert(words.end(), options.begin(), options.end());
  words.push_back("agent");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int toAgent[2];
  int fromAgent[2];
  if (pipe2(toAgent, O_CLOEXEC) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return nullptr;
  }
  UniqueFd agentInput(toAgent[0]), input(toAgent[1]);
  if (pipe2(fromAgent, O_CLOEXEC) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return nullptr;
  }
  UniqueFd output(fromAgent[0]), agentOutput(fromAgent[1]);
  pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("cannot start a device: ") + std::strerror(errno);
    return nullptr;
  }
  if (pid == 0) BecomeAgent(agentInput.get(), agentOutput.get(), argv.data());
  // The child's ends stay with the child alone, so that its end shows here.
  agentInput.Reset();
  agentOutput.Reset();

  std::unique_ptr<DeviceProcess> device(
      new DeviceProcess(name, pid, std::move(input), std::move(output)));
  std::string line;
  LineEnd end = device->ReadLine(std::chrono::steady_clock::now() + kReadyLimit, &line);
  std::vector<std::string> fields = SplitFields(line);
  if (end != LineEnd::Line || fields[0] != "ready") {
    *error = "device " + name + " did not start" +
             (fields.size() > 1 ? ": " + fields[1] : std::string());
    return nullptr;
  }
  return device;
}

DeviceProcess::DeviceProcess(std::string name, pid_t pid, UniqueFd input, UniqueFd output)
    : name_(std::move(name)), pid_(pid), input_(std::move(input)), output_(std::move(output)) {}

DeviceProcess::~DeviceProcess() {
  input_.Reset();  // end of its input: the agent closes its port and ends
  // Cut short, it may be in the middle of a wait: end it now.
  if (StopRequested()) kill(pid_, SIGTERM);
  if (WaitForExit(std::chrono::seconds(3))) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

bool DeviceProcess::WaitForExit(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  do {
    pid_t ended = waitpid(pid_, nullptr, WNOHANG);
    if (ended == pid_ || (ended < 0 && errno == ECHILD)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

DeviceProcess::LineEnd DeviceProcess::ReadLine(std::chrono::steady_clock::time_point deadline,
                                               std::string* line) {
  for (;;) {
    size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      *line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return LineEnd::Line;
    }
    if (StopRequested()) return LineEnd::Stopped;
    if (std::chrono::steady_clock::now() >= deadline) return LineEnd::TimedOut;
    pollfd ready{output_.get(), POLLIN, 0};
    if (poll(&ready, 1, 50) <= 0) continue;
    char buffer[4096];
    ssize_t count = read(output_.get(), buffer, sizeof buffer);
    if (count == 0 || (count < 0 && errno != EINTR && errno != EAGAIN)) return LineEnd::Closed;
    if (count > 0) pending_.append(buffer, static_cast<size_t>(count));
  }
}

AgentReply DeviceProcess::Ask(const std::vector<std::string>& request, ProgressSink& progress,
                              std::chrono::milliseconds limit) {
  std::string line = JoinFields(request) + "\n";
  if (write(input_.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    return {false, "device " + name_ + " is gone", {}};
  }
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    switch (ReadLine(deadline, &line)) {
      case LineEnd::Stopped:
        return {false, "interrupted", {}};
      case LineEnd::TimedOut:
        return {false, "device " + name_ + " gave no answer to " + request[0], {}};
      case LineEnd::Closed:
        return {false, "device " + name_ + " ended unexpectedly", {}};
      case LineEnd::Line:
        break;
    }
    std::vector<std::string> fields = SplitFields(line);
    if (fields[0] == "progress" && fields.size() == 3) {
      progress.Update(std::stoll(fields[1]), std::stoll(fields[2]));
    } else if (fields[0] == "progress-end") {
      bool complete = fields.size() > 1 && fields[1] == "complete";
      progress.End(complete ? TransferEnd::Complete : TransferEnd::Short);
    } else if (fields[0] == "ok" || fields[0] == "fail") {
      return {fields[0] == "ok", fields.size() > 1 ? fields[1] : std::string(),
              fields.size() > 2 ? fields[2] : std::string()};
    }
  }
}

}  // namespace tarvel_cli
