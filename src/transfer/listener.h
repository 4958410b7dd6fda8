// The background listener: it polls the port and acts on every message.
#pragma once

#include "link/link_state.h"
#include "transfer/wire_format.h"

namespace tarvel {

// Polls the state's port until the state's listeners are stopped: saves
// incoming files, shows texts, answers get and list requests.
void ListenerLoop(LinkState& state);

// Acts on one message read from `port`; the read lock is held.
void HandleMessage(LinkState& state, SerialDevice& port, const wire::Message& message);

}  // namespace tarvel
