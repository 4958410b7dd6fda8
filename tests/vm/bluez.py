#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The Bluetooth test guest's helper: drives the real bluetoothd over D-Bus
and plays a plain RFCOMM peer.

  bluez.py pair                 power both controllers, pair them, trust each
                                other; prints "ADDRESS0 ADDRESS1"
  bluez.py power                power both controllers (after bluetoothd restarts)
  bluez.py serve LOCAL CHANNEL OUT BYTES   accept one RFCOMM connection on
                                LOCAL's CHANNEL, save BYTES bytes to OUT
  bluez.py blast LOCAL REMOTE CHANNEL FILE connect from LOCAL to REMOTE's
                                CHANNEL and write FILE

Debian's Python is built without Bluetooth sockets (no socket.AF_BLUETOOTH),
so the RFCOMM sockets are made and connected through libc itself.
"""
import ctypes
import os
import select
import sys
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BLUEZ = "org.bluez"
ADAPTER = "org.bluez.Adapter1"
DEVICE = "org.bluez.Device1"
PROPERTIES = "org.freedesktop.DBus.Properties"
AGENT_PATH = "/tarvel/test/agent"


def note(text):
    print(text, file=sys.stderr, flush=True)


class Agent(dbus.service.Object):
    """Says yes to everything: both controllers are ours."""

    @dbus.service.method("org.bluez.Agent1", in_signature="", out_signature="")
    def Release(self):
        pass

    @dbus.service.method("org.bluez.Agent1", in_signature="o", out_signature="s")
    def RequestPinCode(self, device):
        return "0000"

    @dbus.service.method("org.bluez.Agent1", in_signature="o", out_signature="u")
    def RequestPasskey(self, device):
        return dbus.UInt32(0)

    @dbus.service.method("org.bluez.Agent1", in_signature="ouq", out_signature="")
    def DisplayPasskey(self, device, passkey, entered):
        pass

    @dbus.service.method("org.bluez.Agent1", in_signature="os", out_signature="")
    def DisplayPinCode(self, device, code):
        pass

    @dbus.service.method("org.bluez.Agent1", in_signature="ou", out_signature="")
    def RequestConfirmation(self, device, passkey):
        pass

    @dbus.service.method("org.bluez.Agent1", in_signature="o", out_signature="")
    def RequestAuthorization(self, device):
        pass

    @dbus.service.method("org.bluez.Agent1", in_signature="os", out_signature="")
    def AuthorizeService(self, device, uuid):
        pass

    @dbus.service.method("org.bluez.Agent1", in_signature="", out_signature="")
    def Cancel(self):
        pass


def wait_until(predicate, seconds, what):
    """Runs the main loop (which serves the agent) until predicate() holds."""
    context = GLib.MainContext.default()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        GLib.timeout_add(200, lambda: False)
        context.iteration(True)
    raise SystemExit(f"timed out after {seconds} s waiting for {what}")


def managed(bus):
    manager = dbus.Interface(bus.get_object(BLUEZ, "/"), "org.freedesktop.DBus.ObjectManager")
    return manager.GetManagedObjects()


def adapters(bus):
    try:
        objects = managed(bus)
    except dbus.DBusException:
        return []
    return sorted(str(path) for path, ifaces in objects.items() if ADAPTER in ifaces)


def props(bus, path):
    return dbus.Interface(bus.get_object(BLUEZ, path), PROPERTIES)


def power_both(bus):
    found = wait_until(lambda: adapters(bus) if len(adapters(bus)) >= 2 else None, 60,
                       "two controllers in bluetoothd")
    for path in found[:2]:
        props(bus, path).Set(ADAPTER, "Powered", dbus.Boolean(True))
    wait_until(lambda: all(props(bus, p).Get(ADAPTER, "Powered") for p in found[:2]), 30,
               "both controllers powered")
    return found[:2]


def address(bus, adapter):
    return str(props(bus, adapter).Get(ADAPTER, "Address"))


def device_path(adapter, addr):
    return f"{adapter}/dev_{addr.replace(':', '_')}"


def call_async(method, seconds, *args):
    """Calls a D-Bus method without blocking the loop; returns the error name or ''."""
    result = {}
    method(*args, reply_handler=lambda *a: result.setdefault("error", ""),
           error_handler=lambda e: result.setdefault("error", f"{e.get_dbus_name()}: {e}"),
           timeout=seconds)
    wait_until(lambda: "error" in result, seconds + 5, "a reply from bluetoothd")
    return result["error"]


def pair():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    first, second = power_both(bus)
    Agent(bus, AGENT_PATH)
    manager = dbus.Interface(bus.get_object(BLUEZ, "/org/bluez"), "org.bluez.AgentManager1")
    manager.RegisterAgent(AGENT_PATH, "NoInputNoOutput")
    manager.RequestDefaultAgent(AGENT_PATH)
    addr0, addr1 = address(bus, first), address(bus, second)
    for path in (first, second):
        props(bus, path).Set(ADAPTER, "Pairable", dbus.Boolean(True))
        props(bus, path).Set(ADAPTER, "Discoverable", dbus.Boolean(True))
    scanner = dbus.Interface(bus.get_object(BLUEZ, first), ADAPTER)
    scanner.SetDiscoveryFilter({"Transport": dbus.String("bredr")})
    scanner.StartDiscovery()
    peer = device_path(first, addr1)
    wait_until(lambda: peer in managed(bus), 90, f"{addr1} to show up in a scan")
    scanner.StopDiscovery()
    device = dbus.Interface(bus.get_object(BLUEZ, peer), DEVICE)
    error = call_async(device.Pair, 90)
    if error and "AlreadyExists" not in error:
        note(f"pairing failed once ({error}); trying again")
        time.sleep(2)
        error = call_async(device.Pair, 90)
    if error and "AlreadyExists" not in error:
        raise SystemExit(f"pairing failed: {error}")
    back = device_path(second, addr0)
    wait_until(lambda: back in managed(bus), 30, f"{addr0} known to {second}")
    for path in (peer, back):
        props(bus, path).Set(DEVICE, "Trusted", dbus.Boolean(True))
    for path in (peer, back):
        if not props(bus, path).Get(DEVICE, "Paired"):
            raise SystemExit(f"{path} is not paired")
    manager.UnregisterAgent(AGENT_PATH)
    print(addr0, addr1)


# The RFCOMM socket through libc: struct sockaddr_rc is a family, a Bluetooth
# address with its bytes in reverse order, and a channel.
AF_BLUETOOTH = 31
BTPROTO_RFCOMM = 3
libc = ctypes.CDLL(None, use_errno=True)


class SockaddrRc(ctypes.Structure):
    _fields_ = [("family", ctypes.c_ushort), ("bdaddr", ctypes.c_ubyte * 6),
                ("channel", ctypes.c_ubyte)]


def sockaddr(addr, channel):
    raw = bytes(int(part, 16) for part in reversed(addr.split(":")))
    return SockaddrRc(AF_BLUETOOTH, (ctypes.c_ubyte * 6)(*raw), channel)


def check(result, what):
    if result < 0:
        err = ctypes.get_errno()
        raise SystemExit(f"{what}: {os.strerror(err)}")
    return result


def rfcomm_socket(local, channel):
    fd = check(libc.socket(AF_BLUETOOTH, 1, BTPROTO_RFCOMM), "socket")
    where = sockaddr(local, channel)
    check(libc.bind(fd, ctypes.byref(where), ctypes.sizeof(where)), f"bind {local} {channel}")
    return fd


def readable(fd, deadline):
    left = deadline - time.monotonic()
    return left > 0 and bool(select.select([fd], [], [], left)[0])


def serve(local, channel, out, size, seconds=300):
    listener = rfcomm_socket(local, int(channel))
    check(libc.listen(listener, 1), "listen")
    print("ready", flush=True)
    deadline = time.monotonic() + seconds
    if not readable(listener, deadline):
        raise SystemExit("no connection came")
    fd = check(libc.accept(listener, None, None), "accept")
    accepted = time.monotonic()
    received = bytearray()
    while len(received) < int(size) and readable(fd, deadline):
        chunk = os.read(fd, 65536)
        if not chunk:
            break
        received += chunk
    elapsed = time.monotonic() - accepted
    with open(out, "wb") as saved:
        saved.write(received)
    os.close(fd)
    print(f"received {len(received)} bytes in {elapsed:.3f} s", flush=True)
    if len(received) != int(size):
        raise SystemExit(f"received {len(received)} of {size} bytes")


def blast(local, remote, channel, path, seconds=300):
    fd = rfcomm_socket(local, 0)
    where = sockaddr(remote, int(channel))
    check(libc.connect(fd, ctypes.byref(where), ctypes.sizeof(where)), f"connect {remote}")
    with open(path, "rb") as source:
        data = source.read()
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view[:4096]):]
    # The peer closes once it has every byte; closing first could drop the tail.
    deadline = time.monotonic() + seconds
    try:
        while readable(fd, deadline) and os.read(fd, 4096):
            pass
    except ConnectionError:
        pass
    os.close(fd)


def main(args):
    if args[:1] == ["pair"]:
        pair()
    elif args[:1] == ["power"]:
        dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
        power_both(dbus.SystemBus())
    elif args[:1] == ["serve"] and len(args) == 5:
        serve(*args[1:])
    elif args[:1] == ["blast"] and len(args) == 5:
        blast(*args[1:])
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
