#!/usr/bin/env python3
"""End-to-end cases for the library's change feed call, nimbus_drive_changes,
through the shared library (ctypes) with a transport table of this script's
own over real HTTPS to the mock, whose feed leaves folder paths out and sends
items before their folders, as the service does.
Usage: run_changes.py --nimbus PATH --library LIBNIMBUS CASE...
"""

import ctypes
import os
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mock_graph  # noqa: E402
from mock_graph import Node  # noqa: E402
from ctypes_host import ENTRY_FN, IO, LIBC, Transport  # noqa: E402
from run_e2e import Fixture, cases_in, check, main_of  # noqa: E402


def library(path):
    lib = ctypes.CDLL(path)
    lib.nimbus_drive_open.argtypes = [ctypes.c_char_p, ctypes.POINTER(IO),
                                      ctypes.POINTER(ctypes.c_void_p)]
    lib.nimbus_drive_changes.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p,
                                         ENTRY_FN, ctypes.c_void_p,
                                         ctypes.POINTER(ctypes.c_void_p)]
    lib.nimbus_drive_close.argtypes = [ctypes.c_void_p]
    lib.nimbus_last_error.restype = ctypes.c_char_p
    return lib


def changes(lib, drive, cursor):
    """(entries as (deleted, id, path)), next cursor."""
    got = []

    def on_entry(ctx, e):
        e = e.contents
        got.append((e.deleted, e.id.decode(), e.path.decode() if e.path else None))
        return 0

    fn = ENTRY_FN(on_entry)
    out = ctypes.c_void_p()
    rc = lib.nimbus_drive_changes(drive, None, cursor, fn, None, ctypes.byref(out))
    check(rc == 0, "nimbus_drive_changes answered %d: %s" % (rc, lib.nimbus_last_error()))
    nxt = ctypes.string_at(out.value)
    LIBC.free(out.value)
    return got, nxt


def item_lookups(m):
    """The item-by-id requests made, by id."""
    ids = []
    for r in m.requests:
        path = urllib.parse.urlsplit(r["path"]).path
        head = mock_graph.GRAPH_PREFIX + "/items/"
        if path.startswith(head) and "/" not in path[len(head):]:
            ids.append(urllib.parse.unquote(path[len(head):]))
    return ids


def case_changes_paths(f):
    """Against a feed without folder paths, items before their folders and
    pages of three: everything now with full paths; then exactly a rename,
    an addition (both in an unchanged folder) and a deletion (in another),
    each with its full path, for one look-up per distinct folder."""
    lib = library(f.options.library)
    m = f.mock
    m.delta_paths = False
    m.delta_order = "children_first"
    m.delta_page = 3
    m.delta_deleted_parent = True
    m.root_facet = True
    music = m.find_path("/Music")
    cafe = m.find_path("/Music/Café & Co")
    gone = cafe.add(Node("02 Outro.flac", size=9))
    m._number(m.root)
    io = Transport(f.mock.port, f.ca)
    settings = ('{"ClientId":"%s","ClientSecret":"%s","refresh_token":"rt-0"}'
                % (mock_graph.CLIENT_ID, mock_graph.CLIENT_SECRET)).encode()
    drive = ctypes.c_void_p()
    check(lib.nimbus_drive_open(settings, ctypes.byref(io.io), ctypes.byref(drive)) == 0,
          "nimbus_drive_open failed: %s" % lib.nimbus_last_error())
    try:
        m.requests.clear()
        everything, cursor = changes(lib, drive, None)
        want = {(0, n.id, m.path_of(n)) for n in m.by_id.values()
                if n is not m.root and n.remote is None}
        check(set(everything) == want and len(everything) == len(want),
              "everything now, with full paths",
              sorted(set(everything) ^ want, key=str)[:20])
        # The root's feed does not hold the root: its one unnamed folder.
        check(item_lookups(m) == [m.root.id], "one look-up, of the root", item_lookups(m))

        song = m.find_path("/Music/a b.mp3")
        song.name = "renamed.mp3"
        added = music.add(Node("new.flac", size=3))
        m._number(m.root)
        cafe.children.remove(gone)
        m.requests.clear()
        got, _ = changes(lib, drive, cursor)
        check(sorted(got) == sorted([(0, song.id, "/Music/renamed.mp3"),
                                     (0, added.id, "/Music/new.flac"),
                                     (1, gone.id, "/Music/Café & Co/02 Outro.flac")]),
              "exactly the rename, the addition and the deletion, with their paths", got)
        check(sorted(item_lookups(m)) == sorted([music.id, cafe.id]),
              "one look-up per distinct folder", item_lookups(m))
    finally:
        lib.nimbus_drive_close(drive)


class ChangesFixture(Fixture):
    def __init__(self, options):
        super().__init__(options.nimbus)
        self.options = options


if __name__ == "__main__":
    sys.exit(main_of(cases_in(globals()), ChangesFixture, options=[("--library", None)]))
