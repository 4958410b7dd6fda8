// SPDX-License-Identifier: MIT
#include "link/port_io.h"

#include <cstdint>
#include <string_view>

namespace tarvel {

std::shared_ptr<SerialDevice> ClaimPort(PortSlot& slot, QuietLine& line, QuietLine::Use use,
                                        std::string* why) {
  std::shared_ptr<SerialDevice> port = slot.Port();
  if (!port) {
    *why = "no port open";
    return nullptr;
  }
  // A port closed or replaced meanwhile (the host stopping a send) ends the wait.
  bool claimed = line.Claim(use, [&](int milliseconds) {
    return !slot.WaitForStop(milliseconds) && slot.Port() == port;
  });
  if (claimed) return port;
  *why = slot.StopRequested() ? "the device is shutting down" : "the port was closed";
  return nullptr;
}

bool WriteMessage(PortSlot& slot, QuietLine& line, std::string_view bytes, std::string* why) {
  MutexLock lock(line.WriteLock());
  std::shared_ptr<SerialDevice> port = ClaimPort(slot, line, QuietLine::Use::Message, why);
  if (!port) return false;
  port->QueueStatus();
  WriteResult result = port->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  // Even a message cut short is a message to the peer, and one read of it.
  line.Release(QuietLine::End::Whole);
  if (!result.ok) {
    *why = "write failed after " + std::to_string(result.written) + " of " +
           std::to_string(bytes.size()) + " bytes";
    if (result.why) *why += std::string(": ") + result.why;
    return false;
  }
  return true;
}

}  // namespace tarvel
