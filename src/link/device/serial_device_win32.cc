// The serial device on Windows: a COM port opened for exclusive use, in binary
// mode with no flow control. Reads and writes are plain ReadFile and WriteFile
// calls (no overlapped I/O, no WaitCommEvent) whose COMMTIMEOUTS keep every
// call short, so that a Close from another thread is noticed within one slice,
// and Close then releases the port at once for the next open.
#include "link/device/serial_device.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>

#include "platform/win32_support.h"

namespace tarvel {
namespace {

using Clock = std::chrono::steady_clock;

// The longest a single ReadFile waits, and the write time-out: a WriteFile
// returns after it with what went out so far.
constexpr DWORD kReadSliceMs = 50;
constexpr DWORD kWriteSliceMs = 100;
constexpr size_t kLargestCall = 1u << 20;

DWORD MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<DWORD>(std::clamp<decltype(left)>(left, 0, kReadSliceMs));
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
        readQuietGap_(timing.readQuietGapMs),
        writeStallLimit_(timing.writeStallLimitMs) {}

  bool ReadSettings(LineSettings& settings) override;
  bool WriteSettings(const LineSettings& settings) override;
  std::optional<size_t> QueueStatus() override;
  ReadResult Read(uint8_t* buffer, size_t count, int firstByteWaitMs) override;
  WriteResult Write(const uint8_t* data, size_t count) override;
  void Close() override;

 private:
  bool closed() const { return closed_.load(std::memory_order_acquire); }
  // One ReadFile; the count received, or nothing when the device failed.
  std::optional<size_t> ReadWithin(uint8_t* buffer, size_t count, DWORD waitMs);

  // Every operation holds portLock_ shared while it uses the handle; Close
  // takes it exclusively, within one slice of the calls under way, and closes
  // the handle, so no call ever uses a closed or reused one.
  std::shared_mutex portLock_;
  UniqueHandle port_;
  const std::chrono::milliseconds readQuietGap_;
  const std::chrono::milliseconds writeStallLimit_;
  std::atomic<bool> closed_{false};
  std::mutex settingsMutex_;  // settings are read, changed and written back as one step
  std::mutex readMutex_;      // the read time-outs belong to one read at a time
  std::mutex writeMutex_;     // the bytes of one Write go out together
};

void Win32SerialDevice::Close() {
  closed_.store(true, std::memory_order_release);
  std::unique_lock<std::shared_mutex> release(portLock_);
  port_.Reset();
}

bool Win32SerialDevice::ReadSettings(LineSettings& settings) {
  std::lock_guard<std::mutex> lock(settingsMutex_);
  std::shared_lock<std::shared_mutex> use(portLock_);
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
  std::lock_guard<std::mutex> lock(settingsMutex_);
  std::shared_lock<std::shared_mutex> use(portLock_);
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
  std::shared_lock<std::shared_mutex> use(portLock_);
  if (closed()) return std::nullopt;
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(port_.get(), &errors, &status)) return std::nullopt;
  return status.cbInQue;
}

std::optional<size_t> Win32SerialDevice::ReadWithin(uint8_t* buffer, size_t count, DWORD waitMs) {
  COMMTIMEOUTS timeouts = Timeouts(waitMs);
  DWORD got = 0;
  if (!SetCommTimeouts(port_.get(), &timeouts) ||
      !ReadFile(port_.get(), buffer, static_cast<DWORD>(std::min(count, kLargestCall)), &got,
                nullptr)) {
    return std::nullopt;
  }
  return got;
}

ReadResult Win32SerialDevice::Read(uint8_t* buffer, size_t count, int firstByteWaitMs) {
  std::lock_guard<std::mutex> lock(readMutex_);
  std::shared_lock<std::shared_mutex> use(portLock_);
  size_t got = 0;
  auto deadline = Clock::now() + std::chrono::milliseconds(std::max(firstByteWaitMs, 0));
  // Bytes already taken from the device are reported even when it fails
  // afterwards; the next call then reports the failure.
  auto failed = [&got] { return ReadResult{got ? ReadOutcome::Bytes : ReadOutcome::Failed, got}; };
  while (got < count) {
    if (closed()) return failed();
    std::optional<size_t> result =
        ReadWithin(buffer + got, count - got, MillisecondsUntil(deadline));
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
  std::lock_guard<std::mutex> lock(writeMutex_);
  std::shared_lock<std::shared_mutex> use(portLock_);
  size_t written = 0;
  auto stallDeadline = Clock::now() + writeStallLimit_;
  while (written < count && !closed()) {
    DWORD put = 0;
    DWORD chunk = static_cast<DWORD>(std::min(count - written, kLargestCall));
    // A write that timed out has put out `put` bytes and is no failure.
    if (!WriteFile(port_.get(), data + written, chunk, &put, nullptr) &&
        GetLastError() != ERROR_SEM_TIMEOUT) {
      break;
    }
    if (put > 0) {
      written += put;
      stallDeadline = Clock::now() + writeStallLimit_;
    } else if (Clock::now() >= stallDeadline) {
      break;
    }
  }
  return {written, written == count};
}

std::nullptr_t Fail(std::string* error, const std::string& what, const std::string& path) {
  DWORD code = GetLastError();
  if (error) *error = what + " " + path + ": " + DescribeWin32Error(code);
  return nullptr;
}

}  // namespace

std::unique_ptr<SerialDevice> OpenSerialDevice(const std::string& path, std::string* error,
                                               const LinkTiming& timing) {
  // No sharing: the port is ours alone until it is closed.
  UniqueHandle port(CreateFileW(ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!port.valid()) return Fail(error, "cannot open", path);
  DCB dcb;
  if (!ReadState(port.get(), &dcb)) return Fail(error, "not a serial port:", path);
  // Raw at once, so that bytes arriving from now on pass unchanged.
  MakeRaw(&dcb);
  if (!SetCommState(port.get(), &dcb)) return Fail(error, "cannot set raw mode on", path);
  COMMTIMEOUTS timeouts = Timeouts(0);
  if (!SetCommTimeouts(port.get(), &timeouts)) return Fail(error, "cannot set time-outs on", path);
  return std::make_unique<Win32SerialDevice>(std::move(port), timing);
}

}  // namespace tarvel
