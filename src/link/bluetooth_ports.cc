#include "link/bluetooth_ports.h"

#include <optional>
#include <thread>

#include "link/device/incoming_port.h"
#include "link/device/stream_device.h"

namespace tarvel {

namespace {

std::string Seconds(std::chrono::milliseconds limit) {
  if (limit.count() % 1000 == 0) return std::to_string(limit.count() / 1000) + " seconds";
  return std::to_string(limit.count()) + " ms";
}

}  // namespace

// A link's door on the hub: its incoming port, and the overflow that takes the
// peers the port has no room for.
class LinkDoor final : public IncomingDoor {
 public:
  void SetPort(const std::shared_ptr<IncomingPort>& port) {
    std::lock_guard<std::mutex> lock(lock_);
    port_ = port;
  }
  explicit LinkDoor(const LinkTiming& timing) : timing_(timing) {}
  void SetOverflow(PeerOverflow* overflow) {
    std::lock_guard<std::mutex> lock(lock_);
    overflow_ = overflow;
  }
  bool IsOpen() override {
    std::lock_guard<std::mutex> lock(lock_);
    std::shared_ptr<IncomingPort> port = port_.lock();
    return port && port->IsOpen();
  }
  // Under the lock throughout, so that an overflow being withdrawn is not in use.
  std::string Offer(std::unique_ptr<SerialDevice> connection, const std::string& device) override {
    std::lock_guard<std::mutex> lock(lock_);
    std::shared_ptr<IncomingPort> port = port_.lock();
    if (!port) return "the incoming serial port is not open";
    if (overflow_ && port->IsOpen() && port->PeerConnected()) {
      return overflow_->Take(std::move(connection), device);
    }
    std::string refusal;
    port->Offer(std::move(connection), device, &refusal);
    return refusal;
  }
  LinkTiming Timing() const override { return timing_; }
  void Disconnect(const std::string& device) override {
    std::lock_guard<std::mutex> lock(lock_);
    if (std::shared_ptr<IncomingPort> port = port_.lock()) port->Disconnect(device);
    if (overflow_) overflow_->Disconnect(device);
  }

 private:
  std::mutex lock_;
  std::weak_ptr<IncomingPort> port_;  // guarded by lock_
  PeerOverflow* overflow_ = nullptr;  // guarded by lock_
  const LinkTiming timing_;
};

BluetoothPorts::BluetoothPorts(Environment env, const LinkTiming& timing, Notice notice)
    : env_(std::move(env)),
      timing_(timing),
      notice_(std::move(notice)),
      hub_(BluetoothHub::For(env_)),
      door_(std::make_shared<LinkDoor>(timing_)) {}

BluetoothPorts::~BluetoothPorts() {
  std::lock_guard<std::mutex> lock(subscribeLock_);
  if (subscription_) hub_->Unsubscribe(*subscription_);
}

BluetoothPorts::Registration BluetoothPorts::RegisterIncoming(std::string* why) {
  Registration registration = hub_->RegisterIncoming(why);
  if (registration != Registration::Registered) return registration;
  std::lock_guard<std::mutex> lock(subscribeLock_);
  if (!subscription_) subscription_ = hub_->Subscribe(notice_);
  incomingExists_ = true;
  return registration;
}

std::shared_ptr<SerialDevice> BluetoothPorts::OpenIncoming() {
  auto port = std::make_shared<IncomingPort>();
  door_->SetPort(port);
  hub_->OpenDoor(door_);
  return port;
}

void BluetoothPorts::SetOverflow(PeerOverflow* overflow) {
  door_->SetOverflow(overflow);
}

void BluetoothPorts::SetRfcommCalls(RfcommCalls calls) {
  std::lock_guard<std::mutex> lock(connectLock_);
  rfcomm_ = std::move(calls);
}

bool BluetoothPorts::PeerKnown(const BluetoothTarget& target, std::string* why) {
  bool noService = false;
  std::optional<BluetoothService::KnownDevice> device =
      hub_->FindDevice(target.address, &noService, why);
  // Without the service nothing can be asked: the kernel has the last word.
  if (noService) return true;
  if (!device) return false;
  if (!device->paired) {
    *why = target.address + " is known to BlueZ but not paired: pair it first";
    return false;
  }
  return true;
}

bool BluetoothPorts::Pause(std::chrono::milliseconds pause) {
  auto end = std::chrono::steady_clock::now() + pause;
  while (std::chrono::steady_clock::now() < end) {
    if (abandoned_) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return !abandoned_;
}

RfcommResult BluetoothPorts::Connect(const BluetoothTarget& target, RfcommDeadline deadline) {
  int channel = target.channel;
  if (channel == 0) {
    RfcommResult found = rfcomm_.findChannel(target.address, deadline, abandoned_);
    if (found.failure != RfcommFailure::None) {
      found.why = "cannot look up the serial port of " + target.address + ": " + found.why;
      return found;
    }
    channel = found.value;
  }
  RfcommResult connected = rfcomm_.connect(target.address, channel, deadline, abandoned_);
  // A refusal may be the peer's kernel racing its own key-size read: one
  // more try after a pause tells that from a real refusal.
  if (connected.failure == RfcommFailure::Refused &&
      std::chrono::steady_clock::now() + kRefusalRetryPause < deadline &&
      Pause(kRefusalRetryPause)) {
    connected = rfcomm_.connect(target.address, channel, deadline, abandoned_);
  }
  if (connected.failure != RfcommFailure::None) {
    connected.why = "cannot connect to " + target.address + " channel " + std::to_string(channel) +
                    ": " + connected.why;
  }
  return connected;
}

std::shared_ptr<SerialDevice> BluetoothPorts::ConnectOutgoing(const std::string& text,
                                                              std::string* why) {
  std::optional<BluetoothTarget> target = ParseBluetoothTarget(text, why);
  if (!target) return nullptr;
  // One outgoing connection is made at a time.
  std::lock_guard<std::mutex> lock(connectLock_);
  abandoned_ = false;
  if (!PeerKnown(*target, why)) return nullptr;
  std::chrono::milliseconds limit = connectLimit_.load();
  RfcommResult connected = Connect(*target, std::chrono::steady_clock::now() + limit);
  if (connected.failure == RfcommFailure::TimedOut) {
    *why = "no connection to " + DescribeTarget(*target) + " within " + Seconds(limit);
    return nullptr;
  }
  if (connected.failure != RfcommFailure::None) {
    *why = connected.why;
    return nullptr;
  }
  return AdoptStreamSocket(connected.value, why, timing_);
}

}  // namespace tarvel
