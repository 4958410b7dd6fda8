#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""A stand-in for bluetoothd's D-Bus surface, for the Bluetooth tests.

Owns org.bluez on the bus that DBUS_SYSTEM_BUS_ADDRESS names and offers
ProfileManager1 on /org/bluez and an ObjectManager on / with one adapter, one
paired device and one known but unpaired device. A connection is one end of a
socketpair handed to a registered profile through NewConnection; the other
end, the remote peer's, goes to the test over the control socket. Like
bluetoothd it forgets every registration when it stops.

Control socket (argv[1], a unix stream socket; one command a line, one answer
line each, "ok ..." or "error <text>"):
  registrations          -> ok <JSON list of {path, uuid, options}>
  connect [ADDRESS]      -> NewConnection on the server profile, from the
                            paired device or from the device of ADDRESS; on
                            success the peer's end comes with the answer
                            (SCM_RIGHTS)
  disconnect [ADDRESS]   -> RequestDisconnection on the server profile
  release                -> Release on the server profile
  foreign <connect|disconnect|release>
                         -> the same call made from another bus connection,
                            as any program on the bus could
  pass <pipe|datagram|listening|unconnected>
                         -> NewConnection from org.bluez's own connection with
                            a descriptor that is no connected stream socket;
                            the answer ends with "closed" when the library
                            kept no copy of a pipe or datagram socket, "open"
                            when it did, "-" when that cannot be told
"""

import errno
import json
import os
import socket
import sys
import tempfile
import time

import dbus
import dbus.bus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

ADAPTER = "/org/bluez/hci0"
ADDRESS = "00:1A:7D:DA:71:13"
DEVICE = ADAPTER + "/dev_00_1A_7D_DA_71_13"
UNPAIRED_ADDRESS = "00:1A:7D:DA:71:15"
UNPAIRED = ADAPTER + "/dev_00_1A_7D_DA_71_15"
PROFILE = "org.bluez.Profile1"


def plain(value):
    """A D-Bus value as plain Python, for the JSON record."""
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.String, dbus.ObjectPath)):
        return str(value)
    if isinstance(value, (dbus.Int16, dbus.Int32, dbus.UInt16, dbus.UInt32)):
        return int(value)
    return str(value)


def device_of(words):
    """The device a command names by its address, or the paired one."""
    if len(words) < 2:
        return DEVICE
    return ADAPTER + "/dev_" + words[1].upper().replace(":", "_")


class BluezError(dbus.DBusException):
    def __init__(self, name, message):
        super().__init__(message)
        self._dbus_error_name = name


def probe_copies(probe):
    """"closed" once `probe` finds no copy of the descriptor left; the
    library's message may hold one a moment after its answer."""
    if probe is None:
        return "-"
    for _ in range(40):
        try:
            probe()
        except OSError as error:
            return "closed" if error.errno in (errno.EPIPE, errno.ECONNREFUSED) else "-"
        time.sleep(0.05)
    return "open"


class Bluez(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/bluez")
        self.bus = bus
        self.registrations = []
        self.profiles = {}  # role -> (owner's unique name, path)

    @dbus.service.method("org.bluez.ProfileManager1", in_signature="osa{sv}",
                         sender_keyword="sender")
    def RegisterProfile(self, path, uuid, options, sender=None):
        record = {"path": str(path), "uuid": str(uuid),
                  "options": {str(k): plain(v) for k, v in options.items()}}
        self.registrations.append(record)
        if os.environ.get("FAKE_BLUEZ_REFUSE_REGISTRATION"):
            raise BluezError("org.bluez.Error.NotPermitted", "registration refused")
        role = record["options"].get("Role", "server")
        self.profiles[role] = (sender, str(path))

    def profile(self, role):
        sender, path = self.profiles[role]
        return self.bus.get_object(sender, path, introspect=False)

    def new_connection(self, role, done, device=DEVICE):
        """Hands one end of a new socketpair to the profile of `role`, as a
        connection of `device`; `done` runs with the peer's end, or with None
        and the error's text."""
        if role not in self.profiles:
            done(None, "no %s profile registered" % role)
            return
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)

        def answered():
            theirs.close()
            done(ours, None)

        def failed(error):
            theirs.close()
            ours.close()
            done(None, "%s %s" % (error.get_dbus_name(), error.get_dbus_message()))

        self.profile(role).NewConnection(
            dbus.ObjectPath(device), dbus.types.UnixFd(theirs.fileno()),
            dbus.Dictionary({}, signature="sv"), dbus_interface=PROFILE,
            reply_handler=answered, error_handler=failed)


class ObjectManager(dbus.service.Object):
    @dbus.service.method("org.freedesktop.DBus.ObjectManager", out_signature="a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        return {
            dbus.ObjectPath(ADAPTER): {
                "org.bluez.Adapter1": {"Address": "AA:BB:CC:DD:EE:FF", "Powered": True},
            },
            dbus.ObjectPath(DEVICE): {
                "org.bluez.Device1": {"Address": ADDRESS, "Paired": True, "Trusted": True,
                                      "Adapter": dbus.ObjectPath(ADAPTER)},
            },
            dbus.ObjectPath(UNPAIRED): {
                "org.bluez.Device1": {"Address": UNPAIRED_ADDRESS, "Paired": False,
                                      "Trusted": False, "Adapter": dbus.ObjectPath(ADAPTER)},
            },
        }


class Control:
    """The test's side: one client at a time on a unix socket."""

    def __init__(self, path, bluez):
        self.bluez = bluez
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(path)
        self.server.listen(4)
        GLib.io_add_watch(self.server.fileno(), GLib.IO_IN, self.accept)

    def accept(self, *_):
        client, _ = self.server.accept()
        state = {"buffer": b""}
        GLib.io_add_watch(client.fileno(), GLib.IO_IN | GLib.IO_HUP,
                          lambda *_: self.readable(client, state))
        return True

    def readable(self, client, state):
        data = client.recv(4096)
        if not data:
            client.close()
            return False
        state["buffer"] += data
        while b"\n" in state["buffer"]:
            line, state["buffer"] = state["buffer"].split(b"\n", 1)
            self.command(client, line.decode().split())
        return True

    @staticmethod
    def answer(client, text, peer=None):
        data = (text + "\n").encode()
        if peer is None:
            client.sendall(data)
            return
        # The test's copy becomes the peer's only end, so that closing it hangs
        # up: ours is closed before the line ends, and the test reads the whole line.
        socket.send_fds(client, [data[:-1]], [peer.fileno()])
        peer.close()
        client.sendall(b"\n")

    def command(self, client, words):
        bluez = self.bluez
        name = words[0] if words else ""
        if name == "registrations":
            self.answer(client, "ok " + json.dumps(bluez.registrations))
        elif name == "connect":
            def done(peer, why):
                if peer is None:
                    self.answer(client, "error " + why)
                else:
                    self.answer(client, "ok", peer)
            bluez.new_connection("server", done, device_of(words))
        elif name in ("disconnect", "release"):
            self.call_profile(client, name, device=device_of(words))
        elif name == "foreign":
            self.foreign_call(client, words[1])
        elif name == "pass":
            self.pass_descriptor(client, words[1])
        else:
            self.answer(client, "error unknown command")

    def call_profile(self, client, name, bus=None, device=DEVICE):
        if "server" not in self.bluez.profiles:
            self.answer(client, "error no server profile registered")
            return
        if bus is None:
            profile = self.bluez.profile("server")
        else:
            sender, path = self.bluez.profiles["server"]
            profile = bus.get_object(sender, path, introspect=False)
        if name == "release":
            # BlueZ expects no answer to Release.
            profile.Release(dbus_interface=PROFILE, ignore_reply=True)
            self.answer(client, "ok")
            return
        profile.RequestDisconnection(
            dbus.ObjectPath(device), dbus_interface=PROFILE,
            reply_handler=lambda: self.answer(client, "ok"),
            error_handler=lambda e: self.answer(client, "error " + e.get_dbus_name()))

    def foreign_call(self, client, name):
        """`name` made by another program on the bus: a connection of its own."""
        other = dbus.bus.BusConnection(os.environ["DBUS_SYSTEM_BUS_ADDRESS"])
        self.foreigners = getattr(self, "foreigners", []) + [other]
        if name != "connect":
            self.call_profile(client, name, other)
            return
        if "server" not in self.bluez.profiles:
            self.answer(client, "error no server profile registered")
            return
        sender, path = self.bluez.profiles["server"]
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
        self.call_new_connection(client, other.get_object(sender, path, introspect=False),
                                 theirs.fileno(), [ours, theirs], None)

    def pass_descriptor(self, client, kind):
        """NewConnection from BlueZ's own connection with a descriptor that
        is no connected stream socket."""
        if "server" not in self.bluez.profiles:
            self.answer(client, "error no server profile registered")
            return
        keep, probe = [], None
        if kind == "pipe":
            read_end, write_end = os.pipe()
            keep, passed = [read_end], read_end
            probe = lambda: os.write(write_end, b"x")
            keep_open = write_end
        elif kind == "datagram":
            ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)
            keep, passed = [theirs], theirs.fileno()
            probe = lambda: ours.send(b"x")
            keep_open = ours
        else:
            listening = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            if kind == "listening":
                listening.bind(os.path.join(tempfile.mkdtemp(), "socket"))
                listening.listen(1)
            keep, passed, keep_open = [listening], listening.fileno(), None
        self.held = keep_open
        self.call_new_connection(client, self.bluez.profile("server"), passed, keep, probe)

    def call_new_connection(self, client, profile, fd, ours, probe):
        """Calls NewConnection with `fd`; once answered, closes `ours` and,
        with a probe, finds out whether the library kept a copy."""
        handed = dbus.types.UnixFd(fd)

        def finish(text):
            for end in ours:
                if isinstance(end, int):
                    os.close(end)
                else:
                    end.close()
            self.answer(client, text + " " + probe_copies(probe))

        profile.NewConnection(
            dbus.ObjectPath(DEVICE), handed, dbus.Dictionary({}, signature="sv"),
            dbus_interface=PROFILE, reply_handler=lambda: finish("ok"),
            error_handler=lambda e: finish("error " + e.get_dbus_name()))
        os.close(handed.take())


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    bluez = Bluez(bus)
    ObjectManager(bus, "/")
    Control(sys.argv[1], bluez)
    # Taken last: once the name has an owner, everything behind it answers.
    name = dbus.service.BusName("org.bluez", bus)
    print("ready", flush=True)
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 15, loop.quit)
    loop.run()
    del name


if __name__ == "__main__":
    main()
