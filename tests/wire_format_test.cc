#include "wire/wire_format.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvel::wire {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

TEST(FileHeaderRecognition, NameSizeAndWhereTheHeaderEnds) {
  Message m = Recognise("FILE: a.txt|12|");
  EXPECT_EQ(m.kind, MessageKind::FileHeader);
  EXPECT_EQ(m.argument, "a.txt");
  EXPECT_EQ(m.size, 12);
  EXPECT_EQ(m.end, 15u);
  EXPECT_TRUE(m.refusal.empty());
}

TEST(FileHeaderRecognition, ContentInTheSameReadStaysAfterTheEnd) {
  std::string read = "FILE: a.bin|3|\x01\x00\x02tail"s;
  Message m = Recognise(read);
  EXPECT_EQ(m.size, 3);
  EXPECT_EQ(read.substr(m.end), "\x01\x00\x02tail"s);
}

TEST(FileHeaderRecognition, MissingFieldsAnnounceNothing) {
  Message noBar = Recognise("FILE: a.txt");
  EXPECT_EQ(noBar.argument, "a.txt");
  EXPECT_EQ(noBar.size, 0);
  EXPECT_EQ(noBar.end, 11u);

  Message noDigits = Recognise("FILE: a.txt|abc|");
  EXPECT_EQ(noDigits.size, 0);
  EXPECT_TRUE(noDigits.refusal.empty());

  Message noSecondBar = Recognise("FILE: a.txt|7");
  EXPECT_EQ(noSecondBar.size, 7);
  EXPECT_EQ(noSecondBar.end, 13u);

  Message bare = Recognise("FILE:");
  EXPECT_EQ(bare.kind, MessageKind::FileHeader);
  EXPECT_EQ(bare.argument, "");
}

TEST(FileHeaderRecognition, SizeAtAndBeyondTheSigned32BitLimits) {
  EXPECT_EQ(Recognise("FILE: a|2147483647|").size, 2147483647);
  EXPECT_FALSE(Recognise("FILE: a|2147483648|").refusal.empty());
  EXPECT_EQ(Recognise("FILE: a|-2147483648|").size, -2147483647 - 1);
  EXPECT_FALSE(Recognise("FILE: a|-2147483649|").refusal.empty());
}

TEST(FileHeaderRecognition, SizeTextThatOutgrowsItsBufferIsRefused) {
  EXPECT_TRUE(Recognise("FILE: a|0000000000000000012|").refusal.empty());    // 19 bytes
  EXPECT_FALSE(Recognise("FILE: a|00000000000000000012|").refusal.empty());  // 20 bytes
}

TEST(FileHeaderRecognition, AZeroByteEndsTheField) {
  Message m = Recognise("FILE: a\0b|5|"s);
  EXPECT_EQ(m.argument, "a");
  EXPECT_EQ(m.size, 0);
}

TEST(RequestRecognition, GetAndListTakeTheArgumentToTheBar) {
  Message get = Recognise("GILE: \\My Documents\\a.txt|");
  EXPECT_EQ(get.kind, MessageKind::GetRequest);
  EXPECT_EQ(get.argument, "\\My Documents\\a.txt");
  EXPECT_EQ(get.end, 26u);

  Message list = Recognise("LIST: \\*.*|");
  EXPECT_EQ(list.kind, MessageKind::ListRequest);
  EXPECT_EQ(list.argument, "\\*.*");
}

TEST(RequestRecognition, ShortAndUnclosedRequests) {
  Message bare = Recognise("LIST:");
  EXPECT_EQ(bare.kind, MessageKind::ListRequest);
  EXPECT_EQ(bare.argument, "");
  EXPECT_EQ(Recognise("LIST: |").argument, "");
  Message unclosed = Recognise("GILE: a.txt");
  EXPECT_EQ(unclosed.argument, "a.txt");
  EXPECT_EQ(unclosed.end, 11u);
}

TEST(RequestRecognition, TheSixthByteIsSkippedWhateverItIs) {
  EXPECT_EQ(Recognise("GILE:Xa.txt|").argument, "a.txt");
}

TEST(RequestRecognition, ASecondMessageInTheSameReadFollowsTheFirst) {
  std::string read = "GILE: a.txt|LIST: *.*|";
  Message first = Recognise(read);
  EXPECT_EQ(first.kind, MessageKind::GetRequest);
  Message second = Recognise(read.substr(first.end));
  EXPECT_EQ(second.kind, MessageKind::ListRequest);
  EXPECT_EQ(second.argument, "*.*");
}

TEST(RequestRecognition, AnArgumentThatOutgrowsItsBufferIsRefused) {
  EXPECT_TRUE(Recognise("GILE: " + std::string(199, 'x') + "|").refusal.empty());
  EXPECT_FALSE(Recognise("GILE: " + std::string(200, 'x') + "|").refusal.empty());
  EXPECT_FALSE(Recognise("LIST: " + std::string(300, '*')).refusal.empty());
}

TEST(TextRecognition, AnythingElseIsText) {
  EXPECT_EQ(Recognise("file: a|1|").kind, MessageKind::TextMessage);
  EXPECT_EQ(Recognise(" FILE: a|1|").kind, MessageKind::TextMessage);
  EXPECT_EQ(Recognise("FIL").kind, MessageKind::TextMessage);
  Message text = Recognise("hello\0world"s);
  EXPECT_EQ(text.argument, "hello");
  EXPECT_EQ(text.end, 11u);
}

TEST(PolledRecognition, SpaceSeparatedHeader) {
  Message m = RecognisePolled("FILE: p.txt 10");
  EXPECT_EQ(m.kind, MessageKind::FileHeader);
  EXPECT_EQ(m.argument, "p.txt");
  EXPECT_EQ(m.size, 10);
  EXPECT_EQ(RecognisePolled("FILE: p.txt 10 trailing").size, 10);
  EXPECT_EQ(RecognisePolled("FILE: p.txt xyz").size, 0);
  Message noSpace = RecognisePolled("FILE: p.txt");
  EXPECT_EQ(noSpace.argument, "p.txt");
  EXPECT_EQ(noSpace.size, 0);
}

TEST(PolledRecognition, TheSendersOwnHeaderIsAFile) {
  Message m = RecognisePolled("FILE: a.txt|12|");
  EXPECT_EQ(m.kind, MessageKind::FileHeader);
  EXPECT_EQ(m.argument, "a.txt");
  EXPECT_EQ(m.size, 12);
  EXPECT_EQ(m.end, 15u);
  EXPECT_EQ(RecognisePolled("FILE: my file.txt|3|").argument, "my file.txt");
}

TEST(PolledRecognition, RequestsAreText) {
  EXPECT_EQ(RecognisePolled("LIST: *.*|").kind, MessageKind::TextMessage);
  EXPECT_EQ(RecognisePolled("LIST: *.*|").argument, "LIST: *.*|");
  EXPECT_EQ(RecognisePolled("GILE: a|").kind, MessageKind::TextMessage);
}

TEST(PolledRecognition, OverlongFieldsAreRefused) {
  EXPECT_TRUE(RecognisePolled("FILE: " + std::string(199, 'n') + " 5").refusal.empty());
  // An over-long name is the receiver's to refuse: it must still learn the
  // size to drain the content.
  Message longName = RecognisePolled("FILE: " + std::string(200, 'n') + " 5");
  EXPECT_TRUE(longName.refusal.empty());
  EXPECT_EQ(longName.size, 5);
  EXPECT_TRUE(RecognisePolled("FILE: n " + std::string(22, '0') + "7").refusal.empty());
  EXPECT_FALSE(RecognisePolled("FILE: n " + std::string(23, '0') + "7").refusal.empty());
}

TEST(FileHeaderRecognition, NegativeSizesAndHeadersThatAreNotWholeAreRefused) {
  EXPECT_FALSE(Recognise("FILE: x|-5|").refusal.empty());
  EXPECT_FALSE(Recognise("FILE: x|-0001|").refusal.empty());
  EXPECT_TRUE(Recognise("FILE: x|-0|").refusal.empty()) << "minus zero is zero";
  EXPECT_TRUE(Recognise("FILE: x|abc|").refusal.empty()) << "no digits stays a 0-byte file";
  for (std::string_view partial :
       {"FILE:"sv, "FILE: notes.txt"sv, "FILE: notes.txt|12"sv, "FILE: a\0|1|"sv}) {
    EXPECT_TRUE(IsPartialHeader(partial)) << partial;
    EXPECT_FALSE(Recognise(partial).refusal.empty()) << partial;
  }
  EXPECT_FALSE(IsPartialHeader("FILE: a|1|"));
  EXPECT_FALSE(IsPartialHeader("GILE: a"));
  EXPECT_FALSE(IsPartialHeader("file: a"));
}

TEST(FileHeaderRecognition, AStartOfTheCommandWordMayBeAHeaderOnItsWay) {
  for (std::string_view start : {"F"sv, "FI"sv, "FIL"sv, "FILE"sv}) {
    EXPECT_TRUE(IsPartialHeader(start)) << start;
    EXPECT_TRUE(IsPartialPolledHeader(start)) << start;
    EXPECT_EQ(Recognise(start).kind, MessageKind::TextMessage) << start;
  }
  for (std::string_view other : {""sv, "FX"sv, "fi"sv, "F\0"sv, "GIL"sv, "LIST"sv}) {
    EXPECT_FALSE(IsPartialHeader(other)) << other;
  }
  // The polled form is whole once a space follows the name.
  EXPECT_TRUE(IsPartialPolledHeader("FILE: a.txt|5"));
  EXPECT_FALSE(IsPartialPolledHeader("FILE: a.txt 5"));
  EXPECT_FALSE(IsPartialPolledHeader("FILE: a.txt|5|"));
}

TEST(PolledRecognition, BytesAfterTheSizeDigitsAreTheFilesFirstBytes) {
  std::string read = "FILE: a 5hello";
  Message m = RecognisePolled(read);
  EXPECT_EQ(m.size, 5);
  EXPECT_EQ(read.substr(m.end), "hello");
  read = "FILE: a 3 " + std::string(40, 'c');
  m = RecognisePolled(read);
  EXPECT_TRUE(m.refusal.empty()) << "content counted against the size text: " << m.refusal;
  EXPECT_EQ(read.substr(m.end), " " + std::string(40, 'c'));
  EXPECT_FALSE(RecognisePolled("FILE: a -5").refusal.empty());
  EXPECT_EQ(RecognisePolled("FILE: a 0tail").end, 13u) << "an empty file takes no bytes";
}

TEST(SizeParsing, InTheMannerOfAtoi) {
  EXPECT_EQ(ParseSize("42"), 42);
  EXPECT_EQ(ParseSize("  \t+42abc"), 42);
  EXPECT_EQ(ParseSize("-7"), -7);
  EXPECT_EQ(ParseSize(""), 0);
  EXPECT_EQ(ParseSize("abc"), 0);
  EXPECT_EQ(ParseSize("- 5"), 0);
  EXPECT_EQ(ParseSize("99999999999999999999"), std::nullopt);
}

TEST(Formatting, FileHeader) {
  EXPECT_EQ(FormatFileHeader("photo.jpg", 1234), "FILE: photo.jpg|1234|");
  EXPECT_EQ(FormatFileHeader("empty", 0), "FILE: empty|0|");
  EXPECT_EQ(FormatFileHeader("big", 2147483648LL), std::nullopt);
  EXPECT_EQ(FormatFileHeader("a|b", 1), std::nullopt);
  // "FILE: " + name + "|1|" must stay within 199 bytes.
  EXPECT_TRUE(FormatFileHeader(std::string(190, 'n'), 1).has_value());
  EXPECT_FALSE(FormatFileHeader(std::string(191, 'n'), 1).has_value());
  EXPECT_FALSE(FormatFileHeader(std::string(190, 'n'), 10).has_value());
}

TEST(Formatting, Requests) {
  EXPECT_EQ(FormatGetRequest("a.txt"), "GILE: a.txt|");
  EXPECT_EQ(FormatListRequest("\\*.*"), "LIST: \\*.*|");
  EXPECT_EQ(FormatListRequest(""), "LIST: |");
  EXPECT_TRUE(FormatGetRequest(std::string(496, 'n')).has_value());
  EXPECT_FALSE(FormatGetRequest(std::string(497, 'n')).has_value());
  EXPECT_FALSE(FormatGetRequest("a|b").has_value());
}

TEST(Formatting, NamesThatCannotBeCarriedAreRefusedWithAReason) {
  std::string why;
  EXPECT_FALSE(FormatFileHeader("", 1, &why));
  EXPECT_NE(why.find("empty"), std::string::npos) << why;
  EXPECT_FALSE(FormatGetRequest("", &why));
  EXPECT_NE(why.find("empty"), std::string::npos) << why;
  for (const std::string& name : std::initializer_list<std::string>{
           "a\rb", "a\nb", std::string("a\0b", 3), "\x7F", "a\x1B[2J"}) {
    EXPECT_FALSE(FormatFileHeader(name, 1, &why)) << name;
    EXPECT_NE(why.find("control byte"), std::string::npos) << why;
    EXPECT_FALSE(FormatGetRequest(name)) << name;
    EXPECT_FALSE(FormatListRequest(name)) << name;
  }
  EXPECT_FALSE(FormatGetRequest("a|b", &why));
  EXPECT_NE(why.find("separator"), std::string::npos) << why;
  EXPECT_FALSE(FormatFileHeader("big", -1, &why));
  EXPECT_NE(why.find("-1"), std::string::npos) << why;
  // Bytes past 0x7F are characters of the code page, not controls.
  EXPECT_EQ(FormatFileHeader("caf\xE9\x81", 2), "FILE: caf\xE9\x81|2|");
}

TEST(Formatting, WhatIsFormattedIsRecognisedTheSame) {
  std::string name = "\\My Documents\\report 2026.pdf";
  Message header = Recognise(*FormatFileHeader(name, 123456));
  EXPECT_EQ(header.argument, name);
  EXPECT_EQ(header.size, 123456);
  EXPECT_EQ(Recognise(*FormatGetRequest(name)).argument, name);
  EXPECT_EQ(Recognise(*FormatListRequest(name)).argument, name);
}

}  // namespace
}  // namespace tarvel::wire
