// SPDX-License-Identifier: MIT
// Windows' own Bluetooth serial ports are COM ports the system makes; the link
// opens them by name and has no service of its own to talk to.
#include "platform/bluetooth.h"

namespace tarvel {

std::unique_ptr<BluetoothService> ConnectBluetoothService(const Environment&, std::string* why) {
  *why = "Bluetooth serial connections of the library's own are not available on this system";
  return nullptr;
}

}  // namespace tarvel
