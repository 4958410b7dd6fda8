#include "transfer/file_receiver.h"

#include <algorithm>
#include <vector>

#include "link/link_text.h"
#include "platform/codepage.h"
#include "transfer/wire_format.h"

namespace tarvel {
namespace {

// Content is read in large reads: the wire's 200-byte pieces are only how the
// sender writes, and fewer calls keep the receiver cheap.
constexpr size_t kContentReadSize = 64 * 1024;
// A read waits at most this long for a first byte before it looks at the clock
// and the stop flag again.
constexpr int kReadSliceMs = 250;

std::string DurationText(int milliseconds) {
  if (milliseconds % 1000 == 0) return std::to_string(milliseconds / 1000) + " s";
  return std::to_string(milliseconds) + " ms";
}

class ContentSink {
 public:
  ContentSink(std::unique_ptr<OutputFile> file, std::string* why)
      : file_(std::move(file)), why_(why) {}

  void Take(const char* data, size_t count) {
    if (!file_ || diskFailed_) return;
    if (!file_->Write(data, count)) {
      diskFailed_ = true;
      *why_ = "the disk refused a write";
    }
  }

  bool Finish() {
    if (!file_ || diskFailed_) return false;
    if (!file_->Commit()) {
      *why_ = "the received file could not be put in place";
      return false;
    }
    return true;
  }

 private:
  std::unique_ptr<OutputFile> file_;
  std::string* why_;
  bool diskFailed_ = false;
};

// Reads the next bytes due from the port; false, saying why, when the line
// stays quiet too long, the device fails, or the listeners are stopping.
bool ReadDue(LinkState& state, SerialDevice& port, std::vector<uint8_t>& buffer, size_t due,
             size_t& got, std::string* why) {
  const int limitMs = state.timing().quietLineLimitMs;
  const int sliceMs = std::max(1, std::min(kReadSliceMs, limitMs));
  int quietMs = 0;
  while (!state.StopRequested()) {
    ReadResult result = port.Read(buffer.data(), std::min(due, buffer.size()), sliceMs);
    if (result.outcome == ReadOutcome::Bytes) {
      got = result.count;
      return true;
    }
    if (result.outcome == ReadOutcome::Failed) {
      *why = "the device failed";
      return false;
    }
    quietMs += sliceMs;
    if (quietMs >= limitMs) {
      *why = "the line stayed quiet for " + DurationText(limitMs);
      return false;
    }
  }
  *why = "the listener stopped";
  return false;
}

}  // namespace

ReceiveEnd ReceiveContent(LinkState& state, SerialDevice& port, std::unique_ptr<OutputFile> file,
                          int64_t size, std::string* why) {
  const bool draining = file == nullptr;
  ContentSink sink(std::move(file), why);
  std::string& carried = state.CarriedBytes();
  size_t head = static_cast<size_t>(std::min<int64_t>(size, static_cast<int64_t>(carried.size())));
  sink.Take(carried.data(), head);
  carried.erase(0, head);
  int64_t received = static_cast<int64_t>(head);
  std::vector<uint8_t> buffer(kContentReadSize);
  state.SetProgress(received, size);
  bool lineOk = true;
  while (received < size && lineOk) {
    size_t got = 0;
    lineOk = ReadDue(state, port, buffer, static_cast<size_t>(size - received), got, why);
    sink.Take(reinterpret_cast<const char*>(buffer.data()), got);
    received += static_cast<int64_t>(got);
    state.SetProgress(received, size);
  }
  state.SetProgress(0, 0);
  if (!lineOk) {
    *why += " after " + std::to_string(received) + " of " + std::to_string(size) + " bytes";
    return ReceiveEnd::Failed;
  }
  if (draining) return ReceiveEnd::Drained;
  return sink.Finish() ? ReceiveEnd::Saved : ReceiveEnd::Failed;
}

std::optional<FileLocation> PeerFileLocation(const LinkState& state, std::string_view name,
                                             std::u16string* shown, std::string* why) {
  *shown = FromLinkText(state.env(), name);
  if (name.size() >= wire::kArgumentCapacity) {
    *why = "file name longer than " + std::to_string(wire::kArgumentCapacity - 1) + " bytes";
    return std::nullopt;
  }
  return ResolveDevicePath(DeviceRoot(state.env()), Utf16ToUtf8(*shown), why);
}

ReceiveEnd ReceiveFile(LinkState& state, SerialDevice& port,
                       const std::optional<FileLocation>& location, int64_t size,
                       std::string refusal, std::string* why) {
  std::unique_ptr<OutputFile> file = location ? CreateOutputFile(*location, &refusal) : nullptr;
  ReceiveEnd end = ReceiveContent(state, port, std::move(file), size, why);
  if (end == ReceiveEnd::Drained) {
    *why = refusal;
    return ReceiveEnd::Failed;
  }
  return end;
}

}  // namespace tarvel
