#include "platform/win32_folders.h"

#include <algorithm>
#include <cctype>

namespace tarvel {
namespace {

// Read and write sharing only: a held folder cannot be renamed or deleted.
constexpr DWORD kShareAllButDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;

UniqueHandle OpenForInspection(const std::wstring& path) {
  return UniqueHandle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAllButDelete, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// Where an open object really is, every link on the way followed.
std::optional<std::wstring> FinalPath(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return std::nullopt;
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length);  // too small: `length` is the size needed
  }
  return std::nullopt;
}

bool IsFolder(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(handle, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Windows compares names without regard to case.
bool SameName(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool IsBeneath(const std::wstring& root, const std::wstring& path) {
  if (path.size() < root.size() ||
      !SameName(std::wstring_view(path).substr(0, root.size()), root)) {
    return false;
  }
  return path.size() == root.size() || root.back() == L'\\' || path[root.size()] == L'\\';
}

// An absolute path in the "\\?\" form, which Windows takes as it is: no
// length limit, no trailing dots dropped, no device names read into it.
std::wstring VerbatimPath(const std::wstring& path) {
  DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  full.resize(GetFullPathNameW(path.c_str(), size, full.data(), nullptr));
  if (full.rfind(L"\\\\?\\", 0) == 0) return full;
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

HeldFolder::Failure FailureOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return HeldFolder::Failure::NotFound;
    case ERROR_DIRECTORY:
      return HeldFolder::Failure::NotAFolder;
    default:
      return HeldFolder::Failure::Other;
  }
}

std::optional<HeldFolder> Fail(HeldFolder::Failure kind, std::string reason,
                               HeldFolder::Failure* failure, std::string* why) {
  if (failure != nullptr) *failure = kind;
  if (why != nullptr) *why = std::move(reason);
  return std::nullopt;
}

std::vector<std::string_view> Components(std::string_view path) {
  std::vector<std::string_view> components;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = std::min(path.find('/', start), path.size());
    if (end > start) components.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return components;
}

std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

bool IsDeviceName(std::string_view name) {
  std::string base = UpperAscii(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
      base == "CONOUT$") {
    return true;
  }
  return base.size() == 4 && (base.rfind("COM", 0) == 0 || base.rfind("LPT", 0) == 0) &&
         base[3] >= '1' && base[3] <= '9';
}

}  // namespace

FolderAndName SplitFolderAndName(const FileLocation& location) {
  const std::string& path = location.path;
  if (!location.root.empty()) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {"", path};
    return {path.substr(0, slash), path.substr(slash + 1)};
  }
  size_t separator = path.find_last_of("\\/");
  if (separator == std::string::npos) {
    // "C:name" is a name in the working directory of drive C.
    if (path.size() >= 2 && path[1] == ':') return {path.substr(0, 2), path.substr(2)};
    return {"", path};
  }
  std::string folder = path.substr(0, separator);
  // "\name" and "C:\name" keep their separator: it names the root folder.
  if (folder.empty() || folder.back() == ':') folder = path.substr(0, separator + 1);
  return {folder, path.substr(separator + 1)};
}

bool IsPlainWindowsName(std::string_view name, std::string* why) {
  bool plain = name.find_first_of("<>:\"|?*\\") == std::string_view::npos && !name.empty() &&
               name.back() != '.' && name.back() != ' ' && !IsDeviceName(name);
  if (!plain && why != nullptr) *why = "name not allowed on Windows";
  return plain;
}

std::optional<HeldFolder> HeldFolder::Open(const std::string& root, const std::string& folder,
                                           Failure* failure, std::string* why) {
  if (failure != nullptr) *failure = Failure::None;
  HeldFolder held;
  if (root.empty()) {
    held.path_ = ToWide(folder);
    return held;
  }
  UniqueHandle rootHandle = OpenForInspection(VerbatimPath(ToWide(root)));
  if (!rootHandle.valid()) {
    DWORD error = GetLastError();
    return Fail(Failure::RootUnavailable, "device root unavailable: " + DescribeWin32Error(error),
                failure, why);
  }
  std::optional<std::wstring> rootPath = FinalPath(rootHandle.get());
  if (!rootPath || !IsFolder(rootHandle.get())) {
    return Fail(Failure::RootUnavailable, "device root unavailable: not a folder", failure, why);
  }
  held.root_ = held.path_ = *rootPath;
  held.held_.push_back(std::move(rootHandle));

  for (std::string_view component : Components(folder)) {
    std::string refusal;
    if (!IsPlainWindowsName(component, &refusal)) {
      return Fail(Failure::Refused, refusal, failure, why);
    }
    UniqueHandle next = OpenForInspection(held.PathOf(component));
    if (!next.valid()) {
      DWORD error = GetLastError();
      return Fail(FailureOf(error), DescribeWin32Error(error), failure, why);
    }
    std::optional<std::wstring> nextPath = FinalPath(next.get());
    if (!nextPath || !IsBeneath(held.root_, *nextPath)) {
      return Fail(Failure::LeavesRoot, "path leaves the device root", failure, why);
    }
    if (!IsFolder(next.get())) return Fail(Failure::NotAFolder, "Not a directory", failure, why);
    held.path_ = *nextPath;
    held.held_.push_back(std::move(next));
  }
  return held;
}

std::wstring HeldFolder::PathOf(std::string_view name) const {
  if (path_.empty()) return ToWide(name);
  wchar_t last = path_.back();
  bool separated = last == L'\\' || last == L'/' || last == L':';
  return path_ + (separated ? L"" : L"\\") + ToWide(name);
}

bool HeldFolder::Holds(HANDLE handle) const {
  if (root_.empty()) return true;
  std::optional<std::wstring> path = FinalPath(handle);
  return path && IsBeneath(root_, *path);
}

}  // namespace tarvel
