#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/pty.h"
#include "support/test_device.h"
#include "transfer/file_sender.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::string AllByteValues() {
  std::string bytes;
  for (int value = 0; value < 256; ++value) bytes += static_cast<char>(value);
  return bytes;
}

class FileSendingOverPty : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(PortOpen(*device.state, kTestPort), 999); }

  // Sends `content` as a local file announced as `remote` and returns what the
  // peer read: the header's read and then the content.
  void SendAndCapture(const std::string& content, const std::u16string& remote, std::string& header,
                      std::string& received, double& pauseMs) {
    WriteWholeFile(device.Path("local.bin"), content);
    std::u16string local = Utf8ToUtf16(device.Path("local.bin"));
    std::thread sender([&] { SendFile(*device.state, local.c_str(), remote.c_str()); });
    std::string expected =
        "FILE: " + Utf16ToUtf8(remote) + "|" + std::to_string(content.size()) + "|";
    header = peer.ReadExactly(expected.size(), 3000);
    auto headerSeen = Clock::now();
    received = peer.ReadExactly(content.size(), 60000);
    pauseMs = std::chrono::duration<double, std::milli>(Clock::now() - headerSeen).count();
    sender.join();
  }

  PtyPair peer;
  TestDevice device{peer.slavePath()};
};

TEST_F(FileSendingOverPty, HeaderPauseAndByteIdenticalContent) {
  for (size_t size : {0u, 200u, 450u}) {
    std::string content = RandomBytes(size, static_cast<unsigned>(size));
    std::string header, received;
    double pauseMs = 0;
    SendAndCapture(content, u"a.txt", header, received, pauseMs);
    EXPECT_EQ(header, "FILE: a.txt|" + std::to_string(size) + "|");
    EXPECT_EQ(received, content) << size;
    if (size > 0) {
      EXPECT_GE(pauseMs, 950) << "content came before the sender's pause ended";
    }
    EXPECT_EQ(device.Status(), "SENT: " + device.Path("local.bin"));
  }
}

TEST_F(FileSendingOverPty, EveryByteValueAndSeveralMebibytesArriveUnchanged) {
  std::string content = AllByteValues() + RandomBytes(3 * 1024 * 1024, 7) + AllByteValues();
  std::string header, received;
  double pauseMs = 0;
  SendAndCapture(content, u"\\My Documents\\big.bin", header, received, pauseMs);
  EXPECT_EQ(header, "FILE: \\My Documents\\big.bin|" + std::to_string(content.size()) + "|");
  EXPECT_TRUE(received == content);
  EXPECT_EQ(peer.ReadUntilQuiet(200, 200), "") << "bytes beyond the file";
}

TEST_F(FileSendingOverPty, AMissingFileWritesNothing) {
  std::u16string missing = Utf8ToUtf16(device.Path("nope.bin"));
  EXPECT_EQ(SendFile(*device.state, missing.c_str(), u"nope.bin"), 999);
  EXPECT_EQ(device.Status().rfind("FAIL: ", 0), 0u);
  EXPECT_NE(device.Status().find(device.Path("nope.bin")), std::string::npos);
  EXPECT_EQ(peer.ReadUntilQuiet(300, 300), "");
}

TEST_F(FileSendingOverPty, NamesThatCannotBeAnnouncedAreRefusedBeforeWriting) {
  WriteWholeFile(device.Path("a.bin"), "abc");
  std::u16string local = Utf8ToUtf16(device.Path("a.bin"));
  std::u16string longName(191, u'n');
  EXPECT_EQ(SendFile(*device.state, local.c_str(), longName.c_str()), 999);
  EXPECT_EQ(device.Status().rfind("FAIL: ", 0), 0u);
  EXPECT_EQ(SendFile(*device.state, local.c_str(), u"a|b"), 999);
  EXPECT_EQ(device.Status().rfind("FAIL: ", 0), 0u);
  EXPECT_EQ(SendFile(*device.state, nullptr, u"a"), 999);
  EXPECT_EQ(device.Status().rfind("FAIL: ", 0), 0u);
  EXPECT_EQ(peer.ReadUntilQuiet(300, 300), "");
}

// A device that records every write, and can be told to fail one.
class RecordingDevice : public SerialDevice {
 public:
  bool ReadSettings(LineSettings&) override { return true; }
  bool WriteSettings(const LineSettings&) override { return true; }
  std::optional<size_t> QueueStatus() override { return 0; }
  ReadResult Read(uint8_t*, size_t, int) override { return {ReadOutcome::Quiet, 0}; }
  // Nothing ever arrives: a wait lasts until its limit or a Close.
  WaitResult WaitForInput(int timeoutMs) override {
    std::unique_lock<std::mutex> lock(mutex);
    auto isClosed = [this] { return closed; };
    if (timeoutMs < 0) {
      closedSignal.wait(lock, isClosed);
    } else {
      closedSignal.wait_for(lock, std::chrono::milliseconds(timeoutMs), isClosed);
    }
    return closed ? WaitResult::Closed : WaitResult::TimedOut;
  }
  WriteResult Write(const uint8_t* data, size_t count) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (writes.size() == failAt) return {count / 2, false};
    writes.emplace_back(reinterpret_cast<const char*>(data), count);
    return {count, true};
  }
  void Close() override {
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
    closedSignal.notify_all();
  }

  std::mutex mutex;
  std::condition_variable closedSignal;
  bool closed = false;
  std::vector<std::string> writes;
  size_t failAt = SIZE_MAX;
};

class FileSendingRecorded : public ::testing::Test {
 protected:
  void SetUp() override { device.state->Slot().ReplacePort(recorder); }
  std::shared_ptr<RecordingDevice> recorder = std::make_shared<RecordingDevice>();
  TestDevice device{"/dev/null"};
};

TEST_F(FileSendingRecorded, EachPieceIsOneWriteOfAtMost200Bytes) {
  WriteWholeFile(device.Path("f.bin"), RandomBytes(450, 1));
  std::u16string local = Utf8ToUtf16(device.Path("f.bin"));
  SendFile(*device.state, local.c_str(), u"f.bin");
  ASSERT_EQ(recorder->writes.size(), 4u);
  EXPECT_EQ(recorder->writes[0], "FILE: f.bin|450|");
  EXPECT_EQ(recorder->writes[1].size(), 200u);
  EXPECT_EQ(recorder->writes[2].size(), 200u);
  EXPECT_EQ(recorder->writes[3].size(), 50u);
}

TEST_F(FileSendingRecorded, AFailedWriteEndsTheTransfer) {
  WriteWholeFile(device.Path("f.bin"), RandomBytes(1000, 2));
  std::u16string local = Utf8ToUtf16(device.Path("f.bin"));
  recorder->failAt = 2;  // the second piece
  SendFile(*device.state, local.c_str(), u"f.bin");
  EXPECT_EQ(recorder->writes.size(), 2u);
  EXPECT_EQ(device.Status().rfind("FAIL: ", 0), 0u) << device.Status();
}

TEST_F(FileSendingRecorded, NoPortMeansNoLoopAndAFailure) {
  device.state->Slot().ReplacePort(nullptr);
  WriteWholeFile(device.Path("f.bin"), "abc");
  std::u16string local = Utf8ToUtf16(device.Path("f.bin"));
  EXPECT_EQ(SendFile(*device.state, local.c_str(), u"f.bin"), 999);
  EXPECT_EQ(device.Status().rfind("FAIL: ", 0), 0u);
}

TEST_F(FileSendingRecorded, ConcurrentSendersNeverInterleave) {
  WriteWholeFile(device.Path("one.bin"), std::string(450, '1'));
  WriteWholeFile(device.Path("two.bin"), std::string(450, '2'));
  std::u16string one = Utf8ToUtf16(device.Path("one.bin"));
  std::u16string two = Utf8ToUtf16(device.Path("two.bin"));
  std::thread first([&] { SendFile(*device.state, one.c_str(), u"one"); });
  std::thread second([&] { SendFile(*device.state, two.c_str(), u"two"); });
  std::thread text([&] { PortSend(*device.state, u"hello"); });
  first.join();
  second.join();
  text.join();
  ASSERT_EQ(recorder->writes.size(), 9u);
  // Each file's header is followed directly by its own three pieces.
  for (size_t at = 0; at < recorder->writes.size(); ++at) {
    const std::string& write = recorder->writes[at];
    if (write.rfind("FILE: ", 0) != 0) continue;
    char digit = write == "FILE: one|450|" ? '1' : '2';
    for (size_t piece = at + 1; piece <= at + 3; ++piece) {
      ASSERT_LT(piece, recorder->writes.size());
      EXPECT_EQ(recorder->writes[piece].find_first_not_of(digit), std::string::npos);
    }
  }
}

TEST_F(FileSendingRecorded, AnsweringAGetRequestAnnouncesTheRequestedName) {
  std::filesystem::create_directories(device.Path("docs"));
  WriteWholeFile(device.Path("docs/a.txt"), "12345");
  std::string why;
  EXPECT_TRUE(AnswerGetRequest(*device.state, u"\\docs\\a.txt", &why)) << why;
  ASSERT_EQ(recorder->writes.size(), 2u);
  EXPECT_EQ(recorder->writes[0], "FILE: \\docs\\a.txt|5|");
  EXPECT_EQ(recorder->writes[1], "12345");
  EXPECT_EQ(device.Status(), "") << "the listener, not the sender, reports an answer";

  EXPECT_FALSE(AnswerGetRequest(*device.state, u"\\missing.txt", &why));
  EXPECT_NE(why.find("missing.txt"), std::string::npos);
  EXPECT_FALSE(AnswerGetRequest(*device.state, u"..\\..\\etc\\passwd", &why));
  EXPECT_EQ(recorder->writes.size(), 2u) << "a refused request sends nothing";
}

}  // namespace
}  // namespace tarvel::testing
