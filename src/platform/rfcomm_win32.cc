// SPDX-License-Identifier: MIT
// Windows makes a COM port for each paired device's serial port; the link
// opens those by number and makes no Bluetooth connections of its own.
#include "platform/rfcomm.h"

namespace tarvel {
namespace {

RfcommResult NotHere() {
  return {-1, RfcommFailure::NoSockets,
          "Bluetooth addresses are not supported on this system: use the COM port "
          "that Windows made for the paired device"};
}

}  // namespace

RfcommResult FindSerialPortChannel(const std::string&, RfcommDeadline, const std::atomic<bool>&) {
  return NotHere();
}

RfcommResult ConnectRfcomm(const std::string&, int, RfcommDeadline, const std::atomic<bool>&) {
  return NotHere();
}

RfcommFailure ClassifyRfcommError(int) {
  return RfcommFailure::NoSockets;
}

std::string DescribeRfcommError(int) {
  return NotHere().why;
}

}  // namespace tarvel
