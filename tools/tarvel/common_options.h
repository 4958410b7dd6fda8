// SPDX-License-Identifier: MIT
// The options every subcommand shares, and how they reach the library: as
// settings of the command's link (command_link.h).
#pragma once

#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace tarvel_cli {

struct CommonOptions {
  int port = 0;          // the library's COM port number
  std::string device;    // a tty to use as that port instead of /dev/rfcomm<port>
  std::string root;      // device root: where device paths like \a.txt live
  std::string codepage;  // the link's 8-bit code page
  bool quiet = false;    // no progress and no chatter, only results and errors
  bool verbose = false;  // what the command does, on standard error
  bool json = false;     // results as JSON lines (JsonLines), nothing else on stdout
};

void AddCommonOptions(CLI::App& app, CommonOptions& options);

// Sets the link's com<port>, root and codepage as the options ask. False,
// saying why, when the root is not a folder, or the environment or an option
// holds a setting the link refuses.
bool ApplyCommonOptions(const CommonOptions& options, std::string* error);

// The command's device root: --root, else TARVEL_ROOT, else the folder
// Tarvel in the user's home, which is created when it is missing. (The
// library on its own would use the working directory, and a listener started
// in a home folder would let any peer write into it.) Sets the link's root to
// it and returns it; nothing, saying why, when there is none.
std::optional<std::string> UseDeviceRoot(std::string* error);

// Adds --on-clash: what a received file does when its name is taken.
void AddClashOption(CLI::App& command, std::string& onClash);

// The clash policy in effect: `chosen` (from --on-clash) when given, which
// goes to the link as its on_clash, else TARVEL_ON_CLASH, else
// overwrite. Nothing, saying why, when the environment holds a value the
// library would refuse every file for.
std::optional<std::string> UseClashPolicy(const std::string& chosen, std::string* error);

// The link's code page as the library will use it.
std::string LinkCodePage();

// The device behind the port as the user named it (/dev/ttyUSB0,
// bluetooth:ADDRESS), else the port's own device (/dev/rfcomm0), for messages.
std::string DescribePort(const CommonOptions& options);

// Whether a device is named for the port, by --device or TARVEL_COM<port>.
bool DeviceNamed(const CommonOptions& options);

// How the config files learn which environment variable stands for an option,
// and what an option left unset means.
struct SettingHooks;
SettingHooks CommonSettingHooks(const CommonOptions& options);

}  // namespace tarvel_cli
