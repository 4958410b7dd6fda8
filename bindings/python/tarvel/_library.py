# SPDX-License-Identifier: MIT
"""Finding libtarvel, declaring its C interface for ctypes, and the wide text
that crosses it (UTF-16 units, which ctypes' c_wchar is not off Windows)."""

import array
import ctypes
import ctypes.util
import os
import pathlib
import sys
import threading

from ._errors import Error

# The status text's capacity, terminator included; an event's text fits in it.
TEXT_CAPACITY = 2000

_WIDE_CODEC = "utf-16-le" if sys.byteorder == "little" else "utf-16-be"
_UNIT = ctypes.c_uint16
_WIDE_IN = ctypes.c_char_p  # encoded, terminated UTF-16 bytes
_WIDE_OUT = ctypes.POINTER(_UNIT)

# name: (result, arguments)
_PROTOTYPES = {
    "TarvelPortOpen": (ctypes.c_int, [ctypes.c_int]),
    "TarvelPortRead": (ctypes.c_void_p, []),
    "TarvelPortClose": (ctypes.c_int, []),
    "TarvelPortSend": (ctypes.c_int, [_WIDE_IN]),
    "TarvelPortCreate": (ctypes.c_int, []),
    "TarvelServer": (ctypes.c_int, []),
    "TarvelSendFile": (ctypes.c_int, [_WIDE_IN, _WIDE_IN]),
    "TarvelGetFile": (ctypes.c_int, [_WIDE_IN, _WIDE_IN]),
    "TarvelListFiles": (ctypes.c_int, [_WIDE_IN]),
    "TarvelCheckText": (ctypes.c_void_p, [ctypes.c_int]),
    "TarvelStatusCopy": (ctypes.c_int, [_WIDE_OUT, ctypes.c_int]),
    "TarvelProgress": (
        ctypes.c_int,
        [ctypes.POINTER(ctypes.c_longlong), ctypes.POINTER(ctypes.c_longlong)],
    ),
    "TarvelNextEvent": (ctypes.c_int, [ctypes.c_int, _WIDE_OUT, ctypes.c_int]),
    "TarvelLastFailure": (ctypes.c_int, [_WIDE_OUT, ctypes.c_int]),
    "TarvelIncomingPort": (ctypes.c_int, []),
    "TarvelStopWaiting": (None, []),
    # Links as objects: the first argument of each is the link.
    "TarvelLinkCreate": (ctypes.c_void_p, []),
    "TarvelLinkDestroy": (None, [ctypes.c_void_p]),
    "TarvelLinkSet": (ctypes.c_int, [ctypes.c_void_p, _WIDE_IN, _WIDE_IN]),
    "TarvelLinkPortOpen": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int]),
    "TarvelLinkPortRead": (ctypes.c_void_p, [ctypes.c_void_p]),
    "TarvelLinkPortClose": (ctypes.c_int, [ctypes.c_void_p]),
    "TarvelLinkPortSend": (ctypes.c_int, [ctypes.c_void_p, _WIDE_IN]),
    "TarvelLinkPortCreate": (ctypes.c_int, [ctypes.c_void_p]),
    "TarvelLinkServer": (ctypes.c_int, [ctypes.c_void_p]),
    "TarvelLinkSendFile": (ctypes.c_int, [ctypes.c_void_p, _WIDE_IN, _WIDE_IN]),
    "TarvelLinkGetFile": (ctypes.c_int, [ctypes.c_void_p, _WIDE_IN, _WIDE_IN]),
    "TarvelLinkListFiles": (ctypes.c_int, [ctypes.c_void_p, _WIDE_IN]),
    "TarvelLinkCheckText": (ctypes.c_void_p, [ctypes.c_void_p, ctypes.c_int]),
    "TarvelLinkStatusCopy": (ctypes.c_int, [ctypes.c_void_p, _WIDE_OUT, ctypes.c_int]),
    "TarvelLinkProgress": (
        ctypes.c_int,
        [ctypes.c_void_p, ctypes.POINTER(ctypes.c_longlong), ctypes.POINTER(ctypes.c_longlong)],
    ),
    "TarvelLinkNextEvent": (
        ctypes.c_int,
        [ctypes.c_void_p, ctypes.c_int, _WIDE_OUT, ctypes.c_int],
    ),
    "TarvelLinkIncomingPort": (ctypes.c_int, [ctypes.c_void_p]),
    "TarvelLinkStopWaiting": (None, [ctypes.c_void_p]),
    "TarvelLinkNextPeerEvent": (
        ctypes.c_int,
        [ctypes.c_void_p, ctypes.c_int, _WIDE_OUT, ctypes.c_int, _WIDE_OUT, ctypes.c_int],
    ),
}

# A peer's address ("00:11:22:33:44:55") with its terminator, and room to spare.
PEER_CAPACITY = 32

_loaded = None
_loading = threading.Lock()


def _build_tree_library():
    """The library of a build beside this package in a source checkout
    (bindings/python/tarvel/ -> build/)."""
    top = pathlib.Path(__file__).resolve().parents[3]
    if os.name == "nt":
        return top / "build" / "bin" / "tarvel.dll"
    return top / "build" / "libtarvel.so.1"


def _candidates():
    chosen = os.environ.get("TARVEL_LIBRARY")
    if chosen:
        # Named on purpose: no other library stands in for it.
        return [chosen]
    found = []
    system = ctypes.util.find_library("tarvel")
    if system:
        found.append(system)
    if os.name != "nt":
        found.append("libtarvel.so.1")  # the run-time name, where the loader finds it
    found.append(str(_build_tree_library()))
    return found


# The header's TARVEL_CALL: __stdcall in a 32-bit Windows process, which
# WinDLL calls (on 64-bit Windows it is the one convention, as CDLL's); the
# platform's one convention elsewhere.
_LOADER = ctypes.WinDLL if os.name == "nt" else ctypes.CDLL


def _declare(library):
    for name, (result, arguments) in _PROTOTYPES.items():
        try:
            function = getattr(library, name)
        except AttributeError:
            raise Error(f"{library._name} has no {name}: not a Tarvel library") from None
        function.restype = result
        function.argtypes = arguments
    return library


def library():
    """The loaded library, loaded at the first call: the one named by
    TARVEL_LIBRARY, else the one the system finds, else the build tree's."""
    global _loaded
    with _loading:
        if _loaded is None:
            tried = []
            for candidate in _candidates():
                try:
                    _loaded = _declare(_LOADER(candidate))
                    break
                except OSError as error:
                    tried.append(f"{candidate}: {error}")
            else:
                raise Error(
                    "libtarvel not found (set TARVEL_LIBRARY to its path); tried "
                    + "; ".join(tried)
                )
        return _loaded


def wide(text):
    """`text` as terminated UTF-16 for the library."""
    if "\0" in text:
        raise ValueError("embedded null character")
    return text.encode(_WIDE_CODEC, "surrogatepass") + b"\0\0"


def text_buffer(capacity=TEXT_CAPACITY):
    return (_UNIT * capacity)()


def buffer_text(buffer, length=None):
    """The text in `buffer`, up to `length` units or its terminator."""
    units = array.array("H", bytes(buffer))
    if length is None:
        length = units.index(0) if 0 in units else len(units)
    return units[: min(length, len(units))].tobytes().decode(_WIDE_CODEC, "surrogatepass")
