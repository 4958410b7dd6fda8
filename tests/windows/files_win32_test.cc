// SPDX-License-Identifier: MIT
// Device files and directory search on Windows: W functions, confinement
// beneath the device root, and local calendar times.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/device_files.h"
#include "platform/directory_search.h"
#include "support/temp_dir.h"

namespace tarvel {
namespace {

using testing::FileExists;
using testing::RandomBytes;
using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

std::wstring Wide(const std::string& utf8) {
  std::u16string text = Utf8ToUtf16(utf8);
  return std::wstring(text.begin(), text.end());
}

// The names Windows has in a folder, as it lists them.
std::vector<std::string> NamesIn(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(Wide(folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") {
      names.push_back(Utf16ToUtf8(std::u16string(name.begin(), name.end())));
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

std::optional<FileLocation> Device(const std::string& root, const std::string& path) {
  std::string why;
  std::optional<FileLocation> location = ResolveDevicePath(root, path, &why);
  EXPECT_TRUE(location) << path << ": " << why;
  return location;
}

std::string Receive(const FileLocation& location, const std::string& content) {
  std::string error;
  std::unique_ptr<OutputFile> file = CreateOutputFile(location, ClashPolicy::Overwrite, &error);
  if (!file) return "refused: " + error;
  if (!file->Write(content.data(), content.size(), nullptr) || !file->Commit(nullptr))
    return "failed";
  return "ok";
}

std::string ReadThrough(const FileLocation& location) {
  std::string error;
  std::unique_ptr<InputFile> file = OpenInputFile(location, &error);
  if (!file) return "refused: " + error;
  std::string content(static_cast<size_t>(file->Size()), '\0');
  std::ptrdiff_t got = content.empty() ? 0 : file->Read(content.data(), content.size());
  content.resize(got < 0 ? 0 : static_cast<size_t>(got));
  return content;
}

TEST(Win32Files, ReceivedFileReplacesItsTargetWholeAndLeavesNoTemporary) {
  TempDir root;
  CreateDirectoryW(Wide(root / "Docs").c_str(), nullptr);
  WriteWholeFile(root / "Docs/a.bin", "old");
  std::string content = RandomBytes(70000, 3) + std::string("\0\r\n\x1A\x11\x13", 6);
  std::string error;
  std::unique_ptr<OutputFile> file =
      CreateOutputFile(*Device(root.path(), "\\Docs\\a.bin"), ClashPolicy::Overwrite, &error);
  ASSERT_TRUE(file) << error;
  ASSERT_TRUE(file->Write(content.data(), content.size(), nullptr));
  EXPECT_EQ(ReadWholeFile(root / "Docs/a.bin"), "old") << "replaced before the commit";
  ASSERT_TRUE(file->Commit(nullptr));
  EXPECT_TRUE(ReadWholeFile(root / "Docs/a.bin") == content);
  EXPECT_EQ(NamesIn(root / "Docs"), std::vector<std::string>{"a.bin"});
  EXPECT_TRUE(ReadThrough(*Device(root.path(), "Docs/a.bin")) == content);
}

TEST(Win32Files, AnUncommittedFileLeavesTheTargetAsItWas) {
  TempDir root;
  WriteWholeFile(root / "keep.txt", "before");
  {
    std::string error;
    std::unique_ptr<OutputFile> file =
        CreateOutputFile(*Device(root.path(), "keep.txt"), ClashPolicy::Overwrite, &error);
    ASSERT_TRUE(file) << error;
    file->Write("partial", 7, nullptr);
  }
  EXPECT_EQ(ReadWholeFile(root / "keep.txt"), "before");
  EXPECT_EQ(NamesIn(root.path()), std::vector<std::string>{"keep.txt"});
}

// A name taken before the commit: Skip keeps the file there, Rename takes
// the first free numbered name; neither replaces it.
TEST(Win32Files, ANameTakenBeforeTheCommitIsNeverReplacedUnderSkipOrRename) {
  TempDir root;
  std::string error;
  std::unique_ptr<OutputFile> skipped =
      CreateOutputFile(*Device(root.path(), "scan.jpg"), ClashPolicy::Skip, &error);
  std::unique_ptr<OutputFile> renamed =
      CreateOutputFile(*Device(root.path(), "scan.jpg"), ClashPolicy::Rename, &error);
  ASSERT_TRUE(skipped && renamed) << error;
  ASSERT_TRUE(skipped->Write("skipped", 7, nullptr));
  ASSERT_TRUE(renamed->Write("renamed", 7, nullptr));
  WriteWholeFile(root / "scan.jpg", "came first");
  std::string why;
  EXPECT_FALSE(skipped->Commit(&why));
  EXPECT_EQ(why, kSkippedClash);
  ASSERT_TRUE(renamed->Commit(&why)) << why;
  EXPECT_EQ(renamed->PlacedName(), "scan (1).jpg");
  EXPECT_EQ(ReadWholeFile(root / "scan.jpg"), "came first");
  EXPECT_EQ(ReadWholeFile(root / "scan (1).jpg"), "renamed");
  EXPECT_EQ(NamesIn(root.path()).size(), 2u);
  EXPECT_FALSE(CreateOutputFile(*Device(root.path(), "scan.jpg"), ClashPolicy::Skip, &error));
  EXPECT_EQ(error, kSkippedClash);

  std::optional<DiskSpace> space = SpaceFor(*Device(root.path(), "scan.jpg"), &error);
  ASSERT_TRUE(space) << error;
  EXPECT_GT(space->total, 0u);
  EXPECT_LE(space->available, space->total);
}

TEST(Win32Files, NamesReachWindowsInUtf16) {
  TempDir root;
  const std::string name = "R\xC3\xA9sum\xC3\xA9 \xE2\x9C\x93 \xD0\x96.txt";  // Résumé ✓ Ж.txt
  EXPECT_EQ(Receive(*Device(root.path(), "\\" + name), "cv"), "ok");
  EXPECT_NE(
      GetFileAttributesW((Wide(root.path()) + L"\\R\u00E9sum\u00E9 \u2713 \u0416.txt").c_str()),
      INVALID_FILE_ATTRIBUTES);
  std::string error;
  auto entries = SearchDirectory(*Device(root.path(), "\\R*"), &error);
  ASSERT_TRUE(entries) << error;
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ((*entries)[0].name, name);
}

TEST(Win32Files, NamesWindowsWouldReadOtherwiseAreRefused) {
  TempDir root;
  for (const char* path : {"CON", "aux.txt", "dir\\LPT1", "dir\\a:stream", "trailing.", "space ",
                           "what?.txt", "star*"}) {
    EXPECT_EQ(Receive(*Device(root.path(), path), "x"), "refused: name not allowed on Windows")
        << path;
  }
  EXPECT_EQ(NamesIn(root.path()), std::vector<std::string>{});
  EXPECT_EQ(Receive(*Device(root.path(), "COM10.txt"), "x"),
            "ok");  // only COM1 to COM9 are devices
}

TEST(Win32Files, FoldersAreNeitherReadNorReplaced) {
  TempDir root;
  CreateDirectoryW(Wide(root / "Folder").c_str(), nullptr);
  EXPECT_EQ(ReadThrough(*Device(root.path(), "Folder")), "refused: is a folder");
  EXPECT_EQ(Receive(*Device(root.path(), "Folder"), "x"), "refused: is a folder");
  EXPECT_EQ(Receive(*Device(root.path(), "Folder\\"), "x"), "refused: path names a folder");
  EXPECT_EQ(Receive(*Device(root.path(), "missing\\x.txt"), "x"),
            "refused: No such file or directory");
}

TEST(Win32Files, NativePathsAreUsedAsGiven) {
  TempDir folder;
  std::string path = folder.path() + "\\native.txt";
  EXPECT_EQ(Receive(FileLocation{"", path}, "native"), "ok");
  EXPECT_EQ(ReadThrough(FileLocation{"", path}), "native");
  std::string error;
  auto entries = SearchDirectory(FileLocation{"", folder.path() + "\\*.TXT"}, &error);
  ASSERT_TRUE(entries) << error;
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ((*entries)[0].name, "native.txt");
}

// Symbolic links come from the Linux side of the test (wine_harness.py --links).
class Win32Links : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* links = std::getenv("TARVEL_TEST_LINKS");
    ASSERT_NE(links, nullptr) << "run through wine_harness.py --links";
    root_ = std::string(links) + "\\root";
  }
  std::string root_;
};

TEST_F(Win32Links, NoLinkLeadsOutOfTheRoot) {
  EXPECT_EQ(ReadThrough(*Device(root_, "secret.txt")), "refused: path leaves the device root");
  EXPECT_EQ(ReadThrough(*Device(root_, "out\\secret.txt")), "refused: path leaves the device root");
  EXPECT_EQ(Receive(*Device(root_, "out\\new.txt"), "x"), "refused: path leaves the device root");
  std::string error;
  EXPECT_FALSE(SearchDirectory(*Device(root_, "\\out\\*"), &error));
  EXPECT_EQ(error, "path leaves the device root");
}

TEST_F(Win32Links, LinksThatStayInsideTheRootAreFollowed) {
  EXPECT_EQ(ReadThrough(*Device(root_, "alias\\inside.txt")), "inside");
  std::string error;
  auto entries = SearchDirectory(*Device(root_, "\\alias\\*"), &error);
  ASSERT_TRUE(entries) << error;
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ((*entries)[0].name, "inside.txt");
}

TEST(Win32DirectorySearch, FilesAndFoldersInNameOrderWithoutDotEntries) {
  TempDir root;
  for (const char* name : {"b.txt", "A.txt", "notes.doc"}) WriteWholeFile(root / name, name);
  CreateDirectoryW(Wide(root / "Folder").c_str(), nullptr);
  auto names = [&](const std::string& pattern) {
    std::vector<std::string> listed;
    std::string error;
    auto entries = SearchDirectory(*Device(root.path(), pattern), &error);
    EXPECT_TRUE(entries) << error;
    for (const DirectoryEntry& entry : entries.value_or(std::vector<DirectoryEntry>{})) {
      listed.push_back(entry.name);
    }
    return listed;
  };
  using Names = std::vector<std::string>;
  EXPECT_EQ(names("\\*"), (Names{"A.txt", "Folder", "b.txt", "notes.doc"}));
  EXPECT_EQ(names("\\*.txt"), (Names{"A.txt", "b.txt"}));
  EXPECT_EQ(names("\\*."), (Names{"Folder"}));
  EXPECT_EQ(names("\\Folder\\*"), Names{});
  EXPECT_EQ(names("\\missing\\*"), Names{});
  EXPECT_EQ(names("\\b.txt\\*"), Names{});
  EXPECT_EQ(names("\\Folder\\"), Names{});
}

void SetLastWrite(const std::string& path, WORD year, WORD month, WORD day, WORD hour) {
  SYSTEMTIME utc{};
  utc.wYear = year;
  utc.wMonth = month;
  utc.wDay = day;
  utc.wHour = hour;
  utc.wSecond = 59;
  utc.wMilliseconds = 999;
  FILETIME stamp;
  ASSERT_TRUE(SystemTimeToFileTime(&utc, &stamp));
  HANDLE file = CreateFileW(Wide(path).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &stamp));
  CloseHandle(file);
}

// CTest runs this with TZ=Europe/Berlin: one hour east of UTC in winter, two
// in summer. The rules of each date apply, as in Linux's localtime.
TEST(Win32DirectorySearch, LastWriteIsLocalTimeOfItsOwnDate) {
  TempDir root;
  WriteWholeFile(root / "winter.txt", "w");
  WriteWholeFile(root / "summer.txt", "s");
  SetLastWrite(root / "winter.txt", 2021, 1, 15, 12);
  SetLastWrite(root / "summer.txt", 2021, 7, 15, 23);
  std::string error;
  auto entries = SearchDirectory(*Device(root.path(), "*.txt"), &error);
  ASSERT_TRUE(entries) << error;
  ASSERT_EQ(entries->size(), 2u);
  auto fields = [](const CalendarTime& t) {
    return std::vector<int>{t.year, t.month, t.day, t.hour, t.minute, t.second};
  };
  EXPECT_EQ(fields((*entries)[0].lastWrite), (std::vector<int>{2021, 7, 16, 1, 0, 59}));   // summer
  EXPECT_EQ(fields((*entries)[1].lastWrite), (std::vector<int>{2021, 1, 15, 13, 0, 59}));  // winter
}

}  // namespace
}  // namespace tarvel
