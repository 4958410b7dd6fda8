// SPDX-License-Identifier: MIT
// Windows gives the command line and the environment in UTF-16; the command
// works in UTF-8 throughout, so both are converted here.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#include <stdlib.h>
#include <time.h>

#include <cstdio>

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

// The library reads the process environment in UTF-16; the C runtime keeps a
// copy of its own for getenv, so both are set.
void SetEnvironment(const std::string& name, const std::string& value) {
  WideString wideName = Utf8ToWide(name);
  WideString wideValue = Utf8ToWide(value);
  SetEnvironmentVariableW(wideName.c_str(), wideValue.c_str());
  _wputenv_s(wideName.c_str(), wideValue.c_str());
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
