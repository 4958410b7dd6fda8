// SPDX-License-Identifier: MIT
// Polled reading over a pty pair, the test playing a raw peer on the master.
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/fixtures.h"
#include "support/pty.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

using namespace std::chrono_literals;

class PolledRead : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(PortOpen(state, kTestPort), 999); }

  // Bytes waiting on the device's side of the pty.
  size_t Waiting() const {
    int count = 0;
    if (ioctl(peer.slaveFd(), FIONREAD, &count) != 0) return 0;
    return static_cast<size_t>(count);
  }

  // Waits until at least `count` bytes are waiting, so that the next read takes
  // them all in one go.
  void WaitUntilWaiting(size_t count) const {
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (Waiting() < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(2ms);
    }
    ASSERT_GE(Waiting(), count) << "the pty did not pass the bytes on";
  }

  // Writes `bytes` as the peer; they are all waiting when this returns.
  void Send(const std::string& bytes) {
    size_t before = Waiting();
    peer.Write(bytes);
    WaitUntilWaiting(before + bytes.size());
  }

  // What the read left in the status text, copied under the state's lock: in
  // the test that runs a listener too, the listener may be replacing the text
  // in place while it is read.
  std::string Read() {
    PortRead(state);
    return Utf16ToUtf8(state.Reports().Status());
  }

  // Sends `header`, starts a polled read, and writes `content` once the read is
  // waiting for it. Returns what the read returned.
  std::string ReadWithLateContent(const std::string& header, const std::string& content) {
    Send(header);
    std::string result;
    std::thread reader([&] { result = Read(); });
    std::this_thread::sleep_for(150ms);
    peer.Write(content);
    reader.join();
    return result;
  }

  PtyPair peer;
  TestDevice device{peer.slavePath(), {}, ShortLimits()};
  LinkState& state = *device.state;
};

TEST_F(PolledRead, NothingWaitingGivesTheEmptyTextEvenAfterAResult) {
  EXPECT_EQ(Read(), "");
  Send("hello");
  EXPECT_EQ(Read(), "hello");
  EXPECT_EQ(Read(), "");
  state.Reports().SetStatus(u"RECV: earlier.txt");
  EXPECT_EQ(PortRead(state), state.Reports().StatusPointer());
  EXPECT_EQ(device.Status(), "");
}

TEST_F(PolledRead, WithNoPortItEmptiesTheTextAndTakesNothing) {
  Send("kept");
  ASSERT_EQ(PortClose(state), 999);
  state.Reports().SetStatus(u"RECV: earlier.txt");
  EXPECT_EQ(Read(), "");
  EXPECT_EQ(Waiting(), 4u) << "a closed port must not be read";

  TestDevice neverOpened(peer.slavePath());
  neverOpened.state->Reports().SetStatus(u"something");
  EXPECT_EQ(Utf16ToUtf8(PortRead(*neverOpened.state)), "");
  EXPECT_EQ(Waiting(), 4u);
}

TEST_F(PolledRead, TextsAndRequestsComeBackAsText) {
  Send("hello world");
  EXPECT_EQ(Read(), "hello world");
  Send("LIST: \\*.*|");
  EXPECT_EQ(Read(), "LIST: \\*.*|");
  Send("GILE: a.txt|");
  EXPECT_EQ(Read(), "GILE: a.txt|");
  Send("file: x 3");
  EXPECT_EQ(Read(), "file: x 3");
  Send(" FILE: y 3");
  EXPECT_EQ(Read(), " FILE: y 3");
  Send(std::string("abc\0def", 7));
  EXPECT_EQ(Read(), "abc");
  Send("caf\xE9 \x80");
  EXPECT_EQ(Read(), "caf\xC3\xA9 \xE2\x82\xAC") << "Windows-1252 shown as wide text";
  EXPECT_EQ(Read(), "");
  EXPECT_FALSE(FileExists(device.Path("Tarvel.txt"))) << "a polled LIST: is not answered";
  EXPECT_FALSE(FileExists(device.Path("x")));
  EXPECT_FALSE(FileExists(device.Path("y")));
}

TEST_F(PolledRead, APolledHeaderTakesItsBytesWhenTheyArriveLater) {
  Send("FILE: p.txt 10");
  std::string result;
  std::thread reader([&] { result = Read(); });
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(device.Status(), "p.txt") << "the name shows before the content arrives";
  EXPECT_FALSE(FileExists(device.Path("p.txt"))) << "an incomplete file is not in place";
  peer.Write("0123456789");
  reader.join();
  EXPECT_EQ(result, "p.txt");
  EXPECT_EQ(ReadWholeFile(device.Path("p.txt")), "0123456789");
  EXPECT_EQ(Read(), "");
}

TEST_F(PolledRead, ASizeWithoutDigitsGivesAnEmptyFile) {
  WriteWholeFile(device.Path("e.txt"), "earlier content");
  Send("FILE: e.txt abc");
  EXPECT_EQ(Read(), "e.txt");
  EXPECT_EQ(ReadWholeFile(device.Path("e.txt")), "");
  // No space at all: the rest of the read is the name, and the size is 0.
  Send("FILE: n.txt");
  EXPECT_EQ(Read(), "n.txt");
  EXPECT_EQ(ReadWholeFile(device.Path("n.txt")), "");
  Send("next");
  EXPECT_EQ(Read(), "next") << "no content was taken for an empty file";
}

TEST_F(PolledRead, TheSendersOwnHeaderIsReceivedAsAFile) {
  EXPECT_EQ(ReadWithLateContent("FILE: a.txt|12|", "hello, world"), "a.txt");
  EXPECT_EQ(ReadWholeFile(device.Path("a.txt")), "hello, world");
  EXPECT_FALSE(FileExists(device.Path("a.txt|12|")));
  EXPECT_EQ(Read(), "");

  // Content that shares the header's read is the file's first bytes; what
  // follows the announced size is the next message.
  const std::string content = {'\0', '\1', '|', 'x', '\xFF', '7'};
  Send("FILE: b.bin|6|" + content + "after");
  EXPECT_EQ(Read(), "b.bin");
  EXPECT_EQ(ReadWholeFile(device.Path("b.bin")), content);
  EXPECT_EQ(Read(), "after");
}

TEST_F(PolledRead, BytesBeyondTheAnnouncedSizeStayForTheNextRead) {
  EXPECT_EQ(ReadWithLateContent("FILE: p.txt 3", "abcHELLO"), "p.txt");
  EXPECT_EQ(ReadWholeFile(device.Path("p.txt")), "abc");
  WaitUntilWaiting(5);
  EXPECT_EQ(Read(), "HELLO");
}

// Every refused header below announces 5 bytes; they must be taken off the
// port and thrown away, never read later as a text.
TEST_F(PolledRead, ARefusedNameStillDrainsItsAnnouncedBytes) {
  // A name that would climb out of the device root, to a place no other test uses.
  std::string root = device.root.path();
  std::string escape = "..\\" + root.substr(root.rfind('/') + 1) + "-out";
  std::string longName(200, 'n');
  for (const std::string& header :
       {"FILE: " + escape + " 5", "FILE: " + escape + "|5|", "FILE: " + longName + "|5|"}) {
    std::string result = ReadWithLateContent(header, "12345");
    EXPECT_TRUE(IsFailure(result)) << header << " gave " << result;
    EXPECT_EQ(Read(), "") << header << ": its content was left on the port";
  }
  EXPECT_FALSE(FileExists(root + "-out"));
  EXPECT_FALSE(FileExists(device.Path(longName)));
}

// KNOWN FAULT (reported, not yet mended): a polled header whose name outgrows
// the 200-byte name buffer is refused before its size is read, so its content
// stays on the port and the next read returns it as a text.
TEST_F(PolledRead, AnOverlongNameInThePolledFormStillDrainsItsBytes) {
  std::string longName(200, 'n');
  std::string result = ReadWithLateContent("FILE: " + longName + " 5", "12345");
  EXPECT_TRUE(IsFailure(result)) << result;
  EXPECT_EQ(Read(), "") << "the announced content was left on the port";
  EXPECT_FALSE(FileExists(device.Path(longName)));
}

TEST_F(PolledRead, FieldsThatOutgrowTheirBuffersAreRefusedNotCut) {
  std::string longestName(199, 'n');
  EXPECT_EQ(ReadWithLateContent("FILE: " + longestName + " 2", "ok"), longestName);
  EXPECT_EQ(ReadWholeFile(device.Path(longestName)), "ok");

  std::string longestSize = std::string(22, '0') + "3";  // 23 bytes
  EXPECT_EQ(ReadWithLateContent("FILE: s.txt " + longestSize, "abc"), "s.txt");
  EXPECT_EQ(ReadWholeFile(device.Path("s.txt")), "abc");

  for (const std::string& header :
       {"FILE: t.txt 0" + longestSize, std::string("FILE: u.txt 2147483648"),
        std::string("FILE: v.txt|99999999999|")}) {
    Send(header);
    EXPECT_TRUE(IsFailure(Read())) << header;
  }
  EXPECT_FALSE(FileExists(device.Path("t.txt")));
  EXPECT_FALSE(FileExists(device.Path("u.txt")));
  EXPECT_FALSE(FileExists(device.Path("v.txt")));
}

TEST_F(PolledRead, MoreThan503WaitingBytesAreTakenInPieces) {
  std::string text;
  for (int i = 0; i < 700; ++i) text += static_cast<char>('a' + i % 26);
  Send(text);
  EXPECT_EQ(Read(), text.substr(0, 503));
  EXPECT_EQ(Read(), text.substr(503));
  EXPECT_EQ(Read(), "");

  // A header with its whole file and more behind it in one burst.
  std::string content = RandomBytes(1000, 3);
  Send("FILE: big.bin|1000|" + content + "tail");
  EXPECT_EQ(Read(), "big.bin");
  EXPECT_TRUE(ReadWholeFile(device.Path("big.bin")) == content);
  EXPECT_EQ(Read(), "tail");
}

// The listener and the host's polled reads share the port: each message must
// be taken by exactly one of them, and a file's content by the one that took
// its header. A list request tells its taker by its status: the listener shows
// "LIST: <pattern>", the polled reader the raw text with its closing "|".
// For every other file the host holds back until the listener has the header,
// then polls while the content waits out the listener's pause: a polled read
// must not take that content.
TEST_F(PolledRead, AListenerAndPolledReadsNeverTakeTheSameBytes) {
  ASSERT_EQ(Server(state), 999);
  std::atomic<bool> done{false}, hostHolds{false};
  std::mutex seenLock;
  std::vector<std::string> seen;
  auto note = [&](const std::string& status) {
    std::lock_guard<std::mutex> lock(seenLock);
    if (!status.empty()) seen.push_back(status);
  };
  std::thread host([&] {
    while (!done) {
      if (!hostHolds) {
        note(device.Status());  // what the listener left since the last read
        note(Read());
      }
      std::this_thread::sleep_for(30ms);
    }
  });
  std::thread watcher([&] {
    std::string last;
    while (!done) {
      std::string now = device.Status();
      if (now != last) note(now);
      last = now;
      std::this_thread::sleep_for(1ms);
    }
  });

  const int kRequests = 20, kFiles = 4;
  auto pattern = [](int i) {
    char name[8];
    std::snprintf(name, sizeof name, "\\m%02d", i);
    return std::string(name);
  };
  auto fileName = [](int f) { return "f" + std::to_string(f) + ".bin"; };
  auto content = [](int f) { return std::string(300, static_cast<char>('Q' + f)); };
  for (int i = 0; i < kRequests; ++i) {
    if (i % (kRequests / kFiles) == 1) {
      int f = i / (kRequests / kFiles);
      bool toListener = f % 2 == 0;
      hostHolds = toListener;
      std::this_thread::sleep_for(50ms);
      peer.Write("FILE: " + fileName(f) + "|300|");
      std::this_thread::sleep_for(100ms);
      peer.Write(content(f));
      hostHolds = false;
      std::this_thread::sleep_for(400ms);
    }
    peer.Write("LIST: " + pattern(i) + "|");
    std::this_thread::sleep_for(170ms);
  }
  std::this_thread::sleep_for(300ms);
  done = true;
  host.join();
  watcher.join();

  auto anySeen = [&](auto matches) {
    for (const std::string& status : seen) {
      if (matches(status)) return true;
    }
    return false;
  };
  int byListener = 0, byHost = 0;
  auto count = [&](bool heard, bool polled) {
    byListener += heard;
    byHost += polled;
    return heard != polled;
  };
  for (int i = 0; i < kRequests; ++i) {
    std::string listed = "LIST: " + pattern(i);
    bool heard = anySeen([&](const std::string& s) { return s == listed; });
    bool polled = anySeen([&](const std::string& s) { return s.find(listed + "|") != s.npos; });
    EXPECT_TRUE(count(heard, polled)) << listed << (heard ? " taken twice" : " never taken");
  }
  for (int f = 0; f < kFiles; ++f) {
    EXPECT_EQ(ReadWholeFile(device.Path(fileName(f))), content(f));
    bool heard = anySeen([&](const std::string& s) { return s == "RECV: " + fileName(f); });
    bool polled = anySeen([&](const std::string& s) { return s == fileName(f); });
    EXPECT_TRUE(count(heard, polled)) << fileName(f) << (heard ? " taken twice" : " never taken");
  }
  EXPECT_GT(byListener, 0) << "the listener never took a message: the race was not run";
  EXPECT_GT(byHost, 0) << "the host never took a message: the race was not run";
  for (const std::string& status : seen) {
    for (int f = 0; f < kFiles; ++f) {
      EXPECT_EQ(status.find(content(f).substr(0, 2)), std::string::npos)
          << "file content read as text: " << status.substr(0, 40);
    }
    EXPECT_FALSE(IsFailure(status)) << status;
  }
}

}  // namespace
}  // namespace tarvel::testing
