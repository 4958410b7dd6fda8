#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The Windows build and the Linux build on the two ends of one pty cable.

    across_systems.py WINE... -- WINDOWS_PROGRAM LINUX_TARVEL

Run inside wine_harness.py --cable: the Windows program under Wine has
COM<TARVEL_TEST_COM_A>, the Linux tarvel has the tty TARVEL_TEST_TTY_B. The
Windows program is either windows_host.exe, a small host of tarvel.dll, or the
Windows tarvel.exe itself. First the Windows side listens while the Linux side
sends a file, asks for a file, asks for a listing and sends a text; then the
other way round. Every file is compared byte for byte.
"""
import os
import random
import signal
import subprocess
import sys
import tempfile
import time

TIMEOUT = 60


class Check:
    def __init__(self):
        self.faults = []

    def equal(self, what, got, expected):
        if got != expected:
            self.faults.append(f"{what}: got {got[:80]!r}, expected {expected[:80]!r}")

    def true(self, what, condition):
        if not condition:
            self.faults.append(what)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def random_bytes(size, seed):
    generator = random.Random(seed)
    return bytes(range(256)) + bytes(generator.getrandbits(8) for _ in range(size))


def write(path, content):
    with open(path, "wb") as out:
        out.write(content)


def read(path):
    try:
        with open(path, "rb") as source:
            return source.read()
    except OSError:
        return b""


def wait_for(condition, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


class WindowsHost:
    """windows_host.exe PORT JOB...: the device root comes from TARVEL_ROOT; the
    listener stops when its standard input ends."""

    def __init__(self, port, windows_root):
        self.port = port

    def command(self, *job):
        return [self.port, *job]

    def get(self, remote, local):
        return ("get", local, remote)

    def list(self, pattern):
        return ("list", pattern)

    def stop(self, listener):
        return listener.communicate(input="", timeout=TIMEOUT)


class WindowsCli:
    """tarvel.exe, given the port and root as options; Ctrl-C stops the listener."""

    def __init__(self, port, windows_root):
        self.options = ["--port", port, "--root", windows_path(windows_root), "-q"]

    def command(self, *job):
        return [*self.options, *job]

    def get(self, remote, local):
        return ("get", remote, local, "--timeout", "20")

    def list(self, pattern):
        return ("list", "\\" + pattern, "--fetch", "--timeout", "20")

    def stop(self, listener):
        listener.send_signal(signal.SIGINT)
        return listener.communicate(timeout=TIMEOUT)


class Sides:
    def __init__(self, wine, host, tarvel, windows_root, linux_root):
        self.wine, self.host, self.tarvel = wine, host, tarvel
        program = WindowsCli if host.lower().endswith("tarvel.exe") else WindowsHost
        self.program = program(os.environ["TARVEL_TEST_COM_A"], windows_root)
        self.tty = os.environ["TARVEL_TEST_TTY_B"]
        self.windows_env = dict(os.environ, TARVEL_ROOT=windows_path(windows_root))
        self.linux_root = linux_root
        self.linux_env = dict(os.environ, TARVEL_REGISTRY=os.path.join(linux_root, "..", "reg"))

    def windows(self, *job, **popen):
        command = self.wine + [self.host, *self.program.command(*job)]
        return subprocess.Popen(command, env=self.windows_env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, encoding="utf-8", **popen)

    def windows_job(self, *job):
        process = self.windows(*job, stdin=subprocess.DEVNULL)
        output, _ = process.communicate(timeout=TIMEOUT)
        return process.returncode, output

    def linux(self, *job, **popen):
        command = [self.tarvel, "--device", self.tty, "--root", self.linux_root, "-q", *job]
        return subprocess.Popen(command, env=self.linux_env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, encoding="utf-8", **popen)

    def linux_job(self, *job):
        process = self.linux(*job, stdin=subprocess.DEVNULL)
        output, _ = process.communicate(timeout=TIMEOUT)
        return process.returncode, output


def windows_listens(sides, check, windows_root, linux_root):
    listener = sides.windows("listen", stdin=subprocess.PIPE)
    try:
        time.sleep(1.5)  # Wine starts the host and opens the port
        sent = random_bytes(30000, 1)
        write(os.path.join(linux_root, "linux.bin"), sent)
        code, output = sides.linux_job("send", os.path.join(linux_root, "linux.bin"),
                                       "\\from_linux.bin")
        check.equal("Linux send exit status " + output, code, 0)
        check.true("the Windows side did not save the file Linux sent", wait_for(
            lambda: read(os.path.join(windows_root, "from_linux.bin")) == sent))

        offered = random_bytes(4321, 2)
        write(os.path.join(windows_root, "offer_windows.bin"), offered)
        code, output = sides.linux_job("get", "\\offer_windows.bin", "\\got_from_windows.bin",
                                       "--timeout", "20")
        check.equal("Linux get exit status " + output, code, 0)
        check.equal("file Linux got from Windows",
                    read(os.path.join(linux_root, "got_from_windows.bin")), offered)

        code, output = sides.linux_job("list", "\\*.bin", "--fetch", "--timeout", "20")
        check.equal("Linux list exit status " + output, code, 0)
        for name in ("from_linux.bin", "offer_windows.bin"):
            check.true(f"{name} missing from the listing Linux fetched: {output!r}", name in output)

        code, output = sides.linux_job("text", "hello from Linux \u00e9")
        check.equal("Linux text exit status " + output, code, 0)
        time.sleep(0.5)
    finally:
        output, _ = sides.program.stop(listener)
    check.true(f"the Windows side did not show the text: {output!r}",
               "hello from Linux \u00e9" in output)
    check.true(f"the Windows side showed no RECV: {output!r}", "RECV: \\from_linux.bin" in output)


def linux_listens(sides, check, windows_root, linux_root):
    listener = sides.linux("listen", stdin=subprocess.DEVNULL)
    try:
        time.sleep(0.5)
        sent = random_bytes(25000, 3)
        write(os.path.join(windows_root, "windows.bin"), sent)
        code, output = sides.windows_job("send", windows_path(os.path.join(windows_root,
                                                                           "windows.bin")),
                                         "\\from_windows.bin")
        check.equal("Windows send exit status " + output, code, 0)
        check.true("the Linux side did not save the file Windows sent", wait_for(
            lambda: read(os.path.join(linux_root, "from_windows.bin")) == sent))

        offered = random_bytes(999, 4)
        write(os.path.join(linux_root, "offer_linux.bin"), offered)
        code, output = sides.windows_job(*sides.program.get("offer_linux.bin",
                                                            "\\got_from_linux.bin"))
        check.equal("Windows get exit status " + output, code, 0)
        check.equal("file Windows got from Linux",
                    read(os.path.join(windows_root, "got_from_linux.bin")), offered)

        code, output = sides.windows_job(*sides.program.list("*.bin"))
        check.equal("Windows list exit status " + output, code, 0)
        if isinstance(sides.program, WindowsCli):
            for name in ("from_windows.bin", "offer_linux.bin"):
                check.true(f"{name} missing from the listing Windows fetched: {output!r}",
                           name in output)
        listing = os.path.join(linux_root, "Tarvel.txt")
        check.true("the Linux side wrote no listing with the files", wait_for(
            lambda: b"from_windows.bin\r\n" in read(listing) and b"offer_linux.bin" in read(listing)))

        code, output = sides.windows_job("text", "hello from Windows \u00e9")
        check.equal("Windows text exit status " + output, code, 0)
        time.sleep(0.5)
    finally:
        listener.send_signal(signal.SIGINT)
        output, _ = listener.communicate(timeout=TIMEOUT)
    check.true(f"the Linux side did not show the text: {output!r}",
               "hello from Windows \u00e9" in output)


def main():
    split = sys.argv.index("--")
    wine, (host, tarvel) = sys.argv[1:split], sys.argv[split + 1:split + 3]
    check = Check()
    with tempfile.TemporaryDirectory(prefix="tarvel-across-") as top:
        windows_root = os.path.join(top, "windows")
        linux_root = os.path.join(top, "linux")
        os.makedirs(windows_root)
        os.makedirs(linux_root)
        sides = Sides(wine, host, tarvel, windows_root, linux_root)
        windows_listens(sides, check, windows_root, linux_root)
        linux_listens(sides, check, windows_root, linux_root)
    for fault in check.faults:
        print("FAULT:", fault)
    print("across systems:", "ok" if not check.faults else f"{len(check.faults)} faults")
    return 1 if check.faults else 0


if __name__ == "__main__":
    sys.exit(main())
