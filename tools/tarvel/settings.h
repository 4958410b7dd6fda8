// SPDX-License-Identifier: MIT
// Settings from config files: /etc/tarvel.conf, then the user's own file,
// each line `key = value` naming a long option. The command line wins over
// the environment variable an option stands for (TARVEL_ROOT ...), which wins
// over the user's file, which wins over /etc. --print-config shows each
// setting in force and where it came from.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "config_file.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace tarvel_cli {

// What the settings need to know of the command's options.
struct SettingHooks {
  // The environment variable that `key` stands for when set, else empty.
  std::function<std::string(const std::string& key)> environmentOf;
  // What an unset `key` means, for --print-config (/dev/rfcomm0), else empty.
  std::function<std::string(const std::string& key)> defaultOf;
};

class Settings {
 public:
  // Adds --config FILE and --print-config to `app`.
  void AddOptions(CLI::App& app);
  // Notes every option's default; call before parsing.
  void NoteDefaults(CLI::App& app);
  // Once the command line is parsed: reads the config files and gives each
  // option that the command line left alone the value they set. False, saying
  // why with the file and line, on a file that cannot be read, an unknown key
  // or a value its option refuses.
  bool Load(CLI::App& app, const SettingHooks& hooks, std::string* error);

  bool PrintRequested() const { return print_; }
  // Every setting of `app` and of its chosen command in force, one
  // `key = value  # source` line each, a config line as it stands.
  void Print(CLI::App& app, const SettingHooks& hooks) const;

 private:
  bool ReadLayer(const std::string& path, bool required, std::vector<ConfigEntry>* entries,
                 std::string* error) const;
  bool Apply(CLI::App& app, const SettingHooks& hooks, const std::vector<ConfigEntry>& entries,
             std::string* error);
  std::string Source(const CLI::Option* option) const;
  // The value of `option` as --print-config shows it; a default's `source`
  // says what an empty value stands for.
  std::string ValueInForce(const CLI::Option* option, const SettingHooks& hooks,
                           std::string* source) const;

  std::string configFile_;
  bool print_ = false;
  std::map<const CLI::Option*, std::string> defaults_;
  std::map<const CLI::Option*, std::string> sources_;  // set by a file or the environment
  std::map<const CLI::Option*, std::string> shown_;    // the value from the environment
};

}  // namespace tarvel_cli
