"""`nimbus serve` cases of files played: ffprobe through redirects, and the
byte proxy (?stream=1) with its ranges, limits and pauses."""

import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import time
import urllib.parse

import mock_graph
from mock_graph import Node
from run_e2e import MEMORY_MEASURED, Skip, check
from serve_common import expect, raw_get, stalled_stream, threads_of


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


def case_stream(f):
    """?stream=1: the bytes through the gateway, Range passed on, bounded, limited."""
    if not shutil.which("curl"):
        raise Skip("curl is missing")
    content = bytes(range(256)) * 4096 + b"end"
    song = f.mock.find_path("/song.mp3")
    song.content, song.size = content, len(content)
    f.mock.root.add(Node("big.mkv", content=os.urandom(1 << 20) * 16))
    slow = f.mock.root.add(Node("slow.mkv", content=os.urandom(256 * 1024)))
    slow.pause_after = (20000, 3)
    f.mock._number(f.mock.root)
    g = f.serve()
    status, headers, body = raw_get(g.port, "/song.mp3?stream=1")
    check(status == 200 and body == content and "location" not in headers, "the whole file",
          status, headers)
    check(headers["content-length"] == str(len(content)) and headers["accept-ranges"] == "bytes",
          "its length, ranges offered", headers)
    # A second stream (a player's seek) resumes the first one's TLS session.
    raw_get(g.port, "/song.mp3?stream=1", headers={"Range": "bytes=100-"})
    tls = [r["tls_resumed"] for r in f.mock.requests if r["path"].startswith("/download/")]
    check(tls[:2] == [False, True], "the TLS session resumed", tls)
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

    # The gateway hands bytes on in large blocks, but a service that sends a
    # few and then nothing for a while does not keep them from the client.
    s = socket.create_connection(("127.0.0.1", g.port))
    s.sendall(b"GET /slow.mkv?stream=1 HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % g.port)
    s.settimeout(30)
    started, got = time.monotonic(), b""
    while got.find(b"\r\n\r\n") < 0 or len(got) - got.find(b"\r\n\r\n") - 4 < 20000:
        chunk = s.recv(65536)
        check(chunk, "the first bytes come", got[:200])
        got += chunk
    waited = time.monotonic() - started
    while len(got) - got.find(b"\r\n\r\n") - 4 < len(slow.content):
        chunk = s.recv(65536)
        check(chunk, "the rest comes", len(got))
        got += chunk
    s.close()
    print("a service's first 20000 bytes, then 3 s of nothing: the client had them in %.2f s"
          % waited)
    check(waited < 2, "bytes held back no longer than a second or so", waited)
    check(got.endswith(slow.content), "then the rest")

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
    the service on a full buffer (60 s, here 4 s): when it takes bytes again,
    the rest comes with a range request for the same version, with no gap.
    While it is paused, its transfer's slot is free for the same client's
    others."""
    content = os.urandom(1 << 20) * 32  # more than every buffer on the way
    film = f.mock.root.add(Node("film.mkv", content=content))
    f.mock.root.add(Node("other.mkv", content=content[::-1]))
    f.mock._number(f.mock.root)
    os.environ["NIMBUS_SERVE_STALL_SECONDS"] = "4"
    try:
        g = f.serve()
    finally:
        del os.environ["NIMBUS_SERVE_STALL_SECONDS"]
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
    time.sleep(4 + 10)
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


def case_captions(f):
    """A Samsung TV's getCaptionInfo.sec: the film's answer names its
    subtitle's URL on the Host asked, with a capability of its own, found in
    one folder listing however often asked; that URL serves the subtitle as
    text/srt. A film without one, or a request without the header, gets none."""
    from serve_common import TOKEN, token_file
    srt = b"1\n00:00:01,000 --> 00:00:02,000\nHello\n"
    films = f.mock.root.add(Node("Films", folder=True))
    for name, content in (("Film.mp4", b"film"), ("Film.EN.Srt", srt), ("Alone.mp4", b"alone"),
                          ("Alone.txt", b"x"), ("Film.engl.vtt", b"no")):
        films.add(Node(name, content=content))
    f.mock._number(f.mock.root)
    g = f.serve("--auth-token-file", token_file(f, TOKEN))
    ask = {"getCaptionInfo.sec": "1", "Host": "localhost:%d" % g.port}
    caption = re.compile(r"http://localhost:%d/Films/Film\.EN\.Srt\?stream=1&(c=\d+\.[\w-]{43})"
                         % g.port)
    listings = lambda: sum(1 for r in f.mock.requests if r["path"].endswith("/children"))
    before = listings()
    for query, method, want in (("", "HEAD", 302), ("?stream=1&", "HEAD", 200),
                                ("", "GET", 302), ("?stream=1&", "GET", 200)):
        path = "/Films/Film.mp4" + (query or "?") + "t=" + TOKEN
        status, headers, _ = raw_get(g.port, path, ask, method=method)
        check(status == want and caption.fullmatch(headers.get("captioninfo.sec", "")),
              "the caption URL: %s %s" % (method, query or "302"), status, headers)
    check(listings() - before == 1, "one listing of the folder for them all", listings() - before)
    c = caption.fullmatch(headers["captioninfo.sec"]).group(1)
    status, headers, body = raw_get(g.port, "/Films/Film.EN.Srt?stream=1&" + c)
    check((status, headers["content-type"], body) == (200, "text/srt", srt),
          "the caption URL serves the subtitle", status, headers, body)
    for path, sent in (("/Films/Alone.mp4", ask), ("/Films/Film.mp4", {"getCaptionInfo.sec": "0"}),
                       ("/Films/Film.mp4", {"getCaptionInfo.sec": "11"})):
        status, headers, _ = raw_get(g.port, path + "?t=" + TOKEN, sent, method="HEAD")
        check(status == 302 and "captioninfo.sec" not in headers, "no caption: " + path, sent,
              status, headers)
    check(g.stop() == 0, "stopped", g.log())
