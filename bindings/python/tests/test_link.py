# SPDX-License-Identifier: MIT
"""tarvel.Link on a raw pty pair, the test playing the peer, without the
library's listener: opening and closing, texts both ways, a file's bytes on
the wire, and the errors a host gets."""

import os
import pathlib
import signal
import threading
import time

import pytest

import tarvel


@pytest.fixture
def link(pty_peer, port_for):
    with tarvel.Link(port_for(pty_peer.slave_path)) as opened:
        list(opened.events(0))  # the queue is the process's: earlier tests' results
        yield opened


class TestTexts:
    def test_text_goes_out_in_windows_1252(self, link, pty_peer):
        link.send_text("h\u00e9llo \u20ac")
        assert pty_peer.read(7) == b"h\xe9llo \x80"

    def test_read_takes_a_waiting_text_and_queues_it(self, link, pty_peer):
        pty_peer.write("gr\u00fc\u00df".encode("cp1252"))
        end = time.monotonic() + 5
        text = ""
        while not text and time.monotonic() < end:
            text = link.read()
            time.sleep(0.05)
        assert text == "gr\u00fc\u00df"
        assert list(link.events(0)) == [tarvel.Event(tarvel.EventKind.POLLED_TEXT, text)]

    def test_read_returns_empty_when_nothing_waits(self, link):
        assert link.read() == ""

    def test_status_blank_leaves_one_space(self, link):
        assert link.status(blank=True) == " "
        assert link.status() == " "


class TestFileOnTheWire:
    def test_send_file_takes_a_path_object_and_names_it_after_the_file(
        self, link, pty_peer, tmp_path
    ):
        content = bytes(range(256)) * 3
        local = tmp_path / "caf\u00e9.bin"
        local.write_bytes(content)
        link.send_file(local)
        header = f"FILE: \\caf\u00e9.bin|{len(content)}|".encode("cp1252")
        assert pty_peer.read(len(header) + len(content)) == header + content
        assert link.status() == f"SENT: {local}"
        assert link.next_event(0) == tarvel.Event(tarvel.EventKind.SENT, str(local))
        assert link.progress() is None


class TestErrors:
    def test_a_port_that_cannot_be_opened_raises_with_the_reason(self, port_for, tmp_path):
        missing = tmp_path / "no-such-tty"
        port = port_for(missing)
        with pytest.raises(tarvel.Error) as raised:
            tarvel.Link(port)
        assert raised.value.reason.startswith(f"cannot open COM{port}:")
        # The device as the environment names it for the port.
        assert os.environ[f"TARVEL_COM{port}"] in raised.value.reason
        assert "No such file" in raised.value.reason
        assert str(raised.value) == raised.value.reason

    def test_a_missing_file_raises_with_the_reason(self, link, pty_peer, tmp_path):
        missing = tmp_path / "missing.bin"
        with pytest.raises(tarvel.Error) as raised:
            link.send_file(missing, "\\missing.bin")
        assert str(missing) in raised.value.reason
        assert "No such file" in raised.value.reason
        assert pty_peer.read(1, timeout=0.3) == b""
        assert link.next_event(0) == tarvel.Event(tarvel.EventKind.FAILURE, raised.value.reason)

    def test_a_text_too_long_for_one_message_raises(self, link, pty_peer):
        with pytest.raises(tarvel.Error, match="199 bytes"):
            link.send_text("x" * 200)
        assert pty_peer.read(1, timeout=0.3) == b""

    def test_a_text_with_a_null_character_is_refused_before_it_is_cut(self, link, pty_peer):
        with pytest.raises(ValueError):
            link.send_text("before\0after")
        assert pty_peer.read(1, timeout=0.3) == b""

    def test_calls_on_a_closed_link_raise(self, pty_peer, port_for):
        link = tarvel.Link(port_for(pty_peer.slave_path))
        link.close()
        with pytest.raises(tarvel.Error, match="closed"):
            link.send_text("late")
        assert pty_peer.read(1, timeout=0.3) == b""


class TestClosing:
    def test_the_context_manager_closes_the_port_on_an_exception(self, pty_peer, port_for):
        port = port_for(pty_peer.slave_path)
        with pytest.raises(RuntimeError):
            with tarvel.Link(port) as link:
                pty_peer.close_slave()
                raise RuntimeError("the host's own failure")
        assert link.closed
        assert pty_peer.hung_up()

    def test_a_closed_port_opens_again(self, pty_peer, port_for):
        port = port_for(pty_peer.slave_path)
        with tarvel.Link(port):
            pass
        with tarvel.Link(port) as again:
            again.send_text("again")
            assert pty_peer.read(5) == b"again"

    def test_closing_a_superseded_link_leaves_the_newer_port_open(
        self, pty_peer, second_pty_peer, port_for
    ):
        first = tarvel.Link(port_for(pty_peer.slave_path))
        with tarvel.Link(port_for(second_pty_peer.slave_path)) as second:
            assert first.closed and not second.closed
            first.close()
            second.send_text("still open")
            assert second_pty_peer.read(10) == b"still open"


class TestEvents:
    def test_events_end_when_none_came_within_the_timeout(self, link):
        started = time.monotonic()
        assert list(link.events(0.3)) == []
        assert time.monotonic() - started >= 0.29

    def test_next_event_without_a_timeout_waits_for_one(self, link, pty_peer):
        taken = []
        waiter = threading.Thread(target=lambda: taken.append(link.next_event()), daemon=True)
        waiter.start()
        time.sleep(0.6)
        assert waiter.is_alive() and not taken
        pty_peer.write(b"late text")
        deadline = time.monotonic() + 5
        while link.read() == "" and time.monotonic() < deadline:
            time.sleep(0.05)
        waiter.join(timeout=5)
        assert taken == [tarvel.Event(tarvel.EventKind.POLLED_TEXT, "late text")]

    def test_ctrl_c_ends_a_main_thread_wait_and_loses_no_event(self, link, pty_peer):
        main = threading.get_ident()
        threading.Timer(0.3, signal.pthread_kill, (main, signal.SIGINT)).start()
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            link.next_event()
        assert time.monotonic() - started < 3
        # The interrupted wait is still taking events; the next call gets its.
        pty_peer.write(b"after ctrl-c")
        deadline = time.monotonic() + 5
        while link.read() == "" and time.monotonic() < deadline:
            time.sleep(0.05)
        assert link.next_event(5) == tarvel.Event(tarvel.EventKind.POLLED_TEXT, "after ctrl-c")
        assert link.next_event(0) is None


def test_register_writes_the_incoming_port_settings(tmp_path):
    tarvel.register()
    registry = (tmp_path / "registry.reg").read_text()
    assert "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Bluetooth\\Serial\\Ports\\Incoming]" in registry
    assert '"Port"="COM0"' in registry


def test_a_registry_that_cannot_be_written_raises(registry, tmp_path):
    blocker = tmp_path / "a-file"
    blocker.write_text("")
    registry(blocker)
    with pytest.raises(tarvel.Error, match="cannot register the incoming port"):
        tarvel.register()


def test_the_library_in_use_is_the_one_named():
    assert pathlib.Path(tarvel.library_path()).resolve() == pathlib.Path(
        os.environ["TARVEL_LIBRARY"]
    ).resolve()
