// The demo's files: content to send, and the byte-for-byte comparison that
// decides the verdict.
#pragma once

#include <optional>
#include <string>

#include "file_compare.h"

namespace tarvel_cli {

bool WriteRandomFile(const std::string& path, long long size);
bool WriteTextFile(const std::string& path, const std::string& text);
std::string ReadWholeFile(const std::string& path);
// The size in bytes, or -1 when the file is missing.
long long FileSize(const std::string& path);

}  // namespace tarvel_cli
