// The one filter every printed text passes through.
#include "terminal_text.h"

#include <gtest/gtest.h>

namespace tarvel::testing {
namespace {

using tarvel_cli::Shown;

TEST(TerminalText, C0ControlsDelAndLineEndsShowAsQuestionMarks) {
  EXPECT_EQ(Shown("\x1b]0;title\a"), "?]0;title?");
  EXPECT_EQ(Shown("\x1b[2Jcleared"), "?[2Jcleared");
  EXPECT_EQ(Shown("line\nforged\r\tend\x7f"), "line?forged??end?");
  EXPECT_EQ(Shown(std::string("zero\0byte", 9)), "zero?byte");
}

TEST(TerminalText, C1ControlsShowAsQuestionMarksAndOtherLettersStay) {
  // U+009B is CSI on a terminal that takes C1 controls; U+0085 a line end.
  EXPECT_EQ(Shown("a\xc2\x9b"
                  "2Jb\xc2\x85"
                  "c\xc2\x80\xc2\x9f"),
            "a?2Jb?c??");
  // U+00A0 and beyond are letters, not controls.
  EXPECT_EQ(Shown("caf\xc3\xa9 \xc2\xa0\xce\xa9 \xf0\x9f\x98\x80"),
            "caf\xc3\xa9 \xc2\xa0\xce\xa9 \xf0\x9f\x98\x80");
}

TEST(TerminalText, BytesThatAreNoUtf8ShowAsQuestionMarks) {
  // A lone 0x9B is CSI to a terminal in an 8-bit mode.
  EXPECT_EQ(Shown("a\x9b"
                  "2J"),
            "a?2J");
  EXPECT_EQ(Shown("\xc0\x9b"), "??");            // overlong
  EXPECT_EQ(Shown("\xed\xa0\x80"), "???");       // a surrogate
  EXPECT_EQ(Shown("\xf4\x90\x80\x80"), "????");  // beyond U+10FFFF
  EXPECT_EQ(Shown("cut \xe2\x82"), "cut ??");
}

}  // namespace
}  // namespace tarvel::testing
