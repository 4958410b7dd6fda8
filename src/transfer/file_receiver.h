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
#include "platform/mutex.h"

namespace tarvel {

// Receives the `size` content bytes of an announced file: first from the bytes
// already read (the bytes its reader carried), then from the port, never more than
// are due, so what follows the file stays for the next message. The content
// goes to `file`, which is committed only when every byte has arrived; with no
// file (a refused name) the bytes are read and thrown away, so that content is
// never taken for messages. A failing disk also only stops the writing (and
// gives up the partial file at once). Gives up when the line stays quiet too
// long, the device fails, or the state's listeners are stopping; its progress
// is reported as it goes. The caller holds the reader. `placedName`, when given, receives the last
// component of the name the file went in under.
enum class ReceiveEnd {
  Saved,    // every byte arrived and the file is in place
  Drained,  // every byte arrived and, with no file to take it, was thrown away
  Failed    // says why
};
ReceiveEnd ReceiveContent(LinkState& state, SerialDevice& port, std::unique_ptr<OutputFile> file,
                          int64_t size, std::string* why, std::string* placedName = nullptr)
    REQUIRES(state.Reader().Lock());

// Where a file that the peer names (8-bit, a device path) is saved, and the
// name shown for it; nothing, saying why, when the name is refused.
std::optional<FileLocation> PeerFileLocation(const Environment& env, std::string_view name,
                                             std::u16string* shown, std::string* why);

// The link's clash policy, TARVEL_ON_CLASH: overwrite (also when unset or
// empty), rename or skip. Nothing, saying why, for any other value.
std::optional<ClashPolicy> ClashPolicySetting(const Environment& env, std::string* why);

// Whether a pushed file's missing folders are made beneath the device root:
// TARVEL_CREATE_FOLDERS set to 1, true, yes or on. Off otherwise, as the
// link's other peers expect: they save a file only where its folder exists.
bool CreateFoldersSetting(const Environment& env);

// Whose name a received file goes in under.
enum class SaveTarget {
  PeerName,  // the name in the header: the link's clash policy applies
  SavePath,  // the save path of the host's own get request: always replaced
};

// Creates the file at `location` and receives its content as above. The file
// is refused before anything is created when it does not fit the free space of
// its file system less a reserve, when the clash policy is not understood, or
// when Skip meets a file of its name. With no location, or a refused or
// uncreatable file, the content is drained and the receive fails with
// `refusal` (or the reason the file was refused) as its reason. When the file
// went in under a numbered name, `shown` ends in that name instead.
ReceiveEnd ReceiveFile(LinkState& state, SerialDevice& port,
                       const std::optional<FileLocation>& location, int64_t size,
                       std::string refusal, std::string* why, SaveTarget target,
                       std::u16string* shown) REQUIRES(state.Reader().Lock());

// The free space a received file must leave on its file system: 1 % of the
// file system, at most 64 MiB.
uint64_t SpaceReserve(uint64_t total);

// A size for people: "512 bytes", "12.0 MiB", "1.5 GiB".
std::string SizeText(uint64_t bytes);

}  // namespace tarvel
