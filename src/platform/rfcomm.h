// SPDX-License-Identifier: MIT
// Outgoing RFCOMM connections of the library's own: the peer's serial port
// channel from its service record, and a socket connected to it. No profile is
// registered with the Bluetooth service for this, so a listener's incoming
// port, or any other program's, never stands in the way. One backend per
// system: Bluetooth sockets on Linux (rfcomm_posix.cc), none on Windows
// (rfcomm_win32.cc), where paired devices are COM ports the system makes.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

namespace tarvel {

using RfcommDeadline = std::chrono::steady_clock::time_point;

// Why a look-up or a connection failed, as far as the caller acts on it.
enum class RfcommFailure {
  None,
  NoSockets,         // the system has no Bluetooth sockets at all
  NoSerialPort,      // the peer's service record offers no serial port
  Refused,           // the peer refused; may be the kernel's security-block race
  Unreachable,       // the peer does not answer, or no adapter reaches it
  NotAuthenticated,  // the link could not be authenticated and encrypted
  TimedOut,          // the deadline passed
  Abandoned,         // the caller gave up (the port was closed meanwhile)
  Other,
};

struct RfcommResult {
  int value = -1;  // the channel found, or the connected socket (the caller's)
  RfcommFailure failure = RfcommFailure::None;
  std::string why;  // empty on success
};

// The RFCOMM channel of the peer's Serial Port service (UUID 0x1101), from its
// SDP record. Gives up at `deadline`, or soon after `abandoned` turns true.
RfcommResult FindSerialPortChannel(const std::string& address, RfcommDeadline deadline,
                                   const std::atomic<bool>& abandoned);

// A stream socket connected to `channel` of the peer at `address`
// ("00:11:22:33:44:55"), over an authenticated and encrypted link. Gives up at
// `deadline`, or soon after `abandoned` turns true.
RfcommResult ConnectRfcomm(const std::string& address, int channel, RfcommDeadline deadline,
                           const std::atomic<bool>& abandoned);

// What an error number of a Bluetooth socket call means for the caller, and
// how to say it.
RfcommFailure ClassifyRfcommError(int error);
std::string DescribeRfcommError(int error);

}  // namespace tarvel
