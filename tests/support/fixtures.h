// SPDX-License-Identifier: MIT
// Helpers the tests share: what a failed result looks like, a peer's way of
// sending a file, and views of a folder that show whether anything in it
// changed.
#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/pty.h"
#include "support/temp_dir.h"

namespace tarvel::testing {

// Whether a status text reports a failure.
inline bool IsFailure(const std::string& status) {
  return status.rfind("FAIL: ", 0) == 0;
}

// Sends a file the way a peer's sender does: the header alone, a pause, then
// the content.
inline void SendAsPeer(PtyPair& peer, const std::string& name, const std::string& content,
                       int pauseMs = 300) {
  peer.Write("FILE: " + name + "|" + std::to_string(content.size()) + "|");
  std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  peer.Write(content);
}

// Every entry beneath `folder` (symbolic links not followed), as relative
// path -> type, permissions and content, so that any change shows.
inline std::map<std::string, std::string> Snapshot(const std::string& folder) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> entries;
  for (auto& entry : fs::recursive_directory_iterator(folder)) {
    fs::file_status status = entry.symlink_status();
    std::string what = std::to_string(static_cast<int>(status.permissions())) + " ";
    if (fs::is_symlink(status)) {
      what += "link " + fs::read_symlink(entry.path()).string();
    } else if (fs::is_regular_file(status)) {
      what += "file " + ReadWholeFile(entry.path());
    } else {
      what += fs::is_directory(status) ? "folder" : "other";
    }
    entries[fs::relative(entry.path(), folder).string()] = what;
  }
  return entries;
}

// Names of the entries directly in `folder`, temporaries included.
inline std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace tarvel::testing
