// SPDX-License-Identifier: MIT
// The code pages that Windows' own converter handles.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/codepage.h"

namespace tarvel {
namespace {

TEST(Win32CodePages, ConvertBothWaysByNameOrNumber) {
  const std::u16string privet = u"\u041F\u0440\u0438\u0432\u0435\u0442";
  for (const char* name : {"CP1251", "windows-1251", "1251"}) {
    EXPECT_EQ(WideToCodePage(privet, name), "\xCF\xF0\xE8\xE2\xE5\xF2") << name;
    EXPECT_EQ(CodePageToWide("\xCF\xF0\xE8\xE2\xE5\xF2", name), privet) << name;
  }
  EXPECT_EQ(WideToCodePage(u"\u20AC", "ISO-8859-15"), "\xA4");
  EXPECT_EQ(CodePageToWide("\x82", "IBM437"), u"\u00E9");
  std::u16string everything = u"A\u00E9\u20AC\U0001F600";
  std::optional<std::string> utf8 = WideToCodePage(everything, "UTF-8");
  EXPECT_EQ(utf8, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(CodePageToWide(utf8.value_or(""), "utf8"), everything);
}

TEST(Win32CodePages, AcpIsTheSystemAnsiCodePage) {
  std::string numbered = "CP" + std::to_string(GetACP());
  std::u16string text = u"caf\u00E9 \u20AC \u041F";
  EXPECT_EQ(WideToCodePage(text, "ACP"), WideToCodePage(text, numbered));
  EXPECT_EQ(CodePageToWide("caf\xE9", "acp"), CodePageToWide("caf\xE9", numbered));
}

// Best fit would make 'A' of U+0100 and '/' of a fullwidth solidus, and a
// name from the wire could then climb out of its folder.
TEST(Win32CodePages, UnmappableCharactersBecomeOneQuestionMarkEach) {
  EXPECT_EQ(WideToCodePage(u"\u0100\uFF0F\u2215..\uFF0Fx", "ISO-8859-1"), "???..?x");
  EXPECT_EQ(WideToCodePage(u"a\U0001F600b", "CP1250"), "a?b");
  EXPECT_EQ(WideToCodePage(u"x\xDC00y\xD800", "UTF-8"), "x?y?");
  EXPECT_EQ(WideToCodePage(std::u16string(u"a\0b", 3), "CP1251"), std::string("a\0b", 3));
}

TEST(Win32CodePages, LongTextsAreNeverCut) {
  std::u16string wide;
  for (int i = 0; i < 60000; ++i) wide += u"\u0416\u00E9x";
  std::optional<std::string> narrow = WideToCodePage(wide, "UTF-8");
  ASSERT_TRUE(narrow);
  EXPECT_EQ(narrow->size(), 60000u * 5);
  EXPECT_EQ(CodePageToWide(*narrow, "UTF-8"), wide);
}

TEST(Win32CodePages, UnknownNamesGiveNothing) {
  for (const char* name : {"NO-SUCH-CODEPAGE", "", "CP99999", "0", "CP"}) {
    EXPECT_FALSE(WideToCodePage(u"text", name)) << name;
    EXPECT_FALSE(CodePageToWide("text", name)) << name;
  }
}

}  // namespace
}  // namespace tarvel
