#!/usr/bin/env python3
"""Network benchmark of the `nimbus` command: a 10000-entry folder listed
from the end-to-end mock Graph (tests/e2e/mock_graph.py, real HTTPS) through
a TCP proxy that adds a round-trip time; then `list -R` of a tree of 10000
files in 110 folders (10 x 10 x 100) beside `rclone lsjson -R` of the same
tree in the same run (bench/rclone.py; rclone starts from its refresh token).

The proxy delays every chunk by RTT/2 in each direction, keeping the order,
and holds a new connection's first bytes one more RTT, as the TCP handshake
would. For each RTT and page size it prints the wall time, the requests and
TCP connections the mock saw, and the lower bound: the round trips a client
cannot avoid, one per request plus two per connection (TCP, TLS 1.3), times
the RTT, for one token and one Graph connection.

The tree is walked by each road of the walk: the listing road with 4, 8
and 16 folders listed at once, the change-feed road, and the road the
command chooses by itself. Their bounds: the listing road's first listing
and then its 110 folders N at a time, ceil(110 / N) round trips more; the
change feed's one look-up of the folder and its pages of 1000, one after
another (11); rclone's two look-ups and its 111 folders 8 at a time. Each
row also shows the most requests in flight at once (from the mock's
request times, each widened by the RTT).

Usage: network.py --nimbus PATH [--before PATH] [--short] [--check]
  --before PATH  also run another build of the command (default page size only)
  --short        RTT 0 and 20 ms only; the tree at 20 ms, the command's own
                 road and rclone only
  --tree         the tree alone
  --check        exit 1 when a connection or request target is missed (the
                 wall-time target is reported, not enforced: shared machines)
"""

import argparse
import json
import math
import os
import queue
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import mock_graph  # noqa: E402
from mock_graph import Node  # noqa: E402
import rclone  # noqa: E402

ENTRIES = 10000
FOLDER = "/Big"
# The trees walked: folders, folders in each, files in each.
TREES = {"/Tree": (10, 10, 100), "/Large": (100, 10, 100)}
FEED_PAGE = 1000


def folders_of(shape):
    return shape[0] + shape[0] * shape[1]


def entries_of_tree(shape):
    return folders_of(shape) + shape[0] * shape[1] * shape[2]


class LatencyProxy:
    """127.0.0.1:port -> 127.0.0.1:upstream with RTT/2 added each way."""

    def __init__(self, upstream, rtt):
        self.upstream = upstream
        self.half = rtt / 2.0
        self.rtt = rtt
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self):
        self.closed = True
        self.listener.close()

    def _accept(self):
        while not self.closed:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            accepted = time.monotonic()
            server = socket.create_connection(("127.0.0.1", self.upstream))
            for s in (client, server):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            # The client's first bytes could leave only after the handshake.
            self._pipe(client, server, accepted + self.rtt)
            self._pipe(server, client, 0)

    def _pipe(self, src, dst, not_before):
        chunks = queue.Queue()

        def read():
            while True:
                try:
                    data = src.recv(65536)
                except OSError:
                    data = b""
                chunks.put((max(time.monotonic(), not_before) + self.half, data))
                if not data:
                    return

        def write():
            while True:
                due, data = chunks.get()
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                if not data:
                    try:
                        dst.shutdown(socket.SHUT_WR)
                    except OSError:
                        pass
                    return
                try:
                    dst.sendall(data)
                except OSError:
                    return

        threading.Thread(target=read, daemon=True).start()
        threading.Thread(target=write, daemon=True).start()


def drive():
    root = Node("root", folder=True)
    big = root.add(Node(FOLDER[1:], folder=True))
    for i in range(ENTRIES):
        big.add(Node("track-%05d.mp3" % i, size=1000 + i))
    for top, shape in TREES.items():
        tree = root.add(Node(top[1:], folder=True))
        for a in range(shape[0]):
            artist = tree.add(Node("Artist %02d" % a, folder=True))
            for b in range(shape[1]):
                album = artist.add(Node("Album %02d" % b, folder=True))
                for c in range(shape[2]):
                    album.add(Node("%03d track.flac" % c, size=4000 + c))
    return root


def bound_round_trips(page_size):
    pages = math.ceil(ENTRIES / page_size)
    return 2 * 2 + 1 + pages  # two connections, the token request, the pages


# Pages are made once and kept across runs: the mock's own work per page
# would otherwise weigh more than the network being measured.
ROOT = drive()
PAGES = {}
FEEDS = ({}, {})  # the mock's change-feed answers, kept across runs the same way


def run_nimbus(nimbus, tmp, ca, port, extra, args):
    """The command with settings holding extra, both services reached
    through port: its result and wall time, or SystemExit when it failed."""
    settings = os.path.join(tmp, "settings.json")
    with open(settings, "w") as f:
        json.dump(dict({"ClientId": mock_graph.CLIENT_ID, "ClientSecret": mock_graph.CLIENT_SECRET,
                        "refresh_token": "rt-0"}, **extra), f)
    os.chmod(settings, 0o600)
    cmd = [nimbus, "--cacert", ca, "--settings", settings]
    for host in (mock_graph.GRAPH_HOST, mock_graph.LOGIN_HOST):
        cmd += ["--connect-to", "%s:443:127.0.0.1:%d" % (host, port)]
    cmd += args
    start = time.monotonic()
    p = subprocess.run(cmd, capture_output=True, timeout=600)
    wall = time.monotonic() - start
    if p.returncode != 0:
        raise SystemExit("%s failed (%d): %s" % (" ".join(cmd), p.returncode,
                                                p.stderr.decode(errors="replace")))
    return p, wall


def run_one(nimbus, tmp, ca, cert, key, rtt, page_size):
    mock = mock_graph.MockGraph(cert, key, ROOT)
    mock.page_cache = PAGES
    mock.add_refresh_token("rt-0")
    mock.start()
    proxy = LatencyProxy(mock.port, rtt)
    args = ["--page-size", str(page_size)] if page_size is not None else []
    try:
        p, wall = run_nimbus(nimbus, tmp, ca, proxy.port, {}, args + ["--json", "list", FOLDER])
        listed = len(json.loads(p.stdout)["items"])
        if listed != ENTRIES:
            raise SystemExit("listed %d entries, not %d" % (listed, ENTRIES))
        graph = sum(1 for r in mock.requests if r["method"] == "GET")
        return {"wall": wall, "requests": len(mock.requests), "graph": graph,
                "connections": mock.connections}
    finally:
        proxy.close()
        mock.stop()


def tree_mock(cert, key):
    mock = mock_graph.MockGraph(cert, key, ROOT)
    mock.page_cache = PAGES
    mock.delta_runs, mock.delta_keys = FEEDS
    mock.delta_page = FEED_PAGE
    mock.delta_paths = False  # as the service answers
    mock.add_refresh_token("rt-0")
    mock.start()
    return mock


def tally(mock, wall, rtt, listed):
    return {"wall": wall, "requests": len(mock.requests), "listed": listed,
            "graph": sum(1 for r in mock.requests if r["method"] == "GET"),
            "connections": mock.connections,
            "in_flight": rclone.max_in_flight(mock.requests, rtt)}


def run_tree(nimbus, tmp, ca, cert, key, rtt, extra, top):
    """nimbus list -R --json of a tree with extra settings."""
    mock = tree_mock(cert, key)
    proxy = LatencyProxy(mock.port, rtt)
    try:
        p, wall = run_nimbus(nimbus, tmp, ca, proxy.port, extra, ["--json", "list", "-R", top])
        paths = [e["path"] for e in entries_of(p.stdout)]
        check_tree(paths, top)
        r = tally(mock, wall, rtt, len(paths))
        r["bytes"] = sum(q.get("bytes", 0) for q in mock.requests)
        return r
    finally:
        proxy.close()
        mock.stop()


def run_rclone(tmp, ca, cert, key, rtt, top):
    """rclone lsjson -R of a tree, from its refresh token."""
    mock = tree_mock(cert, key)
    proxy = LatencyProxy(mock.port, rtt)
    rc = rclone.Rclone(tmp, ca, proxy.port)
    try:
        r = rc.lsjson(top)
        paths = ["%s/%s" % (top, e["Path"]) for e in r["items"]]
        check_tree(paths, top)
        out = tally(mock, r["wall"], rtt, len(paths))
        out["bytes"] = sum(q.get("bytes", 0) for q in mock.requests)
        return out
    finally:
        rc.close()
        proxy.close()
        mock.stop()


def entries_of(out):
    """The command's JSON: one document with "items", or one entry a line."""
    text = out.decode()
    try:
        doc = json.loads(text)
        return doc["items"] if isinstance(doc, dict) else doc
    except ValueError:
        return [json.loads(line) for line in text.splitlines() if line.strip()]


def check_tree(paths, top):
    shape = TREES[top]
    want = set()
    for a in range(shape[0]):
        artist = "%s/Artist %02d" % (top, a)
        want.add(artist)
        for b in range(shape[1]):
            album = "%s/Album %02d" % (artist, b)
            want.add(album)
            want.update("%s/%03d track.flac" % (album, c) for c in range(shape[2]))
    if len(paths) != len(want) or set(paths) != want:
        raise SystemExit("the walk gave %d entries (%d distinct), not the tree's %d" % (
            len(paths), len(set(paths)), len(want)))


def tree_bound(road, rtt_ms, shape):
    """Round trips no client avoids on a road, times the RTT: two
    connections (TCP, TLS 1.3) and the token request first. The listing
    road without a number in the settings is bound as at 16 at once."""
    first = 2 * 2 + 1
    if road.startswith("list"):
        n = int(road[len("list"):] or 16)
        trips = first + 1 + math.ceil(folders_of(shape) / n)
    elif road == "feed":
        trips = first + 1 + math.ceil((entries_of_tree(shape) + 1) / FEED_PAGE)
    else:  # rclone: the drive's root, the folder, then 8 folders at a time
        trips = first + 2 + 1 + math.ceil(folders_of(shape) / 8)
    return trips * rtt_ms / 1000.0


# The walk's roads and concurrency as settings; "list" leaves the number of
# folders at once to the library, "auto" the road too.
ROADS = [("list4", {"WalkMethod": "listing", "WalkConcurrency": 4}),
         ("list16", {"WalkMethod": "listing", "WalkConcurrency": 16}),
         ("list", {"WalkMethod": "listing"}),
         ("feed", {"WalkMethod": "changes"}),
         ("auto", {})]


def tree_case(nimbus, tmp, ca, cert, key, short, top):
    """A tree walked by every road and by rclone, same run, same RTT."""
    rtt_ms = 20 if short else 50
    shape = TREES[top]
    roads = [r for r in ROADS if r[0] == "auto"] if short else ROADS
    if top != "/Tree":
        roads = [r for r in roads if r[0] in ("list", "feed", "auto")]
    have_rclone = rclone.find() is not None
    if not have_rclone:
        print("rclone is not installed: the tree is walked by the command alone")
    for _, extra in roads:  # fills the page cache
        run_tree(nimbus, tmp, ca, cert, key, 0, extra, top)
    if have_rclone:
        run_rclone(tmp, ca, cert, key, 0, top)
        print("rclone:", rclone.version())
    print()
    print("%s: %d files in %d folders" % (top, entries_of_tree(shape) - folders_of(shape),
                                         folders_of(shape)))
    print("%-7s %6s %8s %8s %9s %8s %6s %9s %9s %7s %7s" % (
        "road", "RTT ms", "entries", "wall s", "requests", "MB", "conns", "in flight",
        "bound s", "wall/bd", "/rclone"))
    rows = {}
    for name, extra in roads + ([("rclone", None)] if have_rclone else []):
        if extra is None:
            rows[name] = run_rclone(tmp, ca, cert, key, rtt_ms / 1000.0, top)
        else:
            rows[name] = run_tree(nimbus, tmp, ca, cert, key, rtt_ms / 1000.0, extra, top)
    for name, _ in roads + ([("rclone", None)] if have_rclone else []):
        r = rows[name]
        bound = tree_bound("feed" if name == "auto" else name, rtt_ms, shape)
        ratio = "%.2f" % (r["wall"] / rows["rclone"]["wall"]) if have_rclone else "-"
        print("%-7s %6d %8d %8.2f %9d %8.1f %6d %9d %9.2f %7.2f %7s" % (
            name, rtt_ms, r["listed"], r["wall"], r["requests"], r["bytes"] / 1e6,
            r["connections"], r["in_flight"], bound, r["wall"] / bound, ratio), flush=True)
    if have_rclone:
        for road in ("list", "feed", "auto"):
            if road in rows:
                print("%s: %.2f x rclone's time (target at most 0.6)" % (
                    road, rows[road]["wall"] / rows["rclone"]["wall"]))
    print("bound of auto: the change feed's (a personal drive)")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--nimbus", required=True)
    ap.add_argument("--before")
    ap.add_argument("--short", action="store_true")
    ap.add_argument("--check", action="store_true")
    ap.add_argument("--tree", action="store_true")
    a = ap.parse_args()
    if a.tree:
        with tempfile.TemporaryDirectory(prefix="nimbus-bench-") as tmp:
            ca, cert, key = mock_graph.make_certificates(tmp)
            for top in TREES if not a.short else ("/Tree",):
                tree_case(os.path.abspath(a.nimbus), tmp, ca, cert, key, a.short, top)
        return 0
    rtts = (0, 20) if a.short else (0, 20, 50)
    runs = []
    if a.before:
        runs.append(("before", a.before, None, 200))
    runs += [("after", a.nimbus, 200, 200), ("after", a.nimbus, None, 1000)]
    missed = []
    with tempfile.TemporaryDirectory(prefix="nimbus-bench-") as tmp:
        ca, cert, key = mock_graph.make_certificates(tmp)
        for label, binary, flag, page in runs[-2:]:  # fills the page cache
            run_one(os.path.abspath(binary), tmp, ca, cert, key, 0, flag)
        print("%-7s %-6s %6s %8s %9s %5s %6s %9s %7s" % (
            "build", "page", "RTT ms", "wall s", "requests", "graph", "conns", "bound s",
            "wall/bd"))
        for rtt_ms in rtts:
            for label, binary, flag, page in runs:
                r = run_one(os.path.abspath(binary), tmp, ca, cert, key, rtt_ms / 1000.0, flag)
                bound = bound_round_trips(page) * rtt_ms / 1000.0
                ratio = "%.2f" % (r["wall"] / bound) if bound else "-"
                print("%-7s %-6s %6d %8.2f %9d %5d %6d %9.2f %7s" % (
                    label, "%d%s" % (page, "" if flag else "*"), rtt_ms, r["wall"],
                    r["requests"], r["graph"], r["connections"], bound, ratio), flush=True)
                if label != "after":
                    continue
                if r["connections"] > 2:
                    missed.append("%d ms, page %d: %d connections" % (rtt_ms, page,
                                                                      r["connections"]))
                if flag is None and r["graph"] > 10:
                    missed.append("%d ms: %d Graph requests" % (rtt_ms, r["graph"]))
                if rtt_ms == 50 and r["wall"] > 1.3 * bound:
                    print("  (wall time above 1.3 x the bound)")
    print("* the command's default page size")
    with tempfile.TemporaryDirectory(prefix="nimbus-bench-") as tmp:
        ca, cert, key = mock_graph.make_certificates(tmp)
        for top in TREES if not a.short else ("/Tree",):
            tree_case(os.path.abspath(a.nimbus), tmp, ca, cert, key, a.short, top)
    for m in missed:
        print("target missed:", m)
    return 1 if a.check and missed else 0


if __name__ == "__main__":
    sys.exit(main())
