// SPDX-License-Identifier: MIT
// The ports that stand on connections made through the system's Bluetooth
// service: the incoming serial port that peers connect to, and outgoing
// connections to a paired peer's serial port. One per device state; the
// service's own thread delivers the connections, and no host call ever waits
// for that thread beyond the answer it asked for.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "link/device/serial_device.h"
#include "platform/bluetooth.h"
#include "platform/environment.h"

namespace tarvel {

class IncomingPort;
struct PendingConnection;

class BluetoothPorts {
 public:
  // How long an outgoing connection may take to arrive.
  static constexpr std::chrono::milliseconds kConnectTimeLimit{20000};

  explicit BluetoothPorts(Environment env);
  ~BluetoothPorts();
  BluetoothPorts(const BluetoothPorts&) = delete;
  BluetoothPorts& operator=(const BluetoothPorts&) = delete;

  enum class Registration { Registered, NoService, Refused };
  // Registers the incoming serial port with the Bluetooth service, unless it
  // is registered already. NoService, saying why, when the system has no
  // Bluetooth service to register with; Refused with the service's answer.
  Registration RegisterIncoming(std::string* why);
  // Whether the incoming port was ever registered: from then on it is the
  // port that peers reach, and a port of the link may stand on it.
  bool IncomingPortExists() const { return incomingExists_.load(); }

  // Opens the incoming port: peers' connections reach it from now on, and no
  // longer an incoming port opened before. A peer that connected while no
  // incoming port was open is on it at once.
  std::shared_ptr<SerialDevice> OpenIncoming();

  // Connects to the serial port of the paired peer at `address`
  // ("00:11:22:33:44:55"). Nothing, saying why, when the address is malformed
  // or unknown, the service refuses, or no connection comes in time.
  std::shared_ptr<SerialDevice> ConnectOutgoing(const std::string& address, std::string* why);

  // For tests: how long ConnectOutgoing waits.
  void SetConnectTimeLimit(std::chrono::milliseconds limit) { connectLimit_ = limit; }

 private:
  // The connection to the service, made anew when there is none or it has
  // gone. Called with serviceLock_ held.
  BluetoothService* Service(std::string* why);
  bool RegisterClient(BluetoothService& service, std::string* why);
  std::shared_ptr<SerialDevice> AwaitConnection(BluetoothService& service,
                                                const std::string& address,
                                                const std::string& device, std::string* why);

  // The profiles' handlers, on the service's thread.
  std::string OfferIncoming(const std::string& device, int socket);
  void DisconnectIncoming(const std::string& device);
  std::string OfferOutgoing(const std::string& device, int socket);
  void DisconnectOutgoing(const std::string& device);

  const Environment env_;
  std::atomic<std::chrono::milliseconds> connectLimit_{kConnectTimeLimit};
  std::atomic<bool> incomingExists_{false};
  std::atomic<bool> incomingRegistered_{false};
  std::atomic<bool> clientRegistered_{false};

  // Held by host calls only, around every use of the service; the service's
  // thread never takes it, so waiting for that thread under it is safe.
  std::mutex serviceLock_;

  // Where the service's thread delivers connections. Held only briefly.
  std::mutex deliveryLock_;
  std::weak_ptr<IncomingPort> incoming_;  // guarded by deliveryLock_
  // A peer's connection that came while no incoming port was open, kept for
  // the next one opened, as a single COM port keeps its peer.
  std::unique_ptr<SerialDevice> held_;                                // guarded by deliveryLock_
  std::string heldPeer_;                                              // guarded by deliveryLock_
  std::shared_ptr<PendingConnection> pending_;                        // guarded by deliveryLock_
  std::multimap<std::string, std::weak_ptr<SerialDevice>> outgoing_;  // guarded by deliveryLock_

  // Declared last, so destroyed first: its thread stops before anything its
  // handlers use goes.
  std::unique_ptr<BluetoothService> service_;  // guarded by serviceLock_
};

}  // namespace tarvel
