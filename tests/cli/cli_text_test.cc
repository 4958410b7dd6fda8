// SPDX-License-Identifier: MIT
// The command's own text handling: arguments to wide text and back, listings
// from the link's code page, and the demo's line protocol.
#include <gtest/gtest.h>

#include "agent_protocol.h"
#include "text_codec.h"

namespace tarvel_cli {
namespace {

TEST(CliText, Utf8AndWideTextRoundTrip) {
  // One, two, three and four UTF-8 bytes; the last is a surrogate pair.
  std::string text = "a\u00e9\u20ac\U0001F600";
  std::u16string wide = Utf8ToWide(text);
  EXPECT_EQ(wide, (std::u16string{u'a', 0x00E9, 0x20AC, 0xD83D, 0xDE00}));
  EXPECT_EQ(WideToUtf8(wide), text);
}

TEST(CliText, BrokenInputBecomesReplacementCharacters) {
  // A stray continuation byte, a cut sequence, an over-long form, an encoded surrogate.
  EXPECT_EQ(Utf8ToWide("x\x80y"), u"x\uFFFDy");
  EXPECT_EQ(Utf8ToWide("\xE2\x82"), u"\uFFFD");
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), u"\uFFFD");
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), u"\uFFFD");
  // An unpaired surrogate in wide text.
  EXPECT_EQ(WideToUtf8(std::u16string{u'a', 0xD800, u'b'}), "a\uFFFDb");
  EXPECT_EQ(WideToUtf8(std::u16string{0xDC00}), "\uFFFD");
}

TEST(CliText, ListingsAreReadInTheLinksCodePage) {
  EXPECT_EQ(CodePageToUtf8("caf\xE9 \x80", "WINDOWS-1252"), "caf\u00e9 \u20ac");
  EXPECT_EQ(CodePageToUtf8("plain", "no-such-code-page"), "plain");
  // 0x81 is undefined in Windows-1252 for the converter: it is shown, not dropped.
  std::string shown = CodePageToUtf8("a\x81z", "WINDOWS-1252");
  EXPECT_EQ(shown.front(), 'a');
  EXPECT_EQ(shown.back(), 'z');
  EXPECT_GT(shown.size(), 2u);
}

TEST(CliText, ProtocolFieldsSurviveTabsLineEndsAndBackslashes) {
  std::vector<std::string> fields{"send", "C:\\dir\\a b.txt", "line\nend\r\tx", "", "\\"};
  std::string line = JoinFields(fields);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(SplitFields(line), fields);
  EXPECT_EQ(SplitFields("ok"), (std::vector<std::string>{"ok"}));
  EXPECT_EQ(SplitFields("ok\t"), (std::vector<std::string>{"ok", ""}));
}

}  // namespace
}  // namespace tarvel_cli
