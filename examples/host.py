#!/usr/bin/python3
"""A Tarvel host in Python: sends one file to the peer on port N and prints
every event until the file has gone, or nothing came for five seconds.

    TARVEL_COM0=/dev/ttyUSB0 python3 host.py 0 notes.txt

Port N is the tty named by TARVEL_COM<N>, else /dev/rfcomm<N>.
"""

import sys

import tarvel


def main():
    if len(sys.argv) != 3:
        sys.exit(f"usage: {sys.argv[0]} PORT FILE")
    try:
        with tarvel.Link(int(sys.argv[1])) as link:
            link.serve()  # receives what the peer sends, answers its requests
            link.send_file(sys.argv[2])  # as \<its name> on the peer
            for event in link.events(timeout=5):
                print(event.kind.name.lower(), event.text)
                if event.kind == tarvel.EventKind.FAILURE:
                    sys.exit(1)
                if event.kind == tarvel.EventKind.SENT:
                    break
    except tarvel.Error as error:
        sys.exit(f"failed: {error.reason}")


if __name__ == "__main__":
    main()
