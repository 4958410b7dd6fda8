// SPDX-License-Identifier: MIT
// Linux has no registry, so the values live in a text file in the format of a
// Windows registry export, which a person can read and a Bluetooth serial
// service on this side can import.
//
// The file is rewritten as a whole: parsed, changed in memory, and put in place
// atomically. Lines that are not ours are kept as they were; a file that cannot
// be understood is refused and left alone rather than rewritten.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/registry.h"
#include "platform/registry_export.h"

namespace tarvel {
namespace {

constexpr const char* kRoot = "HKEY_LOCAL_MACHINE\\";

std::string ErrnoText() {
  return std::strerror(errno);
}

bool Report(std::string* error, std::string message) {
  *error = std::move(message);
  return false;
}

std::optional<std::string> RegistryFilePath(const Environment& env) {
  auto set = [](const std::optional<std::string>& value) { return value && !value->empty(); };
  if (auto path = env("TARVEL_REGISTRY"); set(path)) return *path;
  // A relative XDG_CONFIG_HOME is invalid and ignored, as the base directory rules say.
  if (auto config = env("XDG_CONFIG_HOME"); set(config) && (*config)[0] == '/') {
    return *config + "/tarvel/registry.reg";
  }
  if (auto home = env("HOME"); set(home)) return *home + "/.config/tarvel/registry.reg";
  return std::nullopt;
}

// Reads the whole file; an absent file reads as nothing.
bool ReadIfPresent(const std::string& path, std::optional<std::string>* content,
                   std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return true;
  if (fd < 0) return Report(error, "cannot open " + path + ": " + ErrnoText());
  std::string data;
  char chunk[4096];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      std::string why = ErrnoText();
      close(fd);
      return Report(error, "cannot read " + path + ": " + why);
    }
    data.append(chunk, static_cast<size_t>(got));
  }
  close(fd);
  *content = std::move(data);
  return true;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t put = write(fd, data.data(), data.size());
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return false;
    data.remove_prefix(static_cast<size_t>(put));
  }
  return true;
}

// Makes a rename in the folder of `path` durable; best effort, the file is in place anyway.
void SyncFolderOf(const std::string& path) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  fsync(dir);
  close(dir);
}

// Writes a temporary beside `path`, flushes it to disk and renames it over
// `path`, so a reader sees either the old file or the new one, never a part.
bool ReplaceAtomically(const std::string& path, const std::string& content, std::string* error) {
  std::string temp = path + ".tmp-XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return Report(error, "cannot create a file beside " + path + ": " + ErrnoText());
  struct stat old;
  mode_t mode = stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, content) && fsync(fd) == 0;
  std::string why = ok ? "" : ErrnoText();
  if (close(fd) != 0 && ok) {
    ok = false;
    why = ErrnoText();
  }
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    why = ErrnoText();
  }
  if (!ok) {
    unlink(temp.c_str());
    return Report(error, "cannot write " + path + ": " + why);
  }
  SyncFolderOf(path);
  return true;
}

bool MakeParentFolder(const std::string& path, std::string* error) {
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  std::error_code failure;
  if (folder.empty() || std::filesystem::create_directories(folder, failure) || !failure) {
    return true;
  }
  return Report(error, "cannot create folder " + folder.string() + ": " + failure.message());
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != text.npos;
}

}  // namespace

bool WriteRegistryValues(const Environment& env, const std::string& key,
                         const std::vector<RegistryValue>& values, std::string* error) {
  std::optional<std::string> path = RegistryFilePath(env);
  if (!path) {
    return Report(error,
                  "no place for the registry file: set TARVEL_REGISTRY, XDG_CONFIG_HOME or HOME");
  }
  bool bad_name = HasLineBreak(key);
  for (const RegistryValue& value : values) bad_name = bad_name || HasLineBreak(value.name);
  if (bad_name) return Report(error, "registry key and value names cannot hold line breaks");

  std::optional<std::string> content;
  if (!ReadIfPresent(*path, &content, error)) return false;
  RegistryExport file;
  std::string why;
  if (content && !ParseRegistryExport(*content, &file, &why)) {
    return Report(error, "registry file " + *path + " left unchanged: " + why);
  }
  for (const RegistryValue& value : values) SetRegistryValue(&file, kRoot + key, value);
  return MakeParentFolder(*path, error) &&
         ReplaceAtomically(*path, RenderRegistryExport(file), error);
}

}  // namespace tarvel
