// SPDX-License-Identifier: MIT
// A temporary folder, removed with everything in it when the object goes.
#pragma once

#include <string>

namespace tarvel::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole-file helpers for tests.
std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
// `size` bytes of a fixed pseudo-random sequence chosen by `seed`.
std::string RandomBytes(size_t size, unsigned seed);

}  // namespace tarvel::testing
