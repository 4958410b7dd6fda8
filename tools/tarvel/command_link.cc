// SPDX-License-Identifier: MIT
#include "command_link.h"

#include <cstdlib>
#include <map>
#include <optional>
#include <vector>

#include "platform/mutex.h"
#include "system.h"
#include "text_codec.h"

namespace tarvel_cli {
namespace {

constexpr const char* kPrefix = "TARVEL_";

struct LinkSetup {
  TarvelLink* link = nullptr;
  std::string environmentRefusal;
};

// The settings the command made, by key; a look at them makes no link.
tarvel::Mutex madeLock;
std::map<std::string, std::string> madeByCommand GUARDED_BY(madeLock);

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

int Set(TarvelLink* link, const std::string& key, const std::string& value) {
  return TarvelLinkSet(link, Utf8ToWide(key).c_str(), Utf8ToWide(value).c_str());
}

std::string LastFailureText() {
  std::vector<tarvel_wchar> text(2000);
  if (TarvelLastFailure(text.data(), static_cast<int>(text.size())) == 0) return std::string();
  return WideToUtf8(text.data());
}

// Makes the link and hands it the environment's settings. Variables that are
// no setting of a link (TARVEL_CONFIG) are the command's own and stay out.
LinkSetup& Setup() {
  static LinkSetup* setup = [] {
    auto made = new LinkSetup;
    made->link = TarvelLinkCreate();
    for (const auto& [name, value] : TarvelVariables(kPrefix)) {
      std::string key = Lower(name.substr(std::string(kPrefix).size()));
      if (made->link == nullptr || Set(made->link, key, value) == TARVEL_DONE) continue;
      if (key == "codepage" && made->environmentRefusal.empty()) {
        made->environmentRefusal = name + "=" + value + ": " + LastFailureText();
      }
    }
    return made;
  }();
  return *setup;
}

}  // namespace

TarvelLink* CommandLink() {
  return Setup().link;
}

std::string EnvironmentRefusal() {
  return Setup().environmentRefusal;
}

bool SetLinkSetting(const std::string& key, const std::string& value, std::string* error) {
  if (Set(CommandLink(), key, value) != TARVEL_DONE) {
    *error = LastFailureText();
    return false;
  }
  tarvel::MutexLock guard(madeLock);
  madeByCommand[key] = value;
  return true;
}

std::string LinkSetting(const std::string& key) {
  {
    tarvel::MutexLock guard(madeLock);
    auto made = madeByCommand.find(key);
    if (made != madeByCommand.end()) return made->second;
  }
  std::optional<std::string> set = EnvironmentVariable(kPrefix + Upper(key));
  return set.value_or(std::string());
}

}  // namespace tarvel_cli
