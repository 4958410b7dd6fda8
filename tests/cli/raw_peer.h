// Plays a peer by hand on a cable end: raw bytes written straight to the tty,
// and what the command on the other end writes read back as it comes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace tarvel::testing {

class RawPeer {
 public:
  explicit RawPeer(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    EXPECT_GE(fd_, 0) << path;
    termios settings{};
    tcgetattr(fd_, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd_, TCSANOW, &settings);
  }
  ~RawPeer() { close(fd_); }
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  // Writes one message, then leaves the listener time to take it alone.
  void Message(const std::string& bytes,
               std::chrono::milliseconds after = std::chrono::milliseconds(250)) {
    EXPECT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    std::this_thread::sleep_for(after);
  }

  // Reads until `count` bytes have come or `limit` has passed; what came.
  std::string Read(size_t count, std::chrono::milliseconds limit) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (got.size() < count) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) break;
      pollfd waiting{fd_, POLLIN, 0};
      if (poll(&waiting, 1, static_cast<int>(left)) <= 0) continue;
      char buffer[4096];
      ssize_t n = read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  int fd_;
};

}  // namespace tarvel::testing
