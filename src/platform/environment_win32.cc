// SPDX-License-Identifier: MIT
// The process environment read in UTF-16, so that a device root with any name
// arrives intact: the 8-bit getenv would give it in the ANSI code page.
#include <windows.h>

#include <cctype>
#include <cwchar>

#include "platform/environment.h"
#include "platform/win32_support.h"

namespace tarvel {

Environment ProcessEnvironment() {
  return [](const std::string& name) -> std::optional<std::string> {
    std::wstring wideName = ToWide(name);
    DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (size == 0) return std::nullopt;
    std::wstring value(size, L'\0');
    DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(), size);
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    value.resize(length < size ? length : 0);
    return FromWide(value);
  };
}

std::map<std::string, std::string> EnvironmentVariables(std::string_view prefix) {
  std::map<std::string, std::string> found;
  wchar_t* block = GetEnvironmentStringsW();
  if (block == nullptr) return found;
  // One "name=value" after another, each terminated, the block by an empty one.
  // Names that begin with '=' are the shell's per-drive folders, not variables.
  // Names are found whatever their case, as GetEnvironmentVariable finds
  // them, and kept in upper case.
  for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
    std::string variable = FromWide(entry);
    size_t equals = variable.find('=', 1);
    if (equals == std::string::npos) continue;
    std::string name = variable.substr(0, equals);
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    found.emplace(name, variable.substr(equals + 1));
  }
  FreeEnvironmentStringsW(block);
  return found;
}

}  // namespace tarvel
