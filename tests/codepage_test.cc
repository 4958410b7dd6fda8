#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <set>

namespace tarvel {
namespace {

const std::string kCp1252 = "WINDOWS-1252";

std::string AllBytes() {
  std::string bytes;
  for (int value = 0; value < 256; ++value) bytes += static_cast<char>(value);
  return bytes;
}

TEST(Codepage, LinkCodePageComesFromTheEnvironment) {
  EXPECT_EQ(LinkCodePage(FixedEnvironment({})), "WINDOWS-1252");
  EXPECT_EQ(LinkCodePage(FixedEnvironment({{"TARVEL_CODEPAGE", ""}})), "WINDOWS-1252");
  EXPECT_EQ(LinkCodePage(FixedEnvironment({{"TARVEL_CODEPAGE", "ISO-8859-15"}})), "ISO-8859-15");
}

TEST(Codepage, Windows1252EveryByteSurvivesARoundTripAsADistinctCharacter) {
  std::optional<std::u16string> wide = CodePageToWide(AllBytes(), kCp1252);
  ASSERT_TRUE(wide);
  ASSERT_EQ(wide->size(), 256u);
  EXPECT_EQ(std::set<char16_t>(wide->begin(), wide->end()).size(), 256u);
  EXPECT_EQ(WideToCodePage(*wide, kCp1252), AllBytes());
}

TEST(Codepage, Windows1252MapsTheHighControlsRangeByItsTable) {
  auto wide = CodePageToWide("\x80\x81\x8D\x9D\x9F\xA0\xE9\xFF", kCp1252);
  EXPECT_EQ(wide, std::u16string(u"\u20AC\u0081\u008D\u009D\u0178\u00A0\u00E9\u00FF"));
  // C1 controls that the table gives to other characters have no byte.
  EXPECT_EQ(WideToCodePage(u"\u0080\u009F", kCp1252), "??");
}

TEST(Codepage, Windows1252NamesAreAcceptedInAnyCase) {
  for (const char* name : {"windows-1252", "Windows-1252", "CP1252", "cp1252"}) {
    EXPECT_EQ(WideToCodePage(u"\u20AC", name), "\x80") << name;
    EXPECT_EQ(CodePageToWide("\x80", name), std::u16string(u"\u20AC")) << name;
  }
}

TEST(Codepage, Windows1252ReplacesEachUnmappableCharacterByOneQuestionMark) {
  EXPECT_EQ(WideToCodePage(u"caf\u00E9 \u20AC5", kCp1252),
            "caf\xE9 \x80"
            "5");
  EXPECT_EQ(WideToCodePage(u"\u0100", kCp1252), "?");
  EXPECT_EQ(WideToCodePage(u"a\U0001F600b", kCp1252), "a?b");  // one '?' for a surrogate pair
  EXPECT_EQ(WideToCodePage(u"a\xD800"
                           u"b\xDC00",
                           kCp1252),
            "a?b?");  // unpaired halves
}

TEST(Codepage, EmbeddedNulsAreConvertedLikeAnyCharacter) {
  std::u16string wide(u"a\0b", 3);
  std::string narrow("a\0b", 3);
  EXPECT_EQ(WideToCodePage(wide, kCp1252), narrow);
  EXPECT_EQ(CodePageToWide(narrow, kCp1252), wide);
  EXPECT_EQ(WideToCodePage(wide, "UTF-8"), narrow);
  EXPECT_EQ(CodePageToWide(narrow, "ISO-8859-15"), wide);
  EXPECT_EQ(Utf16ToUtf8(wide), narrow);
  EXPECT_EQ(Utf8ToUtf16(narrow), wide);
}

TEST(Codepage, OtherCodePagesGoThroughIconv) {
  EXPECT_EQ(WideToCodePage(u"\u00E9\u20AC\U0001F600", "UTF-8"),
            "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(CodePageToWide("\xC3\xA9\xF0\x9F\x98\x80", "utf-8"),
            std::u16string(u"\u00E9\U0001F600"));
  EXPECT_EQ(WideToCodePage(u"\u20AC\u00A4", "ISO-8859-15"),
            "\xA4?");  // the euro took the 0xA4 slot
  EXPECT_EQ(CodePageToWide("\xA4", "ISO-8859-15"), std::u16string(u"\u20AC"));
}

TEST(Codepage, IconvReplacesUnmappableCharactersOneByOne) {
  EXPECT_EQ(WideToCodePage(u"a\u0100b\U0001F600c", "ISO-8859-15"), "a?b?c");
  EXPECT_EQ(WideToCodePage(u"x\xDC00y\xD800", "UTF-8"), "x?y?");  // unpaired surrogates
  // The replacement is encoded in the target code page, not pasted in as a raw byte.
  EXPECT_EQ(WideToCodePage(u"\xD800", "UTF-16BE"), std::string("\0?", 2));
}

TEST(Codepage, IconvTurnsEachInvalidByteIntoAReplacementCharacter) {
  EXPECT_EQ(CodePageToWide("a\xFF"
                           "b\x80",
                           "UTF-8"),
            std::u16string(u"a\uFFFDb\uFFFD"));
  EXPECT_EQ(CodePageToWide("ok\xE2\x82", "UTF-8"), std::u16string(u"ok\uFFFD\uFFFD"));  // cut short
  EXPECT_EQ(CodePageToWide("\x80\x41", "ASCII"), std::u16string(u"\uFFFDA"));
}

TEST(Codepage, UnknownCodePageGivesNothing) {
  for (const char* name : {"NO-SUCH-CODEPAGE", ""}) {
    EXPECT_FALSE(WideToCodePage(u"text", name)) << name;
    EXPECT_FALSE(CodePageToWide("text", name)) << name;
  }
}

TEST(Codepage, RefusingMeansWhatReadsBackDifferentlyGivesNothing) {
  for (const char* codepage : {"WINDOWS-1252", "ISO-8859-15", "ASCII"}) {
    EXPECT_EQ(WideToCodePage(u"plain ?*.txt", codepage, Unheld::Refuse), "plain ?*.txt")
        << codepage;
    EXPECT_FALSE(WideToCodePage(u"\\\u65E5\u672C.txt", codepage, Unheld::Refuse)) << codepage;
    EXPECT_FALSE(WideToCodePage(u"a\U0001F600", codepage, Unheld::Refuse)) << codepage;
  }
  EXPECT_EQ(WideToCodePage(u"caf\u00E9\u20AC", kCp1252, Unheld::Refuse), "caf\xE9\x80");
  EXPECT_FALSE(WideToCodePage(u"\u0080", kCp1252, Unheld::Refuse));  // no byte of its own
  EXPECT_EQ(WideToCodePage(u"\u20AC", "ISO-8859-15", Unheld::Refuse), "\xA4");
  EXPECT_FALSE(WideToCodePage(u"\u00A4", "ISO-8859-15", Unheld::Refuse));
  EXPECT_EQ(WideToCodePage(u"\u65E5\U0001F600", "UTF-8", Unheld::Refuse),
            "\xE6\x97\xA5\xF0\x9F\x98\x80");
  for (const char* codepage : {"WINDOWS-1252", "UTF-8"}) {
    EXPECT_FALSE(WideToCodePage(u"a\xD800", codepage, Unheld::Refuse)) << codepage;
  }
  EXPECT_FALSE(WideToCodePage(u"text", "NO-SUCH-CODEPAGE", Unheld::Refuse));
}

TEST(Codepage, LongTextsAreNeverCut) {
  std::u16string wide, lossy;  // lossy: as an 8-bit code page without U+0100 and emoji keeps it
  for (int i = 0; i < 50000; ++i) {
    wide += (i % 7 == 0) ? u"\U0001F600\u0100" : u"\u00E9\u20ACx";
    lossy += (i % 7 == 0) ? u"??" : u"\u00E9\u20ACx";
  }
  for (const char* codepage : {"WINDOWS-1252", "ISO-8859-15", "UTF-8", "UTF-16LE"}) {
    std::optional<std::string> narrow = WideToCodePage(wide, codepage);
    ASSERT_TRUE(narrow) << codepage;
    bool holds_all = std::string(codepage).rfind("UTF", 0) == 0;
    EXPECT_EQ(CodePageToWide(*narrow, codepage), holds_all ? wide : lossy) << codepage;
  }
}

TEST(Codepage, Utf8RoundTripsEveryKindOfCharacter) {
  std::u16string wide = u"A\u00E9\u20AC\uFFFF\U00010000\U0010FFFF";
  std::string utf8 = Utf16ToUtf8(wide);
  EXPECT_EQ(utf8, "A\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
  EXPECT_EQ(Utf8ToUtf16(utf8), wide);
}

TEST(Codepage, Utf16ToUtf8ReplacesUnpairedSurrogates) {
  EXPECT_EQ(Utf16ToUtf8(u"a\xD800"), "a\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(u"\xDC00\xD800"), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Codepage, Utf8ToUtf16ReplacesIllFormedSequences) {
  EXPECT_EQ(Utf8ToUtf16("\xC0\x80"), u"\uFFFD\uFFFD");                      // overlong NUL
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");            // encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // past U+10FFFF
  EXPECT_EQ(Utf8ToUtf16("a\xE2\x82"), u"a\uFFFD");  // a cut sequence is one replacement
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82z"), u"\uFFFDz");
  EXPECT_EQ(Utf8ToUtf16("\xFF\xBF"), u"\uFFFD\uFFFD");
}

}  // namespace
}  // namespace tarvel
