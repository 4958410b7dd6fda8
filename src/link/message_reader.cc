// SPDX-License-Identifier: MIT
#include "link/message_reader.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tarvel {

MessageReader::MessageReader(const LinkTiming& timing)
    : quietGapMs_(timing.readQuietGapMs), refusedDiscardQuietMs_(timing.refusedDiscardQuietMs) {}

std::optional<wire::Message> MessageReader::Next(SerialDevice& port, Framing framing) {
  std::optional<std::string> read = TakeNextRead(port);
  if (!read) return std::nullopt;
  const bool polled = framing == Framing::Polled;
  ReadOnWhile(polled ? wire::IsPartialPolledHeader : wire::IsPartialHeader, port, *read);
  wire::Message message = polled ? wire::RecognisePolled(*read) : wire::Recognise(*read);
  // What follows the message in the same read is the start of the next one
  // (or, after a file header, the file's first bytes).
  carried_.insert(0, read->substr(message.end));
  return message;
}

std::string MessageReader::TakeCarried(size_t most) {
  size_t take = std::min(most, carried_.size());
  std::string taken = carried_.substr(0, take);
  carried_.erase(0, take);
  return taken;
}

std::optional<std::string> MessageReader::TakeNextRead(SerialDevice& port) {
  // A message left over from the last read is a read of its own, taken at
  // most one read's worth at a time.
  if (!carried_.empty()) return TakeCarried(wire::kMaxRead);
  std::optional<size_t> waiting = port.QueueStatus();
  if (!waiting || *waiting == 0) return std::nullopt;
  std::string read(std::min(*waiting, wire::kMaxRead), '\0');
  ReadResult result = port.Read(reinterpret_cast<uint8_t*>(read.data()), read.size(), 0);
  if (result.outcome != ReadOutcome::Bytes) return std::nullopt;
  read.resize(result.count);
  return read;
}

void MessageReader::ReadOnWhile(bool (*partial)(std::string_view), SerialDevice& port,
                                std::string& read) const {
  while (partial(read) && read.size() < wire::kMaxRead) {
    std::string more(wire::kMaxRead - read.size(), '\0');
    ReadResult result =
        port.Read(reinterpret_cast<uint8_t*>(more.data()), more.size(), quietGapMs_);
    if (result.outcome != ReadOutcome::Bytes) return;
    read.append(more, 0, result.count);
  }
}

void MessageReader::DiscardRefusedContent(SerialDevice& port,
                                          const std::function<bool()>& stopping) {
  carried_.clear();
  const int quietMs = refusedDiscardQuietMs_;
  // The wait comes in slices, so that a stop is noticed while the line is busy.
  const int slice = std::max(1, std::min(quietMs, 250));
  std::vector<uint8_t> sink(4096);
  int quiet = 0;
  while (quiet < quietMs && !stopping()) {
    ReadResult result = port.Read(sink.data(), sink.size(), std::min(slice, quietMs - quiet));
    if (result.outcome == ReadOutcome::Failed) return;
    quiet = result.outcome == ReadOutcome::Bytes ? 0 : quiet + slice;
  }
}

}  // namespace tarvel
