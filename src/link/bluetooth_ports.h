// SPDX-License-Identifier: MIT
// The ports that stand on Bluetooth connections: the incoming serial port that
// peers connect to through the system's Bluetooth service, and outgoing
// connections to a peer's serial port, made with an RFCOMM socket of our own
// so that they need no profile of their own. One per link; the service
// connection and the registered profile are the process's, shared through the
// hub, whose thread delivers the incoming connections to the link that opened
// its incoming port last. No host call ever waits for that thread beyond the
// answer it asked for.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "link/bluetooth_hub.h"
#include "link/bluetooth_target.h"
#include "link/device/serial_device.h"
#include "platform/bluetooth.h"
#include "platform/environment.h"
#include "platform/rfcomm.h"

namespace tarvel {

class IncomingPort;
class LinkDoor;

// Takes the peers that a link's incoming port has no room for (a gateway that
// serves several peers at once). Called on the service's thread.
class PeerOverflow {
 public:
  virtual ~PeerOverflow() = default;
  // Takes the connection of `device`: the empty text, or why it is refused.
  virtual std::string Take(std::unique_ptr<SerialDevice> connection, const std::string& device) = 0;
  // Closes the connection of `device`, when it has it.
  virtual void Disconnect(const std::string& device) = 0;
};

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

  using Registration = BluetoothHub::Registration;
  // Registers the incoming serial port with the Bluetooth service, unless it
  // is registered already. NoService, saying why, when the system has no
  // Bluetooth service to register with; Refused with the service's answer.
  // Once registered, it is registered again by itself whenever the service
  // restarts.
  Registration RegisterIncoming(std::string* why);
  // Whether this link ever had the incoming port registered: from then on it
  // is the port that peers reach, and a port of the link may stand on it.
  bool IncomingPortExists() const { return incomingExists_.load(); }

  // Opens the incoming port: peers' connections reach it from now on, and no
  // longer an incoming port opened before. A peer that connected while no
  // incoming port was open is on it at once.
  std::shared_ptr<SerialDevice> OpenIncoming();
  // Peers that connect while the incoming port has one already go to
  // `overflow` (nothing: they are refused). Once this returns, no call of an
  // earlier overflow is under way, so it may go.
  void SetOverflow(PeerOverflow* overflow);

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
  // Asks the service, when there is one, whether it knows the peer and it is
  // paired; true when it does or there is no service to ask.
  bool PeerKnown(const BluetoothTarget& target, std::string* why);
  RfcommResult Connect(const BluetoothTarget& target, RfcommDeadline deadline);
  // Waits `pause`; false when the connect is abandoned meanwhile.
  bool Pause(std::chrono::milliseconds pause);

  const Environment env_;
  const LinkTiming timing_;
  const Notice notice_;
  std::atomic<std::chrono::milliseconds> connectLimit_{kConnectTimeLimit};
  std::atomic<bool> incomingExists_{false};

  // One outgoing connect at a time; the calls it makes are guarded by it.
  std::mutex connectLock_;
  RfcommCalls rfcomm_;
  std::atomic<bool> abandoned_{false};

  // The process's service connection, and this link's door on it.
  std::shared_ptr<BluetoothHub> hub_;
  std::shared_ptr<LinkDoor> door_;
  std::optional<uint64_t> subscription_;  // guarded by subscribeLock_
  std::mutex subscribeLock_;
};

}  // namespace tarvel
