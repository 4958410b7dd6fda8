// SPDX-License-Identifier: MIT
// Whole messages out to the port: the claim of the line and the write.
// Reading them is the MessageReader's (link/message_reader.h).
#pragma once

#include <string>
#include <string_view>

#include "link/port_slot.h"
#include "link/quiet_line.h"

namespace tarvel {

// The port to write to, once the line may be written: after the quiet that
// the last message or an incomplete file asks for, by this process or another
// that used the device. The line is then claimed for `use` until the caller
// releases it (line.Release). Nothing, saying why, when no port is open, or it
// was closed or the slot's listeners began stopping during the wait. The
// caller holds the line's write lock.
std::shared_ptr<SerialDevice> ClaimPort(PortSlot& slot, QuietLine& line, QuietLine::Use use,
                                        std::string* why) REQUIRES(line.WriteLock());

// Writes `bytes` to the port in one write under the write lock, once the line
// may be written, after the queue-status query that clears the device's error
// state; the line then stays quiet for the message gap. False, saying why,
// when no port is open or not every byte went out.
bool WriteMessage(PortSlot& slot, QuietLine& line, std::string_view bytes, std::string* why)
    EXCLUDES(line.WriteLock());

}  // namespace tarvel
