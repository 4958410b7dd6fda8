// SPDX-License-Identifier: MIT
// A folder of its own in the system's temporary folder (TMPDIR), removed with
// everything in it when the object goes.
#pragma once

#include <string>

namespace tarvel_cli {

class TemporaryFolder {
 public:
  // A new folder named <prefix>XXXXXX in the system's temporary folder; path()
  // is empty when it cannot be made.
  explicit TemporaryFolder(const std::string& prefix);
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace tarvel_cli
