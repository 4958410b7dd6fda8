#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs a Windows test under Wine with what only the Linux side can make for it.

    wine_harness.py --prefix PREFIX [--cable] [--links] -- COMMAND [ARGUMENT...]

--cable   Two pty pairs whose masters a relay joins like a null-modem cable.
          Each slave is mapped onto a free COM port by the link
          PREFIX/dosdevices/comN -> /dev/pts/X; the test finds the two port
          numbers in TARVEL_TEST_COM_A and TARVEL_TEST_COM_B, and the slaves'
          paths, for a Linux program on either end, in TARVEL_TEST_TTY_A and
          TARVEL_TEST_TTY_B.
--links   A folder tree with symbolic links, which a Windows program under Wine
          cannot make itself: root/out leads to a folder outside root,
          root/secret.txt to a file outside it, root/alias to a folder inside.
          Its Windows path is in TARVEL_TEST_LINKS.

The exit code is the command's. Everything made is removed afterwards.
"""
import argparse
import contextlib
import fcntl
import os
import selectors
import shutil
import subprocess
import sys
import tempfile
import threading
import tty

FIRST_PORT = 10
LAST_PORT = 99


class Relay:
    """Copies bytes between two pty masters, both ways, until stopped."""

    def __init__(self, a, b):
        self.ends = (a, b)
        self.pending = {a: bytearray(), b: bytearray()}  # bytes waiting to go into each master
        self.stop_read, self.stop_write = os.pipe()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def other(self, fd):
        return self.ends[1] if fd == self.ends[0] else self.ends[0]

    def run(self):
        with selectors.DefaultSelector() as selector:
            while True:
                selector.register(self.stop_read, selectors.EVENT_READ)
                for fd in self.ends:
                    events = selectors.EVENT_READ
                    if self.pending[fd]:
                        events |= selectors.EVENT_WRITE
                    selector.register(fd, events)
                ready = selector.select()
                for fd in list(selector.get_map()):
                    selector.unregister(fd)
                for key, events in ready:
                    if key.fd == self.stop_read:
                        return
                    if events & selectors.EVENT_READ:
                        self.take(key.fd)
                    if events & selectors.EVENT_WRITE:
                        self.give(key.fd)

    def take(self, fd):
        try:
            data = os.read(fd, 65536)
        except OSError:
            return
        self.pending[self.other(fd)] += data
        self.give(self.other(fd))

    def give(self, fd):
        queue = self.pending[fd]
        if not queue:
            return
        try:
            written = os.write(fd, queue)
        except BlockingIOError:
            return
        del queue[:written]

    def stop(self):
        os.write(self.stop_write, b"x")
        self.thread.join()


@contextlib.contextmanager
def com_port(prefix, slave_path):
    """Maps the first free COM port onto `slave_path`; yields its number."""
    dosdevices = os.path.join(prefix, "dosdevices")
    os.makedirs(dosdevices, exist_ok=True)
    for number in range(FIRST_PORT, LAST_PORT + 1):
        lock = open(os.path.join(dosdevices, f".tarvel-com{number}.lock"), "w")
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            lock.close()
            continue
        link = os.path.join(dosdevices, f"com{number}")
        with lock:
            # A link left by a run that died is ours to replace once we hold its lock.
            if os.path.lexists(link):
                os.remove(link)
            os.symlink(slave_path, link)
            try:
                yield number
            finally:
                os.remove(link)
        return
    raise RuntimeError("no free COM port between COM%d and COM%d" % (FIRST_PORT, LAST_PORT))


@contextlib.contextmanager
def raw_pty():
    """A pty pair in raw mode; yields (master, slave path). The slave stays open
    here as well, so the master never reads a hang-up between the test's opens."""
    master, slave = os.openpty()
    tty.setraw(slave)
    os.set_blocking(master, False)
    try:
        yield master, os.ttyname(slave)
    finally:
        os.close(master)
        os.close(slave)


@contextlib.contextmanager
def cable(prefix, env):
    with raw_pty() as (master_a, slave_a), raw_pty() as (master_b, slave_b):
        with com_port(prefix, slave_a) as port_a, com_port(prefix, slave_b) as port_b:
            env["TARVEL_TEST_COM_A"] = str(port_a)
            env["TARVEL_TEST_COM_B"] = str(port_b)
            env["TARVEL_TEST_TTY_A"] = slave_a
            env["TARVEL_TEST_TTY_B"] = slave_b
            relay = Relay(master_a, master_b)
            try:
                yield
            finally:
                relay.stop()


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


@contextlib.contextmanager
def links(env):
    top = tempfile.mkdtemp(prefix="tarvel-links-")
    try:
        for folder in ("root/Folder", "outside"):
            os.makedirs(os.path.join(top, folder))
        with open(os.path.join(top, "outside", "secret.txt"), "w") as secret:
            secret.write("outside")
        with open(os.path.join(top, "root", "Folder", "inside.txt"), "w") as inside:
            inside.write("inside")
        os.symlink("../outside", os.path.join(top, "root", "out"))
        os.symlink("../outside/secret.txt", os.path.join(top, "root", "secret.txt"))
        os.symlink("Folder", os.path.join(top, "root", "alias"))
        env["TARVEL_TEST_LINKS"] = windows_path(top)
        yield
    finally:
        shutil.rmtree(top, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--cable", action="store_true")
    parser.add_argument("--links", action="store_true")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    env = dict(os.environ)
    with contextlib.ExitStack() as stack:
        if args.cable:
            stack.enter_context(cable(args.prefix, env))
        if args.links:
            stack.enter_context(links(env))
        return subprocess.run(command, env=env, stdin=subprocess.DEVNULL).returncode


if __name__ == "__main__":
    sys.exit(main())
