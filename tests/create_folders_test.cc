// SPDX-License-Identifier: MIT
// A pushed file named beneath folders that do not exist: refused by default,
// as the wire's other peers do, and with TARVEL_CREATE_FOLDERS its folders
// made, beneath the device root only.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>

#include "support/fixtures.h"
#include "support/pty.h"
#include "support/temp_dir.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

using namespace std::chrono_literals;

class CreateFoldersOverPty : public ::testing::Test {
 protected:
  void Listen(const std::map<std::string, std::string>& settings) {
    device = std::make_unique<TestDevice>(peer.slavePath(), settings, ShortLimits());
    ASSERT_EQ(PortOpen(*device->state, kTestPort), 999);
    ASSERT_EQ(Server(*device->state), 999);
  }

  std::string NextEvent() { return device->NextEvent(); }

  PtyPair peer;
  std::unique_ptr<TestDevice> device;
};

TEST_F(CreateFoldersOverPty, AFileInAMissingFolderIsRefusedWhenTheSettingIsUnset) {
  Listen({});
  SendAsPeer(peer, "\\sub\\a.txt", "content");
  std::string event = NextEvent();
  EXPECT_EQ(event.rfind("8: ", 0), 0u) << event;
  EXPECT_FALSE(FileExists(device->Path("sub")));
  peer.Write("next");
  EXPECT_EQ(NextEvent(), "5: next");
}

TEST_F(CreateFoldersOverPty, TheSettingMakesTheFoldersButNeverThroughALinkOutOfTheRoot) {
  TempDir outside;
  Listen({{"TARVEL_CREATE_FOLDERS", "1"}});
  SendAsPeer(peer, "\\sub\\deeper\\a.txt", "content");
  EXPECT_EQ(NextEvent(), "1: \\sub\\deeper\\a.txt");
  EXPECT_EQ(ReadWholeFile(device->Path("sub/deeper/a.txt")), "content");

  ASSERT_EQ(symlink(outside.path().c_str(), device->Path("out").c_str()), 0);
  SendAsPeer(peer, "\\out\\made\\b.txt", "escape");
  std::string event = NextEvent();
  EXPECT_EQ(event.rfind("8: ", 0), 0u) << event;
  EXPECT_NE(event.find("leaves the device root"), std::string::npos) << event;
  EXPECT_TRUE(FilesIn(outside.path()).empty());
}

}  // namespace
}  // namespace tarvel::testing
