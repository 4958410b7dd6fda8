// SPDX-License-Identifier: MIT
// Taking an announced file's content off the port, for the listener and the
// polled reader alike.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "link/link_state.h"
#include "platform/device_files.h"

namespace tarvel {

// Receives the `size` content bytes of an announced file: first from the bytes
// already read (the state's carried bytes), then from the port, never more than
// are due, so what follows the file stays for the next message. The content
// goes to `file`, which is committed only when every byte has arrived; with no
// file (a refused name) the bytes are read and thrown away, so that content is
// never taken for messages. A failing disk also only stops the writing. Gives
// up when the line stays quiet too long, the device fails, or the state's
// listeners are stopping. The caller holds the read lock.
enum class ReceiveEnd {
  Saved,    // every byte arrived and the file is in place
  Drained,  // every byte arrived and, with no file to take it, was thrown away
  Failed    // says why
};
ReceiveEnd ReceiveContent(LinkState& state, SerialDevice& port, std::unique_ptr<OutputFile> file,
                          int64_t size, std::string* why);

// Where a file that the peer names (8-bit, a device path) is saved, and the
// name shown for it; nothing, saying why, when the name is refused.
std::optional<FileLocation> PeerFileLocation(const LinkState& state, std::string_view name,
                                             std::u16string* shown, std::string* why);

// Creates the file at `location` and receives its content as above. With no
// location, or when the file cannot be created, the content is drained and the
// receive fails with `refusal` (or the creation's error) as its reason.
ReceiveEnd ReceiveFile(LinkState& state, SerialDevice& port,
                       const std::optional<FileLocation>& location, int64_t size,
                       std::string refusal, std::string* why);

}  // namespace tarvel
