#!/usr/bin/env python3
"""The viewer against x11vnc + noVNC, side by side on one Xvfb and one scene, both opened over
TLS in the same headless Chromium build and measured the same way. See bench/viewer/run.sh.

Per scene and system:
  join      ours only: WebSocket open → first picture painted, and page navigation → first picture
  cpu/bytes 10 s with nothing else running: CPU of the server side (TavrinDesk + rcweb, or
            x11vnc + websockify with its children) per second and per frame, and the bytes per
            second it writes (rcweb / websockify, i.e. what goes to the browser)
  g2g       glass to glass: a 48 px square drawn by an X client turns black/white every 317 ms; the
            time it reached the X server (its XSync) → the first time the page's canvas shows the
            new colour (the canvas read every 2 ms by the same injected script for both pages)
  input     40 key presses sent into the page (CDP, by code) → the KeyPress at an X client; the
            page side is stamped by a capturing keydown listener
"""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "browser"))
import browser_support as bs  # noqa: E402

MARKER = (1840, 40, 48)
MARKER_PERIOD_MS = 317
HZ = os.sysconf("SC_CLK_TCK")

PROBE_JS = """
const c = document.querySelector(arguments[0]);
const g = c.getContext('2d');
window.__g2g = [];
let last = -1;
window.__g2gTimer = setInterval(() => {
  const p = g.getImageData(arguments[1], arguments[2], 1, 1).data;
  const v = p[0] > 128 ? 1 : 0;
  if (v !== last) { window.__g2g.push([performance.timeOrigin + performance.now(), v]); last = v; }
}, 2);
"""
KEYS_JS = """
window.__keys = [];
window.addEventListener('keydown', (e) => {
  if (e.code === 'KeyA') window.__keys.push(performance.timeOrigin + performance.now());
}, true);
"""


def tree(pid):
    """pid and all its live descendants."""
    kids = {}
    for d in os.listdir("/proc"):
        if d.isdigit():
            try:
                with open(f"/proc/{d}/stat") as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                kids.setdefault(ppid, []).append(int(d))
            except (OSError, IndexError, ValueError):
                pass
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        out.append(p)
        todo.extend(kids.get(p, []))
    return out


def cpu_s(pids):
    total = 0
    for root in pids:
        for p in tree(root):
            try:
                with open(f"/proc/{p}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                total += int(fields[11]) + int(fields[12])
            except (OSError, IndexError):
                pass
    return total / HZ


def tcp_bytes(port):
    """Bytes the peers have acknowledged on the established TCP connections from PORT: what
    the server has put on the wire to the browser (TLS records included)."""
    out = subprocess.run(["ss", "-tinH", "state", "established", f"( sport = :{port} )"],
                         capture_output=True, text=True).stdout
    return sum(int(m) for m in re.findall(r"bytes_acked:(\d+)", out))


def pct(values, p):
    if not values:
        return float("nan")
    s = sorted(values)
    return s[min(len(s) - 1, int(p * len(s)))]


def g2g_latencies(marker_file, seen):
    marks = []
    with open(marker_file) as f:
        for line in f:
            t, v = line.split()
            marks.append((int(t) / 1e6, int(v)))
    out = []
    for t, v in marks:
        hit = next((ts for ts, sv in seen if ts >= t and sv == v), None)
        if hit is not None and hit - t < MARKER_PERIOD_MS * 3:
            out.append(hit - t)
    return out, len(marks)


class Bench:
    def __init__(self, args, run):
        self.args, self.run = args, run
        self.bin = args.bin

    def x_probe(self, *a):
        return [os.path.join(self.bin, "x_probe"), *a]

    def measure(self, name, driver, canvas_sel, server_pids, port, frames_js=None):
        run, res = self.run, {}
        time.sleep(2)
        # cpu and bytes, nothing else running
        f0 = driver.execute_script(frames_js) if frames_js else None
        c0, w0, t0 = cpu_s(server_pids), tcp_bytes(port), time.monotonic()
        time.sleep(self.args.seconds)
        c1, w1, t1 = cpu_s(server_pids), tcp_bytes(port), time.monotonic()
        f1 = driver.execute_script(frames_js) if frames_js else None
        secs = t1 - t0
        res["cpu_ms_per_s"] = (c1 - c0) * 1000 / secs
        res["cpu_ms_per_scene_frame"] = (c1 - c0) * 1000 / (secs * 30)
        if f0 is not None:
            res["frames_per_s"] = (f1 - f0) / secs
            res["cpu_ms_per_frame"] = (c1 - c0) * 1000 / max(1, f1 - f0)
        res["bytes_per_s"] = (w1 - w0) / secs

        # glass to glass
        mfile = run.path(f"{name}.marker")
        marker = run.start(f"{name}.marker", self.x_probe("marker", *map(str, MARKER),
                                                         str(MARKER_PERIOD_MS), mfile))
        time.sleep(1)
        mx, my = MARKER[0] + MARKER[2] // 2, MARKER[1] + MARKER[2] // 2
        driver.execute_script(PROBE_JS, canvas_sel, mx, my)
        time.sleep(self.args.g2g_seconds)
        run.stop(marker)
        seen = driver.execute_script("clearInterval(window.__g2gTimer); return window.__g2g")
        lat, n = g2g_latencies(mfile, seen)
        res["g2g_p50"], res["g2g_p95"] = pct(lat, 0.5), pct(lat, 0.95)
        res["g2g_samples"] = f"{len(lat)}/{n}"

        # input
        efile = run.path(f"{name}.events")
        listener = run.start(f"{name}.listen", self.x_probe("listen", efile))
        bs.wait_until(lambda: "ready" in run.log(f"{name}.listen.out"), 10, what="listener")
        driver.execute_script(KEYS_JS)
        driver.execute_script(f"document.querySelector('{canvas_sel}').focus()")
        for _ in range(self.args.keys):
            for kind in ("keyDown", "keyUp"):
                p = {"type": kind, "code": "KeyA", "key": "a", "windowsVirtualKeyCode": 65}
                if kind == "keyDown":
                    p["text"] = "a"
                driver.execute_cdp_cmd("Input.dispatchKeyEvent", p)
            time.sleep(0.15)
        time.sleep(1)
        run.stop(listener)
        sent = driver.execute_script("return window.__keys")
        got = []
        with open(efile) as f:
            for line in f:
                parts = line.split()
                if parts[1] == "key" and parts[2] == "a":
                    got.append(int(parts[0]) / 1e6)
        lat = [g - s for s, g in zip(sent, got)] if len(sent) == len(got) else []
        res["input_p50"], res["input_p95"] = pct(lat, 0.5), pct(lat, 0.95)
        res["input_samples"] = f"{len(got)}/{len(sent)}"
        return res

    def ours(self, scene):
        run = self.run
        sock = run.path(f"ours-{scene}.sock")
        host = run.host(self.bin, sock, name=f"host-{scene}")
        port = bs.free_port()
        rcweb, url = run.rcweb(self.bin, sock, port, name=f"rcweb-{scene}")
        d = run.chromium(f"ours-{scene}", 1920, 1200)
        d.get(url)
        bs.wait_until(lambda: d.execute_script("return window.rcViewer.stats.shown") > 0, 30,
                      what="video")
        join = d.execute_script(
            "const s = window.rcViewer.stats; const o = s.openedAt;"
            "return {join_ms: s.firstPaintAt - o, join_nav_ms: s.firstPaintAt,"
            "hello_ms: s.helloAt - o, first_video_ms: s.firstVideoAt - o,"
            "first_key_ms: s.firstKeyAt - o, first_output_ms: s.firstOutputAt - o}")
        res = self.measure(f"ours-{scene}", d, "#screen", [host.pid, rcweb.pid], port,
                           "return window.rcViewer.stats.received")
        res.update(join)
        # A second viewer joining the running stream (the view-only link rcweb printed).
        m = re.search(r"view: (https://\S+)", run.log(f"rcweb-{scene}.out"))
        if m:
            d2 = run.chromium(f"ours-{scene}-2", 1280, 800)
            d2.get(m.group(1))
            bs.wait_until(lambda: d2.execute_script("return window.rcViewer.stats.shown") > 0,
                          30, what="the second viewer's video")
            res["join2_ms"] = d2.execute_script(
                "const s = window.rcViewer.stats; return s.firstPaintAt - s.openedAt")
            d2.quit()
            run.drivers.remove(d2)
        d.quit()
        run.drivers.remove(d)
        run.stop(rcweb)
        run.stop(host)
        return res

    def novnc(self, scene):
        run = self.run
        vport, wport = bs.free_port(), bs.free_port()
        display = run.env["DISPLAY"]
        vnc = run.start(f"x11vnc-{scene}", ["x11vnc", "-display", display, "-rfbport", str(vport),
                                            "-localhost", "-nopw", "-forever", "-shared",
                                            "-noxrecord", "-quiet"])
        cert = run.path("ws.pem")
        if not os.path.exists(cert):
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                            "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                            "/CN=localhost", "-keyout", run.path("ws.key"), "-out", cert],
                           check=True, capture_output=True)
        bs.wait_until(lambda: f"PORT={vport}" in run.log(f"x11vnc-{scene}.out") or
                      self._port_open(vport), 20, what="x11vnc")
        ws = run.start(f"websockify-{scene}", ["websockify", "--web", "/usr/share/novnc",
                                               "--cert", cert, "--key", run.path("ws.key"),
                                               f"127.0.0.1:{wport}", f"127.0.0.1:{vport}"])
        bs.wait_until(lambda: self._port_open(wport), 20, what="websockify")
        d = run.chromium(f"novnc-{scene}", 1920, 1200)
        d.get(f"https://127.0.0.1:{wport}/vnc.html?autoconnect=true&resize=off")
        bs.wait_until(lambda: d.execute_script(
            "const c = document.querySelector('#noVNC_container canvas');"
            "return c && c.width === 1920"), 30, what="noVNC's picture")
        res = self.measure(f"novnc-{scene}", d, "#noVNC_container canvas", [vnc.pid, ws.pid],
                           wport)
        d.quit()
        run.drivers.remove(d)
        run.stop(ws)
        run.stop(vnc)
        return res

    @staticmethod
    def _port_open(port):
        import socket
        s = socket.socket()
        try:
            s.connect(("127.0.0.1", port))
            return True
        except OSError:
            return False
        finally:
            s.close()


def fmt(v, d=1):
    return "–" if v is None or v != v else f"{v:.{d}f}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--scenes", default="static small scroll")
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--g2g-seconds", type=float, default=15)
    ap.add_argument("--keys", type=int, default=40)
    ap.add_argument("--no-novnc", action="store_true")
    ap.add_argument("--no-ours", action="store_true")
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    args.bin = os.path.abspath(args.bin)
    missing = bs.missing_tools(args.bin, need_rcweb=not args.no_ours)
    if not args.no_novnc:
        missing += [t for t in ("x11vnc", "websockify") if not bs.shutil.which(t)]
        if not os.path.exists("/usr/share/novnc/vnc.html"):
            missing.append("novnc")
    if missing:
        print("missing: " + ", ".join(missing) + " (./scripts/install-deps.sh --browser)")
        return 2
    run = bs.Run("viewer-bench", keep=args.keep)
    results = []
    try:
        run.xvfb("1920x1080")
        b = Bench(args, run)
        for scene in args.scenes.split():
            sp = run.start(f"scene-{scene}", [os.path.join(args.bin, "scene"), "-s", scene,
                                              "-r", "30"])
            time.sleep(1)
            systems = ([] if args.no_ours else [("ours", b.ours)]) + \
                ([] if args.no_novnc else [("x11vnc+noVNC", b.novnc)])
            for name, fn in systems:
                print(f"  {scene}: {name}", flush=True)
                r = fn(scene)
                r.update(scene=scene, system=name)
                results.append(r)
            run.stop(sp, signal.SIGTERM)
    finally:
        with open(run.path("results.json"), "w") as f:
            json.dump(results, f, indent=1)
        run.close()

    print(f"\nmachine: {os.cpu_count()} cores; 1920x1080 Xvfb; scene at 30 fps; "
          f"{args.seconds:.0f} s CPU/bytes window, {args.g2g_seconds:.0f} s glass-to-glass, "
          f"{args.keys} keys\n")
    print("| scene | system | glass-to-glass p50 / p95 ms | input p50 / p95 ms | "
          "CPU ms/s | CPU ms/frame | frames/s | kB/s | join ms (first / second viewer) |")
    print("|---|---|---|---|---|---|---|---|---|")
    joins = [r for r in results if r.get("join_ms") is not None]
    for r in results:
        per_frame = r.get("cpu_ms_per_frame")
        print(f"| {r['scene']} | {r['system']} | {fmt(r['g2g_p50'])} / {fmt(r['g2g_p95'])} "
              f"({r['g2g_samples']}) | {fmt(r['input_p50'], 2)} / {fmt(r['input_p95'], 2)} "
              f"({r['input_samples']}) | {fmt(r['cpu_ms_per_s'])} | "
              f"{fmt(per_frame, 2) if per_frame is not None else '–'} | "
              f"{fmt(r.get('frames_per_s'))} | {fmt(r['bytes_per_s'] / 1000)} | "
              f"{fmt(r.get('join_ms'), 0)} / {fmt(r.get('join2_ms'), 0)} |")
    for r in joins:
        print(f"join ({r['scene']}): socket open → hello {fmt(r['hello_ms'], 0)} ms, first video "
              f"{fmt(r['first_video_ms'], 0)} ms (key {fmt(r['first_key_ms'], 0)}), first decoded "
              f"{fmt(r['first_output_ms'], 0)} ms, first painted {fmt(r['join_ms'], 0)} ms; "
              f"page load → painted {fmt(r['join_nav_ms'], 0)} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
