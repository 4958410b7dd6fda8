// SPDX-License-Identifier: MIT
// Whole messages in and out of the port.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "link/link_state.h"

namespace tarvel {

// The port to write to, once the line may be written: after the quiet that
// the last message or an incomplete file asks for, by this process or another
// that used the device. The line is then claimed for `use` until the caller
// releases it (state.Line().Release). Nothing, saying why, when no port is
// open, or it was closed or the device began shutting down during the wait.
// The caller holds the write lock.
std::shared_ptr<SerialDevice> ClaimPort(LinkState& state, QuietLine::Use use, std::string* why)
    REQUIRES(state.WriteLock());

// Writes `bytes` to the port in one write under the write lock, once the line
// may be written, after the queue-status query that clears the device's error
// state; the line then stays quiet for the message gap. False, saying why,
// when no port is open or not every byte went out.
bool WriteMessage(LinkState& state, std::string_view bytes, std::string* why)
    EXCLUDES(state.WriteLock());

// The next read to take as a message: bytes left over from the last message,
// or everything waiting on the port (at most one read's worth). Nothing when
// nothing is waiting or the port cannot be queried or read. The caller holds
// the read lock.
std::optional<std::string> TakeNextRead(LinkState& state, SerialDevice& port);

// Completes `read` while it holds only the start of a file header (from the
// first byte of "FILE:" on): appends what the port brings until the header is
// whole, the line has been quiet for the read's quiet gap, or a read's worth
// has come. A start that is not followed in time stays what it is, a text.
// The caller holds the read lock.
void AwaitWholeHeader(const LinkState& state, SerialDevice& port, std::string& read);
// The same for the polled reader, whose own header form is whole once a space
// follows the name.
void AwaitWholePolledHeader(const LinkState& state, SerialDevice& port, std::string& read);

// Throws away what follows a refused file header, the carried bytes and then
// everything the port brings, until the line has been quiet for `quietMs`, the
// device fails, or the state's listeners are stopping. The caller holds the
// read lock.
void DiscardUntilQuiet(LinkState& state, SerialDevice& port, int quietMs);

}  // namespace tarvel
