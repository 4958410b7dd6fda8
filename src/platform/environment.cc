#include "platform/environment.h"

#include <utility>

namespace tarvel {

Environment FixedEnvironment(std::map<std::string, std::string> values) {
  return [values = std::move(values)](const std::string& name) -> std::optional<std::string> {
    auto found = values.find(name);
    if (found == values.end()) return std::nullopt;
    return found->second;
  };
}

}  // namespace tarvel
