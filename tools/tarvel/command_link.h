// SPDX-License-Identifier: MIT
// The command's one link to the library, and its settings. The link reads no
// environment: it is made with every TARVEL_ setting of the command's
// environment, and the options then set what they choose on top.
#pragma once

#include <string>

#include "tarvel.h"

namespace tarvel_cli {

// The command's link, made at its first use with the settings of the
// environment (TARVEL_ROOT, TARVEL_COM3, ...); it lasts as long as the process.
TarvelLink* CommandLink();

// Why a TARVEL_ variable of the environment could not be taken, for the
// settings whose refused value would fail every transfer (an unknown code
// page); empty when none was refused.
std::string EnvironmentRefusal();

// Makes the setting `key` ("root", "com3", "on_clash") of the command's link;
// an empty value removes it. False, saying why, when the library refuses it.
bool SetLinkSetting(const std::string& key, const std::string& value, std::string* error);

// The setting `key` in force: what the command set, else the environment's
// TARVEL_<KEY>; empty when neither.
std::string LinkSetting(const std::string& key);

}  // namespace tarvel_cli
