#include "platform/port_names.h"

#include <gtest/gtest.h>

namespace tarvel {
namespace {

TEST(PortNames, DefaultsToTheRfcommBindingOfTheSameNumber) {
  Environment env = FixedEnvironment({});
  EXPECT_EQ(SerialDevicePath(0, env), "/dev/rfcomm0");
  EXPECT_EQ(SerialDevicePath(3, env), "/dev/rfcomm3");
  EXPECT_EQ(SerialDevicePath(12, env), "/dev/rfcomm12");
}

TEST(PortNames, VariableChoosesTheDeviceOfItsPortOnly) {
  Environment env =
      FixedEnvironment({{"TARVEL_COM3", "/dev/ttyUSB0"}, {"TARVEL_COM1", "/dev/pts/7"}});
  EXPECT_EQ(SerialDevicePath(3, env), "/dev/ttyUSB0");
  EXPECT_EQ(SerialDevicePath(1, env), "/dev/pts/7");
  EXPECT_EQ(SerialDevicePath(13, env), "/dev/rfcomm13");  // not TARVEL_COM1 with a 3 after it
  EXPECT_EQ(SerialDevicePath(0, env), "/dev/rfcomm0");
}

TEST(PortNames, EmptyVariableCountsAsUnset) {
  EXPECT_EQ(SerialDevicePath(2, FixedEnvironment({{"TARVEL_COM2", ""}})), "/dev/rfcomm2");
}

}  // namespace
}  // namespace tarvel
