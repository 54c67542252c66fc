"""`nimbus serve` cases of a file's own page: the player, its subtitles as
WebVTT, and what headless Chromium shows of an album and a film."""

import os
import shutil
import subprocess

from mock_graph import Node
from run_e2e import Skip, check
from serve_common import TOKEN, expect, links_of, token_file
from serve_pages import chromium

SRT = (b"\xef\xbb\xbf1\r\n00:00:00,000 --> 00:00:09,000\r\nHello <i>there</i>\r\n\r\n"
       b"2\r\n00:00:09,500 --> 00:00:08,000\r\nbackwards: skipped\r\n\r\n"
       b"3\r\n00:00:10,000 --> 00:00:12,500\r\nd\xe9j\xc3\xa0 vu\r\n")
VTT = ("WEBVTT\n\n1\n00:00:00.000 --> 00:00:09.000\nHello <i>there</i>\n\n"
       "3\n00:00:10.000 --> 00:00:12.500\nd\ufffdj\u00e0 vu\n\n")


def films(f, film=b"", track=b""):
    """A film with two subtitles beside it, and facets on the album's tracks."""
    folder = f.mock.root.add(Node("Films", folder=True))
    node = folder.add(Node("Film.webm", content=film))
    node.video = {"duration": 12500, "width": 320, "height": 240}
    folder.add(Node("Film.srt", content=SRT))
    folder.add(Node("Film.en.srt", content=SRT))
    folder.add(Node("Other.vtt", content=b"not WebVTT\n"))
    f.mock._number(f.mock.root)
    intro = f.mock.find_path("/Music/Album/01 Intro.flac")
    intro.audio = {"artist": "Ada", "title": "Intro", "album": "Album", "year": 2019,
                   "track": 1, "duration": 61500}
    if track:
        intro.content, intro.size = track, len(track)
    f.mock.find_path("/Music/Album/02 Café & Co.MP3").audio = {"title": "Café", "duration": 1499}


def case_player(f):
    """Media names lead to their page: a player, the facts, the subtitles as WebVTT."""
    films(f)
    g = f.serve()
    status, _, page = got = g.get("/Music/Album/")
    expect(got, 200, "album page")
    check('<img class="a" src="/Music/Album/?cover=medium"' in page, "the album's cover on top")
    check('<img class="c" src="/Music/Album/01%20Intro.flac?cover=small" loading="lazy" '
          'width="48" height="48" alt=""><a href="/Music/Album/01%20Intro.flac?view=1">' in page
          and '<td class="n l">1:02</td><td class="m">Ada \u2013 Intro \u00b7 2019</td>' in page,
          "a track's cover, page link, duration and Artist \u2013 Title", page)
    status, _, page = got = g.get("/Films/")
    expect(got, 200, "films page")
    check(("Film.webm", "/Films/Film.webm?view=1") in links_of(page) and
          ("Film.srt", "/Films/Film.srt") in links_of(page) and "cover=medium" not in page and
          '<td class="m">320\u00d7240</td>' in page, "a film's page, a subtitle's bytes", page)

    status, headers, page = got = g.get("/Films/Film.webm?view=1")
    expect(got, 200, "film page")
    check(headers["content-type"] == "text/html; charset=utf-8" and "<script" not in page,
          "HTML, no script", headers)
    check('<video controls preload="metadata" width="320" height="240" poster="/Films/Film.webm?cover=medium" '
          'src="/Films/Film.webm?stream=1">\n'
          '<track kind="subtitles" src="/Films/Film.en.srt?vtt=1" srclang="en" '
          'label="Film.en.srt">\n'
          '<track kind="subtitles" src="/Films/Film.srt?vtt=1" label="Film.srt" default>'
          '</video>' in page, "the video, its subtitles, the untagged one by default", page)
    check(("Download", "/Films/Film.webm") in links_of(page) and
          "<tr><th>Duration</th><td>0:13</td></tr>" in page and
          "<tr><th>Resolution</th><td>320\u00d7240</td></tr>" in page, "download, facts", page)
    status, _, page = got = g.get("/Music/Album/01%20Intro.flac?view=1")
    expect(got, 200, "track page")
    check('<img class="a" src="/Music/Album/01%20Intro.flac?cover=medium"' in page and
          '<audio controls preload="metadata" src="/Music/Album/01%20Intro.flac?stream=1">'
          in page and "<tr><th>Artist</th><td>Ada</td></tr>" in page and "<track" not in page,
          "cover, audio, artist", page)
    page = g.get("/Music/Album/cover.jpg?view=1")[2]
    check('<img class="v" src="/Music/Album/cover.jpg?stream=1" alt="cover.jpg">' in page,
          "an image shown", page)

    status, headers, body = got = g.get("/Films/Film.srt?vtt=1")
    expect(got, 200, "WebVTT")
    check(headers["content-type"] == "text/vtt; charset=utf-8" and body == VTT, "converted",
          repr(body))
    expect(g.get("/Films/Other.vtt?vtt=1"), 502, "a .vtt without its signature")
    expect(g.get("/Music/song.mp3?vtt=1"), 400, "not a subtitle")
    for bad in ("view=2", "vtt=yes"):
        expect(g.get("/Films/Film.webm?" + bad), 400, bad)
    expect(g.get("/Films/Nope.webm?view=1"), 404, "no such file")
    status, headers, _ = got = g.get("/Films?view=1")
    expect(got, 302, "a folder's view")
    # A subtitle at the bound is converted; one byte past it is refused.
    big = f.mock.find_path("/Films/Film.en.srt")
    cue = b"00:00:01,000 --> 00:00:02,000\nx\n\n"
    big.content = cue * ((2 << 20) // len(cue)) + b"x" * ((2 << 20) % len(cue))
    big.size = len(big.content)
    f.mock._number(f.mock.root)
    g.stop()
    g = f.serve()
    expect(g.get("/Films/Film.en.srt?vtt=1"), 502, "2 MiB of cues: past the bound as WebVTT")
    big.content = b"WEBVTT\n" + b"a" * ((2 << 20) - 7)
    big.name, big.size = "Film.en.vtt", 2 << 20
    f.mock._number(f.mock.root)
    status, _, body = got = g.get("/Films/Film.en.vtt?vtt=1")
    expect(got, 200, "a WebVTT file of 2 MiB")
    check(len(body) == 2 << 20, "whole", len(body))
    big.content += b"a"
    big.name, big.size = "Big.vtt", (2 << 20) + 1
    f.mock._number(f.mock.root)
    status, _, page = got = g.get("/Films/Big.vtt?vtt=1")
    expect(got, 502, "one byte past 2 MiB")
    check("larger than 2 MiB" in page, "says why", page[-500:])
    check(g.stop() == 0, "stopped", g.log())

    # With a secret in the query, every URL of the page carries it.
    g = f.serve("--auth-token-file", token_file(f, TOKEN))
    page = g.get("/Films/Film.webm?view=1&t=" + TOKEN)[2]
    check('src="/Films/Film.webm?stream=1&amp;t=%s"' % TOKEN in page and
          'src="/Films/Film.srt?vtt=1&amp;t=%s"' % TOKEN in page, "the secret carried", page)
    status, _, body = got = g.get("/Films/Film.srt?vtt=1&t=" + TOKEN)
    expect(got, 200, "WebVTT with the secret")
    expect(g.get("/Films/Film.srt?vtt=1"), 401, "WebVTT without it")
    check(g.stop() == 0, "stopped", g.log())


def media(f):
    """A real film (VP8, 320x240, 12.5 s) and a real track, made by ffmpeg."""
    if not shutil.which("ffmpeg"):
        raise Skip("ffmpeg not installed (scripts/install-deps installs it)")
    film, track = os.path.join(f.dir, "film.webm"), os.path.join(f.dir, "track.flac")
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                    "testsrc=size=320x240:rate=10:duration=12.5", "-c:v", "libvpx", "-b:v",
                    "200k", film], check=True, timeout=120)
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                    "sine=frequency=440:duration=3", "-c:a", "flac", track], check=True,
                   timeout=60)
    with open(film, "rb") as a, open(track, "rb") as b:
        return a.read(), b.read()


def case_player_browser(f):
    """Headless Chromium shows the album and the film pages, wide and phone-wide."""
    if not (shutil.which("chromium") or shutil.which("chromium-browser")):
        raise Skip("chromium not installed (scripts/install-deps installs it)")
    films(f, *media(f))
    g = f.serve()
    shots = os.path.join(f.out, "screenshots")
    os.makedirs(shots, exist_ok=True)
    # What a page that shows nothing weighs, as the measure of one that does.
    blank = {}
    for size in ("1280,900", "390,844"):
        shot = os.path.join(shots, "blank.png")
        check(chromium("--screenshot=" + shot, "--window-size=" + size,
                       "data:text/html,<body></body>").returncode == 0, "a blank page drawn")
        blank[size] = os.path.getsize(shot)
        os.remove(shot)
    for name, path in (("album", "/Music/Album/"), ("film", "/Films/Film.webm?view=1"),
                       ("track", "/Music/Album/01%20Intro.flac?view=1")):
        for size in ("1280,900", "390,844"):
            shot = os.path.join(shots, "%s-%s.png" % (name, size.split(",")[0]))
            if os.path.exists(shot):
                os.remove(shot)
            p = chromium("--dump-dom", "--virtual-time-budget=4000", "--screenshot=" + shot,
                         "--window-size=" + size, g.url(path))
            check(p.returncode == 0 and os.path.exists(shot), "screenshot " + shot,
                  p.stderr.decode()[-2000:])
            check(os.path.getsize(shot) > 3 * blank[size], "a page drawn, not a blank one",
                  shot, os.path.getsize(shot), blank[size])
            dom = p.stdout.decode()
            if name == "film":
                check("<video" in dom and dom.count("<track") == 2, "video and tracks", dom)
            print("screenshot: " + shot)
    # The tracks the film page names answer WebVTT.
    for src in ("/Films/Film.srt?vtt=1", "/Films/Film.en.srt?vtt=1"):
        status, headers, body = got = g.get(src)
        expect(got, 200, src)
        check(body == VTT, "WebVTT", repr(body[:200]))
    streams = [r for r in f.mock.requests if "/download/" in r["path"]]
    check(streams, "the browser read the film through the gateway", f.mock.requests[-10:])
    check(g.stop() == 0, "stopped", g.log())
