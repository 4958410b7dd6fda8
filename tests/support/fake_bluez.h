// SPDX-License-Identifier: MIT
// A private system bus with a stand-in for bluetoothd on it, for the tests of
// the Bluetooth ports: a dbus-daemon of the test's own and fake_bluez.py,
// which owns org.bluez and plays the remote peer. Both are stopped when the
// object goes. The library reaches them through DBUS_SYSTEM_BUS_ADDRESS.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>

#include "support/temp_dir.h"

namespace tarvel::testing {

// The device the stand-in knows.
inline constexpr const char* kFakeDeviceAddress = "00:1A:7D:DA:71:13";
inline constexpr const char* kFakeDevicePath = "/org/bluez/hci0/dev_00_1A_7D_DA_71_13";
// A device the stand-in knows but that is not paired.
inline constexpr const char* kUnpairedDeviceAddress = "00:1A:7D:DA:71:15";

// The answer to one command of the stand-in's control channel.
struct FakeAnswer {
  bool ok = false;
  std::string text;  // after "ok " or "error "
  int peer = -1;     // the remote peer's end of a connection, now the caller's
};

class FakeBluez {
 public:
  struct Options {
    bool standIn = true;              // false: the bus alone, with no org.bluez on it
    bool refuseRegistration = false;  // RegisterProfile answers with an error
  };
  // Starts the bus and, unless told otherwise, the stand-in, and waits until
  // it owns org.bluez. Throws when either cannot start.
  FakeBluez();
  explicit FakeBluez(Options options);
  ~FakeBluez();
  FakeBluez(const FakeBluez&) = delete;
  FakeBluez& operator=(const FakeBluez&) = delete;

  // The value for DBUS_SYSTEM_BUS_ADDRESS.
  const std::string& busAddress() const { return address_; }

  // Sends one command line and waits up to `timeoutMs` for its answer.
  FakeAnswer Command(const std::string& line, int timeoutMs = 10000);

  // The profiles registered so far, as JSON: [{"path","uuid","options"}...].
  std::string Registrations();
  // A peer connects to the registered server profile: its end, or -1 with the
  // library's refusal in `refusal`. `address` names the connecting device;
  // empty: the paired device the stand-in knows.
  int ConnectPeer(std::string* refusal = nullptr, const std::string& address = "");
  // bluetoothd stopping and starting again: the stand-in leaves the bus,
  // forgetting every registration, and a new one takes org.bluez under a new
  // unique name.
  void StopStandIn();
  void StartStandIn();

 private:
  void StartBus();
  void ConnectControl();

  Options options_;
  TempDir dir_;
  std::string address_;
  pid_t bus_ = -1;
  pid_t standIn_ = -1;
  int control_ = -1;
  std::mutex controlLock_;
};

// Writes all of `bytes` to `fd`; throws on failure.
void WriteAll(int fd, const std::string& bytes);
// Reads from `fd` until `count` bytes came or `timeoutMs` passed.
std::string ReadFor(int fd, size_t count, int timeoutMs);

}  // namespace tarvel::testing
