// SPDX-License-Identifier: MIT
// Reading device files and receiving files atomically, with the W functions.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <random>
#include <thread>

#include "platform/device_files.h"
#include "platform/win32_folders.h"

namespace tarvel {
namespace {

constexpr int kTemporaryAttempts = 100;
// Under ClashPolicy::Rename, the numbered names tried before giving up.
constexpr int kNumberedNameAttempts = 10000;
// The temporary's name ".<name>.tarvel-XXXXXX" must itself fit in 255 characters.
constexpr size_t kTemporaryNameRoom = 255 - 1 - 8 - 6;
constexpr DWORD kLargestIo = 1u << 30;

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

bool IsFolder(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(handle, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

class Win32InputFile final : public InputFile {
 public:
  explicit Win32InputFile(UniqueHandle file) : file_(std::move(file)) {}

  int64_t Size() const override {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file_.get(), &size)) return -1;
    return size.QuadPart;
  }

  std::ptrdiff_t Read(void* buffer, size_t count) override {
    DWORD got = 0;
    DWORD asked = static_cast<DWORD>(std::min<size_t>(count, kLargestIo));
    if (!ReadFile(file_.get(), buffer, asked, &got, nullptr)) return -1;
    return static_cast<std::ptrdiff_t>(got);
  }

 private:
  UniqueHandle file_;
};

std::wstring NtPath(const std::wstring& path);

bool IsNameTaken(DWORD error) {
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
}

class Win32OutputFile final : public OutputFile {
 public:
  Win32OutputFile(HeldFolder folder, std::string name, UniqueHandle file, ClashPolicy clash)
      : folder_(std::move(folder)), name_(std::move(name)), file_(std::move(file)), clash_(clash) {}

  ~Win32OutputFile() override {
    if (!finished_) Abandon();
  }

  bool Write(const void* data, size_t count, std::string* why) override {
    if (finished_ || failed_) return false;
    const char* next = static_cast<const char*>(data);
    while (count > 0) {
      DWORD written = 0;
      DWORD chunk = static_cast<DWORD>(std::min<size_t>(count, kLargestIo));
      if (!WriteFile(file_.get(), next, chunk, &written, nullptr) || written == 0) {
        failed_ = true;
        SetError(why, DescribeWin32Error(GetLastError()));
        return false;
      }
      next += written;
      count -= written;
    }
    return true;
  }

  bool Commit(std::string* why) override {
    if (finished_) return false;
    if (failed_) {
      SetError(why, "a write failed earlier");
    } else if (Place(why)) {
      file_.Reset();
      finished_ = true;
      return true;
    }
    Abandon();
    return false;
  }

  const std::string& PlacedName() const override { return name_; }

 private:
  bool Place(std::string* why) {
    if (RenameTo(name_, clash_ == ClashPolicy::Overwrite)) return true;
    DWORD error = GetLastError();
    if (IsNameTaken(error) && clash_ == ClashPolicy::Skip) {
      SetError(why, kSkippedClash);
      return false;
    }
    if (IsNameTaken(error) && clash_ == ClashPolicy::Rename) return PlaceNumbered(why);
    SetError(why, "the received file could not be put in place: " + DescribeWin32Error(error));
    return false;
  }

  bool PlaceNumbered(std::string* why) {
    for (int number = 1; number <= kNumberedNameAttempts; ++number) {
      std::string numbered = NumberedName(name_, number);
      if (RenameTo(numbered, false)) {
        name_ = numbered;
        return true;
      }
      DWORD error = GetLastError();
      if (!IsNameTaken(error)) {
        SetError(why, "cannot save as " + numbered + ": " + DescribeWin32Error(error));
        return false;
      }
    }
    SetError(why, "no free numbered name for " + name_);
    return false;
  }

  // The temporary is renamed through its own handle, so what takes the name
  // is the file written, whatever happened to its temporary name. Without
  // `replace`, an existing file of that name makes the rename fail.
  bool RenameTo(const std::string& name, bool replace) {
    std::wstring target = NtPath(folder_.PathOf(name));
    size_t nameBytes = target.size() * sizeof(wchar_t);
    std::vector<std::byte> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::copy(target.begin(), target.end(), info->FileName);
    info->FileName[target.size()] = L'\0';
    return SetFileInformationByHandle(file_.get(), FileRenameInfo, info,
                                      static_cast<DWORD>(buffer.size())) != 0;
  }

  void Abandon() {
    FILE_DISPOSITION_INFO remove{};
    remove.DeleteFile = TRUE;
    SetFileInformationByHandle(file_.get(), FileDispositionInfo, &remove, sizeof remove);
    file_.Reset();
    finished_ = true;
  }

  HeldFolder folder_;  // held until the rename, so the folder stays where it was checked
  std::string name_;
  UniqueHandle file_;
  ClashPolicy clash_;
  bool failed_ = false;
  bool finished_ = false;
};

// A rename by handle takes the target as an NT path ("\??\C:\dir\name"):
// Windows reads a bare name within the file's folder, Wine within the working
// directory, and neither takes the DOS form alike.
std::wstring NtPath(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\", 0) == 0) return L"\\??\\" + path.substr(4);
  DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::wstring full(size, L'\0');
  full.resize(GetFullPathNameW(path.c_str(), size, full.data(), nullptr));
  if (full.rfind(L"\\\\", 0) == 0) return L"\\??\\UNC\\" + full.substr(2);
  return L"\\??\\" + full;
}

wchar_t RandomLetter() {
  static const wchar_t kLetters[] =
      L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 generator(static_cast<unsigned>(
      std::chrono::steady_clock::now().time_since_epoch().count() ^ GetCurrentProcessId() ^
      std::hash<std::thread::id>()(std::this_thread::get_id())));
  return kLetters[generator() % (sizeof kLetters / sizeof kLetters[0] - 1)];
}

// Creates ".<name>.tarvel-XXXXXX" beside the target, new and empty.
UniqueHandle CreateTemporary(const HeldFolder& folder, const std::string& name) {
  std::wstring stem = L"." + ToWide(name).substr(0, kTemporaryNameRoom) + L".tarvel-";
  for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
    std::wstring temporary = stem;
    for (int i = 0; i < 6; ++i) temporary += RandomLetter();
    std::wstring path = folder.PathOf(FromWide(temporary));
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.valid() || GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return UniqueHandle();
}

// The folder of a location, held, and the name inside it.
std::optional<HeldFolder> OpenFolderOf(const FileLocation& location, std::string* name,
                                       std::string* error) {
  FolderAndName parts = SplitFolderAndName(location);
  *name = parts.name;
  std::string why;
  if (!location.root.empty() && !parts.name.empty() && !IsPlainWindowsName(parts.name, &why)) {
    SetError(error, why);
    return std::nullopt;
  }
  std::optional<HeldFolder> folder = HeldFolder::Open(location.root, parts.folder, nullptr, &why);
  if (!folder) SetError(error, why);
  return folder;
}

}  // namespace

std::unique_ptr<InputFile> OpenInputFile(const FileLocation& location, std::string* error) {
  std::string name;
  std::optional<HeldFolder> folder = OpenFolderOf(location, &name, error);
  if (!folder) return nullptr;
  // An empty name is the folder itself, which is then refused below.
  std::wstring path = name.empty() ? folder->path() : folder->PathOf(name);
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) {
    SetError(error, DescribeWin32Error(GetLastError()));
    return nullptr;
  }
  if (!folder->Holds(file.get())) {
    SetError(error, "path leaves the device root");
    return nullptr;
  }
  if (IsFolder(file.get())) {
    SetError(error, "is a folder");
    return nullptr;
  }
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    SetError(error, "not a regular file");
    return nullptr;
  }
  return std::make_unique<Win32InputFile>(std::move(file));
}

std::unique_ptr<OutputFile> CreateOutputFile(const FileLocation& location, ClashPolicy clash,
                                             std::string* error) {
  FolderAndName parts = SplitFolderAndName(location);
  if (parts.name.empty() || parts.name == "." || parts.name == "..") {
    SetError(error, "path names a folder");
    return nullptr;
  }
  std::string name;
  std::optional<HeldFolder> folder = OpenFolderOf(location, &name, error);
  if (!folder) return nullptr;
  DWORD attributes = GetFileAttributesW(folder->PathOf(name).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    SetError(error, "is a folder");
    return nullptr;
  }
  if (attributes != INVALID_FILE_ATTRIBUTES && clash == ClashPolicy::Skip) {
    SetError(error, kSkippedClash);
    return nullptr;
  }
  UniqueHandle file = CreateTemporary(*folder, name);
  if (!file.valid()) {
    SetError(error, DescribeWin32Error(GetLastError()));
    return nullptr;
  }
  return std::make_unique<Win32OutputFile>(std::move(*folder), std::move(name), std::move(file),
                                           clash);
}

bool CreateFolders(const FileLocation& location, std::string* error) {
  if (location.root.empty()) return true;
  const std::string folder = SplitFolderAndName(location).folder;
  // Each folder on the way, from the root down: held beneath the root, and
  // made inside its parent, itself held beneath the root, when missing.
  for (size_t end = 0; end != std::string::npos && !folder.empty();) {
    end = folder.find('/', end + 1);
    std::string prefix = folder.substr(0, end);
    if (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    HeldFolder::Failure failure = HeldFolder::Failure::None;
    if (HeldFolder::Open(location.root, prefix, &failure, error)) continue;
    if (failure != HeldFolder::Failure::NotFound) return false;
    size_t cut = prefix.rfind('/');
    std::string parentPath = cut == std::string::npos ? std::string() : prefix.substr(0, cut);
    std::string name = cut == std::string::npos ? prefix : prefix.substr(cut + 1);
    if (!IsPlainWindowsName(name, error)) return false;
    std::optional<HeldFolder> parent = HeldFolder::Open(location.root, parentPath, &failure, error);
    if (!parent) return false;
    if (!CreateDirectoryW(parent->PathOf(name).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      SetError(error,
               "cannot make the folder " + prefix + ": " + DescribeWin32Error(GetLastError()));
      return false;
    }
    if (!HeldFolder::Open(location.root, prefix, &failure, error)) return false;
  }
  return true;
}

std::optional<DiskSpace> SpaceFor(const FileLocation& location, std::string* error) {
  std::string name;
  std::optional<HeldFolder> folder = OpenFolderOf(location, &name, error);
  if (!folder) return std::nullopt;
  // The folder's path ends in a backslash, as a UNC path must; an empty one is
  // the working directory, whose disk a null path names.
  std::wstring path = folder->path();
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  ULARGE_INTEGER available, total;
  if (!GetDiskFreeSpaceExW(path.empty() ? nullptr : path.c_str(), &available, &total, nullptr)) {
    SetError(error, DescribeWin32Error(GetLastError()));
    return std::nullopt;
  }
  DiskSpace space;
  space.available = available.QuadPart;
  space.total = total.QuadPart;
  return space;
}

}  // namespace tarvel
