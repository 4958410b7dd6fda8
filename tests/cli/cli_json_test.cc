// SPDX-License-Identifier: MIT
// --json: every result one valid JSON object on a line of its own, and
// nothing else on standard output, whatever bytes the peer sends.
#include <regex>
#include <set>
#include <thread>

#include "cli_fixture.h"
#include "json_check.h"
#include "json_lines.h"
#include "raw_peer.h"

namespace tarvel::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

std::vector<JsonObject> Parsed(const std::string& output) {
  std::string bad;
  std::vector<JsonObject> objects = JsonLinesOf(output, &bad);
  EXPECT_EQ(bad, "") << "not a JSON object: " << output;
  for (const JsonObject& object : objects) {
    for (const char* field : {"time", "kind", "text", "path", "peer", "bytes"}) {
      EXPECT_EQ(object.count(field), 1u) << field << " missing in " << output;
    }
    EXPECT_TRUE(std::regex_match(object.at("time").text,
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        << object.at("time").text;
    EXPECT_EQ(object.at("peer").type, JsonValue::Null);
  }
  return objects;
}

std::vector<JsonObject> OfKind(const std::vector<JsonObject>& objects, const std::string& kind) {
  std::vector<JsonObject> chosen;
  for (const JsonObject& object : objects) {
    if (object.at("kind").text == kind) chosen.push_back(object);
  }
  return chosen;
}

TEST(JsonLines, StringsEscapeControlsAndTurnBytesThatAreNotUtf8IntoReplacements) {
  using tarvel_cli::JsonString;
  EXPECT_EQ(JsonString("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(JsonString(std::string("\x1b[2J\n\t\x7f\0z", 9)),
            R"("\u001b[2J\u000a\u0009\u007f\u0000z")");
  EXPECT_EQ(JsonString("caf\xc3\xa9 \xe2\x82\xac"), "\"caf\xc3\xa9 \xe2\x82\xac\"");
  // A lone continuation byte, a cut sequence, an overlong form, a surrogate.
  EXPECT_EQ(JsonString("\x80x\xc3"), R"("\ufffdx\ufffd")");
  EXPECT_EQ(JsonString("\xc0\xaf"), R"("\ufffd\ufffd")");
  EXPECT_EQ(JsonString("\xed\xa0\x80"), R"("\ufffd\ufffd\ufffd")");
  std::string bad;
  std::string line = tarvel_cli::JsonObject(
      {"2026-01-02T03:04:05.006Z", "text", std::string("\xff\x01", 2), std::nullopt, 12, {}, {}});
  std::vector<JsonObject> objects = JsonLinesOf(line, &bad);
  ASSERT_EQ(objects.size(), 1u) << bad;
  EXPECT_EQ(objects[0].at("text").text, "\xef\xbf\xbd\x01");
  EXPECT_EQ(objects[0].at("bytes").text, "12");
}

TEST_F(CliTest, ListenJsonWritesOneObjectPerEventEvenForAPeersRawBytes) {
  auto listener = Start(Side::B, {"--codepage", "ISO-8859-1", "listen", "--json"});
  ASSERT_TRUE(listener->WaitForError("listening on", seconds(5))) << listener->Error();
  RawPeer peer(End(Side::A));
  peer.Message(std::string("hi\x1b]0;x\a\"\\\xff there"));
  peer.Message("FILE: \\p.txt|4|", milliseconds(1000));
  peer.Message("abcd", milliseconds(500));
  ASSERT_TRUE(listener->WaitForOutput("\"received\"", seconds(5))) << listener->Output();
  std::vector<JsonObject> objects = Parsed(listener->Output());
  std::vector<JsonObject> texts = OfKind(objects, "text");
  ASSERT_EQ(texts.size(), 1u) << listener->Output();
  EXPECT_EQ(texts[0].at("text").text, "hi\x1b]0;x\a\"\\\xc3\xbf there");
  EXPECT_EQ(texts[0].at("path").type, JsonValue::Null);
  std::vector<JsonObject> received = OfKind(objects, "received");
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].at("path").text, "\\p.txt");
  EXPECT_EQ(received[0].at("bytes").text, "4");
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/p.txt"), "abcd");
}

TEST_F(CliTest, SendGetAndListJsonReportTheirResultsAsObjectsOnly) {
  WriteWholeFile(Root(Side::B) + "/there.txt", "from B");
  WriteWholeFile(Scratch("here.txt"), "twelve bytes");
  auto listener = Listen(Side::B);

  Finished sent = Run(Side::A, {"send", "--json", Scratch("here.txt"), "\\in.txt"});
  ASSERT_EQ(sent.status, 0) << sent.error;
  std::vector<JsonObject> objects = Parsed(sent.output);
  ASSERT_EQ(OfKind(objects, "sent").size(), 1u) << sent.output;
  EXPECT_EQ(OfKind(objects, "sent")[0].at("path").text, Scratch("here.txt"));
  EXPECT_EQ(OfKind(objects, "sent")[0].at("bytes").text, "12");
  ASSERT_TRUE(listener->WaitForOutput("RECV: \\in.txt", seconds(5)));

  std::this_thread::sleep_for(milliseconds(500));
  Finished got = Run(Side::A, {"get", "--json", "\\there.txt", Scratch("got.txt")});
  ASSERT_EQ(got.status, 0) << got.error;
  objects = Parsed(got.output);
  ASSERT_EQ(objects.size(), 1u) << got.output;
  EXPECT_EQ(objects[0].at("kind").text, "answer");
  EXPECT_EQ(objects[0].at("path").text, Scratch("got.txt"));
  EXPECT_EQ(objects[0].at("bytes").text, "6");

  std::this_thread::sleep_for(milliseconds(500));
  Finished listed = Run(Side::A, {"list", "--json", "--fetch", "\\*.txt"});
  ASSERT_EQ(listed.status, 0) << listed.error;
  objects = Parsed(listed.output);
  std::vector<JsonObject> entries = OfKind(objects, "entry");
  ASSERT_EQ(entries.size(), 2u) << listed.output;
  std::set<std::string> names{entries[0].at("text").text, entries[1].at("text").text};
  EXPECT_EQ(names, (std::set<std::string>{"in.txt", "there.txt"}));
  EXPECT_TRUE(std::regex_match(entries[0].at("modified").text,
                               std::regex(R"(\d{4} \d\d \d\d-\d\d:\d\d:\d\d)")));
}

TEST_F(CliTest, VerboseTellsDeviceRootAndWaitsOnStandardErrorOnly) {
  WriteWholeFile(Scratch("v.txt"), "v");
  auto listener = Listen(Side::B);
  Finished sent = Run(Side::A, {"-v", "send", "--json", Scratch("v.txt")});
  ASSERT_EQ(sent.status, 0) << sent.error;
  EXPECT_NE(sent.error.find("opening " + End(Side::A)), std::string::npos) << sent.error;
  EXPECT_NE(sent.error.find("opened in "), std::string::npos) << sent.error;
  EXPECT_NE(sent.error.find("sending " + Scratch("v.txt") + " as \\v.txt"), std::string::npos);
  EXPECT_EQ(Parsed(sent.output).size(), 1u) << sent.output;
}

}  // namespace
}  // namespace tarvel::testing
