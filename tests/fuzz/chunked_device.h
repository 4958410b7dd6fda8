// SPDX-License-Identifier: MIT
// A serial device double for fuzzing: the input's chunks arrive one per device
// call, reads take what has arrived, and everything written is recorded.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "link/device/serial_device.h"

namespace tarvel::fuzz {

class ChunkedDevice : public SerialDevice {
 public:
  // With `hangUpAtEnd` the peer hangs up once every chunk has been read;
  // otherwise the line just stays quiet.
  ChunkedDevice(std::deque<std::string> chunks, bool hangUpAtEnd)
      : chunks_(std::move(chunks)), hangUpAtEnd_(hangUpAtEnd) {}

  bool ReadSettings(LineSettings&) override { return !closed_; }
  bool WriteSettings(const LineSettings&) override { return !closed_; }

  std::optional<size_t> QueueStatus() override {
    if (closed_) return std::nullopt;
    Arrive();
    if (pending_.empty() && Drained() && hangUpAtEnd_) return std::nullopt;
    return pending_.size();
  }

  ReadResult Read(uint8_t* buffer, size_t count, int) override {
    if (closed_) return {ReadOutcome::Failed, 0};
    Arrive();
    if (pending_.empty()) {
      bool hungUp = Drained() && hangUpAtEnd_;
      return {hungUp ? ReadOutcome::Failed : ReadOutcome::Quiet, 0};
    }
    size_t take = std::min(count, pending_.size());
    std::memcpy(buffer, pending_.data(), take);
    pending_.erase(0, take);
    return {ReadOutcome::Bytes, take};
  }

  // No time passes on this line: input is ready when a chunk is still to
  // come, and a quiet line times out at once.
  WaitResult WaitForInput(int) override {
    if (closed_) return WaitResult::Closed;
    if (!Drained()) return WaitResult::Ready;
    return hangUpAtEnd_ ? WaitResult::Closed : WaitResult::TimedOut;
  }

  WriteResult Write(const uint8_t* data, size_t count) override {
    if (closed_) return {0, false};
    writes_.emplace_back(reinterpret_cast<const char*>(data), count);
    return {count, true};
  }

  void Close() override { closed_ = true; }

  // Every chunk has arrived and been read.
  bool Drained() const { return chunks_.empty() && pending_.empty(); }
  const std::vector<std::string>& writes() const { return writes_; }

 private:
  void Arrive() {
    if (chunks_.empty()) return;
    pending_ += chunks_.front();
    chunks_.pop_front();
  }

  std::deque<std::string> chunks_;
  std::string pending_;
  bool hangUpAtEnd_;
  bool closed_ = false;
  std::vector<std::string> writes_;
};

}  // namespace tarvel::fuzz
