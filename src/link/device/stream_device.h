// SPDX-License-Identifier: MIT
// A connected stream socket behind the serial-device seam: how a Bluetooth
// serial connection reaches the link when the system hands over the socket
// itself rather than a tty.
#pragma once

#include <memory>
#include <string>

#include "link/device/serial_device.h"

namespace tarvel {

// Takes over `socket`, a connected stream socket: the device closes it, and on
// failure, saying why, it is closed at once. Reads, writes and Close behave as
// a tty's do, bounded by the read quiet gap and write stall limit of `timing`,
// the link's own; line settings do not apply to a socket and are accepted
// without effect. Close shuts the connection down at once, so the peer sees
// the hang-up then.
std::unique_ptr<SerialDevice> AdoptStreamSocket(int socket, std::string* why,
                                                const LinkTiming& timing);

}  // namespace tarvel
