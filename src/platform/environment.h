// SPDX-License-Identifier: MIT
// Where the library takes its platform settings from: the process environment
// for the module-wide state, or a table a test hands to its own state.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tarvel {

// Returns the value of a setting such as "TARVEL_ROOT", or nothing when unset.
using Environment = std::function<std::optional<std::string>(const std::string& name)>;

// Reads the process environment at each lookup; values are UTF-8 on Windows too.
Environment ProcessEnvironment();

// A fixed table of settings; names not in it are unset.
Environment FixedEnvironment(std::map<std::string, std::string> values);

// The process's environment variables whose names begin with `prefix`, by
// name, as they are now; names and values are UTF-8 on Windows too.
std::map<std::string, std::string> EnvironmentVariables(std::string_view prefix);

}  // namespace tarvel
