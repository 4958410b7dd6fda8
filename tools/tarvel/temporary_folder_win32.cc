// SPDX-License-Identifier: MIT
// The folder in the user's temporary folder (GetTempPathW, which
// temp_directory_path asks), named with a random suffix until one is free.
#include <filesystem>
#include <random>

#include "temporary_folder.h"

namespace tarvel_cli {

TemporaryFolder::TemporaryFolder(const std::string& prefix) {
  std::error_code failure;
  std::filesystem::path base = std::filesystem::temp_directory_path(failure);
  if (failure) return;
  std::random_device seed;
  std::mt19937 random(seed());
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix;
    for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
    std::filesystem::path folder = base / std::filesystem::u8path(name);
    if (std::filesystem::create_directory(folder, failure)) {
      path_ = folder.u8string();
      return;
    }
  }
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(std::filesystem::u8path(path_), ignored);
}

}  // namespace tarvel_cli
