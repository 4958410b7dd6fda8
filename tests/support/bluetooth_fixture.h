// SPDX-License-Identifier: MIT
// The Bluetooth tests' device: a state whose system bus is the test's own,
// with a stand-in for bluetoothd on it, and the remote peer's end of a
// connection.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/fake_bluez.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {

using Clock = std::chrono::steady_clock;

inline bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

inline size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Closes a peer's end when the test is done with it.
class Peer {
 public:
  explicit Peer(int fd = -1) : fd_(fd) {}
  ~Peer() { HangUp(); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  Peer& operator=(int fd) {
    HangUp();
    fd_ = fd;
    return *this;
  }
  int fd() const { return fd_; }
  void HangUp() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  // Pushes a file as a peer's sender does: header, a pause, content.
  void PushFile(const std::string& name, const std::string& content) {
    WriteAll(fd_, "FILE: " + name + "|" + std::to_string(content.size()) + "|");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    WriteAll(fd_, content);
  }

 private:
  int fd_;
};

// A device whose system bus is the test's own.
class BluetoothTest : public ::testing::Test {
 protected:
  explicit BluetoothTest(FakeBluez::Options options = {},
                         const std::string& port3 = "/nonexistent/tty")
      : bluez(options), device(port3, {{"DBUS_SYSTEM_BUS_ADDRESS", bluez.busAddress()}}) {}

  // The text of the next event of `kind`; the test fails when none comes.
  std::string WaitFor(EventKind kind, int timeoutMs = 5000) {
    return device.WaitForEvent(kind, std::chrono::milliseconds(timeoutMs));
  }
  std::string Status() const { return device.Status(); }

  // A listener on the incoming port, as a host serves peers.
  void Listen() {
    ASSERT_EQ(PortCreate(state()), 999);
    ASSERT_EQ(PortOpen(state(), 0), 999);
    ASSERT_EQ(Server(state()), 999);
  }

  LinkState& state() { return *device.state; }

  FakeBluez bluez;
  TestDevice device;
};

// A peer that connects as soon as the port has seen the last one hang up.
inline int ConnectOnceFree(FakeBluez& bluez) {
  int peer = -1;
  for (int attempt = 0; attempt < 50 && peer < 0; ++attempt) {
    peer = bluez.ConnectPeer();
    if (peer < 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return peer;
}

}  // namespace tarvel::testing
