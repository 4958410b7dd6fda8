#include "settings.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "plain_usage.h"
#include "system.h"

namespace tarvel_cli {
namespace {

// Options that steer the command itself rather than its job.
bool IsSetting(const CLI::Option& option) {
  static const std::set<std::string> kNot = {"help", "help-all", "version", "config",
                                             "print-config"};
  return !option.get_lnames().empty() && kNot.count(option.get_lnames().front()) == 0;
}

std::vector<CLI::App*> AllCommands(CLI::App& app) {
  std::vector<CLI::App*> commands{&app};
  for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
    commands.push_back(command);
  }
  return commands;
}

// The options, of the command and every subcommand, whose long name is `key`.
std::vector<CLI::Option*> OptionsNamed(CLI::App& app, const std::string& key) {
  std::vector<CLI::Option*> named;
  for (CLI::App* command : AllCommands(app)) {
    for (CLI::Option* option : command->get_options()) {
      const auto& names = option->get_lnames();
      if (std::find(names.begin(), names.end(), key) != names.end()) named.push_back(option);
    }
  }
  return named;
}

std::vector<std::string> SettingNames(CLI::App& app) {
  std::vector<std::string> names;
  for (CLI::App* command : AllCommands(app)) {
    for (CLI::Option* option : command->get_options()) {
      if (IsSetting(*option)) names.push_back(option->get_lnames().front());
    }
  }
  return names;
}

std::string ChosenFile(const char* variable, const std::string& otherwise) {
  const char* set = std::getenv(variable);
  return set != nullptr ? std::string(set) : otherwise;
}

// The option's refusal without the option's name in front, which the caller
// says its own way.
std::string Refusal(const CLI::Error& error, const std::string& key, const std::string& value) {
  std::string what = error.what();
  if (error.get_name() == "ValidationError") return what.substr(what.find(": ") + 2);
  return "'" + value + "' is not a value " + key + " takes";
}

std::string LayerOf(const ConfigEntry& entry) {
  return entry.where.substr(0, entry.where.rfind(':'));
}

// The key's lines in force: those of the last file that sets it; of these the
// last, unless the option takes many values.
std::map<std::string, std::vector<ConfigEntry>> InForce(const std::vector<ConfigEntry>& entries) {
  std::map<std::string, std::vector<ConfigEntry>> chosen;
  for (const ConfigEntry& entry : entries) {
    std::vector<ConfigEntry>& lines = chosen[entry.key];
    if (!lines.empty() && LayerOf(lines.back()) != LayerOf(entry)) lines.clear();
    lines.push_back(entry);
  }
  return chosen;
}

// Gives `option` the value of the lines in force. False, saying why with the
// file and line, when the option refuses it.
bool ApplyLines(CLI::Option* option, const std::string& key, const std::vector<ConfigEntry>& lines,
                std::string* error) {
  bool many = option->get_expected_max() > 1;
  // An empty value leaves the option as it was: `device =` means none.
  if (!many && lines.back().value.empty()) return true;
  option->clear();
  for (size_t i = many ? 0 : lines.size() - 1; i < lines.size(); ++i) {
    option->add_result(lines[i].value);
  }
  try {
    option->run_callback();
  } catch (const CLI::Error& refused) {
    *error = lines.back().where + ": " + key + ": " + Refusal(refused, key, lines.back().value);
    return false;
  }
  return true;
}

}  // namespace

void Settings::AddOptions(CLI::App& app) {
  app.add_option("--config", configFile_,
                 "read settings from FILE instead of the user's config file");
  app.add_flag("--print-config", print_,
               "show every setting in force and where it came from, and exit");
}

void Settings::NoteDefaults(CLI::App& app) {
  for (CLI::App* command : AllCommands(app)) {
    for (CLI::Option* option : command->get_options()) {
      std::string declared = option->get_default_str();
      option->capture_default_str();
      defaults_[option] = option->get_default_str();
      option->default_str(declared);
    }
  }
}

bool Settings::ReadLayer(const std::string& path, bool required, std::vector<ConfigEntry>* entries,
                         std::string* error) const {
  std::string home = HomeFolder();
  std::string shown = ShownPath(path, home);
  std::filesystem::path file = std::filesystem::u8path(path);
  std::error_code failure;
  if (!required && !std::filesystem::exists(file, failure) && !failure) return true;
  if (std::filesystem::is_directory(file, failure)) {
    *error = "cannot read " + shown + ": it is a folder";
    return false;
  }
  errno = 0;
  std::ifstream in(file, std::ios::binary);
  // A file of the system or the user that this user may not read (a home
  // that belongs to another user) is not this user's setting.
  if (!in && !required && errno == EACCES) return true;
  if (!in) {
    *error = "cannot read " + shown + ": " + std::strerror(errno);
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::optional<std::vector<ConfigEntry>> read = ParseConfig(text.str(), shown, home, error);
  if (!read) return false;
  entries->insert(entries->end(), read->begin(), read->end());
  return true;
}

bool Settings::Load(CLI::App& app, const SettingHooks& hooks, std::string* error) {
  std::vector<ConfigEntry> entries;
  std::string systemFile = ChosenFile("TARVEL_SYSTEM_CONFIG", SystemConfigFile());
  if (!systemFile.empty() && !ReadLayer(systemFile, false, &entries, error)) return false;
  std::string userFile =
      configFile_.empty() ? ChosenFile("TARVEL_CONFIG", UserConfigFile()) : configFile_;
  if (!userFile.empty() && !ReadLayer(userFile, !configFile_.empty(), &entries, error)) {
    return false;
  }
  std::vector<std::string> names = SettingNames(app);
  for (const ConfigEntry& entry : entries) {
    if (std::find(names.begin(), names.end(), entry.key) != names.end()) continue;
    *error = entry.where + ": unknown setting '" + entry.key + "'";
    if (std::optional<std::string> meant = Nearest(entry.key, names)) {
      *error += "; did you mean '" + *meant + "'?";
    }
    return false;
  }
  return Apply(app, hooks, entries, error);
}

bool Settings::Apply(CLI::App& app, const SettingHooks& hooks,
                     const std::vector<ConfigEntry>& entries, std::string* error) {
  std::set<const CLI::Option*> given;
  for (CLI::App* command : AllCommands(app)) {
    for (CLI::Option* option : command->get_options()) {
      if (option->count() > 0) given.insert(option);
    }
  }
  std::map<std::string, std::vector<ConfigEntry>> chosen = InForce(entries);
  // The device's variable depends on the port, so the port goes first.
  std::vector<std::string> keys;
  for (const auto& [key, lines] : chosen) keys.push_back(key);
  std::stable_partition(keys.begin(), keys.end(),
                        [](const std::string& k) { return k != "device"; });
  for (const std::string& key : keys) {
    const std::vector<ConfigEntry>& lines = chosen[key];
    std::string variable = hooks.environmentOf ? hooks.environmentOf(key) : std::string();
    const char* set = variable.empty() ? nullptr : std::getenv(variable.c_str());
    for (CLI::Option* option : OptionsNamed(app, key)) {
      if (given.count(option) != 0) continue;
      if (set != nullptr && *set != '\0') {
        sources_[option] = "environment " + variable;
        shown_[option] = set;
        continue;
      }
      if (!ApplyLines(option, key, lines, error)) return false;
      if (option->count() > 0) sources_[option] = lines.back().where;
    }
  }
  return true;
}

std::string Settings::Source(const CLI::Option* option) const {
  auto found = sources_.find(option);
  if (found != sources_.end()) return found->second;
  return option->count() > 0 ? "command line" : "default";
}

std::string Settings::ValueInForce(const CLI::Option* option, const SettingHooks& hooks,
                                   std::string* source) const {
  auto fromEnvironment = shown_.find(option);
  if (fromEnvironment != shown_.end()) return fromEnvironment->second;
  std::string value;
  if (*source != "default") {
    for (const std::string& result : option->results()) {
      value += (value.empty() ? "" : " ") + result;
    }
    return value;
  }
  auto noted = defaults_.find(option);
  value = noted != defaults_.end() ? noted->second : std::string();
  if (value.empty() && option->get_expected_max() == 0) value = "false";
  // An empty default stands for a value found later: say which.
  std::string key = option->get_lnames().front();
  std::string meaning = hooks.defaultOf ? hooks.defaultOf(key) : std::string();
  if (value.empty() && !meaning.empty()) *source = "default: " + meaning;
  return value;
}

void Settings::Print(CLI::App& app, const SettingHooks& hooks) const {
  std::vector<CLI::App*> chosen = app.get_subcommands();
  std::set<std::string> printed;
  for (CLI::App* command : AllCommands(app)) {
    bool shownWhole = command == &app || command == (chosen.empty() ? nullptr : chosen.front());
    for (CLI::Option* option : command->get_options()) {
      if (!IsSetting(*option)) continue;
      std::string key = option->get_lnames().front();
      std::string source = Source(option);
      // Another command's option shows only when a file sets it; each key once.
      if (!shownWhole && source == "default") continue;
      if (!printed.insert(key).second) continue;
      std::string value = ValueInForce(option, hooks, &source);
      std::string line = key + " = " + ConfigValueText(value);
      std::printf("%-40s # %s\n", line.c_str(), source.c_str());
    }
  }
  std::fflush(stdout);
}

}  // namespace tarvel_cli
