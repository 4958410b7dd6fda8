#include "platform/bluez_devices_posix.h"

#include <strings.h>

#include "platform/bus_connection_posix.h"

namespace tarvel {
namespace {

constexpr const char* kDeviceInterface = "org.bluez.Device1";

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
  bool ReadFlag() {
    int value = 0;
    if (failure_ < 0 || Step(sd_bus_message_read_basic(message_, 'b', &value)) <= 0) return false;
    return value != 0;
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
// Address is `address`, compared without regard to case, and if so whether
// it is paired.
bool IsDeviceAt(MessageReader& reader, const std::string& address, bool* paired) {
  bool match = false;
  if (!reader.Enter('a', "{sa{sv}}")) return false;
  while (reader.Enter('e', "sa{sv}")) {
    if (reader.ReadText('s') != kDeviceInterface) {
      reader.Skip("a{sv}");
    } else if (reader.Enter('a', "{sv}")) {
      while (reader.Enter('e', "sv")) {
        std::string property = reader.ReadText('s');
        if (property == "Address" && reader.EnterVariant("s")) {
          match = match || strcasecmp(reader.ReadText('s').c_str(), address.c_str()) == 0;
          reader.Exit();
        } else if (property == "Paired" && reader.EnterVariant("b")) {
          *paired = reader.ReadFlag();
          reader.Exit();
        } else if (property != "Address" && property != "Paired") {
          reader.Skip("v");
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

}  // namespace

std::optional<BluetoothService::KnownDevice> DeviceIn(sd_bus_message* reply,
                                                      const std::string& address,
                                                      std::string* why) {
  MessageReader reader(reply);
  if (reader.Enter('a', "{oa{sa{sv}}}")) {
    while (reader.Enter('e', "oa{sa{sv}}")) {
      std::string object = reader.ReadText('o');
      bool paired = false;
      if (IsDeviceAt(reader, address, &paired) && reader.failure() >= 0) {
        return BluetoothService::KnownDevice{object, paired};
      }
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

}  // namespace tarvel
