// SPDX-License-Identifier: MIT
// The Win32 serial device and the protocol over it, on a cable of two ptys
// that the Linux side makes (wine_harness.py --cable): COM<a> and COM<b> are
// its two ends, mapped by Wine onto the pty slaves.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "link/device/serial_device.h"
#include "platform/port_names.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string AllByteValues() {
  std::string bytes;
  for (int value = 0; value < 256; ++value) bytes += static_cast<char>(value);
  return bytes;
}

std::string ComPath(int port) {
  return SerialDevicePath(port, FixedEnvironment({}));
}

// Reads until `count` bytes have come or `timeoutMs` has passed.
std::string ReadAll(SerialDevice& device, size_t count, int timeoutMs) {
  std::string got;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  uint8_t buffer[4096];
  while (got.size() < count && Clock::now() < deadline) {
    ReadResult result = device.Read(buffer, std::min(sizeof buffer, count - got.size()), 100);
    if (result.outcome == ReadOutcome::Failed) break;
    got.append(reinterpret_cast<char*>(buffer), result.count);
  }
  return got;
}

bool WriteAll(SerialDevice& device, const std::string& bytes) {
  WriteResult result = device.Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return result.ok && result.written == bytes.size();
}

class Cable : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* a = std::getenv("TARVEL_TEST_COM_A");
    const char* b = std::getenv("TARVEL_TEST_COM_B");
    ASSERT_TRUE(a && b) << "run through wine_harness.py --cable";
    portA_ = std::atoi(a);
    portB_ = std::atoi(b);
  }

  std::unique_ptr<SerialDevice> Open(int port) {
    std::string error;
    std::unique_ptr<SerialDevice> device = OpenSerialDevice(ComPath(port), &error);
    EXPECT_TRUE(device) << error;
    return device;
  }

  int portA_ = 0, portB_ = 0;
};

TEST_F(Cable, EveryByteValueCrossesBothWaysUnchanged) {
  std::unique_ptr<SerialDevice> a = Open(portA_), b = Open(portB_);
  ASSERT_TRUE(a && b);
  // XON, XOFF, CR, LF, NUL, ^C and DEL among them: nothing may act on them.
  std::string content = AllByteValues() + RandomBytes(100000, 5) + AllByteValues();
  for (auto [from, to] : {std::pair{a.get(), b.get()}, std::pair{b.get(), a.get()}}) {
    auto reader = std::async(std::launch::async,
                             [&, to = to] { return ReadAll(*to, content.size(), 20000); });
    EXPECT_TRUE(WriteAll(*from, content));
    EXPECT_TRUE(reader.get() == content);
  }
}

TEST_F(Cable, QueueStatusCountsTheBytesWaiting) {
  std::unique_ptr<SerialDevice> a = Open(portA_), b = Open(portB_);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(b->QueueStatus(), 0u);
  ASSERT_TRUE(WriteAll(*a, "thirty-seven bytes waiting to be read"));
  auto deadline = Clock::now() + std::chrono::seconds(3);
  while (b->QueueStatus() != 37u && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(b->QueueStatus(), 37u);
  uint8_t buffer[64];
  ReadResult result = b->Read(buffer, 37, 0);
  EXPECT_EQ(result.outcome, ReadOutcome::Bytes);
  EXPECT_EQ(result.count, 37u);
  EXPECT_EQ(b->QueueStatus(), 0u);
}

TEST_F(Cable, ReadsEndQuietOrShortAfterTheQuietGap) {
  std::unique_ptr<SerialDevice> a = Open(portA_), b = Open(portB_);
  ASSERT_TRUE(a && b);
  uint8_t buffer[200];
  Clock::time_point start = Clock::now();
  ReadResult quiet = b->Read(buffer, sizeof buffer, 300);
  EXPECT_EQ(quiet.outcome, ReadOutcome::Quiet);
  EXPECT_GE(MillisecondsSince(start), 290);

  // Two pieces closer together than the gap make one read, which then ends
  // short once the line has been quiet for the gap, long before its wait.
  ASSERT_TRUE(WriteAll(*a, "ab"));
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  ASSERT_TRUE(WriteAll(*a, "cde"));
  start = Clock::now();
  ReadResult shortRead = b->Read(buffer, sizeof buffer, 5000);
  double elapsed = MillisecondsSince(start);
  ASSERT_EQ(shortRead.outcome, ReadOutcome::Bytes);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), shortRead.count), "abcde");
  EXPECT_GE(elapsed, LinkTiming().readQuietGapMs - 10);
  EXPECT_LT(elapsed, 2000);
}

TEST_F(Cable, CloseEndsABlockedReadAndEveryLaterCall) {
  std::unique_ptr<SerialDevice> b = Open(portB_);
  ASSERT_TRUE(b);
  auto reader = std::async(std::launch::async, [&] {
    uint8_t buffer[10];
    Clock::time_point start = Clock::now();
    ReadResult result = b->Read(buffer, sizeof buffer, 10000);
    return std::pair{result.outcome, MillisecondsSince(start)};
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  b->Close();
  auto [outcome, elapsed] = reader.get();
  EXPECT_EQ(outcome, ReadOutcome::Failed);
  EXPECT_LT(elapsed, 1000);
  EXPECT_FALSE(WriteAll(*b, "x"));
  EXPECT_FALSE(b->QueueStatus());
  LineSettings settings;
  EXPECT_FALSE(b->ReadSettings(settings));
}

// Whichever wait the driver offers, WaitCommEvent or the queue polled: it
// ends when a byte comes, at its limit, and at a Close.
TEST_F(Cable, TheWaitForInputEndsOnAByteAtItsLimitAndOnAClose) {
  std::unique_ptr<SerialDevice> a = Open(portA_), b = Open(portB_);
  ASSERT_TRUE(a && b);
  Clock::time_point start = Clock::now();
  EXPECT_EQ(b->WaitForInput(200), WaitResult::TimedOut);
  EXPECT_GE(MillisecondsSince(start), 190);

  auto waiting = std::async(std::launch::async, [&] { return b->WaitForInput(-1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  ASSERT_TRUE(WriteAll(*a, "x"));
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), WaitResult::Ready);
  EXPECT_EQ(b->QueueStatus(), 1u);
  uint8_t byte = 0;
  EXPECT_EQ(b->Read(&byte, 1, 0).count, 1u);

  waiting = std::async(std::launch::async, [&] { return b->WaitForInput(-1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  start = Clock::now();
  b->Close();
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), WaitResult::Closed);
  EXPECT_LT(MillisecondsSince(start), 1000);
}

// Wine reads 38400 back after 256000 is set, so the rate itself is checked on
// Linux only; the framing and the flow control are checked here.
TEST_F(Cable, LineSettingsAreEightBitsNoParityOneStopNoFlowControl) {
  std::unique_ptr<SerialDevice> a = Open(portA_);
  ASSERT_TRUE(a);
  EXPECT_TRUE(a->WriteSettings(LineSettings{256000, 8, 0, 0, true}));
  LineSettings read;
  ASSERT_TRUE(a->ReadSettings(read));
  EXPECT_NE(read.baudRate, 0u);
  EXPECT_EQ(read.byteSize, 8);
  EXPECT_EQ(read.parity, 0);
  EXPECT_EQ(read.stopBits, 0);
  EXPECT_FALSE(read.softwareFlowControl);
  EXPECT_FALSE(a->WriteSettings(LineSettings{256000, 9, 0, 0, false}));
}

TEST_F(Cable, AMissingPortDoesNotOpen) {
  std::string error;
  EXPECT_FALSE(OpenSerialDevice(ComPath(255), &error));
  EXPECT_NE(error.find("COM255"), std::string::npos) << error;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

// Windows makes COM ports for paired devices: a Bluetooth address as a port's
// name fails at once, saying to use that port.
TEST(BluetoothAddress, IsRefusedSayingToUseTheComPort) {
  for (const char* name : {"bluetooth:00:11:22:33:44:55", "bluetooth:00:11:22:33:44:55@3"}) {
    TestDevice device("unused", {{"TARVEL_COM7", name}});
    auto started = Clock::now();
    EXPECT_EQ(PortOpen(*device.state, 7), 1) << name;
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(5)) << name;
    EXPECT_TRUE(StartsWith(device.Status(), "FAIL: cannot open COM7: ")) << device.Status();
    EXPECT_NE(device.Status().find("not supported on this system"), std::string::npos)
        << device.Status();
  }
}

// Two devices in this process, each on its own end of the cable and each with
// its listener: files, a get request, a text and a listing go across.
TEST_F(Cable, TwoDevicesExchangeFilesTextsAndListings) {
  TestDevice a(ComPath(portA_)), b(ComPath(portB_));
  ASSERT_EQ(PortOpen(*a.state, kTestPort), 999) << a.Status();
  ASSERT_EQ(PortOpen(*b.state, kTestPort), 999) << b.Status();
  Server(*a.state);
  Server(*b.state);

  std::string sent = AllByteValues() + RandomBytes(5000, 11);
  WriteWholeFile(a.Path("local.bin"), sent);
  std::u16string local = Utf8ToUtf16(a.Path("local.bin"));
  EXPECT_EQ(SendFile(*a.state, local.c_str(), u"\\received.bin"), 999);
  ASSERT_TRUE(b.WaitForStatus("RECV: \\received.bin", 10000)) << b.Status();
  EXPECT_TRUE(ReadWholeFile(b.Path("received.bin")) == sent);

  std::string offered = RandomBytes(777, 12);
  WriteWholeFile(b.Path("offer.bin"), offered);
  EXPECT_EQ(GetFile(*a.state, u"\\fetched.bin", u"offer.bin"), 999);
  ASSERT_TRUE(a.WaitForStatus("RECV: \\fetched.bin", 10000)) << a.Status();
  EXPECT_TRUE(ReadWholeFile(a.Path("fetched.bin")) == offered);
  EXPECT_TRUE(b.WaitForStatus("FILE: offer.bin", 3000)) << b.Status();

  EXPECT_EQ(PortSend(*b.state, u"caf\u00E9 \u20AC"), 999);
  EXPECT_TRUE(a.WaitForStatus("caf\xC3\xA9 \xE2\x82\xAC", 3000)) << a.Status();

  EXPECT_EQ(ListFiles(*a.state, u"*.bin"), 999);
  ASSERT_TRUE(b.WaitForStatus("LIST: *.bin", 3000)) << b.Status();
  std::string listing = ReadWholeFile(b.Path("Tarvel.txt"));
  EXPECT_TRUE(StartsWith(listing, "offer.bin\r\n")) << listing;
  EXPECT_NE(listing.find("\r\n\r\nreceived.bin\r\n"), std::string::npos) << listing;
}

}  // namespace
}  // namespace tarvel::testing
