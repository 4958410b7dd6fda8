#include "config_file.h"

namespace tarvel_cli {
namespace {

constexpr const char* kBlanks = " \t\r";

std::string Trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The value part of a line: quoted it is taken as it stands, else it ends at a
// # that follows a blank.
std::optional<std::string> ValueOf(const std::string& raw) {
  std::string value = Trimmed(raw);
  if (!value.empty() && value[0] == '#') return std::string();
  if (!value.empty() && value[0] == '"') {
    size_t close = value.find('"', 1);
    if (close == std::string::npos) return std::nullopt;
    std::string rest = Trimmed(value.substr(close + 1));
    if (!rest.empty() && rest[0] != '#') return std::nullopt;
    return value.substr(1, close - 1);
  }
  for (size_t at = 1; at < value.size(); ++at) {
    if (value[at] == '#' && (value[at - 1] == ' ' || value[at - 1] == '\t')) {
      return Trimmed(value.substr(0, at));
    }
  }
  return value;
}

std::string ExpandHome(const std::string& value, const std::string& home) {
  if (home.empty()) return value;
  if (value == "~") return home;
  if (value.rfind("~/", 0) == 0) return home + value.substr(1);
  return value;
}

}  // namespace

std::optional<std::vector<ConfigEntry>> ParseConfig(const std::string& text,
                                                    const std::string& shownName,
                                                    const std::string& home, std::string* error) {
  std::vector<ConfigEntry> entries;
  size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = Trimmed(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    std::string where = shownName + ":" + std::to_string(number);
    size_t equals = line.find('=');
    std::string key = Trimmed(line.substr(0, equals));
    if (equals == std::string::npos || key.empty()) {
      *error = where + ": not a setting: write key = value, such as device = /dev/ttyUSB0";
      return std::nullopt;
    }
    std::optional<std::string> value = ValueOf(line.substr(equals + 1));
    if (!value) {
      *error = where + ": " + key + ": the quoted value is not closed, or text follows it";
      return std::nullopt;
    }
    entries.push_back({key, ExpandHome(*value, home), where});
  }
  return entries;
}

std::string ShownPath(const std::string& path, const std::string& home) {
  if (home.empty() || path.compare(0, home.size(), home) != 0) return path;
  if (path.size() > home.size() && path[home.size()] != '/' && path[home.size()] != '\\') {
    return path;
  }
  return "~" + path.substr(home.size());
}

std::string ConfigValueText(const std::string& value) {
  bool plain = value == Trimmed(value) && value.find('#') == std::string::npos &&
               (value.empty() || value[0] != '"');
  return plain ? value : "\"" + value + "\"";
}

}  // namespace tarvel_cli
