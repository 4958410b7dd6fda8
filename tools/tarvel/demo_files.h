// The demo's files: a temporary folder that removes itself, content to send,
// and the byte-for-byte comparison that decides the verdict.
#pragma once

#include <optional>
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

bool WriteRandomFile(const std::string& path, long long size);
bool WriteTextFile(const std::string& path, const std::string& text);
std::string ReadWholeFile(const std::string& path);
// The size in bytes, or -1 when the file is missing.
long long FileSize(const std::string& path);

// Nothing when the two files hold the same bytes; otherwise what differs.
std::optional<std::string> CompareFiles(const std::string& original, const std::string& copy);

}  // namespace tarvel_cli
