// SPDX-License-Identifier: MIT
// One connection to a D-Bus bus through sd-bus, used only on a thread of its
// own: sd-bus objects must not be shared between threads, so every other
// thread hands its work to that thread and waits for the answer, if at all,
// on its own side.
#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform/mutex.h"

namespace tarvel {

// A method call to make: where it goes, and what to append as its arguments.
struct BusCall {
  std::string destination;
  std::string path;
  std::string interface;
  std::string member;
  // Appends the arguments; returns a negative errno on failure. May be empty.
  std::function<int(sd_bus_message*)> arguments;
  std::chrono::milliseconds timeout{10000};
};

// Runs on the bus thread with the reply; `reply` is null, and `error` says
// why, when the call failed.
using BusReplyHandler = std::function<void(sd_bus_message* reply, const std::string& error)>;

class BusConnection {
 public:
  // Connects to the bus at `address` (a D-Bus address such as
  // "unix:path=/run/dbus/system_bus_socket") and starts the bus thread.
  // Nothing, saying why, when the bus cannot be reached.
  static std::unique_ptr<BusConnection> Open(const std::string& address, std::string* why);
  // Stops the thread and drops the connection; replies still due never come.
  ~BusConnection();
  BusConnection(const BusConnection&) = delete;
  BusConnection& operator=(const BusConnection&) = delete;

  // False once the bus has gone; the connection does not come back.
  bool Connected() const { return connected_.load(); }

  // Runs `task` on the bus thread with the connection, or at once on the
  // caller's thread with null when the connection has gone.
  void Post(std::function<void(sd_bus*)> task);

  // Makes `call` from the bus thread; `done` runs there once with its answer.
  void Call(BusCall call, BusReplyHandler done);

 private:
  BusConnection(sd_bus* bus, int wakeFd);
  void Run();
  bool RunTasks();
  bool WaitForWork();
  void StartCall(sd_bus* bus, BusCall& call, BusReplyHandler done);
  static int OnReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);

  struct PendingCall {
    BusConnection* owner;
    BusReplyHandler done;
  };

  sd_bus* const bus_;  // used on the bus thread only, and by the destructor after it
  const int wakeFd_;   // eventfd that Post and the destructor signal
  std::atomic<bool> connected_{true};

  Mutex queueLock_;
  std::deque<std::function<void(sd_bus*)>> tasks_ GUARDED_BY(queueLock_);
  bool stopping_ GUARDED_BY(queueLock_) = false;
  bool finished_ GUARDED_BY(queueLock_) = false;

  // Calls awaiting their reply; the bus thread's alone.
  std::unordered_map<PendingCall*, std::unique_ptr<PendingCall>> pending_;
  std::thread thread_;
};

// "name: message" of a D-Bus error.
std::string BusErrorText(const sd_bus_error* error);
// The text of a negative errno returned by sd-bus.
std::string BusErrnoText(int negativeErrno);

// A value handed from the bus thread to a caller that waits for it.
template <typename T>
class BusHandoff {
 public:
  void Give(T value) {
    {
      MutexLock lock(lock_);
      if (value_) return;
      value_ = std::move(value);
    }
    given_.NotifyAll();
  }
  // The value, or nothing when none came within `limit`.
  std::optional<T> Take(std::chrono::milliseconds limit) {
    CondVar::Clock::time_point deadline = CondVar::Clock::now() + limit;
    MutexLock lock(lock_);
    while (!value_ && given_.WaitUntil(lock_, deadline)) {
    }
    return std::move(value_);
  }

 private:
  Mutex lock_;
  CondVar given_;
  std::optional<T> value_ GUARDED_BY(lock_);
};

// Makes `call` and waits for its answer, which `read` turns into a value on
// the bus thread. Nothing, saying why, when the call fails, the reply cannot
// be read, or no answer comes within the call's time-out.
template <typename T>
std::optional<T> CallAndWait(BusConnection& bus, BusCall call,
                             std::function<std::optional<T>(sd_bus_message*, std::string*)> read,
                             std::string* why) {
  struct Answer {
    std::optional<T> value;
    std::string why;
  };
  auto handoff = std::make_shared<BusHandoff<Answer>>();
  // A little beyond the call's own time-out, after which sd-bus answers with an error.
  std::chrono::milliseconds limit = call.timeout + std::chrono::seconds(1);
  bus.Call(std::move(call), [handoff, read](sd_bus_message* reply, const std::string& error) {
    Answer answer;
    answer.why = error;
    if (reply) answer.value = read(reply, &answer.why);
    handoff->Give(std::move(answer));
  });
  std::optional<Answer> answer = handoff->Take(limit);
  if (!answer) {
    *why = "no answer on the bus";
    return std::nullopt;
  }
  if (!answer->value) *why = answer->why;
  return std::move(answer->value);
}

}  // namespace tarvel
