// SPDX-License-Identifier: MIT
// Faults on the line: a peer that hangs up or stops reading in the middle of a
// file, and a host that closes the port under the listener. Each test shows
// that no file is damaged or half-made and that the device works afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "platform/codepage.h"
#include "support/fixtures.h"
#include "support/pty.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSparePort = kTestPort + 1;

std::string HeaderFor(const std::string& name, size_t size) {
  return "FILE: " + name + "|" + std::to_string(size) + "|";
}

// A device with a second port on a second pty, for life after a hang-up.
class LineFault : public ::testing::Test {
 protected:
  std::u16string Local(const std::string& name) { return Utf8ToUtf16(device.Path(name)); }

  // Sends the device file `name` in the background.
  std::future<int> SendInBackground(const std::string& name) {
    return std::async(std::launch::async, [this, name] {
      std::u16string local = Local(name);
      std::u16string remote = Utf8ToUtf16(name);
      return SendFile(*device.state, local.c_str(), remote.c_str());
    });
  }

  std::string WaitForFailure() { return device.WaitForEvent(EventKind::Failure); }

  // Waits until the transfer in progress has moved at least `bytes`.
  bool WaitForProgress(long long bytes, int timeoutMs = 5000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (; Clock::now() < deadline; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
      long long done = 0, total = 0;
      device.state->Reports().Progress(done, total);
      if (done >= bytes) return true;
    }
    return false;
  }

  PtyPair peer;
  PtyPair spare;
  TestDevice device{peer.slavePath(),
                    {{"TARVEL_COM" + std::to_string(kSparePort), spare.slavePath()}},
                    ShortLimits()};
};

TEST_F(LineFault, AHangUpMidSentFileFailsPromptlyAndANewPortCarriesItWhole) {
  const std::string content = RandomBytes(1 << 20, 11);
  WriteWholeFile(device.Path("out.bin"), content);
  ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);

  std::future<int> sending = SendInBackground("out.bin");
  const std::string header = HeaderFor("out.bin", content.size());
  ASSERT_EQ(peer.ReadExactly(header.size(), 3000), header);
  std::string part = peer.ReadExactly(20000, 5000);
  ASSERT_EQ(part, content.substr(0, 20000));
  peer.HangUp();
  ASSERT_EQ(sending.wait_for(std::chrono::seconds(3)), std::future_status::ready)
      << "the sender hung after the hang-up";
  EXPECT_EQ(sending.get(), 999);
  EXPECT_TRUE(IsFailure(device.Status())) << device.Status();
  EXPECT_TRUE(ReadWholeFile(device.Path("out.bin")) == content) << "the sent file was changed";

  ASSERT_EQ(PortOpen(*device.state, kSparePort), 999);
  std::future<int> again = SendInBackground("out.bin");
  EXPECT_EQ(spare.ReadExactly(header.size(), 3000), header);
  EXPECT_TRUE(spare.ReadExactly(content.size(), 20000) == content);
  EXPECT_EQ(again.get(), 999);
  EXPECT_EQ(device.Status(), "SENT: " + device.Path("out.bin"));
}

TEST_F(LineFault, AfterAHangUpMidReceivedFileTheListenerTakesTheFileWholeOnANewPort) {
  WriteWholeFile(device.Path("keep.bin"), "original");
  ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);
  ASSERT_EQ(Server(*device.state), 999);
  const std::string content = RandomBytes(100000, 12);

  peer.Write(HeaderFor("keep.bin", content.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  peer.Write(content.substr(0, 30000));
  ASSERT_TRUE(WaitForProgress(30000));
  peer.HangUp();
  ASSERT_NE(WaitForFailure(), "");
  EXPECT_EQ(ReadWholeFile(device.Path("keep.bin")), "original");
  EXPECT_EQ(FilesIn(device.root.path()), std::vector<std::string>{"keep.bin"});

  ASSERT_EQ(PortOpen(*device.state, kSparePort), 999);
  SendAsPeer(spare, "keep.bin", content);
  ASSERT_EQ(device.WaitForEvent(EventKind::Received, std::chrono::seconds(10)), "keep.bin");
  EXPECT_TRUE(ReadWholeFile(device.Path("keep.bin")) == content);
  EXPECT_EQ(FilesIn(device.root.path()), std::vector<std::string>{"keep.bin"});
}

TEST_F(LineFault, AHostClosingThePortMidFileStopsTheReceiveAndAReopenedPortWorks) {
  WriteWholeFile(device.Path("keep.bin"), "original");
  ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);
  ASSERT_EQ(Server(*device.state), 999);
  const std::string content = RandomBytes(100000, 13);

  peer.Write(HeaderFor("keep.bin", content.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  peer.Write(content.substr(0, 30000));
  ASSERT_TRUE(WaitForProgress(30000));
  auto closedAt = Clock::now();
  ASSERT_EQ(PortClose(*device.state), 999);
  ASSERT_NE(WaitForFailure(), "");
  EXPECT_LT(Clock::now() - closedAt, std::chrono::seconds(2)) << "the receive outlived the port";
  EXPECT_EQ(ReadWholeFile(device.Path("keep.bin")), "original");
  EXPECT_EQ(FilesIn(device.root.path()), std::vector<std::string>{"keep.bin"});

  // The same tty, opened again: the listener polls it and takes a whole file.
  ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);
  SendAsPeer(peer, "keep.bin", content);
  ASSERT_EQ(device.WaitForEvent(EventKind::Received, std::chrono::seconds(10)), "keep.bin");
  EXPECT_TRUE(ReadWholeFile(device.Path("keep.bin")) == content);
}

TEST_F(LineFault, APeerThatStopsReadingMidFileEndsTheSendAndThePortStaysUsable) {
  const std::string content = RandomBytes(1 << 20, 14);
  WriteWholeFile(device.Path("out.bin"), content);
  WriteWholeFile(device.Path("small.txt"), "small and whole");
  ASSERT_EQ(PortOpen(*device.state, kTestPort), 999);

  std::future<int> sending = SendInBackground("out.bin");
  const std::string header = HeaderFor("out.bin", content.size());
  ASSERT_EQ(peer.ReadExactly(header.size(), 3000), header);
  ASSERT_EQ(peer.ReadExactly(10000, 5000), content.substr(0, 10000));
  // The peer stops reading: the tty's buffers fill and the writes stall.
  ASSERT_EQ(sending.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "the sender waited on a stalled line for good";
  EXPECT_TRUE(IsFailure(device.Status())) << device.Status();
  EXPECT_TRUE(ReadWholeFile(device.Path("out.bin")) == content);

  // Once the peer has taken what was stuck, the same port sends a whole file.
  std::string stuck = peer.ReadUntilQuiet(300, 5000);
  EXPECT_TRUE(content.compare(10000, stuck.size(), stuck) == 0) << "the stuck bytes were garbled";
  std::future<int> again = SendInBackground("small.txt");
  const std::string expected = HeaderFor("small.txt", 15) + "small and whole";
  EXPECT_EQ(peer.ReadExactly(expected.size(), 3000), expected);
  EXPECT_EQ(again.get(), 999);
}

}  // namespace
}  // namespace tarvel::testing
