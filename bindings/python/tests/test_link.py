# SPDX-License-Identifier: MIT
"""tarvel.Link on raw pty pairs, the test playing the peer, without a
listener: opening and closing, settings given as arguments, texts both ways, a
file's bytes on the wire, the errors a host gets, and two links at once."""

import os
import pathlib
import signal
import threading
import time

import pytest

import tarvel


PORT = 20


@pytest.fixture
def link(pty_peer, registry):
    with tarvel.Link(PORT, pty_peer.slave_path, registry=registry) as opened:
        assert list(opened.events(0)) == [], "a new link's queue holds events"
        yield opened


def poll(link, timeout=5):
    """Reads the link's port until something came."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        taken = link.read()
        if taken:
            return taken
        time.sleep(0.05)
    return ""


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
    def test_a_port_that_cannot_be_opened_raises_with_the_reason(self, tmp_path):
        missing = tmp_path / "no-such-tty"
        with pytest.raises(tarvel.Error) as raised:
            tarvel.Link(PORT, missing)
        assert raised.value.reason.startswith(f"cannot open COM{PORT}:")
        assert str(missing) in raised.value.reason
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

    def test_calls_on_a_closed_link_raise(self, pty_peer):
        link = tarvel.Link(PORT, pty_peer.slave_path)
        link.close()
        for late in (lambda: link.send_text("late"), link.status, link.next_event):
            with pytest.raises(tarvel.Error, match="closed"):
                late()
        link.close()  # a second close is harmless
        assert pty_peer.read(1, timeout=0.3) == b""

    def test_an_unknown_setting_is_refused_before_anything_opens(self, pty_peer):
        with pytest.raises(TypeError, match="baud"):
            tarvel.Link(PORT, pty_peer.slave_path, baud=9600)
        assert not pty_peer.hung_up(timeout=0.3)


class TestClosing:
    def test_the_context_manager_closes_the_port_on_an_exception(self, pty_peer):
        with pytest.raises(RuntimeError):
            with tarvel.Link(PORT, pty_peer.slave_path) as link:
                pty_peer.close_slave()
                raise RuntimeError("the host's own failure")
        assert link.closed
        assert pty_peer.hung_up()

    def test_a_closed_port_opens_again(self, pty_peer):
        with tarvel.Link(PORT, pty_peer.slave_path):
            pass
        with tarvel.Link(PORT, pty_peer.slave_path) as again:
            again.send_text("again")
            assert pty_peer.read(5) == b"again"

    def test_a_link_dropped_without_close_releases_its_port(self, pty_peer):
        link = tarvel.Link(PORT, pty_peer.slave_path)
        pty_peer.close_slave()
        del link  # no cycle holds it: it goes at once, without a collection
        assert pty_peer.hung_up()


class TestTwoLinks:
    """Two links in one process, on the same port number with devices of their
    own: each has its own port, status and events."""

    def test_each_link_keeps_its_port_status_and_events(self, pty_peer, second_pty_peer):
        with tarvel.Link(PORT, pty_peer.slave_path) as first, tarvel.Link(
            PORT, second_pty_peer.slave_path
        ) as second:
            assert not first.closed and not second.closed
            first.send_text("to the first")
            second.send_text("to the second")
            assert pty_peer.read(12) == b"to the first"
            assert second_pty_peer.read(13) == b"to the second"

            second_pty_peer.write(b"for the second")
            assert poll(second) == "for the second"
            assert first.read() == "" and first.status() == ""
            assert list(first.events(0)) == []
            assert list(second.events(0)) == [
                tarvel.Event(tarvel.EventKind.POLLED_TEXT, "for the second")
            ]

    def test_closing_one_link_leaves_the_other_open(self, pty_peer, second_pty_peer):
        first = tarvel.Link(PORT, pty_peer.slave_path)
        with tarvel.Link(PORT + 1, second_pty_peer.slave_path) as second:
            pty_peer.close_slave()
            first.close()
            assert pty_peer.hung_up()
            assert not second.closed
            second.send_text("still open")
            assert second_pty_peer.read(10) == b"still open"

    def test_a_wait_for_events_sees_only_its_own_links(self, pty_peer, second_pty_peer):
        with tarvel.Link(PORT, pty_peer.slave_path) as first, tarvel.Link(
            PORT, second_pty_peer.slave_path
        ) as second:
            taken = []
            waiter = threading.Thread(target=lambda: taken.append(first.next_event(3)))
            waiter.start()
            second_pty_peer.write(b"not for the first")
            assert poll(second) == "not for the first"
            pty_peer.write(b"for the first")
            assert poll(first) == "for the first"
            waiter.join()
            assert taken == [tarvel.Event(tarvel.EventKind.POLLED_TEXT, "for the first")]

    def test_closing_a_link_ends_a_wait_for_its_events(self, pty_peer):
        link = tarvel.Link(PORT, pty_peer.slave_path)
        taken = []
        waiter = threading.Thread(target=lambda: taken.append(link.next_event()), daemon=True)
        waiter.start()
        time.sleep(0.3)
        link.close()
        waiter.join(timeout=5)
        assert not waiter.is_alive(), "the wait outlived its link"
        assert taken == [None]


class TestSettings:
    def test_the_code_page_is_the_links_own(self, pty_peer, second_pty_peer):
        with tarvel.Link(PORT, pty_peer.slave_path, codepage="UTF-8") as utf8, tarvel.Link(
            PORT, second_pty_peer.slave_path
        ) as default:
            utf8.send_text("\u00e9")
            default.send_text("\u00e9")
            assert pty_peer.read(2) == b"\xc3\xa9"
            assert second_pty_peer.read(1) == b"\xe9"

    def test_a_polled_file_is_saved_in_the_links_root(self, pty_peer, tmp_path):
        root = tmp_path / "root"
        root.mkdir()
        with tarvel.Link(PORT, pty_peer.slave_path, root=root) as link:
            pty_peer.write(b"FILE: \\polled.txt|5|hello")
            assert poll(link) == "\\polled.txt"
            assert (root / "polled.txt").read_bytes() == b"hello"

    def test_a_value_the_library_cannot_hold_is_refused_with_its_reason(self, pty_peer):
        with pytest.raises(tarvel.Error) as raised:
            tarvel.Link(PORT, pty_peer.slave_path, peers=-1)
        assert "peers" in raised.value.reason
        assert pty_peer.read(1, timeout=0.3) == b""



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


INCOMING_KEY = "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Bluetooth\\Serial\\Ports\\Incoming]"


def test_register_writes_the_incoming_port_settings(registry):
    tarvel.register(registry)
    written = registry.read_text()
    assert INCOMING_KEY in written
    assert '"Port"="COM0"' in written


def test_a_link_registers_in_its_own_registry(pty_peer, tmp_path):
    registries = [tmp_path / "first.reg", tmp_path / "second.reg"]
    with tarvel.Link(PORT, pty_peer.slave_path, registry=registries[0]) as link:
        link.register()
    assert INCOMING_KEY in registries[0].read_text()
    assert not registries[1].exists()


def test_a_registry_that_cannot_be_written_raises(tmp_path):
    blocker = tmp_path / "a-file"
    blocker.write_text("")
    with pytest.raises(tarvel.Error, match="cannot register the incoming port"):
        tarvel.register(blocker / "registry.reg")


def test_the_library_in_use_is_the_one_named():
    assert pathlib.Path(tarvel.library_path()).resolve() == pathlib.Path(
        os.environ["TARVEL_LIBRARY"]
    ).resolve()
