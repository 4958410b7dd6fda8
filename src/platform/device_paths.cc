// SPDX-License-Identifier: MIT
// Mapping device paths onto the device root. Pure string work: confinement
// through symbolic links is enforced when the files are opened.
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/device_files.h"

namespace tarvel {
namespace {

constexpr size_t kMaxComponent = 255;  // NAME_MAX on Linux file systems
constexpr size_t kMaxPath = 4095;      // PATH_MAX without its terminator

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

bool IsControlByte(char c) {
  auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

// "C:" or "C:name": a drive, which has no meaning beneath the device root.
bool IsDriveForm(std::string_view component) {
  if (component.size() < 2 || component[1] != ':') return false;
  char letter = component[0];
  return (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
}

std::optional<FileLocation> Refuse(std::string* why, const char* reason) {
  if (why != nullptr) *why = reason;
  return std::nullopt;
}

std::vector<std::string_view> SplitComponents(std::string_view path) {
  std::vector<std::string_view> components;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    std::string_view component = path.substr(start, end - start);
    if (!component.empty() && component != ".") components.push_back(component);
    start = end + 1;
  }
  return components;
}

}  // namespace

std::string DeviceRoot(const Environment& env) {
  if (auto configured = env("TARVEL_ROOT"); configured && !configured->empty()) return *configured;
  // As UTF-8 on every platform: Windows keeps the path in UTF-16.
  std::error_code failed;
  std::string cwd = std::filesystem::current_path(failed).u8string();
  if (!failed && !cwd.empty()) return cwd;
  return ".";  // the working directory is gone; opening beneath "." then fails cleanly
}

// A device path that ends in a separator keeps a trailing '/' in `path`, so
// that a search pattern naming a folder rather than entries can be told apart.
std::optional<FileLocation> ResolveDevicePath(const std::string& root, std::string_view devicePath,
                                              std::string* why) {
  for (char c : devicePath) {
    if (IsControlByte(c)) return Refuse(why, "path contains a control byte");
  }
  std::vector<std::string_view> components = SplitComponents(devicePath);
  if (components.empty()) return Refuse(why, "empty path");
  if (IsDriveForm(components.front())) return Refuse(why, "drive letters are not supported");

  FileLocation location;
  // An empty root would read as a native path; the working directory is meant.
  location.root = root.empty() ? "." : root;
  for (std::string_view component : components) {
    if (component == "..") return Refuse(why, "path leaves the device root");
    if (component.size() > kMaxComponent) return Refuse(why, "name too long");
    if (!location.path.empty()) location.path += '/';
    location.path.append(component);
  }
  if (IsSeparator(devicePath.back())) location.path += '/';
  if (location.path.size() > kMaxPath) return Refuse(why, "path too long");
  return location;
}

std::string NumberedName(const std::string& name, int number) {
  size_t dot = name.rfind('.');
  if (dot == 0 || dot == std::string::npos) dot = name.size();
  std::string suffix = " (" + std::to_string(number) + ")" + name.substr(dot);
  std::string stem = name.substr(0, dot);
  if (stem.size() + suffix.size() > kMaxComponent) {
    size_t keep = kMaxComponent > suffix.size() ? kMaxComponent - suffix.size() : 0;
    // Back to the first byte of a UTF-8 character.
    while (keep > 0 && (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80) --keep;
    stem.resize(keep);
  }
  return stem + suffix;
}

std::optional<FileLocation> ResolveHostPath(const std::string& root, std::string_view hostPath,
                                            std::string* why) {
  if (!hostPath.empty() && hostPath.front() == '\\') {
    return ResolveDevicePath(root, hostPath, why);
  }
  if (hostPath.empty()) return Refuse(why, "empty path");
  // The operating system would silently cut the path at a NUL.
  if (hostPath.find('\0') != std::string_view::npos) return Refuse(why, "path contains a NUL byte");
  return FileLocation{std::string(), std::string(hostPath)};
}

}  // namespace tarvel
