#!/usr/bin/env python3
"""The byte proxy of `nimbus serve` (?stream=1) beside curl reading the same
file straight from the service, in one run: the mock Graph
(tests/e2e/mock_graph.py, real HTTPS) serves a generated file from an mmap,
and curl reads it

  direct   from the mock's download URL (TLS), as a player following the
           redirect would;
  proxy    through the gateway (plain HTTP on loopback), which reads the same
           URL over TLS and hands the bytes on;

first one stream, then eight at once (each from its own loopback address,
so the per-client slot limit does not refuse any). For each it prints MB/s
(all streams together), proxy/direct, the gateway's CPU seconds per GiB
moved (utime + stime from /proc) beside curl's own (TLS and all, when
direct; their ratio too, which the machine's speed moves less than
either), its voluntary context switches per MiB (a gateway of its own per
run, whose end tells them), its peak resident size (VmHWM), its resident
size during the run less before it per stream, and the bytes checked: every
stream's length, every MiB block's number, and a SHA-256 of a sample of
blocks.

On a 2-core machine curl, the mock and the gateway share the cores: direct,
each curl decrypts TLS itself, so proxy/direct can pass 1 there; the CPU
figures grow with the machine's other load, the context switches hardly.

Goals (--check exits 1 when one is missed): proxy at least 0.85x direct,
one stream and eight, at no more than 1.2 CPU seconds per GiB and 20
voluntary context switches per MiB. A short or corrupted stream always
fails.

Usage: proxy.py --nimbus PATH [--size-mib 1024] [--short] [--streams 8]
                [--check]
"""

import argparse
import fcntl
import hashlib
import json
import mmap
import os
import random
import re
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import mock_graph  # noqa: E402
from mock_graph import Node  # noqa: E402
from rclone import free_port, wait_listening  # noqa: E402

MIB = 1 << 20
SAMPLE_EVERY = 64  # one block in this many is hashed whole
# The gateway's voluntary context switches per MiB moved: a wake-up per
# 128 KiB block on each side is 16. Unlike CPU time, the machine's load
# hardly moves it, so it tells a regression apart from a busy machine.
MAX_WAITS = 20
F_SETPIPE_SZ = 1031


def make_file(path, blocks):
    """BLOCKS MiB: block i is its number (8 bytes, big-endian) and then the
    same random tail, so a block out of place or cut short is seen."""
    tail = random.Random(7).randbytes(MIB - 8)
    with open(path, "wb") as f:
        for i in range(blocks):
            f.write(i.to_bytes(8, "big"))
            f.write(tail)
    return tail


def block_hash(i, tail):
    return hashlib.sha256(i.to_bytes(8, "big") + tail).digest()


class Reader:
    """Runs curl with ARGS and checks what it writes to its standard output."""

    def __init__(self, args, blocks, tail):
        self.blocks, self.tail, self.got, self.error = blocks, tail, 0, None
        self.hashed = 0
        self.cpu = 0.0
        self.p = subprocess.Popen(["curl", "-sS", "--fail", "-o", "-"] + args,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
        try:
            fcntl.fcntl(self.p.stdout.fileno(), F_SETPIPE_SZ, MIB)
        except OSError:
            pass
        self.thread = threading.Thread(target=self._read)
        self.thread.start()

    def _read(self):
        buf = bytearray(MIB)
        view = memoryview(buf)
        out = self.p.stdout
        index = 0
        while True:
            n = 0
            while n < MIB:
                k = out.readinto(view[n:])
                if not k:
                    break
                n += k
            if n == 0:
                break
            self.got += n
            if self.error is None:
                if n != MIB or index >= self.blocks:
                    self.error = "stream of %d bytes, %d expected" % (self.got, self.blocks * MIB)
                elif int.from_bytes(buf[:8], "big") != index:
                    self.error = "block %d out of place" % index
                elif index % SAMPLE_EVERY == 0 or index == self.blocks - 1:
                    if hashlib.sha256(view).digest() != block_hash(index, self.tail):
                        self.error = "block %d corrupted" % index
                    self.hashed += n
            index += 1
            if n < MIB:
                break
        if self.error is None and index != self.blocks:
            self.error = "stream of %d bytes, %d expected" % (self.got, self.blocks * MIB)

    def wait(self):
        self.thread.join()
        err = self.p.stderr.read().decode(errors="replace").strip()
        _, status, usage = os.wait4(self.p.pid, 0)
        self.p.returncode = os.waitstatus_to_exitcode(status)
        self.cpu = usage.ru_utime + usage.ru_stime
        if self.p.returncode != 0:
            self.error = (self.error + ", " if self.error else "") + "curl: " + err
        return self.error


def proc_cpu(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_kb(pid, field):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"%s:\s+(\d+)" % field, f.read()).group(1))


def run(label, urls, ca, blocks, tail, pid):
    """Every URL read at once; the figures of the lot."""
    cpu0 = proc_cpu(pid) if pid else 0
    idle = proc_kb(pid, "VmRSS") if pid else 0
    start = time.monotonic()
    readers = []
    for i, url in enumerate(urls):
        args = ["--cacert", ca, url] if url.startswith("https:") else [url]
        readers.append(Reader(["--interface", "127.0.0.%d" % (10 + i)] + args, blocks, tail))
    rss = 0
    for r in readers:
        while r.thread.is_alive():
            if pid:
                rss = max(rss, proc_kb(pid, "VmRSS"))
            r.thread.join(0.05)
    errors = [e for e in (r.wait() for r in readers) if e]
    seconds = time.monotonic() - start
    total = sum(r.got for r in readers)
    row = {"mbs": total / seconds / 1e6, "seconds": seconds, "bytes": total,
           "hashed": sum(r.hashed for r in readers), "errors": errors,
           "curl_per_gib": sum(r.cpu for r in readers) / (total / (1 << 30))}
    if pid:
        row["cpu_per_gib"] = (proc_cpu(pid) - cpu0) / (total / (1 << 30))
        row["peak_mb"] = proc_kb(pid, "VmHWM") / 1024.0
        row["rss_mb"] = rss / 1024.0
        row["per_stream_kb"] = (rss - idle) / len(urls)
    print("%-6s %d stream%s %8.0f MB/s  %6.2f s  %d bytes, %d hashed  curl %.2f CPU s/GiB%s%s" % (
        label, len(urls), "s" if len(urls) > 1 else " ", row["mbs"], seconds, total,
        row["hashed"], row["curl_per_gib"],
        "  gateway %.2f CPU s/GiB  %.0f MB peak, %.0f MB during (+%.0f KiB a stream)" % (
            row["cpu_per_gib"], row["peak_mb"], row["rss_mb"], row["per_stream_kb"])
        if pid else "",
        "  FAILED: " + "; ".join(errors) if errors else ""), flush=True)
    return row


def start_gateway(nimbus, tmp, ca, mock):
    settings = os.path.join(tmp, "settings.json")
    with open(settings, "w") as f:
        json.dump({"ClientId": mock_graph.CLIENT_ID, "ClientSecret": mock_graph.CLIENT_SECRET,
                   "refresh_token": "rt-bench"}, f)
    os.chmod(settings, 0o600)
    port = free_port()
    cmd = [nimbus]
    for host in (mock_graph.GRAPH_HOST, mock_graph.LOGIN_HOST):
        cmd += ["--connect-to", "%s:443:127.0.0.1:%d" % (host, mock.port)]
    cmd += ["--cacert", ca, "--settings", settings, "serve", "--listen", "127.0.0.1:%d" % port]
    log = open(os.path.join(tmp, "nimbus.log"), "wb")
    p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    # Started once it listens and took the change feed's first cursor.
    deadline = time.monotonic() + 30
    while not any(r["path"].endswith("/delta") and r.get("status") for r in list(mock.requests)):
        if p.poll() is not None or time.monotonic() > deadline:
            p.kill()
            raise RuntimeError("nimbus serve did not start: " +
                               open(os.path.join(tmp, "nimbus.log")).read()[-2000:])
        time.sleep(0.05)
    # ... and accepts connections (it may take the cursor before it listens).
    try:
        wait_listening(port, p, deadline)
    except RuntimeError:
        p.kill()
        raise
    return p, port, log


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--nimbus", required=True)
    ap.add_argument("--size-mib", type=int, default=1024)
    ap.add_argument("--short", action="store_true", help="64 MiB, for a smoke run")
    ap.add_argument("--streams", type=int, default=8)
    ap.add_argument("--check", action="store_true")
    args = ap.parse_args()
    blocks = 64 if args.short else args.size_mib
    print("a %d MiB file; curl straight from the mock (TLS) vs through nimbus serve" % blocks)

    with tempfile.TemporaryDirectory(prefix="nimbus-bench-proxy-") as tmp:
        path = os.path.join(tmp, "big.bin")
        tail = make_file(path, blocks)
        with open(path, "rb") as f:
            content = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        ca, cert, key = mock_graph.make_certificates(tmp)
        root = Node("root", folder=True)
        node = root.add(Node("big.bin", content=content))
        node.etag = '"bench-%d"' % blocks
        mock = mock_graph.MockGraph(cert, key, root)
        mock.serve_downloads = True
        mock.add_refresh_token("rt-bench")
        mock.start()
        gateway = None
        rows = {}
        try:
            direct = mock.item(node)["@microsoft.graph.downloadUrl"]
            for n in (1, args.streams):
                rows[("direct", n)] = run("direct", [direct] * n, ca, blocks, tail, None)
                # A gateway of its own per run: its context switches, which
                # only its end tells for all its threads, are this run's.
                gateway, port, log = start_gateway(args.nimbus, tmp, ca, mock)
                through = "http://127.0.0.1:%d/big.bin?stream=1" % port
                print("gateway pid %d" % gateway.pid, flush=True)
                row = rows[("proxy", n)] = run("proxy", [through] * n, ca, blocks, tail,
                                               gateway.pid)
                gateway.terminate()
                _, _, usage = os.wait4(gateway.pid, 0)
                gateway.returncode = 0
                gateway = None
                log.close()
                # Its own waits; the involuntary ones are the machine's load.
                row["waits_per_mib"] = usage.ru_nvcsw / (row["bytes"] / MIB)
                print("        gateway: %.1f voluntary context switches per MiB, "
                      "%.1f involuntary" % (row["waits_per_mib"],
                                            usage.ru_nivcsw / (row["bytes"] / MIB)), flush=True)
        finally:
            if gateway:
                gateway.kill()
                gateway.wait(timeout=30)
                log.close()
            mock.stop()
            content.close()

    targets = []
    for n in (1, args.streams):
        d, p = rows[("direct", n)], rows[("proxy", n)]
        ratio = p["mbs"] / d["mbs"]
        # The machine's speed moves both CPU figures alike: their ratio
        # compares the gateway with a TLS reader alone in the same run.
        print("%d stream%s: proxy/direct %.2f, %.2f gateway CPU s/GiB (%.2fx curl's direct)"
              % (n, "s" if n > 1 else "", ratio, p["cpu_per_gib"],
                 p["cpu_per_gib"] / d["curl_per_gib"]))
        print("%d stream%s: gateway memory %.0f KiB a stream" % (
            n, "s" if n > 1 else "", p["per_stream_kb"]))
        targets += [("%d: proxy >= 0.85x direct" % n, ratio >= 0.85),
                    ("%d: <= 1.2 CPU s/GiB" % n, p["cpu_per_gib"] <= 1.2),
                    ("%d: <= %d waits per MiB" % (n, MAX_WAITS), p["waits_per_mib"] <= MAX_WAITS)]
    intact = all(not r["errors"] for r in rows.values())
    for what, met in targets + [("every byte as sent", intact)]:
        print("%-32s %s" % (what, "met" if met else "MISSED"))
    if not intact:
        return 1
    return 1 if args.check and not all(met for _, met in targets) else 0


if __name__ == "__main__":
    sys.exit(main())
