#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A virtual null-modem cable: two pseudo-terminals whose masters are joined.

Prints the two ends (slave paths) on standard output, one per line, then
relays bytes both ways until SIGTERM or SIGINT.
With --rate BYTES_PER_SECOND each direction is paced like a serial line
(25600 bytes/s is 256000 baud at 8N1: ten bits a byte).
"""
import argparse
import math
import os
import select
import signal
import time
import tty

HELD_LIMIT = 64 * 1024  # bytes one direction holds before it stops reading
READ_SIZE = 64 * 1024
PACED_BURST = 256  # bytes a paced direction may send at once (10 ms at 25600 B/s)
PACED_SLICE = 64  # bytes a paced direction waits for before it writes


class Direction:
    def __init__(self, source, sink, rate):
        self.source, self.sink, self.rate = source, sink, rate
        self.held = bytearray()
        self.tokens = 0.0
        self.last = time.monotonic()

    def wants_input(self):
        return len(self.held) < HELD_LIMIT

    def take(self):
        try:
            self.held += os.read(self.source, READ_SIZE)
        except (BlockingIOError, InterruptedError):
            pass
        except OSError:
            # EIO: no slave descriptor open on that side right now.
            pass

    def allowance(self):
        if self.rate is None:
            return len(self.held)
        now = time.monotonic()
        self.tokens = min(PACED_BURST, self.tokens + (now - self.last) * self.rate)
        self.last = now
        return min(len(self.held), int(self.tokens))

    def pass_on(self):
        count = self.allowance()
        if count <= 0:
            return
        try:
            sent = os.write(self.sink, self.held[:count])
        except (BlockingIOError, InterruptedError):
            return
        del self.held[:sent]
        if self.rate is not None:
            self.tokens -= sent

    def wait_hint(self):
        """Seconds until this direction has something to send; None if nothing."""
        if not self.held:
            return None
        if self.rate is None:
            return 0.05  # a pty can make room without waking its pollers
        # A paced direction sends in small slices rather than byte by byte.
        need = min(len(self.held), PACED_SLICE)
        return max(0.0, (need - self.tokens) / self.rate)


class Stopped(Exception):
    pass


def stop(*_):
    raise Stopped()


def make_end():
    master, slave = os.openpty()
    tty.setraw(slave)
    os.set_blocking(master, False)
    return master, slave, os.ttyname(slave)


def relay(rate):
    (master_a, slave_a, path_a), (master_b, slave_b, path_b) = make_end(), make_end()
    # The slaves stay open here, so a master never sees a hang-up while the
    # devices come and go.
    print(path_a, path_b, sep="\n", flush=True)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    a_to_b, b_to_a = Direction(master_a, master_b, rate), Direction(master_b, master_a, rate)
    try:
        relay_until_stopped(rate, (master_a, a_to_b, b_to_a), (master_b, b_to_a, a_to_b))
    except Stopped:
        pass
    for fd in (master_a, slave_a, master_b, slave_b):
        os.close(fd)


def relay_until_stopped(rate, *ends):
    poller = select.poll()
    directions = [inbound for _, inbound, _ in ends]
    while True:
        for master, inbound, outbound in ends:
            events = select.POLLIN if inbound.wants_input() else 0
            if outbound.held and rate is None:
                events |= select.POLLOUT
            poller.register(master, events)
        hints = [h for h in (d.wait_hint() for d in directions) if h is not None]
        timeout = math.ceil(min(hints) * 1000) if hints else None
        ready = dict(poller.poll(timeout))
        for master, inbound, _ in ends:
            if ready.get(master, 0) & select.POLLIN:
                inbound.take()
        for direction in directions:
            direction.pass_on()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rate", type=float, help="bytes per second in each direction")
    relay(parser.parse_args().rate)


if __name__ == "__main__":
    main()
