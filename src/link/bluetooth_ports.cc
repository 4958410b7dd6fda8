#include "link/bluetooth_ports.h"

#include <cctype>
#include <condition_variable>
#include <optional>
#include <vector>

#include "link/device/incoming_port.h"
#include "link/device/stream_device.h"

namespace tarvel {

// The object paths of our two profiles on the bus.
constexpr const char* kIncomingProfilePath = "/org/tarvel/serial_port/incoming";
constexpr const char* kOutgoingProfilePath = "/org/tarvel/serial_port/outgoing";

// One outgoing connection being waited for: the device it must come from, and
// whichever comes first of the connection and the service's refusal.
struct PendingConnection {
  explicit PendingConnection(std::string from) : device(std::move(from)) {}

  // The service's answer to the request to connect: empty for success.
  void Answer(const std::string& error) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!error.empty() && refusal.empty()) refusal = error;
    }
    changed.notify_all();
  }
  // False when a connection has been delivered already.
  bool Deliver(std::shared_ptr<SerialDevice> delivered) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (connection) return false;
      connection = std::move(delivered);
    }
    changed.notify_all();
    return true;
  }
  // Waits until `limit` for a connection or a refusal.
  void Wait(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, limit, [this] { return connection || !refusal.empty(); });
  }

  const std::string device;
  std::mutex mutex;
  std::condition_variable changed;
  std::shared_ptr<SerialDevice> connection;  // guarded by mutex
  std::string refusal;                       // guarded by mutex
};

namespace {

// "00:11:22:33:44:55" in upper case, as BlueZ writes addresses; nothing when
// `text` is not six pairs of hexadecimal digits separated by colons.
std::optional<std::string> BluetoothAddress(const std::string& text) {
  if (text.size() != 17) return std::nullopt;
  std::string address = text;
  for (size_t at = 0; at < address.size(); ++at) {
    unsigned char c = static_cast<unsigned char>(address[at]);
    bool fits = at % 3 == 2 ? c == ':' : std::isxdigit(c) != 0;
    if (!fits) return std::nullopt;
    address[at] = static_cast<char>(std::toupper(c));
  }
  return address;
}

std::string Seconds(std::chrono::milliseconds limit) {
  if (limit.count() % 1000 == 0) return std::to_string(limit.count() / 1000) + " seconds";
  return std::to_string(limit.count()) + " ms";
}

}  // namespace

BluetoothPorts::BluetoothPorts(Environment env) : env_(std::move(env)) {}

BluetoothPorts::~BluetoothPorts() = default;

BluetoothService* BluetoothPorts::Service(std::string* why) {
  if (service_ && service_->Connected()) return service_.get();
  // A connection that has gone took its registrations with it.
  service_.reset();
  incomingRegistered_ = false;
  clientRegistered_ = false;
  service_ = ConnectBluetoothService(env_, why);
  return service_.get();
}

BluetoothPorts::Registration BluetoothPorts::RegisterIncoming(std::string* why) {
  std::lock_guard<std::mutex> lock(serviceLock_);
  BluetoothService* service = Service(why);
  if (!service) return Registration::NoService;
  if (incomingRegistered_) return Registration::Registered;
  ProfileHandlers handlers;
  handlers.connected = [this](const std::string& device, int socket) {
    return OfferIncoming(device, socket);
  };
  handlers.disconnect = [this](const std::string& device) { DisconnectIncoming(device); };
  handlers.released = [this] { incomingRegistered_ = false; };
  // A server, for paired peers only over an authenticated and encrypted link
  // (the record's Authentication and Encryption), without asking the user
  // about each connection.
  ProfileOptions options{ProfileOptions::Role::Server, true, false};
  if (!service->RegisterSerialProfile(kIncomingProfilePath, options, handlers, why)) {
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
    port->Offer(std::move(held_), heldPeer_);
  } else {
    gone = std::move(held_);  // that peer hung up before the port opened
  }
  heldPeer_.clear();
  return port;
}

std::string BluetoothPorts::OfferIncoming(const std::string& device, int socket) {
  std::string why;
  std::unique_ptr<SerialDevice> connection = AdoptStreamSocket(socket, &why);
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
  return port->Offer(std::move(connection), device);
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

bool BluetoothPorts::RegisterClient(BluetoothService& service, std::string* why) {
  if (clientRegistered_) return true;
  ProfileHandlers handlers;
  handlers.connected = [this](const std::string& device, int socket) {
    return OfferOutgoing(device, socket);
  };
  handlers.disconnect = [this](const std::string& device) { DisconnectOutgoing(device); };
  handlers.released = [this] { clientRegistered_ = false; };
  ProfileOptions options{ProfileOptions::Role::Client, false, false};
  if (!service.RegisterSerialProfile(kOutgoingProfilePath, options, handlers, why)) {
    *why = "cannot register the Bluetooth serial port client: " + *why;
    return false;
  }
  clientRegistered_ = true;
  return true;
}

std::shared_ptr<SerialDevice> BluetoothPorts::ConnectOutgoing(const std::string& address,
                                                              std::string* why) {
  std::optional<std::string> normalized = BluetoothAddress(address);
  if (!normalized) {
    *why = "\"" + address + "\" is not a Bluetooth address (six pairs of hex digits, " +
           "as 00:11:22:33:44:55)";
    return nullptr;
  }
  // One outgoing connection is made at a time.
  std::lock_guard<std::mutex> lock(serviceLock_);
  BluetoothService* service = Service(why);
  if (!service) {
    *why = "no Bluetooth service to connect through: " + *why;
    return nullptr;
  }
  if (!RegisterClient(*service, why)) return nullptr;
  std::optional<std::string> device = service->FindDevice(*normalized, why);
  if (!device) return nullptr;
  return AwaitConnection(*service, *normalized, *device, why);
}

std::shared_ptr<SerialDevice> BluetoothPorts::AwaitConnection(BluetoothService& service,
                                                              const std::string& address,
                                                              const std::string& device,
                                                              std::string* why) {
  auto pending = std::make_shared<PendingConnection>(device);
  {
    std::lock_guard<std::mutex> lock(deliveryLock_);
    pending_ = pending;
  }
  service.ConnectSerialPort(device,
                            [pending](const std::string& error) { pending->Answer(error); });
  std::chrono::milliseconds limit = connectLimit_.load();
  pending->Wait(limit);
  {
    // From now on a late connection is refused.
    std::lock_guard<std::mutex> lock(deliveryLock_);
    pending_.reset();
  }
  std::shared_ptr<SerialDevice> connection;
  std::string refusal;
  {
    std::lock_guard<std::mutex> lock(pending->mutex);
    connection = pending->connection;
    refusal = pending->refusal;
  }
  if (connection) {
    std::lock_guard<std::mutex> lock(deliveryLock_);
    for (auto at = outgoing_.begin(); at != outgoing_.end();) {
      at = at->second.expired() ? outgoing_.erase(at) : std::next(at);
    }
    outgoing_.emplace(device, connection);
    return connection;
  }
  if (!refusal.empty()) {
    *why = "connecting to " + address + " failed: " + refusal;
  } else {
    *why = "no connection from " + address + " within " + Seconds(limit);
  }
  return nullptr;
}

std::string BluetoothPorts::OfferOutgoing(const std::string& device, int socket) {
  std::string why;
  std::shared_ptr<SerialDevice> connection = AdoptStreamSocket(socket, &why);
  if (!connection) return why;
  std::lock_guard<std::mutex> lock(deliveryLock_);
  if (!pending_ || pending_->device != device || !pending_->Deliver(connection)) {
    return "no connection to this device was asked for";
  }
  return "";
}

void BluetoothPorts::DisconnectOutgoing(const std::string& device) {
  std::vector<std::shared_ptr<SerialDevice>> closing;
  {
    std::lock_guard<std::mutex> lock(deliveryLock_);
    auto [first, last] = outgoing_.equal_range(device);
    for (auto at = first; at != last; ++at) {
      if (auto connection = at->second.lock()) closing.push_back(std::move(connection));
    }
    outgoing_.erase(first, last);
  }
  for (auto& connection : closing) connection->Close();
}

}  // namespace tarvel
