// What the command prints passes through here first. Names, texts, patterns
// and reasons come from the peer, or hold what it sent: printed raw, its
// control characters would drive the terminal (retitle it, clear it, move the
// cursor) or start a line that reads like one of the command's own.
#pragma once

#include <string>
#include <string_view>

namespace tarvel_cli {

// `text` (UTF-8) with every C0 control (line ends and tabs included), DEL and
// C1 control (U+0080 to U+009F, so CSI U+009B too), and every byte that is no
// part of valid UTF-8, shown as '?'. The command's own line structure is
// added around such text, never taken from it: a peer's text is always one
// line, and cannot forge another.
std::string Shown(std::string_view text);

}  // namespace tarvel_cli
