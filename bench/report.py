# SPDX-License-Identifier: MIT
"""Medians, the comparison table, the targets and the plot."""
import statistics

from transfers import MIB, TARVEL_PAUSE_ON_PATH_S

TOOL_NAMES = {"tarvel": "tarvel send → listen --once", "zmodem": "sz → rz (ZMODEM)"}
LINE_RATE_BYTES_S = 25600
# Throughput and CPU are held against ZMODEM at these sizes; smaller files
# measure start-up more than transfer.
COMPARED_MIB = (16, 128)


def summarise(runs):
    """Median figures per (tool, size) over the runs that arrived intact."""
    rows = {}
    for key in sorted({(r["tool"], r["size"]) for r in runs}, key=lambda k: (k[1], k[0])):
        good = [r for r in runs if (r["tool"], r["size"]) == key and r["ok"]]
        tool, size = key
        row = {"tool": tool, "size": size, "runs": len(good),
               "failed": sum(1 for r in runs if (r["tool"], r["size"]) == key and not r["ok"])}
        if good:
            med = lambda name: statistics.median(r[name] for r in good)
            mib = size / MIB
            pause = TARVEL_PAUSE_ON_PATH_S if tool == "tarvel" else 0.0
            moving = statistics.median(r["wall_s"] - pause for r in good)
            row.update({
                "wall_s": med("wall_s"), "moving_s": moving,
                "mib_s": mib / moving if moving > 0 else None,
                "send_cpu_per_mib": med("send_cpu_s") / mib, "recv_cpu_per_mib": med("recv_cpu_s") / mib,
                "send_rss_mib": med("send_rss_mib"), "recv_rss_mib": med("recv_rss_mib"),
            })
        rows[key] = row
    return rows


def size_text(size):
    return "%g MiB" % (size / MIB) if size >= MIB else "%g KiB" % (size / 1024)


def transfer_table(rows):
    lines = [
        "| Tool | Size | Runs | Wall s | Wall s, pause apart | MiB/s, pause apart "
        "| Send CPU s/MiB | Receive CPU s/MiB | Send peak RSS MiB | Receive peak RSS MiB |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for row in rows.values():
        if row["runs"] == 0:
            lines.append("| %s | %s | 0 (%d failed) | – | – | – | – | – | – | – |"
                         % (TOOL_NAMES[row["tool"]], size_text(row["size"]), row["failed"]))
            continue
        runs = "%d" % row["runs"] + (" (%d failed)" % row["failed"] if row["failed"] else "")
        speed = "%.1f" % row["mib_s"] if row["mib_s"] else "–"
        lines.append("| %s | %s | %s | %.2f | %.2f | %s | %.4f | %.4f | %.1f | %.1f |" % (
            TOOL_NAMES[row["tool"]], size_text(row["size"]), runs, row["wall_s"], row["moving_s"],
            speed, row["send_cpu_per_mib"], row["recv_cpu_per_mib"], row["send_rss_mib"],
            row["recv_rss_mib"]))
    return lines


def line_rate_figures(runs):
    """Efficiency per size: payload time at the line rate ÷ measured total."""
    figures = []
    for size in sorted({r["size"] for r in runs}):
        good = [r for r in runs if r["size"] == size and r["ok"]]
        if not good:
            figures.append({"size": size, "runs": 0})
            continue
        total = statistics.median(r["wall_s"] for r in good)
        payload = size / LINE_RATE_BYTES_S
        header = len("FILE: \\bench.bin|%d|" % size) / LINE_RATE_BYTES_S
        ideal = payload / (payload + header + TARVEL_PAUSE_ON_PATH_S)
        figures.append({"size": size, "runs": len(good), "total_s": total, "payload_s": payload,
                        "efficiency": payload / total, "ideal": ideal})
    return figures


def line_rate_table(figures):
    lines = ["| Size | Runs | Payload s at 25,600 B/s | Total s | Efficiency | Ideal | Of ideal |",
             "|---|---|---|---|---|---|---|"]
    for f in figures:
        if f["runs"] == 0:
            lines.append("| %s | 0 | – | – | – | – | – |" % size_text(f["size"]))
            continue
        lines.append("| %s | %d | %.2f | %.2f | %.1f %% | %.1f %% | %.1f %% |" % (
            size_text(f["size"]), f["runs"], f["payload_s"], f["total_s"], 100 * f["efficiency"],
            100 * f["ideal"], 100 * f["efficiency"] / f["ideal"]))
    return lines


def verdict(ok):
    return "met" if ok else "**missed**"


def target_lines(rows, idle, line_rate):
    """One line per target: what was measured and whether it holds."""
    lines = []
    for mib in COMPARED_MIB:
        t, z = rows.get(("tarvel", mib * MIB)), rows.get(("zmodem", mib * MIB))
        if not (t and z and t["runs"] and z["runs"]):
            continue
        fast = (t["mib_s"] or 0) >= (z["mib_s"] or float("inf"))
        lines.append("- %d MiB throughput, pause apart: Tarvel %.1f MiB/s vs ZMODEM %.1f MiB/s: %s"
                     % (mib, t["mib_s"] or 0, z["mib_s"] or 0, verdict(fast)))
        for side, name in (("send", "sender"), ("recv", "receiver")):
            a, b = t[side + "_cpu_per_mib"], z[side + "_cpu_per_mib"]
            lines.append("- %d MiB CPU per MiB, %s: Tarvel %.4f s vs ZMODEM %.4f s: %s"
                         % (mib, name, a, b, verdict(a <= b)))
    small = min((r for r in rows.values() if r["tool"] == "tarvel" and r["runs"]),
                key=lambda r: r["size"], default=None)
    large = max((r for r in rows.values() if r["tool"] == "tarvel" and r["runs"]),
                key=lambda r: r["size"], default=None)
    if small and large and small is not large:
        for side, name in (("send", "sender"), ("recv", "receiver")):
            grow = large[side + "_rss_mib"] - small[side + "_rss_mib"]
            lines.append("- Memory flat, %s: peak RSS %.1f MiB at %s, %.1f MiB at %s (%+.1f MiB): %s"
                         % (name, small[side + "_rss_mib"], size_text(small["size"]),
                            large[side + "_rss_mib"], size_text(large["size"]), grow,
                            verdict(abs(grow) <= 1.0)))
    if idle:
        lines.append("- Idle listener: %.3f CPU s in %.0f s, %.2f %% of a core: %s"
                     % (idle["cpu_s"], idle["seconds"], idle["percent_of_core"],
                        verdict(idle["percent_of_core"] < 1.0)))
    for f in line_rate:
        if f["runs"] and f["size"] == MIB:
            ratio = f["efficiency"] / f["ideal"]
            lines.append("- 1 MiB at 25,600 B/s: efficiency %.1f %% against an ideal %.1f %%"
                         " (%.1f %% of it): %s" % (100 * f["efficiency"], 100 * f["ideal"],
                                                   100 * ratio, verdict(ratio >= 0.95)))
    return lines


def markdown(rows, idle, line_rate, notes):
    out = ["# Tarvel against ZMODEM over a pty cable", ""]
    out += notes + [""]
    out += ["## Transfers", ""] + transfer_table(rows) + [""]
    if line_rate:
        out += ["## At the line rate (256000 baud 8N1)", "",
                "The relay paces each direction to 25,600 bytes/s in slices of 64 bytes. "
                "Efficiency is the payload's time at that rate over the measured total (sender's "
                "start to receiver's exit); the ideal adds only the header's bytes and the "
                "sender's 1.0 s pause.", ""] + line_rate_table(line_rate) + [""]
    if idle:
        out += ["## Idle listener", "",
                "`tarvel listen` on a cable end with nothing arriving, its CPU time (every "
                "thread, from /proc) over %.0f s after a second of start-up: %.3f CPU seconds, "
                "%.2f %% of one core. This includes the command's own status polling."
                % (idle["seconds"], idle["cpu_s"], idle["percent_of_core"]), ""]
    out += ["## Targets", ""] + target_lines(rows, idle, line_rate) + [""]
    return "\n".join(out)


def sections_kept(path, text):
    """The sections of the results file at `path` that `text` does not write
    (another benchmark's, such as the gateway's), so a new comparison keeps them."""
    try:
        with open(path) as old:
            lines = old.read().split("\n")
    except FileNotFoundError:
        return ""
    written = {line for line in text.split("\n") if line.startswith("## ")}
    kept, keeping = [], False
    for line in lines:
        if line.startswith("## "):
            keeping = line not in written
        if keeping:
            kept.append(line)
    if not kept:
        return ""
    gap = "" if text.endswith("\n\n") else "\n"
    return gap + "\n".join(kept).rstrip("\n") + "\n"


def plot(rows, path):
    """Throughput and CPU per MiB side by side; False when matplotlib is missing."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    sizes = sorted({size for _, size in rows})
    labels = [size_text(s) for s in sizes]
    figure, axes = plt.subplots(1, 4, figsize=(17, 4))
    charts = (("mib_s", "MiB/s (Tarvel's 1.0 s pause set apart)"),
              ("send_cpu_per_mib", "sender CPU s per MiB"),
              ("recv_cpu_per_mib", "receiver CPU s per MiB"),
              ("send_rss_mib", "sender peak RSS MiB"))
    width = 0.38
    for axis, (field, title) in zip(axes, charts):
        for offset, tool in ((-width / 2, "tarvel"), (width / 2, "zmodem")):
            values = [rows.get((tool, s), {}).get(field) or 0 for s in sizes]
            axis.bar([i + offset for i in range(len(sizes))], values, width, label=TOOL_NAMES[tool])
        axis.set_xticks(range(len(sizes)), labels)
        axis.set_title(title)
    axes[0].legend()
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    return True
