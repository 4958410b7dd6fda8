#include "fuzz_workspace.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz_check.h"

namespace tarvel::fuzz {
namespace {

namespace fs = std::filesystem;

void Write(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  FUZZ_CHECK(out.good());
}

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Type, permissions and content (or link target) of one entry.
std::string Describe(const fs::directory_entry& entry) {
  std::error_code error;
  fs::file_status status = entry.symlink_status(error);
  std::string mode = std::to_string(static_cast<int>(status.permissions()));
  if (fs::is_symlink(status)) return "link " + fs::read_symlink(entry.path(), error).string();
  if (fs::is_directory(status)) return "folder " + mode;
  if (fs::is_regular_file(status)) return "file " + mode + " " + Read(entry.path());
  return "other";
}

}  // namespace

Workspace::Workspace() {
  std::string pattern = fs::temp_directory_path().string() + "/tarvel-fuzz-XXXXXX";
  FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
  top_ = pattern;
  root_ = top_ + "/root";
  fs::create_directory(root_);
  fs::create_directories(top_ + "/canary/inner");
  Write(top_ + "/canary/canary.txt", "canary content\n");
  Write(top_ + "/canary/inner/deep.txt", std::string(1000, 'c'));
  Write(top_ + "/beside.txt", "a file beside the root\n");
  ResetRoot();
}

Workspace::~Workspace() {
  std::error_code ignored;
  fs::remove_all(top_, ignored);
}

std::string Workspace::KnownContent() {
  std::string content;
  for (int line = 0; content.size() < 450; ++line) content += "line " + std::to_string(line) + "\n";
  return content;
}

void Workspace::ResetRoot() {
  std::error_code error;
  // A received folder or file may have taken away write access.
  for (auto& entry : fs::recursive_directory_iterator(root_, error)) {
    if (entry.is_directory(error) && !entry.is_symlink(error)) chmod(entry.path().c_str(), 0700);
  }
  for (auto& entry : fs::directory_iterator(root_)) fs::remove_all(entry.path());
  Write(fs::path(root_) / kKnownFile, KnownContent());
  fs::create_directory(fs::path(root_) / "sub");
  fs::create_directory_symlink(top_ + "/canary", fs::path(root_) / "out");
}

std::map<std::string, std::string> Workspace::OutsideRoot() const {
  std::map<std::string, std::string> entries;
  auto walk = fs::recursive_directory_iterator(top_);
  for (auto it = fs::begin(walk); it != fs::end(walk); ++it) {
    if (it->path() == root_) {
      it.disable_recursion_pending();
      continue;
    }
    entries[fs::relative(it->path(), top_).string()] = Describe(*it);
  }
  return entries;
}

}  // namespace tarvel::fuzz
