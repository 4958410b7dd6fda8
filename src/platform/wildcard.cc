// SPDX-License-Identifier: MIT
// Windows-style wildcard matching of directory entry names.
#include <vector>

#include "platform/directory_search.h"

namespace tarvel {
namespace {

char FoldCase(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Plain matching with the DOS reading of '?': it takes one character, or none
// where the name ends or reaches a dot, so "file?.txt" finds "file.txt".
// matches[p][n] says whether pattern[p..] matches name[n..]; filled from the
// back, which keeps the cost at pattern size times name size.
bool MatchPlain(std::string_view pattern, std::string_view name) {
  const size_t width = name.size() + 1;
  std::vector<char> matches((pattern.size() + 1) * width, 0);
  auto at = [&](size_t p, size_t n) -> char& { return matches[p * width + n]; };
  at(pattern.size(), name.size()) = 1;
  for (size_t p = pattern.size(); p-- > 0;) {
    for (size_t n = name.size() + 1; n-- > 0;) {
      const bool more = n < name.size();
      bool result = false;
      if (pattern[p] == '*') {
        result = at(p + 1, n) || (more && at(p, n + 1));
      } else if (pattern[p] == '?') {
        result = (more && at(p + 1, n + 1)) || ((!more || name[n] == '.') && at(p + 1, n));
      } else {
        result = more && FoldCase(pattern[p]) == FoldCase(name[n]) && at(p + 1, n + 1);
      }
      at(p, n) = result;
    }
  }
  return at(0, 0) != 0;
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace

// Two DOS rules sit on top of plain matching: a closing ".*" also accepts a
// name without an extension ("*.*" matches every name), and a closing "."
// accepts names without a dot ("*." lists only those).
bool MatchesWildcard(std::string_view pattern, std::string_view name) {
  if (EndsWith(pattern, ".*") && MatchPlain(pattern.substr(0, pattern.size() - 2), name)) {
    return true;
  }
  if (pattern.size() > 1 && pattern.back() == '.' && name.find('.') == std::string_view::npos &&
      MatchPlain(pattern.substr(0, pattern.size() - 1), name)) {
    return true;
  }
  return MatchPlain(pattern, name);
}

}  // namespace tarvel
