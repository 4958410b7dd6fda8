#include "temporary_folder.h"

#include <stdlib.h>

#include <filesystem>

namespace tarvel_cli {

TemporaryFolder::TemporaryFolder(const std::string& prefix) {
  std::error_code failure;
  std::filesystem::path base = std::filesystem::temp_directory_path(failure);
  if (failure) base = "/tmp";
  std::string pattern = (base / (prefix + "XXXXXX")).string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

}  // namespace tarvel_cli
