#include "platform/win32_support.h"

#include "platform/codepage.h"

namespace tarvel {

UniqueHandle& UniqueHandle::operator=(UniqueHandle&& other) noexcept {
  if (this != &other) {
    Reset();
    handle_ = other.Release();
  }
  return *this;
}

HANDLE UniqueHandle::Release() {
  HANDLE handle = handle_;
  handle_ = INVALID_HANDLE_VALUE;
  return handle;
}

void UniqueHandle::Reset() {
  if (valid()) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

// wchar_t is 16-bit on Windows and holds the same units as char16_t.
std::wstring ToWide(std::string_view utf8) {
  std::u16string text = Utf8ToUtf16(utf8);
  return std::wstring(text.begin(), text.end());
}

std::string FromWide(std::wstring_view wide) {
  return Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
}

namespace {

std::string SystemMessage(DWORD error) {
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text != nullptr ? text : L"", length);
  LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                              message.back() == L'.' || message.back() == L' ')) {
    message.pop_back();
  }
  if (message.empty()) return "Windows error " + std::to_string(error);
  return FromWide(message);
}

}  // namespace

std::string DescribeWin32Error(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "No such file or directory";
    case ERROR_ACCESS_DENIED:
      return "Permission denied";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return "in use by another program";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "No space left on device";
    case ERROR_DIRECTORY:
      return "Not a directory";
    case ERROR_FILENAME_EXCED_RANGE:
      return "name too long";
    default:
      return SystemMessage(error);
  }
}

}  // namespace tarvel
