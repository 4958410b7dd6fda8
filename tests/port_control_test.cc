#include <dirent.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "link/device/termios2_speed_posix.h"
#include "support/pty.h"
#include "support/test_device.h"
#include "transfer/operations.h"

namespace tarvel::testing {
namespace {

// How many of this process's descriptors refer to `path`.
int DescriptorsOpenOn(const std::string& path) {
  int count = 0;
  DIR* fds = opendir("/proc/self/fd");
  while (dirent* entry = readdir(fds)) {
    char target[PATH_MAX] = {};
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    if (readlink(link.c_str(), target, sizeof target - 1) > 0 && path == target) ++count;
  }
  closedir(fds);
  return count;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

class PortControl : public ::testing::Test {
 protected:
  PtyPair peer;
  TestDevice device{peer.slavePath()};
  LinkState& state = *device.state;
};

TEST_F(PortControl, SendWritesExactlyTheConvertedBytes) {
  ASSERT_EQ(PortOpen(state, kTestPort), 999);
  EXPECT_EQ(PortSend(state, u"hello"), 999);
  EXPECT_EQ(peer.ReadExactly(5, 2000), "hello");
  EXPECT_EQ(PortSend(state, u"caf\u00e9 \u20ac"), 999);
  EXPECT_EQ(peer.ReadExactly(6, 2000), "caf\xE9 \x80");
  EXPECT_EQ(PortSend(state, u"LIST: *.*|"), 999);
  EXPECT_EQ(peer.ReadExactly(10, 2000), "LIST: *.*|");
}

TEST_F(PortControl, OpenByNumberSetsTheFixedLineSettings) {
  ASSERT_EQ(PortOpen(state, kTestPort), 999);
  termios settings{};
  ASSERT_EQ(tcgetattr(peer.slaveFd(), &settings), 0);
  EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);
  EXPECT_EQ(settings.c_iflag & (ICRNL | IXON | IXOFF), 0u) << "XON/XOFF would eat file bytes";
  EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(ReadBaudRate(peer.slaveFd()), 256000u);
}

TEST_F(PortControl, EmptyTextWritesNothing) {
  ASSERT_EQ(PortOpen(state, kTestPort), 999);
  EXPECT_EQ(PortSend(state, u""), 999);
  EXPECT_EQ(peer.ReadUntilQuiet(300, 300), "");
  EXPECT_FALSE(StartsWith(device.Status(), "FAIL"));
}

TEST_F(PortControl, TextBeyondItsBufferIsRefusedWhole) {
  ASSERT_EQ(PortOpen(state, kTestPort), 999);
  std::u16string longest(199, u'x');
  EXPECT_EQ(PortSend(state, longest.c_str()), 999);
  EXPECT_EQ(peer.ReadExactly(199, 2000), std::string(199, 'x'));
  std::u16string tooLong(200, u'y');
  EXPECT_EQ(PortSend(state, tooLong.c_str()), 999);
  EXPECT_TRUE(StartsWith(device.Status(), "FAIL: ")) << device.Status();
  EXPECT_EQ(peer.ReadUntilQuiet(300, 300), "");
  EXPECT_EQ(PortSend(state, nullptr), 999);
  EXPECT_TRUE(StartsWith(device.Status(), "FAIL: "));
}

TEST_F(PortControl, APortWithNoDeviceCannotOpenAndLaterCallsStillAnswer) {
  TestDevice missing("/dev/does-not-exist-tarvel");
  EXPECT_EQ(PortOpen(*missing.state, kTestPort), 1);
  EXPECT_NE(missing.Status().find("COM3:"), std::string::npos) << missing.Status();
  EXPECT_EQ(PortSend(*missing.state, u"hello"), 999);
  EXPECT_TRUE(StartsWith(missing.Status(), "FAIL: "));
  EXPECT_EQ(PortClose(*missing.state), 999);
}

TEST_F(PortControl, OpeningAgainReleasesTheEarlierPort) {
  int before = DescriptorsOpenOn(peer.slavePath());
  ASSERT_EQ(PortOpen(state, kTestPort), 999);
  ASSERT_EQ(PortOpen(state, kTestPort), 999);
  EXPECT_EQ(DescriptorsOpenOn(peer.slavePath()), before + 1);
  EXPECT_EQ(PortClose(state), 999);
  EXPECT_EQ(DescriptorsOpenOn(peer.slavePath()), before);
}

TEST_F(PortControl, SendAfterCloseFailsQuietly) {
  ASSERT_EQ(PortOpen(state, kTestPort), 999);
  ASSERT_EQ(PortClose(state), 999);
  EXPECT_EQ(PortSend(state, u"late"), 999);
  EXPECT_EQ(device.Status(), "FAIL: cannot send text: no port open");
  EXPECT_EQ(peer.ReadUntilQuiet(200, 200), "");
}

TEST_F(PortControl, CheckTextBlanksOnlyForOne) {
  EXPECT_EQ(CheckText(state, 0), state.Reports().StatusPointer());
  EXPECT_EQ(std::u16string(CheckText(state, 0)), u"");
  EXPECT_EQ(std::u16string(CheckText(state, 1)), u" ");
  state.Reports().SetStatus(u"RECV: a.txt");
  EXPECT_EQ(std::u16string(CheckText(state, 2)), u"RECV: a.txt");
  EXPECT_EQ(std::u16string(CheckText(state, -1)), u"RECV: a.txt");
  EXPECT_EQ(PortRead(state), CheckText(state, 0));
}

TEST_F(PortControl, RegisteringTwiceLeavesTheSameSixValues) {
  EXPECT_EQ(PortCreate(state), 999);
  std::string first = ReadWholeFile(device.config / "registry.reg");
  EXPECT_EQ(PortCreate(state), 999);
  EXPECT_EQ(ReadWholeFile(device.config / "registry.reg"), first);
  for (const char* line :
       {"[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Bluetooth\\Serial\\Ports\\Incoming]",
        "\"Server\"=dword:00000001", "\"Authentication\"=dword:00000001",
        "\"Encryption\"=dword:00000001", "\"RemoteDCB\"=dword:00000000",
        "\"KeepDCD\"=dword:00000000", "\"Port\"=\"COM0\""}) {
    EXPECT_NE(first.find(line), std::string::npos) << line;
  }
  EXPECT_LT(first.find("Server"), first.find("KeepDCD"));
}

}  // namespace
}  // namespace tarvel::testing
