#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "platform/directory_search.h"
#include "support/temp_dir.h"

namespace tarvel {
namespace {

using testing::TempDir;
using testing::WriteWholeFile;

// A device root with a few entries whose times are set by the test.
class DirectorySearch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(root_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(outside_.c_str(), 0700), 0);
    WriteWholeFile(outside_ + "/secret.txt", "outside");
    WriteWholeFile(root_ + "/b.txt", "b");
    WriteWholeFile(root_ + "/A.txt", "a");
    WriteWholeFile(root_ + "/notes.doc", "n");
    ASSERT_EQ(mkdir((root_ + "/Folder").c_str(), 0700), 0);
  }

  std::optional<std::vector<DirectoryEntry>> Search(const std::string& devicePattern) {
    std::string why;
    auto location = ResolveDevicePath(root_, devicePattern, &why);
    EXPECT_TRUE(location) << why;
    if (!location) return std::nullopt;
    error_.clear();
    return SearchDirectory(*location, &error_);
  }

  std::vector<std::string> Listed(const std::string& devicePattern) {
    std::vector<std::string> names;
    auto entries = Search(devicePattern);
    EXPECT_TRUE(entries) << error_;
    if (entries) {
      for (auto& entry : *entries) names.push_back(entry.name);
    }
    return names;
  }

  TempDir temp_;
  std::string root_ = temp_ / "root";
  std::string outside_ = temp_ / "outside";
  std::string error_;
};

using NameList = std::vector<std::string>;

TEST_F(DirectorySearch, MatchesFilesAndFoldersInNameOrder) {
  EXPECT_EQ(Listed("\\*.txt"), (NameList{"A.txt", "b.txt"}));
  EXPECT_EQ(Listed("*"), (NameList{"A.txt", "Folder", "b.txt", "notes.doc"}));
  EXPECT_EQ(Listed("\\*."), (NameList{"Folder"}));
  EXPECT_EQ(Listed("\\a.TXT"), (NameList{"A.txt"}));
  ASSERT_EQ(mkdir((root_ + "/Folder/Sub").c_str(), 0700), 0);
  EXPECT_EQ(Listed("\\Folder\\*"), (NameList{"Sub"}));
}

TEST_F(DirectorySearch, NothingToListIsEmptyNotAnError) {
  EXPECT_EQ(Listed("\\*.xls"), NameList{});
  EXPECT_EQ(Listed("\\missing\\*"), NameList{});
  EXPECT_EQ(Listed("\\b.txt\\*"), NameList{});
  EXPECT_EQ(Listed("\\Folder\\"), NameList{});
}

TEST_F(DirectorySearch, SymlinksCannotLeadOutOfTheRoot) {
  ASSERT_EQ(symlink(outside_.c_str(), (root_ + "/out").c_str()), 0);
  EXPECT_FALSE(Search("\\out\\*"));
  EXPECT_EQ(error_, "path leaves the device root");

  // A link inside the root is listed with its own time, not its target's.
  const std::string link = root_ + "/link.txt";
  ASSERT_EQ(symlink((outside_ + "/secret.txt").c_str(), link.c_str()), 0);
  timespec targetTimes[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
  timespec linkTimes[2] = {{0, UTIME_OMIT}, {1500000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (outside_ + "/secret.txt").c_str(), targetTimes, 0), 0);
  ASSERT_EQ(utimensat(AT_FDCWD, link.c_str(), linkTimes, AT_SYMLINK_NOFOLLOW), 0);
  auto entries = Search("\\link.txt");
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 1u);
  time_t linkTime = 1500000000;
  struct tm local {};
  localtime_r(&linkTime, &local);
  EXPECT_EQ((*entries)[0].lastWrite.year, local.tm_year + 1900);
  EXPECT_EQ((*entries)[0].lastWrite.second, local.tm_sec);
}

// Restores the time zone of the process after a test changed it.
class TimeZone {
 public:
  explicit TimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TimeZone() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(DirectorySearch, LastWriteIsLocalTimeInWholeSeconds) {
  TimeZone zone("TST-3");  // three hours east of UTC, no daylight saving
  // 2023-11-14 22:13:20.999999999 UTC: rounding would move to the next second.
  timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 999999999}};
  ASSERT_EQ(utimensat(AT_FDCWD, (root_ + "/b.txt").c_str(), times, 0), 0);
  auto entries = Search("\\b.txt");
  ASSERT_TRUE(entries) << error_;
  ASSERT_EQ(entries->size(), 1u);
  const CalendarTime& when = (*entries)[0].lastWrite;

  time_t seconds = 1700000000;
  struct tm local {};
  ASSERT_NE(localtime_r(&seconds, &local), nullptr);
  EXPECT_EQ(when.year, local.tm_year + 1900);
  EXPECT_EQ(when.month, local.tm_mon + 1);
  EXPECT_EQ(when.day, local.tm_mday);
  EXPECT_EQ(when.hour, local.tm_hour);
  EXPECT_EQ(when.minute, local.tm_min);
  EXPECT_EQ(when.second, local.tm_sec);
  // The same instant as the local wall clock shows it.
  EXPECT_EQ(
      (std::vector<int>{when.year, when.month, when.day, when.hour, when.minute, when.second}),
      (std::vector<int>{2023, 11, 15, 1, 13, 20}));
}

TEST_F(DirectorySearch, NativePatterns) {
  std::string error;
  auto entries = SearchDirectory(FileLocation{"", outside_ + "/*.TXT"}, &error);
  ASSERT_TRUE(entries) << error;
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ((*entries)[0].name, "secret.txt");
  EXPECT_TRUE(SearchDirectory(FileLocation{"", outside_ + "/"}, &error)->empty());
}

}  // namespace
}  // namespace tarvel
