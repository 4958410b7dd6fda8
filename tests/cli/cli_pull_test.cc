// SPDX-License-Identifier: MIT
// tarvel pull against a peer that only speaks the wire: a scripted peer that
// answers list and get requests by writing the bytes itself, and against a
// real tarvel listen; and send -r into a real tarvel listen.
#include <sys/stat.h>
#include <utime.h>

#include <map>
#include <mutex>
#include <thread>

#include "cli_fixture.h"
#include "json_check.h"
#include "raw_peer.h"

namespace tarvel::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Answers every get request for a name it holds with a file header, the
// sender's pause and the content; a list request and any other name get
// nothing, as from a peer whose listing stays in its own file.
class ScriptedPeer {
 public:
  ScriptedPeer(const std::string& end, std::map<std::string, std::string> files)
      : peer_(end), files_(std::move(files)), thread_([this] { Run(); }) {}
  ~ScriptedPeer() {
    stop_ = true;
    thread_.join();
  }

  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
  }

 private:
  // One request, up to and with its closing '|'; empty when none came.
  std::string NextRequest() {
    std::string request;
    while (!stop_) {
      std::string byte = peer_.Read(1, milliseconds(100));
      if (byte.empty()) continue;
      request += byte;
      if (byte == "|") return request;
    }
    return std::string();
  }

  void Run() {
    for (std::string request; !(request = NextRequest()).empty();) {
      {
        std::lock_guard<std::mutex> hold(lock_);
        requests_.push_back(request);
      }
      if (request.rfind("GILE: ", 0) != 0) continue;
      std::string name = request.substr(6, request.size() - 7);
      auto file = files_.find(name);
      if (file == files_.end()) continue;
      peer_.Message("FILE: " + name + "|" + std::to_string(file->second.size()) + "|",
                    milliseconds(1000));
      peer_.Message(file->second, milliseconds(50));
    }
  }

  RawPeer peer_;
  std::map<std::string, std::string> files_;
  std::mutex lock_;
  std::vector<std::string> requests_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::string Entry(const std::string& name, const std::string& time) {
  return name + "\r\n" + time + "\r\n\r\n";
}

bool Requested(const std::vector<std::string>& requests, const std::string& request) {
  return std::find(requests.begin(), requests.end(), request) != requests.end();
}

TEST_F(CliTest, PullFetchesListedEntriesSkipsAMissingOneAndNamesLeadingOut) {
  std::string listing =
      Entry("a.txt", "2020 01 02-03:04:05") + Entry("missing.txt", "2020 01 02-03:04:05") +
      Entry("..\\evil.txt", "2020 01 02-03:04:05") + Entry("C:evil.txt", "2020 01 02-03:04:05") +
      Entry("out\\leak.txt", "2020 01 02-03:04:05") + Entry("b.txt", "2020 01 02-03:04:05");
  ScriptedPeer peer(End(Side::A), {{"\\Tarvel.txt", listing},
                                   {"\\docs\\a.txt", "alpha"},
                                   {"\\docs\\out\\leak.txt", "leaked"},
                                   {"\\docs\\b.txt", "beta!"}});
  // A link inside the folder that leads out of it.
  const std::string into = Scratch("into");
  const std::string outside = Scratch("outside");
  ASSERT_EQ(mkdir(into.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
  ASSERT_EQ(symlink(outside.c_str(), (into + "/out").c_str()), 0);
  Finished pulled = Run(Side::B, {"pull", "--skip-after", "2", "\\docs\\*.txt", into}, seconds(40));
  EXPECT_EQ(pulled.status, 0) << pulled.output << pulled.error;
  EXPECT_EQ(ReadWholeFile(into + "/a.txt"), "alpha");
  EXPECT_EQ(ReadWholeFile(into + "/b.txt"), "beta!");
  EXPECT_FALSE(FileExists(into + "/missing.txt"));
  EXPECT_FALSE(FileExists(Scratch("evil.txt")));
  EXPECT_NE(pulled.output.find("skipped missing.txt: nothing came within 2 s"), std::string::npos)
      << pulled.output;
  EXPECT_NE(pulled.output.find("skipped ..\\evil.txt: a name that leads out of the folder"),
            std::string::npos)
      << pulled.output;
  EXPECT_NE(pulled.output.find("skipped C:evil.txt"), std::string::npos) << pulled.output;
  EXPECT_NE(pulled.output.find("skipped out\\leak.txt: a name that leads out of the folder"),
            std::string::npos)
      << pulled.output;
  EXPECT_FALSE(FileExists(outside + "/leak.txt"));
  EXPECT_NE(pulled.output.find("pulled 2 of 6 entries"), std::string::npos) << pulled.output;
  std::vector<std::string> requests = peer.Requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[0], "LIST: \\docs\\*.txt|");
  EXPECT_EQ(requests[1], "GILE: \\Tarvel.txt|");
  EXPECT_TRUE(Requested(requests, "GILE: \\docs\\missing.txt|"));
  EXPECT_FALSE(Requested(requests, "GILE: \\docs\\..\\evil.txt|"));
  EXPECT_FALSE(Requested(requests, "GILE: \\docs\\out\\leak.txt|"));
}

TEST_F(CliTest, PullNewerSkipsEntriesWhoseLocalCopyIsAsNewAsListed) {
  const std::string into = Scratch("into");
  ASSERT_EQ(mkdir(into.c_str(), 0700), 0);
  WriteWholeFile(into + "/old.txt", "kept");
  WriteWholeFile(into + "/stale.txt", "stale");
  // The local copy of stale.txt dates from 2001: older than its listing.
  utimbuf long_ago{1000000000, 1000000000};
  ASSERT_EQ(utime((into + "/stale.txt").c_str(), &long_ago), 0);
  std::string listing = Entry("old.txt", "2020 01 02-03:04:05") +
                        Entry("stale.txt", "2020 01 02-03:04:05") +
                        Entry("new.txt", "2020 01 02-03:04:05");
  ScriptedPeer peer(End(Side::A), {{"\\Tarvel.txt", listing},
                                   {"\\old.txt", "peer's old"},
                                   {"\\stale.txt", "fresh"},
                                   {"\\new.txt", "new"}});
  Finished pulled = Run(Side::B, {"pull", "--json", "--newer", "\\*.txt", into}, seconds(40));
  EXPECT_EQ(pulled.status, 0) << pulled.output << pulled.error;
  EXPECT_EQ(ReadWholeFile(into + "/old.txt"), "kept");
  EXPECT_EQ(ReadWholeFile(into + "/stale.txt"), "fresh");
  EXPECT_EQ(ReadWholeFile(into + "/new.txt"), "new");
  EXPECT_FALSE(Requested(peer.Requests(), "GILE: \\old.txt|"));
  std::string bad;
  std::vector<JsonObject> objects = JsonLinesOf(pulled.output, &bad);
  EXPECT_EQ(bad, "");
  int answers = 0;
  bool skippedOld = false;
  for (const JsonObject& object : objects) {
    if (object.at("kind").text == "answer") ++answers;
    if (object.at("kind").text == "notice" && object.at("path").text == "old.txt") {
      skippedOld = object.at("text").text.rfind("skipped old.txt", 0) == 0;
    }
  }
  EXPECT_EQ(answers, 3) << pulled.output;  // the listing, stale.txt and new.txt
  EXPECT_TRUE(skippedOld) << pulled.output;
}

TEST_F(CliTest, SendRecursiveMakesTheFoldersBeneathTheListenersRoot) {
  const std::string tree = Scratch("tree");
  ASSERT_EQ(mkdir(tree.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((tree + "/sub").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((tree + "/sub/deeper").c_str(), 0700), 0);
  WriteWholeFile(tree + "/top.txt", "top");
  WriteWholeFile(tree + "/sub/a.txt", "a");
  WriteWholeFile(tree + "/sub/deeper/b.txt", "b");
  auto listener = Listen(Side::B);
  Finished sent = Run(Side::A, {"send", "-r", tree}, seconds(30));
  ASSERT_EQ(sent.status, 0) << sent.error;
  ASSERT_TRUE(listener->WaitForOutput("RECV: \\top.txt", seconds(5))) << listener->Output();
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/sub/a.txt"), "a");
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/sub/deeper/b.txt"), "b");
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/top.txt"), "top");
  EXPECT_NE(listener->Output().find("RECV: \\sub\\deeper\\b.txt"), std::string::npos)
      << listener->Output();
}

TEST_F(CliTest, ListenWithCreateFoldersFalseRefusesAFileInAMissingFolder) {
  const std::string tree = Scratch("tree");
  ASSERT_EQ(mkdir(tree.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((tree + "/sub").c_str(), 0700), 0);
  WriteWholeFile(tree + "/sub/a.txt", "a");
  auto listener = Listen(Side::B, {"--create-folders=false"});
  Finished sent = Run(Side::A, {"send", "-r", tree, "\\put"}, seconds(30));
  ASSERT_EQ(sent.status, 0) << sent.error;
  ASSERT_TRUE(listener->WaitForOutput("FAIL: ", seconds(5))) << listener->Output();
  EXPECT_NE(listener->Output().find("\\put\\sub\\a.txt"), std::string::npos) << listener->Output();
  EXPECT_FALSE(FileExists(Root(Side::B) + "/put"));
}

TEST_F(CliTest, PullFromARealListenerSkipsAFolderEntry) {
  ASSERT_EQ(mkdir((Root(Side::B) + "/folder.d").c_str(), 0700), 0);
  WriteWholeFile(Root(Side::B) + "/one.d", "one");
  auto listener = Listen(Side::B);
  const std::string into = Scratch("into");
  Finished pulled = Run(Side::A, {"pull", "--skip-after", "2", "\\*.d", into}, seconds(40));
  EXPECT_EQ(pulled.status, 0) << pulled.output << pulled.error;
  EXPECT_EQ(ReadWholeFile(into + "/one.d"), "one");
  EXPECT_FALSE(FileExists(into + "/folder.d"));
  EXPECT_NE(pulled.output.find("skipped folder.d"), std::string::npos) << pulled.output;
  EXPECT_NE(pulled.output.find("pulled 1 of 2 entries"), std::string::npos) << pulled.output;
}

}  // namespace
}  // namespace tarvel::testing
