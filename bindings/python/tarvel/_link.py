# SPDX-License-Identifier: MIT
"""The Link object: one link of the library (a TarvelLink) with its own port,
listener, status text, events and settings."""

import contextlib
import ctypes
import functools
import operator
import os
import queue
import threading
import time
import weakref

from . import _library
from ._errors import Error
from ._records import Event, Progress, event_kind

_PORT_UNAVAILABLE = 1
_DONE = 999

# Settings a Link takes as paths (str or os.PathLike); each keyword argument
# is the key the library knows the setting by.
_PATH_SETTINGS = ("root", "registry", "line_records")


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


def _path(path):
    return os.fsdecode(path)


def _setting_text(key, value):
    """A setting's value as the library reads it."""
    if key in _PATH_SETTINGS:
        return _path(value)
    if isinstance(value, bool):
        return "1" if value else "0"
    if key == "peers":
        return str(operator.index(value))
    return str(value)


def _milliseconds(timeout):
    return -1 if timeout is None else int(max(timeout, 0) * 1000)


class _Handle:
    """The library's link, and the calls in progress on it: it is destroyed
    only once none is, after its waits on events have been ended. It refers to
    no Link, so that a Link's finalizer can destroy it."""

    def __init__(self):
        self._library = _library.library()
        self.pointer = self._library.TarvelLinkCreate()
        if not self.pointer:
            raise MemoryError("the library could not make a link")
        self._changed = threading.Condition()
        self._users = 0
        self.closed = False

    @contextlib.contextmanager
    def use(self, closed_reason):
        with self._changed:
            if self.closed:
                raise Error(closed_reason)
            self._users += 1
        try:
            yield self.pointer
        finally:
            with self._changed:
                self._users -= 1
                self._changed.notify_all()

    def destroy(self):
        with self._changed:
            if self.closed:
                return
            self.closed = True
        # Closing the port first cuts a transfer in progress on another thread
        # short; a wait for events ends when told to.
        self._library.TarvelLinkPortClose(self.pointer)
        with self._changed:
            while self._users:
                self._library.TarvelLinkStopWaiting(self.pointer)
                self._changed.wait(0.05)
        self._library.TarvelLinkDestroy(self.pointer)
        self.pointer = None


def _take_event(handle, closed_reason, milliseconds):
    """Waits in the library for the link's next event: no wake-ups while none
    comes."""
    with handle.use(closed_reason) as link:
        library = _library.library()
        text = _library.text_buffer()
        peer = _library.text_buffer(_library.PEER_CAPACITY)
        kind = library.TarvelLinkNextPeerEvent(link, milliseconds, text, len(text), peer, len(peer))
    if kind == 0:
        return None
    return Event(event_kind(kind), _library.buffer_text(text), _library.buffer_text(peer))


class _MainThreadWaiter:
    """Waits for a link's events on behalf of the main thread. A wait inside the
    library would hold off Ctrl-C until an event came, so the library's wait
    runs on a thread of its own while the main thread waits on a queue, which
    Ctrl-C interrupts. An event taken after its caller was interrupted is kept
    for the next call, so none is lost."""

    def __init__(self, take_event):
        self._take_event = take_event
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
            if isinstance(event, BaseException):
                raise event
            if started or event is not None:
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
        try:
            event = self._take_event(milliseconds)
        except Error as error:  # the link was closed meanwhile
            event = error
        with self._lock:
            self._waiting = False
            self._taken.put(event)


class Link:
    """A link of its own on serial port number `port` ("COM<port>:"), opened
    with the link's line settings; raises Error when it cannot be opened or a
    setting is refused.

    The link takes its settings from the arguments alone, never from the
    environment: `device` is the device of the port (a tty path, or
    "bluetooth:<address>[:<channel>]"; by default the system's for COM<port>:),
    `root` the device root, `codepage` the link's 8-bit code page,
    `on_clash` what a pushed file does to an existing one ("overwrite",
    "rename", "skip"), `create_folders` whether a pushed file's missing
    folders are made, `registry` where the incoming port's settings are
    registered, `line_records` where the line's records are kept, and `peers`
    how many Bluetooth peers the incoming port serves at once. None leaves a
    setting at the library's default.

    Each Link has its own port, listener, status text and events: several
    drive several devices at once in one process. Use it as a context manager
    to close it at the end of the block; close() also ends its listener.
    """

    def __init__(
        self,
        port,
        device=None,
        *,
        root=None,
        codepage=None,
        on_clash=None,
        create_folders=None,
        registry=None,
        line_records=None,
        peers=None,
    ):
        self._port = operator.index(port)
        settings = {
            "root": root,
            "codepage": codepage,
            "on_clash": on_clash,
            "create_folders": create_folders,
            "registry": registry,
            "line_records": line_records,
            "peers": peers,
        }
        self._serving = False
        self._serve_lock = threading.Lock()
        self._handle = _Handle()
        self._finalizer = weakref.finalize(self, self._handle.destroy)
        # The waiter refers to the handle, not to the link, so that a link
        # nobody refers to any more is finalized at once.
        self._waiter = _MainThreadWaiter(
            functools.partial(_take_event, self._handle, self._closed_reason())
        )
        try:
            if device is not None:
                self._set(f"com{self._port}", _path(device))
            for key, value in settings.items():
                if value is not None:
                    self._set(key, _setting_text(key, value))
            with self._use() as link:
                library = _library.library()
                result = library.TarvelLinkPortOpen(link, self._port)
                reason = _last_failure(library)
            if result == _PORT_UNAVAILABLE:
                raise Error(reason or f"cannot open COM{self._port}:")
        except BaseException:
            self.close()
            raise

    def _closed_reason(self):
        return f"COM{self._port}: is closed"

    def _use(self):
        return self._handle.use(self._closed_reason())

    def _call(self, name, *arguments):
        """Calls the library's `name` on this link; raises Error with the
        reason when the call reports a failure of its own."""
        with self._use() as link:
            library = _library.library()
            result = getattr(library, name)(link, *arguments)
            reason = _last_failure(library)
        if reason is not None:
            raise Error(reason)
        return result

    def _set(self, key, value):
        if self._call("TarvelLinkSet", _library.wide(key), _library.wide(value)) != _DONE:
            raise Error(f"the setting {key} was refused")

    @property
    def port(self):
        return self._port

    @property
    def closed(self):
        return self._handle.closed

    def close(self):
        """Closes the port, stops the listener and any transfer of this link
        in progress, ends waits for its events, and frees it. Calls on it then
        raise Error; other links are untouched."""
        self._finalizer()

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()
        return False

    def __repr__(self):
        return f"<tarvel.Link COM{self._port}: {'closed' if self.closed else 'open'}>"

    def send_file(self, local, remote=None):
        """Sends the local file `local` to the peer under the device path
        `remote` (by default "\\" and the file's name). Returns when the last
        byte has been written."""
        local = _path(local)
        if remote is None:
            remote = "\\" + os.path.basename(local)
        self._call("TarvelLinkSendFile", _library.wide(local), _library.wide(_path(remote)))

    def get_file(self, remote, save_path=None):
        """Asks the peer for its file `remote`. The listener (see serve)
        saves it at `save_path`, or under the name the peer sends when None;
        an ANSWER event with that path tells when it has arrived; a file the
        peer pushes unasked is a RECEIVED event, whatever its name."""
        save = "" if save_path is None else _path(save_path)
        self._call("TarvelLinkGetFile", _library.wide(save), _library.wide(_path(remote)))

    def list_files(self, pattern):
        """Asks the peer to list the entries matching `pattern` (such as
        "\\*.*") into its "\\Tarvel.txt", which get_file can then fetch."""
        self._call("TarvelLinkListFiles", _library.wide(_path(pattern)))

    def send_text(self, text):
        """Sends `text` (at most 199 bytes in the link's code page)."""
        self._call("TarvelLinkPortSend", _library.wide(text))

    def serve(self):
        """Starts this link's listener, once: it saves incoming files, reports
        incoming texts and answers the peer's requests until the link is
        closed."""
        with self._serve_lock:
            if not self._serving:
                self._call("TarvelLinkServer")
                self._serving = True

    def register(self):
        """Registers the incoming Bluetooth serial port settings (in the
        link's `registry`), and with a Bluetooth service on the system the
        incoming port itself. Opens no port."""
        self._call("TarvelLinkPortCreate")

    @property
    def incoming_port(self):
        """Whether register() registered the incoming port with the system's
        Bluetooth service: port 0 is then that port."""
        return self._call("TarvelLinkIncomingPort") == 1

    def read(self):
        """Takes what is waiting on the port, without the listener: the text
        received, the name of the file received, or "" when nothing was there."""
        self._call("TarvelLinkPortRead")
        return self.status()

    def status(self, blank=False):
        """The link's status text, copied under its lock (it may change under
        a running listener); `blank` first replaces it with " "."""
        if blank:
            self._call("TarvelLinkCheckText", 1)
        with self._use() as link:
            library = _library.library()
            buffer = _library.text_buffer()
            length = library.TarvelLinkStatusCopy(link, buffer, len(buffer))
            while length >= len(buffer):
                # Replaced by a longer text since the first look: copy again, larger.
                buffer = _library.text_buffer(length + 1)
                length = library.TarvelLinkStatusCopy(link, buffer, len(buffer))
        return _library.buffer_text(buffer, length)

    def progress(self):
        """Progress(done, total) of the file transfer in progress, sent or
        received, or None when there is none."""
        done, total = ctypes.c_longlong(), ctypes.c_longlong()
        if self._call("TarvelLinkProgress", ctypes.byref(done), ctypes.byref(total)) == 0:
            return None
        return Progress(done.value, total.value)

    def next_event(self, timeout=None):
        """The link's next event, waiting up to `timeout` seconds (None:
        without limit); None when none came or stop_waiting() ended the wait."""
        if threading.current_thread() is threading.main_thread():
            return self._waiter.next_event(timeout)
        return _take_event(self._handle, self._closed_reason(), _milliseconds(timeout))

    def events(self, timeout=None):
        """Yields the link's events as they come, ending when none came
        within `timeout` seconds (None: never)."""
        while True:
            event = self.next_event(timeout)
            if event is None:
                return
            yield event

    def stop_waiting(self):
        """Ends a next_event of this link that waits on another thread (or,
        when none waits, the next one)."""
        with self._use() as link:
            _library.library().TarvelLinkStopWaiting(link)
