// SPDX-License-Identifier: MIT
// COM port numbers on Windows: the port itself, named in the device namespace
// ("\\.\COM3"), the one form that also reaches COM0 and ports past COM9; or any
// device named per port in the environment.
#include "platform/port_names.h"

namespace tarvel {

std::string SerialDevicePath(int port, const Environment& env) {
  std::string number = std::to_string(port);
  std::optional<std::string> chosen = env("TARVEL_COM" + number);
  if (chosen && !chosen->empty()) return *chosen;
  return "\\\\.\\COM" + number;
}

}  // namespace tarvel
