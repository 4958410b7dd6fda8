// SPDX-License-Identifier: MIT
// The Bluetooth service on Linux: BlueZ's bluetoothd, reached on the D-Bus
// system bus under the name org.bluez. A profile is an object of ours on the
// bus that BlueZ calls with each connection, handing over the connected RFCOMM
// socket itself, so no tty and no rfcomm binding is involved.
//
// Any program on the bus can call our profile object, so only the current
// owner of org.bluez is obeyed, and only a connected stream socket is taken.
// The owner is followed through NameOwnerChanged: when bluetoothd restarts,
// our profiles are registered with the new one.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "platform/bluetooth.h"
#include "platform/bluez_devices_posix.h"
#include "platform/bus_connection_posix.h"

namespace tarvel {
namespace {

constexpr const char* kBluez = "org.bluez";
constexpr const char* kProfileInterface = "org.bluez.Profile1";
constexpr const char* kRejected = "org.bluez.Error.Rejected";
constexpr const char* kDefaultSystemBus = "unix:path=/run/dbus/system_bus_socket";
constexpr const char* kOwnerChangedRule =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.bluez'";

// One profile object of ours. Touched on the bus thread only.
struct Profile {
  ProfileHandlers handlers;
  ProfileOptions options;
  const std::string* bluezOwner;  // the unique name BlueZ has now; empty while it is away
};

int ReplyRejected(sd_bus_message* call, const std::string& why) {
  return sd_bus_reply_method_errorf(call, kRejected, "%s", why.c_str());
}

// Whether `call` comes from BlueZ itself.
bool FromBluez(sd_bus_message* call, const Profile& profile) {
  const char* sender = sd_bus_message_get_sender(call);
  return sender && !profile.bluezOwner->empty() && *profile.bluezOwner == sender;
}

// Why `fd` is no connected stream socket; empty when it is one.
std::string NotAConnection(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return "the descriptor cannot be examined";
  if (!S_ISSOCK(status.st_mode)) return "the descriptor is not a socket";
  int value = 0;
  socklen_t length = sizeof value;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &value, &length) != 0 || value != SOCK_STREAM) {
    return "the socket is not a stream socket";
  }
  length = sizeof value;
  if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &value, &length) != 0 || value != 0) {
    return "the socket is a listening socket";
  }
  sockaddr_storage peer{};
  length = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
    return "the socket is not connected";
  }
  return "";
}

// Gives the connection to the handler, which then owns it: `*fd` becomes -1.
// The handler's refusal, or the empty text.
std::string HandOver(Profile& profile, const char* device, int* fd) {
  if (!profile.handlers.connected) return "no serial port takes connections";
  int handed = *fd;
  *fd = -1;
  try {
    return profile.handlers.connected(device, handed);
  } catch (...) {
    return "out of memory";
  }
}

int OnNewConnection(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto* profile = static_cast<Profile*>(userdata);
  if (!FromBluez(call, *profile)) return ReplyRejected(call, "only BlueZ may connect peers");
  const char* device = nullptr;
  int fd = -1;
  int result = sd_bus_message_read(call, "oh", &device, &fd);
  if (result < 0) return result;
  // The descriptor in the message is the message's; ours is a copy.
  int own = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (own < 0) return ReplyRejected(call, "cannot take the connection over");
  std::string refusal = NotAConnection(own);
  if (refusal.empty()) refusal = HandOver(*profile, device, &own);
  if (own >= 0) close(own);
  if (!refusal.empty()) return ReplyRejected(call, refusal);
  return sd_bus_reply_method_return(call, "");
}

int OnRequestDisconnection(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto* profile = static_cast<Profile*>(userdata);
  if (!FromBluez(call, *profile)) return ReplyRejected(call, "only BlueZ may disconnect peers");
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
  if (!FromBluez(call, *profile)) return ReplyRejected(call, "only BlueZ may release the profile");
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
  int authentication = options.requireAuthentication;
  int authorization = options.requireAuthorization;
  if (result >= 0) result = AppendOption(message, "Role", "s", "server");
  if (result >= 0) result = AppendOption(message, "RequireAuthentication", "b", &authentication);
  if (result >= 0) result = AppendOption(message, "RequireAuthorization", "b", &authorization);
  if (result >= 0) result = sd_bus_message_close_container(message);
  return result;
}

BusCall RegistrationCall(const std::string& path, const ProfileOptions& options) {
  return BusCall{
      kBluez, "/org/bluez", "org.bluez.ProfileManager1", "RegisterProfile",
      [path, options](sd_bus_message* m) { return AppendRegistration(m, path, options); }};
}

class BluezService final : public BluetoothService {
 public:
  explicit BluezService(std::unique_ptr<BusConnection> bus) : bus_(std::move(bus)) {}

  bool Connected() const override { return bus_->Connected(); }
  bool RegisterSerialProfile(const std::string& path, const ProfileOptions& options,
                             ProfileHandlers handlers, std::string* error) override;
  std::optional<KnownDevice> FindDevice(const std::string& address, std::string* why) override;

  // Starts following the owner of org.bluez. False, saying why, when it has
  // none or the bus does not answer.
  bool FollowBluez(std::string* why);

 private:
  bool AddProfileObject(const std::string& path, const ProfileOptions& options,
                        ProfileHandlers handlers, std::string* error);
  static int OnOwnerChanged(sd_bus_message* signal, void* userdata, sd_bus_error*);
  // On the bus thread: org.bluez has a new owner, or none (empty).
  void OwnerChanged(const std::string& owner);

  // Touched on the bus thread only, and destroyed after it has stopped.
  std::string bluezOwner_;
  std::map<std::string, std::unique_ptr<Profile>> profiles_;
  // Declared last: stopped first, before anything its thread may use goes.
  std::unique_ptr<BusConnection> bus_;
};

bool BluezService::AddProfileObject(const std::string& path, const ProfileOptions& options,
                                    ProfileHandlers handlers, std::string* error) {
  auto added = std::make_shared<BusHandoff<std::string>>();
  bus_->Post([this, path, options, handlers = std::move(handlers), added](sd_bus* bus) mutable {
    if (!bus) return added->Give("the connection to the bus has gone");
    auto existing = profiles_.find(path);
    if (existing != profiles_.end()) {
      // Registered once already: the object stays, with the new handlers.
      existing->second->handlers = std::move(handlers);
      existing->second->options = options;
      return added->Give("");
    }
    auto profile = std::make_unique<Profile>(Profile{std::move(handlers), options, &bluezOwner_});
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
  if (!AddProfileObject(path, options, std::move(handlers), error)) return false;
  std::optional<bool> registered = CallAndWait<bool>(
      *bus_, RegistrationCall(path, options),
      [](sd_bus_message*, std::string*) { return std::optional<bool>(true); }, error);
  return registered.has_value();
}

std::optional<BluetoothService::KnownDevice> BluezService::FindDevice(const std::string& address,
                                                                      std::string* why) {
  BusCall call{kBluez, "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", {}};
  return CallAndWait<KnownDevice>(
      *bus_, call,
      [address](sd_bus_message* reply, std::string* readWhy) {
        return DeviceIn(reply, address, readWhy);
      },
      why);
}

int BluezService::OnOwnerChanged(sd_bus_message* signal, void* userdata, sd_bus_error*) {
  const char* name = nullptr;
  const char* before = nullptr;
  const char* after = nullptr;
  if (sd_bus_message_read(signal, "sss", &name, &before, &after) < 0) return 0;
  if (!name || std::strcmp(name, kBluez) != 0) return 0;
  try {
    static_cast<BluezService*>(userdata)->OwnerChanged(after ? after : "");
  } catch (...) {
    // Out of memory: the profiles wait for the next change.
  }
  return 0;
}

void BluezService::OwnerChanged(const std::string& owner) {
  bool wasThere = !bluezOwner_.empty();
  bluezOwner_ = owner;
  for (auto& [path, profile] : profiles_) {
    // Whoever held the name before took our registrations with it.
    if (wasThere && profile->handlers.serviceGone) profile->handlers.serviceGone();
    if (owner.empty()) continue;
    Profile* again = profile.get();
    bus_->Call(RegistrationCall(path, profile->options),
               [again](sd_bus_message*, const std::string& error) {
                 if (again->handlers.registeredAgain) again->handlers.registeredAgain(error);
               });
  }
}

bool BluezService::FollowBluez(std::string* why) {
  auto watching = std::make_shared<BusHandoff<int>>();
  bus_->Post([this, watching](sd_bus* bus) {
    if (!bus) return watching->Give(-ENOTCONN);
    // A floating slot: the match lasts as long as the connection.
    watching->Give(
        sd_bus_add_match_async(bus, nullptr, kOwnerChangedRule, OnOwnerChanged, nullptr, this));
  });
  std::optional<int> added = watching->Take(std::chrono::seconds(10));
  if (!added || *added < 0) {
    *why = "cannot follow the Bluetooth service on the bus: " +
           (added ? BusErrnoText(*added) : std::string("no answer"));
    return false;
  }
  // Asked after the match was sent, so no change falls between the two.
  BusCall call{"org.freedesktop.DBus",
               "/org/freedesktop/DBus",
               "org.freedesktop.DBus",
               "GetNameOwner",
               [](sd_bus_message* m) { return sd_bus_message_append(m, "s", kBluez); },
               std::chrono::seconds(5)};
  std::optional<bool> owned = CallAndWait<bool>(
      *bus_, call,
      [this](sd_bus_message* reply, std::string* readWhy) -> std::optional<bool> {
        const char* owner = nullptr;
        int result = sd_bus_message_read(reply, "s", &owner);
        if (result < 0) {
          *readWhy = "cannot read the answer of the bus: " + BusErrnoText(result);
          return std::nullopt;
        }
        // On the bus thread, before any later NameOwnerChanged.
        bluezOwner_ = owner ? owner : "";
        return true;
      },
      why);
  if (!owned) *why = "no Bluetooth service (org.bluez) on the system bus: " + *why;
  return owned.has_value();
}

}  // namespace

std::unique_ptr<BluetoothService> ConnectBluetoothService(const Environment& env,
                                                          std::string* why) {
  std::optional<std::string> address = env("DBUS_SYSTEM_BUS_ADDRESS");
  std::unique_ptr<BusConnection> bus =
      BusConnection::Open(address && !address->empty() ? *address : kDefaultSystemBus, why);
  if (!bus) return nullptr;
  auto service = std::make_unique<BluezService>(std::move(bus));
  if (!service->FollowBluez(why)) return nullptr;
  return service;
}

}  // namespace tarvel
