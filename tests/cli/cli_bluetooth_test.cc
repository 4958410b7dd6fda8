// `tarvel listen` with no device on a system whose Bluetooth service takes the
// incoming serial port: a private system bus, and on it a stand-in for
// bluetoothd that records the registration and then connects a peer, which
// pushes a file over the socket it hands over.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "cli_fixture.h"

extern char** environ;

namespace tarvel::testing {
namespace {

using std::chrono::seconds;

// Python with the D-Bus bindings: Debian's own, which a python3 earlier on
// the PATH may lack.
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kDbusDaemon = "/usr/bin/dbus-daemon";

// Owns org.bluez with a ProfileManager1; 1.5 s after a profile registers, it
// connects a peer to it that pushes \bt.txt.
constexpr const char* kStandIn = R"PY(
import socket, sys, threading, time
import dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SystemBus()
peers = []

def push(ours):
    def run():
        ours.sendall(b"FILE: \\bt.txt|5|")
        time.sleep(1.2)
        ours.sendall(b"hello")
        time.sleep(10)
    threading.Thread(target=run, daemon=True).start()

def connect(sender, path):
    ours, theirs = socket.socketpair()
    peers.append(ours)
    profile = bus.get_object(sender, path)
    profile.NewConnection(dbus.ObjectPath("/org/bluez/hci0/dev_00_11_22_33_44_55"),
                          dbus.types.UnixFd(theirs), {}, dbus_interface="org.bluez.Profile1",
                          reply_handler=lambda: push(ours),
                          error_handler=lambda error: print("refused", error, flush=True))
    theirs.close()
    return False

class Manager(dbus.service.Object):
    @dbus.service.method("org.bluez.ProfileManager1", in_signature="osa{sv}",
                         sender_keyword="sender")
    def RegisterProfile(self, path, uuid, options, sender=None):
        print("registered", uuid, options.get("Role", ""), flush=True)
        GLib.timeout_add(1500, connect, sender, path)

name = dbus.service.BusName("org.bluez", bus)
Manager(bus, "/org/bluez")
print("ready", flush=True)
GLib.MainLoop().run()
)PY";

// A helper process, its output in a file; killed when the object goes.
class Helper {
 public:
  Helper(const std::vector<std::string>& arguments, const std::string& output,
         const std::map<std::string, std::string>& extra = {})
      : output_(output) {
    std::vector<std::string> environment;
    for (char** at = environ; *at != nullptr; ++at) environment.emplace_back(*at);
    for (auto& [name, value] : extra) environment.push_back(name + "=" + value);
    std::vector<char*> argv, envp;
    for (auto& word : arguments) argv.push_back(const_cast<char*>(word.c_str()));
    for (auto& word : environment) envp.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Helper() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  bool running() const { return pid_ > 0; }
  std::string Output() const { return ReadWholeFile(output_); }
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit) const {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (Output().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

 private:
  std::string output_;
  pid_t pid_ = -1;
};

bool PythonHasDbus() {
  std::string command = std::string(kPython) + " -c 'import dbus, gi' 2>/dev/null";
  return access(kPython, X_OK) == 0 && std::system(command.c_str()) == 0;
}

TEST_F(CliTest, ListenWithoutADeviceWaitsForABluetoothPeerOnTheIncomingPort) {
  if (access(kDbusDaemon, X_OK) != 0 || !PythonHasDbus()) {
    GTEST_SKIP() << "needs dbus-daemon and python3-dbus with python3-gi";
  }
  TempDir bus;
  const std::string socketPath = bus.path() + "/system_bus";
  std::ofstream(bus.path() + "/bus.conf")
      << "<busconfig><type>system</type><listen>unix:path=" << socketPath
      << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
         "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
         "<allow own=\"*\"/></policy></busconfig>";
  std::ofstream(bus.path() + "/bluez.py") << kStandIn;
  Helper daemon({kDbusDaemon, "--config-file=" + bus.path() + "/bus.conf", "--nofork"},
                bus.path() + "/daemon.log");
  for (int tries = 0; tries < 250 && !std::filesystem::exists(socketPath); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(std::filesystem::exists(socketPath)) << daemon.Output();
  const std::string address = "unix:path=" + socketPath;
  Helper bluez({kPython, bus.path() + "/bluez.py"}, bus.path() + "/bluez.log",
               {{"DBUS_SYSTEM_BUS_ADDRESS", address}});
  ASSERT_TRUE(bluez.WaitForOutput("ready\n", seconds(10))) << bluez.Output();

  std::map<std::string, std::string> environment = environment_;
  environment["DBUS_SYSTEM_BUS_ADDRESS"] = address;
  TarvelProcess listener({"--root", Root(Side::B), "listen", "--once"}, environment);
  ASSERT_TRUE(listener.WaitForError("waiting for a Bluetooth peer on the incoming serial port",
                                    seconds(10)))
      << listener.Error();
  EXPECT_NE(listener.Error().find("with the system's Bluetooth service"), std::string::npos)
      << listener.Error();
  EXPECT_TRUE(
      bluez.WaitForOutput("registered 00001101-0000-1000-8000-00805f9b34fb server", seconds(5)))
      << bluez.Output();

  EXPECT_EQ(listener.Wait(seconds(10)), 0) << listener.Error() << bluez.Output();
  EXPECT_NE(listener.Output().find("RECV: \\bt.txt"), std::string::npos) << listener.Output();
  EXPECT_EQ(ReadWholeFile(Root(Side::B) + "/bt.txt"), "hello");
}

TEST_F(CliTest, ListenWithoutABluetoothServiceKeepsToTheSerialPort) {
  TempDir nowhere;
  std::map<std::string, std::string> environment = environment_;
  // A bus that nobody serves: nothing to register with.
  environment["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + nowhere.path() + "/no_bus";
  environment["TARVEL_COM0"] = End(Side::B);
  TarvelProcess listener({"--root", Root(Side::B), "listen", "--once"}, environment);
  ASSERT_TRUE(listener.WaitForError("listening on COM0 (" + End(Side::B) + ")", seconds(5)))
      << listener.Error();
  EXPECT_EQ(listener.Error().find("Bluetooth"), std::string::npos) << listener.Error();
  WriteWholeFile(Scratch("plain.txt"), "plain");
  ASSERT_EQ(Run(Side::A, {"send", Scratch("plain.txt")}).status, 0);
  EXPECT_EQ(listener.Wait(seconds(5)), 0) << listener.Error();
}

}  // namespace
}  // namespace tarvel::testing
