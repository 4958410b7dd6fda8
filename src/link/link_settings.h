// SPDX-License-Identifier: MIT
// The settings of one link: the values that the process environment gives the
// default link (TARVEL_ROOT, TARVEL_COM3, ...), kept in a table of the link's
// own, which any thread may change while the link's listener reads it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/device_files.h"
#include "platform/environment.h"
#include "platform/mutex.h"

namespace tarvel {

class LinkSettings {
 public:
  LinkSettings() = default;
  // A table that starts with `values`, each under its variable's name
  // ("TARVEL_ROOT").
  explicit LinkSettings(std::map<std::string, std::string> values);
  LinkSettings(const LinkSettings&) = delete;
  LinkSettings& operator=(const LinkSettings&) = delete;

  // The value under `name` ("TARVEL_ROOT"), or nothing.
  std::optional<std::string> Lookup(const std::string& name) const EXCLUDES(lock_);
  // Sets `name` to `value`; an empty value removes it.
  void Put(const std::string& name, const std::string& value) EXCLUDES(lock_);

 private:
  mutable Mutex lock_;
  std::map<std::string, std::string> values_ GUARDED_BY(lock_);
};

// The environment a link's state reads: the link's settings for every
// "TARVEL_" name, and the process environment, at each lookup, for the
// system's own names (HOME, XDG_RUNTIME_DIR, DBUS_SYSTEM_BUS_ADDRESS, ...),
// which locate the system's services rather than set up the link.
Environment SettingsEnvironment(std::shared_ptr<const LinkSettings> settings);

// The variable that the setting `key` ("root", "com3") stands for
// ("TARVEL_ROOT"), when `value` is one the setting can hold; nothing, saying
// why, for an unknown key or a value it cannot hold. An empty value is always
// held: it removes the setting.
std::optional<std::string> CheckedSettingName(std::string_view key, const std::string& value,
                                              std::string* why);

// How many Bluetooth peers the link's incoming port serves at once:
// The clash policy `value` names (overwrite, rename or skip); nothing for any
// other value.
std::optional<ClashPolicy> ClashPolicyNamed(std::string_view value);
// The switch `value` names: on for 1, true, yes or on, off for 0, false, no or
// off; nothing for any other value.
std::optional<bool> SwitchNamed(std::string_view value);

// TARVEL_PEERS, 1 when unset or not a number from 1 to kMaxPeers.
inline constexpr int kMaxPeers = 64;
int PeerLimit(const Environment& env);

}  // namespace tarvel
