// SPDX-License-Identifier: MIT
// Arbitrary bytes, cut into arbitrary reads, through the listener's message
// handling over a device double, with a device root in a temporary folder.
// After every message: a received file has exactly its announced size, a
// file sent back is exactly the file in the root. After every input: nothing
// outside the root changed, no file in the root is larger than announced, and
// no temporary is left behind.
//
// Input: one byte of flags, then chunks of one length byte and that many bytes.
// Each chunk arrives on the line at the next device call.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "chunked_device.h"
#include "fuzz_check.h"
#include "fuzz_workspace.h"
#include "link/link_state.h"
#include "platform/codepage.h"
#include "platform/device_files.h"
#include "platform/mutex.h"
#include "transfer/listener.h"
#include "wire/wire_format.h"

namespace tarvel::fuzz {
namespace {

namespace fs = std::filesystem;

constexpr uint8_t kHangUpAtEnd = 1;  // else the line goes quiet
constexpr uint8_t kPendingSave = 2;  // the host asked for a file first
constexpr uint8_t kPendingThroughLink = 4;

// A device double has no line whose timing a pause could protect: every wait
// is as short as it can be, and one quiet read ends a receive or a discard.
LinkTiming InstantTiming() {
  LinkTiming timing;
  timing.pollIntervalMs = 0;
  timing.readQuietGapMs = 0;
  timing.receiverPauseMs = 0;
  timing.senderPauseMs = 0;
  timing.quietLineLimitMs = 1;
  timing.writeStallLimitMs = 1;
  timing.refusedDiscardQuietMs = 1;
  return timing;
}

// Made at the first input, removed when the fuzzer exits.
Workspace& TheWorkspace() {
  static Workspace workspace;
  return workspace;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool StartsWith(const std::u16string& text, std::u16string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The link's text as the listener reads it, in the default code page.
std::u16string FromWire(const std::string& text) {
  return CodePageToWide(text, "WINDOWS-1252").value();
}

std::deque<std::string> Chunks(const uint8_t* data, size_t size) {
  std::deque<std::string> chunks;
  for (size_t at = 0; at < size;) {
    size_t length = std::min<size_t>(data[at], size - at - 1);
    ++at;
    chunks.emplace_back(reinterpret_cast<const char*>(data + at), length);
    at += length;
  }
  return chunks;
}

// A header the listener reports received left exactly the announced bytes at
// its target.
void CheckReceived(const LinkState& state, const wire::Message& header, const std::string& target) {
  if (!StartsWith(state.Reports().Status(), u"RECV: ")) return;
  FUZZ_CHECK(!target.empty());
  struct stat info;
  std::string path = TheWorkspace().root() + "/" + target;
  FUZZ_CHECK(lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode));
  FUZZ_CHECK(info.st_size == std::max<int64_t>(header.size, 0));
}

// A get request answered "FILE: " went out as one header and the file's
// exact bytes in pieces; one that failed sent nothing.
void CheckAnswer(const LinkState& state, const wire::Message& request,
                 const std::vector<std::string>& writes, size_t before) {
  if (!StartsWith(state.Reports().Status(), u"FILE: ")) {
    FUZZ_CHECK(writes.size() == before);
    return;
  }
  FUZZ_CHECK(writes.size() > before);
  wire::Message header = wire::Recognise(writes[before]);
  FUZZ_CHECK(header.kind == wire::MessageKind::FileHeader && header.refusal.empty());
  FUZZ_CHECK(header.end == writes[before].size());
  FUZZ_CHECK(header.argument == request.argument);
  std::string content;
  for (size_t i = before + 1; i < writes.size(); ++i) {
    FUZZ_CHECK(writes[i].size() <= wire::kPieceSize);
    content += writes[i];
  }
  FUZZ_CHECK(content.size() == static_cast<size_t>(header.size));
  std::string why;
  std::optional<FileLocation> where =
      ResolveDevicePath(TheWorkspace().root(), Utf16ToUtf8(FromWire(request.argument)), &why);
  FUZZ_CHECK(where);
  FUZZ_CHECK(ReadFile(TheWorkspace().root() + "/" + where->path) == content);
}

// Where a header's file goes, relative to the root; empty when refused.
std::string HeaderTarget(const wire::Message& header, const std::u16string& savePath) {
  const std::string& root = TheWorkspace().root();
  std::string why;
  std::optional<FileLocation> where =
      savePath.empty() ? ResolveDevicePath(root, Utf16ToUtf8(FromWire(header.argument)), &why)
                       : ResolveHostPath(root, Utf16ToUtf8(savePath), &why);
  return where && !where->root.empty() ? where->path : std::string();
}

// Every file in the root: no larger than the largest announced size (the
// listing and an untouched seed aside), and no temporary left behind (a file
// whose name merely looks like one was named by a header).
void CheckRoot(int64_t largestAnnounced, const std::set<std::string>& headerTargets) {
  const std::string& root = TheWorkspace().root();
  std::error_code error;
  for (auto& entry : fs::recursive_directory_iterator(root, error)) {
    if (!entry.is_regular_file(error) || entry.is_symlink(error)) continue;
    std::string relative = fs::relative(entry.path(), root).string();
    if (entry.path().filename().string().find(".tarvel-") != std::string::npos) {
      FUZZ_CHECK(headerTargets.count(relative) == 1);
    }
    if (relative == "Tarvel.txt") continue;
    if (relative == Workspace::kKnownFile && ReadFile(entry.path()) == Workspace::KnownContent()) {
      continue;
    }
    FUZZ_CHECK(static_cast<int64_t>(entry.file_size()) <= largestAnnounced);
  }
}

}  // namespace
}  // namespace tarvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarvel;
  using namespace tarvel::fuzz;
  if (size == 0) return 0;
  Workspace& workspace = TheWorkspace();
  static const std::map<std::string, std::string> outside = workspace.OutsideRoot();
  workspace.ResetRoot();

  const uint8_t flags = data[0];
  auto device = std::make_shared<ChunkedDevice>(Chunks(data + 1, size - 1), flags & kHangUpAtEnd);
  LinkState state(FixedEnvironment({{"TARVEL_ROOT", workspace.root()}}), InstantTiming());
  state.Slot().ReplacePort(device);
  if (flags & kPendingSave) {
    // The host asked for the file "a"; only a header of that name answers it.
    state.Requests().AddSave(
        "a", (flags & kPendingThroughLink) ? u"\\out\\planted.bin" : u"\\saved.bin");
  }

  // The listener's loop, one message at a time, without its poll interval.
  int64_t largestAnnounced = -1;
  std::set<std::string> headerTargets;
  MutexLock readLock(state.Reader().Lock());
  for (size_t round = 0; !device->Drained() || state.Reader().HasCarried(); ++round) {
    // Every round takes carried bytes or lets a chunk arrive.
    FUZZ_CHECK(round <= 2 * size + 16);
    std::optional<wire::Message> next = NextMessage(state, *device);
    if (!next) continue;
    const wire::Message& message = *next;
    std::vector<std::u16string> pending = state.Requests().Saves(message.argument);
    std::u16string savePath = pending.empty() ? std::u16string() : pending.front();
    size_t writesBefore = device->writes().size();
    HandleMessage(state, *device, message);
    if (!message.refusal.empty()) continue;
    if (message.kind == wire::MessageKind::FileHeader) {
      largestAnnounced = std::max<int64_t>(largestAnnounced, message.size);
      std::string target = HeaderTarget(message, savePath);
      headerTargets.insert(target);
      CheckReceived(state, message, target);
    }
    if (message.kind == wire::MessageKind::GetRequest) {
      CheckAnswer(state, message, device->writes(), writesBefore);
    }
  }
  FUZZ_CHECK(workspace.OutsideRoot() == outside);
  CheckRoot(largestAnnounced, headerTargets);
  return 0;
}
