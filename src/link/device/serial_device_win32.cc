// SPDX-License-Identifier: MIT
// The serial device on Windows: a COM port opened for exclusive use, in binary
// mode with no flow control, for overlapped I/O. Reads and writes wait for
// their completion at once, and their COMMTIMEOUTS keep every call short, so
// that a Close from another thread is noticed within one slice, and Close then
// releases the port at once for the next open. The wait for input is
// WaitCommEvent on EV_RXCHAR beside an event that Close sets; where a driver
// offers no such wait, it looks at the queue every 100 ms instead.
#include "link/device/serial_device.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "link/device/deadline.h"
#include "platform/mutex.h"
#include "platform/win32_support.h"

namespace tarvel {
namespace {

using Clock = DeviceClock;

// The longest a single ReadFile waits, and the write time-out: a WriteFile
// returns after it with what went out so far.
constexpr DWORD kReadSliceMs = 50;
constexpr DWORD kWriteSliceMs = 100;
constexpr size_t kLargestCall = 1u << 20;
// How often the wait for input looks at the queue where the driver cannot wait.
constexpr DWORD kQueuePollMs = 100;

// What is left of a wait until `deadline`, for WaitForMultipleObjects.
DWORD WaitMillisecondsUntil(Clock::time_point deadline) {
  int left = TimeoutUntil(deadline);
  return left < 0 ? INFINITE : static_cast<DWORD>(left);
}

UniqueHandle ManualResetEvent() {
  return UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

// Runs one overlapped operation that `start` begins with `overlapped`, and
// waits for it to end. The count it moved, and false when it failed; one that
// ran into its COMMTIMEOUTS moved what it could and is no failure (Wine ends
// it with a time-out status where Windows reports success).
template <typename Start>
bool RunOverlapped(HANDLE port, HANDLE event, DWORD& count, Start start) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  ResetEvent(event);
  count = 0;
  auto timedOut = [] {
    DWORD error = GetLastError();
    return error == ERROR_SEM_TIMEOUT || error == WAIT_TIMEOUT || error == ERROR_TIMEOUT;
  };
  if (!start(&overlapped) && GetLastError() != ERROR_IO_PENDING) {
    // Ended at once, with nothing left to wait for.
    count = static_cast<DWORD>(overlapped.InternalHigh);
    return timedOut();
  }
  return GetOverlappedResult(port, &overlapped, &count, TRUE) || timedOut();
}

// The wait of the next ReadFile: what is left until `deadline`, at most one slice.
DWORD ReadSliceUntil(Clock::time_point deadline) {
  return std::min(static_cast<DWORD>(MillisecondsUntil(deadline)), kReadSliceMs);
}

bool ReadState(HANDLE port, DCB* dcb) {
  *dcb = DCB{};
  dcb->DCBlength = sizeof *dcb;
  return GetCommState(port, dcb) != 0;
}

// Every byte passes as it is, 8N1. XON/XOFF stays off for good: the port would
// take every 0x11 and 0x13 out of file content as flow control. No hardware
// flow control either, which a virtual port may not signal.
void MakeRaw(DCB* dcb) {
  dcb->fBinary = TRUE;
  dcb->fParity = FALSE;
  dcb->fOutxCtsFlow = FALSE;
  dcb->fOutxDsrFlow = FALSE;
  dcb->fDsrSensitivity = FALSE;
  dcb->fDtrControl = DTR_CONTROL_ENABLE;
  dcb->fRtsControl = RTS_CONTROL_ENABLE;
  dcb->fOutX = FALSE;
  dcb->fInX = FALSE;
  dcb->fErrorChar = FALSE;
  dcb->fNull = FALSE;
  dcb->fAbortOnError = FALSE;
  dcb->ByteSize = 8;
  dcb->Parity = NOPARITY;
  dcb->StopBits = ONESTOPBIT;
}

// Read time-outs for one ReadFile: 0 returns at once with what is waiting;
// otherwise the call returns when `count` bytes are in or after `waitMs`.
// The write time-out is the same in every set.
COMMTIMEOUTS Timeouts(DWORD waitMs) {
  COMMTIMEOUTS timeouts{};
  if (waitMs == 0) {
    timeouts.ReadIntervalTimeout = MAXDWORD;
  } else {
    timeouts.ReadTotalTimeoutConstant = waitMs;
  }
  timeouts.WriteTotalTimeoutConstant = kWriteSliceMs;
  return timeouts;
}

class Win32SerialDevice final : public SerialDevice {
 public:
  Win32SerialDevice(UniqueHandle port, const LinkTiming& timing)
      : port_(std::move(port)),
        closeEvent_(ManualResetEvent()),
        readEvent_(ManualResetEvent()),
        writeEvent_(ManualResetEvent()),
        waitEvent_(ManualResetEvent()),
        readQuietGap_(timing.readQuietGapMs),
        writeStallLimit_(timing.writeStallLimitMs) {}
  bool usable() const {
    return closeEvent_.valid() && readEvent_.valid() && writeEvent_.valid() && waitEvent_.valid();
  }

  bool ReadSettings(LineSettings& settings) override;
  bool WriteSettings(const LineSettings& settings) override;
  std::optional<size_t> QueueStatus() override;
  ReadResult Read(uint8_t* buffer, size_t count, int firstByteWaitMs) override;
  WriteResult Write(const uint8_t* data, size_t count) override;
  WaitResult WaitForInput(int timeoutMs) override;
  void Close() override;

 private:
  bool closed() const { return closed_.load(std::memory_order_acquire); }
  // QueueStatus for a caller that holds portLock_ already.
  std::optional<size_t> HeldQueueStatus() REQUIRES_SHARED(portLock_);
  // One ReadFile; the count received, or nothing when the device failed.
  std::optional<size_t> ReadWithin(uint8_t* buffer, size_t count, DWORD waitMs)
      REQUIRES_SHARED(portLock_);
  // The wait through WaitCommEvent; nothing when the driver does not offer it.
  std::optional<WaitResult> WaitForCharacter(Clock::time_point deadline) REQUIRES_SHARED(portLock_);
  // Ends a pending WaitCommEvent and waits until it has ended.
  void EndCommWait(OVERLAPPED& overlapped) REQUIRES_SHARED(portLock_);
  // The fallback: the queue every kQueuePollMs, or a Close.
  WaitResult PollQueue(Clock::time_point deadline) REQUIRES_SHARED(portLock_);
  std::optional<WaitResult> QueueVerdict() REQUIRES_SHARED(portLock_);

  // Every operation holds portLock_ shared while it uses the handle; Close
  // sets closeEvent_, which ends a wait for input at once, takes the lock
  // exclusively, within one slice of the calls under way, and closes the
  // handle, so no call ever uses a closed or reused one.
  SharedMutex portLock_;
  UniqueHandle port_ GUARDED_BY(portLock_);
  const UniqueHandle closeEvent_;
  const UniqueHandle readEvent_;
  const UniqueHandle writeEvent_;
  const UniqueHandle waitEvent_;
  const std::chrono::milliseconds readQuietGap_;
  const std::chrono::milliseconds writeStallLimit_;
  std::atomic<bool> closed_{false};
  Mutex settingsMutex_;  // settings are read, changed and written back as one step
  Mutex readMutex_;      // the read time-outs belong to one read at a time
  Mutex writeMutex_;     // the bytes of one Write go out together
  Mutex waitMutex_;      // the event mask belongs to one wait at a time
  bool commWaitMissing_ GUARDED_BY(waitMutex_) = false;
};

void Win32SerialDevice::Close() {
  closed_.store(true, std::memory_order_release);
  SetEvent(closeEvent_.get());
  ExclusiveLock release(portLock_);
  port_.Reset();
}

bool Win32SerialDevice::ReadSettings(LineSettings& settings) {
  MutexLock lock(settingsMutex_);
  SharedLock use(portLock_);
  if (closed()) return false;
  DCB dcb;
  if (!ReadState(port_.get(), &dcb)) return false;
  settings.baudRate = dcb.BaudRate;
  settings.byteSize = dcb.ByteSize;
  settings.parity = dcb.Parity;
  settings.stopBits = dcb.StopBits;
  settings.softwareFlowControl = dcb.fOutX || dcb.fInX;
  return true;
}

// softwareFlowControl is deliberately not honoured, as MakeRaw says.
bool Win32SerialDevice::WriteSettings(const LineSettings& settings) {
  if (settings.baudRate == 0 || settings.byteSize < 5 || settings.byteSize > 8 ||
      settings.parity > 4 || settings.stopBits > 2) {
    return false;
  }
  MutexLock lock(settingsMutex_);
  SharedLock use(portLock_);
  if (closed()) return false;
  DCB dcb;
  if (!ReadState(port_.get(), &dcb)) return false;
  MakeRaw(&dcb);
  dcb.BaudRate = settings.baudRate;
  dcb.ByteSize = settings.byteSize;
  dcb.Parity = settings.parity;
  dcb.StopBits = settings.stopBits;
  return SetCommState(port_.get(), &dcb) != 0;
}

std::optional<size_t> Win32SerialDevice::QueueStatus() {
  SharedLock use(portLock_);
  return HeldQueueStatus();
}

std::optional<size_t> Win32SerialDevice::HeldQueueStatus() {
  if (closed()) return std::nullopt;
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(port_.get(), &errors, &status)) return std::nullopt;
  return status.cbInQue;
}

std::optional<size_t> Win32SerialDevice::ReadWithin(uint8_t* buffer, size_t count, DWORD waitMs) {
  COMMTIMEOUTS timeouts = Timeouts(waitMs);
  DWORD got = 0;
  // The lambda runs within this call, under the lock it holds: the handle is
  // taken here, where the analysis sees the lock.
  HANDLE port = port_.get();
  if (!SetCommTimeouts(port, &timeouts)) return std::nullopt;
  bool done = RunOverlapped(port, readEvent_.get(), got, [&](OVERLAPPED* overlapped) {
    return ReadFile(port, buffer, static_cast<DWORD>(std::min(count, kLargestCall)), nullptr,
                    overlapped);
  });
  if (!done) return std::nullopt;
  return got;
}

ReadResult Win32SerialDevice::Read(uint8_t* buffer, size_t count, int firstByteWaitMs) {
  MutexLock lock(readMutex_);
  SharedLock use(portLock_);
  size_t got = 0;
  Clock::time_point deadline = DeadlineAfter(std::max(firstByteWaitMs, 0));
  // Bytes already taken from the device are reported even when it fails
  // afterwards; the next call then reports the failure.
  auto failed = [&got] { return ReadResult{got ? ReadOutcome::Bytes : ReadOutcome::Failed, got}; };
  while (got < count) {
    if (closed()) return failed();
    std::optional<size_t> result = ReadWithin(buffer + got, count - got, ReadSliceUntil(deadline));
    if (!result) return failed();
    if (*result > 0) {
      got += *result;
      deadline = Clock::now() + readQuietGap_;
    } else if (Clock::now() >= deadline) {
      return {got ? ReadOutcome::Bytes : ReadOutcome::Quiet, got};
    }
  }
  return {ReadOutcome::Bytes, got};
}

WriteResult Win32SerialDevice::Write(const uint8_t* data, size_t count) {
  MutexLock lock(writeMutex_);
  SharedLock use(portLock_);
  HANDLE port = port_.get();  // used by the lambda below, under this lock
  size_t written = 0;
  auto stallDeadline = Clock::now() + writeStallLimit_;
  while (written < count && !closed()) {
    DWORD put = 0;
    DWORD chunk = static_cast<DWORD>(std::min(count - written, kLargestCall));
    // A write that timed out has put out `put` bytes and is no failure.
    bool done = RunOverlapped(port, writeEvent_.get(), put, [&](OVERLAPPED* overlapped) {
      return WriteFile(port, data + written, chunk, nullptr, overlapped);
    });
    if (!done) break;
    if (put > 0) {
      written += put;
      stallDeadline = Clock::now() + writeStallLimit_;
    } else if (Clock::now() >= stallDeadline) {
      break;
    }
  }
  return {written, written == count};
}

std::optional<WaitResult> Win32SerialDevice::QueueVerdict() {
  std::optional<size_t> waiting = HeldQueueStatus();
  if (!waiting) return WaitResult::Closed;
  if (*waiting > 0) return WaitResult::Ready;
  return std::nullopt;
}

void Win32SerialDevice::EndCommWait(OVERLAPPED& overlapped) {
  // A new mask completes a pending WaitCommEvent; cancelling covers a driver
  // that does not.
  SetCommMask(port_.get(), 0);
  CancelIoEx(port_.get(), &overlapped);
  DWORD ignored = 0;
  GetOverlappedResult(port_.get(), &overlapped, &ignored, TRUE);
}

std::optional<WaitResult> Win32SerialDevice::WaitForCharacter(Clock::time_point deadline) {
  for (;;) {
    if (closed()) return WaitResult::Closed;
    // The mask goes first: a byte that comes after it, even before the wait
    // starts, ends the wait at once.
    if (!SetCommMask(port_.get(), EV_RXCHAR)) return std::nullopt;
    if (std::optional<WaitResult> verdict = QueueVerdict()) return verdict;
    OVERLAPPED overlapped{};
    overlapped.hEvent = waitEvent_.get();
    ResetEvent(waitEvent_.get());
    DWORD mask = 0;
    if (!WaitCommEvent(port_.get(), &mask, &overlapped)) {
      if (GetLastError() != ERROR_IO_PENDING) return std::nullopt;
      HANDLE events[2] = {waitEvent_.get(), closeEvent_.get()};
      DWORD which = WaitForMultipleObjects(2, events, FALSE, WaitMillisecondsUntil(deadline));
      if (which != WAIT_OBJECT_0) {
        EndCommWait(overlapped);
        if (which == WAIT_OBJECT_0 + 1 || closed()) return WaitResult::Closed;
        if (which != WAIT_TIMEOUT) return std::nullopt;
        return QueueVerdict().value_or(WaitResult::TimedOut);
      }
      DWORD ignored = 0;
      if (!GetOverlappedResult(port_.get(), &overlapped, &ignored, TRUE)) return std::nullopt;
    }
    if (std::optional<WaitResult> verdict = QueueVerdict()) return verdict;
    // Another reader took the bytes first: wait again.
    if (Clock::now() >= deadline) return WaitResult::TimedOut;
  }
}

WaitResult Win32SerialDevice::PollQueue(Clock::time_point deadline) {
  for (;;) {
    if (closed()) return WaitResult::Closed;
    if (std::optional<WaitResult> verdict = QueueVerdict()) return *verdict;
    DWORD left = WaitMillisecondsUntil(deadline);
    if (left == 0) return WaitResult::TimedOut;
    WaitForSingleObject(closeEvent_.get(), std::min(left, kQueuePollMs));
  }
}

WaitResult Win32SerialDevice::WaitForInput(int timeoutMs) {
  Clock::time_point deadline = DeadlineAfter(timeoutMs);
  MutexLock lock(waitMutex_);
  // Held for the whole wait: Close sets closeEvent_ first, which ends it.
  SharedLock use(portLock_);
  if (!commWaitMissing_) {
    if (std::optional<WaitResult> result = WaitForCharacter(deadline)) return *result;
    // This port's driver cannot wait for a character (Wine's on a pty cannot):
    // it is polled from now on.
    commWaitMissing_ = true;
  }
  return PollQueue(deadline);
}

std::nullptr_t Fail(std::string* why, const std::string& what, const std::string& path) {
  DWORD code = GetLastError();
  *why = what + " " + path + ": " + DescribeWin32Error(code);
  return nullptr;
}

}  // namespace

std::unique_ptr<SerialDevice> OpenSerialDevice(const std::string& path, std::string* why,
                                               const LinkTiming& timing) {
  // No sharing: the port is ours alone until it is closed.
  UniqueHandle port(CreateFileW(ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED,
                                nullptr));
  if (!port.valid()) return Fail(why, "cannot open", path);
  DCB dcb;
  if (!ReadState(port.get(), &dcb)) return Fail(why, "not a serial port:", path);
  // Raw at once, so that bytes arriving from now on pass unchanged.
  MakeRaw(&dcb);
  if (!SetCommState(port.get(), &dcb)) return Fail(why, "cannot set raw mode on", path);
  COMMTIMEOUTS timeouts = Timeouts(0);
  if (!SetCommTimeouts(port.get(), &timeouts)) return Fail(why, "cannot set time-outs on", path);
  auto device = std::make_unique<Win32SerialDevice>(std::move(port), timing);
  if (!device->usable()) return Fail(why, "cannot create the events of", path);
  return device;
}

}  // namespace tarvel
