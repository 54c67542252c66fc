#!/usr/bin/env python3
"""End-to-end cases for `nimbus list -R` by both roads of the walk: folder
listings, and the folder's change feed as the service gives it (no folder
paths in its items, items before their folders, pages of a few items).
Usage: run_walk.py --nimbus PATH CASE...
"""

import json
import os
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mock_graph import Node  # noqa: E402
from run_e2e import EXIT_AUTH, EXIT_OK, EXIT_OTHER, Fixture, cases_in, check, expect, library_tree, main_of  # noqa: E402


def library(f):
    """/Library: 3 artists x 2 albums x 3 tracks and a cover, a shortcut to a
    shared album on a second drive, and a shortcut whose drive refuses."""
    m = f.mock
    want = library_tree(m)
    lib = m.find_path("/Library")
    m._number(m.root)
    shared = Node("remote-root", folder=True)
    live = shared.add(Node("Live", folder=True))
    live.add(Node("encore.flac", size=7))
    m.add_drive("drv2", shared)
    f.shortcuts = [m.shortcut(lib.children[0], "Live", "drv2", live).id]
    want += ["/Library/Artist 0/Live/", "/Library/Artist 0/Live/encore.flac"]
    gone = Node("x", folder=True)
    gone.id = "GONE!1"
    f.shortcuts.append(m.shortcut(lib, "Gone", "gone-drive", gone).id)
    m.fail["/drives/gone-drive"] = 403
    want.append("/Library/Gone/")
    m.delta_paths = False
    m.delta_order = "children_first"
    m.delta_page = 4
    return sorted(want)


def walk(f, method, *args):
    f.write_settings({"ClientId": "e2e-client", "ClientSecret": "e2e-secret",
                      "refresh_token": "rt-0", "WalkMethod": method})
    f.mock.requests.clear()
    return f.run("list", "-R", *args, "/Library")


def case_walk_roads(f):
    """Both roads give every entry once with its full path, the shared
    album's too, whether the service answers a shortcut's own children with
    an empty page (as Graph does) or with 404: the shortcuts' facets lead to
    their shared folders, their own ids are never listed. The broken
    shortcut is named in one line, the rest goes on and the exit status
    says the listing is incomplete; the feed road reads the feed and lists
    only the shortcuts' folders."""
    want = library(f)
    broken = ("(-17): 1 folder left out: shortcut /Library/Gone is broken: the shared item is "
              "gone or no longer shared with you (access denied)\n")
    roads = [(m, o) for o in (False, True) for m in ("listing", "changes", "auto")]
    for method, old_service in roads:
        f.mock.shortcut_404 = old_service
        p = walk(f, method)
        expect(p, EXIT_OTHER)
        check(sorted(p.out.splitlines()) == want, method + ": every entry once", p.out)
        check(p.err.startswith("nimbus: list -R /Library: ") and p.err.endswith(broken) and
              p.err.count("\n") == 1, method + ": the broken shortcut in one line", p.err)
        feed = f.graph_requests("/delta")
        listed = [urllib.parse.unquote(r["path"]) for r in f.graph_requests("/children")]
        check(not any(i in p for i in f.shortcuts for p in listed),
              method + ": no shortcut's own children asked", old_service, listed)
        if method == "listing":
            check(not feed and len(listed) >= 10, "listing: no feed", listed)
            continue
        # The feed of the folder: itself and every item on its own drive.
        own = len(want) - 1 + 1
        check(len(feed) == -(-own // 4) and all("token=" not in r["target"].replace("skiptoken", "") for r in feed),
              method + ": the feed's pages once", [r["target"] for r in feed])
        check(all("/drives/" in p for p in listed), method + ": only the shortcuts listed", listed)


def case_walk_by_id(f):
    """A folder given by id: both roads give every entry the path the
    service's answers place it at, as when it is given by path."""
    want = library(f)
    ident = f.mock.find_path("/Library").id
    for method in ("listing", "changes"):
        f.write_settings({"ClientId": "e2e-client", "ClientSecret": "e2e-secret",
                          "refresh_token": "rt-0", "WalkMethod": method})
        p = f.run("list", "-R", ident)
        expect(p, EXIT_OTHER)
        check(sorted(p.out.splitlines()) == want, method + ": every path by id", p.out)


def case_walk_depth(f):
    """Depth counts from the walked folder on both roads; a shallow walk
    lists rather than reading the whole feed."""
    want = library(f)
    for method in ("listing", "changes"):
        p = walk(f, method, "--max-depth", "2")
        expect(p, EXIT_OTHER)
        two = [w for w in want if len(w.rstrip("/").split("/")) - 2 <= 2]
        check(sorted(p.out.splitlines()) == two,
              method + ": two levels", p.out)
    p = walk(f, "auto", "--max-depth", "2")
    expect(p, EXIT_OTHER)
    check(not f.graph_requests("/delta"), "auto: no feed for two levels",
          [r["target"] for r in f.mock.requests])


def case_walk_deep_chain(f):
    """A change feed whose parent chain is far deeper than any real path:
    the chain is listed down to the bound (256 levels) and no further, the
    rest of the drive in full, the output stays small, and the exit status
    and one line say entries were left out."""
    m = f.mock
    depth = 5000
    value = [{"id": "M", "name": "Music", "folder": {}, "parentReference": {"id": m.root.id}},
             {"id": "s", "name": "song.mp3", "file": {}, "parentReference": {"id": "M"}}]
    for i in range(1, depth + 1):
        value.append({"id": "C%d" % i, "name": "a", "folder": {},
                      "parentReference": {"id": m.root.id if i == 1 else "C%d" % (i - 1)}})
    value.append({"id": "late", "name": "late.mp3", "file": {},
                  "parentReference": {"id": m.root.id}})
    m.delta_items = value
    m.delta_page = 1000
    f.write_settings({"ClientId": "e2e-client", "ClientSecret": "e2e-secret",
                      "refresh_token": "rt-0"})
    p = f.run("list", "-R", "/")
    expect(p, EXIT_OTHER)
    chain = ["/a" * k + "/" for k in range(1, 257)]
    check(sorted(p.out.splitlines()) == sorted(chain + ["/Music/", "/Music/song.mp3", "/late.mp3"]),
          "the chain to the bound and the rest of the drive", p.out[:2000])
    check(len(p.out) < 80000, "small output", len(p.out))
    check(p.err.startswith("nimbus: list -R /: ") and p.err.count("\n") == 1 and
          ("(-17): %d entries left out past 256 levels or 2048 bytes of path, the first in %s...\n"
           % (depth - 256, "/a" * 100)) in p.err, "one line says what was left out", p.err)
    check(len(f.graph_requests("/delta")) == -(-len(value) // 1000), "the feed once",
          [r["target"] for r in f.mock.requests])


def case_walk_loop(f):
    """By listings, a folder that lists itself and one that lists its own
    folder are each listed once; the walk goes on, names the first loop and
    says the listing is incomplete."""
    m = f.mock
    loop_a = m.root.add(Node("A", folder=True))
    loop_b = loop_a.add(Node("B", folder=True))
    loop_b.add(Node("b.mp3", size=3))
    itself = m.root.add(Node("X", folder=True))
    m._number(m.root)
    loop_b.children.append(loop_a)   # B lists A, its own folder
    itself.children.append(itself)   # X lists X
    f.write_settings({"ClientId": "e2e-client", "ClientSecret": "e2e-secret",
                      "refresh_token": "rt-0", "WalkMethod": "listing", "WalkConcurrency": 1})
    p = f.run("list", "-R", "/")
    expect(p, EXIT_OTHER)
    lines = p.out.splitlines()
    check(len(lines) == len(set(lines)) == 1014 and
          {"/A/B/", "/A/B/A/", "/A/B/b.mp3", "/X/X/", "/Music/a b.mp3"} <= set(lines),
          "every entry once, the rest of the drive too", p.out[-2000:])
    check(p.err.endswith("(-17): 2 folders listed before not listed again (a loop): /X/X\n")
          and p.err.count("\n") == 1, "the first loop named", p.err)
    listed = [urllib.parse.unquote(r["path"]) for r in f.graph_requests("/children")]
    check(len(listed) == len(set(listed)) == 18, "each folder listed once", listed)


def case_walk_bad_utf8(f):
    """Items whose names are not well-formed UTF-8 (an escaped lone
    surrogate, raw bytes) spoil neither their folder's listing nor the
    whole-drive walk by the change feed: the names come repaired with
    U+FFFD, every other entry as before."""
    m = f.mock
    want = ["/Library/"] + library_tree(m)
    m.raw_bytes = {b"@FF@": b"\xff", b"@C3@": b"\xc3"}
    album = m.find_path("/Library/Artist 1/Album 0")
    album.add(Node("bad\udcff.flac", size=3))
    album.add(Node("raw@FF@@C3@.flac", size=4))
    odd = album.add(Node("dir\ud800", folder=True))
    odd.add(Node("x.flac", size=5))
    here = "/Library/Artist 1/Album 0/"
    want += [here + "bad\ufffd.flac", here + "raw\ufffd\ufffd.flac", here + "dir\ufffd/",
             here + "dir\ufffd/x.flac"]
    m._number(m.root)
    m.delta_paths = False
    m.delta_order = "children_first"
    m.delta_page = 4

    def below(node, path):
        for c in node.children:
            yield path + c.name + ("/" if c.folder else "")
            if c.folder:
                yield from below(c, path + c.name + "/")
    others = [p for p in below(m.root, "/") if not p.startswith("/Library")]

    p = f.run("list", "-R", "/")
    expect(p, EXIT_OK)
    check(f.graph_requests("/delta"), "the change feed read")
    check(sorted(p.out.splitlines()) == sorted(want + others), "every entry once", p.out)
    p = f.run("--json", "list", here.rstrip("/"))
    expect(p, EXIT_OK)
    names = sorted(i["name"] for i in json.loads(p.out)["items"])
    check(names == sorted(["00.flac", "01.flac", "02.flac", "cover.jpg", "bad\ufffd.flac",
                           "raw\ufffd\ufffd.flac", "dir\ufffd"]), "the folder listed", names)


def case_walk_vault(f):
    """A locked Personal Vault (its listing refused with 400 invalidRequest)
    is left out with one line naming it on the listing road, and the walk
    goes on; the change feed does not give its entries and nothing fails.
    Listing the vault itself says it is locked, not the raw answer."""
    m = f.mock
    want = library_tree(m)
    lib = m.find_path("/Library")
    vault = lib.add(Node("Persönlicher Tresor", folder=True))
    vault.locked = True
    vault.add(Node("passport.jpg", size=9))
    m._number(m.root)
    want = sorted(want + ["/Library/Persönlicher Tresor/"])
    for method in ("listing", "changes"):
        p = walk(f, method)
        check(sorted(p.out.splitlines()) == want, method + ": everything but the vault's entries",
              p.out)
        if method == "listing":
            expect(p, EXIT_OTHER)
            check(p.err.count("\n") == 1 and "(-17): 1 folder left out: /Library/Persönlicher "
                  "Tresor is locked" in p.err and "ObjectHandle" not in p.err,
                  "listing: the vault named in one line", p.err)
        else:
            expect(p, EXIT_OK)
            check(f.graph_requests("/delta") and not f.graph_requests("/children"),
                  "changes: the feed alone", [r["target"] for r in m.requests])
    p = f.run("list", "/Library/Persönlicher Tresor")
    expect(p, EXIT_AUTH)
    check("is locked" in p.err and "{" not in p.err and "login" not in p.err,
          "the vault itself: locked, no raw answer", p.err)


CASES = cases_in(globals())


def main():
    return main_of(CASES, lambda a: Fixture(os.path.abspath(a.nimbus)))


if __name__ == "__main__":
    sys.exit(main())
