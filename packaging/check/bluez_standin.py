"""A stand-in for bluetoothd on a private bus, for the Bluetooth service's
command: it owns org.bluez, accepts the serial port profile, connects one
peer to it through a socket pair, and as that peer sends one file the way a
Tarvel sender does (header, a pause of one second, 200-byte pieces).

    python3 bluez_standin.py FILE DEVICE-PATH

DBUS_SYSTEM_BUS_ADDRESS names the bus. Prints "ready" once it owns the name,
"registered" when the profile has been registered and "sent" when the file has been written; runs until it
is stopped.
"""

import os
import socket
import sys
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

SERIAL_PORT = "00001101-0000-1000-8000-00805f9b34fb"
PEER = "/org/bluez/hci0/dev_00_11_22_33_44_55"


class ProfileManager(dbus.service.Object):
    def __init__(self, bus, payload, name):
        super().__init__(bus, "/org/bluez")
        self.bus = bus
        self.payload = payload
        self.name = name
        self.peer = None

    @dbus.service.method("org.bluez.ProfileManager1", in_signature="osa{sv}",
                         sender_keyword="sender")
    def RegisterProfile(self, path, uuid, options, sender=None):
        if uuid.lower() != SERIAL_PORT or options.get("Role") != "server":
            return
        print("registered", flush=True)
        GLib.idle_add(self.connect_peer, sender, path)

    @dbus.service.method("org.bluez.ProfileManager1", in_signature="o")
    def UnregisterProfile(self, path):
        pass

    def connect_peer(self, owner, path):
        ours, theirs = socket.socketpair()
        self.peer = ours
        profile = self.bus.get_object(owner, path)
        profile.NewConnection(dbus.ObjectPath(PEER), dbus.types.UnixFd(theirs.fileno()), {},
                              dbus_interface="org.bluez.Profile1",
                              reply_handler=lambda: self.send_file(theirs),
                              error_handler=lambda error: sys.exit("refused: %s" % error))
        return False

    def send_file(self, handed):
        handed.close()
        header = "FILE: %s|%d|" % (self.name, len(self.payload))
        self.peer.sendall(header.encode("ascii"))
        time.sleep(1.0)
        for at in range(0, len(self.payload), 200):
            self.peer.sendall(self.payload[at:at + 200])
        print("sent", flush=True)


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    with open(sys.argv[1], "rb") as source:
        payload = source.read()
    name = dbus.service.BusName("org.bluez", bus)
    manager = ProfileManager(bus, payload, sys.argv[2])
    print("ready", flush=True)
    GLib.MainLoop().run()
    del name, manager


if __name__ == "__main__":
    os.environ.setdefault("PYTHONDONTWRITEBYTECODE", "1")
    main()
