// SPDX-License-Identifier: MIT
// Small helpers that the Win32 backends share: handles that close themselves,
// UTF-8 to UTF-16 for the W functions, and error texts.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace tarvel {

// A kernel handle that closes itself; INVALID_HANDLE_VALUE and null mean none.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept;
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE Release();
  void Reset();

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// The library keeps native names in UTF-8; Windows takes them in UTF-16.
std::wstring ToWide(std::string_view utf8);
std::string FromWide(std::wstring_view wide);

// A short reason for a Win32 error code, worded as on Linux where the two meet.
std::string DescribeWin32Error(DWORD error);

}  // namespace tarvel
