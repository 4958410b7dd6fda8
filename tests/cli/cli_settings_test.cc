// SPDX-License-Identifier: MIT
// Settings from config files, as real tarvel processes read them: the layers,
// what wins, --print-config, and files that are refused naming file and line.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "cli_fixture.h"
#include "support/temp_dir.h"
#include "tarvel_process.h"

namespace tarvel::testing {
namespace {

using std::chrono::seconds;

class CliSettings : public ::testing::Test {
 protected:
  std::map<std::string, std::string> Files() const {
    return {{"TARVEL_SYSTEM_CONFIG", folder / "system.conf"},
            {"TARVEL_CONFIG", folder / "user.conf"}};
  }
  // The line of `printed` that sets `key`.
  static std::string LineOf(const std::string& printed, const std::string& key) {
    size_t at = printed.find(key + " = ");
    while (at != std::string::npos && at != 0 && printed[at - 1] != '\n') {
      at = printed.find(key + " = ", at + 1);
    }
    if (at == std::string::npos) return std::string();
    return printed.substr(at, printed.find('\n', at) - at);
  }
  TempDir folder;
};

TEST_F(CliSettings, CommandLineWinsOverTheUserFileWhichWinsOverTheSystemFile) {
  WriteWholeFile(folder / "system.conf",
                 "# the machine's\nport = 3\n\ndevice = /dev/ttyS9\ncodepage = CP437\n");
  std::string quoted = folder / "root #1";
  ASSERT_EQ(mkdir(quoted.c_str(), 0700), 0);
  WriteWholeFile(folder / "user.conf",
                 "device = /dev/ttyUSB0   # the adapter\non-clash = rename\n" +
                     ("root = \"" + quoted + "\"  # quoted\n"));
  Finished shown =
      RunTarvel({"--codepage", "UTF-8", "listen", "--print-config"}, Files(), seconds(10));
  ASSERT_EQ(shown.status, 0) << shown.error;
  EXPECT_NE(LineOf(shown.output, "port").find("= 3 "), std::string::npos) << shown.output;
  EXPECT_NE(LineOf(shown.output, "port").find("system.conf:2"), std::string::npos) << shown.output;
  EXPECT_NE(LineOf(shown.output, "device").find("= /dev/ttyUSB0 "), std::string::npos)
      << shown.output;
  EXPECT_NE(LineOf(shown.output, "device").find("user.conf:1"), std::string::npos) << shown.output;
  EXPECT_NE(LineOf(shown.output, "codepage").find("# command line"), std::string::npos)
      << shown.output;
  EXPECT_NE(LineOf(shown.output, "on-clash").find("user.conf:2"), std::string::npos)
      << shown.output;
  EXPECT_NE(LineOf(shown.output, "quiet").find("# default"), std::string::npos) << shown.output;
  EXPECT_NE(LineOf(shown.output, "root").find("= \"" + quoted + "\" "), std::string::npos)
      << shown.output;
}

TEST_F(CliSettings, TheEnvironmentWinsOverAFileAndTheOutputReadsBackAsAFile) {
  WriteWholeFile(folder / "user.conf", "root = " + std::string(folder.path()) + "\n");
  std::map<std::string, std::string> environment = Files();
  std::string elsewhere = folder / "elsewhere";
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
  environment["TARVEL_ROOT"] = elsewhere;
  Finished shown = RunTarvel({"--print-config"}, environment, seconds(10));
  ASSERT_EQ(shown.status, 0) << shown.error;
  EXPECT_NE(LineOf(shown.output, "root").find("environment TARVEL_ROOT"), std::string::npos)
      << shown.output;
  // What --print-config shows is a config file of the same settings.
  WriteWholeFile(folder / "user.conf", shown.output);
  environment.erase("TARVEL_ROOT");
  WriteWholeFile(folder / "system.conf", "");
  Finished again = RunTarvel({"--print-config"}, Files(), seconds(10));
  EXPECT_EQ(again.status, 0) << again.error;
}

TEST_F(CliSettings, ABadFileIsRefusedNamingFileAndLineBeforeAnyPortOpens) {
  struct Case {
    std::string text;
    std::string said;
  };
  for (const Case& bad : std::vector<Case>{
           {"\n# ok\ndevise = /dev/ttyUSB0\n",
            "user.conf:3: unknown setting 'devise'; did you mean 'device'?"},
           {"port = -1\n", "user.conf:1: port: '-1' is not a port number: ports are 0 to 255"},
           {"on-clash = always\n",
            "user.conf:1: on-clash: 'always' is none of overwrite, rename and skip"},
           {"codepage = NO-SUCH-PAGE\n",
            "user.conf:1: codepage: 'NO-SUCH-PAGE' is not a code page"},
           {"quiet = maybe\n", "user.conf:1: quiet: 'maybe'"},
           {"just words\n", "user.conf:1: not a setting"},
       }) {
    WriteWholeFile(folder / "user.conf", bad.text);
    // The device would open if the file got that far: it must not.
    Finished run = RunTarvel({"--device", folder / "no-tty", "text", "hi"}, Files(), seconds(10));
    EXPECT_EQ(run.status, 2) << bad.text;
    EXPECT_EQ(run.error.rfind("tarvel: ", 0), 0u) << run.error;
    EXPECT_NE(run.error.find(bad.said), std::string::npos) << run.error;
    EXPECT_EQ(run.error.find("no-tty"), std::string::npos) << run.error;
  }
}

TEST_F(CliSettings, ConfigNamesTheUserFileAndMustExist) {
  WriteWholeFile(folder / "user.conf", "port = 7\n");
  WriteWholeFile(folder / "other.conf", "port = 9\n");
  Finished named =
      RunTarvel({"--config", folder / "other.conf", "--print-config"}, Files(), seconds(10));
  EXPECT_NE(LineOf(named.output, "port").find("= 9 "), std::string::npos) << named.output;
  Finished missing =
      RunTarvel({"--config", folder / "absent.conf", "--print-config"}, Files(), seconds(10));
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.error.find("absent.conf: No such file or directory"), std::string::npos)
      << missing.error;
}

// A file's device and root carry a real transfer, and `quiet = yes` quiets it.
TEST_F(CliTest, SettingsFromTheUserFileCarryATransfer) {
  WriteWholeFile(Scratch("user.conf"),
                 "device = " + End(Side::A) + "\nroot = " + Root(Side::A) + "\nquiet = yes\n");
  auto listener = Listen(Side::B);
  WriteWholeFile(Root(Side::A) + "/from-file.txt", "configured");
  std::map<std::string, std::string> environment = environment_;
  environment["TARVEL_CONFIG"] = Scratch("user.conf");
  Finished sent = RunTarvel({"send", "\\from-file.txt"}, environment, seconds(20));
  EXPECT_EQ(sent.status, 0) << sent.error;
  EXPECT_EQ(sent.output, "");
  EXPECT_TRUE(listener->WaitForOutput("RECV: \\from-file.txt", seconds(10))) << listener->Output();
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/from-file.txt"), "configured");
}

}  // namespace
}  // namespace tarvel::testing
