// SPDX-License-Identifier: MIT
// Requests to the peer: their bytes on the wire, and whole roads between two
// devices in one process, joined by a pty cable, both listening.
#include <sys/stat.h>
#include <utime.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/mutex.h"
#include "support/fixtures.h"
#include "support/pty.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

class RequestsOnTheWire : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(PortOpen(state, kTestPort), 999); }

  // The save paths pending for the requested name, oldest first.
  std::vector<std::string> Pending(const std::string& name) const {
    std::vector<std::string> paths;
    for (const std::u16string& path : state.Requests().Saves(name))
      paths.push_back(Utf16ToUtf8(path));
    return paths;
  }
  using Paths = std::vector<std::string>;

  PtyPair peer;
  TestDevice device{peer.slavePath()};
  LinkState& state = *device.state;
};

TEST_F(RequestsOnTheWire, AGetRequestIsOneMessageAndKeepsItsSavePathUnderItsName) {
  EXPECT_EQ(GetFile(state, u"\\save.bin", u"a.txt"), 999);
  EXPECT_EQ(peer.ReadExactly(12, 2000), "GILE: a.txt|");
  EXPECT_EQ(Pending("a.txt"), Paths{"\\save.bin"});

  EXPECT_EQ(GetFile(state, u"\\second.bin", u"\\My Documents\\caf\u00e9.txt"), 999);
  EXPECT_EQ(peer.ReadUntilQuiet(200, 2000), "GILE: \\My Documents\\caf\xE9.txt|");
  EXPECT_EQ(Pending("\\My Documents\\caf\xE9.txt"), Paths{"\\second.bin"});
  EXPECT_EQ(Pending("a.txt"), Paths{"\\save.bin"}) << "each request keeps its own path";

  EXPECT_EQ(GetFile(state, u"", u"b.txt"), 999);
  EXPECT_EQ(peer.ReadUntilQuiet(200, 2000), "GILE: b.txt|");
  EXPECT_EQ(Pending("b.txt"), Paths{""});
  EXPECT_EQ(device.Status(), "") << "a request that went out reports nothing";
}

TEST_F(RequestsOnTheWire, AListRequestCarriesItsPatternEvenWhenEmpty) {
  state.Requests().AddSave("x", u"\\kept.bin");
  EXPECT_EQ(ListFiles(state, u"\\*.*"), 999);
  EXPECT_EQ(peer.ReadExactly(11, 2000), "LIST: \\*.*|");
  EXPECT_EQ(ListFiles(state, u""), 999);
  EXPECT_EQ(peer.ReadExactly(7, 2000), "LIST: |");
  EXPECT_EQ(ListFiles(state, u"\\Program Files\\*.exe"), 999);
  EXPECT_EQ(peer.ReadUntilQuiet(200, 2000), "LIST: \\Program Files\\*.exe|");
  EXPECT_EQ(Pending("x"), Paths{"\\kept.bin"}) << "a list request leaves the save path alone";
  EXPECT_EQ(state.Requests().SaveCount(), 1u);
  EXPECT_EQ(device.Status(), "");
}

TEST_F(RequestsOnTheWire, RequestsThatCannotBeCarriedWriteNothing) {
  state.Requests().AddSave("x", u"\\kept.bin");
  auto expectRefused = [&](const char* what) {
    EXPECT_TRUE(IsFailure(device.Status())) << what << ": " << device.Status();
    EXPECT_EQ(state.Requests().SaveCount(), 1u) << what;
    state.Reports().SetStatus(u"");
  };
  // "GILE: " or "LIST: ", 496 bytes and "|" fill the 504-byte message buffer.
  const std::u16string longest(496, u'n');
  const std::u16string tooLong = longest + u"n";
  GetFile(state, u"\\x", tooLong.c_str());
  expectRefused("a 497-byte name");
  ListFiles(state, tooLong.c_str());
  expectRefused("a 497-byte pattern");
  GetFile(state, u"\\x", std::u16string(500, u'n').c_str());
  expectRefused("a name that fills the 500-byte text buffer");
  GetFile(state, std::u16string(500, u's').c_str(), u"a.txt");
  expectRefused("a 500-character save path");
  GetFile(state, nullptr, u"a.txt");
  expectRefused("no save path");
  GetFile(state, u"\\x", nullptr);
  expectRefused("no name");
  ListFiles(state, nullptr);
  expectRefused("no pattern");
  GetFile(state, u"\\x", u"a|b.txt");
  expectRefused("a name holding the separator, which the peer would cut");

  // What fits goes out whole, and nothing of the refused ones went before it.
  const std::u16string longestSavePath(499, u's');
  GetFile(state, longestSavePath.c_str(), longest.c_str());
  EXPECT_EQ(peer.ReadUntilQuiet(300, 3000), "GILE: " + std::string(496, 'n') + "|");
  EXPECT_EQ(state.Requests().Saves(std::string(496, 'n')),
            std::vector<std::u16string>{longestSavePath});
  ListFiles(state, longest.c_str());
  EXPECT_EQ(peer.ReadUntilQuiet(300, 3000), "LIST: " + std::string(496, 'n') + "|");
}

TEST(RequestsInUtf8, TheLimitsCountTheBytesOfTheEightBitForm) {
  PtyPair peer;
  TestDevice device(peer.slavePath(), {{"TARVEL_CODEPAGE", "UTF-8"}});
  LinkState& state = *device.state;
  ASSERT_EQ(PortOpen(state, kTestPort), 999);
  std::string eAcute = "\xC3\xA9";
  // 248 characters of two bytes each: 496 bytes, the most a request carries.
  GetFile(state, u"\\x", std::u16string(248, u'\u00e9').c_str());
  std::string name;
  for (int i = 0; i < 248; ++i) name += eAcute;
  EXPECT_EQ(peer.ReadUntilQuiet(300, 3000), "GILE: " + name + "|");
  // 250 characters are 500 bytes: more than the request's buffer holds.
  GetFile(state, u"\\y", std::u16string(250, u'\u00e9').c_str());
  EXPECT_TRUE(IsFailure(device.Status())) << device.Status();
  EXPECT_EQ(state.Requests().Saves(name), std::vector<std::u16string>{u"\\x"});
  EXPECT_EQ(state.Requests().SaveCount(), 1u);
  EXPECT_EQ(peer.ReadUntilQuiet(300, 300), "");
}

TEST(RequestsWithoutAPort, ReportAFailureAndKeepTheEarlierSavePath) {
  TestDevice device("/dev/null");
  device.state->Requests().AddSave("earlier.txt", u"\\earlier.bin");
  EXPECT_EQ(GetFile(*device.state, u"\\save.bin", u"a.txt"), 999);
  EXPECT_TRUE(IsFailure(device.Status())) << device.Status();
  EXPECT_TRUE(device.state->Requests().Saves("a.txt").empty())
      << "a request that never went out must not redirect an incoming file";
  EXPECT_EQ(device.state->Requests().Saves("earlier.txt"),
            std::vector<std::u16string>{u"\\earlier.bin"});
  device.state->Reports().SetStatus(u"");
  EXPECT_EQ(ListFiles(*device.state, u"\\*.*"), 999);
  EXPECT_TRUE(IsFailure(device.Status())) << device.Status();
}

// Two devices joined by a null-modem pty cable, ports open, both listening.
class TwoDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(PortOpen(*a.state, kTestPort), 999);
    ASSERT_EQ(PortOpen(*b.state, kTestPort), 999);
    ASSERT_EQ(Server(*a.state), 999);
    ASSERT_EQ(Server(*b.state), 999);
  }

  PtyCable cable;
  TestDevice a{cable.endA()};
  TestDevice b{cable.endB()};
};

TEST_F(TwoDevices, TheRoadOfAGetRequest) {
  const std::string data = RandomBytes(450, 11);
  WriteWholeFile(b.Path("data.bin"), data);
  const std::string request = "GILE: \\data.bin|";
  const std::string header = "FILE: \\data.bin|450|";
  auto asked = Clock::now();
  ASSERT_EQ(GetFile(*a.state, u"\\copy.bin", u"\\data.bin"), 999);

  // 1. A keeps the save path; its request is all that crosses to B.
  EXPECT_EQ(a.state->Requests().Saves("\\data.bin"), std::vector<std::u16string>{u"\\copy.bin"});
  // 2. B reads the request and answers with the header; it shows nothing
  //    until the whole file has gone.
  ASSERT_TRUE(WaitFor([&] { return cable.relayedBtoA() >= header.size(); }, 2000));
  EXPECT_EQ(cable.relayedAtoB(), request.size());
  EXPECT_EQ(b.Status(), "");
  // 3. A recognises the header and uses up the save path; the content is
  //    still on its way behind the sender's pause.
  ASSERT_TRUE(WaitFor([&] { return a.state->Requests().SaveCount() == 0; }, 2000));
  EXPECT_EQ(a.Status(), "");
  EXPECT_FALSE(FileExists(a.Path("copy.bin")));
  // 4. B has sent the file and says so; A has saved it under the save path.
  EXPECT_EQ(b.WaitForEvent(EventKind::GetAnswered), "\\data.bin");
  EXPECT_EQ(a.WaitForEvent(EventKind::Answer), "\\copy.bin");
  EXPECT_GE(Clock::now() - asked, 1000ms) << "the content came before the sender's pause";
  EXPECT_EQ(ReadWholeFile(a.Path("copy.bin")), data);
  EXPECT_EQ(cable.relayedBtoA(), header.size() + data.size());
  EXPECT_FALSE(FileExists(a.Path("data.bin")));
  EXPECT_FALSE(FileExists(b.Path("copy.bin")));
}

TEST_F(TwoDevices, FilesTravelBothWaysAtOnce) {
  const std::string fromA = RandomBytes(1000, 21), fromB = RandomBytes(700, 22);
  WriteWholeFile(a.Path("out.bin"), fromA);
  WriteWholeFile(b.Path("out.bin"), fromB);
  const std::u16string localA = Utf8ToUtf16(a.Path("out.bin"));
  const std::u16string localB = Utf8ToUtf16(b.Path("out.bin"));
  std::thread sendA([&] { SendFile(*a.state, localA.c_str(), u"\\from_a.bin"); });
  std::thread sendB([&] { SendFile(*b.state, localB.c_str(), u"\\from_b.bin"); });
  sendA.join();
  sendB.join();
  ASSERT_TRUE(WaitFor(
      [&] { return FileExists(b.Path("from_a.bin")) && FileExists(a.Path("from_b.bin")); }, 5000));
  EXPECT_EQ(ReadWholeFile(b.Path("from_a.bin")), fromA);
  EXPECT_EQ(ReadWholeFile(a.Path("from_b.bin")), fromB);
  // Each side last did either its send or its receive; both finish together.
  for (auto [device, sent, received] :
       {std::make_tuple(&a, a.Path("out.bin"), std::string("\\from_b.bin")),
        std::make_tuple(&b, b.Path("out.bin"), std::string("\\from_a.bin"))}) {
    std::string status = device->Status();
    EXPECT_TRUE(status == "SENT: " + sent || status == "RECV: " + received) << status;
  }
}

// Sets a file's last-write time to the given local time.
void SetLocalWriteTime(const std::string& path, int year, int month, int day, int hour, int minute,
                       int second) {
  std::tm local = {};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  utimbuf times{};
  times.actime = times.modtime = std::mktime(&local);
  ASSERT_EQ(utime(path.c_str(), &times), 0) << path;
}

TEST_F(TwoDevices, ListThenFetchTheListing) {
  WriteWholeFile(b.Path("alpha.txt"), "a");
  WriteWholeFile(b.Path("beta.bin"), "bb");
  SetLocalWriteTime(b.Path("alpha.txt"), 2021, 3, 4, 5, 6, 7);
  SetLocalWriteTime(b.Path("beta.bin"), 2023, 11, 30, 23, 59, 58);

  ASSERT_EQ(ListFiles(*a.state, u"\\*.*"), 999);
  ASSERT_EQ(b.WaitForEvent(EventKind::Listed), "\\*.*");
  EXPECT_EQ(cable.relayedBtoA(), 0u) << "a list request is answered with nothing on the wire";
  ASSERT_EQ(GetFile(*a.state, u"\\listing.txt", u"\\Tarvel.txt"), 999);
  ASSERT_EQ(a.WaitForEvent(EventKind::Answer), "\\listing.txt");
  EXPECT_EQ(ReadWholeFile(a.Path("listing.txt")),
            "alpha.txt\r\n2021 03 04-05:06:07\r\n\r\n"
            "beta.bin\r\n2023 11 30-23:59:58\r\n\r\n");
  EXPECT_EQ(b.WaitForEvent(EventKind::GetAnswered), "\\Tarvel.txt");
}

// Both requests are made before A sees any answer, and B reads them in polls
// of their own: each answer goes to the save path of its own request.
TEST_F(TwoDevices, TwoGetRequestsBeforeAnyAnswer) {
  WriteWholeFile(b.Path("first.txt"), "first content");
  WriteWholeFile(b.Path("second.txt"), "second content, longer");
  {
    // Holding A's reader keeps A's listener from taking B's first answer
    // before the second request has been made.
    MutexLock holdListener(a.state->Reader().Lock());
    ASSERT_EQ(GetFile(*a.state, u"\\save1.bin", u"\\first.txt"), 999);
    // B has read the first request once its answer starts; the second request
    // then reaches B while it sends, and waits for B's next poll.
    ASSERT_TRUE(WaitFor([&] { return cable.relayedBtoA() > 0; }, 2000));
    ASSERT_EQ(GetFile(*a.state, u"\\save2.bin", u"\\second.txt"), 999);
  }
  ASSERT_EQ(a.WaitForEvent(EventKind::Answer), "\\save1.bin");
  EXPECT_EQ(ReadWholeFile(a.Path("save1.bin")), "first content");
  ASSERT_EQ(a.WaitForEvent(EventKind::Answer), "\\save2.bin");
  EXPECT_EQ(ReadWholeFile(a.Path("save2.bin")), "second content, longer");
  EXPECT_FALSE(FileExists(a.Path("first.txt")));
  EXPECT_FALSE(FileExists(a.Path("second.txt")));
  EXPECT_EQ(a.state->Requests().SaveCount(), 0u);
  EXPECT_EQ(b.WaitForEvent(EventKind::GetAnswered), "\\first.txt");
  EXPECT_EQ(b.WaitForEvent(EventKind::GetAnswered), "\\second.txt");
}

TEST_F(TwoDevices, AnEmptySavePathSavesUnderTheRequestedName) {
  std::filesystem::create_directories(a.Path("docs"));
  std::filesystem::create_directories(b.Path("docs"));
  WriteWholeFile(b.Path("docs/plain.txt"), "plain");
  ASSERT_EQ(GetFile(*a.state, u"", u"\\docs\\plain.txt"), 999);
  ASSERT_EQ(a.WaitForEvent(EventKind::Answer), "\\docs\\plain.txt");
  EXPECT_EQ(a.state->Requests().SaveCount(), 0u);
  EXPECT_EQ(ReadWholeFile(a.Path("docs/plain.txt")), "plain");
  EXPECT_EQ(b.WaitForEvent(EventKind::GetAnswered), "\\docs\\plain.txt");
}

}  // namespace
}  // namespace tarvel::testing
