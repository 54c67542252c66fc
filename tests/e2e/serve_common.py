"""What the end-to-end cases of `nimbus serve` share: the mock drive, the
fixture that starts the mock and gateways in front of it, and the helpers
that talk to a gateway (exact request lines, link extraction, streams that
stall on purpose, the re-run of a case inside a network namespace)."""

import base64
import hashlib
import hmac
import html.parser
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import mock_graph  # noqa: E402
from mock_graph import Node  # noqa: E402
from run_e2e import Skip, check  # noqa: E402

# The runner that in_namespace starts again inside the namespace.
RUNNER = os.path.join(HERE, "run_serve.py")

TOKEN = "e2e-gateway-secret-0123456789"
ESCAPED = "<b>&\"it's\".mp3"
# What the README's recipe gave in the past: base64 with "+" and "/".
PLUS_TOKEN = "a+b/c+d/e+f/g+h/0123456789+/"


def capability(secret, path, expiry):
    """The c parameter the gateway makes for PATH (decoded) and EXPIRY: the
    test makes its own to show expiry and forgery refused."""
    key = hmac.new(secret.encode(), b"nimbus serve: file capability key, version 1",
                   hashlib.sha256).digest()
    mac = hmac.new(key, b"%d\0%s" % (expiry, path.encode()), hashlib.sha256).digest()
    return "c=%d.%s" % (expiry, base64.urlsafe_b64encode(mac).rstrip(b"=").decode())


def drive():
    root = Node("root", folder=True)
    music = root.add(Node("Music", folder=True))
    album = music.add(Node("Album", folder=True, mtime="2024-01-02T03:04:05Z"))
    album.add(Node("01 Intro.flac", size=2 * 1024 * 1024))
    album.add(Node("02 Café & Co.MP3", size=4321))
    album.add(Node(ESCAPED, size=5))
    album.add(Node("cover.jpg", size=999))
    album.add(Node("Bonus", folder=True))
    album.add(Node("video.mkv", size=10 ** 9))
    music.add(Node("tone.flac", content=b""))
    root.add(Node("song.mp3", size=4242))
    return root


class Fixture:
    """A temporary folder, the mock with its CA, and a settings file."""

    def __init__(self, nimbus, out):
        self.nimbus, self.out = nimbus, out

    def __enter__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="nimbus-serve-")
        self.dir = self.tmp.name
        self.ca, cert, key = mock_graph.make_certificates(self.dir)
        self.mock = mock_graph.MockGraph(cert, key, drive())
        self.mock.serve_downloads = True
        self.mock.delta_page = 1000  # the gateway takes its first cursor at start
        self.mock.add_refresh_token("rt-0")
        self.mock.start()
        self.settings = os.path.join(self.dir, "settings.json")
        with open(self.settings, "w") as f:
            json.dump({"ClientId": mock_graph.CLIENT_ID, "ClientSecret": mock_graph.CLIENT_SECRET,
                       "refresh_token": "rt-0"}, f)
        os.chmod(self.settings, 0o600)
        self.gateways = []
        return self

    def __exit__(self, *exc):
        for g in self.gateways:
            g.kill()
        self.mock.stop()
        self.tmp.cleanup()
        return False

    def command(self, *args):
        cmd = [self.nimbus]
        for rule in self.mock.connect_to():
            cmd += ["--connect-to", rule]
        return cmd + ["--cacert", self.ca, "--settings", self.settings] + list(args)

    def serve(self, *args, listen="127.0.0.1:0"):
        deltas = lambda: [r for r in self.mock.requests if r["path"].endswith("/delta")]
        before = len(deltas())
        g = Gateway(self.command("serve", "--listen", listen, *args))
        self.gateways.append(g)
        # The gateway takes its first change-feed cursor at start: let it
        # finish, so that the cases count only the requests of their visits.
        end = time.monotonic() + 10
        while g.port and g.p.poll() is None and time.monotonic() < end:
            answered = [r for r in deltas()[before:] if r["status"] is not None]
            if answered or "change feed: " in g.log():
                time.sleep(0.2)
                break
            time.sleep(0.02)
        return g

    def graph_calls(self):
        return sum(1 for r in self.mock.requests if r["host"] == mock_graph.GRAPH_HOST)


class Gateway:
    """One `nimbus serve` process; its stderr is collected line by line."""

    def __init__(self, cmd):
        self.cmd = " ".join(cmd)
        self.p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE)
        first = self.p.stderr.readline().decode("utf-8", "replace")
        self.lines = [first]
        m = re.search(r"serving http://(\S+?):(\d+)/", first)
        self.port = int(m.group(2)) if m else None
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.p.stderr:
            self.lines.append(line.decode("utf-8", "replace"))

    def log(self):
        return "".join(self.lines)

    def get(self, path, method="GET", headers=None):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            c.request(method, path, headers=headers or {})
            r = c.getresponse()
            body = r.read()
            return r.status, {k.lower(): v for k, v in r.getheaders()}, body.decode("utf-8")
        finally:
            c.close()

    def url(self, path=""):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def stop(self, sig=signal.SIGTERM):
        self.p.send_signal(sig)
        code = self.p.wait(timeout=60)
        self.reader.join(timeout=10)
        return code

    def kill(self):
        if self.p.poll() is None:
            self.p.kill()
            self.p.wait()


def expect(got, status, what):
    check(got[0] == status, "%s: status %d, expected %d" % (what, got[0], status), got[2][:400])


class Links(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.links, self._href, self._text = [], None, ""

    def handle_starttag(self, tag, attrs):
        if tag == "a":
            self._href, self._text = dict(attrs).get("href"), ""

    def handle_data(self, data):
        if self._href is not None:
            self._text += data

    def handle_endtag(self, tag):
        if tag == "a" and self._href is not None:
            self.links.append((self._text, self._href))
            self._href = None


def links_of(page):
    p = Links()
    p.feed(page)
    return p.links


ALBUM_LINKS = [("Drive", "/"), ("Music", "/Music/"), ("Playlist (M3U)", "/Music/Album/?format=m3u"),
               ("With subfolders (M3U)", "/Music/Album/?format=m3u&recursive=1"),
               ("Bonus/", "/Music/Album/Bonus/"),
               ("01 Intro.flac", "/Music/Album/01%20Intro.flac?view=1"),
               ("02 Café & Co.MP3", "/Music/Album/02%20Caf%C3%A9%20%26%20Co.MP3?view=1"),
               (ESCAPED, "/Music/Album/%3Cb%3E%26%22it%27s%22.mp3?view=1"),
               ("cover.jpg", "/Music/Album/cover.jpg?view=1"),
               ("video.mkv", "/Music/Album/video.mkv?view=1")]


def token_file(f, secret, name="token"):
    path = os.path.join(f.dir, name)
    with open(path, "w") as t:
        t.write(secret + "\n")
    os.chmod(path, 0o600)
    return path


def raw_get(port, path, headers=None, method="GET", source="127.0.0.1"):
    # All of 127.0.0.0/8 is this host: SOURCE is the client's address.
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=60, source_address=(source, 0))
    try:
        c.request(method, path, headers=headers or {})
        r = c.getresponse()
        return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read()
    finally:
        c.close()


def stalled_stream(port, path, source, want=16384):
    """A stream from SOURCE that reads WANT bytes and then nothing; None
    when the gateway answers anything but 200."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    s.sendall(b"GET %s?stream=1 HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (path.encode(), port))
    s.settimeout(30)
    got = b""
    # A refusal keeps the connection open: its head is enough.
    while len(got) < want and (b"\r\n\r\n" not in got or got.startswith(b"HTTP/1.1 200")):
        chunk = s.recv(65536)
        if not chunk:
            break
        got += chunk
    if not got.startswith(b"HTTP/1.1 200"):
        s.close()
        return None
    return s


def threads_of(pid):
    return len(os.listdir("/proc/%d/task" % pid))


def in_namespace(f, case, tools, python=sys.executable):
    """Runs CASE again in a network namespace of its own: lo alone, with the
    multicast route, so that no SSDP datagram reaches a real interface."""
    if os.geteuid() != 0:
        raise Skip("a private network namespace needs root")
    for tool in ("unshare", "ip") + tuple(tools):
        if not shutil.which(tool):
            raise Skip("%s is missing (scripts/install-deps)" % tool)
    setup = ("ip link set lo up && ip link set lo multicast on && "
             "ip route add 239.255.255.250/32 dev lo && exec \"$@\"")
    p = subprocess.run(["unshare", "-n", "sh", "-c", setup, "sh", python, "-B",
                        RUNNER, "--nimbus", f.nimbus, "--out", f.out, case],
                       env=dict(os.environ, NIMBUS_E2E_NETNS="1"), capture_output=True,
                       timeout=300)
    sys.stdout.write(p.stdout.decode())
    if p.returncode == 77:
        raise Skip(p.stdout.decode().strip().splitlines()[-1:] or "skipped inside")
    check(p.returncode == 0, "the case inside its namespace", p.stdout.decode()[-3000:],
          p.stderr.decode()[-3000:])


def print_gateway_logs(f):
    for gw in f.gateways:
        print("--- gateway stderr:\n" + gw.log())
