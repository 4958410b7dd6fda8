#include "cable.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>

#include <cerrno>
#include <cstring>

namespace tarvel_cli {
namespace {

// What one direction holds when its far end cannot take more; the sender then
// waits, as it would on a real line.
constexpr size_t kHeldBytes = 64 * 1024;
constexpr int kStopCheckMs = 50;

// Bytes on their way from one master to the other.
struct Direction {
  int from;
  int to;
  std::string held;
};

short WantedEvents(const Direction& inbound, const Direction& outbound) {
  short events = 0;
  if (inbound.held.size() < kHeldBytes) events |= POLLIN;  // this master's reads
  if (!outbound.held.empty()) events |= POLLOUT;           // bytes for this master
  return events;
}

void TakeIn(Direction& direction) {
  char buffer[4096];
  size_t room = kHeldBytes - direction.held.size();
  ssize_t count = ::read(direction.from, buffer, room < sizeof buffer ? room : sizeof buffer);
  if (count > 0) direction.held.append(buffer, static_cast<size_t>(count));
}

void PassOn(Direction& direction) {
  ssize_t count = ::write(direction.to, direction.held.data(), direction.held.size());
  if (count > 0) direction.held.erase(0, static_cast<size_t>(count));
}

}  // namespace

bool Cable::MakeEnd(End& end, std::string* error) {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  termios raw{};
  cfmakeraw(&raw);
  if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
    *error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  end.master.Reset(master);
  end.slave.Reset(slave);
  end.path = name;
  // Raw from the start: bytes that arrive before a device opens this end must
  // not be echoed back or changed by line editing.
  tcsetattr(slave, TCSANOW, &raw);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  return true;
}

std::unique_ptr<Cable> Cable::Make(std::string* error) {
  std::unique_ptr<Cable> cable(new Cable());
  if (!MakeEnd(cable->a_, error) || !MakeEnd(cable->b_, error)) return nullptr;
  return cable;
}

void Cable::Relay(const std::function<bool()>& stopped) {
  Direction aToB{a_.master.get(), b_.master.get(), {}};
  Direction bToA{b_.master.get(), a_.master.get(), {}};
  while (!stopped()) {
    pollfd ends[2] = {{a_.master.get(), WantedEvents(aToB, bToA), 0},
                      {b_.master.get(), WantedEvents(bToA, aToB), 0}};
    int ready = ::poll(ends, 2, kStopCheckMs);
    if (ready <= 0) continue;
    if (ends[0].revents & POLLIN) TakeIn(aToB);
    if (ends[1].revents & POLLIN) TakeIn(bToA);
    if (ends[1].revents & POLLOUT) PassOn(aToB);
    if (ends[0].revents & POLLOUT) PassOn(bToA);
    // A hang-up without data would wake poll at once, again and again.
    bool hungUp = (ends[0].revents | ends[1].revents) & (POLLHUP | POLLERR);
    if (hungUp) ::poll(nullptr, 0, kStopCheckMs);
  }
}

RunningCable::RunningCable(std::unique_ptr<Cable> cable) : cable_(std::move(cable)) {
  relay_ = std::thread([this] { cable_->Relay([this] { return stop_.load(); }); });
}

RunningCable::~RunningCable() {
  stop_.store(true);
  relay_.join();
}

}  // namespace tarvel_cli
