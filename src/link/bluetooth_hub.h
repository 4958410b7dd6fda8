// SPDX-License-Identifier: MIT
// The process's one connection to the system's Bluetooth service and the one
// incoming serial port profile registered through it, shared by every link of
// the process that reaches the same system bus. BlueZ serves a registered
// profile for any number of peers at once, one connection each, and allows one
// profile per UUID on a machine: so a process registers once, and the hub hands
// each peer's connection to the incoming port of whichever link opened one
// last. A hub lasts while any link holds it; the default link never lets go.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "link/device/serial_device.h"
#include "link/link_timing.h"
#include "platform/bluetooth.h"
#include "platform/environment.h"

namespace tarvel {

// Where the hub delivers peers' connections: a link's incoming port. Its calls
// run on the service's thread and return promptly.
class IncomingDoor {
 public:
  virtual ~IncomingDoor() = default;
  // Whether an incoming port stands behind the door now.
  virtual bool IsOpen() = 0;
  // Takes the connection of `device`: the empty text, or why it is refused.
  virtual std::string Offer(std::unique_ptr<SerialDevice> connection,
                            const std::string& device) = 0;
  // The pauses and limits of the link behind the door, which its peers'
  // connections keep.
  virtual LinkTiming Timing() const = 0;
  // The service asks for the connection of `device` to be closed.
  virtual void Disconnect(const std::string& device) = 0;
};

class BluetoothHub {
 public:
  using Notice = std::function<void(const std::string& text)>;

  // The hub for the system bus that `env` names, made when no link holds one.
  static std::shared_ptr<BluetoothHub> For(const Environment& env);

  explicit BluetoothHub(Environment env);
  ~BluetoothHub();
  BluetoothHub(const BluetoothHub&) = delete;
  BluetoothHub& operator=(const BluetoothHub&) = delete;

  enum class Registration { Registered, NoService, Refused };
  // Registers the incoming serial port with the Bluetooth service, unless it
  // is registered already; registered again by itself whenever the service
  // restarts. NoService, saying why, when the system has none.
  Registration RegisterIncoming(std::string* why);

  // `notice` hears what befalls the registration between host calls (the
  // service leaving and returning), on the service's thread, until withdrawn.
  uint64_t Subscribe(Notice notice);
  void Unsubscribe(uint64_t subscription);

  // Peers' connections go through `door` from now on, and no longer through
  // a door opened before. A peer that connected while no door was open is
  // offered to it at once.
  void OpenDoor(const std::shared_ptr<IncomingDoor>& door);

  // The known device with address `address`; nothing, saying why, when the
  // service knows none. `noService` is set when there is no service to ask.
  std::optional<BluetoothService::KnownDevice> FindDevice(const std::string& address,
                                                          bool* noService, std::string* why);

 private:
  // The connection to the service, made anew when there is none or it has
  // gone. Called with serviceLock_ held.
  BluetoothService* Service(std::string* why);
  ProfileHandlers IncomingHandlers();
  std::string OfferIncoming(const std::string& device, int socket);
  void DisconnectIncoming(const std::string& device);
  void Tell(const std::string& text);

  const Environment env_;
  std::atomic<bool> registered_{false};

  std::mutex noticeLock_;
  std::map<uint64_t, Notice> notices_;  // guarded by noticeLock_
  uint64_t nextSubscription_ = 1;       // guarded by noticeLock_

  // Held by host calls only, around every use of the service; the service's
  // thread never takes it, so waiting for that thread under it is safe.
  std::mutex serviceLock_;

  // Where the service's thread delivers connections. Held while a door takes one.
  std::mutex deliveryLock_;
  std::weak_ptr<IncomingDoor> door_;  // guarded by deliveryLock_
  // A peer's connection that came while no door was open, kept for the next
  // one opened, as a single COM port keeps its peer.
  std::unique_ptr<SerialDevice> held_;  // guarded by deliveryLock_
  std::string heldPeer_;                // guarded by deliveryLock_

  // Declared last, so destroyed first: its thread stops before anything its
  // handlers use goes.
  std::unique_ptr<BluetoothService> service_;  // guarded by serviceLock_
};

}  // namespace tarvel
