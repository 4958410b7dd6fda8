// SPDX-License-Identifier: MIT
// A host on a machine whose system bus has no Bluetooth service: creating the
// incoming port is no failure, and port 0 stays the device it always was.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/fake_bluez.h"
#include "support/temp_dir.h"
#include "tarvel.h"

namespace tarvel::testing {
namespace {

TEST(HostWithoutBluetooth, CreateRegistersNothingAndFailsNothing) {
  FakeBluez bus(FakeBluez::Options{false, false});
  TempDir root, config;
  setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.busAddress().c_str(), 1);
  setenv("TARVEL_ROOT", root.path().c_str(), 1);
  setenv("TARVEL_REGISTRY", (config / "registry.reg").c_str(), 1);
  unsetenv("TARVEL_COM0");

  EXPECT_EQ(TarvelPortCreate(), 999);
  tarvel_wchar text[2000];
  EXPECT_EQ(TarvelLastFailure(text, 2000), 0);
  EXPECT_EQ(TarvelNextEvent(0, text, 2000), TARVEL_EVENT_NONE);
  EXPECT_EQ(TarvelIncomingPort(), 0);
  EXPECT_EQ(TarvelStatusCopy(text, 2000), 0);
  EXPECT_TRUE(FileExists(config / "registry.reg"));
}

}  // namespace
}  // namespace tarvel::testing
