# SPDX-License-Identifier: MIT
"""Tarvel for Python: move files and short texts to a peer device over a
serial link, through the Tarvel library (libtarvel.so.1, tarvel.dll).

    import tarvel

    with tarvel.Link(0, root="/srv/tarvel") as link:   # COM0: (/dev/rfcomm0)
        link.serve()                       # receive files, answer the peer
        link.send_file("notes.txt")        # as \\notes.txt on the peer
        link.get_file("\\\\photo.jpg", "photo.jpg")
        for event in link.events(timeout=10):
            print(event.kind.name, event.text)

A call that fails raises tarvel.Error with the library's reason. The library
is found through TARVEL_LIBRARY, then the system's library search, then a
build/ beside this package's source checkout. Each Link is a link of its own,
with its own port, listener, events and settings (given as arguments, never
read from the environment): one process can drive several devices at once.
"""

from os import fsdecode as _fsdecode

from ._errors import Error
from ._library import library as _loaded_library
from ._library import wide as _wide
from ._link import Link, call as _call
from ._records import Event, EventKind, Progress

__all__ = ["Error", "Event", "EventKind", "Link", "Progress", "library_path", "register"]


def register(registry=None):
    """Registers the incoming Bluetooth serial port settings (no port needed):
    in the file `registry` when given, else where the environment's
    TARVEL_REGISTRY says, as the library's default link does."""
    if registry is None:
        _call("TarvelPortCreate")
        return
    # A link of its own that opens no port, for its registry setting alone.
    library = _loaded_library()
    link = library.TarvelLinkCreate()
    if not link:
        raise MemoryError("the library could not make a link")
    try:
        _call("TarvelLinkSet", link, _wide("registry"), _wide(_fsdecode(registry)))
        _call("TarvelLinkPortCreate", link)
    finally:
        library.TarvelLinkDestroy(link)


def library_path():
    """The file of the library in use, as it was loaded."""
    return _loaded_library()._name
