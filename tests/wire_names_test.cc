// SPDX-License-Identifier: MIT
// What goes on the wire as a name or pattern arrives exactly as the host gave
// it, or is refused before anything is written; the host's own local paths
// are native and bound by neither the code page nor the wire's capacities.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "support/fixtures.h"
#include "support/pty.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

class WireNamesOverPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(PortOpen(state, kTestPort), 999);
    WriteWholeFile(device.Path("a.bin"), "abc");
  }

  // Runs `call`, which must fail without writing anything to the peer.
  void ExpectRefused(const char* what, const std::function<void()>& call) {
    state.Reports().SetStatus(u"");
    call();
    EXPECT_TRUE(IsFailure(device.Status())) << what << ": " << device.Status();
    EXPECT_EQ(peer.ReadUntilQuiet(200, 200), "") << what;
    EXPECT_EQ(state.Requests().SaveCount(), 0u) << what;
  }

  PtyPair peer;
  TestDevice device{peer.slavePath()};
  LinkState& state = *device.state;
  std::u16string local = Utf8ToUtf16(device.Path("a.bin"));
};

TEST_F(WireNamesOverPty, NameTheCodePageCannotHoldIsRefusedNotSentAsQuestionMarks) {
  ExpectRefused("send", [&] { SendFile(state, local.c_str(), u"\\\u65E5\u672C.txt"); });
  ExpectRefused("get", [&] { GetFile(state, u"\\copy.txt", u"\\\u65E5\u672C.txt"); });
  ExpectRefused("list", [&] { ListFiles(state, u"\\\u65E5\u672C*.txt"); });
  ExpectRefused("unpaired surrogate", [&] { SendFile(state, local.c_str(), u"a\xD800.txt"); });
  // A text is shown to a person: what the code page lacks becomes '?'.
  PortSend(state, u"\u65E5\u672C caf\u00E9");
  EXPECT_EQ(peer.ReadUntilQuiet(200, 2000), "?? caf\xE9");
  // What the code page holds, '?' included, goes out as given.
  ListFiles(state, u"\\caf\u00E9?.txt");
  EXPECT_EQ(peer.ReadUntilQuiet(200, 2000), "LIST: \\caf\xE9?.txt|");
}

TEST_F(WireNamesOverPty, EmptyNamesAndControlBytesAreRefusedBeforeWriting) {
  ExpectRefused("empty remote name", [&] { SendFile(state, local.c_str(), u""); });
  ExpectRefused("CR in a remote name", [&] { SendFile(state, local.c_str(), u"a\rb.txt"); });
  ExpectRefused("empty get name", [&] { GetFile(state, u"\\copy.txt", u""); });
  ExpectRefused("LF in a get name", [&] { GetFile(state, u"\\copy.txt", u"a\nb.txt"); });
  ExpectRefused("DEL in a get name", [&] { GetFile(state, u"\\copy.txt", u"a\x7F"); });
  ExpectRefused("tab in a pattern", [&] { ListFiles(state, u"*\t.txt"); });
  ListFiles(state, u"");
  EXPECT_EQ(peer.ReadUntilQuiet(200, 2000), "LIST: |") << "an empty pattern still goes out";
}

TEST_F(WireNamesOverPty, LongLocalPathBeyondTheWiresCapacityIsSent) {
  std::string folder = device.Path(std::string(120, 'd') + "/" + std::string(120, 'e'));
  std::filesystem::create_directories(folder);
  std::string path = folder + "/\u65E5\u672C.bin";  // UTF-8, as a native name
  ASSERT_GT(path.size(), 250u);
  WriteWholeFile(path, "long road");
  std::u16string wide = Utf8ToUtf16(path);
  std::thread sender([&] { SendFile(state, wide.c_str(), u"short.bin"); });
  std::string header = "FILE: short.bin|9|";
  EXPECT_EQ(peer.ReadExactly(header.size(), 3000), header);
  EXPECT_EQ(peer.ReadExactly(9, 3000), "long road");
  sender.join();
  EXPECT_EQ(device.Status(), "SENT: " + path);
}

}  // namespace
}  // namespace tarvel::testing
