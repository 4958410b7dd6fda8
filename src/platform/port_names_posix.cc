// SPDX-License-Identifier: MIT
// COM port numbers on POSIX: a Bluetooth RFCOMM binding by default, or any tty
// (a USB serial adapter, one end of a pty pair) named per port in the environment.
#include "platform/port_names.h"

namespace tarvel {

std::string SerialDevicePath(int port, const Environment& env) {
  std::string number = std::to_string(port);
  std::optional<std::string> chosen = env("TARVEL_COM" + number);
  if (chosen && !chosen->empty()) return *chosen;
  return "/dev/rfcomm" + number;
}

}  // namespace tarvel
