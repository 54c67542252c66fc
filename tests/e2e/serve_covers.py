"""Covers through the gateway: ?cover=small|medium on a file's or folder's
URL answers the service's thumbnail as a JPEG, behind the page's
authorisation or a capability for that cover alone, fetched once however
many ask, bounded and checked; and the MediaServer's upnp:albumArtURI."""

import base64
import hashlib
import hmac
import os
import re
import subprocess
import time
import xml.etree.ElementTree as ET

import mock_thumbs
from mock_graph import Node
from run_e2e import check
from serve_common import TOKEN, expect, in_namespace, raw_get, token_file

NS = {"d": "urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/",
      "dc": "http://purl.org/dc/elements/1.1/",
      "upnp": "urn:schemas-upnp-org:metadata-1-0/upnp/",
      "dlna": "urn:schemas-dlna-org:metadata-1-0/"}


def cover_capability(secret, path, expiry):
    """The c parameter of a cover of PATH, as the gateway makes it."""
    key = hmac.new(secret.encode(), b"nimbus serve: file capability key, version 1",
                   hashlib.sha256).digest()
    mac = hmac.new(key, b"%d\0cover\0%s" % (expiry, path.encode()), hashlib.sha256).digest()
    return "c=%d.%s" % (expiry, base64.urlsafe_b64encode(mac).rstrip(b"=").decode())


def thumbnail_asks(f, path_part=""):
    return [r for r in f.mock.requests if r["path"].endswith("/thumbnails") and
            path_part in r["path"]]


def probe(f, data):
    """What ffprobe makes of DATA: (codec, width, height)."""
    name = os.path.join(f.dir, "cover.jpg")
    with open(name, "wb") as out:
        out.write(data)
    got = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name,width,height",
                          "-of", "csv=p=0", name], capture_output=True, text=True, timeout=60)
    return got.stdout.strip()


def case_covers(f):
    """Through the page's authorisation and a cover capability: the bytes,
    404 without a thumbnail, 400 for another size, 502 for what is no
    picture or too large. (Concurrent asks sharing one fetch: the unit
    tests of the cover cache.)"""
    album = f.mock.find_path("/Music/Album")
    f.mock.find_path("/song.mp3").thumbnail = False
    os.environ["NIMBUS_SERVE_DELTA_SECONDS"] = "1"
    try:
        g = f.serve("--auth-token-file", token_file(f, TOKEN))
    finally:
        del os.environ["NIMBUS_SERVE_DELTA_SECONDS"]
    auth = "t=" + TOKEN
    status, headers, body = raw_get(g.port, "/Music/Album/02%20Caf%C3%A9%20%26%20Co.MP3?cover=small&"
                                    + auth)
    check((status, headers.get("content-type")) == (200, "image/jpeg") and
          probe(f, body) == "mjpeg,96,96", "a track's small cover", status, headers, body[:40])
    status, _, body = raw_get(g.port, "/Music/Album/cover.jpg?cover=medium&" + auth, method="HEAD")
    check(status == 200 and body == b"", "HEAD of a picture's medium cover", status)
    status, _, body = raw_get(g.port, "/Music/Album/cover.jpg?cover=medium&" + auth)
    check(probe(f, body) == "mjpeg,176,176", "its bytes", body[:40])
    expect(g.get("/Music/Album/01%20Intro.flac?cover=small"), 401, "no credential")
    expect(g.get("/Music/Album/01%20Intro.flac?cover=large&" + auth), 400, "large")
    expect(g.get("/Music/Album/01%20Intro.flac?cover=&" + auth), 400, "empty")
    expect(g.get("/song.mp3?cover=small&" + auth), 404, "an item without a thumbnail")
    expect(g.get("/nowhere.mp3?cover=small&" + auth), 404, "no such item")
    before = len(thumbnail_asks(f, "/song.mp3"))
    expect(g.get("/song.mp3?cover=small&" + auth), 404, "none again")
    check(len(thumbnail_asks(f, "/song.mp3")) == before, "none is kept a while")

    # A folder: its own thumbnail, else its first track's.
    status, headers, _ = raw_get(g.port, "/Music/Album/?cover=small&" + auth)
    check(status == 200, "an album's own cover", status)
    album.thumbnail = False
    intro = f.mock.find_path("/Music/Album/01 Intro.flac")
    intro.thumbnail = mock_thumbs.jpeg(96)[:-2] + b"\xff\xd9"  # its own bytes
    status, _, body = raw_get(g.port, "/Music/?cover=small&" + auth)
    check(status == 200, "a folder of folders and a flac: the flac's", status)
    bonus = f.mock.find_path("/Music/Album/Bonus")
    bonus.add(Node("notes.txt", size=3))
    f.mock._number(f.mock.root)
    expect(g.get("/Music/Album/Bonus/?cover=small&" + auth), 404, "a folder with nothing to show")

    # A cover's capability opens that cover, not the file's bytes nor
    # another cover; a file's opens no cover.
    expiry = int(time.time()) + 3600
    art = cover_capability(TOKEN, "/Music/Album/cover.jpg", expiry)
    status, headers, _ = raw_get(g.port, "/Music/Album/cover.jpg?cover=small&" + art)
    check(status == 200 and headers.get("content-type") == "image/jpeg", "the cover's capability",
          status)
    for path in ("/Music/Album/cover.jpg?", "/Music/Album/cover.jpg?stream=1&",
                 "/Music/Album/cover.jpg?cover=small&stream=1&", "/Music/Album/?cover=small&",
                 "/Music/Album/cover.jpg?cover=small&format=json&"):
        expect(g.get(path + art), 401, path + "c")
    from serve_common import capability
    file_cap = capability(TOKEN, "/Music/Album/cover.jpg", expiry)
    expect(g.get("/Music/Album/cover.jpg?cover=small&" + file_cap), 401, "a file's capability")
    folder_art = cover_capability(TOKEN, "/Music/Album/", expiry)
    check(raw_get(g.port, "/Music/Album/?cover=small&" + folder_art)[0] == 200,
          "a folder's cover capability")
    expect(g.get("/Music/Album/?" + folder_art), 401, "opens no folder page")

    clips = f.mock.root.add(Node("Clips", folder=True))
    # Hostile bytes: no picture, and one byte past the bound.
    for name, data in (("a.mp4", b"<html>not a picture</html>"),
                       ("b.mp4", b"\xff\xd8\xff" + b"\0" * (512 * 1024 - 3)),
                       ("c.mp4", b"\xff\xd8\xff" + b"\0" * (512 * 1024 - 2))):
        clips.add(Node(name, size=1)).thumbnail = data
    f.mock._number(f.mock.root)
    expect(g.get("/Clips/a.mp4?cover=small&" + auth), 502, "no picture")
    status, _, body = raw_get(g.port, "/Clips/b.mp4?cover=small&" + auth)
    check(status == 200 and len(body) == 512 * 1024, "a cover of 512 KiB", status, len(body))
    expect(g.get("/Clips/c.mp4?cover=small&" + auth), 502, "one byte more")

    # A picture the change feed reports edited has its cover fetched anew.
    asks = len(thumbnail_asks(f))
    f.mock.find_path("/Music/Album/cover.jpg").etag = '"edited"'
    time.sleep(1.2)
    expect(g.get("/Music/?" + auth), 200, "a visit asks the feed")
    status = raw_get(g.port, "/Music/Album/cover.jpg?cover=medium&" + auth)[0]
    check(status == 200 and len(thumbnail_asks(f)) == asks + 1, "fetched anew after an edit",
          status, len(thumbnail_asks(f)) - asks)
    check(g.stop() == 0, "stopped", g.log())


def case_dlna_covers(f):
    """Browse gives tracks, films, pictures and album folders a JPEG_TN
    albumArtURI with a capability for that cover alone, which TVs fetch
    without credentials."""
    if os.environ.get("NIMBUS_E2E_NETNS") == "1":
        return dlna_covers_inside(f)
    in_namespace(f, "dlna_covers", ())


def dlna_covers_inside(f):
    from serve_dlna import soap_browse, start_dlna
    tone = f.mock.find_path("/Music/tone.flac")
    tone.content = tone_bytes = b"fLaC" + bytes(100)
    tone.size = len(tone.content)
    g, location = start_dlna(f, "--auth-token-file", token_file(f, TOKEN))
    m = re.match(r"http://([0-9.]+):(\d+)/", location)
    base = "http://127.0.0.1:%d" % g.port
    art_of = {}
    for folder in ("0/Music", "0/Music/Album"):
        answer = soap_browse(m.group(1), int(m.group(2)), folder)
        for obj in list(answer):
            title = obj.find("dc:title", NS).text
            art = obj.find("upnp:albumArtURI", NS)
            art_of[title] = None if art is None else (
                art.get("{%s}profileID" % NS["dlna"]), art.text)
    for title in ("Album", "tone.flac", "01 Intro.flac", "cover.jpg", "video.mkv"):
        check(art_of.get(title) and art_of[title][0] == "JPEG_TN" and re.fullmatch(
            re.escape(base) + r"/Music/[^?]+\?cover=small&c=\d+\.[\w-]{43}", art_of[title][1]),
            "a JPEG_TN cover with its capability: " + title, art_of)
    check(art_of["Album"][1].startswith(base + "/Music/Album/?"), "the album's own URL", art_of)
    check(TOKEN not in repr(art_of), "no secret in the covers")
    for title in ("Album", "tone.flac"):
        status, headers, body = raw_get(g.port, art_of[title][1][len(base):])
        check((status, headers.get("content-type"), body[:3]) == (200, "image/jpeg", b"\xff\xd8\xff"),
              "the cover as a TV fetches it: " + title, status, headers)
    # The cover's capability opens no bytes of the file; the file's no cover.
    art = art_of["tone.flac"][1][len(base):]
    cap = art[art.index("c="):]
    expect(raw_get(g.port, "/Music/tone.flac?stream=1&" + cap), 401, "the file by its cover's c")
    answer = soap_browse(m.group(1), int(m.group(2)), "0/Music")
    res = [o.find("d:res", NS).text for o in answer if o.find("dc:title", NS).text == "tone.flac"][0]
    status, _, body = raw_get(g.port, res[len(base):])
    check(status == 200 and body == tone_bytes, "its res plays", status)
    file_cap = res[res.index("c="):]
    expect(raw_get(g.port, "/Music/tone.flac?cover=small&" + file_cap), 401, "a cover by a file's c")
    check(g.stop() == 0, "stopped", g.log())
