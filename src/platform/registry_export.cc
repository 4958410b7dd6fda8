#include "platform/registry_export.h"

#include <cstdio>
#include <optional>
#include <utility>

#include "platform/codepage.h"

namespace tarvel {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool Report(std::string* error, std::string message) {
  *error = std::move(message);
  return false;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string_view TrimRight(std::string_view text) {
  size_t end = text.find_last_not_of(" \t\r");
  return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

std::vector<std::string> SplitLines(std::string_view content) {
  std::vector<std::string> lines;
  while (!content.empty()) {
    size_t end = content.find('\n');
    std::string_view line = content.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
  }
  return lines;
}

// The name of a value line (`"Name"=...` or `@=...`) and where its data starts.
std::optional<std::pair<std::string, size_t>> ParseValueName(std::string_view line) {
  if (StartsWith(line, "@=")) return std::make_pair(std::string(), size_t{2});
  if (line.empty() || line[0] != '"') return std::nullopt;
  std::string name;
  for (size_t at = 1; at < line.size(); ++at) {
    if (line[at] == '"') {
      if (at + 1 < line.size() && line[at + 1] == '=') return std::make_pair(name, at + 2);
      return std::nullopt;
    }
    if (line[at] == '\\' && at + 1 < line.size()) ++at;
    name += line[at];
  }
  return std::nullopt;
}

bool Fail(std::string* error, size_t line, const std::string& why) {
  return Report(error, "line " + std::to_string(line) + ": " + why);
}

// Appends the value starting at lines[*at] to `section`, with its continuation lines.
bool ParseValue(const std::vector<std::string>& lines, size_t* at,
                RegistryExport::Section* section) {
  std::string_view first = TrimRight(lines[*at]);
  auto name = ParseValueName(first);
  if (!name) return false;
  RegistryExport::Entry entry{true, name->first, {lines[*at]}};
  bool binary = StartsWith(first.substr(name->second), "hex");
  auto continues = [](std::string_view line) { return !line.empty() && line.back() == '\\'; };
  while (binary && continues(TrimRight(entry.lines.back())) && *at + 1 < lines.size()) {
    entry.lines.push_back(lines[++*at]);
  }
  section->entries.push_back(std::move(entry));
  return true;
}

std::string Quote(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// regedit writes a string that holds line breaks or NULs as hex(1): its UTF-16LE
// bytes with the terminator, since a quoted string cannot hold them.
std::string HexString(std::u16string_view text) {
  std::string hex = "hex(1):";
  char byte[4];
  for (char16_t unit : std::u16string(text) + u'\0') {
    for (unsigned part : {unsigned(unit & 0xFF), unsigned(unit >> 8)}) {
      std::snprintf(byte, sizeof byte, "%02x", part);
      hex += byte + std::string(",");
    }
  }
  hex.pop_back();
  return hex;
}

std::string ValueLine(const RegistryValue& value) {
  std::string line = (value.name.empty() ? "@" : Quote(value.name)) + "=";
  if (value.type == RegistryValue::Type::Dword) {
    char data[16];
    std::snprintf(data, sizeof data, "dword:%08x", static_cast<unsigned>(value.dword));
    return line + data;
  }
  if (value.text.find_first_of(u"\r\n" + std::u16string(1, u'\0')) != std::u16string::npos) {
    return line + HexString(value.text);
  }
  return line + Quote(Utf16ToUtf8(value.text));
}

}  // namespace

bool ParseRegistryExport(std::string_view content, RegistryExport* file, std::string* error) {
  std::vector<std::string> lines = SplitLines(content);
  std::string_view first = lines.empty() ? std::string_view() : TrimRight(lines[0]);
  if (StartsWith(first, kUtf8Bom)) first.remove_prefix(kUtf8Bom.size());
  if (first != kHeader) {
    return Fail(error, 1, "not a registry export (expected \"" + std::string(kHeader) + "\")");
  }
  file->header = lines[0];
  size_t first_end = content.find('\n');
  if (first_end != std::string_view::npos && first_end > 0 && content[first_end - 1] == '\r') {
    file->line_end = "\r\n";
  }
  for (size_t at = 1; at < lines.size(); ++at) {
    std::string_view line = TrimRight(lines[at]);
    RegistryExport::Section* current = file->sections.empty() ? nullptr : &file->sections.back();
    if (line.empty()) continue;
    if (line[0] == ';') {
      if (current) current->entries.push_back(RegistryExport::Entry{false, "", {lines[at]}});
      if (!current) file->preamble.push_back(lines[at]);
    } else if (line[0] == '[') {
      if (line.size() < 3 || line.back() != ']') {
        return Fail(error, at + 1, "key header without closing ']'");
      }
      file->sections.push_back(
          RegistryExport::Section{std::string(line.substr(1, line.size() - 2)), {}});
    } else if (!current) {
      return Fail(error, at + 1, "text outside any [key] section");
    } else if (!ParseValue(lines, &at, current)) {
      return Fail(error, at + 1, "not a value line");
    }
  }
  return true;
}

void SetRegistryValue(RegistryExport* file, const std::string& key, const RegistryValue& value) {
  RegistryExport::Entry entry{true, value.name, {ValueLine(value)}};
  bool placed = false;
  RegistryExport::Section* last = nullptr;
  for (RegistryExport::Section& section : file->sections) {
    if (!EqualsIgnoringCase(section.key, key)) continue;
    last = &section;
    auto& entries = section.entries;
    for (auto it = entries.begin(); it != entries.end();) {
      if (!it->is_value || !EqualsIgnoringCase(it->name, value.name)) {
        ++it;
      } else if (placed) {
        it = entries.erase(it);
      } else {
        *it++ = entry;
        placed = true;
      }
    }
  }
  if (placed) return;
  if (!last) last = &file->sections.emplace_back(RegistryExport::Section{key, {}});
  last->entries.push_back(std::move(entry));
}

std::string RenderRegistryExport(const RegistryExport& file) {
  const std::string& end = file.line_end;
  std::string out = file.header + end;
  if (!file.preamble.empty()) out += end;
  for (const std::string& line : file.preamble) out += line + end;
  for (const RegistryExport::Section& section : file.sections) {
    out += end + "[" + section.key + "]" + end;
    for (const RegistryExport::Entry& entry : section.entries) {
      for (const std::string& line : entry.lines) out += line + end;
    }
  }
  return out;
}

}  // namespace tarvel
