#include "support/fake_bluez.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace tarvel::testing {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Starts `argv` with its standard output on a new pipe, whose reading end is
// returned in `output`, and `extraEnv` added to this process's environment.
pid_t Spawn(std::vector<std::string> argv, const std::vector<std::string>& extraEnv, bool quiet,
            int* output) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  // The daemon complains that it may not raise its descriptor limit.
  if (quiet) posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> env = extraEnv;
  for (char** entry = environ; *entry; ++entry) env.emplace_back(*entry);
  std::vector<char*> args, envp;
  for (auto& word : argv) args.push_back(word.data());
  args.push_back(nullptr);
  for (auto& word : env) envp.push_back(word.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  int result = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (result != 0) {
    close(pipeFds[0]);
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(result));
  }
  *output = pipeFds[0];
  return pid;
}

// The first line `fd` gives within `timeoutMs`; empty when none came.
std::string ReadLine(int fd, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string line;
  char c = 0;
  while (true) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, MillisecondsLeft(deadline)) <= 0) return line;
    if (read(fd, &c, 1) != 1 || c == '\n') return line;
    line += c;
  }
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

}  // namespace

void WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error(std::string("write failed: ") + std::strerror(errno));
    done += static_cast<size_t>(n);
  }
}

std::string ReadFor(int fd, size_t count, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string got;
  char buffer[4096];
  while (got.size() < count) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, MillisecondsLeft(deadline)) <= 0) break;
    ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - got.size()));
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

FakeBluez::FakeBluez() : FakeBluez(Options{}) {}

FakeBluez::FakeBluez(Options options) : options_(options) {
  StartBus();
  if (options.standIn) StartStandIn();
}

FakeBluez::~FakeBluez() {
  if (control_ >= 0) close(control_);
  Stop(standIn_);
  Stop(bus_);
}

void FakeBluez::StartBus() {
  std::string socketPath = dir_ / "bus";
  std::string config = dir_ / "bus.conf";
  WriteWholeFile(config, "<busconfig><type>system</type><listen>unix:path=" + socketPath +
                             "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                             "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>");
  int output = -1;
  bus_ = Spawn({"/usr/bin/dbus-daemon", "--config-file=" + config, "--print-address", "--nofork"},
               {}, true, &output);
  // The daemon prints its address once it listens.
  address_ = ReadLine(output, 10000);
  close(output);
  if (address_.empty()) throw std::runtime_error("dbus-daemon did not start");
}

void FakeBluez::StopStandIn() {
  std::lock_guard<std::mutex> lock(controlLock_);
  if (control_ >= 0) close(control_);
  control_ = -1;
  Stop(standIn_);
  standIn_ = -1;
  unlink((dir_ / "control").c_str());
}

void FakeBluez::StartStandIn() {
  std::vector<std::string> env = {"DBUS_SYSTEM_BUS_ADDRESS=" + address_};
  if (options_.refuseRegistration) env.push_back("FAKE_BLUEZ_REFUSE_REGISTRATION=1");
  int output = -1;
  // Debian's own interpreter, which has python3-dbus and python3-gi.
  standIn_ = Spawn({"/usr/bin/python3", TARVEL_FAKE_BLUEZ, dir_ / "control"}, env, false, &output);
  std::string ready = ReadLine(output, 20000);
  close(output);
  if (ready != "ready") throw std::runtime_error("the Bluetooth stand-in did not start");
  ConnectControl();
}

void FakeBluez::ConnectControl() {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = dir_ / "control";
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  control_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (control_ < 0 ||
      connect(control_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot reach the stand-in's control socket");
  }
}

FakeAnswer FakeBluez::Command(const std::string& line, int timeoutMs) {
  std::lock_guard<std::mutex> lock(controlLock_);
  WriteAll(control_, line + "\n");
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string text;
  FakeAnswer answer;
  while (text.empty() || text.back() != '\n') {
    pollfd ready{control_, POLLIN, 0};
    if (poll(&ready, 1, MillisecondsLeft(deadline)) <= 0) {
      throw std::runtime_error("the stand-in did not answer " + line);
    }
    char buffer[65536];
    char space[CMSG_SPACE(sizeof(int))] = {};
    iovec io{buffer, sizeof buffer};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = space;
    message.msg_controllen = sizeof space;
    ssize_t n = recvmsg(control_, &message, MSG_CMSG_CLOEXEC);
    if (n <= 0) throw std::runtime_error("the stand-in hung up");
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
        std::memcpy(&answer.peer, CMSG_DATA(c), sizeof(int));
      }
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  text.pop_back();
  answer.ok = text.rfind("ok", 0) == 0;
  size_t space = text.find(' ');
  answer.text = space == std::string::npos ? "" : text.substr(space + 1);
  return answer;
}

std::string FakeBluez::Registrations() {
  FakeAnswer answer = Command("registrations");
  if (!answer.ok) throw std::runtime_error("registrations: " + answer.text);
  return answer.text;
}

int FakeBluez::ConnectPeer(std::string* refusal, const std::string& address) {
  FakeAnswer answer = Command(address.empty() ? "connect" : "connect " + address);
  if (!answer.ok && refusal) *refusal = answer.text;
  return answer.peer;
}

}  // namespace tarvel::testing
