# SPDX-License-Identifier: MIT
"""The small records the package hands out: events and transfer progress."""

import enum
import typing


class EventKind(enum.IntEnum):
    """What an event reports, numbered as the library's TARVEL_EVENT_* kinds."""

    RECEIVED = 1  # the listener saved a file the peer pushed: its path
    SENT = 2  # send_file sent a file: its local path
    GET_ANSWERED = 3  # the peer's get request was answered: the name
    LISTED = 4  # the peer's list request was handled: the pattern
    PEER_TEXT = 5  # the listener received a text: the text
    POLLED_TEXT = 6  # read() took a text: the text
    POLLED_FILE = 7  # read() saved a file: its name
    FAILURE = 8  # something failed: the reason
    DROPPED = 9  # events lost to a full queue: their count
    ANSWER = 10  # the answer to this host's own get request was saved: its save path
    NOTICE = 11  # neither a result nor a failure, for the host to show: the text


class Event(typing.NamedTuple):
    """One result from a link's queue. `kind` is an EventKind (a plain int for
    a kind this package does not know); `text` is the path, name, pattern,
    text or reason it carries; `peer` is the address of the Bluetooth peer it
    concerns, or "" when it concerns no one peer (any event of a serial line)."""

    kind: int
    text: str
    peer: str = ""


class Progress(typing.NamedTuple):
    """Bytes done and announced of the file transfer in progress."""

    done: int
    total: int


def event_kind(number):
    try:
        return EventKind(number)
    except ValueError:
        return number
