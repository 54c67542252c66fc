#!/usr/bin/env python3
"""Network benchmark of the `nimbus` command: a 10000-entry folder listed
from the end-to-end mock Graph (tests/e2e/mock_graph.py, real HTTPS) through
a TCP proxy that adds a round-trip time.

The proxy delays every chunk by RTT/2 in each direction, keeping the order,
and holds a new connection's first bytes one more RTT, as the TCP handshake
would. For each RTT and page size it prints the wall time, the requests and
TCP connections the mock saw, and the lower bound: the round trips a client
cannot avoid, one per request plus two per connection (TCP, TLS 1.3), times
the RTT, for one token and one Graph connection.

Usage: network.py --nimbus PATH [--before PATH] [--short] [--check]
  --before PATH  also run another build of the command (default page size only)
  --short        RTT 0 and 20 ms only
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

ENTRIES = 10000
FOLDER = "/Big"


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
    return root


def bound_round_trips(page_size):
    pages = math.ceil(ENTRIES / page_size)
    return 2 * 2 + 1 + pages  # two connections, the token request, the pages


# Pages are made once and kept across runs: the mock's own work per page
# would otherwise weigh more than the network being measured.
ROOT = drive()
PAGES = {}


def run_one(nimbus, tmp, ca, cert, key, rtt, page_size):
    mock = mock_graph.MockGraph(cert, key, ROOT)
    mock.page_cache = PAGES
    mock.add_refresh_token("rt-0")
    mock.start()
    proxy = LatencyProxy(mock.port, rtt)
    settings = os.path.join(tmp, "settings.json")
    with open(settings, "w") as f:
        json.dump({"ClientId": mock_graph.CLIENT_ID, "ClientSecret": mock_graph.CLIENT_SECRET,
                   "refresh_token": "rt-0"}, f)
    os.chmod(settings, 0o600)
    cmd = [nimbus, "--cacert", ca, "--settings", settings]
    for host in (mock_graph.GRAPH_HOST, mock_graph.LOGIN_HOST):
        cmd += ["--connect-to", "%s:443:127.0.0.1:%d" % (host, proxy.port)]
    if page_size is not None:
        cmd += ["--page-size", str(page_size)]
    cmd += ["--json", "list", FOLDER]
    try:
        start = time.monotonic()
        p = subprocess.run(cmd, capture_output=True, timeout=600)
        wall = time.monotonic() - start
        if p.returncode != 0:
            raise SystemExit("%s failed (%d): %s" % (" ".join(cmd), p.returncode,
                                                    p.stderr.decode(errors="replace")))
        listed = len(json.loads(p.stdout)["items"])
        if listed != ENTRIES:
            raise SystemExit("listed %d entries, not %d" % (listed, ENTRIES))
        graph = sum(1 for r in mock.requests if r["method"] == "GET")
        return {"wall": wall, "requests": len(mock.requests), "graph": graph,
                "connections": mock.connections}
    finally:
        proxy.close()
        mock.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--nimbus", required=True)
    ap.add_argument("--before")
    ap.add_argument("--short", action="store_true")
    ap.add_argument("--check", action="store_true")
    a = ap.parse_args()
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
    for m in missed:
        print("target missed:", m)
    return 1 if a.check and missed else 0


if __name__ == "__main__":
    sys.exit(main())
