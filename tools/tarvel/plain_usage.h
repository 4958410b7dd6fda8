// SPDX-License-Identifier: MIT
// Usage in plain words: option checks whose refusals say what is allowed, help
// without the parser's type labels, usage errors that start with "tarvel:",
// and an unknown command named with the nearest one.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
class ParseError;
class Validator;
}  // namespace CLI

namespace tarvel_cli {

// The largest port number: COM ports and RFCOMM ttys both stop at 255.
constexpr int kLargestPort = 255;

CLI::Validator PortNumber();
CLI::Validator ExistingFolder();
CLI::Validator KnownCodePageName();
CLI::Validator OneOf(const std::vector<std::string>& choices);

// Gives every option of `app` and its subcommands a plain value name (--port N)
// in help, its default in its description, and checks of numbers that refuse
// in plain words. Call once every option is declared.
void MakeUsagePlain(CLI::App& app);

// The word among `candidates` nearest to `word`, when one is near enough to be
// what was meant.
std::optional<std::string> Nearest(const std::string& word,
                                   const std::vector<std::string>& candidates);

// Looks at the command word in `arguments` (without the program name) before
// parsing: `help [COMMAND]` becomes `[COMMAND] --help`. An unknown command is
// reported, with the nearest known one, as the exit status 2.
std::optional<int> CheckCommandWord(const CLI::App& app, std::vector<std::string>& arguments);

// Reports a usage error as "tarvel: ..." with where to find help; returns the
// exit status (0 for help and version, else 2).
int ReportUsageError(CLI::App& app, const CLI::ParseError& error);

// Prints "tarvel: <message>" and the pointer to --help; returns 2.
int UsageError(const std::string& message);

}  // namespace tarvel_cli
