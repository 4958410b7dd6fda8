// SPDX-License-Identifier: MIT
// Pseudo-terminal pairs for tests: a raw peer on the master side of a pty, and
// a virtual null-modem cable made of two pty pairs joined by a relay thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>

namespace tarvel::testing {

// One pty pair. The library opens `slavePath()`; the test plays the peer on
// the master side with Write/ReadExactly/ReadAvailable.
class PtyPair {
 public:
  PtyPair();   // openpty, both ends raw; throws on failure
  ~PtyPair();  // closes whatever is still open
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& slavePath() const { return slavePath_; }
  int masterFd() const { return master_; }
  // The test's own slave descriptor (-1 after CloseSlave): the tty's settings
  // can be read through it.
  int slaveFd() const { return slave_; }

  // Closes the test's own slave descriptor, so that once the library closes its
  // descriptor too the master sees a hang-up. Call after the library has opened
  // the slave.
  void CloseSlave();
  // Closes the master: the library's side sees a hang-up.
  void HangUp();

  // Writes all of `bytes` to the master; throws on failure.
  void Write(const std::string& bytes);
  // Reads exactly `count` bytes from the master, waiting at most `timeoutMs` in
  // all; returns what arrived (shorter on time-out).
  std::string ReadExactly(size_t count, int timeoutMs);
  // Reads whatever arrives until the line has been quiet for `quietMs`, or
  // `timeoutMs` passed in all.
  std::string ReadUntilQuiet(int quietMs, int timeoutMs);
  // Reads whatever is waiting on the master now, without waiting.
  std::string ReadAvailable();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

// Two pty pairs whose masters a relay thread joins, like a null-modem cable:
// what one device writes on endA() the other reads on endB(), and back.
class PtyCable {
 public:
  PtyCable();   // throws on failure
  ~PtyCable();  // stops the relay, closes everything
  PtyCable(const PtyCable&) = delete;
  PtyCable& operator=(const PtyCable&) = delete;

  const std::string& endA() const { return a_.slavePath(); }
  const std::string& endB() const { return b_.slavePath(); }
  // Counts of bytes relayed so far in each direction.
  size_t relayedAtoB() const { return aToB_.load(); }
  size_t relayedBtoA() const { return bToA_.load(); }

 private:
  void Relay();
  PtyPair a_, b_;
  int stopPipe_[2] = {-1, -1};
  std::atomic<size_t> aToB_{0}, bToA_{0};
  std::thread relay_;
};

}  // namespace tarvel::testing
