// SPDX-License-Identifier: MIT
// The few facts of the operating system the command needs beyond the library:
// its arguments and environment in UTF-8, the clock, the terminal. One backend
// per system (system_posix.cc, system_win32.cc).
#pragma once

#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarvel_cli {

// The command line in UTF-8, the program name first.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// The environment variable `name` in UTF-8, or nothing when it is unset.
std::optional<std::string> EnvironmentVariable(const std::string& name);

// The environment variables whose names begin with `prefix`, by name, in
// UTF-8 (on Windows found whatever the case of their names, which are given
// in upper case).
std::map<std::string, std::string> TarvelVariables(const std::string& prefix);

// The calendar fields of `when` in local time.
std::tm LocalTime(std::time_t when);

bool StandardErrorIsTerminal();

// The device behind COM port `port` when nothing in the environment names one.
std::string DefaultDevice(int port);

// Where the incoming port settings go, for messages.
std::string RegistryLocation();

// The user's home folder in UTF-8 ($HOME, %USERPROFILE%); empty when unknown.
std::string HomeFolder();

// The config file of the whole system (/etc/tarvel.conf) and the user's own
// ($XDG_CONFIG_HOME/tarvel/config, %APPDATA%\tarvel\config); empty when
// there is none.
std::string SystemConfigFile();
std::string UserConfigFile();

// Why the tty at `device` cannot be opened, found before the library tries:
// it is missing, or this user may not use it (then which group grants it).
// Nothing when no reason shows, and on systems where a port is no file.
std::optional<std::string> DeviceProblem(const std::string& device);

// What to say when the system's Bluetooth service took no incoming port
// because it is not there; empty where the system has none to start.
std::string MissingBluetoothService();

}  // namespace tarvel_cli
