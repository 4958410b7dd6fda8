// SPDX-License-Identifier: MIT
// A connected stream socket as a device, over a real socketpair: the test
// plays the peer on the other end.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "link/device/stream_device.h"
#include "link/link_timing.h"
#include "support/fake_bluez.h"

namespace tarvel::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class StreamDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    peer_ = ends[1];
    std::string error;
    device = AdoptStreamSocket(ends[0], &error, Timing());
    ASSERT_TRUE(device) << error;
  }
  virtual LinkTiming Timing() const { return LinkTiming(); }
  void TearDown() override { HangUp(); }

  void HangUp() {
    if (peer_ >= 0) close(peer_);
    peer_ = -1;
  }
  int peer() const { return peer_; }

  ReadResult Read(std::string& into, size_t count, int waitMs) {
    into.assign(count, '\0');
    ReadResult result = device->Read(reinterpret_cast<uint8_t*>(into.data()), count, waitMs);
    into.resize(result.count);
    return result;
  }
  WriteResult Write(const std::string& bytes) {
    return device->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }

  std::unique_ptr<SerialDevice> device;

 private:
  int peer_ = -1;
};

TEST_F(StreamDeviceTest, QueueStatusCountsWaitingBytesUntilThePeerHasGoneAndAllIsRead) {
  EXPECT_EQ(device->QueueStatus(), std::optional<size_t>(0));
  WriteAll(peer(), "twelve bytes");
  EXPECT_EQ(device->QueueStatus(), std::optional<size_t>(12));
  HangUp();
  // Bytes still waiting keep the connection in use.
  EXPECT_EQ(device->QueueStatus(), std::optional<size_t>(12));
  std::string got;
  EXPECT_EQ(Read(got, 12, 1000).outcome, ReadOutcome::Bytes);
  EXPECT_EQ(got, "twelve bytes");
  EXPECT_EQ(device->QueueStatus(), std::nullopt) << "a hung-up peer looked connected";
}

TEST_F(StreamDeviceTest, AReadEndsAfterTheQuietGapWithWhatCame) {
  std::thread writer([&] {
    WriteAll(peer(), "abc");
    std::this_thread::sleep_for(milliseconds(600));
    WriteAll(peer(), "late");
  });
  std::string got;
  auto started = Clock::now();
  ReadResult result = Read(got, 100, 2000);
  auto took = Clock::now() - started;
  writer.join();
  EXPECT_EQ(result.outcome, ReadOutcome::Bytes);
  EXPECT_EQ(got, "abc");
  EXPECT_GE(took, milliseconds(LinkTiming().readQuietGapMs));
  EXPECT_EQ(Read(got, 4, 2000).outcome, ReadOutcome::Bytes);
  EXPECT_EQ(got, "late");
}

TEST_F(StreamDeviceTest, AReadReturnsAsSoonAsItsCountArrived) {
  WriteAll(peer(), "exactly10!more");
  std::string got;
  EXPECT_EQ(Read(got, 10, 1000).outcome, ReadOutcome::Bytes);
  EXPECT_EQ(got, "exactly10!");
  EXPECT_EQ(Read(got, 10, 1000).count, 4u);
  EXPECT_EQ(got, "more");
}

TEST_F(StreamDeviceTest, NothingWithinTheWaitIsQuietAndAHangUpFails) {
  std::string got;
  auto started = Clock::now();
  EXPECT_EQ(Read(got, 10, 200).outcome, ReadOutcome::Quiet);
  EXPECT_GE(Clock::now() - started, milliseconds(200));
  WriteAll(peer(), "last");
  HangUp();
  // What came before the hang-up is read first; the end comes next.
  EXPECT_EQ(Read(got, 10, 1000).outcome, ReadOutcome::Bytes);
  EXPECT_EQ(got, "last");
  EXPECT_EQ(Read(got, 10, 1000).outcome, ReadOutcome::Failed);
}

TEST_F(StreamDeviceTest, WritesReachThePeerAndFailOnceItHasGone) {
  std::string big(300000, 'x');
  for (size_t at = 0; at < big.size(); ++at) big[at] = static_cast<char>(at * 7);
  std::string received;
  std::thread reader([&] { received = ReadFor(peer(), big.size(), 10000); });
  WriteResult result = Write(big);
  reader.join();
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.written, big.size());
  EXPECT_TRUE(received == big);

  HangUp();
  result = Write("anyone there?");
  EXPECT_FALSE(result.ok);
  ASSERT_NE(result.why, nullptr);
  EXPECT_STREQ(result.why, "the peer hung up");
}

TEST_F(StreamDeviceTest, LineSettingsAreAcceptedAndReportedBack) {
  LineSettings settings;
  settings.baudRate = 256000;
  settings.byteSize = 8;
  EXPECT_TRUE(device->WriteSettings(settings));
  LineSettings back;
  EXPECT_TRUE(device->ReadSettings(back));
  EXPECT_EQ(back.baudRate, 256000u);
  EXPECT_EQ(back.byteSize, 8);
  WriteAll(peer(), "unchanged");
  std::string got;
  EXPECT_EQ(Read(got, 9, 1000).outcome, ReadOutcome::Bytes);
  EXPECT_EQ(got, "unchanged");
}

TEST_F(StreamDeviceTest, CloseFromAnotherThreadWakesABlockedRead) {
  ReadResult result;
  Clock::duration took{};
  std::thread reader([&] {
    std::string got;
    auto started = Clock::now();
    result = Read(got, 10, 10000);
    took = Clock::now() - started;
  });
  std::this_thread::sleep_for(milliseconds(200));
  device->Close();
  reader.join();
  EXPECT_EQ(result.outcome, ReadOutcome::Failed);
  EXPECT_LT(took, milliseconds(3000));
  // The peer learns of the end at once, not when the device is destroyed.
  char byte = 0;
  EXPECT_EQ(read(peer(), &byte, 1), 0);
  EXPECT_EQ(device->QueueStatus(), std::nullopt);
  EXPECT_FALSE(Write("after close").ok);
}

TEST_F(StreamDeviceTest, CloseFromAnotherThreadWakesAStalledWrite) {
  // The peer reads nothing: the write fills the socket's buffers and waits.
  std::string big(4 << 20, 'y');
  WriteResult result;
  Clock::duration took{};
  std::thread writer([&] {
    auto started = Clock::now();
    result = Write(big);
    took = Clock::now() - started;
  });
  std::this_thread::sleep_for(milliseconds(300));
  device->Close();
  writer.join();
  EXPECT_FALSE(result.ok);
  EXPECT_LT(result.written, big.size());
  EXPECT_LT(took, milliseconds(LinkTiming().writeStallLimitMs)) << "Close did not wake the write";
}

TEST_F(StreamDeviceTest, AWriteThePeerNeverTakesGivesUpAtTheStallLimit) {
  std::string big(4 << 20, 'z');
  auto started = Clock::now();
  WriteResult result = Write(big);
  EXPECT_FALSE(result.ok);
  EXPECT_GT(result.written, 0u);
  EXPECT_LT(result.written, big.size());
  EXPECT_GE(Clock::now() - started, milliseconds(LinkTiming().writeStallLimitMs));
  // What did go out reaches the peer intact.
  EXPECT_TRUE(ReadFor(peer(), result.written, 5000) == big.substr(0, result.written));
}

// A connection keeps the link's own read gap and stall limit, not the wire's
// defaults: a link with test timing would otherwise wait out the default
// stall limit on every stalled write.
class StreamDeviceOnLinkTimingTest : public StreamDeviceTest {
 protected:
  static LinkTiming Own() {
    LinkTiming timing;
    timing.readQuietGapMs = 800;
    timing.writeStallLimitMs = 300;
    return timing;
  }
  LinkTiming Timing() const override { return Own(); }
};

TEST_F(StreamDeviceOnLinkTimingTest, AStalledWriteGivesUpAfterTheLinksOwnStallLimit) {
  std::string big(4 << 20, 'z');
  auto started = Clock::now();
  WriteResult result = Write(big);
  auto took = Clock::now() - started;
  EXPECT_FALSE(result.ok);
  EXPECT_GT(result.written, 0u);
  EXPECT_LT(result.written, big.size());
  EXPECT_EQ(result.why, nullptr) << "a stall is no hang-up";
  EXPECT_GE(took, milliseconds(Own().writeStallLimitMs));
  EXPECT_LT(took, milliseconds(LinkTiming().writeStallLimitMs)) << "waited out the default limit";
}

TEST_F(StreamDeviceOnLinkTimingTest, BytesCloserThanTheLinksOwnQuietGapAreOneRead) {
  // 300 ms apart: two reads on the wire's 100 ms gap, one on this link's 800 ms.
  std::thread writer([&] {
    WriteAll(peer(), "abc");
    std::this_thread::sleep_for(milliseconds(300));
    WriteAll(peer(), "late");
  });
  std::string got;
  ReadResult result = Read(got, 100, 2000);
  writer.join();
  EXPECT_EQ(result.outcome, ReadOutcome::Bytes);
  EXPECT_EQ(got, "abclate");
}

TEST(StreamDeviceAdoption, ADescriptorThatIsNoOpenFileIsRefused) {
  std::string error;
  EXPECT_EQ(AdoptStreamSocket(-1, &error, LinkTiming()), nullptr);
  EXPECT_NE(error.find("cannot take over the connection"), std::string::npos) << error;
}

}  // namespace
}  // namespace tarvel::testing
