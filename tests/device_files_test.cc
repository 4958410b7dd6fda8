#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "platform/device_files.h"
#include "platform/open_beneath.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"

namespace tarvel {
namespace {

using testing::FileExists;
using testing::FilesIn;
using testing::RandomBytes;
using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

// A device root with a folder beside it that files must not reach.
class DeviceFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(root_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(outside_.c_str(), 0700), 0);
    WriteWholeFile(outside_ + "/secret", "outside");
  }

  FileLocation Device(const std::string& devicePath) {
    std::string why;
    auto location = ResolveDevicePath(root_, devicePath, &why);
    EXPECT_TRUE(location) << why;
    return location.value_or(FileLocation{});
  }

  std::string ReadAll(const FileLocation& location) {
    std::string error;
    auto file = OpenInputFile(location, &error);
    if (!file) return "error: " + error;
    std::string content;
    char buffer[333];
    for (std::ptrdiff_t got; (got = file->Read(buffer, sizeof buffer)) > 0;) {
      content.append(buffer, static_cast<size_t>(got));
    }
    return content;
  }

  TempDir temp_;
  std::string root_ = temp_ / "root";
  std::string outside_ = temp_ / "outside";
};

TEST_F(DeviceFiles, ReadsDeviceAndNativeFiles) {
  const std::string content = RandomBytes(1000, 7);
  ASSERT_EQ(mkdir((root_ + "/My Documents").c_str(), 0700), 0);
  WriteWholeFile(root_ + "/My Documents/a.bin", content);
  std::string error;
  auto file = OpenInputFile(Device("\\My Documents\\a.bin"), &error);
  ASSERT_TRUE(file) << error;
  EXPECT_EQ(file->Size(), 1000);
  EXPECT_EQ(ReadAll(Device("\\My Documents\\a.bin")), content);
  EXPECT_EQ(ReadAll(FileLocation{"", outside_ + "/secret"}), "outside");
}

TEST_F(DeviceFiles, ReadingRefusesFoldersAndMissingFiles) {
  ASSERT_EQ(mkdir((root_ + "/dir").c_str(), 0700), 0);
  EXPECT_EQ(ReadAll(Device("\\dir")), "error: is a folder");
  EXPECT_EQ(ReadAll(Device("\\missing.txt")).rfind("error: ", 0), 0u);
  ASSERT_EQ(mkfifo((root_ + "/fifo").c_str(), 0600), 0);
  EXPECT_EQ(ReadAll(Device("\\fifo")), "error: not a regular file");
}

TEST_F(DeviceFiles, SymlinksCannotLeadOutOfTheRoot) {
  ASSERT_EQ(symlink((outside_ + "/secret").c_str(), (root_ + "/absolute").c_str()), 0);
  ASSERT_EQ(symlink("../outside/secret", (root_ + "/relative").c_str()), 0);
  ASSERT_EQ(symlink(outside_.c_str(), (root_ + "/folder").c_str()), 0);
  for (const char* path : {"\\absolute", "\\relative", "\\folder\\secret"}) {
    EXPECT_EQ(ReadAll(Device(path)), "error: path leaves the device root") << path;
  }
  // A link that stays beneath the root is followed.
  WriteWholeFile(root_ + "/real.txt", "inside");
  ASSERT_EQ(symlink("real.txt", (root_ + "/alias").c_str()), 0);
  EXPECT_EQ(ReadAll(Device("\\alias")), "inside");
}

TEST_F(DeviceFiles, WalkingFallbackRefusesEverySymlink) {
  ASSERT_EQ(mkdir((root_ + "/a").c_str(), 0700), 0);
  WriteWholeFile(root_ + "/a/b.txt", "walked");
  ASSERT_EQ(symlink("a", (root_ + "/inner").c_str()), 0);
  ASSERT_EQ(symlink("b.txt", (root_ + "/a/alias").c_str()), 0);
  UniqueFd rootFd(open(root_.c_str(), O_PATH | O_DIRECTORY));
  ASSERT_TRUE(rootFd.valid());

  UniqueFd file = OpenBeneathByWalking(rootFd.get(), "a/./b.txt", O_RDONLY);
  ASSERT_TRUE(file.valid());
  char buffer[16] = {};
  EXPECT_EQ(read(file.get(), buffer, sizeof buffer), 6);
  EXPECT_TRUE(OpenBeneathByWalking(rootFd.get(), "a/", O_PATH | O_DIRECTORY).valid());
  EXPECT_FALSE(OpenBeneathByWalking(rootFd.get(), "a/b.txt/", O_RDONLY).valid());

  EXPECT_FALSE(OpenBeneathByWalking(rootFd.get(), "inner/b.txt", O_RDONLY).valid());
  EXPECT_EQ(errno, ELOOP);
  EXPECT_FALSE(OpenBeneathByWalking(rootFd.get(), "a/alias", O_RDONLY).valid());
  EXPECT_EQ(errno, ELOOP);
  EXPECT_FALSE(OpenBeneathByWalking(rootFd.get(), "a/../a/b.txt", O_RDONLY).valid());
  EXPECT_EQ(errno, EXDEV);
}

TEST_F(DeviceFiles, CommitCreatesAndReplacesAtomically) {
  std::string error;
  auto created = CreateOutputFile(Device("\\new.txt"), ClashPolicy::Overwrite, &error);
  ASSERT_TRUE(created) << error;
  ASSERT_TRUE(created->Write("fresh", 5, nullptr));
  EXPECT_FALSE(FileExists(root_ + "/new.txt"));
  ASSERT_TRUE(created->Commit(nullptr));
  EXPECT_EQ(ReadWholeFile(root_ + "/new.txt"), "fresh");

  const std::string content = RandomBytes(5000, 3);
  WriteWholeFile(root_ + "/a.txt", "old content");
  auto oldReader = OpenInputFile(Device("\\a.txt"), &error);
  auto output = CreateOutputFile(Device("\\a.txt"), ClashPolicy::Overwrite, &error);
  ASSERT_TRUE(output) << error;
  ASSERT_TRUE(output->Write(content.data(), 2000, nullptr));
  ASSERT_TRUE(output->Write(content.data() + 2000, 3000, nullptr));
  // The target is untouched until the commit; the data sits in a temporary beside it.
  EXPECT_EQ(ReadWholeFile(root_ + "/a.txt"), "old content");
  auto names = FilesIn(root_);
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(std::count_if(names.begin(), names.end(),
                          [](auto& n) { return n.rfind(".a.txt.tarvel-", 0) == 0; }),
            1);
  ASSERT_TRUE(output->Commit(nullptr));
  EXPECT_FALSE(output->Commit(nullptr));
  EXPECT_EQ(ReadWholeFile(root_ + "/a.txt"), content);
  EXPECT_EQ(FilesIn(root_).size(), 2u);
  // Replaced, not rewritten: a reader of the old file still sees the old bytes.
  char buffer[32] = {};
  EXPECT_EQ(oldReader->Read(buffer, sizeof buffer), 11);
  EXPECT_STREQ(buffer, "old content");
}

TEST_F(DeviceFiles, AbandonLeavesTargetAndNoTemporary) {
  const std::string original = RandomBytes(700, 9);
  WriteWholeFile(root_ + "/keep.bin", original);
  {
    std::string error;
    auto output = CreateOutputFile(Device("keep.bin"), ClashPolicy::Overwrite, &error);
    ASSERT_TRUE(output) << error;
    ASSERT_TRUE(output->Write("partial", 7, nullptr));
  }
  EXPECT_EQ(ReadWholeFile(root_ + "/keep.bin"), original);
  EXPECT_EQ(FilesIn(root_), std::vector<std::string>{"keep.bin"});
}

TEST_F(DeviceFiles, CreatingRespectsFoldersAndTheRoot) {
  std::string error;
  ASSERT_EQ(mkdir((root_ + "/dir").c_str(), 0700), 0);
  EXPECT_FALSE(CreateOutputFile(Device("\\dir"), ClashPolicy::Overwrite, &error));
  EXPECT_EQ(error, "is a folder");
  EXPECT_FALSE(CreateOutputFile(Device("\\dir\\"), ClashPolicy::Overwrite, &error));
  EXPECT_FALSE(CreateOutputFile(Device("\\nowhere\\a.txt"), ClashPolicy::Overwrite, &error));
  EXPECT_FALSE(FileExists(root_ + "/nowhere"));

  ASSERT_EQ(symlink(outside_.c_str(), (root_ + "/out").c_str()), 0);
  EXPECT_FALSE(CreateOutputFile(Device("\\out\\new.txt"), ClashPolicy::Overwrite, &error));
  EXPECT_EQ(error, "path leaves the device root");
  EXPECT_EQ(FilesIn(outside_), std::vector<std::string>{"secret"});

  // A link as the name itself is replaced; what it pointed to stays as it was.
  ASSERT_EQ(symlink((outside_ + "/secret").c_str(), (root_ + "/link.txt").c_str()), 0);
  auto output = CreateOutputFile(Device("\\link.txt"), ClashPolicy::Overwrite, &error);
  ASSERT_TRUE(output) << error;
  ASSERT_TRUE(output->Write("mine", 4, nullptr));
  ASSERT_TRUE(output->Commit(nullptr));
  EXPECT_EQ(ReadWholeFile(outside_ + "/secret"), "outside");
  struct stat info;
  ASSERT_EQ(lstat((root_ + "/link.txt").c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
}

TEST_F(DeviceFiles, CreateFoldersMakesMissingFoldersOnlyBeneathTheRoot) {
  std::string error;
  ASSERT_TRUE(CreateFolders(Device("\\a\\b\\c.txt"), &error)) << error;
  struct stat info;
  ASSERT_EQ(stat((root_ + "/a/b").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_FALSE(FileExists(root_ + "/a/b/c.txt"));
  // Made once, the folders are found again; the file then goes in.
  ASSERT_TRUE(CreateFolders(Device("\\a\\b\\c.txt"), &error)) << error;
  EXPECT_TRUE(CreateOutputFile(Device("\\a\\b\\c.txt"), ClashPolicy::Overwrite, &error));

  ASSERT_EQ(symlink(outside_.c_str(), (root_ + "/out").c_str()), 0);
  EXPECT_FALSE(CreateFolders(Device("\\out\\x\\y.txt"), &error));
  EXPECT_EQ(error, "path leaves the device root");
  EXPECT_EQ(FilesIn(outside_), std::vector<std::string>{"secret"});

  WriteWholeFile(root_ + "/plain", "a file");
  EXPECT_FALSE(CreateFolders(Device("\\plain\\x\\y.txt"), &error));
  EXPECT_EQ(ReadWholeFile(root_ + "/plain"), "a file");

  // A native location is the host's own: nothing is made for it.
  EXPECT_TRUE(CreateFolders(FileLocation{"", outside_ + "/new/z.txt"}, &error));
  EXPECT_FALSE(FileExists(outside_ + "/new"));
}

TEST_F(DeviceFiles, LongestNameAndNativeTargets) {
  std::string error;
  const std::string name(255, 'L');
  auto output = CreateOutputFile(Device(name), ClashPolicy::Overwrite, &error);
  ASSERT_TRUE(output) << error;
  ASSERT_TRUE(output->Commit(nullptr));
  EXPECT_TRUE(FileExists(root_ + "/" + name));

  auto native =
      CreateOutputFile(FileLocation{"", outside_ + "/native.txt"}, ClashPolicy::Overwrite, &error);
  ASSERT_TRUE(native) << error;
  ASSERT_TRUE(native->Write("n", 1, nullptr));
  ASSERT_TRUE(native->Commit(nullptr));
  EXPECT_EQ(ReadWholeFile(outside_ + "/native.txt"), "n");
}

TEST_F(DeviceFiles, WriteRefusedByTheDiskFails) {
  WriteWholeFile(root_ + "/big.bin", "before");
  std::string error;
  auto output = CreateOutputFile(Device("big.bin"), ClashPolicy::Overwrite, &error);
  ASSERT_TRUE(output) << error;
  const std::string content = RandomBytes(20000, 1);

  // A file size limit stands in for a full disk; SIGXFSZ would end the test.
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit limited = saved;
  limited.rlim_cur = 8192;
  auto previousHandler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  std::string why;
  bool written = output->Write(content.data(), content.size(), &why);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previousHandler);

  EXPECT_FALSE(written);
  EXPECT_EQ(why, "File too large");
  EXPECT_FALSE(output->Commit(&why));
  EXPECT_EQ(why, "a write failed earlier");
  EXPECT_EQ(ReadWholeFile(root_ + "/big.bin"), "before");
  EXPECT_EQ(FilesIn(root_), std::vector<std::string>{"big.bin"});
}

// Another writer may take the name while a file is received: only Overwrite
// ever replaces what is there at the commit.
TEST_F(DeviceFiles, ANameTakenBeforeTheCommitIsNeverReplacedUnderSkipOrRename) {
  std::string error;
  auto skipped = CreateOutputFile(Device("race.txt"), ClashPolicy::Skip, &error);
  auto renamed = CreateOutputFile(Device("race.txt"), ClashPolicy::Rename, &error);
  ASSERT_TRUE(skipped && renamed) << error;
  ASSERT_TRUE(skipped->Write("skipped", 7, nullptr));
  ASSERT_TRUE(renamed->Write("renamed", 7, nullptr));
  WriteWholeFile(root_ + "/race.txt", "came first");

  std::string why;
  EXPECT_FALSE(skipped->Commit(&why));
  EXPECT_EQ(why, kSkippedClash);
  ASSERT_TRUE(renamed->Commit(&why)) << why;
  EXPECT_EQ(renamed->PlacedName(), "race (1).txt");
  EXPECT_EQ(ReadWholeFile(root_ + "/race.txt"), "came first");
  EXPECT_EQ(ReadWholeFile(root_ + "/race (1).txt"), "renamed");
  auto names = FilesIn(root_);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"race (1).txt", "race.txt"}));
  // Skip refuses at once a name already taken, creating nothing.
  EXPECT_FALSE(CreateOutputFile(Device("race.txt"), ClashPolicy::Skip, &error));
  EXPECT_EQ(error, kSkippedClash);
}

// A numbered name must still fit a component: the stem is shortened, and
// never inside a character, or the name would be refused or mangled.
TEST_F(DeviceFiles, ANumberedNameAtTheLongestLengthIsShortenedWholeCharacters) {
  std::string stem;
  for (int i = 0; i < 124; ++i) stem += "\xC3\xA9";  // 248 bytes of two-byte characters
  const std::string name = stem + ".jpg";
  WriteWholeFile(root_ + "/" + name, "old");
  std::string error;
  auto output = CreateOutputFile(Device(name), ClashPolicy::Rename, &error);
  ASSERT_TRUE(output) << error;
  ASSERT_TRUE(output->Write("new", 3, nullptr));
  std::string why;
  ASSERT_TRUE(output->Commit(&why)) << why;
  const std::string expected = stem.substr(0, 246) + " (1).jpg";
  EXPECT_EQ(output->PlacedName(), expected);
  EXPECT_EQ(ReadWholeFile(root_ + "/" + expected), "new");
  EXPECT_EQ(ReadWholeFile(root_ + "/" + name), "old");
  EXPECT_EQ(NumberedName(".profile", 2), ".profile (2)");
  EXPECT_EQ(NumberedName("a.tar.gz", 3), "a.tar (3).gz");
}

}  // namespace
}  // namespace tarvel
