#include "link/port_io.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tarvel {

std::shared_ptr<SerialDevice> ClaimPort(LinkState& state, QuietLine::Use use, std::string* why) {
  std::shared_ptr<SerialDevice> port = state.Port();
  if (!port) {
    *why = "no port open";
    return nullptr;
  }
  // A port closed or replaced meanwhile (the host stopping a send) ends the wait.
  bool claimed = state.Line().Claim(use, [&](int milliseconds) {
    return !state.WaitForStop(milliseconds) && state.Port() == port;
  });
  if (claimed) return port;
  *why = state.StopRequested() ? "the device is shutting down" : "the port was closed";
  return nullptr;
}

bool WriteMessage(LinkState& state, std::string_view bytes, std::string* why) {
  MutexLock lock(state.WriteLock());
  std::shared_ptr<SerialDevice> port = ClaimPort(state, QuietLine::Use::Message, why);
  if (!port) return false;
  port->QueueStatus();
  WriteResult result = port->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  // Even a message cut short is a message to the peer, and one read of it.
  state.Line().Release(QuietLine::End::Whole);
  if (!result.ok) {
    *why = "write failed after " + std::to_string(result.written) + " of " +
           std::to_string(bytes.size()) + " bytes";
    if (result.why) *why += std::string(": ") + result.why;
    return false;
  }
  return true;
}

std::optional<std::string> TakeNextRead(LinkState& state, SerialDevice& port) {
  std::string& carried = state.CarriedBytes();
  if (!carried.empty()) {
    // A message left over from the last read is a read of its own, taken at
    // most one read's worth at a time.
    size_t take = std::min(carried.size(), wire::kMaxRead);
    std::string next = carried.substr(0, take);
    carried.erase(0, take);
    return next;
  }
  std::optional<size_t> waiting = port.QueueStatus();
  if (!waiting || *waiting == 0) return std::nullopt;
  std::string read(std::min(*waiting, wire::kMaxRead), '\0');
  ReadResult result = port.Read(reinterpret_cast<uint8_t*>(read.data()), read.size(), 0);
  if (result.outcome != ReadOutcome::Bytes) return std::nullopt;
  read.resize(result.count);
  return read;
}

namespace {

void ReadOnWhile(bool (*partial)(std::string_view), const LinkState& state, SerialDevice& port,
                 std::string& read) {
  while (partial(read) && read.size() < wire::kMaxRead) {
    std::string more(wire::kMaxRead - read.size(), '\0');
    ReadResult result = port.Read(reinterpret_cast<uint8_t*>(more.data()), more.size(),
                                  state.timing().readQuietGapMs);
    if (result.outcome != ReadOutcome::Bytes) return;
    read.append(more, 0, result.count);
  }
}

}  // namespace

void AwaitWholeHeader(const LinkState& state, SerialDevice& port, std::string& read) {
  ReadOnWhile(wire::IsPartialHeader, state, port, read);
}

void AwaitWholePolledHeader(const LinkState& state, SerialDevice& port, std::string& read) {
  ReadOnWhile(wire::IsPartialPolledHeader, state, port, read);
}

void DiscardUntilQuiet(LinkState& state, SerialDevice& port, int quietMs) {
  state.CarriedBytes().clear();
  // The wait comes in slices, so that a stop is noticed while the line is busy.
  const int slice = std::max(1, std::min(quietMs, 250));
  std::vector<uint8_t> sink(4096);
  int quiet = 0;
  while (quiet < quietMs && !state.StopRequested()) {
    ReadResult result = port.Read(sink.data(), sink.size(), std::min(slice, quietMs - quiet));
    if (result.outcome == ReadOutcome::Failed) return;
    quiet = result.outcome == ReadOutcome::Bytes ? 0 : quiet + slice;
  }
}

}  // namespace tarvel
