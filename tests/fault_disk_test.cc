// SPDX-License-Identifier: MIT
// Faults on the device's own disk: a write refused in the middle of a received
// file, and a device root that cannot be written at all. The peer's bytes are
// still taken off the line, so none of them is mistaken for a message, no file
// is damaged or half-made, and the device goes on working.
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include "support/fixtures.h"
#include "support/pty.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

class DiskFault : public ::testing::Test {
 protected:
  void StartListening() {
    ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);
    ASSERT_EQ(Server(*device.state), 999);
  }

  std::string WaitForFailure(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return device.WaitForEvent(EventKind::Failure, timeout);
  }

  // Nothing follows the failure for a while: the content that followed the
  // refused file was not read as messages.
  void ExpectFailureHolds() {
    EXPECT_EQ(device.NextEvent(std::chrono::milliseconds(400)), "no event")
        << "content was taken for a message";
  }

  PtyPair peer;
  TestDevice device{peer.slavePath()};
};

// Files this process writes may grow no larger than `bytes` while it lives.
// SIGXFSZ is ignored, so a write past the limit fails with EFBIG instead of
// ending the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved_;
    limited.rlim_cur = bytes;
    set_ = setrlimit(RLIMIT_FSIZE, &limited) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previousHandler_);
  }
  bool set() const { return set_; }

 private:
  rlimit saved_{};
  void (*previousHandler_)(int) = SIG_DFL;
  bool set_ = false;
};

TEST_F(DiskFault, AWriteRefusedMidFileLeavesTheOldFileAndTheNextTransferWorks) {
  const std::string content = RandomBytes(256 * 1024, 21);
  WriteWholeFile(device.Path("keep.bin"), "original");
  StartListening();
  {
    FileSizeLimit limit(64 * 1024);
    ASSERT_TRUE(limit.set());
    SendAsPeer(peer, "keep.bin", content);
    std::string reason = WaitForFailure(std::chrono::seconds(10));
    ASSERT_NE(reason, "");
    EXPECT_NE(reason.find("disk"), std::string::npos) << reason;
    ExpectFailureHolds();
  }
  EXPECT_EQ(ReadWholeFile(device.Path("keep.bin")), "original");
  EXPECT_EQ(FilesIn(device.root.path()), std::vector<std::string>{"keep.bin"});

  SendAsPeer(peer, "keep.bin", content);
  ASSERT_EQ(device.WaitForEvent(EventKind::Received, std::chrono::seconds(10)), "keep.bin");
  EXPECT_TRUE(ReadWholeFile(device.Path("keep.bin")) == content);
}

// Makes `folder` read-only for the calling thread and the threads it starts
// afterwards. Root ignores permission bits, so root gets a read-only bind
// mount in a mount namespace of the thread's own; anyone else, mode 0555.
// Says why not when neither works.
class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(const std::string& folder) : folder_(folder) {
    if (geteuid() != 0) {
      if (chmod(folder.c_str(), 0555) != 0) why_ = "chmod failed";
      return;
    }
    if (unshare(CLONE_NEWNS) != 0) {
      why_ = "no mount namespace (unshare: " + std::string(strerror(errno)) + ")";
      return;
    }
    mounted_ = mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (!mounted_ ||
        mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
      why_ = "cannot remount read-only: " + std::string(strerror(errno));
    }
  }
  ~ReadOnlyFolder() {
    if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
    chmod(folder_.c_str(), 0755);
  }
  const std::string& why() const { return why_; }

 private:
  std::string folder_;
  bool mounted_ = false;
  std::string why_;
};

TEST_F(DiskFault, AReadOnlyRootRefusesWritesButStillAnswersAndListens) {
  const std::string have = RandomBytes(450, 22);
  WriteWholeFile(device.Path("have.bin"), have);
  ReadOnlyFolder readOnly(device.root.path());
  if (!readOnly.why().empty()) GTEST_SKIP() << readOnly.why();
  ASSERT_NE(access(device.root.path().c_str(), W_OK), 0) << "the root is still writable";
  const auto before = Snapshot(device.root.path());
  StartListening();

  SendAsPeer(peer, "new.bin", RandomBytes(3000, 23));
  ASSERT_NE(WaitForFailure(), "");
  ExpectFailureHolds();

  SendAsPeer(peer, "have.bin", RandomBytes(3000, 24));
  ASSERT_NE(WaitForFailure(), "");
  ExpectFailureHolds();

  peer.Write("LIST: \\*.*|");
  ASSERT_NE(WaitForFailure(), "");
  EXPECT_EQ(Snapshot(device.root.path()), before);

  // Reading still works: a get request is answered in full.
  peer.Write("GILE: \\have.bin|");
  const std::string header = "FILE: \\have.bin|450|";
  EXPECT_EQ(peer.ReadExactly(header.size(), 3000), header);
  EXPECT_TRUE(peer.ReadExactly(have.size(), 5000) == have);
  EXPECT_EQ(device.WaitForEvent(EventKind::GetAnswered), "\\have.bin");
  peer.Write("still listening");
  EXPECT_EQ(device.WaitForEvent(EventKind::PeerText), "still listening");
}

}  // namespace
}  // namespace tarvel::testing
