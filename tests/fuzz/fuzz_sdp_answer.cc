// SPDX-License-Identifier: MIT
// A peer's SDP answer, as arbitrary bytes: reading the serial port's channel
// out of it never reads beyond the answer, never leaks, and gives either no
// channel or one that RFCOMM has (1-30).
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "platform/sdp_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A buffer of exactly the answer's size, so that any read past it is seen.
  std::vector<uint8_t> answer(data, data + size);
  int channel = tarvel::SerialPortChannelInAnswer(answer.data(), answer.size());
  FUZZ_CHECK(channel == 0 || (channel >= 1 && channel <= 30));
  return 0;
}
