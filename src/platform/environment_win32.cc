// SPDX-License-Identifier: MIT
// The process environment read in UTF-16, so that a device root with any name
// arrives intact: the 8-bit getenv would give it in the ANSI code page.
#include <windows.h>

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

}  // namespace tarvel
