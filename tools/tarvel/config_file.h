// SPDX-License-Identifier: MIT
// The command's config files: lines of `key = value`, where a key is the name
// of a long option without its dashes. Blank lines and lines starting with #
// are skipped; a # after a blank ends the value, unless the value is quoted.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarvel_cli {

struct ConfigEntry {
  std::string key;
  std::string value;
  std::string where;  // "/etc/tarvel.conf:3": the file as shown, and the line
};

// The entries of `text`, the content of the file shown as `shownName`; a
// value starting with ~/ has it replaced by `home`. Nothing, saying why (with
// the file and line), when a line is not `key = value`.
std::optional<std::vector<ConfigEntry>> ParseConfig(const std::string& text,
                                                    const std::string& shownName,
                                                    const std::string& home, std::string* error);

// `path` with the home folder shown as ~, for messages.
std::string ShownPath(const std::string& path, const std::string& home);

// The value as a config line would hold it: quoted when it would not read back.
std::string ConfigValueText(const std::string& value);

}  // namespace tarvel_cli
