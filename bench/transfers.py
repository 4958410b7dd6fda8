# SPDX-License-Identifier: MIT
"""One transfer at a time over a virtual cable, measured from outside.

Each side runs as its own process; its CPU time and peak RSS come from the
kernel's rusage of that child (wait4), its times from a monotonic clock.
"""
import filecmp
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RELAY_SCRIPT = os.path.join(HERE, "pty_relay.py")
MIB = 1024 * 1024
# The protocol's fixed pauses: 1000 ms at the sender after the header, 200 ms
# at the receiver after recognising it. The receiver's falls inside the
# sender's (it sees the header within one 100 ms poll), so only the sender's
# second lies on the path of a transfer.
TARVEL_PAUSES_S = 1.2
TARVEL_PAUSE_ON_PATH_S = 1.0
ZMODEM_END = b"OO"
TIME = "/usr/bin/time"


class Child:
    """A child process whose end time and rusage are taken the moment it ends.

    A measured child runs under /usr/bin/time, which reports its peak RSS: a
    process forked from this Python inherits Python's peak in its own figure.
    Its CPU time is time's rusage, which holds its waited-for child's; the
    wrapper adds about a millisecond.
    """

    def __init__(self, argv, measured=False, **popen_args):
        self.rss_file = None
        if measured:
            handle, self.rss_file = tempfile.mkstemp(prefix="tarvel-rss-")
            os.close(handle)
            argv = [TIME, "-f", "%M", "-o", self.rss_file] + argv
        self.argv = argv
        self.started = time.monotonic()
        # A group of its own, so that a signal reaches the child under time too.
        self.proc = subprocess.Popen(argv, start_new_session=True, **popen_args)
        self.ended = None
        self.exit_code = None
        self.cpu_s = None
        self.peak_rss_mib = None
        self._waiter = threading.Thread(target=self._wait, daemon=True)
        self._waiter.start()

    @property
    def pid(self):
        return self.proc.pid

    def _wait(self):
        _, status, usage = os.wait4(self.proc.pid, 0)
        self.ended = time.monotonic()
        self.exit_code = os.waitstatus_to_exitcode(status)
        self.proc.returncode = self.exit_code  # reaped here, not by Popen
        self.cpu_s = usage.ru_utime + usage.ru_stime
        if self.rss_file:
            with open(self.rss_file) as figures:
                lines = figures.read().split()
            os.remove(self.rss_file)
            # The last line is the figure; time puts a note on exit status before it.
            self.peak_rss_mib = int(lines[-1]) / 1024.0 if lines else None

    def running(self):
        return self._waiter.is_alive()

    def join(self, timeout):
        """Waits up to `timeout` seconds; a child still running then is killed."""
        self._waiter.join(timeout)
        if self._waiter.is_alive():
            self.signal(signal.SIGKILL)
            self._waiter.join()
            return False
        return True

    def signal(self, number):
        if self.running():
            try:
                os.killpg(self.proc.pid, number)
            except ProcessLookupError:
                pass

    def stop(self, grace_s=3.0):
        self.signal(signal.SIGINT)
        return self.join(grace_s)

    def processes(self):
        """This child and its descendants, by pid."""
        found, queue = [], [self.proc.pid]
        while queue:
            pid = queue.pop()
            found.append(pid)
            try:
                with open("/proc/%d/task/%d/children" % (pid, pid)) as children:
                    queue += [int(p) for p in children.read().split()]
            except OSError:
                pass
        return found


class Relay:
    """Two pty ends joined by bench/pty_relay.py (paced when `rate` is given)
    or by `tarvel cable`."""

    def __init__(self, rate=None, tarvel=None):
        if tarvel is not None:
            argv = [tarvel, "-q", "cable"]
        else:
            argv = [sys.executable, RELAY_SCRIPT] + (["--rate", str(rate)] if rate else [])
        self.child = Child(argv, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        self.a = self.child.proc.stdout.readline().strip()
        self.b = self.child.proc.stdout.readline().strip()
        if not (self.a.startswith("/dev/") and self.b.startswith("/dev/")):
            self.close()
            raise RuntimeError("the relay did not print its two ends: " + " ".join(argv))

    def close(self):
        self.child.stop()
        self.child.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


def open_tty(path):
    return os.open(path, os.O_RDWR | os.O_NOCTTY)


def has_open(child, path, timeout_s):
    """Waits until `child` or one of its descendants holds `path` open; False
    after `timeout_s` or when it ended."""
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline and child.running():
        for pid in child.processes():
            folder = "/proc/%d/fd" % pid
            try:
                names = os.listdir(folder)
            except OSError:
                continue
            for name in names:
                try:
                    if os.readlink(os.path.join(folder, name)) == path:
                        return True
                except OSError:
                    pass
        time.sleep(0.01)
    return False


def fresh_folder(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def transfer_timeout_s(size):
    # Generous: a stuck transfer is cut off rather than hanging the run.
    return 60 + size / (256 * 1024)


def side_figures(prefix, child):
    return {
        prefix + "_cpu_s": child.cpu_s,
        prefix + "_rss_mib": child.peak_rss_mib,
        prefix + "_exit": child.exit_code,
    }


def finish(result, received, source, log_paths):
    result["identical"] = os.path.exists(received) and filecmp.cmp(source, received, shallow=False)
    result["ok"] = result["identical"] and result["send_exit"] == 0 and result["recv_exit"] == 0
    if not result["ok"]:
        result["logs"] = {name: read_tail(path) for name, path in log_paths.items()}
    if os.path.exists(received):
        os.remove(received)
    return result


def read_tail(path, limit=2000):
    try:
        with open(path, "rb") as log:
            return log.read()[-limit:].decode("utf-8", "replace")
    except OSError:
        return ""


def tarvel_transfer(tarvel, relay, source, work, env):
    """`tarvel send` on end A to `tarvel listen --once` on end B."""
    size = os.path.getsize(source)
    root = fresh_folder(os.path.join(work, "tarvel-recv"))
    logs = {"listen": os.path.join(work, "listen.log"), "send": os.path.join(work, "send.log")}
    with open(logs["listen"], "wb") as listen_log, open(logs["send"], "wb") as send_log:
        listener = Child([tarvel, "--device", relay.b, "--root", root, "-q", "listen", "--once"],
                         measured=True, stdin=subprocess.DEVNULL, stdout=listen_log,
                         stderr=listen_log, env=env)
        has_open(listener, relay.b, 10)
        sender = Child([tarvel, "--device", relay.a, "--root", os.path.dirname(source), "-q",
                        "send", source, "\\bench.bin"],
                       measured=True, stdin=subprocess.DEVNULL, stdout=send_log,
                       stderr=send_log, env=env)
        limit = transfer_timeout_s(size)
        sender.join(limit)
        listener.join(max(5.0, limit - (time.monotonic() - sender.started)))
    result = {"tool": "tarvel", "size": size, "wall_s": listener.ended - sender.started,
              "send_wall_s": sender.ended - sender.started}
    result.update(side_figures("send", sender))
    result.update(side_figures("recv", listener))
    return finish(result, os.path.join(root, "bench.bin"), source, logs)


def zmodem_transfer(relay, source, work):
    """`sz -b -q FILE` on end A to `rz -b -y -q` on end B."""
    size = os.path.getsize(source)
    folder = fresh_folder(os.path.join(work, "zmodem-recv"))
    logs = {"rz": os.path.join(work, "rz.log"), "sz": os.path.join(work, "sz.log")}
    end_a, end_b = open_tty(relay.a), open_tty(relay.b)
    try:
        with open(logs["rz"], "wb") as rz_log, open(logs["sz"], "wb") as sz_log:
            receiver = Child(["rz", "-b", "-y", "-q"], measured=True, cwd=folder, stdin=end_b,
                             stdout=end_b, stderr=rz_log)
            sender = Child(["sz", "-b", "-q", source], measured=True, stdin=end_a, stdout=end_a,
                           stderr=sz_log)
            limit = transfer_timeout_s(size)
            sender.join(limit)
            # sz may flush its tty right after its closing "OO", losing it; rz
            # would then wait 30 s before it gives up. Say it again for sz.
            os.write(end_a, ZMODEM_END)
            receiver.join(max(5.0, limit - (time.monotonic() - sender.started)))
    finally:
        os.close(end_a)
        os.close(end_b)
    result = {"tool": "zmodem", "size": size, "wall_s": receiver.ended - sender.started,
              "send_wall_s": sender.ended - sender.started}
    result.update(side_figures("send", sender))
    result.update(side_figures("recv", receiver))
    return finish(result, os.path.join(folder, os.path.basename(source)), source, logs)


def process_cpu_s(pid):
    """CPU time of every thread of `pid` so far, from the scheduler's figures."""
    total_ns = 0
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/schedstat" % (pid, task)) as stat:
            total_ns += int(stat.read().split()[0])
    return total_ns / 1e9


def idle_listener_cpu(tarvel, relay, work, env, seconds):
    """CPU seconds a listener uses over `seconds` with nothing arriving."""
    root = fresh_folder(os.path.join(work, "idle-root"))
    log = os.path.join(work, "idle.log")
    with open(log, "wb") as idle_log:
        listener = Child([tarvel, "--device", relay.b, "--root", root, "-q", "listen"],
                         stdin=subprocess.DEVNULL, stdout=idle_log, stderr=idle_log, env=env)
        try:
            if not has_open(listener, relay.b, 10):
                raise RuntimeError("the idle listener did not open its port: " + read_tail(log))
            time.sleep(1.0)  # start-up is not idling
            before, start = process_cpu_s(listener.pid), time.monotonic()
            time.sleep(seconds)
            used, elapsed = process_cpu_s(listener.pid) - before, time.monotonic() - start
        finally:
            listener.stop()
    return {"seconds": elapsed, "cpu_s": used, "percent_of_core": 100.0 * used / elapsed}


def random_file(path, size):
    if os.path.exists(path) and os.path.getsize(path) == size:
        return path
    with open(path, "wb") as out:
        left = size
        while left > 0:
            chunk = min(left, MIB)
            out.write(os.urandom(chunk))
            left -= chunk
    return path
