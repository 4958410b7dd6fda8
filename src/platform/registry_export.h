// SPDX-License-Identifier: MIT
// The text format of a Windows registry export ("Windows Registry Editor
// Version 5.00", what regedit writes and imports), held in memory so that values
// can be set while everything else in the text stays as it was.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace tarvel {

struct RegistryExport {
  // A value or a comment of a section, kept as the text had it. A binary value
  // may continue over several lines, each but the last ending in a backslash.
  struct Entry {
    bool is_value = false;
    std::string name;  // unescaped value name; empty for the default value "@"
    std::vector<std::string> lines;
  };
  struct Section {
    std::string key;  // the text between the brackets, e.g. HKEY_LOCAL_MACHINE\Software
    std::vector<Entry> entries;
  };

  std::string header = "Windows Registry Editor Version 5.00";  // as read, with any BOM
  std::string line_end = "\n";        // the text's own line ending is kept
  std::vector<std::string> preamble;  // comments before the first section
  std::vector<Section> sections;
};

// Reads an export. On text it does not understand (no header line, a line
// outside any section, a section header without its ']', a line in a section
// that is not a value or comment) returns false with "line N: why" in `error`.
bool ParseRegistryExport(std::string_view content, RegistryExport* file, std::string* error);

// Sets `value` under `key` (the full key, root included): the first value of
// the same name in the key's sections is replaced in place and later ones are
// dropped; a new value goes to the end of the key's last section, a new key to
// the end. Keys and value names compare without regard to ASCII case, as on Windows.
void SetRegistryValue(RegistryExport* file, const std::string& key, const RegistryValue& value);

// The text of `file`: its header, then a blank line before each block of lines.
std::string RenderRegistryExport(const RegistryExport& file);

}  // namespace tarvel
