#include "link/port_devices.h"

#include <cctype>
#include <optional>
#include <string_view>

#include "link/bluetooth_ports.h"
#include "platform/line_record.h"
#include "platform/port_names.h"

namespace tarvel {
namespace {

constexpr std::string_view kBluetoothScheme = "bluetooth:";

bool NamedInEnvironment(const Environment& env, int port) {
  std::optional<std::string> named = env("TARVEL_COM" + std::to_string(port));
  return named && !named->empty();
}

}  // namespace

void RegisterIncomingBluetoothPort(BluetoothPorts& bluetooth, Reporting& reports) {
  std::string why;
  if (bluetooth.RegisterIncoming(&why) == BluetoothPorts::Registration::Refused) {
    reports.Fail("cannot register the incoming Bluetooth port: " + why);
  }
}

std::shared_ptr<SerialDevice> OpenPortDevice(LinkState& state, int port, std::string* why) {
  BluetoothPorts& bluetooth = state.Bluetooth();
  if (port == 0 && bluetooth.IncomingPortExists() && !NamedInEnvironment(state.env(), port)) {
    return bluetooth.OpenIncoming();
  }
  std::string path = SerialDevicePath(port, state.env());
  if (path.compare(0, kBluetoothScheme.size(), kBluetoothScheme) == 0) {
    return bluetooth.ConnectOutgoing(path.substr(kBluetoothScheme.size()), why);
  }
  return OpenSerialDevice(path, why, state.timing());
}

std::string PortDeviceKey(LinkState& state, int port) {
  // Whichever peer connects, the incoming port is one line of this machine.
  if (port == 0 && state.Bluetooth().IncomingPortExists() &&
      !NamedInEnvironment(state.env(), port)) {
    return "bluetooth-incoming";
  }
  std::string path = SerialDevicePath(port, state.env());
  if (path.compare(0, kBluetoothScheme.size(), kBluetoothScheme) == 0) {
    std::string address = path.substr(kBluetoothScheme.size());
    for (char& c : address) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return "bluetooth-" + address;
  }
  return CanonicalDeviceName(path);
}

}  // namespace tarvel
