#!/usr/bin/env python3
"""End-to-end cases for `nimbus serve`, the HTTP gateway.

Each case starts the mock Graph server (mock_graph.py) and the gateway in
front of it, then talks to the gateway over plain HTTP with exact request
lines (http.client), a real player (ffprobe) or a real browser (headless
Chromium). Usage: run_serve.py --nimbus PATH [--out FOLDER] CASE...
Exit status 77 means every case asked for was skipped (a missing program).
"""

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
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mock_graph  # noqa: E402
from mock_graph import Node  # noqa: E402
from run_e2e import MEMORY_MEASURED, Skip, cases_in, check, main_of, shared_drive  # noqa: E402

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
               ("01 Intro.flac", "/Music/Album/01%20Intro.flac"),
               ("02 Café & Co.MP3", "/Music/Album/02%20Caf%C3%A9%20%26%20Co.MP3"),
               (ESCAPED, "/Music/Album/%3Cb%3E%26%22it%27s%22.mp3"),
               ("cover.jpg", "/Music/Album/cover.jpg"),
               ("video.mkv", "/Music/Album/video.mkv")]


# -- cases -------------------------------------------------------------------

def case_pages(f):
    """Folder page, JSON, playlist, redirects and the request checks."""
    f.mock.find_path("/Music/Album/01 Intro.flac").audio = {
        "artist": "Ada\nL", "title": "Intro", "duration": 61500}
    f.mock.find_path("/Music/Album/02 Café & Co.MP3").audio = {"title": "Café", "duration": 1499}
    f.mock.find_path("/Music/Album/video.mkv").video = {"duration": 3000000}
    g = f.serve()
    status, headers, page = got = g.get("/Music/Album/")
    expect(got, 200, "folder page")
    check(headers["content-type"] == "text/html; charset=utf-8", "HTML", headers)
    check("&lt;b&gt;&amp;&quot;it&#39;s&quot;.mp3" in page and "<b>" not in page, "escaped", page)
    check('name="viewport"' in page and "<script" not in page, "phone-ready, no scripts")
    check(links_of(page) == ALBUM_LINKS, "links: breadcrumb, playlist, folders, files by name",
          links_of(page))
    check("2.0 MiB" in page and "2024-03-05 07:08" in page, "size and date", page)
    # JSON: the library's answer, byte for byte as `nimbus --json list`.
    status, headers, body = got = g.get("/Music/Album/?format=json")
    expect(got, 200, "json")
    listed = subprocess.run(f.command("--json", "list", "/Music/Album"), capture_output=True)
    check(headers["content-type"] == "application/json", "JSON type", headers)
    check(body + "\n" == listed.stdout.decode(), "same as nimbus --json list", body)

    # Playlist: media files only, by name, absolute URLs on the gateway.
    status, headers, body = got = g.get("/Music/Album/?format=m3u")
    expect(got, 200, "m3u")
    check(headers["content-type"] == "audio/x-mpegurl", "M3U type", headers)
    base = g.url("/Music/Album/")
    tracks = ("#EXTINF:62,Ada\\x0aL - Intro\n%s01%%20Intro.flac\n"
              "#EXTINF:1,02 Café & Co.MP3\n%s02%%20Caf%%C3%%A9%%20%%26%%20Co.MP3\n"
              "#EXTINF:-1,%s\n%s%%3Cb%%3E%%26%%22it%%27s%%22.mp3\n"
              "#EXTINF:3000,video.mkv\n%svideo.mkv\n" % (base, base, ESCAPED, base, base))
    check(body == "#EXTM3U\n" + tracks, "playlist: durations, Artist - Title", body)
    # With subfolders: the walk, media files by path.
    status, _, body = got = g.get("/Music/?format=m3u&recursive=1")
    expect(got, 200, "recursive m3u")
    check(body == "#EXTM3U\n" + tracks + "#EXTINF:-1,tone.flac\n%s\n" % g.url("/Music/tone.flac"),
          "recursive playlist", body)
    expect(g.get("/Music/?format=m3u&recursive=2"), 400, "recursive 2")

    # Files: 302 to the download URL; the next open within 10 minutes is free.
    node = f.mock.find_path("/Music/Album/01 Intro.flac")
    before = f.graph_calls()
    status, headers, _ = got = g.get("/Music/Album/01%20Intro.flac")
    expect(got, 302, "file")
    check(headers["location"] == "https://127.0.0.1:%d/download/%s?tempauth=e2e-%s"
          % (f.mock.port, node.id.replace("!", "%21"), node.id.split("!")[1]), "download URL",
          headers)
    check(headers["cache-control"] == "no-store", "not cached by clients", headers)
    check(f.graph_calls() == before + 1, "one item request")
    status, again, _ = got = g.get("/Music/Album/01%20Intro.flac", method="HEAD")
    expect(got, 302, "HEAD")
    check(again["location"] == headers["location"], "same URL")
    expect(g.get("/Music/Album/01%20Intro.flac"), 302, "again")
    check(f.graph_calls() == before + 1, "no Graph request for the second and third open")
    status, headers, _ = got = g.get("/Music/Album")
    expect(got, 302, "folder without its slash")
    check(headers["location"] == "/Music/Album/", "to the folder page", headers)

    for _, href in ALBUM_LINKS:
        code = g.get(href)[0]
        check(code in (200, 302), "link %s answers %d" % (href, code))

    # Several clients at once share the pool, the library and the locator cache.
    answers, urls = [], [href for _, href in ALBUM_LINKS] * 3
    workers = [threading.Thread(target=lambda u=u: answers.append((u, g.get(u)[0])))
               for u in urls]
    for w in workers:
        w.start()
    for w in workers:
        w.join(timeout=60)
    check(sorted(answers) == sorted((u, 200 if u.endswith("/") or "format=" in u else 302)
                                    for u in urls), "concurrent answers", answers)

    # What the gateway refuses.
    status, headers, body = got = g.get("/Music/nope.mp3?format=json")
    expect(got, 404, "missing file")
    check(json.loads(body)["error"].startswith("item: /Music/nope.mp3 answered HTTP 404"),
          "library message as JSON", body)
    expect(g.get("/Music/nope/"), 404, "missing folder")
    for bad in ("/Music/../Music/", "/Music/./", "/a%00b", "/a%ffb", "/a%2", "/a//b",
                "/" + "x" * 2048, "/Music/Album/?format=xml"):
        expect(g.get(bad), 400, "malformed " + bad[:40])
    expect(g.get("/" + "x" * 2047), 404, "a path of 2048 bytes is looked up")
    status, headers, _ = got = g.get("/Music/", method="POST", headers={"Content-Length": "0"})
    expect(got, 405, "POST")
    check(headers["allow"] == "GET, HEAD", "Allow", headers)
    expect(g.get("/Music/", headers={"Host": "evil.example"}), 421, "rebound Host")
    expect(g.get("/Music/", headers={"Host": "127.0.0.1:1"}), 421, "other port")
    expect(g.get("/Music/", headers={"Host": "localhost:%d" % g.port}), 200, "localhost")
    check(g.stop() == 0, "exit 0 on SIGTERM", g.log())
    log = g.log()
    check(re.search(r"^GET /Music/Album/01%20Intro\.flac 302 \d+ ms$", log, re.M), "access log",
          log)
    check("format" not in log, "no query in the log", log)


def case_security(f):
    """Listen addresses, the token file and the two ways to present it."""
    token_file = os.path.join(f.dir, "token")
    with open(token_file, "w") as t:
        t.write(TOKEN + "\n")
    os.chmod(token_file, 0o644)
    for args, listen, status, words in (
            ((), "0.0.0.0:0", 2, "--auth-token-file"),
            (("--auth-token-file", token_file), "0.0.0.0:0", 3, "chmod 600")):
        p = subprocess.run(f.command("serve", "--listen", listen, *args), capture_output=True,
                           timeout=60)
        check(p.returncode == status and words in p.stderr.decode(), "refused at start",
              p.returncode, p.stderr)
    check(not f.mock.requests, "nothing sent")
    os.chmod(token_file, 0o600)
    g = f.serve("--auth-token-file", token_file, listen="0.0.0.0:0")
    status, headers, _ = got = g.get("/Music/")
    expect(got, 401, "no credential")
    check(headers["www-authenticate"].startswith("Basic "), "asks for Basic", headers)
    basic = lambda pw: {"Authorization": "Basic " + base64.b64encode(b"any:" + pw).decode()}
    expect(g.get("/Music/", headers=basic(b"wrong")), 401, "wrong password")
    expect(g.get("/Music/?t=" + TOKEN[:-1]), 401, "wrong t")
    expect(g.get("/Music/", headers=basic(TOKEN.encode())), 200, "Basic")
    expect(g.get("/Music/?t=" + TOKEN), 200, "t")
    # A playlist goes to players: its entries carry a capability each, never
    # the secret, however the playlist was asked for.
    for query, headers in (("?format=m3u&t=" + TOKEN, None),
                           ("?format=m3u", basic(TOKEN.encode())),
                           ("?format=m3u&recursive=1", basic(TOKEN.encode()))):
        status, _, body = got = g.get("/Music/Album/" + query, headers=headers)
        expect(got, 200, "playlist " + query)
        urls = [l for l in body.splitlines() if not l.startswith("#")]
        check(len(urls) == 4 and TOKEN not in body and all(
            re.fullmatch(r"http://127\.0\.0\.1:%d/Music/Album/[^?]+\?c=\d+\.[\w-]{43}" % g.port, u)
            for u in urls), "entries with a capability, no secret", query, body)
        for u in urls:
            expect(g.get(u[len("http://127.0.0.1:%d" % g.port):]), 302, "entry followed")
    check(TOKEN not in g.log(), "token never logged", g.log())
    check(g.stop(signal.SIGINT) == 0, "exit 0 on SIGINT")


def token_file(f, secret, name="token"):
    path = os.path.join(f.dir, name)
    with open(path, "w") as t:
        t.write(secret + "\n")
    os.chmod(path, 0o600)
    return path


def case_capabilities(f):
    """A capability opens one file's bytes until it expires, nothing else;
    it outlives a restart, not a new secret. A secret with "+" and "/" works
    in ?t= however it is encoded, and the printed recipe makes neither."""
    p = subprocess.run(f.command("serve", "--listen", "0.0.0.0:0"), capture_output=True,
                       timeout=60)
    recipe = re.search(r"make one with: (.*) > FILE\)", p.stderr.decode())
    check(recipe, "a recipe", p.stderr)
    for _ in range(20):
        made = subprocess.run(["sh", "-c", recipe.group(1)], capture_output=True,
                              timeout=60).stdout.decode().strip()
        check(re.fullmatch(r"[\w-]{16,}", made), "the recipe's secret needs no escaping", made)

    content = bytes(range(256)) * 40
    song = f.mock.find_path("/song.mp3")
    song.content, song.size = content, len(content)
    secret = token_file(f, PLUS_TOKEN)
    g = f.serve("--auth-token-file", secret)
    for t in (PLUS_TOKEN, urllib.parse.quote(PLUS_TOKEN, safe=""),
              urllib.parse.quote(PLUS_TOKEN, safe="+")):
        expect(g.get("/Music/?t=" + t), 200, "t=" + t)
    expect(g.get("/Music/?t=" + PLUS_TOKEN.replace("+", "%20")), 401, "spaces are not pluses")
    _, _, body = g.get("/?format=m3u&t=" + PLUS_TOKEN)
    c = re.search(r"/song\.mp3\?(c=\S+)", body).group(1)
    check(PLUS_TOKEN not in body and "t=" not in body, "no secret in the playlist", body)

    got = raw_get(g.port, "/song.mp3?stream=1&" + c, {"Range": "bytes=100-199"})
    check(got[0] == 206 and got[2] == content[100:200], "the capability plays, with Range", got[:2])
    check(raw_get(g.port, "/song.mp3?" + c, method="HEAD")[0] == 302, "and redirects (HEAD)")
    now = int(time.time())
    for path, what in (("/Music/tone.flac?stream=1&" + c, "another file"),
                       ("/song.mp3/?" + c, "the path as a folder"),
                       ("/?" + c, "the folder"), ("/?format=json&" + c, "the folder's JSON"),
                       ("/?format=m3u&" + c, "a playlist"), ("/?search=song&" + c, "a search"),
                       ("/song.mp3?format=json&" + c, "the file with another parameter"),
                       ("/song.mp3?stream=1&%s&%s" % (c, c), "two capabilities"),
                       ("/song.mp3?stream=1&" + c[:-1] + ("A" if c[-1] != "A" else "B"),
                        "a tampered MAC"),
                       ("/song.mp3?stream=1&" + capability(PLUS_TOKEN, "/song.mp3", now - 1),
                        "expired a second ago"),
                       ("/song.mp3?stream=1&" + capability(TOKEN, "/song.mp3", now + 3600),
                        "made with another secret"),
                       ("/song.mp3?stream=1&c=", "an empty c"),
                       ("/song.mp3?stream=1&c=" + "9" * 60, "a malformed c")):
        expect(g.get(path), 401, what)
    expect(g.get("/song.mp3?" + c, method="POST"), 401, "POST with a capability")
    got = raw_get(g.port, "/song.mp3?stream=1&" + capability(PLUS_TOKEN, "/song.mp3", now + 2))
    check(got[0] == 200 and got[2] == content, "one made by the test plays until it expires",
          got[:2])
    check(g.stop() == 0, "stopped")

    # Nothing kept: the same secret takes it after a restart, a new one does not.
    g = f.serve("--auth-token-file", secret)
    check(raw_get(g.port, "/song.mp3?stream=1&" + c)[0] == 200, "the same after a restart")
    check(g.stop() == 0, "stopped")
    g = f.serve("--auth-token-file", token_file(f, TOKEN, "other"))
    expect(g.get("/song.mp3?stream=1&" + c), 401, "refused under a new secret")
    check(PLUS_TOKEN not in g.log() and TOKEN not in g.log(), "no secret logged", g.log())


def case_errors(f):
    """Service failures as HTTP statuses; SIGTERM lets a running request end."""
    f.mock.revoke("rt-0")
    g = f.serve()
    status, _, body = got = g.get("/Music/")
    expect(got, 502, "refused authorisation")
    check("nimbus login" in body and "rt-0" not in body, "says what to do", body)
    check(g.stop() == 0, "stopped")
    f.mock.add_refresh_token("rt-0")
    g = f.serve()
    f.mock.fail["/v1.0/me/drive/root:/Music:/children"] = 429
    status, headers, _ = got = g.get("/Music/")
    expect(got, 503, "throttled")
    check(headers.get("retry-after", "").isdigit(), "Retry-After", headers)
    f.mock.fail["/v1.0/me/drive/root:/Music:/children"] = 503
    status, headers, body = got = g.get("/Music/?format=json")
    expect(got, 503, "unavailable")
    check(json.loads(body)["error"].startswith("The service is unavailable"), "JSON error", body)

    f.mock.delay["/v1.0/me/drive/root:/song.mp3"] = 1.5
    answer = []
    t = threading.Thread(target=lambda: answer.append(g.get("/song.mp3")))
    t.start()
    deadline = time.time() + 20
    while not any(r["path"].endswith("/song.mp3") for r in f.mock.requests):
        check(time.time() < deadline, "request reached the mock")
        time.sleep(0.02)
    check(g.stop() == 0, "exit 0", g.log())
    t.join(timeout=30)
    check(answer and answer[0][0] == 302, "the running request finished", answer)
    try:
        g.get("/Music/")
        check(False, "stopped gateway still answers")
    except OSError:
        pass


def case_cache(f):
    """A folder seen a moment ago is served without asking the service again."""
    g = f.serve()
    children = lambda: sum(1 for r in f.mock.requests if r["path"].endswith(":/children"))
    expect(g.get("/Music/Album/"), 200, "first visit")
    check(children() == 1, "one listing", children())
    before = len(f.mock.requests)
    for path in ("/Music/Album/", "/Music/Album/?format=json", "/Music/Album/?format=m3u",
                 "/Music/Album/?page=1&q=intro"):
        expect(g.get(path), 200, "again: " + path)
    check(len(f.mock.requests) == before, "no request at all for four more views",
          f.mock.requests[before:])
    # The cached listing answers JSON byte for byte as the library does.
    status, _, body = g.get("/Music/Album/?format=json")
    listed = subprocess.run(f.command("--json", "list", "/Music/Album"), capture_output=True)
    check(body + "\n" == listed.stdout.decode(), "cached JSON as nimbus --json list", body)
    # Eight clients at once on a folder not listed yet: one listing for all.
    f.mock.delay["/v1.0/me/drive/root:/Music:/children"] = 0.5
    answers = []
    workers = [threading.Thread(target=lambda: answers.append(g.get("/Music/")[0]))
               for _ in range(8)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(timeout=60)
    music = [r for r in f.mock.requests if r["path"].endswith("/Music:/children")]
    check(answers == [200] * 8 and len(music) == 1, "one listing for eight clients",
          answers, len(music))
    # The root is a folder like any other.
    expect(g.get("/"), 200, "root")
    expect(g.get("/?format=json"), 200, "root again")
    check(children() == 3, "the root listed once", children())
    check(g.stop() == 0, "stopped", g.log())


def case_feed(f):
    """The change feed keeps kept folders current: one delta request per interval."""
    os.environ["NIMBUS_SERVE_DELTA_SECONDS"] = "2"
    g = f.serve()
    del os.environ["NIMBUS_SERVE_DELTA_SECONDS"]
    deltas = lambda: sum(1 for r in f.mock.requests if r["path"].endswith("/delta"))
    check(any(r["path"].endswith("/delta") and r["status"] == 200 for r in f.mock.requests),
          "the first cursor is taken at start", g.log())
    listed = lambda name: sum(1 for r in f.mock.requests if r["path"].endswith(name + ":/children"))
    expect(g.get("/Music/Album/"), 200, "first visit")
    expect(g.get("/Music/"), 200, "parent")
    first = deltas()
    check(first == 1 and listed("/Album") == 1 and listed("/Music") == 1, "cursor taken, listed",
          first)
    f.mock.find_path("/Music/Album/cover.jpg").name = "front.jpg"
    page = g.get("/Music/Album/")[2]
    check("cover.jpg" in page and deltas() == first and listed("/Album") == 1,
          "within the interval: the kept listing, no request", deltas())
    time.sleep(2.2)
    page = g.get("/Music/Album/")[2]
    check("front.jpg" in page and "cover.jpg" not in page, "the rename shows", page)
    check(deltas() == first + 1 and listed("/Album") == 2, "one delta request, one listing",
          deltas(), listed("/Album"))
    before = len(f.mock.requests)
    expect(g.get("/Music/Album/"), 200, "again")
    check(len(f.mock.requests) == before, "a visit within the lifetime asks nothing",
          f.mock.requests[before:])
    # A deletion (the feed gives no path for it) forgets only the folder listing it.
    album = f.mock.find_path("/Music/Album")
    album.children.remove(f.mock.find_path("/Music/Album/Bonus"))
    time.sleep(2.2)
    page = g.get("/Music/Album/")[2]
    check("Bonus" not in page and deltas() == first + 2 and listed("/Album") == 3,
          "the deletion shows", page)
    expect(g.get("/Music/"), 200, "parent again")
    check(listed("/Music") == 1 and deltas() == first + 2, "the parent stays kept")
    check(g.stop() == 0, "stopped", g.log())


def case_search(f):
    """The search box: a plain form, a page of the drive search's answer, 500 rows at most."""
    g = f.serve()
    page = g.get("/Music/")[2]
    check('<form method="get" action="/"><input type="search" name="search"' in page,
          "search box on folder pages", page)
    status, _, page = got = g.get("/Music/?search=%2Emp3")
    expect(got, 200, "search")
    found = [(t, h) for t, h in links_of(page) if "?" not in h and h not in ("/", "/Music/")]
    check(found == [("/Music/Album/02 Café & Co.MP3", "/Music/Album/02%20Caf%C3%A9%20%26%20Co.MP3"),
                    ("/Music/Album/" + ESCAPED, "/Music/Album/%3Cb%3E%26%22it%27s%22.mp3"),
                    ("/song.mp3", "/song.mp3")], "results linked to their paths", found)
    check("<p>3 results</p>" in page and "<b>&" not in page, "count, escaped", page)
    check(any("search(q='.mp3')" in urllib.parse.unquote(r["path"]) for r in f.mock.requests),
          "the drive search asked")
    for bad in ("", "%01", "x" * 1025, "mp3&format=json"):
        expect(g.get("/?search=" + bad), 400, "search %r" % bad[:20])
    many = f.mock.root.add(Node("Many", folder=True))
    for i in range(501):
        many.add(Node("zz%03d.mp3" % i, size=1))
    f.mock._number(many)
    page = g.get("/?search=zz")[2]
    check("Only the first 500 results are shown" in page and page.count("<tr><td>") == 500,
          "501 found: 500 shown, and said", page[-400:])
    many.children.pop()
    page = g.get("/?search=zz")[2]
    check("<p>500 results</p>" in page and page.count("<tr><td>") == 500, "500 found: all shown")
    check(g.stop() == 0, "stopped", g.log())


def case_error_pages(f):
    """Error pages say what happened, where, and how to go on."""
    vault = f.mock.root.add(Node("Coffre-fort", folder=True))
    vault.locked = True
    vault.add(Node("passeport.jpg", size=3))
    f.mock._number(f.mock.root)
    g = f.serve()
    # A locked Personal Vault: refused, not a sign-in to repeat.
    status, _, page = got = g.get("/Coffre-fort/")
    expect(got, 403, "locked vault")
    check("<h1>This folder is locked" in page and "Signed out" not in page and
          "ObjectHandle" not in page, "says the folder is locked", page)
    status, _, body = got = g.get("/Coffre-fort/?format=json")
    expect(got, 403, "locked vault, JSON")
    check("is locked" in json.loads(body)["error"], "the library's message", body)
    status, _, page = got = g.get("/Music/Nope/Deeper/")
    expect(got, 404, "missing folder")
    check("<h1>This folder does not exist</h1>" in page and "<code>/Music/Nope/Deeper/</code>"
          in page, "sentence and path", page)
    check(links_of(page) == [("Drive", "/"), ("Back to /Music/", "/Music/"),
                             ("Drive root", "/")], "links to the nearest parent and the root",
          links_of(page))
    check('<p class="x">404 Not Found &middot; HTTP 404, code itemNotFound, request id '
          '00000000-0000-0000-0000-000000000000</p>' in page and "{" not in page.split("<body>")[1],
          "the service's code and request id, no JSON", page)
    check("<style>" in page and 'name="viewport"' in page, "styled like the folder pages")
    status, _, page = got = g.get("/Music/Album/nope.mp3")
    expect(got, 404, "missing file")
    check("<h1>This file does not exist</h1>" in page and
          ("Back to /Music/Album/", "/Music/Album/") in links_of(page), "file sentence", page)
    status, _, page = got = g.get("/a%00b")
    expect(got, 400, "malformed")
    check("<h1>This is not a valid drive path</h1>" in page, "malformed sentence", page)
    status, headers, _ = got = g.get("/song.mp3/")
    expect(got, 302, "a file with a final slash")
    check(headers["location"] == "/song.mp3", "to the file", headers)
    f.mock.script["/v1.0/me/drive/root:/Music:/children"] = [(429, "7")] * 3
    status, headers, page = got = g.get("/Music/")
    expect(got, 503, "throttled")
    check("<h1>The service is busy; try again in 7 seconds</h1>" in page
          and headers.get("retry-after") == "7", "busy sentence", page)
    check(g.stop() == 0, "stopped")
    f.mock.revoke(json.loads(open(f.settings).read())["refresh_token"])
    g = f.serve()
    status, _, page = got = g.get("/Music/Album/")
    expect(got, 502, "signed out")
    check("<h1>Signed out: run `nimbus login`</h1>" in page, "signed-out sentence", page)
    check(g.stop() == 0, "stopped")

    # A port in use, and a wildcard listener without a secret, say what to do.
    busy = f.serve()
    p = subprocess.run(f.command("serve", "--listen", "127.0.0.1:%d" % busy.port),
                       capture_output=True, timeout=60)
    check(p.returncode != 0 and "port %d is already in use (another nimbus serve?): choose one "
          "with --listen" % busy.port in p.stderr.decode(), "port in use", p.stderr)
    p = subprocess.run(f.command("serve", "--listen", "0.0.0.0:0"), capture_output=True,
                       timeout=60)
    check(p.returncode == 2 and "umask 077; head -c 24 /dev/urandom | base64 | tr '+/' '-_' > FILE"
          in p.stderr.decode(), "how to make a token file", p.stderr)
    check(busy.stop() == 0, "stopped")


def case_hostile(f):
    """A drive built to exhaust the gateway: huge pages, huge URLs, odd names."""
    root = f.mock.root
    huge = root.add(Node("Huge", folder=True))
    for i in range(5001):
        huge.add(Node("f%05d %s.mp3" % (i, "x" * 200), size=1))
    odd = root.add(Node("Odd", folder=True))
    odd.add(Node("a\u2028b\u2029c.mp3", size=1))
    long_url = root.add(Node("long.mp3", size=1))
    f.mock._number(root)
    long_url.download_url = "https://127.0.0.1:%d/download/x?tempauth=%s" % (
        f.mock.port, "A" * (2 << 20))
    g = f.serve()

    # A 2 MiB download URL is refused, and refused again (nothing cached).
    for _ in range(2):
        status, headers, body = got = g.get("/long.mp3?format=json")
        expect(got, 502, "huge download URL")
        check(body == '{"error":"the service gave a download URL longer than 8192 bytes"}',
              "says why", body)
        check("location" not in headers, "no redirect", headers)
    check(sum(1 for r in f.mock.requests if r["path"].endswith("/long.mp3")) == 2,
          "asked the service each time")
    # One of 8192 bytes is the longest served.
    long_url.download_url = "https://h/" + "a" * (8192 - len("https://h/"))
    status, headers, _ = got = g.get("/long.mp3")
    expect(got, 302, "download URL of 8192 bytes")
    check(headers["location"] == long_url.download_url, "served whole")

    # 5001 entries: pages of 500 rows with paging links and a filter; the
    # playlist lists the first 5000 and says so.
    status, _, page = got = g.get("/Huge/")
    expect(got, 200, "huge folder")
    check("<span>1&ndash;500 of 5001</span>" in page, "the page says which rows", page[:2000])
    check(page.count("<tr><td>") == 500 and "f00499 " in page and "f00500 " not in page,
          "first 500 rows by name")
    nav = dict((text, href) for text, href in links_of(page) if text in ("Next", "Last"))
    check(nav == {"Next": "/Huge/?page=2", "Last": "/Huge/?page=11"}, "paging links", nav)
    check(len(page) < 512 * 1024, "page size bounded", len(page))
    status, _, page = got = g.get(nav["Last"])
    expect(got, 200, "last page")
    check(page.count("<tr><td>") == 1 and "f05000 " in page
          and "<span>5001&ndash;5001 of 5001</span>" in page, "the last row", page[:2000])
    check([h for t, h in links_of(page) if t in ("First", "Previous")]
          == ["/Huge/?page=1", "/Huge/?page=10"] * 2, "links back, above and below the rows",
          links_of(page))
    expect(g.get("/Huge/?page=999"), 200, "a page past the end shows the last")
    for bad in ("0", "-1", "x", "1x", ""):
        expect(g.get("/Huge/?page=" + bad), 400, "page=" + bad)
    status, _, page = got = g.get("/Huge/?q=F0499")
    expect(got, 200, "filter")
    check(page.count("<tr><td>") == 10 and "<span>1&ndash;10 of 10 matching</span>" in page
          and 'value="F0499"' in page, "ten names hold f0499, in any case", page[:2000])
    status, _, page = got = g.get("/Huge/?q=%3Cnone%3E")
    check("No entries match" in page and 'value="&lt;none&gt;"' in page, "nothing matches",
          page[:2000])
    expect(g.get("/Huge/?q=" + "x" * 257), 400, "filter of 257 bytes")
    note = "Only the first 5000 of 5001 entries are shown"
    status, _, body = got = g.get("/Huge/?format=m3u")
    expect(got, 200, "huge playlist")
    check(body.startswith("#EXTM3U\n# " + note + ".\n#EXTINF:-1,f00000 ")
          and body.count("#EXTINF") == 5000, "playlist cut and says so", body[:300])

    # A playlist with subfolders walks 10 000 entries at most, and says so when cut.
    walk = root.add(Node("Walk", folder=True))
    for part in ("a", "b"):
        sub = walk.add(Node(part, folder=True))
        for i in range(4999):
            sub.add(Node("%s%04d.mp3" % (part, i), size=1))
    f.mock._number(walk)
    status, _, body = got = g.get("/Walk/?format=m3u&recursive=1")
    expect(got, 200, "10 000 entries walked")
    check(body.startswith("#EXTM3U\n#EXTINF:-1,a0000.mp3\n") and body.count("#EXTINF") == 9998
          and "# only" not in body, "at the limit: whole", body[:200])
    sub.add(Node("b9999.mp3", size=1))
    f.mock._number(walk)
    status, _, body = got = g.get("/Walk/?format=m3u&recursive=1")
    expect(got, 200, "10 001 entries")
    check(body.startswith("#EXTM3U\n# only the first 10000 entries\n#EXTINF:-1,")
          and body.count("#EXTINF") == 9998, "one past: cut, and said", body[:200])

    # Line and paragraph separators in a name stay out of the playlist's lines.
    status, _, body = got = g.get("/Odd/?format=m3u")
    expect(got, 200, "odd playlist")
    check(body == "#EXTM3U\n#EXTINF:-1,a\\u2028b\\u2029c.mp3\n%s%%E2%%80%%A8b%%E2%%80%%A9c.mp3\n"
          % g.url("/Odd/a"), "separators escaped", repr(body))
    check(g.stop() == 0, "stopped", g.log())


def case_slow(f):
    """Clients that trickle their headers cannot keep an authorised one out."""
    token_file = os.path.join(f.dir, "token")
    with open(token_file, "w") as t:
        t.write(TOKEN + "\n")
    os.chmod(token_file, 0o600)
    g = f.serve("--auth-token-file", token_file)
    slow = []

    def open_slow(source):
        s = socket.socket()
        s.bind((source, 0))
        s.settimeout(5)
        s.connect(("127.0.0.1", g.port))
        s.sendall(b"G")
        slow.append([s, time.monotonic(), None])  # socket, opened, seen closed

    def drip():
        for entry in slow:
            if entry[2] is None:
                try:
                    entry[0].sendall(b"E")
                    entry[0].setblocking(False)
                    if entry[0].recv(1) == b"":
                        entry[2] = time.monotonic()
                except BlockingIOError:
                    pass
                except OSError:
                    entry[2] = time.monotonic()
                finally:
                    entry[0].settimeout(5)

    # 300 trickling clients from eight loopback addresses: more than the
    # gateway's 256 connections.
    for i in range(300):
        open_slow("127.0.0.%d" % (1 + i % 8))
    start = time.monotonic()
    status, _, body = got = g.get("/Music/?t=" + TOKEN)
    expect(got, 200, "authorised client answered")
    check(time.monotonic() - start < 3, "promptly", time.monotonic() - start)
    open_slow("127.0.0.9")
    first = slow[-1]
    # A byte a second keeps nobody in past 10 s from the accept.
    while time.monotonic() - first[1] < 14:
        drip()
        time.sleep(1)
    check(first[2] is not None and 9 <= first[2] - first[1] <= 12,
          "the last closed at its deadline", first[2] and first[2] - first[1])
    check(all(e[2] is not None for e in slow), "every trickling client closed",
          sum(e[2] is None for e in slow))
    for e in slow:
        e[0].close()
    expect(g.get("/Music/?t=" + TOKEN), 200, "still serving")
    check(g.stop() == 0, "stopped", g.log()[-2000:])


def case_stop(f):
    """A throttling service: 503 with its Retry-After at once; a signal stops at once."""
    music = "/v1.0/me/drive/root:/Music:/children"
    g = f.serve()
    f.mock.script[music] = [(429, "120")] * 3
    start = time.monotonic()
    status, headers, body = got = g.get("/Music/?format=json")
    expect(got, 503, "a long pause asked for")
    check(time.monotonic() - start < 3, "answered without waiting", time.monotonic() - start)
    check(headers.get("retry-after") == "120", "the service's Retry-After", headers)
    check(json.loads(body)["error"].startswith("The service is throttling requests: "), body)
    # The pause holds for the next request: nothing is sent meanwhile.
    before = len(f.mock.requests)
    status, headers, body = got = g.get("/Music/Album/?format=json")
    expect(got, 503, "during the pause")
    check(headers.get("retry-after") in ("119", "120"), "what is left of it", headers)
    check("asked for a pause of 1" in body, "says why", body)
    check(len(f.mock.requests) == before, "nothing sent", f.mock.requests[before:])
    check(g.stop() == 0, "stopped")

    def answer_in_background(gw, path, raw):
        answers = []
        t = threading.Thread(target=lambda: answers.append(gw.get(path)), daemon=True)
        t.start()
        deadline = time.monotonic() + 20
        while not any(r["path"] == raw for r in f.mock.requests):
            check(time.monotonic() < deadline, "request reached the mock")
            time.sleep(0.02)
        time.sleep(0.3)
        return t, answers

    # SIGTERM during a pause the gateway would wait out (4 s): it ends at once.
    f.mock.script[music] = [(429, "4")] * 3
    g = f.serve()
    t, answers = answer_in_background(g, "/Music/", music)
    start = time.monotonic()
    check(g.stop() == 0, "exit 0", g.log())
    check(time.monotonic() - start < 1.5, "stopped at once", time.monotonic() - start)
    t.join(timeout=10)
    check(answers and answers[0][0] == 503, "the client got its answer", answers)

    # A transfer that hangs: a short grace, then cut; a second signal exits at once.
    song = "/v1.0/me/drive/root:/song.mp3"
    f.mock.delay[song] = 30
    g = f.serve()
    t, answers = answer_in_background(g, "/song.mp3", song)
    start = time.monotonic()
    check(g.stop() == 0, "exit 0", g.log())
    check(time.monotonic() - start < 6, "a grace of 3 s", time.monotonic() - start)
    t.join(timeout=10)
    check(answers and answers[0][0] == 503, "cut short, answered", answers)
    g = f.serve()
    f.mock.requests.clear()
    t, answers = answer_in_background(g, "/song.mp3", song)
    start = time.monotonic()
    g.p.send_signal(signal.SIGTERM)
    time.sleep(0.2)
    g.p.send_signal(signal.SIGINT)
    check(g.p.wait(timeout=10) == 128 + signal.SIGINT, "exit at once", g.p.returncode)
    check(time.monotonic() - start < 1.5, "in no time", time.monotonic() - start)
    g.reader.join(timeout=10)
    check(g.log().endswith("nimbus: stopped at once (SIGINT)\n"), "says so", g.log())


def case_rotation(f):
    """Each refresh token rotated while serving is stored at once, once."""
    f.mock.revoke_on_rotate = True
    g = f.serve("--page-size", "2")
    expect(g.get("/Music/Album/?format=json"), 200, "listing")
    pages = [r for r in f.mock.requests if r["path"].endswith("/Album:/children")]
    check(pages and pages[0]["query"] == "$top=2", "--page-size applies", pages)
    stored = lambda: json.loads(open(f.settings).read())["refresh_token"]
    check(stored() == "rt-1", "stored while serving", stored())
    f.mock.access_uses = 1  # the access token is spent: the next request needs a grant
    expect(g.get("/song.mp3"), 302, "after a second grant")
    check(stored() == "rt-2", "the second rotation stored", stored())
    check(g.stop() == 0, "exit 0", g.log())
    check(stored() == "rt-2" and "warning" not in g.log(), "kept, no warning", g.log())
    check(f.mock.grants == ["rt-0", "rt-1"], "each token presented once", f.mock.grants)
    check(subprocess.run(f.command("serve", "--max-time", "5"), capture_output=True).returncode
          == 2, "--max-time refused")


def case_ffprobe(f):
    """A real player follows the redirect over TLS and reads a real file."""
    if not shutil.which("ffmpeg") or not shutil.which("ffprobe"):
        raise Skip("ffmpeg/ffprobe not installed (scripts/install-deps installs ffmpeg)")
    tone = os.path.join(f.dir, "tone.flac")
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=frequency=440:duration=2",
                    "-c:a", "flac", tone], check=True, timeout=60)
    with open(tone, "rb") as t:
        f.mock.find_path("/Music/tone.flac").content = t.read()
    f.mock.find_path("/Music/tone.flac").size = os.path.getsize(tone)
    g = f.serve()
    p = subprocess.run(["ffprobe", "-v", "error", "-tls_verify", "1", "-ca_file", f.ca,
                        "-show_entries", "stream=codec_name,sample_rate,duration",
                        "-of", "compact=p=0", g.url("/Music/tone.flac")],
                       capture_output=True, timeout=60)
    out = p.stdout.decode().strip()
    print("ffprobe: " + out)
    check(p.returncode == 0, "ffprobe ran", p.stderr.decode())
    check(out == "codec_name=flac|sample_rate=44100|duration=2.000000", "codec and duration", out)
    downloads = [r for r in f.mock.requests if r["path"].startswith("/download/")]
    check(downloads and all(r["status"] in (200, 206) for r in downloads), "bytes from the mock",
          downloads)
    check(g.stop() == 0, "stopped")


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


def case_stream(f):
    """?stream=1: the bytes through the gateway, Range passed on, bounded, limited."""
    if not shutil.which("curl"):
        raise Skip("curl is missing")
    content = bytes(range(256)) * 4096 + b"end"
    song = f.mock.find_path("/song.mp3")
    song.content, song.size = content, len(content)
    f.mock.root.add(Node("big.mkv", content=os.urandom(1 << 20) * 16))
    f.mock._number(f.mock.root)
    g = f.serve()
    status, headers, body = raw_get(g.port, "/song.mp3?stream=1")
    check(status == 200 and body == content and "location" not in headers, "the whole file",
          status, headers)
    check(headers["content-length"] == str(len(content)) and headers["accept-ranges"] == "bytes",
          "its length, ranges offered", headers)
    # The type comes from the name, never from the service: a file it calls
    # text/html is not a page of the gateway's origin.
    check(headers["content-type"] == "audio/mpeg" and "content-disposition" not in headers,
          "a song's type", headers)
    for name, want in (("page.html", "application/octet-stream"), ("notes.txt", "text/plain"),
                       ("drawing.svg", "application/octet-stream")):
        node = f.mock.root.add(Node(name, content=b"<script>alert(1)</script>"))
        node.download_type = "text/html"
        f.mock._number(f.mock.root)
        status, headers, _ = raw_get(g.port, "/%s?stream=1" % name)
        check(status == 200 and headers["content-type"] == want and
              (headers.get("content-disposition") == "attachment") ==
              (want == "application/octet-stream"), "the type of " + name, headers)
    status, headers, body = raw_get(g.port, "/song.mp3?stream=1", method="HEAD")
    check(status == 200 and body == b"" and headers["content-length"] == str(len(content)),
          "HEAD", status, headers)
    n = len(content)
    for rng, want, status_want, cr in (
            ("100-199", content[100:200], 206, "bytes 100-199/%d" % n),
            ("-3", b"end", 206, "bytes %d-%d/%d" % (n - 3, n - 1, n)),
            ("%d-" % (n - 1), b"d", 206, "bytes %d-%d/%d" % (n - 1, n - 1, n)),
            ("%d-" % n, b"", 416, "bytes */%d" % n)):
        p = subprocess.run(["curl", "-s", "-r", rng, "-D", "-", "-o", os.path.join(f.dir, "part"),
                            g.url("/song.mp3?stream=1")], capture_output=True, timeout=60)
        head = p.stdout.decode()
        part = open(os.path.join(f.dir, "part"), "rb").read()
        check(head.startswith("HTTP/1.1 %d" % status_want) and part == want and
              re.search(r"^content-range: %s\r?$" % re.escape(cr), head, re.I | re.M),
              "curl -r " + rng, head, part[:20])
    # Range is read strictly; one valid range goes on normalised, anything
    # else asks for the whole file.
    download = next(r["path"] for r in f.mock.requests if r["path"].startswith("/download/"))
    for rng, status_want, asked_want, want in (
            ("bytes=0-1,5-9", 200, None, content),
            ("bytes=9-0", 200, None, content),
            ("bytes=1-2 3-4", 200, None, content),
            ("bytes= 1-2", 200, None, content),
            ("bytes=x-1", 200, None, content),
            ("Bytes=0-99999999999999999999", 206, "bytes=0-", content),
            ("bytes=-99999999999999999999", 206, "bytes=-9223372036854775807", content),
            ("bytes=,007-009 , ", 206, "bytes=7-9", content[7:10]),
            ("bytes=99999999999999999999-", 416, "bytes=9223372036854775807-", b"")):
        start = len(f.mock.requests)
        status, headers, body = raw_get(g.port, "/song.mp3?stream=1", {"Range": rng})
        asked = [r["range"] for r in f.mock.requests[start:] if r["path"] == download]
        check(status == status_want and body == want and asked == [asked_want] and
              (status != 416 or headers.get("content-range") == "bytes */%d" % n),
              "Range: " + rng, status, headers, asked)
    # A kept download URL the service refuses (it expired) is looked up once more.
    items = lambda: sum(1 for r in f.mock.requests if r["path"].endswith("/song.mp3"))
    before = items()
    f.mock.script[download] = [(403, None)]
    status, _, body = raw_get(g.port, "/song.mp3?stream=1")
    check(status == 200 and body == content and items() == before + 1,
          "a fresh URL after a refusal", status, items() - before)
    f.mock.script[download] = [(403, None)] * 2
    status, _, body = raw_get(g.port, "/song.mp3?stream=1&format=json")
    check(status == 502 and json.loads(body)["error"] ==
          "The file could not be fetched: the download URL answered HTTP 403"
          and items() == before + 2, "refused twice: said, and asked once more", body)
    # The network cuts a transfer halfway: the gateway asks for the rest of
    # the same version (If-Range), and the client gets the file whole.
    etag = mock_graph.etag_of(content)
    for rng, first, last in ((None, 0, n - 1), ("bytes=1000-", 1000, n - 1)):
        f.mock.cuts[download] = 1
        start = len(f.mock.requests)
        status, _, body = raw_get(g.port, "/song.mp3?stream=1", {"Range": rng} if rng else None)
        asked = [r for r in f.mock.requests[start:] if r["path"] == download]
        check(status == (206 if rng else 200) and body == content[first:], "whole after a cut",
              rng, status, len(body))
        half = first + (last - first + 1) // 2
        check([(r["range"], r["if_range"]) for r in asked] ==
              [(rng, None), ("bytes=%d-%d" % (half, last), etag)], "the rest asked for",
              [(r["range"], r["if_range"]) for r in asked])
    # A file that changed meanwhile is never joined to the old bytes.
    f.mock.cuts[download] = 1
    f.mock.after_cut = lambda: setattr(song, "content", content[::-1])
    c = http.client.HTTPConnection("127.0.0.1", g.port, timeout=60)
    c.request("GET", "/song.mp3?stream=1")
    try:
        got = c.getresponse().read()
    except http.client.IncompleteRead as e:
        got = e.partial
    c.close()
    song.content = content
    check(len(got) < n and content.startswith(got), "cut short, not joined", len(got))
    expect(g.get("/song.mp3?stream=2"), 400, "stream=2")
    check(raw_get(g.port, "/nope.mp3?stream=1")[0] == 404, "a missing file")

    # A client that reads 16 KiB of 16 MiB and stops: the gateway holds a
    # bounded buffer, not the file; when the client leaves, its thread ends.
    rss = lambda: int(re.search(r"VmRSS:\s+(\d+)", open("/proc/%d/status" % g.p.pid).read())
                      .group(1))
    base_threads, base_rss = threads_of(g.p.pid), rss()

    def stalled(source="127.0.0.1"):
        s = stalled_stream(g.port, "/big.mkv", source)
        check(s, "a stream begins from " + source)
        return s

    first = stalled()
    time.sleep(2)
    grown = rss() - base_rss
    print("a stalled 16 MiB stream: RSS +%d kB, %d threads more" % (
        grown, threads_of(g.p.pid) - base_threads))
    if MEMORY_MEASURED:
        check(grown < 4 * 1024, "a bounded buffer, not the file", grown)
    first.close()
    deadline = time.monotonic() + 10
    while threads_of(g.p.pid) > base_threads and time.monotonic() < deadline:
        time.sleep(0.1)
    check(threads_of(g.p.pid) == base_threads, "the stream's thread ended with its client",
          threads_of(g.p.pid), base_threads)

    # Four streams per client address: a fifth from it is told to come
    # back, while other clients still stream; 32 streams in all.
    clients = [stalled() for _ in range(4)]
    status, headers, _ = raw_get(g.port, "/song.mp3?stream=1")
    check(status == 503 and headers.get("retry-after") == "5", "a fifth from one client waits",
          status, headers)
    status, _, body = raw_get(g.port, "/song.mp3?stream=1", source="127.0.0.10")
    check(status == 200 and body == content, "another client streams", status)
    clients += [stalled("127.0.0.%d" % (2 + i // 4)) for i in range(28)]
    status, headers, _ = raw_get(g.port, "/song.mp3?stream=1", source="127.0.0.9")
    check(status == 503 and headers.get("retry-after") == "5", "the 33rd waits", status, headers)
    check(raw_get(g.port, "/song.mp3")[0] == 302, "redirects need no stream")
    clients.pop().close()
    deadline = time.monotonic() + 10
    while raw_get(g.port, "/song.mp3?stream=1", method="HEAD", source="127.0.0.9")[0] != 200:
        check(time.monotonic() < deadline, "a place frees when a client leaves")
        time.sleep(0.1)
    # A stop with 31 streams under way ends them and exits cleanly.
    started = time.monotonic()
    check(g.stop() == 0, "stopped with streams under way", g.log()[-2000:])
    check(time.monotonic() - started < 10, "promptly", time.monotonic() - started)
    for c in clients:
        c.close()


def case_stream_pause(f):
    """A player paused for longer than the gateway keeps the transfer from
    the service on a full buffer (60 s): when it takes bytes again, the rest
    comes with a range request for the same version, with no gap. While it
    is paused, its transfer's slot is free for the same client's others."""
    content = os.urandom(1 << 20) * 32  # more than every buffer on the way
    film = f.mock.root.add(Node("film.mkv", content=content))
    f.mock.root.add(Node("other.mkv", content=content[::-1]))
    f.mock._number(f.mock.root)
    g = f.serve()
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
    s.bind(("127.0.0.3", 0))
    s.connect(("127.0.0.1", g.port))
    s.sendall(b"GET /film.mkv?stream=1 HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
              b"Connection: close\r\n\r\n" % g.port)
    s.settimeout(120)
    got = s.recv(65536)
    # Three more streams of this client that stop reading: its fourth slot
    # is the last; once their transfers are ended for idleness, a new
    # stream of the same client gets a slot.
    others = [stalled_stream(g.port, "/other.mkv", "127.0.0.3") for _ in range(3)]
    check(all(others), "four streams of one client")
    check(raw_get(g.port, "/other.mkv?stream=1", method="HEAD", source="127.0.0.3")[0] == 503,
          "no fifth while four transfer")
    time.sleep(70)
    check(raw_get(g.port, "/other.mkv?stream=1", method="HEAD", source="127.0.0.3")[0] == 200,
          "paused streams hold no slot")

    def slot_for(source):
        deadline = time.monotonic() + 10
        while True:
            s = stalled_stream(g.port, "/other.mkv", source)
            if s or time.monotonic() > deadline:
                return s
            time.sleep(0.1)

    # A paused stream that plays on while its client's slots are all taken
    # meanwhile ends after the bytes it holds.
    takers = [slot_for("127.0.0.3") for _ in range(4)]
    check(all(takers), "four new streams of the client")
    late = others.pop()
    rest = b""
    while True:
        chunk = late.recv(1 << 20)
        if not chunk:
            break
        rest += chunk
    late.close()
    check(len(rest) < len(content), "no slot: the paused stream ends", len(rest))
    for t in takers:
        t.close()
    again = slot_for("127.0.0.3")
    check(again, "the slots come back")
    again.close()
    while True:
        chunk = s.recv(1 << 20)
        if not chunk:
            break
        got += chunk
    s.close()
    head, _, body = got.partition(b"\r\n\r\n")
    check(head.startswith(b"HTTP/1.1 200") and body == content, "the whole film after the pause",
          head[:300], len(body), len(content))
    asked = [(r["range"], r["if_range"]) for r in f.mock.requests
             if urllib.parse.unquote(r["path"]) == "/download/" + film.id]
    check(len(asked) == 2 and asked[0] == (None, None) and
          re.fullmatch(r"bytes=\d+-%d" % (len(content) - 1), asked[1][0] or "") and
          asked[1][1] == mock_graph.etag_of(content),
          "the rest asked for once, of the same version", asked)
    for o in others:
        o.close()


MEDIA_SERVER = "urn:schemas-upnp-org:device:MediaServer:1"


def case_dlna(f):
    """--dlna: gssdp-discover finds the MediaServer, ffprobe plays a Browse answer's res URL.

    SSDP runs only inside a network namespace made for the run (lo alone, with
    the multicast route): no datagram reaches a real interface."""
    if os.environ.get("NIMBUS_E2E_NETNS") == "1":
        return dlna_inside(f)
    in_namespace(f, "dlna", ("gssdp-discover", "ffmpeg", "ffprobe"))


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
                        os.path.abspath(__file__), "--nimbus", f.nimbus, "--out", f.out, case],
                       env=dict(os.environ, NIMBUS_E2E_NETNS="1"), capture_output=True,
                       timeout=300)
    sys.stdout.write(p.stdout.decode())
    if p.returncode == 77:
        raise Skip(p.stdout.decode().strip().splitlines()[-1:] or "skipped inside")
    check(p.returncode == 0, "the case inside its namespace", p.stdout.decode()[-3000:],
          p.stderr.decode()[-3000:])


def didl_text(element):
    import xml.etree.ElementTree as ET
    return ET.tostring(element, encoding="unicode")[:2000]


def soap_browse(host, port, object_id, flag="BrowseDirectChildren"):
    import xml.sax.saxutils as sx
    body = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            '<u:Browse xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1">'
            "<ObjectID>%s</ObjectID><BrowseFlag>%s</BrowseFlag><Filter>*</Filter>"
            "<StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount>"
            "<SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>"
            % (sx.escape(object_id), flag)).encode()
    c = http.client.HTTPConnection(host, port, timeout=30)
    c.request("POST", "/control/ContentDirectory", body=body, headers={
        "Content-Type": 'text/xml; charset="utf-8"',
        "SOAPACTION": '"urn:schemas-upnp-org:service:ContentDirectory:1#Browse"'})
    r = c.getresponse()
    answer = r.read()
    c.close()
    check(r.status == 200, "Browse %s answered" % object_id, r.status, answer[:500])
    import xml.etree.ElementTree as ET
    result = ET.fromstring(answer).find(".//Result").text
    return ET.fromstring(result)  # DIDL-Lite: well-formed, whatever the names hold


def dlna_inside(f):
    links = subprocess.run(["ip", "-o", "link"], capture_output=True, text=True).stdout
    check([l.split(":")[1].strip() for l in links.splitlines()] == ["lo"],
          "only lo in this namespace", links)
    tone = os.path.join(f.dir, "tone.flac")
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=frequency=440:duration=2",
                    "-c:a", "flac", tone], check=True, timeout=60)
    node = f.mock.find_path("/Music/tone.flac")
    with open(tone, "rb") as t:
        node.content = t.read()
    node.size = len(node.content)
    # A film the service types application/octet-stream, and a locked vault.
    film = node.parent.add(Node("film.mkv", content=b"\x1a\x45\xdf\xa3 not a film"))
    film.mime = "application/octet-stream"
    vault = node.parent.add(Node("Vault", folder=True))
    vault.locked = True
    vault.add(Node("passport.jpg", size=3))
    f.mock._number(f.mock.root)
    # A shortcut to a shared folder, whose own children Graph lists empty.
    shared, _, _ = shared_drive(f.mock)
    f.mock.shortcut(f.mock.find_path("/Music"), "Shared", "drv2", shared)
    g = f.serve("--dlna")
    deadline = time.monotonic() + 20
    while not any("DLNA MediaServer" in l for l in g.lines):
        check(time.monotonic() < deadline and g.p.poll() is None, "MediaServer started", g.log())
        time.sleep(0.05)
    line = next(l for l in g.lines if "DLNA MediaServer" in l)
    location = re.search(r"(http://\S+)", line).group(1)
    uuid_file = os.path.join(f.dir, "dlna-uuid")
    check(os.path.exists(uuid_file) and oct(os.stat(uuid_file).st_mode & 0o777) == "0o600",
          "device UUID beside the settings, mode 600")
    udn = "uuid:" + open(uuid_file).read().strip()

    started = time.monotonic()
    disc = subprocess.Popen(["gssdp-discover", "-i", "lo", "-t", MEDIA_SERVER, "-n", "5"],
                            stdout=subprocess.PIPE, text=True)
    out, found = "", None
    for l in disc.stdout:
        out += l
        if found is None and location in l:
            found = time.monotonic() - started
    disc.wait()
    check(found is not None and found < 5 and udn + "::" + MEDIA_SERVER in out,
          "gssdp-discover sees it within 5 s", out)
    print("gssdp-discover: the MediaServer within %.2f s" % found)

    m = re.match(r"http://([0-9.]+):(\d+)/", location)
    host, port = m.group(1), int(m.group(2))
    ns = {"d": "urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/",
          "dc": "http://purl.org/dc/elements/1.1/"}
    before = sum(1 for r in f.mock.requests if r["path"].endswith("/children"))
    root = soap_browse(host, port, "0")
    titles = [c.find("dc:title", ns).text for c in root.findall("d:container", ns)]
    check(titles == ["Music"], "the root's folders", titles)
    album = soap_browse(host, port, "0/Music/Album")
    names = [i.find("dc:title", ns).text for i in album.findall("d:item", ns)]
    check(ESCAPED in names and "01 Intro.flac" in names, "titles, odd names intact", names)
    music = soap_browse(host, port, "0/Music")
    tone_item = next(i for i in music.findall("d:item", ns)
                     if i.find("dc:title", ns).text == "tone.flac")
    res = tone_item.find("d:res", ns)
    check(res.text == g.url("/Music/tone.flac?stream=1") and res.get(
        "protocolInfo", "").startswith("http-get:*:audio/flac:"), "res on the gateway", res.text,
        res.attrib)
    # What renderers ask of a resource URL: the DLNA flags of its protocolInfo.
    status, headers, _ = raw_get(g.port, "/Music/tone.flac?stream=1", method="HEAD", headers={
        "getcontentFeatures.dlna.org": "1", "transferMode.dlna.org": "Streaming"})
    check(status == 200 and headers.get("contentfeatures.dlna.org") ==
          res.get("protocolInfo").split(":", 3)[3] and
          headers.get("transfermode.dlna.org") == "Streaming", "DLNA headers", headers)
    children = sum(1 for r in f.mock.requests if r["path"].endswith("/children")) - before
    soap_browse(host, port, "0/Music/Album")
    check(sum(1 for r in f.mock.requests if r["path"].endswith("/children")) - before
          == children == 3, "three listings, the second Browse of a folder from the cache",
          children)
    linked = soap_browse(host, port, "0/Music/Shared")
    check([c.find("dc:title", ns).text for c in linked.findall("d:container", ns)] == ["Album"],
          "the shortcut browses as its shared folder", didl_text(linked))
    film = next(i for i in music.findall("d:item", ns)
                if i.find("dc:title", ns).text == "film.mkv")
    check(film.find("d:res", ns).get("protocolInfo", "").startswith(
        "http-get:*:video/x-matroska:"), "the film typed by its extension",
        film.find("d:res", ns).attrib)
    status, headers, _ = raw_get(g.port, "/Music/film.mkv?stream=1")
    check(status == 200 and headers.get("content-type") == "video/x-matroska",
          "its bytes with that type", status, headers)
    check(len(soap_browse(host, port, "0/Music/Vault")) == 0, "a locked vault: empty")
    p = subprocess.run(["ffprobe", "-v", "error", "-tls_verify", "1", "-ca_file", f.ca,
                        "-show_entries", "stream=codec_name,duration", "-of", "compact=p=0",
                        res.text], capture_output=True, timeout=60)
    print("ffprobe of the res URL: " + p.stdout.decode().strip())
    check(p.returncode == 0 and p.stdout.decode().strip() == "codec_name=flac|duration=2.000000",
          "ffprobe plays the res URL", p.stdout, p.stderr)
    check(g.stop() == 0, "stopped", g.log())
    check(re.search(r"^nimbus: stopped", g.log(), re.M), "stopped cleanly", g.log())


def case_dlna_caps(f):
    """With a secret, a Browse answer's res URLs carry a capability each, not
    the secret: one plays (with Range), the same capability opens nothing else."""
    if os.environ.get("NIMBUS_E2E_NETNS") == "1":
        return dlna_caps_inside(f)
    in_namespace(f, "dlna_caps", ())


def dlna_caps_inside(f):
    content = bytes(range(256)) * 40
    tone = f.mock.find_path("/Music/tone.flac")
    tone.content, tone.size = content, len(content)
    g, location = start_dlna(f, "--auth-token-file", token_file(f, TOKEN))
    m = re.match(r"http://([0-9.]+):(\d+)/", location)
    ns = {"d": "urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/",
          "dc": "http://purl.org/dc/elements/1.1/"}
    import xml.etree.ElementTree as ET
    res = {}
    for folder in ("0/Music", "0/Music/Album"):
        answer = soap_browse(m.group(1), int(m.group(2)), folder)
        check(TOKEN not in ET.tostring(answer, encoding="unicode"), "no secret in the answer")
        for item in answer.findall("d:item", ns):
            res[item.find("dc:title", ns).text] = item.find("d:res", ns).text
    check(len(res) == 6 and all(re.fullmatch(
        r"http://127\.0\.0\.1:%d/Music/[^?]+\?stream=1&c=\d+\.[\w-]{43}" % g.port, u)
        for u in res.values()), "a capability in every res URL", res)
    tone_res = res["tone.flac"][len("http://127.0.0.1:%d" % g.port):]
    got = raw_get(g.port, tone_res, {"Range": "bytes=1000-1999"})
    check(got[0] == 206 and got[2] == content[1000:2000], "the res URL plays, with Range",
          got[:2])
    c = tone_res[tone_res.index("c="):]
    for path in ("/Music/Album/01%20Intro.flac?stream=1&", "/Music/?", "/Music/?format=json&",
                 "/Music/?format=m3u&"):
        expect(g.get(path + c), 401, path + "c")
    check(g.stop() == 0, "stopped", g.log())


def start_dlna(f, *args):
    """The gateway with --dlna in this namespace: it and its description URL."""
    links = subprocess.run(["ip", "-o", "link"], capture_output=True, text=True).stdout
    check([l.split(":")[1].strip() for l in links.splitlines()] == ["lo"],
          "only lo in this namespace", links)
    g = f.serve("--dlna", *args)
    deadline = time.monotonic() + 20
    while not any("DLNA MediaServer" in l for l in g.lines):
        check(time.monotonic() < deadline and g.p.poll() is None, "MediaServer started", g.log())
        time.sleep(0.05)
    line = next(l for l in g.lines if "DLNA MediaServer" in l)
    return g, re.search(r"(http://\S+)", line).group(1)


def listen_events(location, service_type):
    """Subscribes to a service's events with a GENA listener on loopback: the
    list it returns fills with (variable, value) pairs as events arrive."""
    import http.server
    import xml.etree.ElementTree as ET
    got = []

    class Listener(http.server.BaseHTTPRequestHandler):
        def do_NOTIFY(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            for prop in ET.fromstring(body):
                for var in prop:
                    got.append((var.tag.split("}")[-1], var.text or ""))
            self.send_response(200)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Listener)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    u = urllib.parse.urlsplit(location)
    c = http.client.HTTPConnection(u.hostname, u.port, timeout=30)
    c.request("GET", u.path)
    description = c.getresponse().read().decode()
    ns = "{urn:schemas-upnp-org:device-1-0}"
    service = next(s for s in ET.fromstring(description).iter(ns + "service")
                   if s.find(ns + "serviceType").text == service_type)
    c.request("SUBSCRIBE", service.find(ns + "eventSubURL").text, headers={
        "CALLBACK": "<http://127.0.0.1:%d/>" % server.server_address[1], "NT": "upnp:event",
        "TIMEOUT": "Second-300"})
    r = c.getresponse()
    r.read()
    c.close()
    check(r.status == 200 and r.getheader("SID", "").startswith("uuid:"), "subscribed",
          r.status, r.getheaders())
    return got


def case_dlna_events(f):
    """A subscriber sees SystemUpdateID step after a rename on the drive."""
    if os.environ.get("NIMBUS_E2E_NETNS") != "1":
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "dlna"))
        from run_dlna import has_gi
        python = next((p for p in (sys.executable, "/usr/bin/python3") if has_gi(p)), None)
        if not python:
            raise Skip("python3-gi with GUPnP 1.6 is missing (scripts/install-deps)")
        return in_namespace(f, "dlna_events", (), python)
    try:
        import gi
        gi.require_version("GUPnP", "1.6")
        gi.require_version("GSSDP", "1.6")
        from gi.repository import GLib, GObject, GSSDP, GUPnP, Gio
    except (ImportError, ValueError):
        raise Skip("python3-gi with GUPnP 1.6 is missing (scripts/install-deps)")
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "dlna"))
    from run_dlna import browse, call, didl_objects

    os.environ["NIMBUS_SERVE_DELTA_SECONDS"] = "2"
    g, location = start_dlna(f)
    del os.environ["NIMBUS_SERVE_DELTA_SECONDS"]
    udn = "uuid:" + open(os.path.join(f.dir, "dlna-uuid")).read().strip()
    ctx = GUPnP.Context.new_for_address(Gio.InetAddress.new_from_string("127.0.0.1"), 0,
                                        GSSDP.UDAVersion.VERSION_1_0)
    cp = GUPnP.ControlPoint.new(ctx, MEDIA_SERVER)
    found = {}
    loop = GLib.MainLoop()

    def run(seconds, until):
        end = time.monotonic() + seconds
        while time.monotonic() < end and not until():
            GLib.timeout_add(50, loop.quit)
            loop.run()
        return until()

    cp.connect("device-proxy-available",
               lambda _cp, proxy: found.setdefault("dev", proxy) if proxy.get_udn() == udn
               else None)
    cp.set_active(True)
    check(run(5, lambda: "dev" in found), "the control point finds the server")
    cds = found["dev"].get_service("urn:schemas-upnp-org:service:ContentDirectory:1")
    # Events come to a listener of this test's own that takes every NOTIFY:
    # GUPnP's control point refuses an initial event that overtakes the
    # answer to its SUBSCRIBE, and GUPnP's server then drops the
    # subscription, so on a busy machine it would miss the change.
    events = listen_events(location, "urn:schemas-upnp-org:service:ContentDirectory:1")
    system = lambda: [int(v) for k, v in list(events) if k == "SystemUpdateID"]
    check(run(5, lambda: system()), "the initial event", events)
    first = call(cds, "GetSystemUpdateID", [], [("Id", GObject.TYPE_UINT)])["Id"]
    check(set(system()) == {first} and browse(cds, "0/Music/Album")["UpdateID"] == first,
          "the action, Browse and the first event agree", events, first)

    # Feed answers without a change move nothing; the feed is asked without any visit.
    deltas = lambda: sum(1 for r in f.mock.requests if r["path"].endswith("/delta"))
    before, started = deltas(), time.monotonic()
    run(4.5, lambda: False)
    check(set(system()) == {first} and deltas() >= before + 1, "no change, no event; feed asked",
          events, deltas() - before)
    f.mock.find_path("/Music/Album/cover.jpg").name = "front.jpg"
    containers = lambda: [v for k, v in list(events) if k == "ContainerUpdateIDs" and v]
    check(run(10, lambda: first + 1 in system() and containers()),
          "an event after the rename", events)
    check(sorted(set(system())) == [first, first + 1], "one step", events)
    containers = containers()
    pairs = lambda csv: list(zip(*[iter(csv.split(","))] * 2))
    check(containers and ("0/Music/Album", str(first + 1)) in pairs(containers[-1]),
          "the album's container update id", containers)
    page = browse(cds, "0/Music/Album")
    titles = [o.get_title() for o in didl_objects(page["Result"])]
    check("front.jpg" in titles and page["UpdateID"] == first + 1, "Browse shows it", titles)
    elapsed = time.monotonic() - started
    check(deltas() - before <= elapsed / 2 + 1, "at most one delta request per period",
          deltas() - before, elapsed)
    cp.set_active(False)
    check(g.stop() == 0, "stopped", g.log())
    print("events: SystemUpdateID %d -> %d after a rename; ContainerUpdateIDs %r"
          % (first, first + 1, containers[-1]))


def chromium(*args, timeout=60):
    exe = shutil.which("chromium") or shutil.which("chromium-browser")
    if not exe:
        raise Skip("chromium not installed (scripts/install-deps installs it)")
    with tempfile.TemporaryDirectory(prefix="nimbus-chromium-") as profile:
        cmd = [exe, "--headless", "--disable-gpu", "--disable-quic", "--no-first-run",
               "--disable-background-networking", "--disable-component-update", "--disable-sync",
               "--disable-dev-shm-usage", "--hide-scrollbars", "--user-data-dir=" + profile]
        if os.geteuid() == 0:
            cmd.append("--no-sandbox")
        return subprocess.run(cmd + list(args), capture_output=True, timeout=timeout,
                              env=dict(os.environ, HOME=profile))


def case_browser(f):
    """Headless Chromium renders a folder page; screenshots go to the build folder."""
    g = f.serve()
    for name, size in (("serve-folder.png", "1280,800"), ("serve-folder-phone.png", "390,844")):
        shot = os.path.join(f.out, name)
        if os.path.exists(shot):
            os.remove(shot)
        p = chromium("--dump-dom", "--screenshot=" + shot, "--window-size=" + size,
                     g.url("/Music/Album/"))
        check(p.returncode == 0 and os.path.getsize(shot) > 1000, "screenshot " + name,
              p.stderr.decode()[-2000:])
        dom = p.stdout.decode()
        check(links_of(dom) == ALBUM_LINKS, "links in the rendered DOM", links_of(dom))
        check("<title>Album - nimbus</title>" in dom, "title", dom[:300])
        print("screenshot: " + shot)

    # An error page, and a phone-width page whose long names must wrap.
    long_name = "a-name-without-any-space-" * 8 + ".flac"
    long_folder = f.mock.root.add(Node("Long", folder=True))
    long_folder.add(Node(long_name, size=1))
    long_folder.add(Node("www.example.com-" + "x" * 150 + ".mp3", size=2))
    f.mock._number(f.mock.root)
    for name, size, path in (("serve-error.png", "1280,800", "/Music/Nope/Deeper/"),
                             ("serve-error-phone.png", "390,844", "/Music/Nope/Deeper/"),
                             ("serve-long-names-phone.png", "390,844", "/Long/")):
        shot = os.path.join(f.out, name)
        p = chromium("--dump-dom", "--screenshot=" + shot, "--window-size=" + size, g.url(path))
        check(p.returncode == 0 and os.path.getsize(shot) > 1000, "screenshot " + name,
              p.stderr.decode()[-2000:])
        print("screenshot: " + shot)
    check("This folder does not exist" in chromium("--dump-dom", g.url("/Music/Nope/")).stdout
          .decode(), "the error page renders")

    # ?stream=1 plays in the browser: a media document of its own, or an
    # <audio> of another page.
    if shutil.which("ffmpeg"):
        tone = os.path.join(f.dir, "tone.flac")
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                        "sine=frequency=440:duration=2", "-c:a", "flac", tone], check=True,
                       timeout=60)
        node = f.mock.find_path("/Music/tone.flac")
        with open(tone, "rb") as t:
            node.content = t.read()
        node.size = len(node.content)
        url = g.url("/Music/tone.flac?stream=1")
        dom = chromium("--dump-dom", "--virtual-time-budget=3000", url).stdout.decode()
        check('<source src="%s" type="audio/flac">' % url in dom, "a media document", dom[:500])
        player = os.path.join(f.dir, "player.html")
        with open(player, "w") as out:
            out.write('<audio id="a" preload="auto" src="%s"></audio><p id="o">-</p><script>'
                      'a.onloadedmetadata = () => { o.textContent = "duration " + a.duration };'
                      'a.onerror = () => { o.textContent = "error " + a.error.code }</script>'
                      % url)
        dom = chromium("--dump-dom", "--virtual-time-budget=8000",
                       "file://" + player).stdout.decode()
        check('<p id="o">duration 2</p>' in dom, "an <audio> plays it", dom[-400:])

    # A 10 000-entry folder: its first page, against a small page in the same run.
    huge = f.mock.root.add(Node("Huge", folder=True))
    for i in range(10000):
        huge.add(Node("track %05d.mp3" % i, size=1000 + i))
    f.mock._number(f.mock.root)
    status, _, page = got = g.get("/Huge/")
    expect(got, 200, "huge folder listed (and cached)")
    timings = {}
    for label, path in (("small", "/Music/Album/"), ("huge", "/Huge/"), ("small", "/Music/Album/"),
                        ("huge", "/Huge/")):
        start = time.monotonic()
        shot = os.path.join(f.out, "serve-huge-folder.png" if label == "huge" else "unused.png")
        p = chromium("--dump-dom", "--screenshot=" + shot, "--window-size=1280,800", g.url(path))
        took = time.monotonic() - start
        check(p.returncode == 0, "chromium rendered " + path, p.stderr.decode()[-2000:])
        timings[label] = min(timings.get(label, took), took)
        if label == "huge":
            dom = p.stdout.decode()
    os.remove(os.path.join(f.out, "unused.png"))
    extra = timings["huge"] - timings["small"]
    print("10 000-entry folder: first page %d bytes, %d rows; Chromium %.2f s against %.2f s for "
          "a 6-entry page (%.2f s more)" % (len(page), page.count("<tr><td>"), timings["huge"],
                                            timings["small"], extra))
    check(extra < 1, "the first page renders in under 1 s more than a small one", timings)
    check(dom.count("<tr><td>") == 500, "500 rows rendered")
    nav = [(t, h) for t, h in links_of(dom) if t in ("Next", "Last")][:2]
    check(nav == [("Next", "/Huge/?page=2"), ("Last", "/Huge/?page=20")], "paging links", nav)
    status, _, last = got = g.get(nav[1][1])
    expect(got, 200, "the last page")
    check("track 09999.mp3" in last and "<span>9501&ndash;10000 of 10000</span>" in last,
          "the last rows", last[:1500])
    check(g.stop() == 0, "stopped")


CASES = cases_in(globals())


def print_gateway_logs(f):
    for gw in f.gateways:
        print("--- gateway stderr:\n" + gw.log())


def main():
    return main_of(CASES, lambda a: Fixture(os.path.abspath(a.nimbus), os.path.abspath(a.out)),
                   [("--out", ".")], print_gateway_logs)


if __name__ == "__main__":
    sys.exit(main())
