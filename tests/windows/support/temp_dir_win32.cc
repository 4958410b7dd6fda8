// SPDX-License-Identifier: MIT
// Temporary folders and whole-file helpers for the Windows tests, with UTF-8
// paths handed to the W functions.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "support/temp_dir.h"

namespace tarvel::testing {
namespace {

std::filesystem::path Native(const std::string& path) {
  return std::filesystem::u8path(path);
}

}  // namespace

TempDir::TempDir() {
  std::mt19937 generator(GetCurrentProcessId() ^ GetTickCount());
  std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate = base / ("tarvel-test-" + std::to_string(generator()));
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      path_ = candidate.u8string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(Native(path_), ignored);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(Native(path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const std::string& content) {
  std::ofstream out(Native(path), std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

bool FileExists(const std::string& path) {
  return GetFileAttributesW(Native(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (auto& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

}  // namespace tarvel::testing
