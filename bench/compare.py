#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Tarvel against ZMODEM (sz/rz) over a pty cable: throughput, CPU, memory,
idle cost and efficiency at the line rate. Run through bench/compare.sh."""
import argparse
import json
import os
import platform
import shutil
import sys
import tempfile
import time

import report
from transfers import (HERE, MIB, Relay, idle_listener_cpu, random_file, tarvel_transfer,
                       zmodem_transfer)

LINE_RATE_BYTES_S = report.LINE_RATE_BYTES_S


def parse_sizes(text, unit):
    return [int(float(part) * unit) for part in text.split(",") if part.strip()]


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tarvel", default=os.path.join(HERE, "..", "build", "tools", "tarvel",
                                                         "tarvel"), help="the tarvel command")
    parser.add_argument("--quick", action="store_true",
                        help="one run of 1 and 16 MiB, 5 s idle, 64 KiB at the line rate")
    parser.add_argument("--sizes", default="1,16,128", help="file sizes in MiB")
    parser.add_argument("--runs", type=int, default=3, help="runs per tool and size")
    parser.add_argument("--idle-seconds", type=float, default=30)
    parser.add_argument("--line-rate-kib", default="64,1024",
                        help="file sizes in KiB sent at 25,600 bytes/s; empty skips")
    parser.add_argument("--line-rate-runs", type=int, default=3)
    parser.add_argument("--relay", choices=("python", "tarvel"), default="python",
                        help="what joins the two ptys of the unpaced runs")
    parser.add_argument("--out", default=os.path.join(HERE, "results.md"))
    parser.add_argument("--work", help="folder for the files (default: a new temporary one)")
    args = parser.parse_args()
    if args.quick:
        args.sizes, args.runs, args.idle_seconds = "1,16", 1, 5
        args.line_rate_kib, args.line_rate_runs = "64", 1
    args.tarvel = os.path.abspath(args.tarvel)
    return args


def say(text):
    print(text, file=sys.stderr, flush=True)


def tarvel_env(work):
    env = dict(os.environ)
    # The listener registers its incoming port; keep that out of the user's settings.
    env["TARVEL_REGISTRY"] = os.path.join(work, "registry.reg")
    return env


def describe(result):
    state = "ok" if result["ok"] else "FAILED " + json.dumps(result.get("logs", {}))
    relay = result.get("relay_cpu_s")
    return "%-6s %9s  wall %.2f s  cpu send %.3f s, recv %.3f s%s  rss %.1f/%.1f MiB  %s" % (
        result["tool"], report.size_text(result["size"]), result["wall_s"], result["send_cpu_s"],
        result["recv_cpu_s"], ", relay %.3f s" % relay if relay is not None else "",
        result["send_rss_mib"], result["recv_rss_mib"], state)


def transfers(args, work, env):
    """Every size, each run with the tools interleaved (their order alternating)."""
    runs = []
    sizes = parse_sizes(args.sizes, MIB)
    cable = args.tarvel if args.relay == "tarvel" else None
    for run in range(args.runs):
        for size in sizes:
            source = random_file(os.path.join(work, "random-%d.bin" % size), size)
            tools = ("tarvel", "zmodem") if run % 2 == 0 else ("zmodem", "tarvel")
            for tool in tools:
                with Relay(tarvel=cable) as relay:
                    if tool == "tarvel":
                        result = tarvel_transfer(args.tarvel, relay, source, work, env)
                    else:
                        result = zmodem_transfer(relay, source, work)
                result["run"] = run
                result["relay_cpu_s"] = relay.child.cpu_s
                say("run %d: %s" % (run + 1, describe(result)))
                runs.append(result)
    return runs


def line_rate(args, work, env):
    runs = []
    for size in parse_sizes(args.line_rate_kib, 1024):
        source = random_file(os.path.join(work, "random-%d.bin" % size), size)
        for _ in range(args.line_rate_runs):
            with Relay(rate=LINE_RATE_BYTES_S) as relay:
                result = tarvel_transfer(args.tarvel, relay, source, work, env)
            say("line rate: " + describe(result))
            runs.append(result)
    return runs


def main():
    args = arguments()
    if not os.access(args.tarvel, os.X_OK):
        sys.exit("no tarvel command at %s: build first, or pass --tarvel" % args.tarvel)
    if not shutil.which("sz") or not shutil.which("rz"):
        sys.exit("sz and rz are missing: install Debian's lrzsz")
    work = args.work or tempfile.mkdtemp(prefix="tarvel-bench-")
    os.makedirs(work, exist_ok=True)
    env = tarvel_env(work)
    started = time.monotonic()
    try:
        runs = transfers(args, work, env)
        idle = None
        if args.idle_seconds > 0:
            say("idle listener for %g s" % args.idle_seconds)
            with Relay() as relay:
                idle = idle_listener_cpu(args.tarvel, relay, work, env, args.idle_seconds)
        paced = line_rate(args, work, env) if args.line_rate_kib.strip() else []
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    rows = report.summarise(runs)
    notes = ["Measured %s on %s (%s, %d CPUs) by `bench/compare.sh%s`, in %.0f s. "
             "Median of %d run(s) per row; tools interleaved; every received file compared byte "
             "for byte. Each side is its own process, run under /usr/bin/time: CPU is user + system "
             "time, peak RSS the process's own. Wall time runs from the sender's start to the "
             "receiver's exit. Tarvel's includes its fixed pauses: 1000 ms at the sender after the "
             "header and 200 ms at the receiver, which falls inside the sender's (the receiver sees "
             "the header within one 100 ms poll); so 1.0 s of them lies on the path, and that is "
             "what the \"pause apart\" columns set apart (taking 1.2 s off would flatter Tarvel). "
             "Both tools go through the same relayed pty pair (%s relay)."
             % (time.strftime("%Y-%m-%d"), platform.node(), platform.machine(), os.cpu_count(),
                " --quick" if args.quick else "", time.monotonic() - started, args.runs,
                args.relay)]
    text = report.markdown(rows, idle, report.line_rate_figures(paced), notes)
    print(text)
    text += report.sections_kept(args.out, text)
    with open(args.out, "w") as out:
        out.write(text)
    base = os.path.splitext(args.out)[0]
    with open(base + ".json", "w") as out:
        json.dump({"runs": runs, "idle": idle, "line_rate": paced}, out, indent=1)
    if report.plot(rows, base + ".png"):
        say("wrote %s, %s.json and %s.png" % (args.out, base, base))
    else:
        say("wrote %s and %s.json (no plot: python3-matplotlib is not installed)" % (args.out, base))
    failed = sum(1 for r in runs + paced if not r["ok"])
    if failed:
        say("%d transfer(s) failed or arrived different" % failed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
