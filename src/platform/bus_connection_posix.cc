// SPDX-License-Identifier: MIT
#include "platform/bus_connection_posix.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

namespace tarvel {
namespace {

// Milliseconds from now until `until`, an absolute CLOCK_MONOTONIC time in
// microseconds as sd-bus gives it; -1 for no time-out at all.
int MillisecondsUntil(uint64_t until) {
  if (until == UINT64_MAX) return -1;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t nowUs =
      static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
  if (until <= nowUs) return 0;
  // Rounded up, so that the poll never wakes before the time-out is due.
  return static_cast<int>(std::min<uint64_t>((until - nowUs + 999) / 1000, INT_MAX));
}

void Signal(int eventFd) {
  const uint64_t one = 1;
  if (write(eventFd, &one, sizeof one) < 0) {
    // The counter is already non-zero (it cannot overflow here): the thread wakes anyway.
  }
}

}  // namespace

std::string BusErrorText(const sd_bus_error* error) {
  std::string name = error && error->name ? error->name : "unknown error";
  if (error && error->message && *error->message) name += std::string(": ") + error->message;
  return name;
}

std::string BusErrnoText(int negativeErrno) {
  return std::strerror(negativeErrno < 0 ? -negativeErrno : negativeErrno);
}

std::unique_ptr<BusConnection> BusConnection::Open(const std::string& address, std::string* why) {
  sd_bus* bus = nullptr;
  int result = sd_bus_new(&bus);
  if (result >= 0) result = sd_bus_set_address(bus, address.c_str());
  if (result >= 0) result = sd_bus_set_bus_client(bus, 1);
  // The Bluetooth service hands connections over as descriptors.
  if (result >= 0) result = sd_bus_negotiate_fds(bus, 1);
  if (result >= 0) result = sd_bus_start(bus);
  int wakeFd = result >= 0 ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
  if (result >= 0 && wakeFd < 0) result = -errno;
  if (result < 0) {
    sd_bus_unref(bus);
    *why = "cannot connect to the bus at " + address + ": " + BusErrnoText(result);
    return nullptr;
  }
  return std::unique_ptr<BusConnection>(new BusConnection(bus, wakeFd));
}

BusConnection::BusConnection(sd_bus* bus, int wakeFd) : bus_(bus), wakeFd_(wakeFd) {
  thread_ = std::thread([this] { Run(); });
}

BusConnection::~BusConnection() {
  {
    MutexLock lock(queueLock_);
    stopping_ = true;
  }
  Signal(wakeFd_);
  thread_.join();
  sd_bus_close_unref(bus_);
  close(wakeFd_);
}

void BusConnection::Post(std::function<void(sd_bus*)> task) {
  bool gone = false;
  {
    MutexLock lock(queueLock_);
    gone = finished_;
    if (!gone) tasks_.push_back(std::move(task));
  }
  if (gone) {
    task(nullptr);
  } else {
    Signal(wakeFd_);
  }
}

void BusConnection::Call(BusCall call, BusReplyHandler done) {
  Post([this, call = std::move(call), done = std::move(done)](sd_bus* bus) mutable {
    if (!bus) {
      done(nullptr, "the connection to the bus has gone");
      return;
    }
    StartCall(bus, call, std::move(done));
  });
}

void BusConnection::StartCall(sd_bus* bus, BusCall& call, BusReplyHandler done) {
  sd_bus_message* message = nullptr;
  int result =
      sd_bus_message_new_method_call(bus, &message, call.destination.c_str(), call.path.c_str(),
                                     call.interface.c_str(), call.member.c_str());
  if (result >= 0 && call.arguments) result = call.arguments(message);
  if (result >= 0) {
    auto pending = std::make_unique<PendingCall>(PendingCall{this, std::move(done)});
    PendingCall* key = pending.get();
    uint64_t timeoutUs = static_cast<uint64_t>(call.timeout.count()) * 1000u;
    // A floating slot: the bus owns it, and the reply finds the call by `key`.
    result = sd_bus_call_async(bus, nullptr, message, OnReply, key, timeoutUs);
    if (result >= 0) {
      pending_.emplace(key, std::move(pending));
    } else {
      done = std::move(pending->done);
    }
  }
  sd_bus_message_unref(message);
  if (result < 0) done(nullptr, "cannot call " + call.member + ": " + BusErrnoText(result));
}

int BusConnection::OnReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* key = static_cast<PendingCall*>(userdata);
  BusConnection* self = key->owner;
  auto found = self->pending_.find(key);
  if (found == self->pending_.end()) return 0;
  std::unique_ptr<PendingCall> call = std::move(found->second);
  self->pending_.erase(found);
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  try {
    if (error) {
      call->done(nullptr, BusErrorText(error));
    } else {
      call->done(reply, "");
    }
  } catch (...) {
    // Out of memory in a handler: the caller's wait ends by its time-out.
  }
  return 0;
}

void BusConnection::Run() {
  while (RunTasks()) {
    int processed = sd_bus_process(bus_, nullptr);
    if (processed < 0) break;  // the bus has gone
    if (processed > 0) continue;
    if (!WaitForWork()) break;
  }
  connected_ = false;
  std::deque<std::function<void(sd_bus*)>> left;
  {
    MutexLock lock(queueLock_);
    finished_ = true;
    left.swap(tasks_);
  }
  for (auto& task : left) {
    try {
      task(nullptr);
    } catch (...) {
    }
  }
  for (auto& [key, call] : pending_) {
    try {
      call->done(nullptr, "the connection to the bus has gone");
    } catch (...) {
    }
  }
  pending_.clear();
}

bool BusConnection::RunTasks() {
  std::deque<std::function<void(sd_bus*)>> now;
  {
    MutexLock lock(queueLock_);
    if (stopping_) return false;
    now.swap(tasks_);
  }
  for (auto& task : now) {
    try {
      task(bus_);
    } catch (...) {
      // Out of memory in a task: its caller's wait ends by its time-out.
    }
  }
  return true;
}

bool BusConnection::WaitForWork() {
  int fd = sd_bus_get_fd(bus_);
  int events = sd_bus_get_events(bus_);
  uint64_t until = UINT64_MAX;
  if (fd < 0 || events < 0 || sd_bus_get_timeout(bus_, &until) < 0) return false;
  pollfd fds[2] = {{fd, static_cast<short>(events), 0}, {wakeFd_, POLLIN, 0}};
  if (poll(fds, 2, MillisecondsUntil(until)) < 0 && errno != EINTR) return false;
  if (fds[1].revents & POLLIN) {
    uint64_t count = 0;
    if (read(wakeFd_, &count, sizeof count) < 0) {
      // Already drained: nothing to do.
    }
  }
  return true;
}

}  // namespace tarvel
