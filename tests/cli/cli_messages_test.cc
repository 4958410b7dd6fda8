// SPDX-License-Identifier: MIT
// Messages that say what to do: usage errors in plain words, unknown commands
// with the nearest one, and failures that name the device and the remedy.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "cli_fixture.h"
#include "support/temp_dir.h"
#include "tarvel_process.h"

namespace tarvel::testing {
namespace {

using std::chrono::seconds;

bool Holds(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(CliMessages, AnUnknownCommandIsNamedWithTheNearestOne) {
  Finished typo = RunTarvel({"sned", "a.txt"}, {}, seconds(10));
  EXPECT_EQ(typo.status, 2);
  EXPECT_EQ(typo.error.rfind("tarvel: unknown command 'sned'; did you mean 'send'?\n", 0), 0u)
      << typo.error;
  Finished afterOptions = RunTarvel({"--port", "2", "lisen"}, {}, seconds(10));
  EXPECT_TRUE(Holds(afterOptions.error, "unknown command 'lisen'; did you mean 'listen'?"))
      << afterOptions.error;
  Finished far = RunTarvel({"frobnicate"}, {}, seconds(10));
  EXPECT_EQ(far.status, 2);
  EXPECT_TRUE(Holds(far.error, "unknown command 'frobnicate'; the commands are ")) << far.error;
  EXPECT_TRUE(Holds(far.error, "listen")) << far.error;
}

// The command word was once looked for past a flag's "value": -q send a.txt
// took send for the value of -q and a.txt for an unknown command.
TEST(CliMessages, FlagsBeforeTheCommandTakeNoValue) {
  for (const char* flag : {"-q", "--quiet"}) {
    Finished help = RunTarvel({flag, "--port", "1", "send", "--help"}, {}, seconds(10));
    EXPECT_EQ(help.status, 0) << help.error;
    EXPECT_TRUE(Holds(help.output, "Usage: tarvel send")) << help.output;
  }
}

TEST(CliMessages, HelpAsACommandShowsHelp) {
  Finished help = RunTarvel({"help"}, {}, seconds(10));
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(Holds(help.output, "Usage: tarvel")) << help.output;
  Finished send = RunTarvel({"help", "send"}, {}, seconds(10));
  EXPECT_EQ(send.status, 0);
  EXPECT_TRUE(Holds(send.output, "Usage: tarvel send")) << send.output;
}

TEST(CliMessages, UsageErrorsAndHelpSpeakPlainly) {
  Finished port = RunTarvel({"--port", "-1", "text", "hi"}, {}, seconds(10));
  EXPECT_EQ(port.status, 2);
  EXPECT_EQ(port.error.rfind("tarvel: --port: '-1' is not a port number: ports are 0 to 255", 0),
            0u)
      << port.error;
  Finished timeout = RunTarvel({"get", "\\a", "--timeout", "0"}, {}, seconds(10));
  EXPECT_EQ(timeout.status, 2);
  EXPECT_TRUE(Holds(timeout.error, "'0' is not a number of seconds (more than 0)"))
      << timeout.error;
  Finished missing = RunTarvel({"--device"}, {}, seconds(10));
  EXPECT_EQ(missing.error.rfind("tarvel: --device needs a value", 0), 0u) << missing.error;
  Finished unknown = RunTarvel({"send", "--verfy", "a"}, {}, seconds(10));
  EXPECT_TRUE(Holds(unknown.error, "unknown option --verfy; did you mean --verify?"))
      << unknown.error;
  for (const Finished& error : {port, timeout, missing, unknown}) {
    EXPECT_EQ(error.status, 2);
    EXPECT_EQ(error.error.rfind("tarvel: ", 0), 0u) << error.error;
  }
  for (const char* command : {"", "listen", "send", "get", "list", "poll", "text"}) {
    std::vector<std::string> words{"--help"};
    if (*command != '\0') words.insert(words.begin(), command);
    Finished help = RunTarvel(words, {}, seconds(10));
    for (const char* label : {" TEXT ", "FLOAT", " INT", "POSITIVE", "NONNEGATIVE", ":DIR", "=30",
                              "REQUIRED", "BOOLEAN"}) {
      EXPECT_FALSE(Holds(help.output, label)) << command << " shows " << label << help.output;
    }
  }
}

TEST_F(CliTest, BadSettingsAreRefusedBeforeAnyPortOpens) {
  auto listener = Listen(Side::B);
  Finished codepage = Run(Side::A, {"--codepage", "NO-SUCH-PAGE", "text", "hi"});
  EXPECT_EQ(codepage.status, 2);
  EXPECT_TRUE(Holds(codepage.error, "'NO-SUCH-PAGE' is not a code page")) << codepage.error;
  Finished clash = Run(Side::A, {"listen", "--on-clash", "always"});
  EXPECT_EQ(clash.status, 2);
  EXPECT_TRUE(Holds(clash.error, "'always' is none of overwrite, rename and skip")) << clash.error;
  // Neither reached the port: nothing arrived at the listener.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(Holds(listener->Output(), "TEXT:")) << listener->Output();
}

TEST_F(CliTest, ListenOnATtySaysNothingOfBluetoothRegistration) {
  auto listener = Listen(Side::B, {"--once"});
  EXPECT_FALSE(Holds(listener->Error(), "registering")) << listener->Error();
  EXPECT_TRUE(Holds(listener->Error(), "listening on " + End(Side::B) + ";")) << listener->Error();
  EXPECT_FALSE(FileExists(environment_["TARVEL_REGISTRY"]));
}

TEST_F(CliTest, TheReasonALocalFileCannotBeSentIsKept) {
  Finished missing = Run(Side::A, {"send", Scratch("absent.txt")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(Holds(missing.error, "absent.txt: No such file or directory")) << missing.error;
  ASSERT_EQ(mkdir(Scratch("folder").c_str(), 0700), 0);
  Finished folder = Run(Side::A, {"send", Scratch("folder")});
  EXPECT_EQ(folder.status, 1);
  EXPECT_TRUE(Holds(folder.error, "folder: it is a folder")) << folder.error;
}

TEST_F(CliTest, AMissingDeviceIsNamedAsTheUserNamedIt) {
  Finished opened = Run(Side::A, {"--device", Scratch("ttyNothing"), "text", "hi"});
  EXPECT_EQ(opened.status, 1);
  EXPECT_TRUE(Holds(opened.error,
                    "tarvel: cannot open " + Scratch("ttyNothing") + ": No such file or directory"))
      << opened.error;
  EXPECT_FALSE(Holds(opened.error, "COM0")) << opened.error;
}

TEST(CliMessages, ListenWithoutBluetoothdSaysSo) {
  if (access("/dev/rfcomm0", F_OK) == 0) GTEST_SKIP() << "this machine has /dev/rfcomm0";
  TempDir folder;
  Finished listen = RunTarvel({"--root", folder.path(), "listen", "--once"},
                              {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + folder / "no_bus"},
                               {"TARVEL_COM0", ""},
                               {"TARVEL_REGISTRY", folder / "registry.reg"}},
                              seconds(10));
  EXPECT_EQ(listen.status, 1);
  EXPECT_TRUE(Holds(listen.error, "Bluetooth service (bluetoothd) is not running")) << listen.error;
  EXPECT_FALSE(Holds(listen.error, "No such file or directory")) << listen.error;
}

// Root may open any tty: the user without the group runs through setpriv.
TEST(CliMessages, PermissionDeniedOnATtyNamesTheGroupThatGrantsIt) {
  if (geteuid() != 0 || std::system("command -v setpriv >/dev/null") != 0) {
    GTEST_SKIP() << "needs root to give a tty's group away, and setpriv";
  }
  TempDir folder;
  ASSERT_EQ(chmod(folder.path().c_str(), 0755), 0);
  std::string tty = folder / "ttyGuarded";
  WriteWholeFile(tty, "");
  // Group 20 is dialout on Debian; any group the unprivileged user lacks will do.
  ASSERT_EQ(chown(tty.c_str(), 0, 20), 0);
  ASSERT_EQ(chmod(tty.c_str(), 0660), 0);
  std::string said = folder / "said";
  std::string command =
      "TARVEL_CONFIG= TARVEL_SYSTEM_CONFIG= setpriv --reuid=65534 --regid=65534 --clear-groups " +
      std::string(TARVEL_PROGRAM) + " --device " + tty + " text hi 2>" + said;
  int status = std::system(command.c_str());
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::string error = ReadWholeFile(said);
  EXPECT_TRUE(Holds(error, "cannot open " + tty + ": Permission denied")) << error;
  EXPECT_TRUE(Holds(error, "add yourself to the group ")) << error;
}

}  // namespace
}  // namespace tarvel::testing
