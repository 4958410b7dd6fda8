#include "link/device/serial_device.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "link/device/termios2_speed_posix.h"
#include "support/pty.h"
#include "support/temp_dir.h"

namespace tarvel {
namespace {

using testing::PtyCable;
using testing::PtyPair;
using Clock = std::chrono::steady_clock;

const int kReadQuietGapMs = LinkTiming().readQuietGapMs;

std::unique_ptr<SerialDevice> Open(const std::string& path, const LinkTiming& timing = {}) {
  std::string error;
  std::unique_ptr<SerialDevice> device = OpenSerialDevice(path, &error, timing);
  EXPECT_NE(device, nullptr) << error;
  return device;
}

long MillisecondsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string AllByteValues(int repeats) {
  std::string bytes;
  for (int round = 0; round < repeats; ++round) {
    for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<char>(value));
  }
  return bytes;
}

// Reads until `total` bytes arrived or the device stops delivering.
std::string ReadAll(SerialDevice& device, size_t total) {
  std::string got(total, '\0');
  size_t count = 0;
  while (count < total) {
    ReadResult result = device.Read(reinterpret_cast<uint8_t*>(&got[count]), total - count, 5000);
    if (result.outcome != ReadOutcome::Bytes) break;
    count += result.count;
  }
  got.resize(count);
  return got;
}

termios TtySettings(int fd) {
  termios settings{};
  EXPECT_EQ(tcgetattr(fd, &settings), 0);
  return settings;
}

size_t OpenDescriptorCount() {
  auto entries = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

TEST(SerialDeviceOpen, PutsACookedTtyIntoRawModeAtOnce) {
  PtyPair pty;
  termios cooked = TtySettings(pty.slaveFd());
  cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  cooked.c_oflag |= OPOST | ONLCR;
  cooked.c_iflag |= ICRNL | IXON | IXOFF | IXANY | INPCK;
  cooked.c_cflag |= CSTOPB | CRTSCTS;
  cooked.c_cflag &= ~CLOCAL;
  ASSERT_EQ(tcsetattr(pty.slaveFd(), TCSANOW, &cooked), 0);
  ASSERT_TRUE(TtySettings(pty.slaveFd()).c_lflag & ICANON);

  auto device = Open(pty.slavePath());
  ASSERT_TRUE(device);
  termios raw = TtySettings(pty.slaveFd());
  EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(raw.c_oflag & OPOST, 0u);
  EXPECT_EQ(raw.c_iflag & (ICRNL | IXON | IXOFF | IXANY | INPCK), 0u);
  EXPECT_EQ(raw.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(raw.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(raw.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));

  // Bytes a cooked tty would edit, echo or act on arrive untouched.
  const std::string special = "a\r\n\x03\x04\x11\x13\x7f\x1a";
  pty.Write(special);
  std::string got(special.size(), '\0');
  ReadResult result = device->Read(reinterpret_cast<uint8_t*>(got.data()), got.size(), 2000);
  EXPECT_EQ(result.outcome, ReadOutcome::Bytes);
  EXPECT_EQ(got.substr(0, result.count), special);
  EXPECT_EQ(pty.ReadUntilQuiet(50, 200), "");  // no echo
}

TEST(SerialDeviceOpen, FailuresNameThePathAndLeaveNothingOpen) {
  testing::TempDir dir;
  const std::string missing = dir.path() + "/no-such-tty";
  const std::string plainFile = dir.path() + "/plain";
  testing::WriteWholeFile(plainFile, "not a tty");
  size_t descriptorsBefore = OpenDescriptorCount();

  std::string error;
  EXPECT_EQ(OpenSerialDevice(missing, &error), nullptr);
  EXPECT_NE(error.find(missing), std::string::npos) << error;
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  error.clear();
  EXPECT_EQ(OpenSerialDevice(plainFile, &error), nullptr);
  EXPECT_NE(error.find(plainFile), std::string::npos) << error;
  EXPECT_EQ(OpenDescriptorCount(), descriptorsBefore);
}

TEST(SerialDeviceOpen, CloseReleasesExclusiveUseWhileTheObjectIsStillHeld) {
  PtyPair pty;
  int exclusive = -1;
  std::shared_ptr<SerialDevice> device = Open(pty.slavePath());
  ASSERT_TRUE(device);
  std::shared_ptr<SerialDevice> stillHeld = device;  // as a listener or a sender holds it
  ASSERT_EQ(ioctl(pty.slaveFd(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  device->Close();
  ASSERT_EQ(ioctl(pty.slaveFd(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  auto reopened = Open(pty.slavePath());
  ASSERT_TRUE(reopened);
  // The holder's calls fail, and its late release leaves the new claim alone.
  uint8_t byte = 'x';
  EXPECT_FALSE(stillHeld->Write(&byte, 1).ok);
  EXPECT_FALSE(stillHeld->QueueStatus());
  device.reset();
  stillHeld.reset();
  ASSERT_EQ(ioctl(pty.slaveFd(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
}

// Root too, whom the tty's own exclusive-use flag does not bind (the suite
// runs as root and, through scripts/unprivileged-test.sh, as nobody).
TEST(SerialDeviceOpen, RefusesASecondOpenOfTheSameDeviceNamingTheHolder) {
  PtyPair pty;
  auto first = Open(pty.slavePath());
  ASSERT_TRUE(first);
  std::string error;
  EXPECT_EQ(OpenSerialDevice(pty.slavePath(), &error), nullptr);
  std::ifstream comm("/proc/self/comm");
  std::string name;
  std::getline(comm, name);
  EXPECT_EQ(error,
            pty.slavePath() + " is in use by " + name + " (pid " + std::to_string(getpid()) + ")");
  // Refused without harm to the holder: its claim stands, and a close frees it.
  int exclusive = -1;
  ASSERT_EQ(ioctl(pty.slaveFd(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  first->Close();
  EXPECT_TRUE(Open(pty.slavePath()));
}

TEST(SerialDeviceOpen, RefusesADeviceHeldByAnotherProcessNamingIt) {
  PtyPair pty;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    std::string ignored;
    auto device = OpenSerialDevice(pty.slavePath(), &ignored);
    char byte = device ? '1' : '0';
    (void)!write(ready[1], &byte, 1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  std::string error;
  auto second = OpenSerialDevice(pty.slavePath(), &error);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  ASSERT_EQ(byte, '1');
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(error.find(" is in use by "), std::string::npos) << error;
  EXPECT_NE(error.find("(pid " + std::to_string(holder) + ")"), std::string::npos) << error;
}

TEST(SerialDeviceSettings, WriteAppliesTheLineButNeverSoftwareFlowControl) {
  PtyPair pty;
  auto device = Open(pty.slavePath());
  ASSERT_TRUE(device);
  EXPECT_TRUE(device->WriteSettings({256000, 8, 0, 2, true}));
  EXPECT_EQ(ReadBaudRate(pty.slaveFd()), 256000u);
  termios applied = TtySettings(pty.slaveFd());
  EXPECT_TRUE(applied.c_cflag & CSTOPB);
  EXPECT_EQ(applied.c_iflag & (IXON | IXOFF), 0u);
  EXPECT_EQ(applied.c_lflag & ICANON, 0u);
  EXPECT_EQ(applied.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));

  LineSettings read;
  ASSERT_TRUE(device->ReadSettings(read));
  EXPECT_EQ(read.baudRate, 256000u);
  EXPECT_EQ(read.byteSize, 8);
  EXPECT_EQ(read.parity, 0);
  EXPECT_EQ(read.stopBits, 2);
  EXPECT_FALSE(read.softwareFlowControl);

  EXPECT_TRUE(device->WriteSettings({9600, 8, 0, 0, false}));
  EXPECT_EQ(ReadBaudRate(pty.slaveFd()), 9600u);
  EXPECT_FALSE(TtySettings(pty.slaveFd()).c_cflag & CSTOPB);
}

TEST(SerialDeviceSettings, RefusesValuesOutOfRangeWithoutChangingTheTty) {
  PtyPair pty;
  auto device = Open(pty.slavePath());
  ASSERT_TRUE(device);
  ASSERT_TRUE(device->WriteSettings({256000, 8, 0, 0, false}));
  for (LineSettings bad :
       {LineSettings{256000, 9, 0, 2, false}, LineSettings{256000, 4, 0, 2, false},
        LineSettings{256000, 8, 5, 2, false}, LineSettings{256000, 8, 0, 3, false},
        LineSettings{0, 8, 0, 2, false}}) {
    EXPECT_FALSE(device->WriteSettings(bad));
  }
  EXPECT_FALSE(TtySettings(pty.slaveFd()).c_cflag & CSTOPB);
  EXPECT_EQ(ReadBaudRate(pty.slaveFd()), 256000u);
}

TEST(SerialDeviceRead, EveryByteValuePassesUnchangedBothWays) {
  PtyPair pty;
  auto device = Open(pty.slavePath());
  ASSERT_TRUE(device);
  const std::string bytes = AllByteValues(64);  // more than a pty holds
  std::thread peerWriter([&] { pty.Write(bytes); });
  EXPECT_TRUE(ReadAll(*device, bytes.size()) == bytes);
  peerWriter.join();

  auto peerReader =
      std::async(std::launch::async, [&] { return pty.ReadExactly(bytes.size(), 5000); });
  WriteResult written = device->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EXPECT_TRUE(written.ok);
  EXPECT_EQ(written.written, bytes.size());
  EXPECT_TRUE(peerReader.get() == bytes);
}

TEST(SerialDeviceRead, EndsShortOnlyAfterAQuietGap) {
  PtyPair pty;
  auto device = Open(pty.slavePath());
  ASSERT_TRUE(device);
  uint8_t buffer[200];

  // Bursts closer together than the gap make one read.
  std::thread peer([&pty] {
    for (const char* burst : {"abc", "def", "ghi"}) {
      pty.Write(burst);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  auto start = Clock::now();
  ReadResult result = device->Read(buffer, sizeof buffer, 2000);
  long took = MillisecondsSince(start);
  peer.join();
  EXPECT_EQ(result.outcome, ReadOutcome::Bytes);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), result.count), "abcdefghi");
  EXPECT_GE(took, 40 + kReadQuietGapMs);
  EXPECT_LT(took, 1500);

  // A read that gets its full count returns without waiting for a gap.
  pty.Write("0123456789");
  start = Clock::now();
  result = device->Read(buffer, 10, 2000);
  EXPECT_EQ(result.count, 10u);
  EXPECT_LT(MillisecondsSince(start), kReadQuietGapMs);
}

TEST(SerialDeviceRead, ReportsQuietWhenNothingArrives) {
  PtyPair pty;
  auto device = Open(pty.slavePath());
  ASSERT_TRUE(device);
  uint8_t buffer[16];
  auto start = Clock::now();
  ReadResult result = device->Read(buffer, sizeof buffer, 150);
  EXPECT_EQ(result.outcome, ReadOutcome::Quiet);
  EXPECT_EQ(result.count, 0u);
  EXPECT_GE(MillisecondsSince(start), 150);
}

TEST(SerialDeviceRead, FailsPromptlyWhenThePeerHangsUp) {
  PtyPair pty;
  auto device = Open(pty.slavePath());
  ASSERT_TRUE(device);
  std::thread peer([&pty] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pty.HangUp();
  });
  uint8_t buffer[16];
  auto start = Clock::now();
  ReadResult result = device->Read(buffer, sizeof buffer, 10000);
  long took = MillisecondsSince(start);
  peer.join();
  EXPECT_EQ(result.outcome, ReadOutcome::Failed);
  EXPECT_LT(took, 2000);
  EXPECT_EQ(device->Read(buffer, sizeof buffer, 10000).outcome, ReadOutcome::Failed);
  EXPECT_FALSE(device->Write(buffer, sizeof buffer).ok);
}

TEST(SerialDeviceClose, WakesABlockedReadAndFailsEverythingAfter) {
  PtyPair pty;
  auto device = Open(pty.slavePath());
  ASSERT_TRUE(device);
  uint8_t buffer[16];
  auto start = Clock::now();
  auto reading = std::async(std::launch::async, [&] { return device->Read(buffer, 16, 10000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  device->Close();
  EXPECT_EQ(reading.get().outcome, ReadOutcome::Failed);
  EXPECT_LT(MillisecondsSince(start), 2000);

  pty.Write("late");
  LineSettings settings;
  EXPECT_EQ(device->Read(buffer, 4, 1000).outcome, ReadOutcome::Failed);
  EXPECT_EQ(device->Write(buffer, 4).written, 0u);
  EXPECT_FALSE(device->QueueStatus());
  EXPECT_FALSE(device->ReadSettings(settings));
  EXPECT_FALSE(device->WriteSettings({256000, 8, 0, 0, false}));
}

TEST(SerialDeviceClose, WakesABlockedWrite) {
  PtyPair pty;  // the peer never reads, so the write fills the pty and waits
  auto device = Open(pty.slavePath());
  ASSERT_TRUE(device);
  const std::string bytes(1 << 20, 'x');
  auto start = Clock::now();
  auto writing = std::async(std::launch::async, [&] {
    return device->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  device->Close();
  WriteResult result = writing.get();
  EXPECT_FALSE(result.ok);
  EXPECT_LT(result.written, bytes.size());
  EXPECT_LT(MillisecondsSince(start), LinkTiming().writeStallLimitMs / 2);
}

TEST(SerialDeviceWrite, GivesUpAfterTheStallLimitReportingWhatWent) {
  PtyPair pty;
  LinkTiming timing;
  timing.writeStallLimitMs = 400;
  const long kWriteStallLimitMs = timing.writeStallLimitMs;
  auto device = Open(pty.slavePath(), timing);
  ASSERT_TRUE(device);
  const std::string bytes = testing::RandomBytes(1 << 20, 7);
  auto start = Clock::now();
  WriteResult result = device->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  long took = MillisecondsSince(start);
  EXPECT_FALSE(result.ok);
  EXPECT_GT(result.written, 0u);
  EXPECT_LT(result.written, bytes.size());
  EXPECT_GE(took, kWriteStallLimitMs);
  EXPECT_LT(took, kWriteStallLimitMs + 3000);
  EXPECT_TRUE(pty.ReadUntilQuiet(200, 10000) == bytes.substr(0, result.written));
}

TEST(SerialDeviceQueue, CountsTheBytesWaiting) {
  PtyPair pty;
  auto device = Open(pty.slavePath());
  ASSERT_TRUE(device);
  EXPECT_EQ(device->QueueStatus(), 0u);
  pty.Write(std::string(1000, 'q'));
  auto start = Clock::now();
  while (device->QueueStatus() != 1000u && MillisecondsSince(start) < 2000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(device->QueueStatus(), 1000u);
  uint8_t buffer[400];
  EXPECT_EQ(device->Read(buffer, sizeof buffer, 1000).count, sizeof buffer);
  EXPECT_EQ(device->QueueStatus(), 600u);
}

TEST(SerialDeviceCable, RelaysMegabytesBothWaysIntact) {
  PtyCable cable;
  auto a = Open(cable.endA());
  auto b = Open(cable.endB());
  ASSERT_TRUE(a && b);
  const std::string aToB = testing::RandomBytes(3 << 20, 1);
  const std::string bToA = testing::RandomBytes(3 << 20, 2);
  // A writes in the 200-byte pieces a file sender uses, B in one call.
  auto writeA = std::async(std::launch::async, [&] {
    for (size_t at = 0; at < aToB.size(); at += 200) {
      size_t piece = std::min<size_t>(200, aToB.size() - at);
      if (!a->Write(reinterpret_cast<const uint8_t*>(aToB.data() + at), piece).ok) return false;
    }
    return true;
  });
  auto writeB = std::async(std::launch::async, [&] {
    return b->Write(reinterpret_cast<const uint8_t*>(bToA.data()), bToA.size()).ok;
  });
  auto readB = std::async(std::launch::async, [&] { return ReadAll(*b, aToB.size()); });
  std::string atA = ReadAll(*a, bToA.size());
  EXPECT_TRUE(writeA.get());
  EXPECT_TRUE(writeB.get());
  EXPECT_TRUE(readB.get() == aToB);
  EXPECT_TRUE(atA == bToA);
  // The relay counts a write once it has returned, which may be just after
  // the reader took the bytes.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while ((cable.relayedAtoB() < aToB.size() || cable.relayedBtoA() < bToA.size()) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(cable.relayedAtoB(), aToB.size());
  EXPECT_EQ(cable.relayedBtoA(), bToA.size());
}

}  // namespace
}  // namespace tarvel
