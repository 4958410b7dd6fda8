// SPDX-License-Identifier: MIT
// Reading the name of an outgoing Bluetooth port: "ADDR" or "ADDR@CHANNEL".
#include "link/bluetooth_target.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvel {
namespace {

TEST(BluetoothTarget, AnAddressAloneIsLookedUpAndComesOutInUpperCase) {
  std::string why;
  std::optional<BluetoothTarget> target = ParseBluetoothTarget("00:1a:7d:DA:71:13", &why);
  ASSERT_TRUE(target) << why;
  EXPECT_EQ(target->address, "00:1A:7D:DA:71:13");
  EXPECT_EQ(target->channel, 0);
  EXPECT_EQ(DescribeTarget(*target), "00:1A:7D:DA:71:13");
}

TEST(BluetoothTarget, AChannelFromOneToThirtyIsTaken) {
  std::string why;
  for (int channel : {1, 9, 10, 30}) {
    std::optional<BluetoothTarget> target =
        ParseBluetoothTarget("00:11:22:33:44:55@" + std::to_string(channel), &why);
    ASSERT_TRUE(target) << channel << ": " << why;
    EXPECT_EQ(target->channel, channel);
  }
  EXPECT_EQ(DescribeTarget({"00:11:22:33:44:55", 3}), "00:11:22:33:44:55 channel 3");
}

TEST(BluetoothTarget, MalformedAddressesAndChannelsAreRefusedSayingWhich) {
  for (const char* text : {"", "00:11:22:33:44", "00:11:22:33:44:55:66", "00-11-22-33-44-55",
                           "0g:11:22:33:44:55", "00:11:22:33:44:5", "@3"}) {
    std::string why;
    EXPECT_FALSE(ParseBluetoothTarget(text, &why)) << text;
    EXPECT_NE(why.find("is not a Bluetooth address"), std::string::npos) << text << ": " << why;
  }
  for (const char* channel : {"", "0", "31", "99", "100", "03", "-1", "+1", "1a", " 1", "1@2"}) {
    std::string why;
    EXPECT_FALSE(ParseBluetoothTarget(std::string("00:11:22:33:44:55@") + channel, &why))
        << channel;
    EXPECT_NE(why.find("is not an RFCOMM channel"), std::string::npos) << channel << ": " << why;
  }
}

}  // namespace
}  // namespace tarvel
