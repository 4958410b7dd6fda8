#include "platform/registry.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/fixtures.h"
#include "support/temp_dir.h"

namespace tarvel {
namespace {

using testing::FileExists;
using testing::FilesIn;
using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

const std::string kKey = "Software\\Microsoft\\Bluetooth\\Serial\\Ports\\Incoming";
const std::string kSection =
    "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Bluetooth\\Serial\\Ports\\Incoming]";
const std::string kHeader = "Windows Registry Editor Version 5.00\n";

RegistryValue Dword(const std::string& name, uint32_t data) {
  return {name, RegistryValue::Type::Dword, data, {}};
}
RegistryValue Text(const std::string& name, const std::u16string& data) {
  return {name, RegistryValue::Type::String, 0, data};
}

std::vector<RegistryValue> PortValues() {
  return {Dword("Server", 1),    Dword("Authentication", 1), Dword("Encryption", 1),
          Dword("RemoteDCB", 0), Dword("KeepDCD", 0),        Text("Port", u"COM0")};
}

const std::string kPortLines =
    "\"Server\"=dword:00000001\n\"Authentication\"=dword:00000001\n"
    "\"Encryption\"=dword:00000001\n\"RemoteDCB\"=dword:00000000\n"
    "\"KeepDCD\"=dword:00000000\n\"Port\"=\"COM0\"\n";

class Registry : public ::testing::Test {
 protected:
  bool Write(const std::vector<RegistryValue>& values) {
    error_.clear();
    return WriteRegistryValues(env_, kKey, values, &error_);
  }
  std::string Content() { return ReadWholeFile(path_); }

  TempDir dir_;
  std::string path_ = dir_ / "registry.reg";
  Environment env_ = FixedEnvironment({{"TARVEL_REGISTRY", path_}});
  std::string error_;
};

TEST_F(Registry, NewFileHoldsTheKeyAndItsValuesInOrder) {
  ASSERT_TRUE(Write(PortValues())) << error_;
  EXPECT_EQ(Content(), kHeader + "\n" + kSection + "\n" + kPortLines);
}

TEST_F(Registry, WritingTwiceGivesTheSameFileAndLeavesNoTemporaries) {
  ASSERT_TRUE(Write(PortValues())) << error_;
  std::string first = Content();
  ASSERT_TRUE(Write(PortValues())) << error_;
  EXPECT_EQ(Content(), first);
  EXPECT_EQ(FilesIn(dir_.path()), std::vector<std::string>{"registry.reg"});
}

TEST_F(Registry, KeepsForeignKeysAndValuesAndReplacesOursInPlace) {
  const std::string foreign_key =
      "[HKEY_CURRENT_USER\\Software\\Other]\n\"Path\"=\"C:\\\\x\"\n"
      "\"Blob\"=hex:01,02,\\\n  03,04\n";
  WriteWholeFile(path_, kHeader + "\n; kept comment\n\n" + foreign_key + "\n" + kSection + "\n" +
                            "\"Port\"=\"COM9\"\n\"Extra\"=dword:00000005\n; note\n"
                            "\"server\"=dword:00000000\n");
  ASSERT_TRUE(Write(PortValues())) << error_;
  EXPECT_EQ(Content(), kHeader + "\n; kept comment\n\n" + foreign_key + "\n" + kSection + "\n" +
                           "\"Port\"=\"COM0\"\n\"Extra\"=dword:00000005\n; note\n"
                           "\"Server\"=dword:00000001\n\"Authentication\"=dword:00000001\n"
                           "\"Encryption\"=dword:00000001\n\"RemoteDCB\"=dword:00000000\n"
                           "\"KeepDCD\"=dword:00000000\n");
}

TEST_F(Registry, SameKeyInOtherCaseIsTheSameKeyAndDuplicatesAreMerged) {
  std::string upper =
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\MICROSOFT\\BLUETOOTH\\SERIAL\\PORTS\\INCOMING]";
  WriteWholeFile(
      path_, kHeader + "\n" + upper + "\n\"Port\"=\"COM1\"\n\n" + upper + "\n\"PORT\"=\"COM2\"\n");
  ASSERT_TRUE(Write({Text("Port", u"COM0"), Dword("Server", 1)})) << error_;
  EXPECT_EQ(Content(), kHeader + "\n" + upper + "\n\"Port\"=\"COM0\"\n\n" + upper +
                           "\n\"Server\"=dword:00000001\n");
}

TEST_F(Registry, WindowsLineEndingsAndByteOrderMarkAreReadAndKept) {
  WriteWholeFile(path_, "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n" + kSection +
                            "\r\n\"Other\"=dword:00000002\r\n");
  ASSERT_TRUE(Write({Dword("Server", 1)})) << error_;
  EXPECT_EQ(Content(), "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n" + kSection +
                           "\r\n\"Other\"=dword:00000002\r\n\"Server\"=dword:00000001\r\n");
}

TEST_F(Registry, StringsAreEscapedAndReadBack) {
  std::vector<RegistryValue> values = {Text("Say \"hi\"", u"C:\\dir\\\"q\" \u00E9"),
                                       Text("Lines", u"a\nb"), Dword("Max", 0xDEADBEEF)};
  ASSERT_TRUE(Write(values)) << error_;
  std::string expected = kHeader + "\n" + kSection + "\n" +
                         "\"Say \\\"hi\\\"\"=\"C:\\\\dir\\\\\\\"q\\\" \xC3\xA9\"\n" +
                         "\"Lines\"=hex(1):61,00,0a,00,62,00,00,00\n\"Max\"=dword:deadbeef\n";
  EXPECT_EQ(Content(), expected);
  values[2].dword = 7;  // the escaped names are recognised again: replaced, not added
  ASSERT_TRUE(Write(values)) << error_;
  EXPECT_EQ(Content(), expected.substr(0, expected.size() - 9) + "00000007\n");
}

TEST_F(Registry, MalformedFilesAreRefusedAndLeftAlone) {
  const std::vector<std::string> malformed = {
      "",
      "REGEDIT4\n\n" + kSection + "\n",
      kHeader + "\"Loose\"=dword:00000001\n",
      kHeader + "\n[HKEY_LOCAL_MACHINE\\Software\n\"A\"=dword:00000001\n",
      kHeader + "\n" + kSection + "\nthis is not a value\n",
      kHeader + "\n" + kSection + "\n\"Unclosed=dword:00000001\n",
  };
  for (const std::string& content : malformed) {
    WriteWholeFile(path_, content);
    EXPECT_FALSE(Write(PortValues())) << content;
    EXPECT_NE(error_.find(path_), std::string::npos) << error_;
    EXPECT_EQ(Content(), content);
    EXPECT_EQ(FilesIn(dir_.path()), std::vector<std::string>{"registry.reg"});
  }
}

TEST_F(Registry, MissingConfigFoldersAreCreated) {
  std::string config = dir_ / "no/such/config";
  ASSERT_TRUE(
      WriteRegistryValues(FixedEnvironment({{"XDG_CONFIG_HOME", config}, {"HOME", "/nonexistent"}}),
                          kKey, PortValues(), &error_))
      << error_;
  EXPECT_EQ(ReadWholeFile(config + "/tarvel/registry.reg"),
            kHeader + "\n" + kSection + "\n" + kPortLines);

  ASSERT_TRUE(
      WriteRegistryValues(FixedEnvironment({{"HOME", dir_.path()}}), kKey, PortValues(), &error_))
      << error_;
  EXPECT_TRUE(FileExists(dir_ / ".config/tarvel/registry.reg"));
}

TEST_F(Registry, TheFirstSettingThatIsPresentChoosesThePlace) {
  std::string chosen = dir_ / "chosen.reg";
  Environment env = FixedEnvironment(
      {{"TARVEL_REGISTRY", chosen}, {"XDG_CONFIG_HOME", dir_ / "xdg"}, {"HOME", dir_ / "home"}});
  ASSERT_TRUE(WriteRegistryValues(env, kKey, PortValues(), &error_)) << error_;
  EXPECT_TRUE(FileExists(chosen));
  EXPECT_FALSE(FileExists(dir_ / "xdg"));
  EXPECT_FALSE(FileExists(dir_ / "home"));

  EXPECT_FALSE(WriteRegistryValues(FixedEnvironment({}), kKey, PortValues(), &error_));
  EXPECT_FALSE(error_.empty());
}

TEST_F(Registry, FailuresOfTheFileSystemAreReported) {
  WriteWholeFile(dir_ / "plain", "x");
  std::string under_a_file = dir_ / "plain/tarvel/registry.reg";
  EXPECT_FALSE(WriteRegistryValues(FixedEnvironment({{"TARVEL_REGISTRY", under_a_file}}), kKey,
                                   PortValues(), &error_));
  EXPECT_NE(error_.find(under_a_file), std::string::npos) << error_;

  std::filesystem::create_directory(dir_ / "folder.reg");
  EXPECT_FALSE(WriteRegistryValues(FixedEnvironment({{"TARVEL_REGISTRY", dir_ / "folder.reg"}}),
                                   kKey, PortValues(), &error_));
  EXPECT_NE(error_.find("cannot read"), std::string::npos) << error_;
  EXPECT_EQ(ReadWholeFile(dir_ / "plain"), "x");
}

}  // namespace
}  // namespace tarvel
