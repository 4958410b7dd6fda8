// SPDX-License-Identifier: MIT
// Reading the serial port's RFCOMM channel out of a peer's SDP answer: the
// attribute lists of a ServiceSearchAttribute response, byte for byte as a
// peer sends them, well formed and not.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/sdp_answer.h"

namespace tarvel {
namespace {

using Bytes = std::vector<uint8_t>;

// A data element sequence with a one-byte length.
Bytes Sequence(const Bytes& inside) {
  Bytes out{0x35, static_cast<uint8_t>(inside.size())};
  out.insert(out.end(), inside.begin(), inside.end());
  return out;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// One record's attribute list: its handle, its service class, and a protocol
// list of L2CAP and, when `channel` is not 0, RFCOMM on that channel.
Bytes Record(uint16_t serviceClass, int channel, uint32_t handle = 0x00010000) {
  Bytes protocols = Sequence({0x19, 0x01, 0x00});  // L2CAP
  if (channel != 0) {
    protocols =
        Join({protocols, Sequence({0x19, 0x00, 0x03, 0x08, static_cast<uint8_t>(channel)})});
  }
  return Sequence(Join({
      {0x09, 0x00, 0x00, 0x0a, static_cast<uint8_t>(handle >> 24),
       static_cast<uint8_t>(handle >> 16), static_cast<uint8_t>(handle >> 8),
       static_cast<uint8_t>(handle)},
      {0x09, 0x00, 0x01},
      Sequence({0x19, static_cast<uint8_t>(serviceClass >> 8), static_cast<uint8_t>(serviceClass)}),
      {0x09, 0x00, 0x04},
      Sequence(protocols),
  }));
}

int ChannelIn(const Bytes& answer) {
  return SerialPortChannelInAnswer(answer.data(), answer.size());
}

TEST(SdpAnswer, TheSerialPortRecordsChannelIsFound) {
  EXPECT_EQ(ChannelIn(Sequence(Record(0x1101, 7))), 7);
  EXPECT_EQ(ChannelIn(Sequence(Record(0x1101, 30))), 30);
}

TEST(SdpAnswer, TheFirstRecordWithAnRfcommChannelWins) {
  Bytes answer =
      Sequence(Join({Record(0x1101, 0, 1), Record(0x1101, 12, 2), Record(0x1101, 3, 3)}));
  EXPECT_EQ(ChannelIn(answer), 12);
}

TEST(SdpAnswer, NoRecordOrNoRfcommChannelMeansNoSerialPort) {
  EXPECT_EQ(ChannelIn(Sequence({})), 0);
  EXPECT_EQ(ChannelIn(Sequence(Record(0x1101, 0))), 0);
  EXPECT_EQ(ChannelIn({}), 0);
  // Channel 0 and channels past 30 do not exist in RFCOMM.
  EXPECT_EQ(ChannelIn(Sequence(Record(0x1101, 31))), 0);
}

TEST(SdpAnswer, MalformedAnswersGiveNoChannelAndReadNothingBeyondTheirEnd) {
  Bytes whole = Sequence(Record(0x1101, 9));
  // Every truncation, each in a buffer of its own size, so that the
  // sanitizers see any read past its end.
  for (size_t size = 0; size < whole.size(); ++size) {
    Bytes cut(whole.begin(), whole.begin() + static_cast<long>(size));
    EXPECT_EQ(ChannelIn(cut), 0) << size;
  }
  // An outer length that claims more than there is.
  Bytes overlong = whole;
  overlong[1] = 0xff;
  EXPECT_EQ(ChannelIn(overlong), 0);
  // Not a sequence at all.
  EXPECT_EQ(ChannelIn({0x08, 0x05}), 0);
  EXPECT_EQ(ChannelIn({0xff, 0xff, 0xff, 0xff}), 0);
}

TEST(SdpAnswer, LongUuidsAndAlternativeStacksAreRead) {
  // RFCOMM's UUID written long, on the Bluetooth base UUID.
  Bytes longRfcomm = {0x1c, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x10, 0x00,
                      0x80, 0x00, 0x00, 0x80, 0x5f, 0x9b, 0x34, 0xfb};
  Bytes stack =
      Sequence(Join({Sequence({0x19, 0x01, 0x00}), Sequence(Join({longRfcomm, {0x08, 0x11}}))}));
  EXPECT_EQ(ChannelIn(Sequence(Sequence(Join({{0x09, 0x00, 0x04}, stack})))), 17);
  // Two alternative stacks, the second with RFCOMM.
  Bytes other = Sequence({Sequence({0x19, 0x01, 0x00})});
  Bytes alternatives = {0x3d, static_cast<uint8_t>(other.size() + stack.size())};
  alternatives = Join({alternatives, other, stack});
  EXPECT_EQ(ChannelIn(Sequence(Sequence(Join({{0x09, 0x00, 0x04}, alternatives})))), 17);
  // A 128-bit UUID that is not on the base UUID is not RFCOMM.
  longRfcomm[16] = 0xfc;
  Bytes foreign =
      Sequence(Join({Sequence({0x19, 0x01, 0x00}), Sequence(Join({longRfcomm, {0x08, 0x11}}))}));
  EXPECT_EQ(ChannelIn(Sequence(Sequence(Join({{0x09, 0x00, 0x04}, foreign})))), 0);
}

// libbluetooth's record parser (sdp_extract_pdu) loops without end on this
// 90-byte answer, which a peer may send: reading it must end at once.
TEST(SdpAnswer, AnAnswerThatHangsLibbluetoothsParserIsReadAtOnce) {
  Bytes answer = {0x35, 0x2c, 0x35, 0x2a, 0x09, 0x00, 0x00, 0x0a, 0x00, 0x01, 0x00, 0x00, 0x09,
                  0x00, 0x01, 0x35, 0x2c, 0x35, 0x2a, 0x09, 0x00, 0x00, 0x0a, 0x00, 0x01, 0x00,
                  0x00, 0x09, 0x00, 0x01, 0x35, 0x03, 0x19, 0x11, 0x01, 0x09, 0x00, 0x04, 0x35,
                  0x0c, 0x35, 0x03, 0x19, 0x01, 0x00, 0x35, 0x05, 0x19, 0x00, 0x03, 0x08, 0x02,
                  0x09, 0x01, 0x00, 0x25, 0x04, 0x03, 0x6f, 0x35, 0x03, 0x19, 0x11, 0x01, 0x09,
                  0x00, 0x04, 0x35, 0x0c, 0x35, 0x03, 0x19, 0x01, 0x00, 0x35, 0x05, 0x19, 0x00,
                  0x03, 0x08, 0x02, 0x09, 0x01, 0x00, 0x25, 0x04, 0x03, 0x6f, 0x72, 0x74};
  // The nested record ends past its container: no channel is taken from it.
  EXPECT_EQ(ChannelIn(answer), 0);
}

}  // namespace
}  // namespace tarvel
