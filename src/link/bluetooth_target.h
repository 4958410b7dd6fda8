// SPDX-License-Identifier: MIT
// What a port named "bluetooth:..." connects to: a peer's Bluetooth address
// and, when the name gives one, the RFCOMM channel of its serial port.
#pragma once

#include <optional>
#include <string>

namespace tarvel {

struct BluetoothTarget {
  std::string address;  // "00:11:22:33:44:55", upper case as BlueZ writes it
  int channel = 0;      // 1-30, or 0: look it up in the peer's service record
};

inline constexpr int kLowestRfcommChannel = 1;
inline constexpr int kHighestRfcommChannel = 30;

// Reads "ADDR" or "ADDR@CHANNEL": six pairs of hexadecimal digits separated by
// colons, in either case, and a decimal channel from 1 to 30. Nothing, saying
// why, for anything else.
std::optional<BluetoothTarget> ParseBluetoothTarget(const std::string& text, std::string* why);

// "00:11:22:33:44:55" or "00:11:22:33:44:55 channel 3", for messages.
std::string DescribeTarget(const BluetoothTarget& target);

}  // namespace tarvel
