// Comparing a file with its copy byte for byte: the demo's verdict, and what
// `tarvel send --verify` decides by.
#pragma once

#include <optional>
#include <string>

namespace tarvel_cli {

// Nothing when the two files (UTF-8 paths) hold the same bytes; otherwise what
// differs: "missing", "unreadable", "first difference at byte N", or
// "M bytes instead of N, first difference at byte K". Reads both in blocks, so
// a file of any size costs little memory.
std::optional<std::string> CompareFiles(const std::string& original, const std::string& copy);

}  // namespace tarvel_cli
