#include <gtest/gtest.h>

#include "platform/directory_search.h"

namespace tarvel {
namespace {

TEST(Wildcard, DosRules) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  };
  const Case cases[] = {
      {"file?.txt", "file.txt", true},
      {"file?.txt", "file1.txt", true},
      {"file?.txt", "file12.txt", false},
      {"a??", "a", true},
      {"a??", "abc", true},
      {"a??", "abcd", false},
      {"?", "", true},
      {"?.txt", "x.txt", true},
      {"*", "noext", true},
      {"*", ".hidden", true},
      {"*.*", "noext", true},
      {"*.*", "a.b.c", true},
      {"*.", "noext", true},
      {"*.", "a.txt", false},
      {"abc.", "abc", true},
      {"abc.*", "abc", true},
      {"abc.*", "abcd", false},
      {"*.TXT", "notes.txt", true},
      {"*.txt", "NOTES.TXT", true},
      {"*.txt", "notes.txt.bak", false},
      {"a*b*c", "aXXbYYc", true},
      {"a*b*c", "aXXcYYb", false},
      {"Tarvel.txt", "tarvel.TXT", true},
      {"Tarvel.txt", "Tarvel.tx", false},
      {"\xC3\xA9*", "\xC3\xA9t\xC3\xA9", true},
      {"\xC3\xA9*", "\xC3\x89t", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchesWildcard(c.pattern, c.name), c.matches)
        << "pattern " << c.pattern << " name " << c.name;
  }
}

}  // namespace
}  // namespace tarvel
