// SPDX-License-Identifier: MIT
// Pushing one local file to the peer: a file header, the sender's pause, then
// the content in pieces.
#pragma once

#include <string>
#include <string_view>

#include "link/link_state.h"

namespace tarvel {

// Answers the peer's request for the device file `name` (wide, as the request
// named it) by sending it announced under that same name. False, saying why in
// `why`, when nothing or not all of it could be sent.
bool AnswerGetRequest(LinkState& state, std::u16string_view name, std::string* why);

}  // namespace tarvel
