// SPDX-License-Identifier: MIT
// What a link's requests leave waiting, on its own: which save path an
// arriving file takes, a withdrawn request, the bound on requests never
// answered, threads adding and taking at once, and the listing kept apart.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/pending_requests.h"

namespace tarvel::testing {
namespace {

using Paths = std::vector<std::u16string>;

TEST(PendingRequests, AFileTakesTheOldestSaveOfItsOwnNameOnly) {
  PendingRequests pending;
  pending.AddSave("\\a.txt", u"\\first.bin");
  pending.AddSave("\\b.txt", u"\\other.bin");
  pending.AddSave("\\a.txt", u"\\second.bin");
  EXPECT_EQ(pending.Saves("\\a.txt"), (Paths{u"\\first.bin", u"\\second.bin"}));

  // A name no request carries takes nothing and ends nothing; nor does one
  // that differs only by its backslash or its letter case.
  EXPECT_EQ(pending.TakeSave("\\c.txt"), std::nullopt);
  EXPECT_EQ(pending.TakeSave("a.txt"), std::nullopt);
  EXPECT_EQ(pending.TakeSave("\\A.TXT"), std::nullopt);
  EXPECT_EQ(pending.SaveCount(), 3u);

  EXPECT_EQ(pending.TakeSave("\\a.txt"), std::u16string(u"\\first.bin"));
  EXPECT_EQ(pending.TakeSave("\\a.txt"), std::u16string(u"\\second.bin"));
  EXPECT_EQ(pending.TakeSave("\\a.txt"), std::nullopt) << "each save path serves one file";
  EXPECT_EQ(pending.Saves("\\b.txt"), Paths{u"\\other.bin"});
}

TEST(PendingRequests, AnEmptySavePathIsAPendingRequestToo) {
  PendingRequests pending;
  pending.AddSave("\\own.txt", u"");
  std::optional<std::u16string> taken = pending.TakeSave("\\own.txt");
  ASSERT_TRUE(taken) << "the answer to a request with no save path would read as a push";
  EXPECT_EQ(*taken, u"");
}

TEST(PendingRequests, AWithdrawnRequestLeavesTheOthersOfItsNameInOrder) {
  PendingRequests pending;
  uint64_t older = pending.AddSave("\\same.txt", u"\\older.bin");
  uint64_t middle = pending.AddSave("\\same.txt", u"\\middle.bin");
  uint64_t newer = pending.AddSave("\\same.txt", u"\\newer.bin");
  EXPECT_NE(older, middle);
  EXPECT_NE(middle, newer);
  pending.WithdrawSave(middle);
  EXPECT_EQ(pending.Saves("\\same.txt"), (Paths{u"\\older.bin", u"\\newer.bin"}));

  // A ticket already spent, by a take or a withdrawal, withdraws nothing else.
  EXPECT_EQ(pending.TakeSave("\\same.txt"), std::u16string(u"\\older.bin"));
  pending.WithdrawSave(older);
  pending.WithdrawSave(middle);
  EXPECT_EQ(pending.Saves("\\same.txt"), Paths{u"\\newer.bin"});
  pending.WithdrawSave(newer);
  EXPECT_EQ(pending.SaveCount(), 0u);
}

TEST(PendingRequests, RequestsNeverAnsweredForgetTheOldestBeyondTheBound) {
  PendingRequests pending;
  uint64_t first = pending.AddSave("\\lost.txt", u"\\lost.bin");
  for (size_t i = 1; i < PendingRequests::kMaxSaves; ++i) {
    pending.AddSave("\\n" + std::to_string(i), u"\\kept.bin");
  }
  EXPECT_EQ(pending.SaveCount(), PendingRequests::kMaxSaves);
  uint64_t beyond = pending.AddSave("\\beyond.txt", u"\\beyond.bin");
  EXPECT_EQ(pending.SaveCount(), PendingRequests::kMaxSaves);
  EXPECT_EQ(pending.TakeSave("\\lost.txt"), std::nullopt);
  EXPECT_EQ(pending.Saves("\\n1"), Paths{u"\\kept.bin"});
  // Tickets are never handed out twice, so the forgotten one withdraws nothing.
  EXPECT_NE(first, beyond);
  pending.WithdrawSave(first);
  EXPECT_EQ(pending.SaveCount(), PendingRequests::kMaxSaves);

  pending.ClearSaves();
  EXPECT_EQ(pending.SaveCount(), 0u);
  EXPECT_EQ(pending.TakeSave("\\beyond.txt"), std::nullopt);
}

// The host's thread adds requests while the listener's takes their answers:
// every save path is taken exactly once.
TEST(PendingRequests, ThreadsThatAddAndTakeAtOnceLoseAndRepeatNoSave) {
  PendingRequests pending;
  constexpr int kEach = 2000;
  std::vector<std::u16string> taken;
  std::thread adder([&] {
    for (int i = 0; i < kEach; ++i) {
      // Never past the bound, which would forget a save the taker waits for.
      while (pending.SaveCount() >= PendingRequests::kMaxSaves) std::this_thread::yield();
      std::string n = std::to_string(i);
      pending.AddSave("\\" + n, std::u16string(n.begin(), n.end()));
    }
  });
  std::thread taker([&] {
    for (int i = 0; i < kEach; ++i) {
      std::optional<std::u16string> path;
      while (!(path = pending.TakeSave("\\" + std::to_string(i)))) std::this_thread::yield();
      taken.push_back(*path);
    }
  });
  adder.join();
  taker.join();
  ASSERT_EQ(taken.size(), static_cast<size_t>(kEach));
  for (int i = 0; i < kEach; ++i) {
    std::string n = std::to_string(i);
    EXPECT_EQ(taken[static_cast<size_t>(i)], std::u16string(n.begin(), n.end()));
  }
  EXPECT_EQ(pending.SaveCount(), 0u);
}

TEST(PendingRequests, AKeptListingIsNoneUntilKeptThenTheLatest) {
  PendingRequests pending;
  EXPECT_FALSE(pending.ListingApart());
  EXPECT_EQ(pending.KeptListing(), std::nullopt);
  pending.KeepListingApart();
  EXPECT_TRUE(pending.ListingApart());
  EXPECT_EQ(pending.KeptListing(), std::nullopt) << "a listing before any was written";
  pending.KeepListing("a.txt\r\n");
  pending.KeepListing("b.txt\r\n");
  EXPECT_EQ(pending.KeptListing(), std::optional<std::string>("b.txt\r\n"));
  pending.ClearSaves();
  EXPECT_EQ(pending.KeptListing(), std::optional<std::string>("b.txt\r\n"))
      << "starting the server again keeps the listing";
}

}  // namespace
}  // namespace tarvel::testing
