#include "demo_files.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

namespace tarvel_cli {

bool WriteRandomFile(const std::string& path, long long size) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  std::mt19937_64 generator(std::random_device{}());
  std::vector<char> block(64 * 1024);
  for (long long written = 0; written < size && file;) {
    for (size_t i = 0; i + 8 <= block.size(); i += 8) {
      uint64_t value = generator();
      for (size_t k = 0; k < 8; ++k) block[i + k] = static_cast<char>(value >> (8 * k));
    }
    auto count = static_cast<std::streamsize>(std::min<long long>(block.size(), size - written));
    file.write(block.data(), count);
    written += count;
  }
  return static_cast<bool>(file.flush());
}

bool WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  return static_cast<bool>(file.flush());
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

long long FileSize(const std::string& path) {
  std::error_code failure;
  auto size = std::filesystem::file_size(path, failure);
  return failure ? -1 : static_cast<long long>(size);
}

}  // namespace tarvel_cli
