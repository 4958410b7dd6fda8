#include "transfer/listener.h"

#include <memory>
#include <optional>
#include <string>

#include "link/link_text.h"
#include "platform/codepage.h"
#include "platform/device_files.h"
#include "transfer/file_receiver.h"
#include "transfer/file_sender.h"
#include "transfer/gateway.h"
#include "transfer/listing.h"
#include "transfer/operations.h"

namespace tarvel {
namespace {

// The host's save path is its own native path, used as given.
std::optional<FileLocation> SavePathLocation(const Environment& env, std::u16string_view savePath,
                                             std::string* why) {
  return ResolveHostPath(DeviceRoot(env), Utf16ToUtf8(savePath), why);
}

void ReceiveAnnouncedFile(LinkState& state, SerialDevice& port, const wire::Message& header)
    REQUIRES(state.Reader().Lock()) {
  // Only the answer to a get request goes to that request's save path, and
  // only it is reported as an answer; any other file is saved under its own
  // name and reported as received, whatever that name.
  std::optional<std::u16string> pending = state.Requests().TakeSave(header.argument);
  const EventKind saved = pending ? EventKind::Answer : EventKind::Received;
  std::u16string shown = pending.value_or(std::u16string());
  // The host asked for this file, so it replaces what is there; the clash
  // policy is for files the peer pushes.
  const SaveTarget target = pending ? SaveTarget::SavePath : SaveTarget::PeerName;
  std::string refusal;
  std::optional<FileLocation> location =
      shown.empty() ? PeerFileLocation(state.env(), header.argument, &shown, &refusal)
                    : SavePathLocation(state.env(), shown, &refusal);
  if (state.Slot().WaitForStop(state.timing().receiverPauseMs)) return;
  std::string why;
  if (ReceiveFile(state, port, location, header.size, refusal, &why, target, &shown) ==
      ReceiveEnd::Saved) {
    state.Reports().Report(saved, shown);
  } else {
    state.Reports().Fail("receiving " + Utf16ToUtf8(shown) + " failed: " + why);
  }
}

void AnswerList(LinkState& state, const wire::Message& request) {
  std::u16string pattern = FromLinkText(state.env(), request.argument);
  std::string why;
  if (WriteListing(state.env(), state.Requests(), pattern, &why)) {
    state.Reports().Report(EventKind::Listed, pattern);
  } else {
    state.Reports().Fail("cannot list " + Utf16ToUtf8(pattern) + ": " + why);
  }
}

void AnswerGet(LinkState& state, const wire::Message& request) {
  std::u16string name = FromLinkText(state.env(), request.argument);
  std::string why;
  if (name.size() >= wire::kRequestedNameCapacity) {
    state.Reports().Fail("requested name longer than " +
                         std::to_string(wire::kRequestedNameCapacity - 1) + " characters");
  } else if (AnswerGetRequest(state, name, &why)) {
    state.Reports().Report(EventKind::GetAnswered, name);
  } else {
    state.Reports().Fail(why);
  }
}

// Whether bytes of the next message have been read already.
bool HasCarried(MessageReader& reader) EXCLUDES(reader.Lock()) {
  MutexLock hold(reader.Lock());
  return reader.HasCarried();
}

// Waits, at no cost while the line is silent, until bytes wait on the port,
// then lets the poll interval pass so that the rest of their message arrives
// and is read with them. False when the listeners are to stop.
bool AwaitInput(PortSlot& slot, int pollIntervalMs) {
  for (;;) {
    std::shared_ptr<SerialDevice> port = slot.WaitForPort();
    if (!port) return false;
    WaitResult waited = port->WaitForInput(-1);
    if (slot.StopRequested()) return false;
    if (waited == WaitResult::Ready) break;
    // A closed or replaced port: wait on the next one. One that fails while
    // still open is polled at the interval, never in a spin.
    if (waited == WaitResult::Closed && slot.Port() == port) break;
  }
  return !slot.WaitForStop(pollIntervalMs);
}

}  // namespace

std::optional<wire::Message> NextMessage(LinkState& state, SerialDevice& port) {
  return state.Reader().Next(port, MessageReader::Framing::Listener);
}

void HandleMessage(LinkState& state, SerialDevice& port, const wire::Message& message) {
  if (!message.refusal.empty()) {
    state.Reports().Fail("message refused: " + message.refusal);
    if (message.kind == wire::MessageKind::FileHeader) {
      PortSlot& slot = state.Slot();
      state.Reader().DiscardRefusedContent(port, [&slot] { return slot.StopRequested(); });
    }
    return;
  }
  switch (message.kind) {
    case wire::MessageKind::FileHeader:
      return ReceiveAnnouncedFile(state, port, message);
    case wire::MessageKind::ListRequest:
      return AnswerList(state, message);
    case wire::MessageKind::GetRequest:
      return AnswerGet(state, message);
    case wire::MessageKind::TextMessage:
      return state.Reports().Report(EventKind::PeerText,
                                    FromLinkText(state.env(), message.argument));
  }
}

void ListenerLoop(LinkState& state) {
  PortSlot& slot = state.Slot();
  while (!slot.StopRequested()) {
    // Bytes of the next message read already are taken at once; otherwise
    // the listener waits for input without holding the reader.
    if (!HasCarried(state.Reader()) && !AwaitInput(slot, state.timing().pollIntervalMs)) return;
    MutexLock hold(state.Reader().Lock());
    std::shared_ptr<SerialDevice> port = slot.Port();
    if (!port) {
      // Bytes read from a port that has since closed belong to no message now.
      state.Reader().DropCarried();
      continue;
    }
    // Nothing waiting, or a failed query or read: poll again later, never act
    // on an earlier message again.
    std::optional<wire::Message> message = NextMessage(state, *port);
    if (message) HandleMessage(state, *port, *message);
  }
}

void StartListening(LinkState& state) {
  state.Requests().ClearSaves();
  state.Slot().StartListener([&state] { ListenerLoop(state); });
}

int Server(LinkState& state) {
  StartGatewayIfAsked(state);
  StartListening(state);
  return kDone;
}

}  // namespace tarvel
