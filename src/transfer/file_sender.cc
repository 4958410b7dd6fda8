#include "transfer/file_sender.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "link/link_text.h"
#include "link/port_io.h"
#include "platform/codepage.h"
#include "platform/device_files.h"
#include "platform/sleep.h"
#include "transfer/listing.h"
#include "transfer/operations.h"

namespace tarvel {
namespace {

// File content is read in blocks this large and written in pieces of the
// wire's size, so memory stays flat whatever the file's size.
constexpr size_t kFileBlockSize = 64 * 1024;

struct Outgoing {
  std::unique_ptr<InputFile> file;
  // The size the header announces, taken once: a file that grows meanwhile
  // must not send more, nor one that shrinks be padded out by what follows.
  int64_t size = 0;
  std::string header;
};

// Opens the file and formats its header; nothing is written yet.
bool PrepareOutgoing(const FileLocation& location, std::string_view announcedName,
                     Outgoing& outgoing, std::string* why,
                     std::unique_ptr<InputFile> file = nullptr) {
  outgoing.file = file ? std::move(file) : OpenInputFile(location, why);
  if (!outgoing.file) return false;
  outgoing.size = outgoing.file->Size();
  std::optional<std::string> header = wire::FormatFileHeader(announcedName, outgoing.size, why);
  if (!header) {
    *why = "cannot announce " + std::string(announcedName) + ": " + *why;
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

enum class ContentEnd {
  Sent,         // exactly the announced bytes went out
  FileShort,    // the file yielded fewer bytes than announced
  WriteFailed,  // the port refused a write
};

// Sends exactly `size` bytes of the file, never more, whatever it holds now.
ContentEnd SendContent(QuietLine& line, Reporting& reports, SerialDevice& port, InputFile& file,
                       int64_t size, std::string* why) REQUIRES(line.WriteLock()) {
  std::vector<uint8_t> block(kFileBlockSize);
  int64_t sent = 0;
  while (sent < size) {
    size_t want = static_cast<size_t>(std::min<int64_t>(size - sent, kFileBlockSize));
    std::ptrdiff_t got = file.Read(block.data(), want);
    if (got <= 0) {
      *why = "the file yielded " + std::to_string(sent) + " of the " + std::to_string(size) +
             " bytes announced";
      return ContentEnd::FileShort;
    }
    for (size_t at = 0; at < static_cast<size_t>(got); at += wire::kPieceSize) {
      size_t piece = std::min(wire::kPieceSize, static_cast<size_t>(got) - at);
      if (!WriteAll(port, block.data() + at, piece, sent, size, why))
        return ContentEnd::WriteFailed;
      sent += static_cast<int64_t>(piece);
      // Per piece, since a block takes seconds on a slow line; it costs a
      // clock read, and writes the record only every half second.
      line.StillSending();
    }
    // Once a block, not once a piece: the progress lock stays off the per-piece path.
    reports.SetProgress(sent, size);
  }
  return ContentEnd::Sent;
}

enum class FileEnd {
  Sent,        // header and content went out whole
  NotStarted,  // not a byte of the header went out
  Incomplete,  // the peer got a header and is left waiting for content
};

FileEnd PushFile(LinkState& state, SerialDevice& port, Outgoing& outgoing, std::string* why)
    REQUIRES(state.WriteLock()) {
  port.QueueStatus();
  const auto* header = reinterpret_cast<const uint8_t*>(outgoing.header.data());
  WriteResult written = port.Write(header, outgoing.header.size());
  if (!written.ok) {
    *why = "cannot write the file header: write failed after " + std::to_string(written.written) +
           " of " + std::to_string(outgoing.header.size()) + " bytes";
    if (written.why) *why += std::string(": ") + written.why;
    return written.written == 0 ? FileEnd::NotStarted : FileEnd::Incomplete;
  }
  SleepMilliseconds(state.timing().senderPauseMs);
  state.Line().StillSending();
  port.QueueStatus();
  state.Reports().SetProgress(0, outgoing.size);
  ContentEnd end =
      SendContent(state.Line(), state.Reports(), port, *outgoing.file, outgoing.size, why);
  state.Reports().SetProgress(0, 0);
  return end == ContentEnd::Sent ? FileEnd::Sent : FileEnd::Incomplete;
}

// Header, pause, content, all under the write lock and the line's claim, so
// that nothing else gets onto the wire in between, from this process or any.
bool SendOutgoing(LinkState& state, Outgoing& outgoing, std::string* why)
    EXCLUDES(state.WriteLock()) {
  MutexLock lock(state.WriteLock());
  std::shared_ptr<SerialDevice> port =
      ClaimPort(state.Slot(), state.Line(), QuietLine::Use::File, why);
  if (!port) return false;
  FileEnd end = PushFile(state, *port, outgoing, why);
  // Content that stopped short for any reason (the file shrank or failed, the
  // port was closed under the send) leaves the peer waiting for the rest: it
  // would take the next message for it, until its quiet-line limit passes.
  state.Line().Release(end == FileEnd::Incomplete ? QuietLine::End::Incomplete
                                                  : QuietLine::End::Whole);
  return end == FileEnd::Sent;
}

}  // namespace

bool AnswerGetRequest(LinkState& state, std::u16string_view name, std::string* why) {
  std::optional<std::string> announced = ToWireName(state.env(), name, why);
  std::optional<FileLocation> location =
      announced ? ResolveDevicePath(DeviceRoot(state.env()), Utf16ToUtf8(name), why) : std::nullopt;
  Outgoing outgoing;
  // A link that keeps its peer's listing apart answers with it.
  std::unique_ptr<InputFile> listing =
      location ? OpenKeptListing(state.env(), state.Requests(), *location) : nullptr;
  if (!location || !PrepareOutgoing(*location, *announced, outgoing, why, std::move(listing))) {
    *why = "cannot send " + Utf16ToUtf8(name) + ": " + *why;
    return false;
  }
  return SendOutgoing(state, outgoing, why);
}

// The local path is the host's own native path, used as given: it never goes
// on the wire, so neither the link's code page nor the wire's capacities bind it.
int SendFile(LinkState& state, const char16_t* localPath, const char16_t* remoteName) {
  std::optional<std::u16string_view> local = HostText(localPath);
  std::optional<std::u16string_view> remote = HostText(remoteName);
  if (!local || !remote) {
    state.Reports().Fail("send needs a local path and a remote name");
    return kDone;
  }
  std::string why;
  std::optional<std::string> remoteBytes = ToWireName(state.env(), *remote, &why);
  std::optional<FileLocation> location =
      remoteBytes ? ResolveHostPath(DeviceRoot(state.env()), Utf16ToUtf8(*local), &why)
                  : std::nullopt;
  Outgoing outgoing;
  if (!location || !PrepareOutgoing(*location, *remoteBytes, outgoing, &why)) {
    state.Reports().Fail("cannot send " + Utf16ToUtf8(*local) + ": " + why);
    return kDone;
  }
  if (!SendOutgoing(state, outgoing, &why)) {
    state.Reports().Fail("sending " + Utf16ToUtf8(*local) + " failed: " + why);
    return kDone;
  }
  state.Reports().Report(EventKind::Sent, *local);
  return kDone;
}

}  // namespace tarvel
