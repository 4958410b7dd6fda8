#include "link/bluetooth_ports.h"

#include <optional>
#include <thread>

#include "link/device/incoming_port.h"
#include "link/device/stream_device.h"

namespace tarvel {

// The object path of our profile on the bus.
constexpr const char* kIncomingProfilePath = "/org/tarvel/serial_port/incoming";

namespace {

std::string Seconds(std::chrono::milliseconds limit) {
  if (limit.count() % 1000 == 0) return std::to_string(limit.count() / 1000) + " seconds";
  return std::to_string(limit.count()) + " ms";
}

}  // namespace

BluetoothPorts::BluetoothPorts(Environment env, const LinkTiming& timing, Notice notice)
    : env_(std::move(env)), timing_(timing), notice_(std::move(notice)) {}

BluetoothPorts::~BluetoothPorts() = default;

BluetoothService* BluetoothPorts::Service(std::string* why) {
  if (service_ && service_->Connected()) return service_.get();
  // A connection that has gone took its registrations with it.
  service_.reset();
  incomingRegistered_ = false;
  service_ = ConnectBluetoothService(env_, why);
  return service_.get();
}

BluetoothPorts::Registration BluetoothPorts::RegisterIncoming(std::string* why) {
  std::lock_guard<std::mutex> lock(serviceLock_);
  BluetoothService* service = Service(why);
  if (!service) return Registration::NoService;
  if (incomingRegistered_) return Registration::Registered;
  // A server, for paired peers only over an authenticated and encrypted link
  // (the record's Authentication and Encryption), without asking the user
  // about each connection.
  ProfileOptions options{true, false};
  if (!service->RegisterSerialProfile(kIncomingProfilePath, options, IncomingHandlers(), why)) {
    return Registration::Refused;
  }
  incomingRegistered_ = true;
  incomingExists_ = true;
  return Registration::Registered;
}

std::shared_ptr<SerialDevice> BluetoothPorts::OpenIncoming() {
  auto port = std::make_shared<IncomingPort>();
  std::unique_ptr<SerialDevice> gone;
  std::lock_guard<std::mutex> lock(deliveryLock_);
  incoming_ = port;
  // Handed over under the lock, so that no newer peer overtakes the held one.
  if (held_ && held_->QueueStatus()) {
    std::string ignored;  // the port was just made: it takes the connection
    port->Offer(std::move(held_), heldPeer_, &ignored);
  } else {
    gone = std::move(held_);  // that peer hung up before the port opened
  }
  heldPeer_.clear();
  return port;
}

std::string BluetoothPorts::OfferIncoming(const std::string& device, int socket) {
  std::string why;
  std::unique_ptr<SerialDevice> connection = AdoptStreamSocket(socket, &why, timing_);
  if (!connection) return why;
  std::unique_ptr<SerialDevice> gone;  // closed once the lock is released
  std::shared_ptr<IncomingPort> port;
  {
    std::lock_guard<std::mutex> lock(deliveryLock_);
    port = incoming_.lock();
    if (!port || !port->IsOpen()) {
      // A held connection is over once its peer hung up and left nothing to read.
      if (held_ && held_->QueueStatus()) return "a peer is connected already: one peer at a time";
      gone = std::move(held_);
      held_ = std::move(connection);
      heldPeer_ = device;
      return "";
    }
  }
  port->Offer(std::move(connection), device, &why);
  return why;
}

void BluetoothPorts::DisconnectIncoming(const std::string& device) {
  std::shared_ptr<IncomingPort> port;
  std::unique_ptr<SerialDevice> held;
  {
    std::lock_guard<std::mutex> lock(deliveryLock_);
    port = incoming_.lock();
    if (held_ && heldPeer_ == device) {
      held = std::move(held_);
      heldPeer_.clear();
    }
  }
  if (held) held->Close();
  if (port) port->Disconnect(device);
}

ProfileHandlers BluetoothPorts::IncomingHandlers() {
  ProfileHandlers handlers;
  handlers.connected = [this](const std::string& device, int socket) {
    return OfferIncoming(device, socket);
  };
  handlers.disconnect = [this](const std::string& device) { DisconnectIncoming(device); };
  // BlueZ dropped the profile while it stays: the next PortCreate registers
  // it again, and so does BlueZ's next start. Registering it again at once
  // would overrule BlueZ, which may be on its way out.
  handlers.released = [this] {
    incomingRegistered_ = false;
    notice_(
        "the Bluetooth service released the incoming port; it is registered again "
        "when the port is created again or the service restarts");
  };
  handlers.serviceGone = [this] {
    incomingRegistered_ = false;
    notice_("Bluetooth service gone; waiting for it to return");
  };
  handlers.registeredAgain = [this](const std::string& error) {
    if (error.empty()) {
      incomingRegistered_ = true;
      notice_("Bluetooth service back; the incoming port is registered again");
    } else {
      notice_("Bluetooth service back, but it refused the incoming port: " + error);
    }
  };
  return handlers;
}

void BluetoothPorts::SetRfcommCalls(RfcommCalls calls) {
  std::lock_guard<std::mutex> lock(connectLock_);
  rfcomm_ = std::move(calls);
}

bool BluetoothPorts::PeerKnown(const BluetoothTarget& target, std::string* why) {
  std::lock_guard<std::mutex> lock(serviceLock_);
  std::string absent;
  BluetoothService* service = Service(&absent);
  // Without the service nothing can be asked: the kernel has the last word.
  if (!service) return true;
  std::optional<BluetoothService::KnownDevice> device = service->FindDevice(target.address, why);
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
