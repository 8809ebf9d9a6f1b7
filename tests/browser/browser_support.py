"""Shared by the browser test and the viewer benchmark: a private Xvfb, the host and rcweb on
it, headless Chromium driven by Selenium, and plain HTTPS requests to rcweb."""
import http.client
import os
import re
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import time

SKIP = 77
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

# Debian's Selenium lives in the system interpreter's packages.
if "/usr/lib/python3/dist-packages" not in sys.path:
    sys.path.append("/usr/lib/python3/dist-packages")


def missing_tools(bin_dir=None, extra=(), need_rcweb=True):
    """What is missing to run a browser session here; empty when everything is."""
    missing = []
    for path in (CHROMIUM, CHROMEDRIVER):
        if not os.access(path, os.X_OK):
            missing.append(path)
    if not shutil.which("Xvfb"):
        missing.append("Xvfb")
    try:
        import selenium  # noqa: F401
    except ImportError:
        missing.append("python3-selenium")
    if bin_dir:
        names = ("TavrinDesk", "scene", "x_probe") + (("rcweb",) if need_rcweb else ())
        for name in names + tuple(extra):
            if not os.access(os.path.join(bin_dir, name), os.X_OK):
                missing.append(os.path.join(bin_dir, name))
    return missing


def wait_until(pred, timeout, step=0.05, what="condition"):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = pred()
        if v:
            return v
        time.sleep(step)
    raise TimeoutError(f"timed out after {timeout} s waiting for {what}")


class Run:
    """A work directory and the processes started in it, stopped in reverse order at close."""

    def __init__(self, name, keep=False):
        self.work = tempfile.mkdtemp(prefix=f"tavrindesk-{name}-")
        self.keep = keep
        self.procs = []
        self.drivers = []
        self.env = dict(os.environ)
        self.env["XDG_CONFIG_HOME"] = os.path.join(self.work, "config")

    def path(self, name):
        return os.path.join(self.work, name)

    def start(self, name, argv, env=None, stdout=None):
        out = stdout if stdout is not None else open(self.path(name + ".out"), "wb")
        err = open(self.path(name + ".err"), "wb")
        p = subprocess.Popen(argv, stdout=out, stderr=err, env=env or self.env,
                             start_new_session=True)
        self.procs.append(p)
        return p

    def stop(self, p, sig=signal.SIGTERM, timeout=10):
        if p.poll() is None:
            p.send_signal(sig)
            try:
                p.wait(timeout)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()

    def log(self, name):
        try:
            with open(self.path(name), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def close(self):
        for d in self.drivers:
            try:
                d.quit()
            except Exception:
                pass
        for p in reversed(self.procs):
            self.stop(p, timeout=5)
        if self.keep:
            print(f"raw files: {self.work}")
        else:
            shutil.rmtree(self.work, ignore_errors=True)

    # ---- the programs ----

    def xvfb(self, size):
        r, w = os.pipe()
        p = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", f"{size}x24",
                              "-nolisten", "tcp", "-noreset"], pass_fds=(w,),
                             stdout=subprocess.DEVNULL, stderr=open(self.path("xvfb.err"), "wb"),
                             start_new_session=True)
        os.close(w)
        self.procs.append(p)
        num = b""
        end = time.monotonic() + 20
        while not num.endswith(b"\n") and time.monotonic() < end:
            chunk = os.read(r, 16)
            if not chunk:
                break
            num += chunk
        os.close(r)
        if not num.strip():
            raise RuntimeError("Xvfb did not start: " + self.log("xvfb.err"))
        self.env["DISPLAY"] = ":" + num.decode().strip()
        return p

    def host(self, bin_dir, sock, name="host", extra_env=None):
        env = dict(self.env)
        env.update(extra_env or {})
        p = self.start(name, [os.path.join(bin_dir, "TavrinDesk"), "--desktop", "x11",
                              "--messenger", sock], env=env)
        wait_until(lambda: os.path.exists(sock) or p.poll() is not None, 20, what="the host")
        if p.poll() is not None:
            raise RuntimeError("TavrinDesk ended: " + self.log(name + ".err"))
        return p

    def rcweb(self, bin_dir, sock, port, extra=(), name="rcweb"):
        # RCWEB_ARGS: more options, e.g. "--web-root viewer/web" to try page edits unbuilt.
        more = os.environ.get("RCWEB_ARGS", "").split()
        p = self.start(name, [os.path.join(bin_dir, "rcweb"), "--messenger", sock,
                              "--listen", f"127.0.0.1:{port}", *extra, *more])
        url = wait_until(lambda: self._printed_url(name) or (p.poll() is not None and "exit"), 30,
                         what="rcweb's URL")
        if url == "exit":
            raise RuntimeError("rcweb ended: " + self.log(name + ".err") + self.log(name + ".out"))
        return p, url

    def _printed_url(self, name):
        m = re.search(r"open: (https://\S+)", self.log(name + ".out") + self.log(name + ".err"))
        return m.group(1) if m else None

    def chromium(self, name, width=1200, height=800):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        opts = webdriver.ChromeOptions()
        opts.binary_location = CHROMIUM
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--ignore-certificate-errors", "--disable-renderer-backgrounding",
                     "--disable-background-timer-throttling",
                     f"--user-data-dir={self.path('chromium-' + name)}",
                     f"--window-size={width},{height}"):
            opts.add_argument(flag)
        service = Service(CHROMEDRIVER, log_path=self.path(f"chromedriver-{name}.log"))
        d = webdriver.Chrome(service=service, options=opts)
        self.drivers.append(d)
        return d

    def x_probe(self, bin_dir, *args):
        return subprocess.run([os.path.join(bin_dir, "x_probe"), *args], env=self.env,
                              capture_output=True, text=True, timeout=60)


def free_port():
    import socket
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def https(port, method, path, body=None, headers=None):
    """One request to rcweb on loopback, certificate not checked. Returns (status, headers)."""
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    c = http.client.HTTPSConnection("127.0.0.1", port, context=ctx, timeout=10)
    c.request(method, path, body=body, headers=headers or {})
    r = c.getresponse()
    r.read()
    c.close()
    return r.status, dict(r.getheaders())


def ws_upgrade(port, origin=None, cookie=None, host=None):
    """The status rcweb answers a WebSocket upgrade with (101 when it accepts)."""
    h = {"Host": host or f"127.0.0.1:{port}", "Upgrade": "websocket", "Connection": "Upgrade",
         "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ==", "Sec-WebSocket-Version": "13"}
    if origin:
        h["Origin"] = origin
    if cookie:
        h["Cookie"] = cookie
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    c = http.client.HTTPSConnection("127.0.0.1", port, context=ctx, timeout=10)
    c.request("GET", "/ws", headers=h)
    r = c.getresponse()
    status = r.status
    c.close()
    return status


def nginx_front(run, rcweb_port, conf_path):
    """nginx on a free loopback port in front of rcweb, configured by the sample site file
    (docs/nginx-rcweb.conf) with only its addresses and certificate paths changed. Returns the
    port, or None when nginx is not installed."""
    nginx = shutil.which("nginx") or ("/usr/sbin/nginx" if os.access("/usr/sbin/nginx", os.X_OK)
                                      else None)
    if not nginx:
        return None
    port = free_port()
    d = run.path("nginx")
    os.makedirs(os.path.join(d, "tmp"), exist_ok=True)
    cert, key = os.path.join(d, "cert.pem"), os.path.join(d, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                    "/CN=localhost", "-keyout", key, "-out", cert], check=True,
                   capture_output=True)
    with open(conf_path) as f:
        site = f.read()
    site = site.replace("listen 443 ssl;", f"listen 127.0.0.1:{port} ssl;")
    site = site.replace("listen [::]:443 ssl;", "")
    site = site.replace("/etc/ssl/certs/desk.example.org.pem", cert)
    site = site.replace("/etc/ssl/private/desk.example.org.key", key)
    site = site.replace("127.0.0.1:8443", f"127.0.0.1:{rcweb_port}")
    with open(os.path.join(d, "site.conf"), "w") as f:
        f.write(site)
    tmp = os.path.join(d, "tmp")
    with open(os.path.join(d, "nginx.conf"), "w") as f:
        f.write(("user root;\n" if os.geteuid() == 0 else "") +
                f"daemon off;\nworker_processes 1;\npid {d}/nginx.pid;\n"
                f"error_log {d}/error.log;\nevents {{}}\nhttp {{\n  access_log off;\n"
                f"  client_body_temp_path {tmp}/body;\n  proxy_temp_path {tmp}/proxy;\n"
                f"  fastcgi_temp_path {tmp}/fastcgi;\n  uwsgi_temp_path {tmp}/uwsgi;\n"
                f"  scgi_temp_path {tmp}/scgi;\n  include {d}/site.conf;\n}}\n")
    p = run.start("nginx", [nginx, "-e", f"{d}/error.log", "-p", d, "-c", f"{d}/nginx.conf"])

    def up():
        if p.poll() is not None:
            raise RuntimeError("nginx ended: " + run.log("nginx/error.log") + run.log("nginx.err"))
        try:
            return https(port, "GET", "/session")[0] in (200, 401)
        except OSError:
            return False
    wait_until(up, 20, what="nginx")
    return port
