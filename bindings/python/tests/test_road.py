# SPDX-License-Identifier: MIT
"""tarvel.Link with its listener, over cables to processes of the tarvel
command: a file sent with its progress watched, a get saved under a path of
the host's, a listing asked for, a text and a file pushed by the peer, each
result taken from the link's event queue; and two links in one process, each
serving a peer of its own at the same time."""

import os
import threading
import time

import pytest
from conftest import WAIT, TarvelProcess, run_tarvel

import tarvel

FILE_SIZE = 2 * 1024 * 1024


@pytest.fixture(scope="module")
def roots(tmp_path_factory):
    return tmp_path_factory.mktemp("rootA"), tmp_path_factory.mktemp("rootB")


@pytest.fixture(scope="module")
def link(cable, roots):
    with tarvel.Link(9, cable[0], root=roots[0]) as opened:
        opened.serve()
        yield opened


@pytest.fixture
def events(link):
    """The queue from this test on."""
    list(link.events(0))
    return link


def start_listener(device, root):
    listener = TarvelProcess("--device", device, "--root", str(root), "listen")
    assert listener.wait_for_error("listening on"), listener.errors()
    return listener


@pytest.fixture
def peer_listener(cable, roots):
    listener = start_listener(cable[1], roots[1])
    yield listener
    listener.stop()


def wait_for(link, kind):
    """The first event of `kind`, and every event taken before it."""
    before = []
    for event in link.events(WAIT):
        if event.kind == kind:
            return event, before
        before.append(event)
    pytest.fail(f"no {kind.name} event within {WAIT} s; took {before}")


def wait_for_content(path, content):
    end = time.monotonic() + WAIT
    while time.monotonic() < end:
        if path.exists() and path.stat().st_size == len(content):
            return path.read_bytes() == content
        time.sleep(0.05)
    return False


def test_send_file_reports_progress_and_the_peer_saves_it(
    events, peer_listener, roots, tmp_path
):
    local = tmp_path / "outgoing.bin"
    content = os.urandom(FILE_SIZE)
    local.write_bytes(content)
    samples, sending = [], threading.Event()

    def sample():
        while not sending.is_set():
            samples.append(events.progress())
            time.sleep(0.001)

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        events.send_file(local, "\\sent.bin")
    finally:
        sending.set()
        sampler.join()

    assert events.status() == f"SENT: {local}"
    assert wait_for(events, tarvel.EventKind.SENT) == (
        tarvel.Event(tarvel.EventKind.SENT, str(local)),
        [],
    )
    during = [p for p in samples if p is not None]
    assert during and all(p.total == FILE_SIZE for p in during)
    assert any(0 < p.done < FILE_SIZE for p in during)
    assert all(a.done <= b.done <= b.total for a, b in zip(during, during[1:]))
    assert events.progress() is None
    assert wait_for_content(roots[1] / "sent.bin", content)


def test_get_file_saves_the_answer_under_the_given_path(events, peer_listener, roots, tmp_path):
    (roots[1] / "offer.txt").write_bytes(b"offered by B\r\n\x00\xff")
    save_path = tmp_path / "saved" / "offer-copy.txt"
    save_path.parent.mkdir()
    events.get_file("\\offer.txt", save_path)
    answer, before = wait_for(events, tarvel.EventKind.ANSWER)
    assert (answer.text, before) == (str(save_path), [])
    assert save_path.read_bytes() == b"offered by B\r\n\x00\xff"


def test_list_files_has_the_peer_write_its_listing(events, peer_listener, roots):
    (roots[1] / "listed.txt").write_text("here")
    events.list_files("\\*.*")
    listing = roots[1] / "Tarvel.txt"
    end = time.monotonic() + WAIT
    while time.monotonic() < end and not (listing.exists() and "listed.txt" in listing.read_text()):
        time.sleep(0.05)
    assert "listed.txt" in listing.read_text()


def test_the_peers_text_and_file_arrive_as_events_in_order(events, cable, roots):
    text = "Gr\u00fc\u00dfe von B"
    pushed = roots[1] / "pushed.txt"
    pushed.write_text("pushed by B\n")
    run_tarvel("-q", "--device", cable[1], "text", text)
    # Nothing frames a message but the time between: a header written right
    # behind the text would be read with it as one text.
    taken = [wait_for(events, tarvel.EventKind.PEER_TEXT)[0]]
    run_tarvel("-q", "--device", cable[1], "--root", str(roots[1]), "send", str(pushed))
    for event in events.events(WAIT):
        taken.append(event)
        if event.kind == tarvel.EventKind.RECEIVED:
            break
    assert taken == [
        tarvel.Event(tarvel.EventKind.PEER_TEXT, text),
        tarvel.Event(tarvel.EventKind.RECEIVED, "\\pushed.txt"),
    ]
    assert (roots[0] / "pushed.txt").read_text() == "pushed by B\n"
    assert list(events.events(0.3)) == []


def test_serving_again_starts_no_second_listener(events):
    # The library starts a thread for every call of TarvelServer; one polls
    # the port, a second would poll it as well for the rest of the process.
    threads = _native_threads()
    events.serve()
    time.sleep(0.2)
    assert _native_threads() == threads


def _native_threads():
    """The process's threads that Python did not start: the library's own. A
    Python thread that has just ended may linger a moment as a task: count once
    the number has held still for 100 ms."""
    count = None
    for _ in range(40):
        now = len(os.listdir("/proc/self/task")) - threading.active_count()
        if now == count:
            return count
        count = now
        time.sleep(0.1)
    return count


def test_two_links_in_one_process_serve_two_peers_at_once(two_cables, tmp_path):
    """Each link sends to its own peer and asks it for a file of the same name,
    both at the same time; each sees its own results and nothing of the other."""
    sides = []
    for name in ("first", "second"):
        side = {"name": name, "root": tmp_path / name, "peer_root": tmp_path / f"{name}-peer"}
        side["root"].mkdir()
        side["peer_root"].mkdir()
        side["local"] = tmp_path / f"{name}.bin"
        side["content"] = os.urandom(FILE_SIZE // 4)
        side["local"].write_bytes(side["content"])
        (side["peer_root"] / "offer.txt").write_text(f"offered to the {name} link")
        side["save"] = side["root"] / "offer-copy.txt"
        sides.append(side)

    listeners = []
    with tarvel.Link(9, two_cables[0][0], root=sides[0]["root"]) as first, tarvel.Link(
        9, two_cables[1][0], root=sides[1]["root"]
    ) as second:
        try:
            for side, link, cable in zip(sides, (first, second), two_cables):
                side["link"] = link
                link.serve()
                listeners.append(start_listener(cable[1], side["peer_root"]))

            def road(side):
                link = side["link"]
                try:
                    link.send_file(side["local"], "\\sent.bin")
                    link.get_file("\\offer.txt", side["save"])
                    side["events"] = [wait_for(link, tarvel.EventKind.ANSWER)]
                except BaseException as error:  # noqa: B036 - reported by the test's thread
                    side["error"] = error

            threads = [threading.Thread(target=road, args=(side,)) for side in sides]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(timeout=4 * WAIT)
            for side in sides:
                assert "events" in side, f"the {side['name']} link: {side.get('error')!r}"
                answer, before = side["events"][0]
                assert before == [tarvel.Event(tarvel.EventKind.SENT, str(side["local"]))]
                assert answer == tarvel.Event(tarvel.EventKind.ANSWER, str(side["save"]))
                assert list(side["link"].events(0.5)) == [], "another link's results came"
                assert side["save"].read_text() == f"offered to the {side['name']} link"
                assert wait_for_content(side["peer_root"] / "sent.bin", side["content"])
                assert side["link"].status() == f"RECV: {side['save']}"
        finally:
            for listener in listeners:
                listener.stop()
