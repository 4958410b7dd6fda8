// SPDX-License-Identifier: MIT
// The port slot on its own: the waits of its listener threads end when a port
// is installed, when the port they wait on is replaced, and when the
// listeners are stopped; a slot stopped once serves new listeners again.
// Real threads, on real ttys of pty pairs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "link/device/serial_device.h"
#include "link/port_slot.h"
#include "support/pty.h"

namespace tarvel::testing {
namespace {

using std::chrono::milliseconds;

// Long enough never to pass on a loaded machine: a wait that ends within it
// ended because it was woken.
constexpr milliseconds kWoken{10000};

std::shared_ptr<SerialDevice> OpenTty(const PtyPair& pty) {
  std::string why;
  std::shared_ptr<SerialDevice> device = OpenSerialDevice(pty.slavePath(), &why);
  if (!device) ADD_FAILURE() << "cannot open " << pty.slavePath() << ": " << why;
  return device;
}

TEST(PortSlot, AWaitForAPortEndsWithThePortInstalledLater) {
  PortSlot slot;
  PtyPair pty;
  std::shared_ptr<SerialDevice> port = OpenTty(pty);
  std::promise<std::shared_ptr<SerialDevice>> found;
  slot.StartListener([&] { found.set_value(slot.WaitForPort()); });
  std::future<std::shared_ptr<SerialDevice>> waited = found.get_future();
  EXPECT_EQ(waited.wait_for(milliseconds(100)), std::future_status::timeout)
      << "the wait ended with no port installed";
  slot.ReplacePort(port);
  ASSERT_EQ(waited.wait_for(kWoken), std::future_status::ready) << "still waiting for the port";
  EXPECT_EQ(waited.get(), port);
  slot.StopListeners();
  EXPECT_EQ(slot.Port(), nullptr) << "stopping the listeners closes the port";
}

TEST(PortSlot, StoppingEndsAWaitForAPortWithNothingAndAWaitForTheStop) {
  PortSlot slot;
  std::atomic<bool> gotPort{true};
  std::atomic<bool> sawStop{false};
  slot.StartListener([&] { gotPort = slot.WaitForPort() != nullptr; });
  slot.StartListener([&] { sawStop = slot.WaitForStop(600000); });
  auto stopping = std::async(std::launch::async, [&] { slot.StopListeners(); });
  ASSERT_EQ(stopping.wait_for(kWoken), std::future_status::ready) << "a listener never stopped";
  EXPECT_FALSE(gotPort);
  EXPECT_TRUE(sawStop);
  // The stop is over once the listeners have gone: a later wait runs its time.
  EXPECT_FALSE(slot.StopRequested());
  EXPECT_FALSE(slot.WaitForStop(1));
}

// The listener's own shape: waiting for input on the port it took. Replacing
// the port closes the old one, which ends that wait, and the next wait for a
// port finds the new one.
TEST(PortSlot, ReplacingThePortEndsAWaitForInputOnTheOldOne) {
  PortSlot slot;
  PtyPair first, second;
  slot.ReplacePort(OpenTty(first));
  std::promise<void> took;
  std::promise<WaitResult> oldWait;
  std::promise<std::shared_ptr<SerialDevice>> next;
  slot.StartListener([&] {
    std::shared_ptr<SerialDevice> port = slot.WaitForPort();
    took.set_value();
    oldWait.set_value(port ? port->WaitForInput(-1) : WaitResult::TimedOut);
    next.set_value(slot.WaitForPort());
  });
  std::shared_ptr<SerialDevice> replacement = OpenTty(second);
  // Closed before or during the wait for input, the old port ends it alike.
  took.get_future().wait();
  slot.ReplacePort(replacement);
  std::future<WaitResult> waited = oldWait.get_future();
  ASSERT_EQ(waited.wait_for(kWoken), std::future_status::ready) << "still waiting on the old port";
  EXPECT_EQ(waited.get(), WaitResult::Closed);
  EXPECT_EQ(next.get_future().get(), replacement);
  slot.StopListeners();
}

TEST(PortSlot, ASlotStoppedOnceRunsTheNextListenerUntilItsOwnStop) {
  PortSlot slot;
  slot.StartListener([&] { slot.WaitForStop(600000); });
  slot.StopListeners();
  std::promise<bool> second;
  slot.StartListener([&] {
    // Not stopped at once by the stop that is over.
    bool stoppedAtOnce = slot.WaitForStop(50);
    second.set_value(stoppedAtOnce);
    slot.WaitForStop(600000);
  });
  EXPECT_FALSE(second.get_future().get());
  auto stopping = std::async(std::launch::async, [&] { slot.StopListeners(); });
  ASSERT_EQ(stopping.wait_for(kWoken), std::future_status::ready) << "the second stop hangs";
}

}  // namespace
}  // namespace tarvel::testing
