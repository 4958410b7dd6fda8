// SPDX-License-Identifier: MIT
// The incoming serial port: the device behind a port that peers connect to.
// It is open whether or not a peer is connected, holds at most one peer's
// connection at a time, and takes the next peer's once one hangs up. With no
// peer connected the queue is empty, reads are quiet and writes fail at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "link/device/deadline.h"
#include "link/device/serial_device.h"
#include "platform/mutex.h"

namespace tarvel {

// The Bluetooth address in a device name of the service ("00:11:22:33:44:55"
// from BlueZ's ".../dev_00_11_22_33_44_55"); a name without one, as it is.
std::string BluetoothAddressOf(const std::string& device);

class IncomingPort final : public SerialDevice {
 public:
  // A write that meets a new peer this soon after the last write reached the
  // old one fails: it belongs to a transfer with the peer that left (a sender
  // pauses 1 s between a file's header and its content). Not so for a write
  // by the thread that has read from the new peer since: that thread reads
  // only between messages, so what it writes answers the new peer.
  static constexpr std::chrono::milliseconds kPeerChangeGuard{3000};

  // Offers the connection of the peer named `peer`. Taken when no peer is
  // connected (one that hung up and left nothing to read no longer counts);
  // else refused, saying why, and closed.
  bool Offer(std::unique_ptr<SerialDevice> connection, const std::string& peer, std::string* why);
  // Closes the connection of `peer`, when it is the one held.
  void Disconnect(const std::string& peer);
  // Whether a peer is connected now.
  bool PeerConnected();
  // False once the port has been closed.
  bool IsOpen();
  // The Bluetooth address of the peer connected now ("00:11:22:33:44:55"), or
  // the empty text when none is.
  std::string PeerAddress();
  // `gone` runs, once for each, when a peer's connection ends while the port
  // is open (a hang-up, a failed read or write, the service's disconnect),
  // outside the port's lock and on whichever thread saw the end.
  void OnPeerGone(std::function<void()> gone);

  // Line settings do not apply to a connection: kept and reported back only.
  bool ReadSettings(LineSettings& settings) override;
  bool WriteSettings(const LineSettings& settings) override;
  std::optional<size_t> QueueStatus() override;
  ReadResult Read(uint8_t* buffer, size_t count, int firstByteWaitMs) override;
  WriteResult Write(const uint8_t* data, size_t count) override;
  // Waits for a peer to connect, then on its connection; a peer that hangs up
  // or is replaced leaves the wait on the port for the next one.
  WaitResult WaitForInput(int timeoutMs) override;
  void Close() override;

 private:
  using Clock = DeviceClock;

  // Lets go of `connection` if it is still the one held, and closes it.
  // `seenByRead`: a read has already reported its end.
  void Drop(const std::shared_ptr<SerialDevice>& connection, bool seenByRead) EXCLUDES(lock_);
  // The connection held once one is, or nothing once the port is closed or
  // `deadline` has passed.
  std::shared_ptr<SerialDevice> AwaitConnection(Clock::time_point deadline, bool& closed)
      EXCLUDES(lock_);
  // Waits until a connection is held or the port is closed, at most until
  // `deadline`.
  void WaitForConnection(Clock::time_point deadline) REQUIRES(lock_);

  Mutex lock_;
  CondVar arrived_;  // a connection came, or the port closed
  std::shared_ptr<SerialDevice> connection_ GUARDED_BY(lock_);
  std::string peer_ GUARDED_BY(lock_);
  std::function<void()> gone_ GUARDED_BY(lock_);
  uint64_t generation_ GUARDED_BY(lock_) = 0;  // counts the connections taken
  bool closed_ GUARDED_BY(lock_) = false;
  // A connection ended without a read seeing it: the next read fails once, so
  // that a file being received from that peer never takes the next peer's bytes.
  bool readOwesFailure_ GUARDED_BY(lock_) = false;
  uint64_t lastWriteGeneration_ GUARDED_BY(lock_) = 0;
  Clock::time_point lastWriteAt_ GUARDED_BY(lock_);
  // The connection last read from, and the thread that read it.
  uint64_t readGeneration_ GUARDED_BY(lock_) = 0;
  std::thread::id reader_ GUARDED_BY(lock_);
  LineSettings settings_ GUARDED_BY(lock_);
};

}  // namespace tarvel
