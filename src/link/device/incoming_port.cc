// SPDX-License-Identifier: MIT
#include "link/device/incoming_port.h"

#include <algorithm>
#include <utility>

namespace tarvel {

std::string BluetoothAddressOf(const std::string& device) {
  // BlueZ names a device ".../dev_00_11_22_33_44_55".
  size_t at = device.rfind("dev_");
  if (at == std::string::npos) return device;
  std::string address = device.substr(at + 4);
  std::replace(address.begin(), address.end(), '_', ':');
  return address;
}

bool IncomingPort::Offer(std::unique_ptr<SerialDevice> connection, const std::string& peer,
                         std::string* why) {
  std::shared_ptr<SerialDevice> ended;
  {
    MutexLock lock(lock_);
    if (closed_) {
      *why = "the incoming serial port is not open";
      return false;
    }
    // A connection is over once its peer hung up and nothing of it is left
    // to read; one that is still up keeps the port, as on a single COM port.
    if (connection_ && connection_->QueueStatus()) {
      *why = "a peer is connected already: one peer at a time";
      return false;
    }
    if (connection_) {
      ended = std::move(connection_);
      readOwesFailure_ = true;
    }
    connection_ = std::move(connection);
    peer_ = peer;
    ++generation_;
  }
  if (ended) ended->Close();
  arrived_.NotifyAll();
  return true;
}

void IncomingPort::Disconnect(const std::string& peer) {
  std::shared_ptr<SerialDevice> held;
  {
    MutexLock lock(lock_);
    if (peer_ == peer) held = connection_;
  }
  if (held) Drop(held, false);
}

bool IncomingPort::PeerConnected() {
  MutexLock lock(lock_);
  return connection_ && connection_->QueueStatus();
}

bool IncomingPort::IsOpen() {
  MutexLock lock(lock_);
  return !closed_;
}

std::string IncomingPort::PeerAddress() {
  MutexLock lock(lock_);
  return connection_ ? BluetoothAddressOf(peer_) : std::string();
}

void IncomingPort::OnPeerGone(std::function<void()> gone) {
  MutexLock lock(lock_);
  gone_ = std::move(gone);
}

void IncomingPort::Drop(const std::shared_ptr<SerialDevice>& connection, bool seenByRead) {
  std::function<void()> gone;
  {
    MutexLock lock(lock_);
    if (connection_ != connection) return;
    connection_.reset();
    peer_.clear();
    if (!seenByRead) readOwesFailure_ = true;
    if (!closed_) gone = gone_;
  }
  connection->Close();
  if (gone) gone();
}

bool IncomingPort::ReadSettings(LineSettings& settings) {
  MutexLock lock(lock_);
  settings = settings_;
  return !closed_;
}

bool IncomingPort::WriteSettings(const LineSettings& settings) {
  MutexLock lock(lock_);
  settings_ = settings;
  return !closed_;
}

std::optional<size_t> IncomingPort::QueueStatus() {
  std::shared_ptr<SerialDevice> connection;
  {
    MutexLock lock(lock_);
    if (closed_) return std::nullopt;
    connection = connection_;
  }
  if (!connection) return 0;
  std::optional<size_t> waiting = connection->QueueStatus();
  if (waiting) return waiting;
  // The peer hung up: the port waits for the next one.
  Drop(connection, false);
  return 0;
}

ReadResult IncomingPort::Read(uint8_t* buffer, size_t count, int firstByteWaitMs) {
  Clock::time_point deadline = DeadlineAfter(std::max(firstByteWaitMs, 0));
  std::shared_ptr<SerialDevice> connection;
  uint64_t generation = 0;
  {
    MutexLock lock(lock_);
    if (closed_) return {ReadOutcome::Failed, 0};
    if (std::exchange(readOwesFailure_, false)) return {ReadOutcome::Failed, 0};
    WaitForConnection(deadline);
    if (closed_) return {ReadOutcome::Failed, 0};
    if (!connection_) return {ReadOutcome::Quiet, 0};
    connection = connection_;
    generation = generation_;
  }
  ReadResult result = connection->Read(buffer, count, MillisecondsUntil(deadline));
  if (result.outcome == ReadOutcome::Failed) {
    Drop(connection, true);
  } else if (result.count > 0) {
    MutexLock lock(lock_);
    readGeneration_ = generation;
    reader_ = std::this_thread::get_id();
  }
  return result;
}

void IncomingPort::WaitForConnection(Clock::time_point deadline) {
  while (!closed_ && !connection_) {
    if (deadline == kNoDeadline) {
      arrived_.Wait(lock_);
    } else if (!arrived_.WaitUntil(lock_, deadline)) {
      return;
    }
  }
}

std::shared_ptr<SerialDevice> IncomingPort::AwaitConnection(Clock::time_point deadline,
                                                            bool& closed) {
  MutexLock lock(lock_);
  WaitForConnection(deadline);
  closed = closed_;
  return closed_ ? nullptr : connection_;
}

WaitResult IncomingPort::WaitForInput(int timeoutMs) {
  Clock::time_point deadline = DeadlineAfter(timeoutMs);
  for (;;) {
    bool closed = false;
    std::shared_ptr<SerialDevice> connection = AwaitConnection(deadline, closed);
    if (closed) return WaitResult::Closed;
    if (!connection) return WaitResult::TimedOut;
    WaitResult result = connection->WaitForInput(TimeoutUntil(deadline));
    if (result != WaitResult::Closed) return result;
    // The peer hung up, or its connection was closed or replaced: the port
    // waits for what comes next.
    Drop(connection, false);
  }
}

WriteResult IncomingPort::Write(const uint8_t* data, size_t count) {
  std::shared_ptr<SerialDevice> connection;
  uint64_t generation = 0;
  {
    MutexLock lock(lock_);
    if (closed_) return {0, false, nullptr};
    if (!connection_) return {0, false, "no peer connected"};
    generation = generation_;
    bool answersNewPeer = readGeneration_ == generation && reader_ == std::this_thread::get_id();
    if (lastWriteGeneration_ != 0 && lastWriteGeneration_ != generation && !answersNewPeer &&
        Clock::now() - lastWriteAt_ < kPeerChangeGuard) {
      return {0, false, "the peer changed in the middle of a transfer"};
    }
    connection = connection_;
  }
  WriteResult result = connection->Write(data, count);
  {
    MutexLock lock(lock_);
    lastWriteGeneration_ = generation;
    lastWriteAt_ = Clock::now();
  }
  if (!result.ok && !connection->QueueStatus()) Drop(connection, false);
  return result;
}

void IncomingPort::Close() {
  std::shared_ptr<SerialDevice> held;
  {
    MutexLock lock(lock_);
    closed_ = true;
    held = std::move(connection_);
    peer_.clear();
  }
  if (held) held->Close();
  arrived_.NotifyAll();
}

}  // namespace tarvel
