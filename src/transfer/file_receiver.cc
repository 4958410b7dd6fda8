#include "transfer/file_receiver.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <vector>

#include "link/link_settings.h"
#include "link/link_text.h"
#include "platform/codepage.h"
#include "wire/wire_format.h"

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

constexpr uint64_t kLargestReserve = 64ull * 1024 * 1024;

class ContentSink {
 public:
  ContentSink(std::unique_ptr<OutputFile> file, std::string* why)
      : file_(std::move(file)), why_(why) {}

  void Take(const char* data, size_t count) {
    if (!file_) return;
    std::string reason;
    if (!file_->Write(data, count, &reason)) {
      *why_ = "the disk refused a write: " + reason;
      // The partial file goes at once, giving its space back while the rest
      // of the content is drained.
      file_.reset();
      diskFailed_ = true;
    }
  }

  bool Finish(std::string* placedName) {
    if (!file_ || diskFailed_) return false;
    if (!file_->Commit(why_)) return false;
    if (placedName != nullptr) *placedName = file_->PlacedName();
    return true;
  }

 private:
  std::unique_ptr<OutputFile> file_;
  std::string* why_;
  bool diskFailed_ = false;
};

// Reads the next bytes due from the port; false, saying why, when the line
// stays quiet for `limitMs`, the device fails, or the slot's listeners are
// stopping.
bool ReadDue(const PortSlot& slot, int limitMs, SerialDevice& port, std::vector<uint8_t>& buffer,
             size_t due, size_t& got, std::string* why) {
  const int sliceMs = std::max(1, std::min(kReadSliceMs, limitMs));
  int quietMs = 0;
  while (!slot.StopRequested()) {
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
                          int64_t size, std::string* why, std::string* placedName) {
  const bool draining = file == nullptr;
  ContentSink sink(std::move(file), why);
  // The content's first bytes may have come in the read of its header.
  std::string head = state.Reader().TakeCarried(static_cast<size_t>(std::max<int64_t>(size, 0)));
  sink.Take(head.data(), head.size());
  int64_t received = static_cast<int64_t>(head.size());
  std::vector<uint8_t> buffer(kContentReadSize);
  Reporting& reports = state.Reports();
  const int limitMs = state.timing().quietLineLimitMs;
  reports.SetProgress(received, size);
  bool lineOk = true;
  while (received < size && lineOk) {
    size_t got = 0;
    lineOk = ReadDue(state.Slot(), limitMs, port, buffer, static_cast<size_t>(size - received), got,
                     why);
    sink.Take(reinterpret_cast<const char*>(buffer.data()), got);
    received += static_cast<int64_t>(got);
    reports.SetProgress(received, size);
  }
  reports.SetProgress(0, 0);
  if (!lineOk) {
    *why += " after " + std::to_string(received) + " of " + std::to_string(size) + " bytes";
    return ReceiveEnd::Failed;
  }
  if (draining) return ReceiveEnd::Drained;
  return sink.Finish(placedName) ? ReceiveEnd::Saved : ReceiveEnd::Failed;
}

std::optional<FileLocation> PeerFileLocation(const Environment& env, std::string_view name,
                                             std::u16string* shown, std::string* why) {
  *shown = FromLinkText(env, name);
  if (name.size() >= wire::kArgumentCapacity) {
    *why = "file name longer than " + std::to_string(wire::kArgumentCapacity - 1) + " bytes";
    return std::nullopt;
  }
  return ResolveDevicePath(DeviceRoot(env), Utf16ToUtf8(*shown), why);
}

std::optional<ClashPolicy> ClashPolicySetting(const Environment& env, std::string* why) {
  std::optional<std::string> value = env("TARVEL_ON_CLASH");
  if (!value || value->empty()) return ClashPolicy::Overwrite;
  if (std::optional<ClashPolicy> named = ClashPolicyNamed(*value)) return named;
  *why = "the setting TARVEL_ON_CLASH=" + *value +
         " is none of overwrite, rename and skip; the file was refused";
  return std::nullopt;
}

bool CreateFoldersSetting(const Environment& env) {
  std::optional<std::string> value = env("TARVEL_CREATE_FOLDERS");
  return value && SwitchNamed(*value).value_or(false);
}

std::string SizeText(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

uint64_t SpaceReserve(uint64_t total) {
  return std::min(total / 100, kLargestReserve);
}

namespace {

// Why a file of `size` bytes may not be created at `location`; nothing when
// it may. A file system whose space cannot be learned is left to refuse the
// writes itself.
std::optional<std::string> SpaceRefusal(const FileLocation& location, int64_t size) {
  std::string ignored;
  std::optional<DiskSpace> space = SpaceFor(location, &ignored);
  if (!space) return std::nullopt;
  uint64_t reserve = SpaceReserve(space->total);
  uint64_t usable = space->available > reserve ? space->available - reserve : 0;
  if (static_cast<uint64_t>(size) <= usable) return std::nullopt;
  return "not enough space: " + SizeText(static_cast<uint64_t>(size)) + " announced, " +
         SizeText(usable) + " free beyond the reserve";
}

// The file to receive into, or nothing, saying why in `refusal`.
std::unique_ptr<OutputFile> OpenTarget(const Environment& env, const FileLocation& location,
                                       int64_t size, SaveTarget target, std::string* refusal) {
  std::optional<ClashPolicy> clash = ClashPolicy::Overwrite;
  if (target == SaveTarget::PeerName) clash = ClashPolicySetting(env, refusal);
  if (!clash) return nullptr;
  if (target == SaveTarget::PeerName && CreateFoldersSetting(env) &&
      !CreateFolders(location, refusal)) {
    return nullptr;
  }
  if (std::optional<std::string> noSpace = SpaceRefusal(location, size)) {
    *refusal = *noSpace;
    return nullptr;
  }
  return CreateOutputFile(location, *clash, refusal);
}

// `shown` with its last component replaced by `placed`, when they differ.
void ShowPlacedName(std::u16string* shown, const std::string& placed) {
  size_t cut = shown->find_last_of(u"\\/");
  size_t start = cut == std::u16string::npos ? 0 : cut + 1;
  if (placed.empty() || Utf16ToUtf8(shown->substr(start)) == placed) return;
  *shown = shown->substr(0, start) + Utf8ToUtf16(placed);
}

}  // namespace

ReceiveEnd ReceiveFile(LinkState& state, SerialDevice& port,
                       const std::optional<FileLocation>& location, int64_t size,
                       std::string refusal, std::string* why, SaveTarget target,
                       std::u16string* shown) {
  std::unique_ptr<OutputFile> file =
      location ? OpenTarget(state.env(), *location, size, target, &refusal) : nullptr;
  std::string placed;
  ReceiveEnd end = ReceiveContent(state, port, std::move(file), size, why, &placed);
  if (end == ReceiveEnd::Drained) {
    *why = refusal;
    return ReceiveEnd::Failed;
  }
  if (end == ReceiveEnd::Saved) ShowPlacedName(shown, placed);
  return end;
}

}  // namespace tarvel
