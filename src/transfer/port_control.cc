// SPDX-License-Identifier: MIT
// Registering, opening, closing and writing plain text to the port.
#include <string>
#include <vector>

#include "link/bluetooth_ports.h"
#include "link/link_text.h"
#include "link/port_devices.h"
#include "link/port_io.h"
#include "platform/registry.h"
#include "transfer/operations.h"

namespace tarvel {
namespace {

constexpr const char* kIncomingPortKey = "Software\\Microsoft\\Bluetooth\\Serial\\Ports\\Incoming";

std::vector<RegistryValue> IncomingPortValues() {
  using Type = RegistryValue::Type;
  return {
      {"Server", Type::Dword, 1, {}},     {"Authentication", Type::Dword, 1, {}},
      {"Encryption", Type::Dword, 1, {}}, {"RemoteDCB", Type::Dword, 0, {}},
      {"KeepDCD", Type::Dword, 0, {}},    {"Port", Type::String, 0, u"COM0"},
  };
}

// The fixed line settings, on top of what the port reported.
void ApplyLineSettings(SerialDevice& port) {
  LineSettings settings;
  port.ReadSettings(settings);
  settings.baudRate = 256000;
  settings.byteSize = 8;
  settings.parity = 0;
  settings.stopBits = 0;
  // Software flow control stays off: it would swallow every XON and XOFF byte
  // inside file content, and the wire has no way to escape them.
  settings.softwareFlowControl = false;
  port.WriteSettings(settings);
}

// Writes the text in one write, within the text buffer of its size.
bool SendText(LinkState& state, std::u16string_view text, std::string* why) {
  std::optional<std::string> bytes = ToLinkText(state.env(), text, why);
  std::optional<std::string> message = bytes ? wire::FormatTextMessage(*bytes, why) : std::nullopt;
  return message && WriteMessage(state.Slot(), state.Line(), *message, why);
}

std::string PortName(int port) {
  return "COM" + std::to_string(port) + ":";
}

}  // namespace

int PortCreate(LinkState& state) {
  std::string error;
  if (!WriteRegistryValues(state.env(), kIncomingPortKey, IncomingPortValues(), &error)) {
    state.Reports().Fail("cannot register the incoming port: " + error);
  }
  RegisterIncomingBluetoothPort(state.Bluetooth(), state.Reports());
  return kDone;
}

int PortOpen(LinkState& state, int port) {
  // A port opened earlier is closed first: its descriptor would leak and, held
  // for exclusive use, keep the same port from opening again.
  state.Slot().ReplacePort(nullptr);
  std::string error;
  std::shared_ptr<SerialDevice> device = OpenPortDevice(state, port, &error);
  if (!device) {
    state.Reports().Fail("cannot open " + PortName(port) + " " + error);
    return kPortUnavailable;
  }
  ApplyLineSettings(*device);
  // Before the port is in place, so that its first writer keeps to its record.
  state.Line().Attach(PortDeviceKey(state, port));
  state.Slot().ReplacePort(std::move(device));
  return kDone;
}

int PortClose(LinkState& state) {
  // An outgoing Bluetooth connect still under way on another thread gives up.
  state.Bluetooth().AbandonConnect();
  state.Slot().ReplacePort(nullptr);
  return kDone;
}

int PortSend(LinkState& state, const char16_t* text) {
  std::optional<std::u16string_view> wide = HostText(text);
  if (!wide) {
    state.Reports().Fail("no text to send");
    return kDone;
  }
  std::string why;
  if (!SendText(state, *wide, &why)) state.Reports().Fail("cannot send text: " + why);
  return kDone;
}

const char16_t* CheckText(LinkState& state, int blank) {
  if (blank == 1) state.Reports().SetStatus(u" ");
  return state.Reports().StatusPointer();
}

}  // namespace tarvel
