#include "tarvel_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

extern char** environ;

namespace tarvel::testing {
namespace {

constexpr auto kPollEvery = std::chrono::milliseconds(20);

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& changes) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    size_t equals = text.find('=');
    if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
  }
  // No config file of this machine or user reaches a test unless it names one.
  merged["TARVEL_SYSTEM_CONFIG"] = "";
  merged["TARVEL_CONFIG"] = "";
  for (const auto& [name, value] : changes) merged[name] = value;
  std::vector<std::string> result;
  for (const auto& [name, value] : merged) result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> Pointers(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

int StatusOf(int waited) {
  return WIFEXITED(waited) ? WEXITSTATUS(waited) : 128 + WTERMSIG(waited);
}

}  // namespace

TarvelProcess::TarvelProcess(const std::vector<std::string>& arguments,
                             const std::map<std::string, std::string>& environment,
                             const std::string& workingDirectory)
    : outputPath_(captured_ / "stdout"), errorPath_(captured_ / "stderr") {
  std::vector<std::string> words{TARVEL_PROGRAM};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<std::string> variables = MergedEnvironment(environment);
  std::vector<char*> argv = Pointers(words);
  std::vector<char*> envp = Pointers(variables);
  int output = open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int error = open(errorPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(input, STDIN_FILENO);
    dup2(output, STDOUT_FILENO);
    dup2(error, STDERR_FILENO);
    if (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0) _exit(127);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(input);
  close(output);
  close(error);
  if (pid_ < 0) throw std::runtime_error("cannot start tarvel");
}

TarvelProcess::~TarvelProcess() {
  if (status_ || pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::optional<int> TarvelProcess::Wait(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!status_) {
    int waited = 0;
    if (waitpid(pid_, &waited, WNOHANG) == pid_) {
      status_ = StatusOf(waited);
    } else if (std::chrono::steady_clock::now() >= deadline) {
      break;
    } else {
      std::this_thread::sleep_for(kPollEvery);
    }
  }
  return status_;
}

bool TarvelProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (Output().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollEvery);
  }
  return true;
}

bool TarvelProcess::WaitForError(const std::string& text, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (Error().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollEvery);
  }
  return true;
}

void TarvelProcess::Signal(int number) {
  if (!status_) kill(pid_, number);
}

Finished RunTarvel(const std::vector<std::string>& arguments,
                   const std::map<std::string, std::string>& environment,
                   std::chrono::milliseconds limit) {
  TarvelProcess process(arguments, environment);
  std::optional<int> status = process.Wait(limit);
  return {status.value_or(-1), process.Output(), process.Error()};
}

}  // namespace tarvel::testing
