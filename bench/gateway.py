#!/usr/bin/env python3
"""`nimbus serve` against `rclone serve http`, side by side in one run, over
the same mock Graph drive (tests/e2e/mock_graph.py, real HTTPS) with a
latency proxy (bench/network.py) adding RTT between each gateway and the
mock. wrk (50 connections, 20 s, loopback) loads two pages:

  albums  12 small album folders, round-robin (a Lua script)
  big     one 1000-entry folder page

For each gateway and load it prints requests per second, p50 and p99
latency, non-2xx answers, the Graph requests the mock saw during the load,
and the gateway's peak resident size (VmHWM) at the end. Neither gateway
visits anything before the load: the first listings count.

Targets (--check exits 1 when one is missed; shared machines make
throughput noisy, so CI does not run this): albums at least rclone's
req/s with p99 no worse; big at least 2x rclone's req/s; Graph requests no
more than rclone's; peak memory at most half of rclone's.

Usage: gateway.py --nimbus PATH [--seconds 20] [--connections 50]
                  [--rtt 0.05] [--check] [--only nimbus|rclone]
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import mock_graph  # noqa: E402
import rclone  # noqa: E402
from mock_graph import Node  # noqa: E402
from network import LatencyProxy  # noqa: E402

ALBUMS = ["/Albums/Album %02d/" % (i + 1) for i in range(12)]
BIG = "/Big/"

LUA = """-- Round-robin over the album folders, one per request.
local paths = {%s}
local i = 0
request = function()
  i = i %% #paths + 1
  return wrk.format("GET", paths[i])
end
"""


def build_drive():
    root = Node("root", folder=True)
    albums = root.add(Node("Albums", folder=True))
    for a in range(12):
        album = albums.add(Node("Album %02d" % (a + 1), folder=True))
        for t in range(12):
            track = album.add(Node("%02d Track %d.flac" % (t + 1, t + 1), size=30000000 + t))
            track.audio = {"artist": "Artist %d" % a, "album": "Album %02d" % (a + 1),
                           "title": "Track %d" % (t + 1), "track": t + 1,
                           "duration": 240000 + t * 1000}
        album.add(Node("cover.jpg", size=120000))
    big = root.add(Node("Big", folder=True))
    for i in range(1000):
        big.add(Node("file %04d.mp3" % i, size=4000000 + i))
    return root


def graph_requests(mock):
    return sum(1 for r in mock.requests if r["host"] == mock_graph.GRAPH_HOST)


def peak_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1))


def wrk_figures(out):
    """What wrk printed: req/s, p50 and p99 in ms, requests, non-2xx answers."""
    def ms(label):
        m = re.search(r"^\s*%s%%\s+([\d.]+)(us|ms|s)\s*$" % label, out, re.M)
        if not m:
            return float("nan")
        return float(m.group(1)) * {"us": 0.001, "ms": 1, "s": 1000}[m.group(2)]

    bad = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", out)
    return {"rps": float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)),
            "p50": ms("50"), "p99": ms("99"),
            "requests": int(re.search(r"(\d+) requests in", out).group(1)),
            "non2xx": int(bad.group(1)) if bad else 0}


def wrk(url, script, seconds, connections):
    """wrk's figures (wrk_figures) for one load."""
    cmd = ["wrk", "-t", "2", "-c", str(connections), "-d", "%ds" % seconds, "--latency",
           "--timeout", "10s"]
    if script:
        cmd += ["-s", script]
    p = subprocess.run(cmd + [url], capture_output=True, text=True, timeout=seconds + 60)
    if p.returncode != 0:
        raise RuntimeError("wrk failed: " + p.stdout + p.stderr)
    return wrk_figures(p.stdout)


def page_bytes(url):
    import http.client
    u = urllib.parse.urlsplit(url)
    c = http.client.HTTPConnection(u.hostname, u.port, timeout=60)
    c.request("GET", u.path)
    r = c.getresponse()
    body = r.read()
    c.close()
    return r.status, len(body)


def run_loads(name, base, pid, mock, folder, seconds, connections):
    script = os.path.join(folder, "albums.lua")
    with open(script, "w") as f:
        f.write(LUA % ", ".join(json.dumps(urllib.parse.quote(p)) for p in ALBUMS))
    rows = {}
    for load, url, lua in (("albums", base + "/", script),
                           ("big", base + urllib.parse.quote(BIG), None)):
        before = graph_requests(mock)
        row = wrk(url, lua, seconds, connections)
        row["graph"] = graph_requests(mock) - before
        row["status"], row["bytes"] = page_bytes(base + urllib.parse.quote(
            ALBUMS[0] if load == "albums" else BIG))
        rows[load] = row
    for row in rows.values():
        row["peak_mb"] = peak_kb(pid) / 1024.0
    for load, row in rows.items():
        print("%-6s %-6s %8.0f req/s  p50 %7.1f ms  p99 %7.1f ms  %6d Graph  %4.0f MB peak  "
              "%d non-2xx  page %d B" % (name, load, row["rps"], row["p50"], row["p99"],
                                        row["graph"], row["peak_mb"], row["non2xx"],
                                        row["bytes"]), flush=True)
    return rows


def run_nimbus(args, tmp, ca, mock, upstream):
    settings = os.path.join(tmp, "settings.json")
    with open(settings, "w") as f:
        json.dump({"ClientId": mock_graph.CLIENT_ID, "ClientSecret": mock_graph.CLIENT_SECRET,
                   "refresh_token": "rt-nimbus"}, f)
    os.chmod(settings, 0o600)
    port = rclone.free_port()
    cmd = [args.nimbus]
    for host in (mock_graph.GRAPH_HOST, mock_graph.LOGIN_HOST):
        cmd += ["--connect-to", "%s:443:127.0.0.1:%d" % (host, upstream)]
    cmd += ["--cacert", ca, "--settings", settings, "serve", "--listen", "127.0.0.1:%d" % port]
    log = open(os.path.join(tmp, "nimbus.log"), "wb")
    p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    try:
        # Started once it listens and took the change feed's first cursor.
        deadline = time.monotonic() + 30
        while not any(r["path"].endswith("/delta") and r.get("status")
                      for r in list(mock.requests)):
            if p.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("nimbus serve did not start: " +
                                   open(os.path.join(tmp, "nimbus.log")).read()[-2000:])
            time.sleep(0.05)
        # ... and accepts connections (it may take the cursor before it listens).
        rclone.wait_listening(port, p, deadline)
        return run_loads("nimbus", "http://127.0.0.1:%d" % port, p.pid, mock, tmp,
                         args.seconds, args.connections)
    finally:
        p.terminate()
        p.wait(timeout=30)
        log.close()


def run_rclone(args, tmp, ca, mock, upstream):
    rc = rclone.Rclone(tmp, ca, upstream, refresh_token="rt-rclone")
    port = rclone.free_port()
    server = rc.serve_http(port)
    try:
        return run_loads("rclone", "http://127.0.0.1:%d" % port, server.process.pid, mock, tmp,
                         args.seconds, args.connections)
    finally:
        server.stop()
        rc.close()


def side_by_side(args, what, run_nimbus, run_rclone):
    """Both servers over one mock drive behind the latency proxy, one after
    the other: their figures by name (rclone's only where it is installed)."""
    have_rclone = rclone.find() is not None and args.only != "nimbus"
    if not have_rclone and args.only != "nimbus":
        print("rclone is not installed (scripts/install-deps): nimbus alone")
    with tempfile.TemporaryDirectory(prefix="nimbus-bench-%s-" % what) as tmp:
        ca, cert, key = mock_graph.make_certificates(tmp)
        mock = mock_graph.MockGraph(cert, key, build_drive())
        mock.delta_page = 1000
        mock.add_refresh_token("rt-nimbus")
        mock.add_refresh_token("rt-rclone")
        mock.start()
        proxy = LatencyProxy(mock.port, args.rtt)
        print("wrk -c %d -d %ds on loopback; %.0f ms between each server and the mock"
              % (args.connections, args.seconds, args.rtt * 1000))
        results = {}
        try:
            if args.only != "rclone":
                results["nimbus"] = run_nimbus(args, tmp, ca, mock, proxy.port)
            if have_rclone:
                print(rclone.version() or "rclone")
                results["rclone"] = run_rclone(args, tmp, ca, mock, proxy.port)
        finally:
            proxy.close()
            mock.stop()
    return results


def report(targets, check):
    """Prints each target met or missed; 1 when --check and one was missed."""
    for what, met in targets:
        print("%-40s %s" % (what, "met" if met else "MISSED"))
    return 1 if check and not all(met for _, met in targets) else 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--nimbus", required=True)
    ap.add_argument("--seconds", type=int, default=20)
    ap.add_argument("--connections", type=int, default=50)
    ap.add_argument("--rtt", type=float, default=0.05)
    ap.add_argument("--check", action="store_true")
    ap.add_argument("--only", choices=["nimbus", "rclone"])
    args = ap.parse_args()
    if not subprocess.run(["sh", "-c", "command -v wrk"], capture_output=True).stdout:
        print("wrk is not installed (scripts/install-deps): no gateway benchmark")
        return 0
    results = side_by_side(args, "gateway", run_nimbus, run_rclone)
    if "nimbus" not in results or "rclone" not in results:
        return 0
    n, r = results["nimbus"], results["rclone"]
    targets = [
        ("albums: req/s >= rclone's", n["albums"]["rps"] >= r["albums"]["rps"]),
        ("albums: p99 <= rclone's", n["albums"]["p99"] <= r["albums"]["p99"]),
        ("1000-entry page: req/s >= 2x rclone's", n["big"]["rps"] >= 2 * r["big"]["rps"]),
        ("Graph requests <= rclone's", n["albums"]["graph"] + n["big"]["graph"] <=
         r["albums"]["graph"] + r["big"]["graph"]),
        ("peak memory <= half of rclone's", n["big"]["peak_mb"] <= r["big"]["peak_mb"] / 2),
        ("no failed answers", all(x[k]["non2xx"] == 0 and x[k]["status"] == 200
                                  for x in (n, r) for k in ("albums", "big"))),
    ]
    return report(targets, args.check)


if __name__ == "__main__":
    sys.exit(main())
