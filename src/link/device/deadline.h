// SPDX-License-Identifier: MIT
// Deadlines for the waits of the devices: every backend turns a wait of so
// many milliseconds into a point in time once, and each system call it makes
// waits only for what is left of it.
#pragma once

#include <algorithm>
#include <chrono>
#include <limits>

namespace tarvel {

using DeviceClock = std::chrono::steady_clock;

// The deadline of a wait without a limit.
constexpr DeviceClock::time_point kNoDeadline = DeviceClock::time_point::max();

// The end of a wait of `timeoutMs` from now; kNoDeadline for a negative one.
inline DeviceClock::time_point DeadlineAfter(int timeoutMs) {
  if (timeoutMs < 0) return kNoDeadline;
  return DeviceClock::now() + std::chrono::milliseconds(timeoutMs);
}

// What is left until `deadline` in whole milliseconds, rounded up so that a
// wait never ends before it: 0 once it has passed, and at most the largest
// int (about 24 days; a wait that long ends early and is waited again).
inline int MillisecondsUntil(DeviceClock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - DeviceClock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, std::numeric_limits<int>::max()));
}

// A time-out for a call that takes "no limit" as -1: MillisecondsUntil, or
// -1 for kNoDeadline.
inline int TimeoutUntil(DeviceClock::time_point deadline) {
  return deadline == kNoDeadline ? -1 : MillisecondsUntil(deadline);
}

}  // namespace tarvel
