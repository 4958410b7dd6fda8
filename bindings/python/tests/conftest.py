# SPDX-License-Identifier: MIT
"""Fixtures for the tarvel package's tests: raw pty pairs on which a test plays
the peer, cables made by `tarvel cable`, and tarvel processes as the peer."""

import contextlib
import errno
import os
import pathlib
import select
import subprocess
import threading
import time

import pytest

WAIT = 15.0  # seconds for anything that has to come over a cable


def tarvel_program():
    chosen = os.environ.get("TARVEL_PROGRAM")
    if chosen:
        return chosen
    return str(pathlib.Path(__file__).resolve().parents[3] / "build/tools/tarvel/tarvel")


@pytest.fixture
def registry(tmp_path):
    """A registry file of the test's own, for a Link's `registry` setting."""
    return tmp_path / "registry.reg"


class PtyPeer:
    """A pty pair: the library opens `slave_path`, the test reads and writes
    the raw bytes on the master."""

    def __init__(self):
        self.master, self._slave = os.openpty()
        self.slave_path = os.ttyname(self._slave)

    def close_slave(self):
        """Drops the test's own slave descriptor, so that the master sees a
        hang-up once the library closes its own."""
        if self._slave >= 0:
            os.close(self._slave)
            self._slave = -1

    def write(self, data):
        os.write(self.master, data)

    def read(self, count, timeout=5.0):
        """Up to `count` bytes, whatever arrived within `timeout`."""
        data = b""
        end = time.monotonic() + timeout
        while len(data) < count:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
            try:
                chunk = os.read(self.master, count - len(data))
            except OSError as error:
                if error.errno == errno.EIO:
                    break
                raise
            data += chunk
        return data

    def hung_up(self, timeout=5.0):
        """Whether the master reads a hang-up: no slave is open any more."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if select.select([self.master], [], [], end - time.monotonic())[0]:
                try:
                    os.read(self.master, 4096)
                except OSError as error:
                    return error.errno == errno.EIO
        return False

    def close(self):
        self.close_slave()
        os.close(self.master)


@pytest.fixture
def pty_peer():
    peer = PtyPeer()
    yield peer
    peer.close()


@pytest.fixture
def second_pty_peer():
    peer = PtyPeer()
    yield peer
    peer.close()


class TarvelProcess:
    """A process of the tarvel command, its standard error collected."""

    def __init__(self, *arguments):
        self.arguments = arguments
        self.process = subprocess.Popen(
            [tarvel_program(), *arguments],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        self._errors = []
        self._reader = threading.Thread(target=self._read_errors, daemon=True)
        self._reader.start()

    def _read_errors(self):
        for line in self.process.stderr:
            self._errors.append(line)

    def errors(self):
        return "".join(self._errors)

    def wait_for_error(self, text, timeout=WAIT):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if text in self.errors():
                return True
            if self.process.poll() is not None:
                return False
            time.sleep(0.02)
        return False

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        self._reader.join(timeout=5)


def run_tarvel(*arguments):
    """Runs the tarvel command to its end; fails the test unless it exits 0."""
    done = subprocess.run(
        [tarvel_program(), *arguments], capture_output=True, text=True, timeout=WAIT * 2
    )
    assert done.returncode == 0, f"tarvel {' '.join(arguments)}: {done.stderr}"


@contextlib.contextmanager
def made_cable():
    """The two ends of a virtual null-modem cable, for as long as it is used."""
    process = TarvelProcess("cable")
    try:
        ends = (
            process.process.stdout.readline().strip(),
            process.process.stdout.readline().strip(),
        )
        assert all(ends), f"tarvel cable printed no ends: {process.errors()}"
        yield ends
    finally:
        process.stop()


@pytest.fixture(scope="module")
def cable():
    with made_cable() as ends:
        yield ends


@pytest.fixture
def two_cables():
    """Two cables of the test's own, for two links at once."""
    with made_cable() as first, made_cable() as second:
        yield first, second
