#include "transfer/file_sender.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "link/link_text.h"
#include "link/operations.h"
#include "platform/codepage.h"
#include "platform/device_files.h"
#include "platform/sleep.h"

namespace tarvel {
namespace {

// File content is read in blocks this large and written in pieces of the
// wire's size, so memory stays flat whatever the file's size.
constexpr size_t kFileBlockSize = 64 * 1024;

struct Outgoing {
  std::unique_ptr<InputFile> file;
  std::string header;
};

// Opens the file and formats its header; nothing is written yet.
bool PrepareOutgoing(const FileLocation& location, std::string_view announcedName,
                     Outgoing& outgoing, std::string* why) {
  outgoing.file = OpenInputFile(location, why);
  if (!outgoing.file) return false;
  int64_t size = outgoing.file->Size();
  std::optional<std::string> header = wire::FormatFileHeader(announcedName, size);
  if (!header) {
    *why = "cannot announce " + std::string(announcedName) + " of " + std::to_string(size) +
           " bytes: the name holds \"|\", the header is longer than " +
           std::to_string(wire::kHeaderCapacity - 1) + " bytes, or the file is 2 GiB or more";
    return false;
  }
  outgoing.header = std::move(*header);
  return true;
}

bool WriteAll(SerialDevice& port, const uint8_t* data, size_t count, int64_t sent, int64_t size,
              std::string* why) {
  WriteResult result = port.Write(data, count);
  if (result.ok) return true;
  *why = "write failed after " + std::to_string(sent + static_cast<int64_t>(result.written)) +
         " of " + std::to_string(size) + " bytes";
  if (result.why) *why += std::string(": ") + result.why;
  return false;
}

bool SendContent(LinkState& state, SerialDevice& port, InputFile& file, std::string* why) {
  const int64_t size = file.Size();
  std::vector<uint8_t> block(kFileBlockSize);
  int64_t sent = 0;
  while (sent < size) {
    size_t want = static_cast<size_t>(std::min<int64_t>(size - sent, kFileBlockSize));
    std::ptrdiff_t got = file.Read(block.data(), want);
    if (got <= 0) {
      *why =
          "the file yielded " + std::to_string(sent) + " of its " + std::to_string(size) + " bytes";
      return false;
    }
    for (size_t at = 0; at < static_cast<size_t>(got); at += wire::kPieceSize) {
      size_t piece = std::min(wire::kPieceSize, static_cast<size_t>(got) - at);
      if (!WriteAll(port, block.data() + at, piece, sent, size, why)) return false;
      sent += static_cast<int64_t>(piece);
    }
    // Once a block, not once a piece: the progress lock stays off the per-piece path.
    state.SetProgress(sent, size);
  }
  return true;
}

// Header, pause, content, all under the write lock so that nothing else gets
// onto the wire in between.
bool SendOutgoing(LinkState& state, Outgoing& outgoing, std::string* why) {
  std::lock_guard<std::mutex> lock(state.WriteLock());
  std::shared_ptr<SerialDevice> port = state.Port();
  if (!port) {
    *why = "no port open";
    return false;
  }
  port->QueueStatus();
  const auto* header = reinterpret_cast<const uint8_t*>(outgoing.header.data());
  if (!WriteAll(*port, header, outgoing.header.size(), 0, outgoing.file->Size(), why)) {
    *why = "cannot write the file header: " + *why;
    return false;
  }
  SleepMilliseconds(state.timing().senderPauseMs);
  port->QueueStatus();
  state.SetProgress(0, outgoing.file->Size());
  bool sent = SendContent(state, *port, *outgoing.file, why);
  state.SetProgress(0, 0);
  return sent;
}

// The host's path and name in the link's code page, within the sender's buffers.
std::optional<std::string> SenderText(const LinkState& state, std::u16string_view text,
                                      std::string_view what, std::string* why) {
  std::optional<std::string> bytes = ToLinkText(state.env(), text, why);
  if (bytes && bytes->size() >= wire::kSenderPathCapacity) {
    *why = std::string(what) + " longer than " + std::to_string(wire::kSenderPathCapacity - 1) +
           " bytes: " + Utf16ToUtf8(text);
    return std::nullopt;
  }
  return bytes;
}

}  // namespace

bool AnswerGetRequest(LinkState& state, std::u16string_view name, std::string* why) {
  std::optional<std::string> announced = SenderText(state, name, "name", why);
  if (!announced) return false;
  std::optional<FileLocation> location =
      ResolveDevicePath(DeviceRoot(state.env()), Utf16ToUtf8(name), why);
  Outgoing outgoing;
  if (!location || !PrepareOutgoing(*location, *announced, outgoing, why)) {
    *why = "cannot send " + Utf16ToUtf8(name) + ": " + *why;
    return false;
  }
  return SendOutgoing(state, outgoing, why);
}

int SendFile(LinkState& state, const char16_t* localPath, const char16_t* remoteName) {
  std::optional<std::u16string_view> local = HostText(localPath);
  std::optional<std::u16string_view> remote = HostText(remoteName);
  if (!local || !remote) {
    state.Fail("send needs a local path and a remote name");
    return kDone;
  }
  std::string why;
  std::optional<std::string> localBytes = SenderText(state, *local, "path", &why);
  std::optional<std::string> remoteBytes =
      localBytes ? SenderText(state, *remote, "name", &why) : std::nullopt;
  std::optional<FileLocation> location =
      remoteBytes ? ResolveHostPath(DeviceRoot(state.env()), Utf16ToUtf8(*local), &why)
                  : std::nullopt;
  Outgoing outgoing;
  if (!location || !PrepareOutgoing(*location, *remoteBytes, outgoing, &why)) {
    state.Fail("cannot send " + Utf16ToUtf8(*local) + ": " + why);
    return kDone;
  }
  if (!SendOutgoing(state, outgoing, &why)) {
    state.Fail("sending " + Utf16ToUtf8(*local) + " failed: " + why);
    return kDone;
  }
  state.Report(EventKind::Sent, FromLinkText(state.env(), *localBytes));
  return kDone;
}

}  // namespace tarvel
