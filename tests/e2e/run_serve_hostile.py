#!/usr/bin/env python3
"""`nimbus serve --dlna` attacked through its real surfaces: hostile SOAP
bodies, an SSDP flood with spoofed searches and notifications, and item
names on the mock drive built to break out of DIDL-Lite and HTML.

SSDP runs only inside a network namespace made for the run (lo alone, with
the multicast route): no datagram reaches a real interface.
Usage: run_serve_hostile.py --nimbus PATH [--out FOLDER] CASE...
"""

import html.parser
import http.client
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "dlna"))
from mock_graph import Node  # noqa: E402
from run_e2e import MEMORY_MEASURED, Skip, cases_in, check, main_of  # noqa: E402
from run_serve import Fixture, expect, print_gateway_logs  # noqa: E402
from run_dlna import browse_body, envelope, soap  # noqa: E402

MEDIA_SERVER = "urn:schemas-upnp-org:device:MediaServer:1"
SSDP = ("239.255.255.250", 1900)
DIDL = {"d": "urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/",
        "dc": "http://purl.org/dc/elements/1.1/",
        "upnp": "urn:schemas-upnp-org:metadata-1-0/upnp/"}

# Names that would end a CDATA section, open elements or attributes, carry
# terminal controls, or hold a lone surrogate (not UTF-8 once decoded).
BREAKOUT = 'x]]><item id="9"><dc:title>&amp;"\'.mp3'
CONTROLS = "ctl\x01\x1b[2J\x7f\u009b.flac"
SCRIPT = "<img src=x onerror=alert(1)>.mp3"
SURROGATE = "bad\udcff.mp3"
FOLDER = '<f> & "q"'
CONTROL_CHARS = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\x7f-\x9f]")


def same_text(shown, name):
    """Whether SHOWN is NAME with each control character replaced by one
    harmless character (the library's "_" or DIDL's U+FFFD)."""
    return len(shown) == len(name) and all(
        a == b or (CONTROL_CHARS.match(b) and a in "_\ufffd") for a, b in zip(shown, name))


def hostile_drive(mock):
    folder = mock.root.add(Node(FOLDER, folder=True))
    for name in (BREAKOUT, CONTROLS, SCRIPT):
        folder.add(Node(name, size=7))
    folder.add(Node("Sub", folder=True))
    mock.root.add(Node("Broken", folder=True)).add(Node(SURROGATE, size=1))
    mock._number(mock.root)
    mock.find_path("/%s/%s" % (FOLDER, SCRIPT)).audio = {
        "artist": "<upnp:artist>&lt;", "album": "]]>\x00", "title": "<b>t</b>", "duration": 5000}


class Tags(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.tags, self.texts = [], []

    def handle_starttag(self, tag, attrs):
        self.tags.append((tag, dict(attrs)))

    def handle_data(self, data):
        self.texts.append(data)


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def case_dlna_hostile(f):
    """Hostile SOAP, SSDP floods and spoofs, and injecting names: no crash, bounded, escaped."""
    if os.environ.get("NIMBUS_E2E_NETNS") == "1":
        return hostile_inside(f)
    if os.geteuid() != 0:
        raise Skip("a private network namespace needs root")
    for tool in ("unshare", "ip", "gssdp-discover"):
        if not shutil.which(tool):
            raise Skip("%s is missing (scripts/install-deps)" % tool)
    setup = ("ip link set lo up && ip link set lo multicast on && "
             "ip route add 239.255.255.250/32 dev lo && exec \"$@\"")
    p = subprocess.run(["unshare", "-n", "sh", "-c", setup, "sh", sys.executable, "-B",
                        os.path.abspath(__file__), "--nimbus", f.nimbus, "--out", f.out,
                        "dlna_hostile"],
                       env=dict(os.environ, NIMBUS_E2E_NETNS="1"), capture_output=True,
                       timeout=500)
    sys.stdout.write(p.stdout.decode())
    if p.returncode == 77:
        raise Skip("skipped inside the namespace")
    check(p.returncode == 0, "the case inside its namespace", p.stdout.decode()[-4000:],
          p.stderr.decode()[-3000:])


def start(f):
    links = subprocess.run(["ip", "-o", "link"], capture_output=True, text=True).stdout
    check([l.split(":")[1].strip() for l in links.splitlines()] == ["lo"],
          "only lo in this namespace", links)
    hostile_drive(f.mock)
    return media_server(f.serve("--dlna"))


def media_server(g):
    """The gateway G once its MediaServer runs, its description URL, host and port."""
    deadline = time.monotonic() + 20
    while not any("DLNA MediaServer" in l for l in g.lines):
        if "no DLNA server" in g.log():
            raise Skip("this build has no DLNA server")
        check(time.monotonic() < deadline and g.p.poll() is None, "MediaServer started", g.log())
        time.sleep(0.05)
    location = re.search(r"(http://\S+)", next(l for l in g.lines if "DLNA MediaServer" in l))
    m = re.match(r"http://([0-9.]+):(\d+)/", location.group(1))
    return g, location.group(1), m.group(1), int(m.group(2))


def description_status(location, h, p, src):
    s = socket.create_connection((h, p), timeout=10, source_address=(src, 0))
    s.sendall(b"GET /%s HTTP/1.1\r\nHost: %s:%d\r\n\r\n"
              % (location.rsplit("/", 1)[1].encode(), h.encode(), p))
    head = s.recv(65536)
    s.close()
    return int(head.split()[1]) if head else None


def hostile_inside(f):
    # --dlna-allow is read strictly: a malformed network is a usage error;
    # neither it nor --dlna-all goes without --dlna.
    for bad in (["--dlna-allow", "192.168.1.0/24"], ["--dlna", "--dlna-allow", "192.168.1.5/24"],
                ["--dlna", "--dlna-allow", "10.0.0.0/8,"], ["--dlna", "--dlna-allow", "fe80::1%lo"],
                ["--dlna", "--dlna-allow", "10.0.0.0/33"], ["--dlna", "--dlna-allow="],
                ["--dlna-all"]):
        p = subprocess.run([f.nimbus, "serve"] + bad, capture_output=True, text=True, timeout=30)
        check(p.returncode == 2 and "--dlna" in p.stderr, "usage error for %r" % bad, p.returncode,
              p.stderr)
    g, location, h, p = start(f)
    folder_id = "0/" + urllib.parse.quote(FOLDER, safe="/-._~")

    # DIDL-Lite: the answer and its Result parse strictly; every name comes
    # back as text, controls and the lone surrogate as U+FFFD.
    status, body = soap(h, p, browse_body(folder_id.encode()))
    check(status == 200, "Browse of the hostile folder", status, body[:500])
    result = ET.fromstring(body).find(".//Result").text
    check(not CONTROL_CHARS.search(result), "no control character in DIDL", repr(result))
    objs = list(ET.fromstring(result))
    titles = [o.find("dc:title", DIDL).text for o in objs]
    names = [BREAKOUT, CONTROLS, "<b>t</b>", "Sub"]
    check(len(titles) == 4 and all(any(same_text(t, n) for n in names) for t in titles),
          "titles as text", titles)
    check([o.tag.split("}")[1] for o in objs].count("item") == 3, "three items, one container")
    script = next(o for o in objs if o.find("dc:title", DIDL).text == "<b>t</b>")
    check(script.find("upnp:artist", DIDL).text == "<upnp:artist>&lt;"
          and script.find("upnp:album", DIDL).text in ("]]>", "]]>\ufffd"), "artist and album as text",
          ET.tostring(script))
    for o in objs:
        # Each id browses back to the same object, and each res is the file on the gateway.
        s, again = soap(h, p, browse_body(o.get("id").replace("&", "&amp;").encode(),
                                          b"BrowseMetadata"))
        check(s == 200, "BrowseMetadata of " + o.get("id"), again[:300])
        (back,) = ET.fromstring(ET.fromstring(again).find(".//Result").text)
        check(back.get("id") == o.get("id") and back.get("parentID") == folder_id,
              "the same object", back.attrib)
        res = o.find("d:res", DIDL)
        if res is not None:
            path = urllib.parse.unquote(urllib.parse.urlsplit(res.text).path, errors="strict")
            title = o.find("dc:title", DIDL).text
            name = SCRIPT if o is script else next(n for n in names if same_text(title, n))
            check(same_text(path, "/%s/%s" % (FOLDER, name)), "res names the file", res.text)

    # HTML: the same folder page holds the names as text only.
    status, _, page = got = g.get("/" + urllib.parse.quote(FOLDER) + "/")
    expect(got, 200, "hostile folder page")
    tags = Tags()
    tags.feed(page)
    check({t for t, _ in tags.tags} <= {"html", "head", "meta", "title", "style", "body", "nav",
                                        "a", "h1", "p", "table", "thead", "tr", "th", "tbody",
                                        "td", "span", "form", "input", "button", "img"},
          "no tag from a name", sorted({t for t, _ in tags.tags}))
    # The only images are the page's own covers.
    imgs = [dict(a) for t, a in tags.tags if t == "img"]
    check(imgs and all(set(a) == {"class", "src", "loading", "width", "height", "alt"} and
                       "?cover=" in a["src"] and a["alt"] == "" for a in imgs),
          "images: covers only", imgs)
    check(not CONTROL_CHARS.search(page) and '="9"' not in page and "]]>" not in "".join(v or "" for _, a in tags.tags
                                                     for v in a.values()),
          "no control character, no attribute from a name", repr(page[-3000:]))
    # A media file's name leads to its own page.
    hrefs = [urllib.parse.unquote(a.get("href"), errors="strict").removesuffix("?view=1")
             for t, a in tags.tags if t == "a"]
    for name in (BREAKOUT, CONTROLS, SCRIPT):
        check(any(same_text(h, "/%s/%s" % (FOLDER, name)) for h in hrefs),
              "a link to " + repr(name), hrefs)
    status, _, page = got = g.get("/" + urllib.parse.quote(FOLDER) + "/" +
                                  urllib.parse.quote(SCRIPT) + "x")
    expect(got, 404, "a missing file beside them")
    check("<img" not in page and not CONTROL_CHARS.search(page), "error page escaped", page)
    # A name the service sends as a lone surrogate: listed, repaired.
    status, _, page = got = g.get("/Broken/")
    expect(got, 200, "a listing with an ill-formed name")
    check("bad\ufffd.mp3" in page, "the name repaired", page)
    status, body = soap(h, p, browse_body(b"0/Broken"))
    check(status == 200 and "bad\ufffd.mp3".encode() in body, "Browse lists it", body)

    # Hostile SOAP bodies, many times over: answered or cut, never a crash,
    # and the process does not grow with them.
    laughs = (b'<?xml version="1.0"?><!DOCTYPE s [<!ENTITY a "aaaaaaaaaa">' +
              b"".join(b'<!ENTITY %s "%s">' % (bytes([98 + i]), (b"&%s;" % bytes([97 + i])) * 10)
                       for i in range(9)) + b"]>")
    deep = envelope(b'<u:Browse xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1">' +
                    b"<ObjectID>" + b"<a>" * 5000 + b"0" + b"</a>" * 5000 + b"</ObjectID>" +
                    b"</u:Browse>")
    huge_id = browse_body(b"0/" + b"%41" * 21000)
    long_path = browse_body(b"0" + b"/a" * 30000)
    text = (laughs + browse_body(b"&j;")[21:]).decode()
    attacks = [
        ("billion laughs", laughs + browse_body(b"&j;")[21:], "Browse", {None}),
        ("UTF-16LE billion laughs", b"\xff\xfe" + text.encode("utf-16-le"), "Browse", {"400"}),
        ("UTF-16BE billion laughs", b"\xfe\xff" + text.encode("utf-16-be"), "Browse", {"400"}),
        ("declared UTF-16", b'<?xml version="1.0" encoding="UTF-16"?>' + browse_body(b"0")[21:],
         "Browse", {"400"}),
        ("deeply nested", deep, "Browse", {"400", "402", "500"}),
        ("unclosed", b"<s:Envelope", "Browse", {"400"}),
        ("not UTF-8", b"\xff\xfe<x/>", "Browse", {"400"}),
        ("no arguments", envelope(b'<u:Browse xmlns:u="urn:x"/>'), "Browse", {"402"}),
        ("huge object id", huge_id, "Browse", {"701"}),
        ("deep object id", long_path, "Browse", {"701"}),
        ("action unlike the body", browse_body(b"0"), "GetSystemUpdateID", {"400"}),
        ("unknown action", envelope(b'<u:Destroy xmlns:u="urn:x"/>'), "Destroy", {"401"}),
        ("elements only", b"<a>" * 20000, "Browse", {"400"}),
    ]
    oversized = [
        ("declared 1 MiB", browse_body(b"0" + b" " * (1 << 20))),
        ("chunked 2 MiB", None),
    ]
    chunked = (b"POST /control/ContentDirectory HTTP/1.1\r\nHost: %s:%d\r\n"
               b'SOAPACTION: "urn:schemas-upnp-org:service:ContentDirectory:1#Browse"\r\n'
               b"Transfer-Encoding: chunked\r\n\r\n" % (h.encode(), p) +
               b"".join(b"8000\r\n" + b"x" * 0x8000 + b"\r\n" for _ in range(64)) + b"0\r\n\r\n")

    def one_round(report):
        for what, body, action, codes in attacks:
            answer = soap(h, p, body, action=action)
            if None in codes:
                check(answer is None, what + ": connection closed", answer)
                continue
            check(answer is not None and 400 <= answer[0] < 600, what + ": an error", answer)
            error = re.search(rb"<errorCode>(\d+)<", answer[1])
            code = error.group(1).decode() if error else str(answer[0])
            check(code in codes, what + ": answered %s" % code, answer[1][:300])
            report.append("%s %s" % (what, code))
        for what, body in oversized:
            answer = soap(h, p, b"", raw=chunked) if body is None else soap(h, p, body)
            check(answer is None, what + ": connection closed", answer)
            report.append(what + " cut")

    report = []
    one_round(report)
    print("hostile SOAP answered: " + "; ".join(report))
    rss0 = rss_kb(g.p.pid)
    for _ in range(15):
        one_round([])
    rss1 = rss_kb(g.p.pid)
    print("hostile SOAP x15 more: RSS %d kB -> %d kB" % (rss0, rss1))
    if MEMORY_MEASURED:
        check(rss1 - rss0 < 8 * 1024, "memory bounded under hostile SOAP", rss0, rss1)

    # An SSDP flood from several spoofed sources, searches for everything,
    # and notifications that claim the server's own UUID went away or moved.
    udn = "uuid:" + open(os.path.join(f.dir, "dlna-uuid")).read().strip()
    socks = []
    for i in range(4):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
        s.bind(("127.0.0.%d" % (2 + i), 0))
        socks.append(s)
    search = (b'M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: "ssdp:discover"\r\n'
              b"MX: 5\r\nST: ssdp:all\r\n\r\n")
    spoofs = [
        b"NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\n"
        b"NTS: ssdp:byebye\r\nUSN: " + udn.encode() + b"::upnp:rootdevice\r\n\r\n",
        b"NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nCACHE-CONTROL: max-age=1800\r\n"
        b"LOCATION: http://203.0.113.9/evil.xml\r\nNT: " + MEDIA_SERVER.encode() +
        b"\r\nNTS: ssdp:alive\r\nUSN: " + udn.encode() + b"::" + MEDIA_SERVER.encode() +
        b"\r\n\r\n",
        b"M-SEARCH * HTTP/1.1\r\nST: " + b"x" * 60000 + b"\r\n\r\n",
        b"M-SEARCH * HTTP/1.1\r\n" + b"X: y\r\n" * 5000 + b"\r\n",
        b"\x00" * 1000,
    ]
    rss0 = rss_kb(g.p.pid)
    started = time.monotonic()
    for i in range(20000):
        s = socks[i % 4]
        s.sendto(search if i % 4 else spoofs[(i // 4) % len(spoofs)], SSDP)
        if i % 5 == 0:
            s.sendto(search, ("127.0.0.1", 1900))  # unicast searches too
    took = time.monotonic() - started
    for s in socks:
        s.close()
    time.sleep(1)
    peak = rss_kb(g.p.pid)
    print("SSDP flood of 24000 datagrams in %.2f s: RSS %d kB -> %d kB" % (took, rss0, peak))
    check(g.p.poll() is None, "still running after the flood", g.log()[-2000:])
    if MEMORY_MEASURED:
        check(peak - rss0 < 64 * 1024, "memory bounded under the flood", rss0, peak)

    # Still discoverable at its own location, still browsing, still serving pages.
    disc = subprocess.run(["gssdp-discover", "-i", "lo", "-t", MEDIA_SERVER, "-n", "6"],
                          capture_output=True, text=True, timeout=60)
    check(location in disc.stdout and "203.0.113.9" not in disc.stdout.split(location)[0][-200:],
          "discovered at its own location after the spoofs", disc.stdout[-2000:])
    status, body = soap(h, p, browse_body(b"0"))
    check(status == 200 and b"Music" in body, "Browse after the flood", body[:300])
    expect(g.get("/Music/"), 200, "pages after the flood")

    # A Browse page of a 100 000-entry folder costs its page, not the folder.
    huge_folder(f.mock, "Huge", 100000)
    f.mock._number(f.mock.root)
    ten = browse_body(b"0/Huge").replace(b"<RequestedCount>0<", b"<RequestedCount>10<")
    status, body = soap(h, p, ten, timeout=120)  # lists the folder, then kept
    check(status == 200 and b"<TotalMatches>100000</TotalMatches>" in body
          and b"<NumberReturned>10</NumberReturned>" in body, "a page of ten", body[-300:])
    rss0, got = rss_kb(g.p.pid), []
    pages = [threading.Thread(target=lambda: got.append(soap(h, p, ten, timeout=120)))
             for _ in range(4)]
    for t in pages:
        t.start()
    for t in pages:
        t.join()
    grown = (rss_kb(g.p.pid) - rss0) // 1024
    print("four Browse pages of ten from a 100 000-entry folder: RSS +%d MiB" % grown)
    check([s for s, _ in got] == [200] * 4, "four pages", [s for s, _ in got])
    if MEMORY_MEASURED:
        check(grown < 8, "no item made for the rows not asked for", grown)
    check(g.stop() == 0, "stopped", g.log()[-3000:])
    check(re.search(r"^nimbus: stopped", g.log(), re.M), "stopped cleanly", g.log()[-2000:])

    # --dlna-allow reaches the MediaServer: one loopback address browses,
    # another gets 403 (by default all of 127.0.0.0/8 would).
    g, location, h, p = media_server(f.serve("--dlna", "--dlna-allow", "127.0.0.2"))
    statuses = [description_status(location, h, p, src) for src in ("127.0.0.2", "127.0.0.3")]
    check(statuses == [200, 403], "--dlna-allow 127.0.0.2 answers .2 and refuses .3", statuses)
    check(g.stop() == 0, "stopped", g.log()[-3000:])


# What the gateway's listings may hold together (being listed, rendered or
# kept), as the README states, and the margin allowed above it for the
# allocator, the library's pages and the answers.
LISTING_MIB = 64
LISTING_MARGIN_MIB = 48


def huge_folder(mock, name, n, audio=False):
    folder = mock.root.add(Node(name, folder=True))
    for i in range(n):
        track = folder.add(Node("%06d Some Artist - A Rather Long Song Title.flac" % i,
                                size=30000000 + i))
        if audio:
            track.audio = {"artist": "Some Artist", "album": "An Album Called Something",
                           "title": "A Rather Long Song Title %d" % i, "track": i % 20 + 1,
                           "duration": 240000 + i}
    return folder


def at_once(g, paths):
    """Asks for every path at once; answers (status, headers, body) in order."""
    got = [None] * len(paths)

    def one(i):
        try:
            got[i] = g.get(paths[i])
        except (OSError, http.client.HTTPException) as e:
            got[i] = (None, {}, repr(e))
    threads = [threading.Thread(target=one, args=(i,)) for i in range(len(paths))]
    for t in threads:
        # A pool thread answers one request at a time: connections opened in
        # the same instant may queue behind one listing (and meet the header
        # deadline). A moment apart, each lands on an idle thread.
        t.start()
        time.sleep(0.3)
    for t in threads:
        t.join(timeout=600)
    return got


def case_listing_memory(f):
    """Four first pages of 100 000-entry folders at once: resident growth
    stays under the listings' bound; beyond it a request gets 503, and a
    folder larger than the whole bound 507."""
    mock = f.mock
    for k in range(4):
        huge_folder(mock, "Huge%d" % k, 100000, audio=k % 2 == 1)
    mock._number(mock.root)
    g = f.serve()
    expect(g.get("/Music/"), 200, "a small folder first")
    rss0 = rss_kb(g.p.pid)
    peak = [rss0]
    done = threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], rss_kb(g.p.pid))
            time.sleep(0.05)
    watcher = threading.Thread(target=sample)
    watcher.start()
    started = time.monotonic()
    try:
        got = at_once(g, ["/Huge%d/" % k for k in range(4)])
    finally:
        done.set()
        watcher.join()
    grown = (max(peak[0], rss_kb(g.p.pid)) - rss0) // 1024
    print("four 100 000-entry first pages at once: %s in %.1f s; RSS %d MiB, +%d MiB at most" % (
        [s for s, _, _ in got], time.monotonic() - started, rss0 // 1024, grown))
    for status, _, body in got:
        expect((status, None, body), 200, "a first page within the bound")
        check("<span>1&ndash;500 of 100000</span>" in body, "the first page", body[:1500])
    if MEMORY_MEASURED:
        check(grown < LISTING_MIB + LISTING_MARGIN_MIB, "resident growth bounded", grown)

    # Their JSON answers (some 40 MiB each) are written as they are read,
    # from the kept listings: byte for byte the library's.
    rss0 = rss_kb(g.p.pid)
    got = at_once(g, ["/Huge%d/?format=json" % k for k in range(4)])
    grown = (rss_kb(g.p.pid) - rss0) // 1024
    print("four JSON answers of %d MiB at once: RSS +%d MiB" % (len(got[0][2]) >> 20, grown))
    check([s for s, _, _ in got] == [200] * 4, "four answers", [s for s, _, _ in got])
    listed = subprocess.run(f.command("--json", "list", "/Huge0"), capture_output=True)
    check(got[0][2] + "\n" == listed.stdout.decode(), "same as nimbus --json list",
          got[0][2][:300])
    if MEMORY_MEASURED:
        check(grown < 16, "answers not held whole", grown)
    check(g.stop() == 0, "stopped", g.log()[-2000:])

    # A 12 MiB bound holds one 100 000-entry folder of ordinary names (some
    # 10 MiB), not two at once, nor one with media facets (some 18 MiB).
    os.environ["NIMBUS_SERVE_LISTING_MIB"] = "12"
    try:
        g = f.serve()
    finally:
        del os.environ["NIMBUS_SERVE_LISTING_MIB"]
    got = at_once(g, ["/Huge0/", "/Huge2/", "/Huge0/", "/Huge2/"])
    statuses = [s for s, _, _ in got]
    print("two 100 000-entry folders at once under 12 MiB: %s" % statuses)
    for status, headers, body in got:
        check(status in (200, 503), "a page or a 503", status, body[:300])
        if status == 503:
            check(headers.get("retry-after") == "2", "says when to come back", headers)
            check("busy listing other folders" in body and "callback" not in body,
                  "says why, without the library's words for the stop", body[:1500])
    check(sorted(set(statuses)) == [200, 503], "one listed, the other told to wait", statuses)
    check(statuses[:2] == statuses[2:], "a request for a folder under way shares its outcome",
          statuses)
    for k in (0, 2):
        # Back after the pause: the kept folder gives way to the one in flight.
        status, _, body = got = g.get("/Huge%d/" % k)
        expect(got, 200, "Huge%d when the budget is free" % k)

    # A folder larger than the whole bound: 507 for each request, listed once.
    before = len(mock.requests)
    got = at_once(g, ["/Huge1/"] * 4)
    for status, headers, body in got:
        check(status == 507 and "too large for the gateway" in body and "12 MiB" in body,
              "507 and why", status, body[:1500])
    pages = [r for r in mock.requests[before:] if "children" in r["path"]]
    check(0 < len(pages) < 100, "one listing, stopped within the bound", len(pages))
    status, headers, body = got = g.get("/Huge1/?format=json")
    expect(got, 507, "as JSON")
    check(body.startswith('{"error":"This folder is too large for the gateway'), "JSON", body)
    expect(g.get("/Music/"), 200, "small folders still listed")
    check(g.stop() == 0, "stopped", g.log()[-2000:])

CASES = cases_in(globals())


def main():
    return main_of(CASES, lambda a: Fixture(os.path.abspath(a.nimbus), os.path.abspath(a.out)),
                   [("--out", ".")], print_gateway_logs)


if __name__ == "__main__":
    sys.exit(main())
