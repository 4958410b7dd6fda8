// SPDX-License-Identifier: MIT
// Links as objects through the exported functions: their settings, refused
// and kept apart, and destroying a link while its listener moves a file.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/fixtures.h"
#include "support/pty.h"
#include "support/temp_dir.h"
#include "tarvel.h"

namespace tarvel::testing {
namespace {

std::u16string Wide(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}
const tarvel_wchar* W(const std::u16string& text) {
  return reinterpret_cast<const tarvel_wchar*>(text.c_str());
}

std::string Narrow(const tarvel_wchar* text) {
  std::string narrow;
  for (; *text != 0; ++text) narrow += static_cast<char>(*text);
  return narrow;
}

std::string Failure() {
  tarvel_wchar buffer[2000];
  return TarvelLastFailure(buffer, 2000) == 1 ? Narrow(buffer) : "";
}

int Set(TarvelLink* link, const std::string& key, const std::string& value) {
  return TarvelLinkSet(link, W(Wide(key)), W(Wide(value)));
}

struct HostEvent {
  int kind = TARVEL_EVENT_NONE;
  std::string text;
};

// The link's next event of `kind`, waiting up to `timeoutMs` in all.
HostEvent NextOfKind(TarvelLink* link, int kind, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  tarvel_wchar buffer[2000];
  while (std::chrono::steady_clock::now() < deadline) {
    int got = TarvelLinkNextEvent(link, 100, buffer, 2000);
    if (got == kind) return {got, Narrow(buffer)};
  }
  return {};
}

class Link {
 public:
  Link() : link_(TarvelLinkCreate()) {}
  ~Link() { Destroy(); }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
  TarvelLink* get() const { return link_; }
  void Destroy() {
    TarvelLinkDestroy(link_);
    link_ = nullptr;
  }

 private:
  TarvelLink* link_;
};

TEST(LinkSettings, RefusedValuesSayWhyAndTakenOnesClearTheFailure) {
  Link link;
  ASSERT_NE(link.get(), nullptr);
  struct Case {
    const char* key;
    const char* value;
    const char* reason;
  };
  for (const Case& refused :
       {Case{"colour", "blue", "unknown setting"}, Case{"ROOT", "/tmp", "unknown setting"},
        Case{"com", "/dev/null", "unknown setting"}, Case{"com01", "/dev/null", "unknown setting"},
        Case{"com-1", "/dev/null", "unknown setting"},
        Case{"on_clash", "replace", "overwrite, rename or skip"},
        Case{"create_folders", "2", "create_folders"},
        Case{"codepage", "NO-SUCH-CODEPAGE", "unknown code page"}, Case{"peers", "0", "1 to 64"},
        Case{"peers", "65", "1 to 64"}, Case{"peers", "two", "1 to 64"}}) {
    EXPECT_EQ(Set(link.get(), refused.key, refused.value), 0) << refused.key;
    EXPECT_NE(Failure().find(refused.reason), std::string::npos)
        << refused.key << "=" << refused.value << ": " << Failure();
  }
  EXPECT_EQ(TarvelLinkSet(link.get(), nullptr, W(u"x")), 0);
  for (const Case& taken : {Case{"com255", "/dev/null", ""}, Case{"on_clash", "rename", ""},
                            Case{"create_folders", "1", ""}, Case{"codepage", "CP437", ""},
                            Case{"peers", "64", ""}, Case{"line_records", "/tmp", ""},
                            Case{"registry", "/tmp/r.reg", ""}, Case{"root", "/tmp", ""}}) {
    EXPECT_EQ(Set(link.get(), taken.key, taken.value), TARVEL_DONE) << taken.key;
    EXPECT_EQ(Failure(), "") << taken.key;
  }
  // A refused value leaves no trace: the setting made before stays.
  EXPECT_EQ(Set(link.get(), "on_clash", "bogus"), 0);
}

TEST(LinkSettings, AnEmptyOrNullValueRemovesTheSetting) {
  PtyPair peer;
  Link link;
  ASSERT_EQ(Set(link.get(), "com250", peer.slavePath()), TARVEL_DONE);
  ASSERT_EQ(TarvelLinkPortOpen(link.get(), 250), TARVEL_DONE) << Failure();
  TarvelLinkPortClose(link.get());
  ASSERT_EQ(TarvelLinkSet(link.get(), W(u"com250"), nullptr), TARVEL_DONE);
  EXPECT_EQ(TarvelLinkPortOpen(link.get(), 250), TARVEL_PORT_UNAVAILABLE);
  EXPECT_NE(Failure().find("rfcomm250"), std::string::npos) << Failure();
  ASSERT_EQ(Set(link.get(), "com250", peer.slavePath()), TARVEL_DONE);
  ASSERT_EQ(Set(link.get(), "com250", ""), TARVEL_DONE);
  EXPECT_EQ(TarvelLinkPortOpen(link.get(), 250), TARVEL_PORT_UNAVAILABLE);
}

TEST(LinkSettings, ANullLinkFailsEveryCallWithoutHarm) {
  tarvel_wchar text[64] = {u'x', 0};
  long long done = 5, total = 5;
  EXPECT_EQ(TarvelLinkPortOpen(nullptr, 1), TARVEL_PORT_UNAVAILABLE);
  EXPECT_NE(Failure().find("no link"), std::string::npos);
  EXPECT_EQ(TarvelLinkSendFile(nullptr, W(u"a"), W(u"\\a")), TARVEL_DONE);
  EXPECT_NE(Failure(), "");
  EXPECT_EQ(TarvelLinkSet(nullptr, W(u"root"), W(u"/tmp")), 0);
  EXPECT_EQ(TarvelLinkCheckText(nullptr, 1)[0], 0);
  EXPECT_EQ(TarvelLinkPortRead(nullptr)[0], 0);
  EXPECT_EQ(TarvelLinkNextPeerEvent(nullptr, 0, text, 64, text, 64), TARVEL_EVENT_NONE);
  EXPECT_EQ(text[0], 0);
  EXPECT_EQ(TarvelLinkProgress(nullptr, &done, &total), 0);
  EXPECT_EQ(done + total, 0);
  TarvelLinkStopWaiting(nullptr);
  TarvelLinkDestroy(nullptr);
}

// Two links with the same port number and the same file names: each saves in
// its own root and talks on its own device.
TEST(LinkSettings, TwoLinksKeepTheirOwnRootsAndDevices) {
  TempDir rootA, rootB;
  PtyPair peerA, peerB;
  Link a, b;
  ASSERT_EQ(Set(a.get(), "root", rootA.path()), TARVEL_DONE);
  ASSERT_EQ(Set(b.get(), "root", rootB.path()), TARVEL_DONE);
  ASSERT_EQ(Set(a.get(), "com3", peerA.slavePath()), TARVEL_DONE);
  ASSERT_EQ(Set(b.get(), "com3", peerB.slavePath()), TARVEL_DONE);
  ASSERT_EQ(TarvelLinkPortOpen(a.get(), 3), TARVEL_DONE);
  ASSERT_EQ(TarvelLinkPortOpen(b.get(), 3), TARVEL_DONE);
  TarvelLinkServer(a.get());
  TarvelLinkServer(b.get());
  peerA.Write("FILE: \\in.txt|3|aaa");
  peerB.Write("FILE: \\in.txt|4|bbbb");
  HostEvent gotA = NextOfKind(a.get(), TARVEL_EVENT_RECEIVED, 10000);
  HostEvent gotB = NextOfKind(b.get(), TARVEL_EVENT_RECEIVED, 10000);
  EXPECT_EQ(gotA.text, "\\in.txt");
  EXPECT_EQ(gotB.text, "\\in.txt");
  EXPECT_EQ(ReadWholeFile(rootA / "in.txt"), "aaa");
  EXPECT_EQ(ReadWholeFile(rootB / "in.txt"), "bbbb");

  TarvelLinkPortSend(a.get(), W(u"to-a"));
  TarvelLinkPortSend(b.get(), W(u"to-b"));
  EXPECT_NE(peerA.ReadUntilQuiet(300, 3000).find("to-a"), std::string::npos);
  EXPECT_EQ(peerB.ReadUntilQuiet(300, 3000).find("to-a"), std::string::npos);
  tarvel_wchar status[2000];
  TarvelLinkStatusCopy(a.get(), status, 2000);
  EXPECT_EQ(Narrow(status), "RECV: \\in.txt");
}

// A cable between a host link and a peer link, each with a root of its own
// and a listener.
class DestroyMidFile : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto [link, root, end] : {std::tuple{host.get(), &hostRoot, &cable.endA()},
                                   std::tuple{peer.get(), &peerRoot, &cable.endB()}}) {
      ASSERT_EQ(Set(link, "root", root->path()), TARVEL_DONE);
      ASSERT_EQ(Set(link, "com1", *end), TARVEL_DONE);
      ASSERT_EQ(TarvelLinkPortOpen(link, 1), TARVEL_DONE) << Failure();
      ASSERT_EQ(TarvelLinkServer(link), TARVEL_DONE);
    }
  }

  // Waits until `link` has moved some of a file, and not all of it.
  static bool MidFile(TarvelLink* link) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      long long done = 0, total = 0;
      if (TarvelLinkProgress(link, &done, &total) == 1 && done > 0 && done < total) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  static constexpr size_t kBigFile = 64u << 20;
  TempDir hostRoot, peerRoot;
  PtyCable cable;
  Link host, peer;
};

TEST_F(DestroyMidFile, AReceiverDestroyedMidFileLeavesNoFileAndTheSenderReturns) {
  std::string local = hostRoot / "big.bin";
  WriteWholeFile(local, RandomBytes(kBigFile, 7));
  std::thread sender([&] { TarvelLinkSendFile(host.get(), W(Wide(local)), W(u"\\big.bin")); });
  bool caught = MidFile(peer.get());
  peer.Destroy();
  sender.join();
  EXPECT_TRUE(caught) << "the file was not caught on its way";
  // The incomplete file and its temporary are gone with the link.
  EXPECT_EQ(FilesIn(peerRoot.path()), std::vector<std::string>());
  // The sender reports what became of its file, and its link works on.
  tarvel_wchar text[2000];
  int kind = TarvelLinkNextEvent(host.get(), 0, text, 2000);
  EXPECT_TRUE(kind == TARVEL_EVENT_SENT || kind == TARVEL_EVENT_FAILURE) << kind;
  EXPECT_EQ(TarvelLinkPortSend(host.get(), W(u"still here")), TARVEL_DONE);
}

TEST_F(DestroyMidFile, APeerDestroyedWhileAnsweringAGetLeavesTheHostNoFile) {
  WriteWholeFile(peerRoot / "big.bin", RandomBytes(kBigFile, 8));
  std::string save = hostRoot / "fetched.bin";
  ASSERT_EQ(TarvelLinkGetFile(host.get(), W(Wide(save)), W(u"\\big.bin")), TARVEL_DONE);
  bool caught = MidFile(peer.get());
  peer.Destroy();
  EXPECT_TRUE(caught) << "the answer was not caught on its way";
  // The host gives the file up once the line stays quiet, and keeps nothing of it.
  HostEvent failed = NextOfKind(host.get(), TARVEL_EVENT_FAILURE, 30000);
  EXPECT_EQ(failed.kind, TARVEL_EVENT_FAILURE);
  EXPECT_FALSE(FileExists(save));
  EXPECT_EQ(FilesIn(hostRoot.path()), std::vector<std::string>());
}

}  // namespace
}  // namespace tarvel::testing
