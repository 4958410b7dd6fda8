// SPDX-License-Identifier: MIT
// The platform's registry, where the Bluetooth stack reads its serial port settings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/environment.h"

namespace tarvel {

struct RegistryValue {
  enum class Type { Dword, String };
  std::string name;
  Type type = Type::Dword;
  uint32_t dword = 0;
  std::u16string text;  // for Type::String
};

// Creates or opens `key` below HKEY_LOCAL_MACHINE and sets `values` in order,
// replacing values of the same name and keeping everything else.
// On failure returns false and says why in `error`.
bool WriteRegistryValues(const Environment& env, const std::string& key,
                         const std::vector<RegistryValue>& values, std::string* error);

}  // namespace tarvel
