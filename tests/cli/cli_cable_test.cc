// SPDX-License-Identifier: MIT
// The cable that `tarvel cable` makes: every byte value, both ways, and more
// than the ttys buffer while the far end is not reading yet.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "cli_fixture.h"

namespace tarvel::testing {
namespace {

int OpenEnd(const std::string& path) {
  return open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
}

void WriteAll(int fd, const std::string& bytes) {
  for (size_t at = 0; at < bytes.size();) {
    ssize_t count = write(fd, bytes.data() + at, bytes.size() - at);
    ASSERT_GT(count, 0);
    at += static_cast<size_t>(count);
  }
}

std::string ReadFor(int fd, size_t wanted, int limitMs) {
  std::string got;
  char buffer[8192];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (got.size() < wanted && std::chrono::steady_clock::now() < deadline) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 50) <= 0) continue;
    ssize_t count = read(fd, buffer, sizeof buffer);
    if (count <= 0) break;
    got.append(buffer, static_cast<size_t>(count));
  }
  return got;
}

TEST_F(CliTest, CableCarriesEveryByteBothWaysAndHoldsWhatIsNotReadYet) {
  int a = OpenEnd(End(Side::A));
  int b = OpenEnd(End(Side::B));
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);

  // Every byte value, XON, XOFF, CR and NUL included, unchanged and not echoed.
  std::string all;
  for (int value = 0; value < 256; ++value) all += static_cast<char>(value);
  WriteAll(a, all);
  EXPECT_EQ(ReadFor(b, all.size(), 3000), all);
  EXPECT_EQ(ReadFor(a, 1, 200), "");
  WriteAll(b, all);
  EXPECT_EQ(ReadFor(a, all.size(), 3000), all);

  // Far more than the tty buffers hold, written before anyone reads: the
  // writer waits as on a real line, and nothing is lost.
  std::string burst = RandomBytes(1024 * 1024, 7);
  std::thread writer([&] { WriteAll(a, burst); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::string received = ReadFor(b, burst.size(), 20000);
  writer.join();
  EXPECT_EQ(received.size(), burst.size());
  EXPECT_TRUE(received == burst);
  close(a);
  close(b);
}

}  // namespace
}  // namespace tarvel::testing
