// SPDX-License-Identifier: MIT
// The process environment, read through the C library.
#include <cstdlib>

#include "platform/environment.h"

extern char** environ;

namespace tarvel {

Environment ProcessEnvironment() {
  return [](const std::string& name) -> std::optional<std::string> {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
}

std::map<std::string, std::string> EnvironmentVariables(std::string_view prefix) {
  std::map<std::string, std::string> found;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view variable(*entry);
    size_t equals = variable.find('=');
    if (equals == std::string_view::npos || variable.compare(0, prefix.size(), prefix) != 0) {
      continue;
    }
    found.emplace(variable.substr(0, equals), variable.substr(equals + 1));
  }
  return found;
}

}  // namespace tarvel
