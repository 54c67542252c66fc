#!/usr/bin/env python3
"""End-to-end cases for what the command shows of media and of shortcuts.

`nimbus list --json` is compared byte for byte with the library's own
nimbus_list answer, called through ctypes over a Python transport against
the same mock Graph, with and without "Metadata" in the settings. Shortcuts
to a second drive are followed through list, list -R, stream and the
gateway. Usage: run_media.py --nimbus PATH --library LIBNIMBUS CASE...
"""

import calendar
import ctypes
import json
import os
import re
import sys
import tempfile
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mock_graph  # noqa: E402
import run_e2e  # noqa: E402
from ctypes_host import Transport  # noqa: E402
from mock_graph import Node  # noqa: E402
from run_e2e import EXIT_OK, EXIT_OTHER, cases_in, check, expect, main_of  # noqa: E402
from run_serve import Gateway, links_of  # noqa: E402

MTIME_MS = calendar.timegm((2024, 3, 5, 7, 8, 9)) * 1000  # the mock's default time
LONG_TITLE = "A Very Long Title That Goes On And On Past Forty Columns"


def media_drive():
    root = Node("root", folder=True)
    media = root.add(Node("Media", folder=True))
    intro = media.add(Node("01 Intro.FLAC", size=31_000_000))
    intro.mime = "audio/flac"
    intro.audio = {"title": "Intro", "artist": "Ada", "album": "Engine", "track": 1,
                   "year": 1843, "duration": 225_400}
    media.add(Node("plain.mp3", size=4000))
    film = media.add(Node("Film.mkv", size=4 * 1024 ** 3))
    film.mime = "video/x-matroska"
    film.video = {"duration": 5_400_000, "width": 1920, "height": 1080}
    photo = media.add(Node("photo.jpg", size=2_000_000))
    photo.mime = "image/jpeg"
    photo.facets = {"image": {"width": 4000, "height": 3000},
                    "photo": {"takenDateTime": "2019-06-01T10:00:00Z"}}
    notes = media.add(Node("notes", size=10))
    notes.mime = "application/octet-stream"
    long = media.add(Node("long.ogg", size=5000))
    long.mime = "audio/ogg"
    # A title that would turn the terminal's text around is shown escaped.
    long.audio = {"title": LONG_TITLE, "artist": "Bob\u202e", "duration": 59_600}
    sub = media.add(Node("Sub", folder=True))
    deep = sub.add(Node("deep.mp3", size=100))
    deep.audio = {"title": "Deep", "artist": "Cy", "duration": 3_725_000}
    # The facet, not the MIME type, says what a file is.
    talk = sub.add(Node("talk.m4a", size=100))
    talk.mime = "video/mp4"
    talk.audio = {"title": "Talk"}
    return root


class Fixture(run_e2e.Fixture):
    """run_e2e's fixture on the media drive, with the library at hand."""

    def __init__(self, nimbus, library):
        super().__init__(nimbus)
        self.library = library
        self.gateways = []

    def __enter__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="nimbus-media-")
        self.dir = self.tmp.name
        self.ca, cert, key = mock_graph.make_certificates(self.dir)
        self.mock = mock_graph.MockGraph(cert, key, media_drive())
        self.mock.delta_page = 1000  # the gateway takes its first cursor at start
        self.mock.add_refresh_token("rt-0")
        self.mock.start()
        self.settings = os.path.join(self.dir, "conf", "settings.json")
        os.makedirs(os.path.dirname(self.settings))
        self.settings_with()
        return self

    def __exit__(self, *exc):
        for g in self.gateways:
            g.kill()
        return super().__exit__(*exc)

    def settings_with(self, **extra):
        value = {"ClientId": mock_graph.CLIENT_ID, "ClientSecret": mock_graph.CLIENT_SECRET,
                 "refresh_token": "rt-0"}
        value.update(extra)
        self.write_settings(value)
        return json.dumps(value)

    def serve(self):
        cmd = [self.nimbus]
        for rule in self.mock.connect_to():
            cmd += ["--connect-to", rule]
        g = Gateway(cmd + ["--cacert", self.ca, "--settings", self.settings, "serve",
                           "--listen", "127.0.0.1:0"])
        self.gateways.append(g)
        check(g.port, "the gateway started", g.log())
        return g


class Library:
    """libnimbus through ctypes, its transport a Python HTTPS client that
    reaches the mock under the real host names."""

    def __init__(self, path, mock, ca):
        self.lib = ctypes.CDLL(path)
        self.lib.nimbus_result_json.restype = ctypes.c_char_p
        self.lib.nimbus_last_error.restype = ctypes.c_char_p
        self.transport = Transport(mock.port, ca)
        check(self.lib.nimbus_set_io(ctypes.byref(self.transport.io)) == 0, "transport selected")

    def list(self, settings, folder):
        rc = self.lib.nimbus_list(settings.encode(), folder.encode(), None, 0)
        check(rc == 0, "nimbus_list answered %d: %s" % (rc, self.lib.nimbus_last_error()))
        return self.lib.nimbus_result_json().decode()


def name_column(line, name):
    """The column (in code points, as a terminal shows them) where name starts."""
    check(line.endswith(name), "row ends with " + name, line)
    return len(line) - len(name)


# -- cases -------------------------------------------------------------------

def case_media_json(f):
    """--json equals nimbus_list byte for byte, with and without Metadata;
    list -R --json carries the media values."""
    lib = Library(f.library, f.mock, f.ca)
    # The service types some films application/octet-stream.
    octet = f.mock.find_path("/Media/Sub").add(Node("Octet.mkv", size=10))
    octet.mime = "application/octet-stream"
    f.mock._number(f.mock.root)
    for extra in ({}, {"Metadata": True}, {"Metadata": False}):
        settings = f.settings_with(**extra)
        for folder in ("/Media", "/Media/Sub"):
            p = f.run("--json", "list", folder)
            expect(p, EXIT_OK)
            want = lib.list(settings, folder)
            check(p.out == want + "\n", "the library's bytes with %s for %s" % (extra, folder),
                  "command:\n" + p.out, "library:\n" + want)
            check(('"artist"' in p.out) == bool(extra.get("Metadata")),
                  "media keys only when asked", p.out)
    answer = lib.list(f.settings_with(Metadata=True), "/Media")
    items = {e["name"]: e for e in json.loads(answer)["items"]}
    # The library's own answer is the oracle; these say it carries what the
    # facets give, so that the comparison above compared something.
    check(items["Film.mkv"]["media_type"] == "video" and items["photo.jpg"]["year"] == 2019 and
          items["01 Intro.FLAC"]["container"] == "flac" and items["notes"]["media_type"] is None,
          "metadata filled", items)
    sub = {e["name"]: e for e in json.loads(lib.list(f.settings_with(Metadata=True),
                                                      "/Media/Sub"))["items"]}
    check(sub["Octet.mkv"]["mime_type"] == "video/x-matroska" and
          sub["Octet.mkv"]["media_type"] == "video", "an octet-stream film typed by its name",
          sub["Octet.mkv"])

    # The gateway's JSON answer is the same bytes, media keys and all.
    g = f.serve()
    for folder in ("/Media", "/Media/Sub"):
        status, _, body = g.get(urllib.parse.quote(folder) + "/?format=json")
        want = lib.list(f.settings_with(Metadata=True), folder)
        check(status == 200 and body == want, "?format=json is nimbus_list's answer for " + folder,
              "gateway:\n" + body, "library:\n" + want)
    check(g.stop() == 0, "stopped", g.log())

    p = f.run("--json", "list", "-R", "/Media")
    expect(p, EXIT_OK)
    lines = {json.loads(l)["path"]: json.loads(l) for l in p.out.splitlines()}
    check(lines["/Media/Sub/deep.mp3"] ==
          {"path": "/Media/Sub/deep.mp3", "name": "deep.mp3", "folder": False, "size": 100,
           "id": f.mock.find_path("/Media/Sub/deep.mp3").id, "mtime_ms": MTIME_MS,
           "mime_type": "audio/mpeg", "media_type": "audio", "title": "Deep", "artist": "Cy",
           "album": None, "track": None, "year": None, "duration_ms": 3725000, "width": None,
           "height": None}, "a walk's entry with its media", lines["/Media/Sub/deep.mp3"])
    check(lines["/Media/Film.mkv"]["width"] == 1920 and lines["/Media/Sub"]["folder"] is True,
          "video and folder", lines)


def case_media_long(f):
    """--long: size, time and a media column, aligned by columns in a pipe,
    for list, list -R and search."""
    p = f.run("list", "--long", "/Media")
    expect(p, EXIT_OK)
    lines = p.out.splitlines()
    check(lines[0].split() == ["KIND", "SIZE", "MODIFIED", "MEDIA", "NAME"], "header", p.out)
    check(lines[-1] == "7 entries (1 folder, 6 files)", "count line", p.out)
    rows = {l.split("  ")[-1].strip(): l for l in lines[1:-1]}
    check(re.match(r"^file +29\.6 MiB  2024-03-05 07:08  3:45 Ada \u2013 Intro +01 Intro\.FLAC$",
                   rows["01 Intro.FLAC"]), "audio row", rows["01 Intro.FLAC"])
    check(re.match(r"^file +4\.0 GiB  2024-03-05 07:08  1:30:00 1920\u00d71080 +Film\.mkv$",
                   rows["Film.mkv"]), "video row", rows["Film.mkv"])
    check(" 4000\u00d73000 " in rows["photo.jpg"], "image row", rows["photo.jpg"])
    # 40 columns at most: the long one is cut with an ellipsis, and the
    # artist's direction override is escaped.
    cell = "1:00 Bob\\u202e \u2013 " + LONG_TITLE
    cell = cell[:39] + "\u2026"
    check("  %s  long.ogg" % cell in rows["long.ogg"], "cut to 40 columns", rows["long.ogg"])
    starts = {name_column(l, n) for n, l in rows.items()}
    check(len(starts) == 1 and name_column(lines[0], "NAME") in starts, "names aligned", p.out)

    p = f.run("list", "-R", "-l", "/Media")
    expect(p, EXIT_OK)
    lines = p.out.splitlines()
    check(len(lines) == 9, "every entry beneath", p.out)
    by_path = {l.split("  ")[-1].strip(): l for l in lines}
    check(re.match(r"^ +100 B  2024-03-05 07:08  1:02:05 Cy \u2013 Deep +/Media/Sub/deep\.mp3$",
                   by_path["/Media/Sub/deep.mp3"]), "deep row", p.out)
    check(len({name_column(l, path) for path, l in by_path.items()}) == 1, "paths aligned",
          p.out)
    check(by_path["/Media/Sub/"].startswith("  "), "folder row", p.out)
    p = f.run("search", "--long", "deep")
    expect(p, EXIT_OK)
    check(p.out == by_path["/Media/Sub/deep.mp3"] + "\n", "search row as the walk's", p.out)


def shortcut_drive(f):
    """Shortcuts to a shared folder and file on drv2, one to a drive that
    refuses (403) and one whose item is gone (404)."""
    m = f.mock
    music, song, single = run_e2e.shared_drive(m)
    links = {"music": m.shortcut(m.root, "Shared Music", "drv2", music),
             "file": m.shortcut(m.root, "Linked.flac", "drv2", single)}
    m.add_drive("locked-drive", Node("r", folder=True))
    m.fail["/drives/locked-drive"] = 403
    return music, song, single, links


def broken(m, name, drive_id):
    target = Node("x", folder=True)
    target.id = name.upper() + "!1"
    return m.shortcut(m.root, name, drive_id, target)


def case_shortcuts_through(f):
    """A shortcut folder lists as a folder and what lies beneath streams,
    through the command and the gateway; the file shortcut is the file; a
    broken one in list -R is one line and the walk goes on; the bearer
    token goes to the Graph origin only."""
    m = f.mock
    music, song, single, links = shortcut_drive(f)
    song_url = "https://download.e2e.invalid/%s?tempauth=e2e-%s" % (
        urllib.parse.quote(song.id), song.id.split("!")[1])

    p = f.run("list", "/")
    expect(p, EXIT_OK)
    check(re.search(r"^dir +0 B .* Shared Music$", p.out, re.M), "a folder row", p.out)
    check(re.search(r"^file +99 B .* Linked\.flac$", p.out, re.M), "a file row", p.out)
    # The file shortcut lists with the shared file's size and streams under
    # its own name, the one its path ends in, as the shared file.
    p = f.run("--json", "list", "/")
    expect(p, EXIT_OK)
    linked = [e for e in json.loads(p.out)["items"] if e["path"] == "/Linked.flac"]
    check(len(linked) == 1 and linked[0]["size"] == 99 and not linked[0]["folder"] and
          linked[0]["id"] == links["file"].id, "the linked file's entry", p.out)
    p = f.run("--json", "stream", "/Linked.flac")
    expect(p, EXIT_OK)
    got = json.loads(p.out)
    check((got["id"], got["name"], got["size"]) ==
          ("drives/drv2/items/" + single.id, "Linked.flac", 99), "the linked file's locator", p.out)
    # Listed by the shortcut's own id, the shared folder's entries come back.
    p = f.run("--json", "list", links["music"].id)
    expect(p, EXIT_OK)
    check([e["name"] for e in json.loads(p.out)["items"]] == ["Album"], "listed by id", p.out)
    # Looked up, by path or id, it is a folder too.
    for arg in ("/Shared Music", links["music"].id):
        p = f.run("stream", arg)
        expect(p, run_e2e.EXIT_NOT_FOUND)
        check(p.err.endswith(": NIMBUS_E_IS_FOLDER (-11): %s is a folder, not a playable file\n"
                             % arg), "a folder to stream", p.err)
    p = f.run("stream", "/Shared Music/Album/01.flac")
    expect(p, EXIT_OK)
    check(p.out.splitlines()[0] == song_url, "streams from the shared drive", p.out)
    p = f.run("--json", "stream", "drives/drv2/items/" + song.id)
    expect(p, EXIT_OK)
    check(json.loads(p.out)["url"] == song_url, "streams by the entry's id", p.out)

    # A walk over two broken shortcuts, one at a time: one line each, the
    # rest listed, and exit status 1 for the incomplete listing.
    for name, drive_id, why in (("Locked", "locked-drive", "access denied"),
                                ("Gone", "gone-drive", "not found")):
        link = broken(m, name, drive_id)
        p = f.run("list", "-R", "/")
        m.root.children.remove(link)
        expect(p, EXIT_OTHER)
        check(sorted(p.out.splitlines()) ==
              sorted(["/%s/" % name, "/Linked.flac", "/Media/", "/Media/01 Intro.FLAC",
                      "/Media/Film.mkv", "/Media/Sub/", "/Media/Sub/deep.mp3", "/Media/Sub/talk.m4a", "/Media/long.ogg",
                      "/Media/notes", "/Media/photo.jpg", "/Media/plain.mp3", "/Shared Music/",
                      "/Shared Music/Album/", "/Shared Music/Album/01.flac"]),
              "every other entry once", p.out)
        check(p.err == "nimbus: list -R /: NIMBUS_E_PARTIAL (-17): 1 folder left out: shortcut "
              "/%s is broken: the shared item is gone or no longer shared with you (%s)\n"
              % (name, why), "one line naming " + name, p.err)

    g = f.serve()
    status, _, page = got = g.get("/")
    check(status == 200 and ("Shared Music/", "/Shared%20Music/") in links_of(page) and
          ("Linked.flac", "/Linked.flac?view=1") in links_of(page) and "99 B" in page,
          "the root page, the linked file's size on it", page)
    status, headers, _ = g.get("/Shared%20Music")
    check(status == 302 and headers.get("location") == "/Shared%20Music/",
          "the shortcut's path is a folder's", status, headers)
    status, _, page = g.get("/Shared%20Music/")
    check(status == 200 and ("Album/", "/Shared%20Music/Album/") in links_of(page),
          "the shortcut's page shows its folder", page)
    status, _, page = g.get("/Shared%20Music/?format=m3u&recursive=1")
    check(status == 200 and [l for l in page.splitlines() if not l.startswith("#")] ==
          [g.url("/Shared%20Music/Album/01.flac")], "the shortcut's playlist, recursive", page)
    status, headers, _ = g.get("/Shared%20Music/Album/01.flac")
    check(status == 302 and headers.get("location") == song_url, "302 to the shared file",
          status, headers)
    status, headers, _ = g.get("/Linked.flac")
    check(status == 302 and headers.get("location") ==
          "https://download.e2e.invalid/%s?tempauth=e2e-%s" % (
              urllib.parse.quote(single.id), single.id.split("!")[1]),
          "302 to the linked file", status, headers)
    check(g.stop() == 0, "stopped", g.log())

    carried = {(r["host"], r["path"].split("/items/")[0]) for r in m.requests
               if r["authorization"]}
    check(carried and all(host == mock_graph.GRAPH_HOST for host, _ in carried),
          "the token only to Graph", carried)
    check(any("/v1.0/drives/drv2" == path for _, path in carried), "the shared drive asked",
          carried)


CASES = cases_in(globals())


def main():
    return main_of(CASES, lambda a: Fixture(os.path.abspath(a.nimbus), os.path.abspath(a.library)),
                   [("--library", "")])


if __name__ == "__main__":
    sys.exit(main())
