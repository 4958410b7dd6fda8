// SPDX-License-Identifier: MIT
// The system's Bluetooth service, as far as the link needs it: offering the
// Serial Port profile to peers, and telling whether it knows a peer. A
// connection comes as a connected stream socket handed over by the service.
// Outgoing connections need no profile: see rfcomm.h. One backend per
// system: BlueZ over the D-Bus system bus on Linux (bluetooth_posix.cc), and
// none on Windows (bluetooth_win32.cc).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/environment.h"

namespace tarvel {

inline constexpr const char* kSerialPortUuid = "00001101-0000-1000-8000-00805f9b34fb";

// What a registered profile is asked to do. Every handler runs on the
// service's own thread and must return promptly: it never waits for a host
// call or for the port's readers and writers. Only the service itself is
// obeyed: calls from anyone else on the bus are refused before any handler.
struct ProfileHandlers {
  // A peer connected: `socket` is a connected stream socket, now the handler's
  // to keep or close. `device` names the peer (an object path on Linux).
  // Returns the empty text to accept the connection, else why it is refused.
  std::function<std::string(const std::string& device, int socket)> connected;
  // The service asks for the connections of `device` to be closed.
  std::function<void(const std::string& device)> disconnect;
  // The service dropped the profile: no more connections come through it
  // until it is registered again, by the caller or when the service restarts.
  std::function<void()> released;
  // The service left: the profile went with it. When the service returns the
  // profile is registered again by itself, and `registeredAgain` says how
  // that went: the empty text for success, else the service's answer.
  std::function<void()> serviceGone;
  std::function<void(const std::string& error)> registeredAgain;
};

// The incoming serial port's profile: always in the server role, since
// outgoing connections register none.
struct ProfileOptions {
  bool requireAuthentication = false;  // only paired peers, over an encrypted link
  bool requireAuthorization = false;   // ask the user for each connection
};

// One connection to the Bluetooth service, with a thread of its own that
// serves the profiles registered through it. Registrations last as long as
// the object. Every call may come from any thread; none runs a handler.
class BluetoothService {
 public:
  virtual ~BluetoothService() = default;

  // False once the connection to the system bus is gone; it does not come
  // back. The service leaving and returning on the bus is no such loss.
  virtual bool Connected() const = 0;

  // Registers an object of ours at `path` as the Serial Port profile in the
  // options' role. False, with the service's answer in `error`, when refused.
  virtual bool RegisterSerialProfile(const std::string& path, const ProfileOptions& options,
                                     ProfileHandlers handlers, std::string* error) = 0;

  struct KnownDevice {
    std::string name;  // the service's name for it (an object path on Linux)
    bool paired = false;
  };
  // The known device with Bluetooth address `address` ("00:11:22:33:44:55",
  // upper case); nothing, saying why, when the service knows none or cannot
  // be asked. A read only: nothing is registered or changed.
  virtual std::optional<KnownDevice> FindDevice(const std::string& address, std::string* why) = 0;
};

// Connects to the system's Bluetooth service. Nothing, saying why, when there
// is no way to reach one (no system bus, or no Bluetooth service on it): a
// machine without Bluetooth, which is no failure of the caller's.
std::unique_ptr<BluetoothService> ConnectBluetoothService(const Environment& env, std::string* why);

}  // namespace tarvel
