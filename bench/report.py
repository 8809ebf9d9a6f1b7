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
    # Steady state: from the sample taken 1.5 s after the start to the end of the recording.
    steady = float("nan")
    sample = open(os.path.join(work, name + ".cpu1")).read() if os.path.exists(
        os.path.join(work, name + ".cpu1")) else ""
    if ")" in sample:
        offset = int(open(os.path.join(work, "clock_offset")).read())
        t1 = int(float(sample.split()[0].replace(",", ".")) * 1e9) - offset
        stat = sample.rsplit(")", 1)[1].split()
        ticks1 = float(stat[11]) + float(stat[12])
        later = sum(1 for r in recv if r[0] > t1)
        if later:
            steady = (after - ticks1) / hz * 1000 / later
    first_ms = float("nan")
    for line in open(os.path.join(work, name + ".client.out")):
        if line.startswith("first frame:"):
            first_ms = float(line.split()[2])
    first = trace[0] if trace else None
    out = {
        "frames": frames,
        "fps": (frames - 1) / span if span > 0 else 0,
        "cpu_ms": steady,
        "cpu_whole_ms": (after - before) / hz * 1000 / frames if frames else float("nan"),
        "first_ms": first_ms,
        "first": {
            "grab": (first[2] - first[1]) / 1e6, "cursor": (first[3] - first[2]) / 1e6,
            "convert": (first[4] - first[3]) / 1e6, "encode": (first[5] - first[4]) / 1e6,
            "socket": (first[7] - first[6]) / 1e6, "bytes": first[8],
        } if first else None,
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


def key_pass(work, name):
    """The key frames of a key-frame pass (the first frame and the one forced 1.5 s in): size,
    codec time, and the PSNR of the dumped pictures over the second after each."""
    recv = [list(map(int, r)) for r in read_lines(os.path.join(work, name + ".recv"))]
    trace = [list(map(int, r)) for r in read_lines(os.path.join(work, name + ".trace"))]
    per_frame = {int(r[1]): float(r[2]) for r in read_lines(os.path.join(work, name + ".psnr"))
                 if r[0] == "frame"}
    keys = [k for k, r in enumerate(recv) if len(r) > 2 and r[2] == 1]
    out = []
    for k in keys:
        row = trace[k] if k < len(trace) else None
        after = sorted((j - k, p) for j, p in per_frame.items() if k <= j <= k + 30)
        reach = next((d for d, p in after if p >= 45), None)
        out.append({
            "index": k,
            "bytes": recv[k][1],
            "encode_ms": (row[5] - row[3]) / 1e6 if row and row[5] and row[3] else float("nan"),
            "convert_ms": (row[4] - row[3]) / 1e6 if row and row[4] and row[3] else float("nan"),
            "second_bytes": sum(r[1] for r in recv[k:k + 31]),
            "curve": after,
            "reach45": reach,
        })
    return out


def single_events(work, name):
    """Single commands (send time, kind) against the raw X events of their kind that followed
    them: the first event of the kind after the send and before the next send."""
    sent = [(int(r[0]), r[1]) for r in read_lines(os.path.join(work, name + ".single"))]
    events = [(int(r[0]), r[3]) for r in read_lines(os.path.join(work, name + ".events"))
              if len(r) > 3]
    delays = {"k": [], "b": [], "K": [], "B": []}
    lost = {"k": 0, "b": 0, "K": 0, "B": 0}
    j = 0
    for i, (t, kind) in enumerate(sent):
        end = sent[i + 1][0] if i + 1 < len(sent) else float("inf")
        while j < len(events) and events[j][0] < t:
            j += 1
        hit = next((e for e in events[j:] if e[0] < end and e[1] == kind), None)
        if hit:
            delays[kind].append((hit[0] - t) / 1e6)
        else:
            lost[kind] += 1
    return delays, lost


def psnr(work, name):
    """Mean and minimum PSNR; with per-frame rows, over the frames from the second second on (the
    first key frame's refinement is in the key-frame table)."""
    rows = read_lines(os.path.join(work, name + ".psnr"))
    if not rows:
        return None
    fields = dict(kv.split("=") for kv in rows[0][1:])
    later = [float(r[2]) for r in rows if r[0] == "frame" and int(r[1]) >= 30]
    if later:
        fields = {"mean": "%.2f" % mean(later), "min": "%.2f" % min(later)}
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
    singles = read_lines(os.path.join(work, name + ".single"))
    end = int(singles[0][0]) if singles else float("inf")  # the single events come after
    events = [int(r[0]) for r in read_lines(os.path.join(work, name + ".events"))
              if (len(r) < 4 or r[3] == "m") and int(r[0]) < end]
    per = max(1, len(events) // (n + 1))
    groups = events[per::per]  # the parking move's group skipped
    lost = n - len(groups)
    delays = [(e - s) / 1e6 for s, e in zip(sent, groups)]
    return client, n, len(events), per, lost, delays


def main():
    work, results = sys.argv[1], sys.argv[2]
    rows = [line.split() for line in open(results) if line.strip()]
    ours_rows, ff_rows, psnr_rows, input_rows, key_rows = {}, {}, {}, [], {}
    for kind, size, scene, fps, name in rows:
        if kind == "ours":
            ours_rows[(size, scene, fps)] = ours(work, name)
        elif kind == "ffmpeg":
            ff_rows[(size, scene, fps)] = ffmpeg(work, name)
        elif kind == "psnr":
            psnr_rows[(size, scene)] = psnr(work, name)
        elif kind == "key":
            key_rows[(size, scene)] = key_pass(work, name)
        elif kind == "input":
            input_rows.append((size, input_burst(work, name), single_events(work, name)))

    print()
    print("| size | scene | asked fps | fps | CPU ms/frame | grab | cursor | conv | encode | "
          "hand-over | socket | delay med | delay p99 | bytes/frame | PSNR dB | ffmpeg fps | "
          "ffmpeg CPU ms/frame | ffmpeg bytes/frame | CPU ratio (ours/ffmpeg) | "
          "CPU ms/frame whole run | first frame ms |")
    print("|" + "---|" * 21)
    for (size, scene, fps), o in ours_rows.items():
        f = ff_rows.get((size, scene, fps))
        p = psnr_rows.get((size, scene))
        ptxt = "%s (min %s)" % (p["mean"], p["min"]) if p and fps == "30" else ""
        asked = "max (%s)" % fps if int(fps) > 60 else fps
        ftxt = ("%.1f | %.2f | %.0f | 1/%.1f" % (f["fps"], f["cpu_ms"], f["bytes"],
                                                   f["cpu_ms"] / o["cpu_ms"])
                if f and o["cpu_ms"] > 0 else " | | | ")
        print("| %s | %s | %s | %.1f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.1f | "
              "%.1f | %.0f | %s | %s | %.2f | %.0f |" % (
                  size, scene, asked, o["fps"], o["cpu_ms"], o["grab"], o["cursor"],
                  o["convert"], o["encode"], o["handover"], o["socket"], o["delay_med"],
                  o["delay_p99"], o["bytes"], ptxt, ftxt, o["cpu_whole_ms"], o["first_ms"]))
    print()
    print("Stage times and delays in ms (means over the frames of the run; delay = grab start to "
          "the end of the socket write). PSNR from a separate 30 fps pass (every 5th frame "
          "dumped). ffmpeg: x11grab → libvpx-vp9 4:2:0, speed 8, row-mt, 2 threads, CBR at the "
          "host's per-frame budget (3 Mbit/s at 30 fps). CPU ms/frame: steady state, from 1.5 s "
          "after startCapture to the end (ffmpeg's: its whole run); whole run and the time from "
          "startCapture to the first frame received beside it.")
    print()
    print("First frame (startCapture → received by rcclient; its stages from the host's trace, ms):")
    print()
    print("| size | scene | asked fps | first frame ms | grab | cursor | conv | encode | socket | "
          "bytes |")
    print("|" + "---|" * 10)
    for (size, scene, fps), o in ours_rows.items():
        f = o["first"]
        if not f:
            continue
        print("| %s | %s | %s | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %d |" % (
            size, scene, fps, o["first_ms"], f["grab"], f["cursor"], f["convert"], f["encode"],
            f["socket"], f["bytes"]))
    if key_rows:
        print()
        print("Key frames (30 fps; the first frame and a setIFrame 1.5 s in). encode = conversion "
              "+ codec (ms); PSNR of the decoded picture at frames after the key frame "
              "(every 3rd grabbed image); reach 45 = frames until ≥ 45 dB:")
        print()
        print("| size | scene | key | bytes | encode ms | conv ms | bytes in the second after | "
              "PSNR dB at +0, +3, +6, … +30 frames | reach 45 dB |")
        print("|" + "---|" * 9)
        for (size, scene), keys in key_rows.items():
            for n, k in enumerate(keys):
                curve = ", ".join("%.1f" % p for _, p in k["curve"])
                print("| %s | %s | %s | %d | %.1f | %.1f | %d | %s | %s |" % (
                    size, scene, "first frame" if k["index"] == 0 else "setIFrame (#%d)" % k["index"],
                    k["bytes"], k["encode_ms"], k["convert_ms"], k["second_bytes"], curve,
                    "%d frames" % k["reach45"] if k["reach45"] is not None else "not within 30"))
    for size, (client, n, events, per, lost, delays), (single, single_lost) in input_rows:
        print()
        print("input %s: %s" % (size, client))
        print("  X raw motion events: %d for %d commands + 1 parking move (%d per command); "
              "lost: %d; delay from send to the X event: median %.2f ms, p99 %.2f ms, "
              "max %.2f ms" % (events, n, per, max(lost, 0), pct(delays, 50), pct(delays, 99),
                              max(delays) if delays else float("nan")))
        names = {"k": "sendKey down", "K": "sendKey up", "b": "leftDown", "B": "leftUp"}
        for kind in "kKbB":
            d = single[kind]
            print("  single %s on an idle host: %d events, lost %d; delay to the raw X event: "
                  "median %.3f ms, p99 %.3f ms, max %.3f ms" % (
                      names[kind], len(d), single_lost[kind], pct(d, 50), pct(d, 99),
                      max(d) if d else float("nan")))


if __name__ == "__main__":
    main()
