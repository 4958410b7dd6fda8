#include "file_compare.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

namespace tarvel_cli {
namespace {

constexpr size_t kBlockSize = 64 * 1024;

// Fills `block` from `file` as far as it goes; the count read.
size_t ReadBlock(std::ifstream& file, std::vector<char>& block) {
  file.read(block.data(), static_cast<std::streamsize>(block.size()));
  return static_cast<size_t>(file.gcount());
}

}  // namespace

std::optional<std::string> CompareFiles(const std::string& original, const std::string& copy) {
  std::error_code failure;
  auto copySize = std::filesystem::file_size(std::filesystem::u8path(copy), failure);
  if (failure) return "missing";
  auto originalSize = std::filesystem::file_size(std::filesystem::u8path(original), failure);
  std::ifstream expected(std::filesystem::u8path(original), std::ios::binary);
  std::ifstream got(std::filesystem::u8path(copy), std::ios::binary);
  if (failure || !expected || !got) return "unreadable";
  std::vector<char> wanted(kBlockSize);
  std::vector<char> taken(kBlockSize);
  unsigned long long at = 0;
  for (;;) {
    size_t wantedCount = ReadBlock(expected, wanted);
    size_t takenCount = ReadBlock(got, taken);
    size_t common = std::min(wantedCount, takenCount);
    size_t same = 0;
    while (same < common && wanted[same] == taken[same]) ++same;
    at += same;
    if (same < common || wantedCount != takenCount) break;
    if (wantedCount == 0) return std::nullopt;
  }
  std::string where = "first difference at byte " + std::to_string(at);
  if (originalSize != copySize) {
    return std::to_string(copySize) + " bytes instead of " + std::to_string(originalSize) + ", " +
           where;
  }
  return where;
}

}  // namespace tarvel_cli
