// SPDX-License-Identifier: MIT
// The ports that stand on Bluetooth connections: the incoming serial port that
// peers connect to through the system's Bluetooth service, and outgoing
// connections to a peer's serial port, made with an RFCOMM socket of our own
// so that they need no profile of their own. One per device state; the
// service's own thread delivers the incoming connections, and no host call
// ever waits for that thread beyond the answer it asked for.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "link/bluetooth_target.h"
#include "link/device/serial_device.h"
#include "platform/bluetooth.h"
#include "platform/environment.h"
#include "platform/rfcomm.h"

namespace tarvel {

class IncomingPort;

class BluetoothPorts {
 public:
  // How long an outgoing connection may take, service look-up included.
  static constexpr std::chrono::milliseconds kConnectTimeLimit{20000};
  // The pause before the one retry of a refused connect: a peer's kernel
  // refuses the first one at times, before it has read the key size.
  static constexpr std::chrono::milliseconds kRefusalRetryPause{1000};

  // `notice` tells the host what befalls the incoming port between its calls
  // (the service leaving and returning); it runs on the service's thread.
  // Connections keep the read gap and write stall limit of `timing`.
  using Notice = std::function<void(const std::string& text)>;
  BluetoothPorts(Environment env, const LinkTiming& timing, Notice notice);
  ~BluetoothPorts();
  BluetoothPorts(const BluetoothPorts&) = delete;
  BluetoothPorts& operator=(const BluetoothPorts&) = delete;

  enum class Registration { Registered, NoService, Refused };
  // Registers the incoming serial port with the Bluetooth service, unless it
  // is registered already. NoService, saying why, when the system has no
  // Bluetooth service to register with; Refused with the service's answer.
  // Once registered, it is registered again by itself whenever the service
  // restarts.
  Registration RegisterIncoming(std::string* why);
  // Whether the incoming port was ever registered: from then on it is the
  // port that peers reach, and a port of the link may stand on it.
  bool IncomingPortExists() const { return incomingExists_.load(); }

  // Opens the incoming port: peers' connections reach it from now on, and no
  // longer an incoming port opened before. A peer that connected while no
  // incoming port was open is on it at once.
  std::shared_ptr<SerialDevice> OpenIncoming();

  // Connects to the serial port of the peer that `target` names: "ADDR", whose
  // channel is looked up in the peer's service record, or "ADDR@CHANNEL".
  // Nothing, saying why, when the target is malformed, the service knows no
  // such paired device, the peer offers no serial port, refuses, cannot be
  // reached, or no connection comes in time.
  std::shared_ptr<SerialDevice> ConnectOutgoing(const std::string& target, std::string* why);
  // Makes a connect in progress give up soon (the port is being closed).
  void AbandonConnect() { abandoned_ = true; }

  // The system calls an outgoing connection makes: tests replace them.
  struct RfcommCalls {
    std::function<RfcommResult(const std::string&, RfcommDeadline, const std::atomic<bool>&)>
        findChannel = FindSerialPortChannel;
    std::function<RfcommResult(const std::string&, int, RfcommDeadline, const std::atomic<bool>&)>
        connect = ConnectRfcomm;
  };
  void SetRfcommCalls(RfcommCalls calls);
  void SetConnectTimeLimit(std::chrono::milliseconds limit) { connectLimit_ = limit; }

 private:
  // The connection to the service, made anew when there is none or it has
  // gone. Called with serviceLock_ held.
  BluetoothService* Service(std::string* why);
  // Asks the service, when there is one, whether it knows the peer and it is
  // paired; true when it does or there is no service to ask.
  bool PeerKnown(const BluetoothTarget& target, std::string* why);
  RfcommResult Connect(const BluetoothTarget& target, RfcommDeadline deadline);
  // Waits `pause`; false when the connect is abandoned meanwhile.
  bool Pause(std::chrono::milliseconds pause);

  // The profile's handlers, on the service's thread.
  ProfileHandlers IncomingHandlers();
  std::string OfferIncoming(const std::string& device, int socket);
  void DisconnectIncoming(const std::string& device);

  const Environment env_;
  const LinkTiming timing_;
  const Notice notice_;
  std::atomic<std::chrono::milliseconds> connectLimit_{kConnectTimeLimit};
  std::atomic<bool> incomingExists_{false};
  std::atomic<bool> incomingRegistered_{false};

  // One outgoing connect at a time; the calls it makes are guarded by it.
  std::mutex connectLock_;
  RfcommCalls rfcomm_;
  std::atomic<bool> abandoned_{false};

  // Held by host calls only, around every use of the service; the service's
  // thread never takes it, so waiting for that thread under it is safe.
  std::mutex serviceLock_;

  // Where the service's thread delivers connections. Held only briefly.
  std::mutex deliveryLock_;
  std::weak_ptr<IncomingPort> incoming_;  // guarded by deliveryLock_
  // A peer's connection that came while no incoming port was open, kept for
  // the next one opened, as a single COM port keeps its peer.
  std::unique_ptr<SerialDevice> held_;  // guarded by deliveryLock_
  std::string heldPeer_;                // guarded by deliveryLock_

  // Declared last, so destroyed first: its thread stops before anything its
  // handlers use goes.
  std::unique_ptr<BluetoothService> service_;  // guarded by serviceLock_
};

}  // namespace tarvel
