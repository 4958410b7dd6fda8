// Waiting for received bytes on a real pty: the wait takes nothing, and a
// close or a wake-up ends it at once.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <utility>

#include "link/device/serial_device.h"
#include "support/pty.h"

namespace tarvel {
namespace {

using testing::PtyPair;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::unique_ptr<SerialDevice> Open(const std::string& path) {
  std::string error;
  std::unique_ptr<SerialDevice> device = OpenSerialDevice(path, &error);
  EXPECT_NE(device, nullptr) << error;
  return device;
}

// Starts a wait without limit on another thread; the result comes with the
// moment it ended.
std::future<std::pair<ReadableWait, Clock::time_point>> WaitInBackground(SerialDevice& device) {
  return std::async(std::launch::async, [&device] {
    ReadableWait result = device.WaitUntilReadable(-1);
    return std::make_pair(result, Clock::now());
  });
}

TEST(SerialDeviceWait, ArrivingBytesEndTheWaitAndStayWaiting) {
  PtyPair pty;
  auto device = Open(pty.slavePath());
  ASSERT_TRUE(device);
  auto waiting = WaitInBackground(*device);
  EXPECT_EQ(waiting.wait_for(200ms), std::future_status::timeout) << "ended on a silent line";
  pty.Write("hello");
  ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(waiting.get().first, ReadableWait::Readable);
  EXPECT_EQ(device->QueueStatus(), 5u) << "the wait took bytes";
  // With bytes already waiting, the wait ends at once.
  EXPECT_EQ(device->WaitUntilReadable(5000), ReadableWait::Readable);
  uint8_t buffer[8];
  EXPECT_EQ(device->Read(buffer, sizeof buffer, 0).count, 5u);
  EXPECT_EQ(device->WaitUntilReadable(50), ReadableWait::TimedOut);
}

TEST(SerialDeviceWait, ACloseDuringTheWaitEndsItWithin50Ms) {
  PtyPair pty;
  auto device = Open(pty.slavePath());
  ASSERT_TRUE(device);
  auto waiting = WaitInBackground(*device);
  ASSERT_EQ(waiting.wait_for(200ms), std::future_status::timeout);
  Clock::time_point closedAt = Clock::now();
  device->Close();
  ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready) << "the close did not end the wait";
  auto [result, endedAt] = waiting.get();
  EXPECT_EQ(result, ReadableWait::Failed);
  EXPECT_LT(endedAt - closedAt, 50ms);
  EXPECT_EQ(device->WaitUntilReadable(-1), ReadableWait::Failed) << "a closed device waited";
}

TEST(SerialDeviceWait, AWakeUpEndsTheWaitInProgressOrTheNextOne) {
  PtyPair pty;
  auto device = Open(pty.slavePath());
  ASSERT_TRUE(device);
  auto waiting = WaitInBackground(*device);
  ASSERT_EQ(waiting.wait_for(200ms), std::future_status::timeout);
  Clock::time_point wokenAt = Clock::now();
  device->WakeWaiters();
  ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
  auto [result, endedAt] = waiting.get();
  EXPECT_EQ(result, ReadableWait::Woken);
  EXPECT_LT(endedAt - wokenAt, 50ms);
  // A wake-up given before the wait is not lost, and is used up by it.
  device->WakeWaiters();
  EXPECT_EQ(device->WaitUntilReadable(2000), ReadableWait::Woken);
  EXPECT_EQ(device->WaitUntilReadable(50), ReadableWait::TimedOut);
}

}  // namespace
}  // namespace tarvel
