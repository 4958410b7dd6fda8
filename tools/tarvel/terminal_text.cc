#include "terminal_text.h"

namespace tarvel_cli {
namespace {

constexpr char kShownInstead = '?';

// The length of the valid UTF-8 sequence at text[at], or 0 when there is none.
size_t SequenceLength(std::string_view text, size_t at) {
  auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return 1;
  size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
  }
  auto second = static_cast<unsigned char>(text[at + 1]);
  // Overlong forms, surrogates and code points beyond U+10FFFF.
  if (lead == 0xE0 && second < 0xA0) return 0;
  if (lead == 0xED && second >= 0xA0) return 0;
  if (lead == 0xF0 && second < 0x90) return 0;
  if (lead == 0xF4 && second >= 0x90) return 0;
  return length;
}

bool IsControl(std::string_view sequence) {
  auto lead = static_cast<unsigned char>(sequence[0]);
  if (sequence.size() == 1) return lead < 0x20 || lead == 0x7F;
  // U+0080 to U+009F are 0xC2 0x80 to 0xC2 0x9F.
  return lead == 0xC2 && static_cast<unsigned char>(sequence[1]) < 0xA0;
}

}  // namespace

std::string Shown(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    size_t length = SequenceLength(text, at);
    if (length == 0) {
      shown += kShownInstead;
      ++at;
      continue;
    }
    std::string_view sequence = text.substr(at, length);
    if (IsControl(sequence)) {
      shown += kShownInstead;
    } else {
      shown += sequence;
    }
    at += length;
  }
  return shown;
}

}  // namespace tarvel_cli
