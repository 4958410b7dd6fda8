// SPDX-License-Identifier: MIT
// Windows gives the command line and the environment in UTF-16; the command
// works in UTF-8 throughout, so both are converted here.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <cwchar>

#include "system.h"
#include "text_codec.h"

namespace tarvel_cli {

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(WideToUtf8(WideString(wide[i])));
  LocalFree(wide);
  return arguments;
}

std::optional<std::string> EnvironmentVariable(const std::string& name) {
  const wchar_t* value = _wgetenv(Utf8ToWide(name).c_str());
  if (value == nullptr) return std::nullopt;
  return WideToUtf8(WideString(value));
}

std::map<std::string, std::string> TarvelVariables(const std::string& prefix) {
  std::map<std::string, std::string> found;
  wchar_t* block = GetEnvironmentStringsW();
  if (block == nullptr) return found;
  // "name=value" after "name=value", the block ended by an empty one; names
  // beginning with '=' are the shell's per-drive folders.
  for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
    std::string variable = WideToUtf8(WideString(entry));
    size_t equals = variable.find('=', 1);
    if (equals == std::string::npos) continue;
    std::string name = variable.substr(0, equals);
    for (char& c : name) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (name.compare(0, prefix.size(), prefix) == 0)
      found.emplace(name, variable.substr(equals + 1));
  }
  FreeEnvironmentStringsW(block);
  return found;
}

std::tm LocalTime(std::time_t when) {
  std::tm local{};
  localtime_s(&local, &when);
  return local;
}

bool StandardErrorIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::string DefaultDevice(int port) {
  return "\\\\.\\COM" + std::to_string(port);
}

std::string RegistryLocation() {
  return "the registry under HKEY_LOCAL_MACHINE";
}

std::string HomeFolder() {
  const wchar_t* home = _wgetenv(L"USERPROFILE");
  return home != nullptr ? WideToUtf8(WideString(home)) : "";
}

namespace {

// `file` in the tarvel folder beneath the folder that `variable` names.
std::string FileBeneath(const wchar_t* variable, const char* file) {
  const wchar_t* folder = _wgetenv(variable);
  if (folder == nullptr || *folder == L'\0') return std::string();
  return WideToUtf8(WideString(folder)) + "\\tarvel\\" + file;
}

}  // namespace

std::string SystemConfigFile() {
  return FileBeneath(L"PROGRAMDATA", "config");
}

std::string UserConfigFile() {
  return FileBeneath(L"APPDATA", "config");
}

// A COM port is no file to look at: the library's own reason says it all.
std::optional<std::string> DeviceProblem(const std::string&) {
  return std::nullopt;
}

std::string MissingBluetoothService() {
  return std::string();
}

}  // namespace tarvel_cli
