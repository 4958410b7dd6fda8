// SPDX-License-Identifier: MIT
#include "link/bluetooth_hub.h"

#include <utility>
#include <vector>

#include "link/device/stream_device.h"

namespace tarvel {
namespace {

// The object path of our profile on the bus.
constexpr const char* kIncomingProfilePath = "/org/tarvel/serial_port/incoming";

// The bus a hub serves: links on the same bus share one.
std::string BusOf(const Environment& env) {
  std::optional<std::string> address = env("DBUS_SYSTEM_BUS_ADDRESS");
  return address ? *address : std::string();
}

// Never destroyed, as the default link that may hold a hub never is.
struct HubRegistry {
  Mutex lock;
  std::map<std::string, std::weak_ptr<BluetoothHub>> hubs GUARDED_BY(lock);
};

HubRegistry& Registry() {
  static HubRegistry* registry = new HubRegistry;
  return *registry;
}

}  // namespace

std::shared_ptr<BluetoothHub> BluetoothHub::For(const Environment& env) {
  HubRegistry& registry = Registry();
  MutexLock lock(registry.lock);
  std::weak_ptr<BluetoothHub>& slot = registry.hubs[BusOf(env)];
  std::shared_ptr<BluetoothHub> hub = slot.lock();
  if (!hub) {
    hub = std::make_shared<BluetoothHub>(env);
    slot = hub;
  }
  // Buses whose hubs have gone are forgotten as new ones come.
  for (auto it = registry.hubs.begin(); it != registry.hubs.end();) {
    it = it->second.expired() ? registry.hubs.erase(it) : std::next(it);
  }
  return hub;
}

BluetoothHub::BluetoothHub(Environment env) : env_(std::move(env)) {}

BluetoothHub::~BluetoothHub() = default;

BluetoothService* BluetoothHub::Service(std::string* why) {
  if (service_ && service_->Connected()) return service_.get();
  // A connection that has gone took its registrations with it.
  service_.reset();
  registered_ = false;
  service_ = ConnectBluetoothService(env_, why);
  return service_.get();
}

BluetoothHub::Registration BluetoothHub::RegisterIncoming(std::string* why) {
  MutexLock lock(serviceLock_);
  BluetoothService* service = Service(why);
  if (!service) return Registration::NoService;
  if (registered_) return Registration::Registered;
  // A server, for paired peers only over an authenticated and encrypted link
  // (the record's Authentication and Encryption), without asking the user
  // about each connection.
  ProfileOptions options{true, false};
  if (!service->RegisterSerialProfile(kIncomingProfilePath, options, IncomingHandlers(), why)) {
    return Registration::Refused;
  }
  registered_ = true;
  return Registration::Registered;
}

uint64_t BluetoothHub::Subscribe(Notice notice) {
  MutexLock lock(noticeLock_);
  uint64_t subscription = nextSubscription_++;
  notices_.emplace(subscription, std::move(notice));
  return subscription;
}

void BluetoothHub::Unsubscribe(uint64_t subscription) {
  // Under the lock a notice is told with, so none runs once this returns.
  MutexLock lock(noticeLock_);
  notices_.erase(subscription);
}

void BluetoothHub::Tell(const std::string& text) {
  MutexLock lock(noticeLock_);
  for (auto& [subscription, notice] : notices_) notice(text);
}

void BluetoothHub::OpenDoor(const std::shared_ptr<IncomingDoor>& door) {
  std::unique_ptr<SerialDevice> gone;
  MutexLock lock(deliveryLock_);
  door_ = door;
  // Handed over under the lock, so that no newer peer overtakes the held one.
  if (held_ && held_->QueueStatus()) {
    door->Offer(std::move(held_), heldPeer_);
  } else {
    gone = std::move(held_);  // that peer hung up before the door opened
  }
  heldPeer_.clear();
}

std::string BluetoothHub::OfferIncoming(const std::string& device, int socket) {
  std::string why;
  // The connection keeps the timing of the link that takes it; one held for
  // a link yet to open its port keeps the last link's, or the wire's own.
  std::shared_ptr<IncomingDoor> last;
  {
    MutexLock lock(deliveryLock_);
    last = door_.lock();
  }
  std::unique_ptr<SerialDevice> connection =
      AdoptStreamSocket(socket, &why, last ? last->Timing() : LinkTiming());
  if (!connection) return why;
  std::unique_ptr<SerialDevice> gone;  // closed once the lock is released
  MutexLock lock(deliveryLock_);
  std::shared_ptr<IncomingDoor> door = door_.lock();
  if (door && door->IsOpen()) return door->Offer(std::move(connection), device);
  // A held connection is over once its peer hung up and left nothing to read.
  if (held_ && held_->QueueStatus()) return "a peer is connected already: one peer at a time";
  gone = std::move(held_);
  held_ = std::move(connection);
  heldPeer_ = device;
  return "";
}

void BluetoothHub::DisconnectIncoming(const std::string& device) {
  std::unique_ptr<SerialDevice> held;  // closed once the lock is released
  MutexLock lock(deliveryLock_);
  if (held_ && heldPeer_ == device) {
    held = std::move(held_);
    heldPeer_.clear();
  }
  if (std::shared_ptr<IncomingDoor> door = door_.lock()) door->Disconnect(device);
}

ProfileHandlers BluetoothHub::IncomingHandlers() {
  ProfileHandlers handlers;
  handlers.connected = [this](const std::string& device, int socket) {
    return OfferIncoming(device, socket);
  };
  handlers.disconnect = [this](const std::string& device) { DisconnectIncoming(device); };
  // BlueZ dropped the profile while it stays: the next PortCreate registers
  // it again, and so does BlueZ's next start. Registering it again at once
  // would overrule BlueZ, which may be on its way out.
  handlers.released = [this] {
    registered_ = false;
    Tell(
        "the Bluetooth service released the incoming port; it is registered again "
        "when the port is created again or the service restarts");
  };
  handlers.serviceGone = [this] {
    registered_ = false;
    Tell("Bluetooth service gone; waiting for it to return");
  };
  handlers.registeredAgain = [this](const std::string& error) {
    if (error.empty()) {
      registered_ = true;
      Tell("Bluetooth service back; the incoming port is registered again");
    } else {
      Tell("Bluetooth service back, but it refused the incoming port: " + error);
    }
  };
  return handlers;
}

std::optional<BluetoothService::KnownDevice> BluetoothHub::FindDevice(const std::string& address,
                                                                      bool* noService,
                                                                      std::string* why) {
  MutexLock lock(serviceLock_);
  std::string absent;
  BluetoothService* service = Service(&absent);
  *noService = service == nullptr;
  if (!service) return std::nullopt;
  return service->FindDevice(address, why);
}

}  // namespace tarvel
