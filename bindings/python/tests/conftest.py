# SPDX-License-Identifier: MIT
"""Fixtures for the tarvel package's tests: raw pty pairs on which a test plays
the peer, a cable made by `tarvel cable`, and tarvel processes as the peer."""

import atexit
import errno
import os
import pathlib
import select
import shutil
import subprocess
import tempfile
import threading
import time

import pytest

WAIT = 15.0  # seconds for anything that has to come over a cable


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "listener: starts the library's listener, which lasts the process"
    )


def pytest_collection_modifyitems(config, items):
    # The listener, once started, polls every port later opened in this
    # process: tests that play the peer on a raw pty come first.
    items.sort(key=lambda item: item.get_closest_marker("listener") is not None)


def tarvel_program():
    chosen = os.environ.get("TARVEL_PROGRAM")
    if chosen:
        return chosen
    return str(pathlib.Path(__file__).resolve().parents[3] / "build/tools/tarvel/tarvel")


# The library reads its settings from the environment once, at its first
# call. So the ports a test may take, and the registry's folder, are set for
# the whole session, each a symbolic link in one folder that a test points
# at its own pty or folder.
_PORTS = range(20, 100)
_port_numbers = iter(_PORTS)
_links = pathlib.Path(tempfile.mkdtemp(prefix="tarvel-python-settings-"))
atexit.register(shutil.rmtree, _links, True)
for _number in _PORTS:
    os.environ[f"TARVEL_COM{_number}"] = str(_links / f"com{_number}")
os.environ["TARVEL_REGISTRY"] = str(_links / "registry" / "registry.reg")


def _point(name, target):
    link = _links / name
    if link.is_symlink():
        link.unlink()
    link.symlink_to(target)


@pytest.fixture(autouse=True)
def registry(tmp_path):
    """Keeps the registry in the test's own folder; calling the result keeps
    it beneath another path instead."""
    _point("registry", tmp_path)
    return lambda folder: _point("registry", folder)


@pytest.fixture
def port_for():
    """Gives a fresh port number whose device is `path`."""

    def assign(path):
        number = next(_port_numbers)
        _point(f"com{number}", path)
        return number

    return assign


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


@pytest.fixture(scope="module")
def cable():
    """The two ends of a virtual null-modem cable."""
    process = TarvelProcess("cable")
    ends = (process.process.stdout.readline().strip(), process.process.stdout.readline().strip())
    assert all(ends), f"tarvel cable printed no ends: {process.errors()}"
    yield ends
    process.stop()
