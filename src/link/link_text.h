// SPDX-License-Identifier: MIT
// Text at the link's edges: the host's wide text, the link's 8-bit text in its
// code page, and native (UTF-8) file names.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/environment.h"

namespace tarvel {

// A reason or a native name, for the status text.
std::u16string Utf8ToStatus(std::string_view text);

// The host's text in the link's code page; nothing, saying why, when the code
// page is unknown.
std::optional<std::string> ToLinkText(const Environment& env, std::u16string_view text,
                                      std::string* why);

// A name or pattern that goes on the wire, in the link's code page exactly;
// nothing, saying why, when the code page is unknown or cannot hold one of its
// characters: a '?' in its place would name another file, or match others.
std::optional<std::string> ToWireName(const Environment& env, std::u16string_view name,
                                      std::string* why);

// The link's text as wide text. An unknown code page is read as Windows-1252,
// so that received text always shows.
std::u16string FromLinkText(const Environment& env, std::string_view text);

// The length of a terminated wide string, or nothing for a null pointer.
std::optional<std::u16string_view> HostText(const char16_t* text);

}  // namespace tarvel
