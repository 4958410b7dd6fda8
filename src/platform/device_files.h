// SPDX-License-Identifier: MIT
// Files on the device: device paths confined beneath the device root, the
// host's own native paths, and atomic creation of received files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/environment.h"

namespace tarvel {

// Where a file lives. A device path is kept beneath `root` (no escape through
// "..", absolute paths or symbolic links); a native path is used as given.
struct FileLocation {
  std::string root;  // the device root directory; empty for a native path
  std::string path;  // relative to root, '/'-separated; or the native path
};

// The device root: TARVEL_ROOT, or the process's working directory.
std::string DeviceRoot(const Environment& env);

// Resolves a device path (UTF-8, '\' or '/' separated) beneath `root`. Leading
// separators are dropped. Refuses, saying why, an empty path, a ".." component,
// a NUL or control byte, or an over-long component or path.
// Repeated separators and "." components are dropped too; a path that ends in a
// separator keeps one trailing '/' in `path`, marking it as naming a folder. A
// drive form ("C:") as first component is refused as well. An empty `root`
// stands for the working directory, so the result stays a device path.
std::optional<FileLocation> ResolveDevicePath(const std::string& root, std::string_view devicePath,
                                              std::string* why);

// A path the host gave: a device path when it begins with '\', else native.
std::optional<FileLocation> ResolveHostPath(const std::string& root, std::string_view hostPath,
                                            std::string* why);

// A file opened for reading.
class InputFile {
 public:
  virtual ~InputFile() = default;
  virtual int64_t Size() const = 0;
  // Reads up to `count` bytes; 0 at the end of the file, -1 on an error.
  virtual std::ptrdiff_t Read(void* buffer, size_t count) = 0;
};

// What a received file does when a file of its name is already there.
enum class ClashPolicy {
  Overwrite,  // takes its place
  Rename,     // goes in as "name (1).ext", "name (2).ext", ...: the first free name
  Skip,       // is dropped, and the file already there stays
};

// "name (n).ext" for `name`, a single component: the number goes before the
// last dot, or at the end of a name without one (or whose only dot leads).
// The stem is shortened, never inside a UTF-8 character, so that the result
// fits a component of 255 bytes.
std::string NumberedName(const std::string& name, int number);

// A file being received. It is written to a temporary file beside its target,
// which takes the target's name only on Commit; destroying an uncommitted file
// removes the temporary and leaves the target as it was.
// Once a Write has failed (disk full, file too large), Commit fails as well.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // False when the system refused the bytes; `why` (if given) has its reason.
  virtual bool Write(const void* data, size_t count, std::string* why) = 0;
  // Puts the file in place as its clash policy says. The name is taken without
  // ever replacing a file that appeared meanwhile, except under Overwrite.
  // False, saying why, when the file could not be put in place or was skipped.
  virtual bool Commit(std::string* why) = 0;
  // The last component of the name the file went in under: its own, or with
  // Rename a numbered one.
  virtual const std::string& PlacedName() const = 0;
};

// Both return nothing, saying why in `error`, when the file cannot be opened or
// created (for a device path, also when it would resolve outside the root).
// Under Skip, a file that already has the target's name is refused at once.
std::unique_ptr<InputFile> OpenInputFile(const FileLocation& location, std::string* error);
std::unique_ptr<OutputFile> CreateOutputFile(const FileLocation& location, ClashPolicy clash,
                                             std::string* error);

// Makes the missing folders on the way to a device location's file, one by
// one beneath its root, never through a link that leads out of it. A native
// location (empty root) gets none made. False, saying why, when a folder is
// missing and cannot be made.
bool CreateFolders(const FileLocation& location, std::string* error);

// Message for a file skipped under ClashPolicy::Skip.
inline constexpr const char* kSkippedClash =
    "a file of that name exists and was kept (on-clash skip); the content was discarded";

// The space of the file system that holds the folder of `location`, in bytes.
struct DiskSpace {
  uint64_t available = 0;  // free to this process
  uint64_t total = 0;      // the file system's size
};
std::optional<DiskSpace> SpaceFor(const FileLocation& location, std::string* error);

}  // namespace tarvel
