#include "plain_usage.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "text_codec.h"

namespace tarvel_cli {
namespace {

// How help names an option's value.
const std::map<std::string, std::string> kValueNames = {
    {"port", "N"},          {"device", "PATH"},     {"root", "DIR"},     {"codepage", "NAME"},
    {"on-clash", "POLICY"}, {"timeout", "SECONDS"}, {"wait", "SECONDS"}, {"config", "FILE"},
};

// A check that refuses with `why` in plain words; no label in help.
CLI::Validator PlainCheck(std::function<std::string(std::string&)> check) {
  return CLI::Validator(std::move(check), std::string());
}

std::optional<double> NumberIn(const std::string& text) {
  char* end = nullptr;
  double number = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size()) return std::nullopt;
  return number;
}

CLI::Validator Seconds(bool zeroAllowed) {
  return PlainCheck([zeroAllowed](std::string& value) -> std::string {
    std::optional<double> number = NumberIn(value);
    if (number && (*number > 0 || (zeroAllowed && *number == 0)) && *number < 1e9) return "";
    return "'" + value + "' is not a number of seconds " +
           (zeroAllowed ? "(0 or more)" : "(more than 0)");
  });
}

// Value names, defaults in the descriptions, and plain number checks.
void MakeOptionPlain(CLI::Option& option) {
  for (int index = 0;; ++index) {
    CLI::Validator* check = nullptr;
    try {
      check = option.get_validator(index);
    } catch (const CLI::OptionNotFound&) {
      break;
    }
    if (check->get_description() == "POSITIVE") *check = Seconds(false);
    if (check->get_description() == "NONNEGATIVE") *check = Seconds(true);
  }
  if (!option.get_default_str().empty()) {
    option.description(option.get_description() + " (default " + option.get_default_str() + ")");
    option.default_str(std::string());
  }
  if (option.get_expected_max() == 0) return;  // a flag
  // Given twice, the last one counts, as with most commands.
  if (option.get_expected_max() == 1) option.multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  std::string text;
  if (option.get_lnames().empty()) {
    text = option.get_expected_max() > 1 ? "..." : "";
  } else {
    std::string name = option.get_lnames().front();
    auto known = kValueNames.find(name);
    if (known != kValueNames.end()) {
      text = known->second;
    } else {
      std::transform(name.begin(), name.end(), name.begin(), ::toupper);
      text = name;
    }
  }
  if (option.get_required()) text += text.empty() ? "(required)" : " (required)";
  option.option_text(text);
  // An empty text shows the type name instead: it goes too.
  if (text.empty()) option.type_name(std::string());
}

void MakeAppPlain(CLI::App& app) {
  for (CLI::Option* option : app.get_options()) MakeOptionPlain(*option);
  for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
    MakeAppPlain(*command);
  }
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      // Two neighbours swapped count as one slip, as in "sned".
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        row[j] = std::min(row[j], diagonal);
      }
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The commands help lists, or with `hidden` every command.
std::vector<std::string> CommandNames(const CLI::App& app, bool hidden = false) {
  std::vector<std::string> names;
  for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
    if (hidden || !command->get_group().empty()) names.push_back(command->get_name());
  }
  return names;
}

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : ", ") + word;
  return text;
}

// Whether `word`, an argument before the command, takes the next one as its value.
bool TakesValue(const CLI::App& app, const std::string& word) {
  if (word.size() < 2 || word[0] != '-' || word.find('=') != std::string::npos) return false;
  for (const CLI::Option* option : app.get_options()) {
    if (option->check_name(word)) return option->get_expected_max() != 0;
  }
  return false;
}

}  // namespace

CLI::Validator PortNumber() {
  return PlainCheck([](std::string& value) -> std::string {
    char* end = nullptr;
    long number = std::strtol(value.c_str(), &end, 10);
    if (!value.empty() && *end == '\0' && number >= 0 && number <= kLargestPort) return "";
    return "'" + value + "' is not a port number: ports are 0 to " + std::to_string(kLargestPort);
  });
}

CLI::Validator ExistingFolder() {
  return PlainCheck([](std::string& value) -> std::string {
    std::error_code failure;
    if (std::filesystem::is_directory(std::filesystem::u8path(value), failure)) return "";
    return value + " is not a folder";
  });
}

CLI::Validator KnownCodePageName() {
  return PlainCheck([](std::string& value) -> std::string {
    if (KnownCodePage(value)) return "";
    return "'" + value + "' is not a code page this system knows (such as WINDOWS-1252, CP437, " +
           "ISO-8859-15 or UTF-8)";
  });
}

CLI::Validator OneOf(const std::vector<std::string>& choices) {
  return PlainCheck([choices](std::string& value) -> std::string {
    if (std::find(choices.begin(), choices.end(), value) != choices.end()) return "";
    std::string last = choices.back();
    std::vector<std::string> others(choices.begin(), choices.end() - 1);
    return "'" + value + "' is none of " + Joined(others) + " and " + last;
  });
}

void MakeUsagePlain(CLI::App& app) {
  MakeAppPlain(app);
}

std::optional<std::string> Nearest(const std::string& word,
                                   const std::vector<std::string>& candidates) {
  std::optional<std::string> best;
  size_t bestDistance = word.size() <= 3 ? 1 : 2;
  for (const std::string& candidate : candidates) {
    size_t distance = EditDistance(word, candidate);
    bool prefix = word.size() >= 2 && candidate.rfind(word, 0) == 0;
    if (prefix) distance = std::min<size_t>(distance, 1);
    if (distance <= bestDistance && (!best || distance < EditDistance(word, *best))) {
      best = candidate;
      bestDistance = distance;
    }
  }
  return best;
}

std::optional<int> CheckCommandWord(const CLI::App& app, std::vector<std::string>& arguments) {
  for (size_t at = 0; at < arguments.size(); ++at) {
    const std::string& word = arguments[at];
    if (word == "--") return std::nullopt;
    if (!word.empty() && word[0] == '-') {
      if (TakesValue(app, word)) ++at;
      continue;
    }
    if (word == "help") {
      // "help send" is "send --help": the word after is looked at next.
      arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(at));
      arguments.push_back("--help");
      if (at + 1 == arguments.size()) return std::nullopt;
      --at;
      continue;
    }
    std::vector<std::string> every = CommandNames(app, true);
    if (std::find(every.begin(), every.end(), word) != every.end()) return std::nullopt;
    std::vector<std::string> names = CommandNames(app);
    std::string message = "unknown command '" + word + "'";
    if (std::optional<std::string> meant = Nearest(word, names)) {
      return UsageError(message + "; did you mean '" + *meant + "'?");
    }
    return UsageError(message + "; the commands are " + Joined(names));
  }
  return std::nullopt;
}

namespace {

// The parser's own words for what went wrong, said plainly.
std::string PlainMessage(const CLI::App& app, const CLI::ParseError& error) {
  std::string what = error.what();
  std::string name = what.substr(0, what.find_first_of(": "));
  auto is = [&error](auto* kind) { return dynamic_cast<decltype(kind)>(&error) != nullptr; };
  if (is(static_cast<const CLI::ArgumentMismatch*>(nullptr))) return name + " needs a value";
  if (is(static_cast<const CLI::ConversionError*>(nullptr))) {
    return what.substr(0, what.find(':')) + ": not a value it takes";
  }
  if (is(static_cast<const CLI::RequiredError*>(nullptr))) {
    std::vector<CLI::App*> chosen = app.get_subcommands();
    if (chosen.empty()) return name + " is missing";
    std::string command = chosen.front()->get_name();
    return command + " needs " + name + ": see tarvel " + command + " --help";
  }
  if (is(static_cast<const CLI::ExtrasError*>(nullptr))) {
    std::string rest = what.substr(what.find(": ") + 2);
    std::string first = rest.substr(0, rest.find(' '));
    if (first.rfind("-", 0) != 0) return "unexpected argument '" + first + "'";
    std::vector<std::string> options;
    for (const CLI::Option* option : app.get_options()) {
      for (const std::string& lname : option->get_lnames()) options.push_back("--" + lname);
    }
    for (const CLI::App* command : app.get_subcommands()) {
      for (const CLI::Option* option : command->get_options()) {
        for (const std::string& lname : option->get_lnames()) options.push_back("--" + lname);
      }
    }
    std::string option = first.substr(0, first.find('='));
    std::string message = "unknown option " + option;
    if (std::optional<std::string> meant = Nearest(option, options)) {
      message += "; did you mean " + *meant + "?";
    }
    return message;
  }
  return what;
}

}  // namespace

int ReportUsageError(CLI::App& app, const CLI::ParseError& error) {
  // Help and version exit 0.
  if (dynamic_cast<const CLI::Success*>(&error) != nullptr) return app.exit(error);
  return UsageError(PlainMessage(app, error));
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "tarvel: %s\nTry 'tarvel --help' for more information.\n", message.c_str());
  return 2;
}

}  // namespace tarvel_cli
