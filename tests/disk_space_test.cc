// A peer may not fill the device's disk: on a small tmpfs as the device root,
// a file announced beyond the free space less the reserve is refused before
// anything is created, and a write that meets a full disk midway says the
// system's reason and leaves no temporary behind. Either way the content is
// read off the line, so the next message arrives.
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/fixtures.h"
#include "support/pty.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

using namespace std::chrono_literals;

constexpr size_t kDiskBytes = 4 * 1024 * 1024;

// A tmpfs of 4 MiB mounted on a temporary folder while the object lives. Says
// why not when it cannot be mounted (an unprivileged run).
class SmallDisk {
 public:
  SmallDisk() {
    if (mount("tmpfs", folder_.path().c_str(), "tmpfs", 0, "size=4m") == 0) {
      mounted_ = true;
    } else {
      why_ = "cannot mount a tmpfs: " + std::string(strerror(errno));
    }
  }
  ~SmallDisk() {
    if (mounted_) umount2(folder_.path().c_str(), MNT_DETACH);
  }
  const std::string& path() const { return folder_.path(); }
  const std::string& why() const { return why_; }

 private:
  TempDir folder_;
  bool mounted_ = false;
  std::string why_;
};

// Writes `path` until the disk refuses more; how many bytes it took.
size_t FillDisk(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return 0;
  std::vector<char> block(4096, 'x');
  size_t total = 0;
  for (ssize_t written; (written = write(fd, block.data(), block.size())) > 0;) {
    total += static_cast<size_t>(written);
  }
  close(fd);
  return total;
}

class SmallDiskRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!disk.why().empty()) GTEST_SKIP() << disk.why();
    device = std::make_unique<TestDevice>(
        peer.slavePath(), std::map<std::string, std::string>{{"TARVEL_ROOT", disk.path()}},
        ShortLimits());
    ASSERT_EQ(PortOpen(*device->state, kTestPort), 999);
    ASSERT_EQ(Server(*device->state), 999);
  }

  std::string NextEvent() { return device->NextEvent(std::chrono::milliseconds(10000)); }

  // Waits until an entry whose name begins with `prefix` is in the root.
  bool WaitForEntry(const std::string& prefix) {
    for (int i = 0; i < 300; ++i) {
      for (const std::string& name : FilesIn(disk.path())) {
        if (name.rfind(prefix, 0) == 0) return true;
      }
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  PtyPair peer;
  SmallDisk disk;  // outlives the device, whose listener writes on it
  std::unique_ptr<TestDevice> device;
};

TEST_F(SmallDiskRoot, AFileBeyondTheFreeSpaceLessTheReserveIsRefusedBeforeAnythingIsCreated) {
  const std::string content = RandomBytes(kDiskBytes, 31);
  peer.Write("FILE: huge.bin|" + std::to_string(content.size()) + "|");
  std::this_thread::sleep_for(300ms);
  peer.Write(content.substr(0, content.size() / 2));
  // Halfway through the content, nothing has been made on the disk.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(FilesIn(disk.path()), std::vector<std::string>{});
  peer.Write(content.substr(content.size() / 2));
  std::string event = NextEvent();
  EXPECT_EQ(event.rfind("8: receiving huge.bin failed: not enough space: 4.0 MiB announced, ", 0),
            0u)
      << event;
  EXPECT_NE(event.find(" MiB free beyond the reserve"), std::string::npos) << event;
  EXPECT_EQ(FilesIn(disk.path()), std::vector<std::string>{});

  peer.Write("after the refused file");
  EXPECT_EQ(NextEvent(), "5: after the refused file");
  // A file that fits is still received.
  SendAsPeer(peer, "small.bin", "fits");
  EXPECT_EQ(NextEvent(), "1: small.bin");
  EXPECT_EQ(ReadWholeFile(disk.path() + "/small.bin"), "fits");
}

TEST_F(SmallDiskRoot, AWriteThatHitsAFullDiskSaysNoSpaceLeftAndLeavesNoTemporary) {
  // Passes the check on the empty disk; the disk is filled once the file has
  // been created, so the writes meet ENOSPC midway.
  const std::string content = RandomBytes(2 * 1024 * 1024, 32);
  peer.Write("FILE: half.bin|" + std::to_string(content.size()) + "|");
  std::this_thread::sleep_for(300ms);
  peer.Write(content.substr(0, 1000));
  ASSERT_TRUE(WaitForEntry(".half.bin.tarvel-")) << "no temporary was created";
  ASSERT_GT(FillDisk(disk.path() + "/filler"), 0u);
  peer.Write(content.substr(1000));
  std::string event = NextEvent();
  EXPECT_EQ(event,
            "8: receiving half.bin failed: the disk refused a write: No space left on device");
  EXPECT_EQ(FilesIn(disk.path()), std::vector<std::string>{"filler"});

  peer.Write("after the failed file");
  EXPECT_EQ(NextEvent(), "5: after the failed file");
}

}  // namespace
}  // namespace tarvel::testing
