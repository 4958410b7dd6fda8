// SPDX-License-Identifier: MIT
#include "link/link_settings.h"

#include <climits>
#include <utility>

#include "platform/codepage.h"

namespace tarvel {
namespace {

constexpr std::string_view kPrefix = "TARVEL_";

// A decimal number without sign or leading zero, within `lowest`..`highest`.
std::optional<long long> Number(std::string_view text, long long lowest, long long highest) {
  if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  long long number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + (c - '0');
  }
  if (number < lowest || number > highest) return std::nullopt;
  return number;
}

// Why `value` is no value of the setting `key`; empty when it is one. Keys
// with a free value (a path) hold anything.
std::string Refusal(std::string_view key, const std::string& value) {
  if (key == "on_clash") {
    if (ClashPolicyNamed(value)) return "";
    return "on_clash is overwrite, rename or skip, not " + value;
  }
  if (key == "create_folders") {
    if (SwitchNamed(value)) return "";
    return "create_folders is 1 or 0, not " + value;
  }
  if (key == "codepage") {
    if (WideToCodePage(u"", value)) return "";
    return "unknown code page " + value;
  }
  if (key == "peers") {
    if (Number(value, 1, kMaxPeers)) return "";
    return "peers is a number from 1 to " + std::to_string(kMaxPeers) + ", not " + value;
  }
  return "";
}

bool KnownKey(std::string_view key) {
  for (const char* known :
       {"root", "codepage", "registry", "on_clash", "create_folders", "line_records", "peers"}) {
    if (key == known) return true;
  }
  // "com<n>", n a port number as the library names the port's variable.
  return key.size() > 3 && key.compare(0, 3, "com") == 0 && Number(key.substr(3), 0, INT_MAX);
}

}  // namespace

std::optional<ClashPolicy> ClashPolicyNamed(std::string_view value) {
  if (value == "overwrite") return ClashPolicy::Overwrite;
  if (value == "rename") return ClashPolicy::Rename;
  if (value == "skip") return ClashPolicy::Skip;
  return std::nullopt;
}

std::optional<bool> SwitchNamed(std::string_view value) {
  for (const char* on : {"1", "true", "yes", "on"}) {
    if (value == on) return true;
  }
  for (const char* off : {"0", "false", "no", "off"}) {
    if (value == off) return false;
  }
  return std::nullopt;
}

LinkSettings::LinkSettings(std::map<std::string, std::string> values)
    : values_(std::move(values)) {}

std::optional<std::string> LinkSettings::Lookup(const std::string& name) const {
  MutexLock guard(lock_);
  auto found = values_.find(name);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

void LinkSettings::Put(const std::string& name, const std::string& value) {
  MutexLock guard(lock_);
  if (value.empty()) {
    values_.erase(name);
  } else {
    values_[name] = value;
  }
}

Environment SettingsEnvironment(std::shared_ptr<const LinkSettings> settings) {
  return [settings = std::move(settings),
          system = ProcessEnvironment()](const std::string& name) -> std::optional<std::string> {
    if (name.compare(0, kPrefix.size(), kPrefix) == 0) return settings->Lookup(name);
    return system(name);
  };
}

std::optional<std::string> CheckedSettingName(std::string_view key, const std::string& value,
                                              std::string* why) {
  if (!KnownKey(key)) {
    *why = "unknown setting \"" + std::string(key) + "\"";
    return std::nullopt;
  }
  if (!value.empty()) {
    std::string refusal = Refusal(key, value);
    if (!refusal.empty()) {
      *why = refusal;
      return std::nullopt;
    }
  }
  std::string name(kPrefix);
  for (char c : key) name += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return name;
}

int PeerLimit(const Environment& env) {
  std::optional<std::string> value = env("TARVEL_PEERS");
  std::optional<long long> peers = value ? Number(*value, 1, kMaxPeers) : std::nullopt;
  return peers ? static_cast<int>(*peers) : 1;
}

}  // namespace tarvel
