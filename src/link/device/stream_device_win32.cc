// SPDX-License-Identifier: MIT
// No service on Windows hands the library a socket: its Bluetooth serial ports
// are COM ports (see bluetooth_win32.cc), so there is nothing to take over.
#include "link/device/stream_device.h"

namespace tarvel {

std::unique_ptr<SerialDevice> AdoptStreamSocket(int, std::string* why, const LinkTiming&) {
  *why = "stream connections are not available on this system";
  return nullptr;
}

}  // namespace tarvel
