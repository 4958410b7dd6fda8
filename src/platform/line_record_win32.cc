// SPDX-License-Identifier: MIT
// The line records on Windows: one file per device in the folder "tarvel" of
// the user's temporary folder. A COM port is opened by one process at a time,
// so the record serves that user's processes one after another. The update
// lock and the writer's mark are LockFileEx locks on bytes 0 and 1, which
// Windows drops when the process that held them ends.
#include <windows.h>

#include <cctype>
#include <string>

#include "platform/line_record.h"
#include "platform/win32_support.h"

namespace tarvel {
namespace {

constexpr DWORD kUpdateByte = 0;
constexpr DWORD kWriterByte = 1;
constexpr DWORD kRecordCapacity = 128;

bool LockByte(HANDLE file, DWORD byte, DWORD flags) {
  OVERLAPPED at{};
  at.Offset = byte;
  return LockFileEx(file, flags | LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) != 0;
}

void UnlockByte(HANDLE file, DWORD byte) {
  OVERLAPPED at{};
  at.Offset = byte;
  UnlockFileEx(file, 0, 1, 0, &at);
}

std::string Reason(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + DescribeWin32Error(GetLastError());
}

class Win32LineRecord final : public LineRecord {
 public:
  Win32LineRecord(UniqueHandle file, std::string location)
      : file_(std::move(file)), location_(std::move(location)) {}

  bool Update(const std::function<bool(std::string&)>& change, std::string* why) override {
    if (!LockByte(file_.get(), kUpdateByte, 0)) {
      *why = Reason("cannot lock", location_);
      return false;
    }
    bool ok = ReadAndChange(change, why);
    UnlockByte(file_.get(), kUpdateByte);
    return ok;
  }

  bool BeginWriting() override {
    writing_ = LockByte(file_.get(), kWriterByte, LOCKFILE_FAIL_IMMEDIATELY);
    return writing_;
  }

  void EndWriting() override {
    if (writing_) UnlockByte(file_.get(), kWriterByte);
    writing_ = false;
  }

  bool OtherWriting() override {
    // A lock this handle holds refuses a second one too: it is no other's.
    if (writing_) return false;
    if (!LockByte(file_.get(), kWriterByte, LOCKFILE_FAIL_IMMEDIATELY)) return true;
    UnlockByte(file_.get(), kWriterByte);
    return false;
  }

  const std::string& Location() const override { return location_; }

 private:
  bool ReadAndChange(const std::function<bool(std::string&)>& change, std::string* why) {
    char buffer[kRecordCapacity];
    DWORD got = 0;
    OVERLAPPED start{};
    if (!ReadFile(file_.get(), buffer, sizeof buffer, &got, &start) &&
        GetLastError() != ERROR_HANDLE_EOF) {
      *why = Reason("cannot read", location_);
      return false;
    }
    std::string text(buffer, got);
    if (!change(text)) return true;
    DWORD wrote = 0;
    OVERLAPPED again{};
    LARGE_INTEGER length{};
    length.QuadPart = static_cast<LONGLONG>(text.size());
    if (text.size() > kRecordCapacity ||
        !WriteFile(file_.get(), text.data(), static_cast<DWORD>(text.size()), &wrote, &again) ||
        wrote != text.size() || !SetFilePointerEx(file_.get(), length, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(file_.get())) {
      *why = Reason("cannot write", location_);
      return false;
    }
    return true;
  }

  UniqueHandle file_;
  const std::string location_;
  bool writing_ = false;
};

std::string RecordFolder(const Environment& env) {
  std::optional<std::string> chosen = env("TARVEL_LINE_RECORDS");
  if (chosen && !chosen->empty()) return *chosen;
  wchar_t temp[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) return "";
  return FromWide(std::wstring_view(temp, length)) + "tarvel";
}

}  // namespace

int64_t SharedClockMs() {
  // The system time: the same in every process, and, unlike the time since
  // boot, meaningful to a record that outlived a restart in this folder, which
  // is not emptied at boot.
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER ticks{};
  ticks.LowPart = now.dwLowDateTime;
  ticks.HighPart = now.dwHighDateTime;
  return static_cast<int64_t>(ticks.QuadPart / 10000);
}

std::string CanonicalDeviceName(const std::string& path) {
  // "\\.\COM3", "COM3:" and "com3" name one port.
  std::string name = path;
  if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
  while (!name.empty() && name.back() == ':') name.pop_back();
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

std::unique_ptr<LineRecord> OpenLineRecord(const std::string& key, const Environment& env,
                                           std::string* why) {
  std::string folder = RecordFolder(env);
  if (folder.empty()) {
    *why = "no temporary folder";
    return nullptr;
  }
  if (!CreateDirectoryW(ToWide(folder).c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    *why = Reason("cannot make the folder", folder);
    return nullptr;
  }
  std::string path = folder + "\\" + LineRecordName(key);
  UniqueHandle file(CreateFileW(ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) {
    *why = Reason("cannot open", path);
    return nullptr;
  }
  return std::make_unique<Win32LineRecord>(std::move(file), path);
}

}  // namespace tarvel
