#!/usr/bin/env python3
"""`nimbus serve --dlna` against `rclone serve dlna`, side by side in one run,
over the same mock Graph drive as bench/gateway.py (tests/e2e/mock_graph.py,
real HTTPS) with the latency proxy of bench/network.py between each server
and the mock. Browse requests are SOAP POSTs straight to each server's
ContentDirectory control URL, read from its device description (no SSDP;
both servers on loopback). wrk posts them (a Lua script), two loads:

  big     the 1000-entry folder by pages of 100 (StartingIndex 0..900
          round-robin)
  albums  the 12 album folders round-robin

For each server and load it prints requests per second, p50 and p99, the
Graph requests the mock saw during the load (the change feed's, one per
30 s whatever the load, apart), the server's CPU time per
Browse (utime + stime from /proc/PID/stat), its peak resident size
(VmHWM), and the load client's own CPU use (it must not be the bottleneck).
Before any load it times the start: process start until the control port
accepts, then the first Browse of the root (nothing warmed before), and
process start until that answer.

Targets (--check exits 1 when one is missed): each load at least 2x
rclone's req/s with p99 no worse; Graph requests no more than rclone's; the
first Browse within 1.5x rclone's; no failed answers.

Usage: dlna.py --nimbus PATH [--seconds 20] [--connections 16] [--rtt 0.05]
               [--short] [--check] [--only nimbus|rclone]
"""

import argparse
import http.client
import json
import os
import re
import resource
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import mock_graph  # noqa: E402
import rclone  # noqa: E402
from gateway import (build_drive, graph_requests, peak_kb, report, side_by_side,  # noqa: E402
                     wrk_figures)

CDS = "urn:schemas-upnp-org:service:ContentDirectory:1"
DIDL_NS = {"d": "urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/",
           "dc": "http://purl.org/dc/elements/1.1/"}
PAGE = 100

LUA = """-- Browse requests round-robin, one SOAP POST each.
local bodies = {%s}
local headers = {}
headers["Content-Type"] = 'text/xml; charset="utf-8"'
headers["SOAPACTION"] = '"%s#Browse"'
local i = 0
request = function()
  i = i %% #bodies + 1
  return wrk.format("POST", %s, headers, bodies[i])
end
"""


def browse_body(object_id, start=0, count=PAGE, flag="BrowseDirectChildren"):
    esc = object_id.replace("&", "&amp;").replace("<", "&lt;")
    return ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/"'
            ' s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            '<u:Browse xmlns:u="%s"><ObjectID>%s</ObjectID><BrowseFlag>%s</BrowseFlag>'
            "<Filter>*</Filter><StartingIndex>%d</StartingIndex>"
            "<RequestedCount>%d</RequestedCount><SortCriteria></SortCriteria></u:Browse>"
            "</s:Body></s:Envelope>" % (CDS, esc, flag, start, count))


def post(port, path, body, timeout=30):
    """One Browse: (status, NumberReturned, TotalMatches, DIDL root or None)."""
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    c.request("POST", path, body.encode(), {"Content-Type": 'text/xml; charset="utf-8"',
                                            "SOAPACTION": '"%s#Browse"' % CDS})
    r = c.getresponse()
    data = r.read()
    c.close()
    if r.status != 200:
        return r.status, 0, 0, None
    answer = ET.fromstring(data).find(".//{%s}BrowseResponse" % CDS)
    if answer is None:
        return r.status, 0, 0, None
    return (r.status, int(answer.findtext("NumberReturned")), int(answer.findtext("TotalMatches")),
            ET.fromstring(answer.findtext("Result")))


def control_path(port, desc_path):
    """ContentDirectory's control URL path from the device description."""
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    c.request("GET", desc_path)
    r = c.getresponse()
    data = r.read()
    c.close()
    ns = {"u": "urn:schemas-upnp-org:device-1-0"}
    for s in ET.fromstring(data).iterfind(".//u:service", ns):
        if s.findtext("u:serviceType", namespaces=ns) == CDS:
            url = s.findtext("u:controlURL", namespaces=ns).strip()
            return "/" + url.split("://", 1)[-1].split("/", 1)[-1] if "://" in url else url
    raise RuntimeError("no ContentDirectory in the description on port %d" % port)


def child_id(port, ctl, parent, title):
    """The object id of the container TITLE within PARENT."""
    status, _, _, didl = post(port, ctl, browse_body(parent, 0, 0))
    for c in didl.iterfind("d:container", DIDL_NS) if didl is not None else ():
        if c.findtext("dc:title", namespaces=DIDL_NS) == title:
            return c.get("id")
    raise RuntimeError("no %r in %r on port %d (%d)" % (title, parent, port, status))


def feed_requests(mock):
    """Change-feed requests: nimbus asks one per 30 s while the MediaServer
    runs (to event changes), whatever the load; rclone never asks."""
    return sum(1 for r in mock.requests
               if r["host"] == mock_graph.GRAPH_HOST and r["path"].endswith("/delta"))


def wait_port(p, port, started, seconds=60):
    """Seconds from START until PORT accepts connections."""
    import socket
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if p.poll() is not None:
            raise RuntimeError("the server exited (%d)" % p.returncode)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return time.monotonic() - started
        except OSError:
            time.sleep(0.005)
    raise RuntimeError("nothing listens on port %d" % port)


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def wrk(port, ctl, bodies, seconds, connections, folder):
    script = os.path.join(folder, "browse.lua")
    with open(script, "w") as f:
        f.write(LUA % (", ".join(json.dumps(b) for b in bodies), CDS, json.dumps(ctl)))
    cmd = ["wrk", "-t", "2", "-c", str(connections), "-d", "%ds" % seconds, "--latency",
           "--timeout", "10s", "-s", script, "http://127.0.0.1:%d%s" % (port, ctl)]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=seconds + 60)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    out = p.stdout
    if p.returncode != 0:
        raise RuntimeError("wrk failed: " + out + p.stderr)
    cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    figures = wrk_figures(out)
    figures["failed"] = figures.pop("non2xx") + (1 if re.search(r"Socket errors:", out) else 0)
    figures["client_cpu"] = cpu / seconds
    return figures


def measure(name, p, port, desc_path, started, mock, args, tmp):
    """The start, then both loads, of the server P whose control port is PORT."""
    ready = wait_port(p, port, started)
    ctl = control_path(port, desc_path)
    t = time.monotonic()
    status, returned, _, _ = post(port, ctl, browse_body("0"))
    first = time.monotonic() - t
    answered = time.monotonic() - started
    if status != 200 or returned == 0:
        raise RuntimeError("%s: the first Browse failed (%d)" % (name, status))
    big = child_id(port, ctl, "0", "Big")
    top = child_id(port, ctl, "0", "Albums")
    albums = [child_id(port, ctl, top, "Album %02d" % (a + 1)) for a in range(12)]
    # Every answer must be whole before its speed counts.
    for start in (0, 900):
        s, n, total, _ = post(port, ctl, browse_body(big, start))
        if (s, n, total) != (200, PAGE, 1000):
            raise RuntimeError("%s: Big page at %d: %r" % (name, start, (s, n, total)))
    s, n, total, _ = post(port, ctl, browse_body(albums[0]))
    if s != 200 or n != total or n < 12:
        raise RuntimeError("%s: an album: %r" % (name, (s, n, total)))
    row = {"ready": ready, "first": first, "answered": answered, "loads": {}}
    for load, bodies in (("big", [browse_body(big, s) for s in range(0, 1000, PAGE)]),
                         ("albums", [browse_body(a) for a in albums])):
        if load not in args.loads.split(","):
            continue
        graph, feed, ticks = graph_requests(mock), feed_requests(mock), cpu_ticks(p.pid)
        r = wrk(port, ctl, bodies, args.seconds, args.connections, tmp)
        r["feed"] = feed_requests(mock) - feed
        r["graph"] = graph_requests(mock) - graph - r["feed"]
        r["cpu_ms"] = (cpu_ticks(p.pid) - ticks) * 1000.0 / os.sysconf("SC_CLK_TCK") / \
            max(r["requests"], 1)
        r["peak_mb"] = peak_kb(p.pid) / 1024.0
        row["loads"][load] = r
        print("%-6s %-6s %7.0f req/s  p50 %6.1f ms  p99 %6.1f ms  %4d Graph (+%d feed)  %6.3f ms "
              "CPU/Browse  %4.0f MB peak  %d failed  (wrk %.0f%% CPU)"
              % (name, load, r["rps"], r["p50"], r["p99"], r["graph"], r["feed"], r["cpu_ms"],
                 r["peak_mb"], r["failed"], r["client_cpu"] * 100), flush=True)
    print("%-6s start  ready %6.0f ms after exec, first Browse %6.1f ms, answered %6.0f ms "
          "after exec" % (name, ready * 1000, first * 1000, answered * 1000), flush=True)
    return row


def run_nimbus(args, tmp, ca, mock, upstream):
    settings = os.path.join(tmp, "settings.json")
    with open(settings, "w") as f:
        json.dump({"ClientId": mock_graph.CLIENT_ID, "ClientSecret": mock_graph.CLIENT_SECRET,
                   "refresh_token": "rt-nimbus"}, f)
    os.chmod(settings, 0o600)
    port, dlna_port = rclone.free_port(), rclone.free_port()
    cmd = [args.nimbus]
    for host in (mock_graph.GRAPH_HOST, mock_graph.LOGIN_HOST):
        cmd += ["--connect-to", "%s:443:127.0.0.1:%d" % (host, upstream)]
    cmd += ["--cacert", ca, "--settings", settings, "serve", "--listen", "127.0.0.1:%d" % port,
            "--dlna", "--dlna-port", str(dlna_port), "--name", "nimbus bench"]
    log = open(os.path.join(tmp, "nimbus.log"), "wb")
    started = time.monotonic()
    p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    try:
        return measure("nimbus", p, dlna_port, "/description.xml", started, mock, args, tmp)
    except Exception:
        log.flush()
        sys.stderr.write(open(os.path.join(tmp, "nimbus.log")).read()[-2000:])
        raise
    finally:
        p.terminate()
        p.wait(timeout=30)
        log.close()


def run_rclone(args, tmp, ca, mock, upstream):
    rc = rclone.Rclone(tmp, ca, upstream, refresh_token="rt-rclone")
    port = rclone.free_port()
    cmd = rc.command("serve", "dlna", "%s:/" % rclone.REMOTE, "--addr", "127.0.0.1:%d" % port,
                     "--name", "rclone bench")
    started = time.monotonic()
    p = subprocess.Popen(cmd, env=rc.env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    try:
        return measure("rclone", p, port, "/rootDesc.xml", started, mock, args, tmp)
    finally:
        p.terminate()
        p.wait(timeout=30)
        rc.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--nimbus", required=True)
    ap.add_argument("--seconds", type=int, default=20)
    ap.add_argument("--connections", type=int, default=16)
    ap.add_argument("--rtt", type=float, default=0.05)
    ap.add_argument("--short", action="store_true", help="3 s per load")
    ap.add_argument("--check", action="store_true")
    ap.add_argument("--only", choices=["nimbus", "rclone"])
    ap.add_argument("--loads", default="big,albums", help="which loads, comma-separated")
    args = ap.parse_args()
    if args.short:
        args.seconds = 3
    if not subprocess.run(["sh", "-c", "command -v wrk"], capture_output=True).stdout:
        print("wrk is not installed (scripts/install-deps): no DLNA benchmark")
        return 0
    results = side_by_side(args, "dlna", run_nimbus, run_rclone)

    if "nimbus" not in results or "rclone" not in results:
        return 0
    n, r = results["nimbus"], results["rclone"]
    targets = []
    for load in n["loads"]:
        a, b = n["loads"][load], r["loads"][load]
        targets += [("%s: req/s >= 2x rclone's" % load, a["rps"] >= 2 * b["rps"]),
                    ("%s: p99 <= rclone's" % load, a["p99"] <= b["p99"])]
    targets += [
        ("Graph requests <= rclone's", sum(x["graph"] for x in n["loads"].values()) <=
         sum(x["graph"] for x in r["loads"].values())),
        ("first Browse <= 1.5x rclone's", n["first"] <= 1.5 * r["first"]),
        ("no failed answers", all(y["failed"] == 0 for x in (n, r) for y in x["loads"].values())),
    ]
    return report(targets, args.check)


if __name__ == "__main__":
    sys.exit(main())
