// SPDX-License-Identifier: MIT
// What a link tells its host, on its own: the status text within its
// capacity, a failure as the status, the event and the calling thread's last
// failure, and the peer each event names; and the peer a link's results name
// while its port is the incoming one.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "link/device/incoming_port.h"
#include "link/link_state.h"
#include "link/reporting.h"
#include "platform/codepage.h"
#include "support/pty.h"

namespace tarvel::testing {
namespace {

using std::chrono::milliseconds;

Event Take(Reporting& reports) {
  std::optional<Event> event = reports.Events().Next(milliseconds(0));
  return event.value_or(Event{EventKind::Dropped, u"no event", ""});
}

TEST(Reporting, TheStatusHoldsTextsUpToItsCapacityAndRefusesLongerOnes) {
  Reporting reports(nullptr);
  const std::u16string longest(wire::kStatusCapacity - 1, u'x');
  reports.SetStatus(longest);
  EXPECT_EQ(reports.Status(), longest);
  EXPECT_EQ(std::u16string(reports.StatusPointer()), longest);

  // One more, and the status says so rather than show a cut text.
  reports.SetStatus(longest + u"y");
  EXPECT_EQ(reports.Status(), u"FAIL: status text too long");
  EXPECT_FALSE(reports.Events().Next(milliseconds(0))) << "a status that is no result queued one";

  // A result whose text fits only without its prefix is a failure.
  ClearLastFailure();
  reports.Report(EventKind::Received, std::u16string(wire::kStatusCapacity - 3, u'r'));
  EXPECT_EQ(reports.Status(), u"FAIL: status text too long");
  Event event = Take(reports);
  EXPECT_EQ(event.kind, EventKind::Failure);
  EXPECT_EQ(event.text, u"status text too long");
  EXPECT_EQ(LastFailure(), std::optional<std::u16string>(u"status text too long"));
  EXPECT_FALSE(reports.Events().Next(milliseconds(0))) << "the result was queued after all";
}

TEST(Reporting, AFailureIsTheStatusTheEventAndOnlyTheCallingThreadsLastFailure) {
  Reporting reports([] { return std::string("00:11:22:33:44:55"); });
  ClearLastFailure();
  std::thread other([&] {
    ClearLastFailure();
    reports.Fail("cannot open COM3: busy");
    EXPECT_EQ(LastFailure(), std::optional<std::u16string>(u"cannot open COM3: busy"));
  });
  other.join();
  EXPECT_FALSE(LastFailure()) << "another thread's failure became this one's";
  EXPECT_EQ(reports.Status(), u"FAIL: cannot open COM3: busy");
  Event event = Take(reports);
  EXPECT_EQ(event.kind, EventKind::Failure);
  EXPECT_EQ(event.text, u"cannot open COM3: busy");
  EXPECT_EQ(event.peer, "00:11:22:33:44:55");
}

TEST(Reporting, EachResultNamesThePeerOfItsMomentAndANoticeLeavesTheStatus) {
  std::string peer = "AA:BB:CC:DD:EE:01";
  Reporting reports([&] { return peer; });
  reports.Report(EventKind::PeerText, u"hello");
  peer = "AA:BB:CC:DD:EE:02";
  reports.Report(EventKind::Sent, u"\\a.txt");
  reports.Notify("the Bluetooth service left");

  Event first = Take(reports);
  EXPECT_EQ(first.text, u"hello");
  EXPECT_EQ(first.peer, "AA:BB:CC:DD:EE:01");
  Event second = Take(reports);
  EXPECT_EQ(second.kind, EventKind::Sent);
  EXPECT_EQ(second.peer, "AA:BB:CC:DD:EE:02");
  Event notice = Take(reports);
  EXPECT_EQ(notice.kind, EventKind::Notice);
  EXPECT_EQ(notice.text, u"the Bluetooth service left");
  EXPECT_EQ(reports.Status(), u"SENT: \\a.txt") << "a notice replaced the last result";
}

// A link reports the peer on its incoming port, and none once the port is a
// plain device again.
TEST(Reporting, ALinksResultsNameThePeerOnItsIncomingPortOnly) {
  LinkState state;
  PtyPair connection, plain;
  std::string why;
  std::unique_ptr<SerialDevice> link = OpenSerialDevice(connection.slavePath(), &why);
  ASSERT_TRUE(link) << why;
  auto incoming = std::make_shared<IncomingPort>();
  ASSERT_TRUE(incoming->Offer(std::move(link), "/org/bluez/hci0/dev_00_1A_7D_DA_71_13", &why))
      << why;
  state.Slot().ReplacePort(incoming);
  state.Reports().Report(EventKind::PeerText, u"from the peer");
  EXPECT_EQ(Take(state.Reports()).peer, "00:1A:7D:DA:71:13");

  std::shared_ptr<SerialDevice> device = OpenSerialDevice(plain.slavePath(), &why);
  ASSERT_TRUE(device) << why;
  state.Slot().ReplacePort(device);
  state.Reports().Report(EventKind::PeerText, u"from the cable");
  Event event = Take(state.Reports());
  EXPECT_EQ(event.text, u"from the cable");
  EXPECT_EQ(event.peer, "");
}

}  // namespace
}  // namespace tarvel::testing
