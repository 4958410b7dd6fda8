// SPDX-License-Identifier: MIT
// The subcommands. Each Add... declares its subcommand, its options and the
// function that runs it once the command line has been parsed.
#pragma once

#include <functional>
#include <vector>

#include "common_options.h"

namespace CLI {
class App;
}

namespace tarvel_cli {

struct Command {
  CLI::App* app;
  std::function<int()> run;  // returns the exit status
};
using CommandList = std::vector<Command>;

void AddListenCommand(CLI::App& app, const CommonOptions& options, CommandList& commands);
void AddSendCommand(CLI::App& app, const CommonOptions& options, CommandList& commands);
void AddGetCommand(CLI::App& app, const CommonOptions& options, CommandList& commands);
void AddListCommand(CLI::App& app, const CommonOptions& options, CommandList& commands);
void AddTextCommand(CLI::App& app, const CommonOptions& options, CommandList& commands);
void AddPollCommand(CLI::App& app, const CommonOptions& options, CommandList& commands);
void AddRegisterCommand(CLI::App& app, const CommonOptions& options, CommandList& commands);
void AddCableCommand(CLI::App& app, const CommonOptions& options, CommandList& commands);
void AddDemoCommand(CLI::App& app, const CommonOptions& options, CommandList& commands);
// Every subcommand this system has: on Windows no cable, demo or agent, which
// need ptys and child processes.
void AddCommands(CLI::App& app, const CommonOptions& options, CommandList& commands);

void AddPullCommand(CLI::App& app, const CommonOptions& options, CommandList& commands);
// Gives the commands that report results (listen, send, get, list, pull) the
// flag --json.
void AddJsonFlags(CommandList& commands, CommonOptions& options);

// Hidden: one device of the demo, driven line by line through its standard input.
void AddAgentCommand(CLI::App& app, const CommonOptions& options, CommandList& commands);

}  // namespace tarvel_cli
