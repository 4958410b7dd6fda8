#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""What an idle `tarvel listen` costs: its CPU time and its wake-ups per second
while nothing arrives on its port.

Wake-ups are the context switches of all its threads, read from
/proc/<pid>/task/*/status (voluntary and involuntary), so a thread that sleeps
in a timed wait and wakes to look counts once per look.

    bench/idle_listener.py [--tarvel build/tools/tarvel/tarvel] [--seconds 60]
    bench/idle_listener.py --host build/bench/idle_host [--seconds 60]

With --host, the listener measured is that of a host that blocks on the event
queue (bench/idle_host.c): the library's own cost, without the command's.
"""
import argparse
import glob
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks  # utime + stime, all threads


def context_switches(pid):
    total = 0
    for status in glob.glob("/proc/%d/task/*/status" % pid):
        try:
            with open(status) as text:
                for line in text:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except FileNotFoundError:
            pass  # a thread that ended meanwhile
    return total


def has_open(pid, path, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for fd in glob.glob("/proc/%d/fd/*" % pid):
            try:
                if os.readlink(fd) == path:
                    return True
            except OSError:
                pass
        time.sleep(0.05)
    return False


def measure(tarvel, seconds, host=None):
    master, slave = os.openpty()
    tty = os.ttyname(slave)
    with tempfile.TemporaryDirectory() as work:
        env = dict(os.environ, TARVEL_REGISTRY=os.path.join(work, "registry.reg"))
        command = [tarvel, "--device", tty, "--root", work, "-q", "listen"]
        if host:
            command = [host]
            env.update(TARVEL_COM3=tty, TARVEL_ROOT=work)
        listener = subprocess.Popen(
            command,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        try:
            if not has_open(listener.pid, tty, 10):
                raise RuntimeError("the listener did not open " + tty)
            time.sleep(1.0)  # start-up is not idling
            cpu0, switches0, start = cpu_seconds(listener.pid), context_switches(listener.pid), time.monotonic()
            time.sleep(seconds)
            cpu1, switches1, end = cpu_seconds(listener.pid), context_switches(listener.pid), time.monotonic()
        finally:
            listener.terminate()
            listener.wait(10)
            os.close(master)
            os.close(slave)
    elapsed = end - start
    return {"seconds": elapsed, "cpu_s": cpu1 - cpu0, "percent_of_core": 100.0 * (cpu1 - cpu0) / elapsed,
            "wakeups_per_s": (switches1 - switches0) / elapsed}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tarvel", default=os.path.join(HERE, "..", "build", "tools", "tarvel", "tarvel"))
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--host", help="a host program to measure instead of tarvel listen")
    args = parser.parse_args()
    host = os.path.abspath(args.host) if args.host else None
    result = measure(os.path.abspath(args.tarvel), args.seconds, host)
    print("idle %s over %.1f s: %.3f CPU s, %.3f %% of a core, %.1f wake-ups/s"
          % ("host" if host else "listener", result["seconds"], result["cpu_s"], result["percent_of_core"], result["wakeups_per_s"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
