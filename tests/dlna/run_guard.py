#!/usr/bin/env python3
"""Who may use the DLNA MediaServer module, and what event subscribers may
ask of it, across a veth pair between two network namespaces the test makes:
the server at 169.254.77.1/24, the peers' side holding addresses inside that
network (169.254.77.2, .3, .10-.29) and one outside it (169.254.78.2, routed
to from the server). No datagram leaves the pair. Exit 77 (skipped) without
root or ip.

    run_guard.py --fixture PATH CASE        CASE: allow or gena
"""
import argparse
import contextlib
import ctypes
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

# ctest's skip, or a failure where nothing may be missing (CI sets the flag).
SKIP = 1 if os.environ.get("NIMBUS_TEST_NO_SKIP") else 77
SERVER, INSIDE, OTHER, OUTSIDE = "169.254.77.1", "169.254.77.2", "169.254.77.3", "169.254.78.2"
MANY = ["169.254.77.%d" % i for i in range(10, 30)]
SSDP = ("239.255.255.250", 1900)


@contextlib.contextmanager
def lan():
    """Two namespaces joined by a veth pair; this process moves into the peers' one."""
    srv, cli = "nimbus-guard-s%d" % os.getpid(), "nimbus-guard-c%d" % os.getpid()
    run = lambda *cmd: subprocess.run(list(cmd), check=True)
    try:
        run("ip", "netns", "add", srv)
        run("ip", "netns", "add", cli)
        run("ip", "netns", "exec", srv, "ip", "link", "add", "ng0", "type", "veth", "peer", "name",
            "ng1", "netns", cli)
        for ns, dev, addrs in ((srv, "ng0", [SERVER]),
                               (cli, "ng1", [INSIDE, OTHER, OUTSIDE] + MANY)):
            run("ip", "netns", "exec", ns, "ip", "link", "set", "lo", "up")
            for a in addrs:
                run("ip", "netns", "exec", ns, "ip", "addr", "add", a + "/24", "dev", dev)
            run("ip", "netns", "exec", ns, "ip", "link", "set", dev, "up")
            run("ip", "netns", "exec", ns, "ip", "route", "add", "239.255.255.250/32", "dev", dev)
        run("ip", "netns", "exec", srv, "ip", "route", "add", "169.254.78.0/24", "dev", "ng0")
        libc = ctypes.CDLL(None, use_errno=True)
        with open("/run/netns/" + cli) as f:
            if libc.setns(f.fileno(), 0x40000000) != 0:  # CLONE_NEWNET
                raise OSError(ctypes.get_errno(), "setns")
        time.sleep(1.5)  # the veth link comes up
        yield srv
    finally:
        subprocess.run(["ip", "netns", "del", srv])
        subprocess.run(["ip", "netns", "del", cli])


class Fixture:
    def __init__(self, path, ns, folder, allow=None):
        self.err = open(os.path.join(folder, "stderr"), "w+")
        self.proc = subprocess.Popen(["ip", "netns", "exec", ns, path, SERVER,
                                      os.path.join(folder, "uuid")] + ([allow] if allow else []),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.err, text=True)
        line = self.proc.stdout.readline().split()
        assert line[:1] == ["ready"], line
        self.location, self.networks = line[1], (line[2:] or [""])[0]
        self.port = int(re.match(r"http://[0-9.]+:(\d+)/", self.location).group(1))

    def stderr_lines(self):
        self.err.seek(0)
        return self.err.read().splitlines()

    def stop(self):
        self.proc.stdin.close()
        assert self.proc.stdout.readline().strip() == "stopped"
        code = self.proc.wait(timeout=10)
        assert code == 0, (code, self.stderr_lines()[-40:])


def msearch(src):
    """The answers to an M-SEARCH for everything sent from SRC."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(src))
    s.bind((src, 0))
    s.sendto(b'M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: "ssdp:discover"\r\n'
             b"MX: 1\r\nST: ssdp:all\r\n\r\n", SSDP)
    got, end = [], time.monotonic() + 1.6
    while time.monotonic() < end:
        if select.select([s], [], [], max(0, end - time.monotonic()))[0]:
            got.append(s.recv(65536))
    s.close()
    return got


def http(fx, src, head, body=b""):
    """One request from SRC: the status line's code and the headers, or None when cut."""
    s = socket.create_connection((SERVER, fx.port), timeout=10, source_address=(src, 0))
    s.sendall(head.replace(b"HOST", b"%s:%d" % (SERVER.encode(), fx.port)) + body)
    data = b""
    try:
        while b"\r\n\r\n" not in data:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    except ConnectionResetError:
        pass
    s.close()
    return (int(data.split()[1]), data.split(b"\r\n\r\n")[0].decode()) if data else (None, "")


BROWSE = (b'<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/">'
          b'<s:Body><u:Browse xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1"><ObjectID>0'
          b"</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><StartingIndex>0"
          b"</StartingIndex><RequestedCount>0</RequestedCount></u:Browse></s:Body></s:Envelope>")


def subscribe(fx, src, callback=None, sid=None):
    head = b"SUBSCRIBE /event/ContentDirectory HTTP/1.1\r\nHost: HOST\r\nTIMEOUT: Second-1800\r\n"
    head += (b"SID: %s\r\n" % sid.encode() if sid else
             b"CALLBACK: %s\r\nNT: upnp:event\r\n" % (callback or "<http://%s:9/>" % src).encode())
    status, headers = http(fx, src, head + b"\r\n")
    m = re.search(r"^SID:\s*(\S+)", headers, re.M | re.I)
    return status, m.group(1) if m else None


def unsubscribe(fx, src, sid):
    return http(fx, src, b"UNSUBSCRIBE /event/ContentDirectory HTTP/1.1\r\nHost: HOST\r\n"
                         b"SID: %s\r\n\r\n" % sid.encode())[0]


def surfaces(fx, src):
    """What SRC gets: SSDP answers, and the status of the description, a
    Browse and a SUBSCRIBE naming itself."""
    ssdp = msearch(src)
    desc = http(fx, src, b"GET /%s HTTP/1.1\r\nHost: HOST\r\n\r\n"
                % fx.location.rsplit("/", 1)[1].encode())[0]
    soap = http(fx, src, b"POST /control/ContentDirectory HTTP/1.1\r\nHost: HOST\r\n"
                b'SOAPACTION: "urn:schemas-upnp-org:service:ContentDirectory:1#Browse"\r\n'
                b"Content-Length: %d\r\n\r\n" % len(BROWSE), BROWSE)[0]
    return (bool(ssdp) and all(fx.location.encode() in a for a in ssdp), desc, soap,
            subscribe(fx, src)[0])


def case_allow(fx_path, ns, folder):
    # By default the interface's own network: a peer on it is served, one
    # outside gets no SSDP answer and 403 everywhere.
    fx = Fixture(fx_path, ns, folder)
    assert fx.networks == "169.254.77.0/24", fx.networks
    served, refused = surfaces(fx, INSIDE), surfaces(fx, OUTSIDE)
    fx.stop()
    assert served == (True, 200, 200, 200), served
    assert refused == (False, 403, 403, 403), refused
    # Named networks replace it: one address of the interface's network and
    # the outside one (and an IPv6 network no peer is in). GUPnP itself
    # sends events only within the interface's network: the outside peer's
    # SUBSCRIBE passes the gate and GUPnP answers it 412.
    fx = Fixture(fx_path, ns, folder, INSIDE + ",169.254.78.0/24,fd00::/8")
    assert fx.networks == INSIDE + "/32,169.254.78.0/24,fd00::/8", fx.networks
    inside, outside, other = surfaces(fx, INSIDE), surfaces(fx, OUTSIDE), surfaces(fx, OTHER)
    # The server's own address stays allowed: GUPnP reads its own service
    # descriptions before it sends a new subscriber the first event.
    got, until = [], threading.Event()
    t = receiving(INSIDE, 9999, got, until)
    assert subscribe(fx, INSIDE, "<http://%s:9999/e>" % INSIDE)[0] == 200
    first_event(got)
    until.set()
    t.join()
    assert got and b"<SystemUpdateID>7</SystemUpdateID>" in got[0][1], (got, fx.stderr_lines())
    fx.stop()
    assert inside == (True, 200, 200, 200), inside
    assert outside == (True, 200, 200, 412), outside
    assert other == (False, 403, 403, 403), other
    print("default 169.254.77.0/24: %s served, %s ignored by SSDP and 403; %s/32,169.254.78.0/24: "
          "both served, %s refused" % (INSIDE, OUTSIDE, INSIDE, OTHER))


def receiving(addr, port, got, until):
    """A thread that records the NOTIFYs that reach ADDR:PORT until UNTIL is
    set, listening before it is returned: an event sent at once is not lost."""
    l = socket.socket()
    l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    l.bind((addr, port))
    l.listen(64)
    l.settimeout(0.2)
    t = threading.Thread(target=receiver, args=(l, addr, got, until))
    t.start()
    return t


def first_event(got, within=10):
    deadline = time.monotonic() + within
    while not got and time.monotonic() < deadline:
        time.sleep(0.05)


def receiver(l, addr, got, until):
    while not until.is_set():
        try:
            c, _ = l.accept()
        except socket.timeout:
            continue
        c.settimeout(2)
        try:
            data = b""
            while b"</e:propertyset>" not in data:
                chunk = c.recv(65536)
                if not chunk:
                    break
                data += chunk
            got.append((addr, data))
            c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
        except OSError:
            pass
        c.close()
    l.close()


def case_gena(fx_path, ns, folder):
    fx = Fixture(fx_path, ns, folder)
    got, until = [], threading.Event()
    threads = [receiving(a, 9999, got, until) for a in (INSIDE, OTHER)]
    # Callbacks naming any host but the subscriber: 412, and nothing sent there.
    for cb in ("<http://%s:9999/e>" % OTHER, "<http://%s:9999/a><http://%s:9999/b>" % (INSIDE, OTHER),
               "<http://%s@%s:9999/>" % (INSIDE, OTHER), "<http://localhost:9999/>",
               "<https://%s:9999/>" % INSIDE, "<http://%s:9999/" % INSIDE, "http://%s:9999/" % INSIDE):
        assert subscribe(fx, INSIDE, cb)[0] == 412, cb
    status, first = subscribe(fx, INSIDE, "<http://%s:9999/e>" % INSIDE)
    assert status == 200 and first, status
    first_event(got)
    time.sleep(0.5)  # anything sent elsewhere would have come by now
    assert got and {a for a, _ in got} == {INSIDE}, got
    # Sixteen subscriptions for one address; a renewal still passes, an
    # unsubscription makes room for one more.
    sids = [first] + [subscribe(fx, INSIDE)[1] for _ in range(15)]
    assert all(sids), sids
    assert subscribe(fx, INSIDE)[0] == 503
    assert subscribe(fx, INSIDE, sid=first) == (200, first)
    assert unsubscribe(fx, INSIDE, sids[5]) == 200
    assert subscribe(fx, INSIDE)[0] == 200 and subscribe(fx, INSIDE)[0] == 503
    # 256 in all: fifteen more addresses fill it, the next gets 503.
    for src in MANY[:15]:
        codes = [subscribe(fx, src)[0] for _ in range(16)]
        assert codes == [200] * 16, (src, codes)
    assert subscribe(fx, MANY[15])[0] == 503
    assert unsubscribe(fx, MANY[0], "uuid:none") == 412
    # The UPnP libraries' complaints about all this (and about 300 broken
    # searches) reach stderr a few at a time.
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(INSIDE))
    for _ in range(300):
        s.sendto(b'M-SEARCH * HTTP/1.1\r\nMAN: "ssdp:discover"\r\nST: ssdp:all\r\n\r\n', SSDP)
    s.close()
    time.sleep(1)
    until.set()
    for t in threads:
        t.join()
    lines = [l for l in fx.stderr_lines() if "WARNING" in l or "CRITICAL" in l]
    fx.stop()
    assert len(lines) <= 6, lines
    print("callbacks elsewhere 412 (nothing sent there), 16 per address and 256 in all then "
          "503, renewal and unsubscription work; %d stderr lines" % len(lines))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--fixture", required=True)
    ap.add_argument("case", choices=["allow", "gena"])
    args = ap.parse_args()
    if os.geteuid() != 0:
        print("skip: network namespaces need root")
        return SKIP
    if not shutil.which("ip"):
        print("skip: ip is missing (scripts/install-deps)")
        return SKIP
    with lan() as ns, tempfile.TemporaryDirectory() as folder:
        {"allow": case_allow, "gena": case_gena}[args.case](os.path.abspath(args.fixture), ns,
                                                            folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
