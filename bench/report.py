#!/usr/bin/env python3
"""Turns the raw files of bench/run.sh into the results table.

    report.py WORK_DIR RESULTS_LIST

Host trace lines (platform/foundation/FrameTrace.h): seq grab_start grab_end cursor_end
convert_end encode_end hand_over socket_end bytes, in ns of CLOCK_MONOTONIC.
"""
import os
import statistics
import sys


def read_lines(path):
    try:
        with open(path) as f:
            return [line.split() for line in f if line.strip()]
    except OSError:
        return []


def pct(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    k = min(len(values) - 1, max(0, int(round(p / 100.0 * (len(values) - 1)))))
    return values[k]


def mean(values):
    return statistics.fmean(values) if values else float("nan")


def ours(work, name):
    trace = [list(map(int, r)) for r in read_lines(os.path.join(work, name + ".trace"))]
    trace = [r for r in trace if all(r[1:8])]  # frames that reached the socket
    recv = [list(map(int, r)) for r in read_lines(os.path.join(work, name + ".recv"))]
    before, after, hz = map(float, open(os.path.join(work, name + ".cpu")).read().split())
    frames = len(recv)
    span = (recv[-1][0] - recv[0][0]) / 1e9 if frames > 1 else 0
    ms = lambda a, b: [(r[b] - r[a]) / 1e6 for r in trace]
    out = {
        "frames": frames,
        "fps": (frames - 1) / span if span > 0 else 0,
        "cpu_ms": (after - before) / hz * 1000 / frames if frames else float("nan"),
        "grab": mean(ms(1, 2)),
        "cursor": mean(ms(2, 3)),
        "convert": mean(ms(3, 4)),
        "encode": mean(ms(4, 5)),
        "handover": mean(ms(5, 6)),
        "socket": mean(ms(6, 7)),
        "delay_med": pct(ms(1, 7), 50),
        "delay_p99": pct(ms(1, 7), 99),
        "bytes": mean([r[1] for r in recv]),
    }
    return out


def ffmpeg(work, name):
    try:
        user, system = map(float, open(os.path.join(work, name + ".time")).read().split()[-2:])
        frames = int(open(os.path.join(work, name + ".frames")).read().strip() or 0)
        secs = float(open(os.path.join(work, name + ".secs")).read())
    except (OSError, ValueError):
        return None
    size = os.path.getsize(os.path.join(work, name + ".ivf"))
    return {
        "frames": frames,
        "fps": frames / secs if secs else 0,
        "cpu_ms": (user + system) * 1000 / frames if frames else float("nan"),
        "bytes": (size - 32 - 12 * frames) / frames if frames else float("nan"),
    }


def psnr(work, name):
    rows = read_lines(os.path.join(work, name + ".psnr"))
    if not rows:
        return None
    fields = dict(kv.split("=") for kv in rows[0][1:])
    return fields


def input_burst(work, name):
    """The burst's commands against the X motion events that followed them. Each command may
    cause several raw motions (the input path moves the pointer and then posts the event), and a
    parking move precedes the burst: the events split into N + 1 equal groups, and a command's
    delay runs to the first event of its group."""
    sent = [int(r[0]) for r in read_lines(os.path.join(work, name + ".sent"))]
    events = [int(r[0]) for r in read_lines(os.path.join(work, name + ".events"))]
    client = open(os.path.join(work, name + ".client.out")).read().strip()
    n = len(sent)
    per = max(1, len(events) // (n + 1))
    groups = events[per::per]  # the parking move's group skipped
    lost = n - len(groups)
    delays = [(e - s) / 1e6 for s, e in zip(sent, groups)]
    return client, n, len(events), per, lost, delays


def main():
    work, results = sys.argv[1], sys.argv[2]
    rows = [line.split() for line in open(results) if line.strip()]
    ours_rows, ff_rows, psnr_rows, input_rows = {}, {}, {}, []
    for kind, size, scene, fps, name in rows:
        if kind == "ours":
            ours_rows[(size, scene, fps)] = ours(work, name)
        elif kind == "ffmpeg":
            ff_rows[(size, scene, fps)] = ffmpeg(work, name)
        elif kind == "psnr":
            psnr_rows[(size, scene)] = psnr(work, name)
        elif kind == "input":
            input_rows.append((size, input_burst(work, name)))

    print()
    print("| size | scene | asked fps | fps | CPU ms/frame | grab | cursor | conv | encode | "
          "hand-over | socket | delay med | delay p99 | bytes/frame | PSNR dB | ffmpeg fps | "
          "ffmpeg CPU ms/frame | ffmpeg bytes/frame | CPU ratio (ours/ffmpeg) |")
    print("|" + "---|" * 19)
    for (size, scene, fps), o in ours_rows.items():
        f = ff_rows.get((size, scene, fps))
        p = psnr_rows.get((size, scene))
        ptxt = "%s (min %s)" % (p["mean"], p["min"]) if p and fps == "30" else ""
        asked = "max (%s)" % fps if int(fps) > 60 else fps
        ftxt = ("%.1f | %.2f | %.0f | 1/%.1f" % (f["fps"], f["cpu_ms"], f["bytes"],
                                                   f["cpu_ms"] / o["cpu_ms"])
                if f and o["cpu_ms"] > 0 else " | | | ")
        print("| %s | %s | %s | %.1f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.1f | "
              "%.1f | %.0f | %s | %s |" % (
                  size, scene, asked, o["fps"], o["cpu_ms"], o["grab"], o["cursor"],
                  o["convert"], o["encode"], o["handover"], o["socket"], o["delay_med"],
                  o["delay_p99"], o["bytes"], ptxt, ftxt))
    print()
    print("Stage times and delays in ms (means over the frames of the run; delay = grab start to "
          "the end of the socket write). PSNR from a separate 30 fps pass (every 5th frame "
          "dumped). ffmpeg: x11grab → libvpx-vp9 4:2:0, speed 8, row-mt, 2 threads, CBR at the "
          "host's per-frame budget (3 Mbit/s at 30 fps).")
    for size, (client, n, events, per, lost, delays) in input_rows:
        print()
        print("input %s: %s" % (size, client))
        print("  X raw motion events: %d for %d commands + 1 parking move (%d per command); "
              "lost: %d; delay from send to the X event: median %.2f ms, p99 %.2f ms, "
              "max %.2f ms" % (events, n, per, max(lost, 0), pct(delays, 50), pct(delays, 99),
                              max(delays) if delays else float("nan")))


if __name__ == "__main__":
    main()
