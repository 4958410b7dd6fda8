// SPDX-License-Identifier: MIT
// Taking what has arrived at a moment of the host's choosing, without the listener.
#include <memory>
#include <optional>
#include <string>

#include "link/link_text.h"
#include "platform/codepage.h"
#include "platform/mutex.h"
#include "transfer/file_receiver.h"
#include "transfer/operations.h"
#include "wire/wire_format.h"

namespace tarvel {
namespace {

// The polled reader shows the bare file name, set before the content arrives,
// and takes the content with no pause.
void ReceivePolledFile(LinkState& state, SerialDevice& port, const wire::Message& header)
    REQUIRES(state.Reader().Lock()) {
  std::u16string shown;
  std::string refusal;
  std::optional<FileLocation> location =
      PeerFileLocation(state.env(), header.argument, &shown, &refusal);
  state.Reports().SetStatus(shown);
  std::string why;
  if (ReceiveFile(state, port, location, header.size, refusal, &why, SaveTarget::PeerName,
                  &shown) == ReceiveEnd::Saved) {
    state.Reports().Report(EventKind::PolledFile, shown);
  } else {
    state.Reports().Fail("receiving " + Utf16ToUtf8(shown) + " failed: " + why);
  }
}

// Takes the next message, if any, and acts on it.
void TakePolledMessage(LinkState& state, SerialDevice& port) REQUIRES(state.Reader().Lock()) {
  std::optional<wire::Message> message = state.Reader().Next(port, MessageReader::Framing::Polled);
  if (!message) {
    state.Reports().SetStatus(u"");
  } else if (!message->refusal.empty()) {
    state.Reports().Fail("message refused: " + message->refusal);
    if (message->kind == wire::MessageKind::FileHeader) {
      PortSlot& slot = state.Slot();
      state.Reader().DiscardRefusedContent(port, [&slot] { return slot.StopRequested(); });
    }
  } else if (message->kind == wire::MessageKind::FileHeader) {
    ReceivePolledFile(state, port, *message);
  } else {
    state.Reports().Report(EventKind::PolledText, FromLinkText(state.env(), message->argument));
  }
}

}  // namespace

const char16_t* PortRead(LinkState& state) {
  std::shared_ptr<SerialDevice> port = state.Slot().Port();
  // A reader that finds the listener in the middle of a message takes nothing:
  // those bytes are the listener's.
  if (port && state.Reader().Lock().TryLock()) {
    MutexLock hold(state.Reader().Lock(), MutexLock::Adopt{});
    TakePolledMessage(state, *port);
  } else {
    state.Reports().SetStatus(u"");
  }
  return state.Reports().StatusPointer();
}

}  // namespace tarvel
