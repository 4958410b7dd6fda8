// SPDX-License-Identifier: MIT
// The Bluetooth service on Linux: BlueZ's bluetoothd, reached on the D-Bus
// system bus under the name org.bluez. A profile is an object of ours on the
// bus that BlueZ calls with each connection, handing over the connected RFCOMM
// socket itself, so no tty and no rfcomm binding is involved.
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <map>

#include "platform/bluetooth.h"
#include "platform/bus_connection_posix.h"

namespace tarvel {
namespace {

constexpr const char* kBluez = "org.bluez";
constexpr const char* kProfileInterface = "org.bluez.Profile1";
constexpr const char* kDeviceInterface = "org.bluez.Device1";
constexpr const char* kRejected = "org.bluez.Error.Rejected";
constexpr const char* kDefaultSystemBus = "unix:path=/run/dbus/system_bus_socket";

// BlueZ answers ConnectProfile once the connection has been made and handed
// over, which takes a page, a service search and pairing checks.
constexpr std::chrono::seconds kConnectCallTimeout(30);

// One profile object of ours; its handlers are replaced when it registers again.
struct Profile {
  ProfileHandlers handlers;
};

int ReplyRejected(sd_bus_message* call, const std::string& why) {
  return sd_bus_reply_method_errorf(call, kRejected, "%s", why.c_str());
}

int OnNewConnection(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto* profile = static_cast<Profile*>(userdata);
  const char* device = nullptr;
  int fd = -1;
  int result = sd_bus_message_read(call, "oh", &device, &fd);
  if (result < 0) return result;
  // The descriptor in the message is the message's; ours is a copy.
  int own = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (own < 0) return ReplyRejected(call, "cannot take the connection over");
  std::string refusal = "no serial port takes connections";
  try {
    if (profile->handlers.connected) {
      int handed = own;
      own = -1;
      refusal = profile->handlers.connected(device, handed);
    }
  } catch (...) {
    refusal = "out of memory";
  }
  if (own >= 0) close(own);
  if (!refusal.empty()) return ReplyRejected(call, refusal);
  return sd_bus_reply_method_return(call, "");
}

int OnRequestDisconnection(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto* profile = static_cast<Profile*>(userdata);
  const char* device = nullptr;
  int result = sd_bus_message_read(call, "o", &device);
  if (result < 0) return result;
  try {
    if (profile->handlers.disconnect) profile->handlers.disconnect(device);
  } catch (...) {
  }
  return sd_bus_reply_method_return(call, "");
}

int OnRelease(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto* profile = static_cast<Profile*>(userdata);
  try {
    if (profile->handlers.released) profile->handlers.released();
  } catch (...) {
  }
  // BlueZ expects no reply; sd-bus sends none to a call that asks for none.
  return sd_bus_reply_method_return(call, "");
}

const sd_bus_vtable kProfileVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("NewConnection", "oha{sv}", "", OnNewConnection, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestDisconnection", "o", "", OnRequestDisconnection,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Release", "", "", OnRelease,
                  SD_BUS_VTABLE_UNPRIVILEGED | SD_BUS_VTABLE_METHOD_NO_REPLY),
    SD_BUS_VTABLE_END,
};

// Appends one entry of an a{sv} dictionary whose value has the one-letter type `type`.
template <typename Value>
int AppendOption(sd_bus_message* message, const char* name, const char* type, Value value) {
  int result = sd_bus_message_open_container(message, 'e', "sv");
  if (result >= 0) result = sd_bus_message_append(message, "s", name);
  if (result >= 0) result = sd_bus_message_open_container(message, 'v', type);
  if (result >= 0) result = sd_bus_message_append_basic(message, type[0], value);
  if (result >= 0) result = sd_bus_message_close_container(message);
  if (result >= 0) result = sd_bus_message_close_container(message);
  return result;
}

int AppendRegistration(sd_bus_message* message, const std::string& path,
                       const ProfileOptions& options) {
  int result = sd_bus_message_append(message, "os", path.c_str(), kSerialPortUuid);
  if (result >= 0) result = sd_bus_message_open_container(message, 'a', "{sv}");
  if (options.role == ProfileOptions::Role::Server) {
    int authentication = options.requireAuthentication;
    int authorization = options.requireAuthorization;
    if (result >= 0) result = AppendOption(message, "Role", "s", "server");
    if (result >= 0) result = AppendOption(message, "RequireAuthentication", "b", &authentication);
    if (result >= 0) result = AppendOption(message, "RequireAuthorization", "b", &authorization);
  } else {
    if (result >= 0) result = AppendOption(message, "Role", "s", "client");
  }
  if (result >= 0) result = sd_bus_message_close_container(message);
  return result;
}

// Reads a message step by step and keeps the first failure; after one, every
// step does nothing.
class MessageReader {
 public:
  explicit MessageReader(sd_bus_message* message) : message_(message) {}
  int failure() const { return failure_; }

  // True when a container was entered; false at the end of the enclosing one,
  // or after a failure.
  bool Enter(char type, const char* contents) {
    return failure_ >= 0 && Step(sd_bus_message_enter_container(message_, type, contents)) > 0;
  }
  void Exit() {
    if (failure_ >= 0) Step(sd_bus_message_exit_container(message_));
  }
  void Skip(const char* types) {
    if (failure_ >= 0) Step(sd_bus_message_skip(message_, types));
  }
  // Enters a variant that holds `contents`; skips any other.
  bool EnterVariant(const char* contents) {
    char type = 0;
    const char* held = nullptr;
    if (failure_ < 0 || Step(sd_bus_message_peek_type(message_, &type, &held)) <= 0) return false;
    if (type == 'v' && held && std::string(held) == contents) return Enter('v', contents);
    Skip("v");
    return false;
  }
  // A string, an object path or a signature.
  std::string ReadText(char type) {
    const char* value = nullptr;
    if (failure_ < 0 || Step(sd_bus_message_read_basic(message_, type, &value)) <= 0) return {};
    return value ? value : "";
  }

 private:
  int Step(int result) {
    if (result < 0) failure_ = result;
    return result;
  }

  sd_bus_message* message_;
  int failure_ = 0;
};

// Reads one object's interfaces (a{sa{sv}}): whether it is a device whose
// Address is `address`, compared without regard to case.
bool IsDeviceAt(MessageReader& reader, const std::string& address) {
  bool match = false;
  if (!reader.Enter('a', "{sa{sv}}")) return false;
  while (reader.Enter('e', "sa{sv}")) {
    if (reader.ReadText('s') != kDeviceInterface) {
      reader.Skip("a{sv}");
    } else if (reader.Enter('a', "{sv}")) {
      while (reader.Enter('e', "sv")) {
        if (reader.ReadText('s') != "Address") {
          reader.Skip("v");
        } else if (reader.EnterVariant("s")) {
          match = match || strcasecmp(reader.ReadText('s').c_str(), address.c_str()) == 0;
          reader.Exit();
        }
        reader.Exit();
      }
      reader.Exit();
    }
    reader.Exit();
  }
  reader.Exit();
  return match;
}

// The object of the device at `address` in GetManagedObjects' answer.
std::optional<std::string> DevicePathIn(sd_bus_message* reply, const std::string& address,
                                        std::string* why) {
  MessageReader reader(reply);
  if (reader.Enter('a', "{oa{sa{sv}}}")) {
    while (reader.Enter('e', "oa{sa{sv}}")) {
      std::string object = reader.ReadText('o');
      if (IsDeviceAt(reader, address) && reader.failure() >= 0) return object;
      reader.Exit();
    }
  }
  if (reader.failure() < 0) {
    *why = "cannot read BlueZ's list of devices: " + BusErrnoText(reader.failure());
  } else {
    *why = "BlueZ knows no device " + address + ": pair it first";
  }
  return std::nullopt;
}

class BluezService final : public BluetoothService {
 public:
  explicit BluezService(std::unique_ptr<BusConnection> bus) : bus_(std::move(bus)) {}

  bool Connected() const override { return bus_->Connected(); }
  bool RegisterSerialProfile(const std::string& path, const ProfileOptions& options,
                             ProfileHandlers handlers, std::string* error) override;
  std::optional<std::string> FindDevice(const std::string& address, std::string* why) override;
  void ConnectSerialPort(const std::string& device,
                         std::function<void(const std::string& error)> done) override;

  // Whether the name org.bluez has an owner on the bus.
  bool ServicePresent(std::string* why);

 private:
  bool AddProfileObject(const std::string& path, ProfileHandlers handlers, std::string* error);

  // Touched on the bus thread only, and destroyed after it has stopped.
  std::map<std::string, std::unique_ptr<Profile>> profiles_;
  // Declared last: stopped first, before anything its thread may use goes.
  std::unique_ptr<BusConnection> bus_;
};

bool BluezService::AddProfileObject(const std::string& path, ProfileHandlers handlers,
                                    std::string* error) {
  auto added = std::make_shared<BusHandoff<std::string>>();
  bus_->Post([this, path, handlers = std::move(handlers), added](sd_bus* bus) mutable {
    if (!bus) return added->Give("the connection to the bus has gone");
    auto existing = profiles_.find(path);
    if (existing != profiles_.end()) {
      // Registered once already: the object stays, with the new handlers.
      existing->second->handlers = std::move(handlers);
      return added->Give("");
    }
    auto profile = std::make_unique<Profile>(Profile{std::move(handlers)});
    int result = sd_bus_add_object_vtable(bus, nullptr, path.c_str(), kProfileInterface,
                                          kProfileVtable, profile.get());
    if (result < 0) return added->Give("cannot serve " + path + ": " + BusErrnoText(result));
    profiles_.emplace(path, std::move(profile));
    added->Give("");
  });
  // The bus thread runs the task as soon as it wakes: it never waits for anything.
  std::optional<std::string> answer = added->Take(std::chrono::seconds(10));
  if (answer && answer->empty()) return true;
  *error = answer ? *answer : "the bus thread did not answer";
  return false;
}

bool BluezService::RegisterSerialProfile(const std::string& path, const ProfileOptions& options,
                                         ProfileHandlers handlers, std::string* error) {
  if (!AddProfileObject(path, std::move(handlers), error)) return false;
  BusCall call{kBluez, "/org/bluez", "org.bluez.ProfileManager1", "RegisterProfile",
               [path, options](sd_bus_message* m) { return AppendRegistration(m, path, options); }};
  std::optional<bool> registered = CallAndWait<bool>(
      *bus_, call, [](sd_bus_message*, std::string*) { return std::optional<bool>(true); }, error);
  return registered.has_value();
}

std::optional<std::string> BluezService::FindDevice(const std::string& address, std::string* why) {
  BusCall call{kBluez, "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", {}};
  return CallAndWait<std::string>(
      *bus_, call,
      [address](sd_bus_message* reply, std::string* readWhy) {
        return DevicePathIn(reply, address, readWhy);
      },
      why);
}

void BluezService::ConnectSerialPort(const std::string& device,
                                     std::function<void(const std::string& error)> done) {
  // Asynchronous: BlueZ answers only after our profile object has answered
  // NewConnection, which this same connection serves.
  BusCall call{kBluez,
               device,
               kDeviceInterface,
               "ConnectProfile",
               [](sd_bus_message* m) { return sd_bus_message_append(m, "s", kSerialPortUuid); },
               kConnectCallTimeout};
  bus_->Call(call, [done](sd_bus_message*, const std::string& error) { done(error); });
}

bool BluezService::ServicePresent(std::string* why) {
  BusCall call{"org.freedesktop.DBus",
               "/org/freedesktop/DBus",
               "org.freedesktop.DBus",
               "NameHasOwner",
               [](sd_bus_message* m) { return sd_bus_message_append(m, "s", kBluez); },
               std::chrono::seconds(5)};
  std::optional<bool> owned = CallAndWait<bool>(
      *bus_, call,
      [](sd_bus_message* reply, std::string* readWhy) -> std::optional<bool> {
        int owner = 0;
        int result = sd_bus_message_read(reply, "b", &owner);
        if (result < 0) {
          *readWhy = "cannot read the answer of the bus: " + BusErrnoText(result);
          return std::nullopt;
        }
        return owner != 0;
      },
      why);
  if (owned && !*owned) *why = "no Bluetooth service (org.bluez) on the system bus";
  return owned.value_or(false);
}

}  // namespace

std::unique_ptr<BluetoothService> ConnectBluetoothService(const Environment& env,
                                                          std::string* why) {
  std::optional<std::string> address = env("DBUS_SYSTEM_BUS_ADDRESS");
  std::unique_ptr<BusConnection> bus =
      BusConnection::Open(address && !address->empty() ? *address : kDefaultSystemBus, why);
  if (!bus) return nullptr;
  auto service = std::make_unique<BluezService>(std::move(bus));
  if (!service->ServicePresent(why)) return nullptr;
  return service;
}

}  // namespace tarvel
