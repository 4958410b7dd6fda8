// SPDX-License-Identifier: MIT
// What the exported functions do, over an explicit device state. The C
// interface calls these on the library's one state; tests call them on states
// of their own.
#pragma once

#include "link/link_state.h"

namespace tarvel {

int PortCreate(LinkState& state);
int PortOpen(LinkState& state, int port);
int PortClose(LinkState& state);
int PortSend(LinkState& state, const char16_t* text);
const char16_t* CheckText(LinkState& state, int blank);
const char16_t* PortRead(LinkState& state);
int Server(LinkState& state);
int SendFile(LinkState& state, const char16_t* localPath, const char16_t* remoteName);
int GetFile(LinkState& state, const char16_t* localSavePath, const char16_t* remoteName);
int ListFiles(LinkState& state, const char16_t* pattern);

inline constexpr int kDone = 999;
inline constexpr int kPortUnavailable = 1;

}  // namespace tarvel
