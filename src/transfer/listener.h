// SPDX-License-Identifier: MIT
// The background listener: it polls the port and acts on every message.
#pragma once

#include <optional>

#include "link/link_state.h"
#include "platform/mutex.h"
#include "wire/wire_format.h"

namespace tarvel {

// Polls the state's port until the state's listeners are stopped: saves
// incoming files, shows texts, answers get and list requests.
void ListenerLoop(LinkState& state);

// Forgets the pending requests and runs ListenerLoop on a listener thread of
// the state's: what Server does for a link that is no gateway.
void StartListening(LinkState& state);

// Takes the next message as the listener reads it: carried bytes or what is
// waiting, read on until a file header is whole. What follows the message
// stays carried. Nothing when nothing is waiting or the port fails.
std::optional<wire::Message> NextMessage(LinkState& state, SerialDevice& port)
    REQUIRES(state.Reader().Lock());

// Acts on one message read from `port`.
void HandleMessage(LinkState& state, SerialDevice& port, const wire::Message& message)
    REQUIRES(state.Reader().Lock());

}  // namespace tarvel
