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

// A file being received. It is written to a temporary file beside its target,
// which replaces the target only on Commit; destroying an uncommitted file
// removes the temporary and leaves the target as it was.
// Once a Write has failed (disk full, file too large), Commit fails as well.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  virtual bool Write(const void* data, size_t count) = 0;
  virtual bool Commit() = 0;
};

// Both return nothing, saying why in `error`, when the file cannot be opened or
// created (for a device path, also when it would resolve outside the root).
std::unique_ptr<InputFile> OpenInputFile(const FileLocation& location, std::string* error);
std::unique_ptr<OutputFile> CreateOutputFile(const FileLocation& location, std::string* error);

}  // namespace tarvel
