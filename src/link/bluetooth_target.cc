#include "link/bluetooth_target.h"

#include <cctype>

namespace tarvel {
namespace {

std::optional<std::string> BluetoothAddress(const std::string& text) {
  if (text.size() != 17) return std::nullopt;
  std::string address = text;
  for (size_t at = 0; at < address.size(); ++at) {
    unsigned char c = static_cast<unsigned char>(address[at]);
    bool fits = at % 3 == 2 ? c == ':' : std::isxdigit(c) != 0;
    if (!fits) return std::nullopt;
    address[at] = static_cast<char>(std::toupper(c));
  }
  return address;
}

// A channel written as one or two decimal digits, no sign, no leading zero.
std::optional<int> Channel(const std::string& text) {
  if (text.empty() || text.size() > 2 || text[0] == '0') return std::nullopt;
  int channel = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    channel = channel * 10 + (c - '0');
  }
  if (channel < kLowestRfcommChannel || channel > kHighestRfcommChannel) return std::nullopt;
  return channel;
}

}  // namespace

std::optional<BluetoothTarget> ParseBluetoothTarget(const std::string& text, std::string* why) {
  size_t at = text.find('@');
  std::string addressText = text.substr(0, at);
  std::optional<std::string> address = BluetoothAddress(addressText);
  if (!address) {
    *why = "\"" + addressText +
           "\" is not a Bluetooth address (six pairs of hex digits, as 00:11:22:33:44:55)";
    return std::nullopt;
  }
  BluetoothTarget target{*address, 0};
  if (at == std::string::npos) return target;
  std::optional<int> channel = Channel(text.substr(at + 1));
  if (!channel) {
    *why = "\"" + text.substr(at + 1) + "\" is not an RFCOMM channel (a number from " +
           std::to_string(kLowestRfcommChannel) + " to " + std::to_string(kHighestRfcommChannel) +
           ")";
    return std::nullopt;
  }
  target.channel = *channel;
  return target;
}

std::string DescribeTarget(const BluetoothTarget& target) {
  if (target.channel == 0) return target.address;
  return target.address + " channel " + std::to_string(target.channel);
}

}  // namespace tarvel
