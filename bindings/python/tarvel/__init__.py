# SPDX-License-Identifier: MIT
"""Tarvel for Python: move files and short texts to a peer device over a
serial link, through the Tarvel library (libtarvel.so.1, tarvel.dll).

    import tarvel

    with tarvel.Link(0) as link:           # COM0: (TARVEL_COM0, else /dev/rfcomm0)
        link.serve()                       # receive files, answer the peer
        link.send_file("notes.txt")        # as \\notes.txt on the peer
        link.get_file("\\\\photo.jpg", "photo.jpg")
        for event in link.events(timeout=10):
            print(event.kind.name, event.text)

A call that fails raises tarvel.Error with the library's reason. The library
is found through TARVEL_LIBRARY, then the system's library search, then a
build/ beside this package's source checkout. The library keeps one port, one
listener and one event queue for the whole process.
"""

from ._errors import Error
from ._library import library as _loaded_library
from ._link import Link, call as _call
from ._records import Event, EventKind, Progress

__all__ = ["Error", "Event", "EventKind", "Link", "Progress", "library_path", "register"]


def register():
    """Registers the incoming Bluetooth serial port settings (no port needed)."""
    _call("TarvelPortCreate")


def library_path():
    """The file of the library in use, as it was loaded."""
    return _loaded_library()._name
