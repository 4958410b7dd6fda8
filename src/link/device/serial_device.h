// SPDX-License-Identifier: MIT
// The serial device seam: the operations the library performs on a port.
// One backend per platform implements it; tests may put a double behind it.
//
// Errors, the same way everywhere in the devices and at their callers:
// - A call that can fail in more than one way returns whether it succeeded
//   (or nothing) and says why in a `std::string* why` that the caller always
//   gives: never null, so no callee checks it. It is written only when the
//   call fails.
// - An operation on an open device reports through its result alone (a
//   ReadOutcome, a WaitResult, a WriteResult); WriteResult::why is a fixed
//   text for a cause the device can name, or null when it can name none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "link/link_timing.h"

namespace tarvel {

struct LineSettings {
  uint32_t baudRate = 0;
  uint8_t byteSize = 0;
  uint8_t parity = 0;    // 0: none
  uint8_t stopBits = 0;  // 0: one stop bit
  bool softwareFlowControl = false;
};

enum class ReadOutcome {
  Bytes,  // `count` bytes arrived
  Quiet,  // nothing arrived within the wait
  Failed  // the device failed, hung up or was closed
};

// How a wait for input ended.
enum class WaitResult {
  Ready,     // received bytes are waiting
  TimedOut,  // nothing arrived within the limit
  Closed     // the device was closed, hung up or failed
};

struct ReadResult {
  ReadOutcome outcome = ReadOutcome::Failed;
  size_t count = 0;
};

struct WriteResult {
  size_t written = 0;  // bytes that went out before a failure or the stall limit
  bool ok = false;     // all bytes were written
  // Why not, when the device can name the cause ("no peer connected"): a fixed
  // text, or null.
  const char* why = nullptr;
};

// One open serial device. Every operation may be called from any thread, and
// Close may be called while another thread waits in Read, Write or
// WaitForInput: that operation and every later one then fail at once. Close releases the device
// itself before it returns (a tty and its exclusive use), even while other
// threads still hold the object, so that the same device can be opened again
// at once; the object stays safe to call, and only fails.
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;
  virtual bool ReadSettings(LineSettings& settings) = 0;
  virtual bool WriteSettings(const LineSettings& settings) = 0;
  // The number of received bytes waiting; nothing when the query fails.
  virtual std::optional<size_t> QueueStatus() = 0;
  // Waits up to `firstByteWaitMs` for a first byte, then returns as soon as
  // `count` bytes have arrived, or with fewer once the line has been quiet for
  // the device's read quiet gap.
  virtual ReadResult Read(uint8_t* buffer, size_t count, int firstByteWaitMs) = 0;
  // Waits until received bytes are waiting, at most `timeoutMs` (no limit
  // when negative), without taking any. Costs nothing while the line is
  // silent where the system offers a wait on the device; elsewhere it looks at
  // the queue every 100 ms.
  virtual WaitResult WaitForInput(int timeoutMs) = 0;
  // Writes all of `data`, or reports how much went before a failure or a stall.
  virtual WriteResult Write(const uint8_t* data, size_t count) = 0;
  virtual void Close() = 0;
};

// Opens the device at `path` for exclusive use, its reads and writes bounded by
// the read quiet gap and write stall limit of `timing`; nothing, saying why,
// when it cannot be opened.
std::unique_ptr<SerialDevice> OpenSerialDevice(const std::string& path, std::string* why,
                                               const LinkTiming& timing = LinkTiming());

}  // namespace tarvel
