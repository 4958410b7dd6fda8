"""The Link object: one open port of the library's one device state."""

import ctypes
import operator
import os
import queue
import threading
import time

from . import _library
from ._errors import Error
from ._records import Event, Progress, event_kind

_PORT_UNAVAILABLE = 1

# The library keeps one port and one listener for the whole process. The link
# whose port is open is the owner; opening another port closes the owner's.
_state = threading.Lock()
_owner = None
_serving = False


def _last_failure(library):
    """Why the calling thread's last call of the library failed, or None."""
    buffer = _library.text_buffer()
    if library.TarvelLastFailure(buffer, len(buffer)) == 0:
        return None
    return _library.buffer_text(buffer)


def call(name, *arguments):
    """Calls the library's `name`; raises Error with the reason when the call
    reports a failure of its own."""
    library = _library.library()
    result = getattr(library, name)(*arguments)
    reason = _last_failure(library)
    if reason is not None:
        raise Error(reason)
    return result


def status_text():
    library = _library.library()
    buffer = _library.text_buffer()
    length = library.TarvelStatusCopy(buffer, len(buffer))
    while length >= len(buffer):
        # Replaced by a longer text since the first look: copy again, larger.
        buffer = _library.text_buffer(length + 1)
        length = library.TarvelStatusCopy(buffer, len(buffer))
    return _library.buffer_text(buffer, length)


def _path(path):
    return os.fsdecode(path)


def _milliseconds(timeout):
    return -1 if timeout is None else int(max(timeout, 0) * 1000)


def _take_event(milliseconds):
    """Waits in the library for the next event: no wake-ups while none comes."""
    library = _library.library()
    buffer = _library.text_buffer()
    kind = library.TarvelNextEvent(milliseconds, buffer, len(buffer))
    if kind == 0:
        return None
    return Event(event_kind(kind), _library.buffer_text(buffer))


class _MainThreadWaiter:
    """Waits for events on behalf of the main thread. A wait inside the library
    would hold off Ctrl-C until an event came, so the library's wait runs on a
    thread of its own while the main thread waits on a queue, which Ctrl-C
    interrupts. An event taken after its caller was interrupted is kept for
    the next call, so none is lost."""

    def __init__(self):
        self._lock = threading.Lock()
        self._taken = queue.Queue()
        self._waiting = False
        self._thread = None

    def next_event(self, timeout):
        end = None if timeout is None else time.monotonic() + max(timeout, 0)
        while True:
            started = self._start_wait(timeout if end is None else end - time.monotonic())
            # The wait just started ends by the deadline on its own; one left
            # by an interrupted call may outlast it.
            left = None if started or end is None else max(0.0, end - time.monotonic())
            try:
                event = self._taken.get(timeout=left)
            except queue.Empty:
                return None
            if started:
                self._thread.join()  # it ends right after handing the event over
                return event
            if event is not None:
                return event
            if end is not None and time.monotonic() >= end:
                return None

    def _start_wait(self, left):
        with self._lock:
            if self._waiting or not self._taken.empty():
                return False
            self._waiting = True
        self._thread = threading.Thread(target=self._wait, args=(_milliseconds(left),), daemon=True)
        self._thread.start()
        return True

    def _wait(self, milliseconds):
        event = _take_event(milliseconds)
        with self._lock:
            self._waiting = False
            self._taken.put(event)


_main_thread_waiter = _MainThreadWaiter()


class Link:
    """The serial port number `port` ("COM<port>:"), opened with the link's
    line settings; raises Error when it cannot be opened.

    Use it as a context manager to close the port at the end of the block.
    The library has one port per process: opening a second Link closes the
    first, which then counts as closed.
    """

    def __init__(self, port):
        global _owner
        self._port = operator.index(port)
        library = _library.library()
        with _state:
            result = library.TarvelPortOpen(self._port)
            reason = _last_failure(library)
            # The library closes the port opened earlier whatever the outcome.
            _owner = None
            if result == _PORT_UNAVAILABLE:
                raise Error(reason or f"cannot open COM{self._port}:")
            _owner = self

    @property
    def port(self):
        return self._port

    @property
    def closed(self):
        return _owner is not self

    def close(self):
        """Closes the port, unless another Link has taken it over. A running
        listener keeps polling and picks up the next port opened."""
        global _owner
        with _state:
            if _owner is self:
                call("TarvelPortClose")
                _owner = None

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()
        return False

    def __repr__(self):
        return f"<tarvel.Link COM{self._port}: {'closed' if self.closed else 'open'}>"

    def _open_port(self):
        if self.closed:
            raise Error(f"COM{self._port}: is closed")

    def send_file(self, local, remote=None):
        """Sends the local file `local` to the peer under the device path
        `remote` (by default "\\" and the file's name). Returns when the last
        byte has been written."""
        self._open_port()
        local = _path(local)
        if remote is None:
            remote = "\\" + os.path.basename(local)
        call("TarvelSendFile", _library.wide(local), _library.wide(_path(remote)))

    def get_file(self, remote, save_path=None):
        """Asks the peer for its file `remote`. The listener (see serve)
        saves it at `save_path`, or under the name the peer sends when None;
        an ANSWER event with that path tells when it has arrived; a file the
        peer pushes unasked is a RECEIVED event, whatever its name."""
        self._open_port()
        save = "" if save_path is None else _path(save_path)
        call("TarvelGetFile", _library.wide(save), _library.wide(_path(remote)))

    def list_files(self, pattern):
        """Asks the peer to list the entries matching `pattern` (such as
        "\\*.*") into its "\\Tarvel.txt", which get_file can then fetch."""
        self._open_port()
        call("TarvelListFiles", _library.wide(_path(pattern)))

    def send_text(self, text):
        """Sends `text` (at most 199 bytes in the link's code page)."""
        self._open_port()
        call("TarvelPortSend", _library.wide(text))

    def serve(self):
        """Starts the library's listener, once per process: it saves incoming
        files, reports incoming texts and answers the peer's requests, and
        runs until the process ends."""
        global _serving
        with _state:
            if not _serving:
                call("TarvelServer")
                _serving = True

    def read(self):
        """Takes what is waiting on the port, without the listener: the text
        received, the name of the file received, or "" when nothing was there."""
        self._open_port()
        call("TarvelPortRead")
        return status_text()

    def status(self, blank=False):
        """The library's status text, copied under its lock (it may change
        under a running listener); `blank` first replaces it with " "."""
        if blank:
            call("TarvelCheckText", 1)
        return status_text()

    def progress(self):
        """Progress(done, total) of the file transfer in progress, sent or
        received, or None when there is none."""
        done, total = ctypes.c_longlong(), ctypes.c_longlong()
        if call("TarvelProgress", ctypes.byref(done), ctypes.byref(total)) == 0:
            return None
        return Progress(done.value, total.value)

    def next_event(self, timeout=None):
        """The next event of the library's queue, waiting up to `timeout`
        seconds (None: without limit); None when none came."""
        if threading.current_thread() is threading.main_thread():
            return _main_thread_waiter.next_event(timeout)
        return _take_event(_milliseconds(timeout))

    def events(self, timeout=None):
        """Yields the library's events as they come, ending when none came
        within `timeout` seconds (None: never)."""
        while True:
            event = self.next_event(timeout)
            if event is None:
                return
            yield event
