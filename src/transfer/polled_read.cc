// SPDX-License-Identifier: MIT
// Taking what has arrived at a moment of the host's choosing, without the listener.
#include <memory>
#include <optional>
#include <string>

#include "link/link_text.h"
#include "link/port_io.h"
#include "platform/codepage.h"
#include "transfer/file_receiver.h"
#include "transfer/operations.h"
#include "wire/wire_format.h"

namespace tarvel {
namespace {

// The polled reader shows the bare file name, set before the content arrives,
// and takes the content with no pause.
void ReceivePolledFile(LinkState& state, SerialDevice& port, const wire::Message& header) {
  std::u16string shown;
  std::string refusal;
  std::optional<FileLocation> location = PeerFileLocation(state, header.argument, &shown, &refusal);
  state.SetStatus(shown);
  std::string why;
  if (ReceiveFile(state, port, location, header.size, refusal, &why, SaveTarget::PeerName,
                  &shown) == ReceiveEnd::Saved) {
    state.Report(EventKind::PolledFile, shown);
  } else {
    state.Fail("receiving " + Utf16ToUtf8(shown) + " failed: " + why);
  }
}

}  // namespace

const char16_t* PortRead(LinkState& state) {
  std::shared_ptr<SerialDevice> port = state.Port();
  // A reader that finds the listener in the middle of a message takes nothing:
  // those bytes are the listener's.
  std::unique_lock<std::mutex> readLock(state.ReadLock(), std::try_to_lock);
  std::optional<std::string> read =
      port && readLock.owns_lock() ? TakeNextRead(state, *port) : std::nullopt;
  if (!read) {
    state.SetStatus(u"");
    return state.StatusPointer();
  }
  AwaitWholePolledHeader(state, *port, *read);
  wire::Message message = wire::RecognisePolled(*read);
  state.CarriedBytes().insert(0, read->substr(message.end));
  if (!message.refusal.empty()) {
    state.Fail("message refused: " + message.refusal);
    if (message.kind == wire::MessageKind::FileHeader) {
      DiscardUntilQuiet(state, *port, state.timing().refusedDiscardQuietMs);
    }
  } else if (message.kind == wire::MessageKind::FileHeader) {
    ReceivePolledFile(state, *port, message);
  } else {
    state.Report(EventKind::PolledText, FromLinkText(state.env(), message.argument));
  }
  return state.StatusPointer();
}

}  // namespace tarvel
