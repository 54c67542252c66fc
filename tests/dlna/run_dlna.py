#!/usr/bin/env python3
"""The DLNA MediaServer module against control points nobody here wrote
(gssdp-discover, a GUPnP control point with GUPnP-AV's DIDL-Lite parser) and
against hostile clients, inside a private network namespace made for the
run: SSDP multicast never leaves it. Exit 77 (skipped) without root, without
unshare, or without the GUPnP tools and bindings.

    run_dlna.py --fixture PATH CASE        CASE: discover, alive, browse, hostile or vlc
"""
import argparse
import os
import re
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

# ctest's skip, or a failure where nothing may be missing (CI sets the flag).
SKIP = 1 if os.environ.get("NIMBUS_TEST_NO_SKIP") else 77
MEDIA_SERVER = "urn:schemas-upnp-org:device:MediaServer:1"
CDS = "urn:schemas-upnp-org:service:ContentDirectory:1"
CM = "urn:schemas-upnp-org:service:ConnectionManager:1"
REGISTRAR = "urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1"
SSDP = ("239.255.255.250", 1900)
DIDL_NS = {"d": "urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/",
           "dc": "http://purl.org/dc/elements/1.1/",
           "upnp": "urn:schemas-upnp-org:metadata-1-0/upnp/"}


def case_vlc(fixture):
    """VLC's UPnP discovery (libupnp) refuses loopback, so this case joins two
    namespaces of its own with a veth pair on link-local addresses: the server
    in one, cvlc (as nobody: VLC refuses root) in the other."""
    if not shutil.which("cvlc") or not os.path.exists(
            "/usr/lib/x86_64-linux-gnu/vlc/plugins/services_discovery/libupnp_plugin.so"):
        print("skip: cvlc with its UPnP plugin is missing (scripts/install-deps)")
        return SKIP
    srv, cli = "nimbus-dlna-s%d" % os.getpid(), "nimbus-dlna-c%d" % os.getpid()
    run = lambda *cmd: subprocess.run(list(cmd), check=True)
    try:
        run("ip", "netns", "add", srv)
        run("ip", "netns", "add", cli)
        run("ip", "netns", "exec", srv, "ip", "link", "add", "nd0", "type", "veth", "peer", "name",
            "nd1", "netns", cli)
        for ns, dev, addr in ((srv, "nd0", "169.254.77.1"), (cli, "nd1", "169.254.77.2")):
            run("ip", "netns", "exec", ns, "ip", "link", "set", "lo", "up")
            run("ip", "netns", "exec", ns, "ip", "addr", "add", addr + "/24", "dev", dev)
            run("ip", "netns", "exec", ns, "ip", "link", "set", dev, "up")
            run("ip", "netns", "exec", ns, "ip", "route", "add", "239.255.255.250/32", "dev", dev)
        time.sleep(2)  # the veth link comes up
        with tempfile.TemporaryDirectory() as folder:
            fx = subprocess.Popen(["ip", "netns", "exec", srv, fixture, "169.254.77.1",
                                   os.path.join(folder, "uuid")], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
            assert fx.stdout.readline().startswith("ready "), "fixture did not start"
            vlc = subprocess.Popen(["ip", "netns", "exec", cli, "setpriv", "--reuid=65534",
                                    "--regid=65534", "--clear-groups", "env", "HOME=/tmp", "cvlc",
                                    "-I", "rc", "--rc-fake-tty", "--services-discovery=upnp"],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True)
            time.sleep(9)
            vlc.stdin.write("playlist\n")
            vlc.stdin.flush()
            time.sleep(1.5)
            out, _ = vlc.communicate("quit\n", timeout=30)
            fx.stdin.close()
            fx.wait(timeout=10)
        listed = 'nimbus <test> & "co"' in out
        print("cvlc --services-discovery=upnp lists:", [l.strip() for l in out.splitlines()
                                                         if l.startswith("|")])
        assert listed, out
        return 0
    finally:
        subprocess.run(["ip", "netns", "del", srv])
        subprocess.run(["ip", "netns", "del", cli])


def has_gi(python):
    code = ("import gi; gi.require_version('GUPnP', '1.6'); "
            "gi.require_version('GUPnPAV', '1.0'); from gi.repository import GUPnP, GUPnPAV")
    return subprocess.run([python, "-c", code], capture_output=True).returncode == 0


def outside(args):
    """Re-runs this script in a new network namespace with a Python that has GUPnP."""
    if os.geteuid() != 0:
        print("skip: a private network namespace needs root")
        return SKIP
    for tool in ("unshare", "ip", "gssdp-discover"):
        if not shutil.which(tool):
            print("skip: %s is missing (scripts/install-deps)" % tool)
            return SKIP
    if args.case == "vlc":
        return case_vlc(args.fixture)
    python = next((p for p in (sys.executable, "/usr/bin/python3") if os.path.exists(p) and has_gi(p)),
                  None)
    if not python:
        print("skip: python3-gi with GUPnP 1.6 and GUPnP-AV is missing (scripts/install-deps)")
        return SKIP
    return subprocess.run(["unshare", "-n", python, "-B", os.path.abspath(__file__), "--inside",
                           "--fixture", args.fixture, args.case]).returncode


class Fixture:
    def __init__(self, path, folder, env=None):
        self.proc = subprocess.Popen([path, "127.0.0.1", os.path.join(folder, "uuid")],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                     env=dict(os.environ, **(env or {})))
        line = self.proc.stdout.readline().split()
        assert line[:1] == ["ready"], line
        self.location = line[1]
        self.uuid = open(os.path.join(folder, "uuid")).read().strip()
        m = re.match(r"http://([0-9.]+):(\d+)/", self.location)
        self.host, self.port = m.group(1), int(m.group(2))

    def alive(self):
        return self.proc.poll() is None

    def rss_kb(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))

    def stop(self):
        self.proc.stdin.close()
        assert self.proc.stdout.readline().strip() == "stopped"
        assert self.proc.wait(timeout=10) == 0


def multicast_listener():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(SSDP)
    mreq = socket.inet_aton(SSDP[0]) + socket.inet_aton("127.0.0.1")
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
    return s


def collect(sock, seconds, until=None):
    """Datagrams received within SECONDS (or until UNTIL(list) holds)."""
    got, end = [], time.monotonic() + seconds
    while time.monotonic() < end:
        r, _, _ = select.select([sock], [], [], max(0, end - time.monotonic()))
        if r:
            got.append(sock.recv(65536).decode("latin-1"))
            if until and until(got):
                break
    return got


def header(msg, name):
    m = re.search(r"^%s:\s*(.*?)\r?$" % name, msg, re.I | re.M)
    return m.group(1) if m else None


def msearch(st, mx=1):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
    s.bind(("127.0.0.1", 0))
    s.sendto(('M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: "ssdp:discover"\r\n'
              "MX: %d\r\nST: %s\r\n\r\n" % (mx, st)).encode(), SSDP)
    answers = collect(s, mx + 0.5)
    s.close()
    return answers


def case_discover(fx_path, folder):
    listener = multicast_listener()
    fx = Fixture(fx_path, folder)
    udn = "uuid:" + fx.uuid
    alive = collect(listener, 3, lambda g: any("ssdp:alive" in m and header(m, "USN") == udn
                                               for m in g))
    assert any("ssdp:alive" in m and header(m, "USN") == udn for m in alive), alive
    first = next(m for m in alive if "ssdp:alive" in m)
    assert header(first, "CACHE-CONTROL") == "max-age=1800", first
    assert header(first, "LOCATION") == fx.location, first

    # A control point nobody here wrote finds the server within 5 s.
    started = time.monotonic()
    disc = subprocess.Popen(["gssdp-discover", "-i", "lo", "-t", MEDIA_SERVER, "-n", "5"],
                            stdout=subprocess.PIPE, text=True)
    out, found = "", None
    for line in disc.stdout:
        out += line
        if found is None and fx.location in line:
            found = time.monotonic() - started
    disc.wait()
    assert found is not None and found < 5 and udn + "::" + MEDIA_SERVER in out, out
    print("gssdp-discover: the MediaServer within %.2f s" % found)

    # M-SEARCH answers for every target a control point uses.
    for st, usn in (("ssdp:all", None), ("upnp:rootdevice", udn + "::upnp:rootdevice"),
                    (MEDIA_SERVER, udn + "::" + MEDIA_SERVER), (CDS, udn + "::" + CDS),
                    (CM, udn + "::" + CM), (udn, udn)):
        answers = [a for a in msearch(st) if a.startswith("HTTP/1.1 200")]
        usns = {header(a, "USN") for a in answers}
        if usn:
            assert usn in usns and all(header(a, "ST") == st for a in answers), (st, answers)
        else:
            assert usns >= {udn, udn + "::upnp:rootdevice", udn + "::" + MEDIA_SERVER,
                            udn + "::" + CDS, udn + "::" + CM}, usns
        assert all(header(a, "LOCATION") == fx.location for a in answers)
    assert not msearch("urn:schemas-upnp-org:device:MediaRenderer:1")

    # The UUID is kept: a second start announces the same device.
    fx.stop()
    byebye = collect(listener, 3, lambda g: any("ssdp:byebye" in m and header(m, "USN") == udn
                                                for m in g))
    assert any("ssdp:byebye" in m and header(m, "USN") == udn for m in byebye), byebye
    again = Fixture(fx_path, folder)
    assert again.uuid == fx.uuid
    again.stop()
    print("alive at start, answers to 6 search targets, byebye on stop, same UUID on restart")


def case_alive(fx_path, folder):
    """ssdp:alive comes again well within max-age, not only at start: with
    max-age shortened to 9 s, GSSDP announces every 2 s (max-age/3 - 1),
    each round's messages paced over more than a second."""
    listener = multicast_listener()
    fx = Fixture(fx_path, folder, {"NIMBUS_DLNA_MAX_AGE": "9"})
    udn = "uuid:" + fx.uuid
    times, end = [], time.monotonic() + 7.5
    while time.monotonic() < end:
        r, _, _ = select.select([listener], [], [], max(0, end - time.monotonic()))
        if not r:
            continue
        m = listener.recv(65536).decode("latin-1")
        if "ssdp:alive" in m and header(m, "USN") == udn:
            assert header(m, "CACHE-CONTROL") == "max-age=9", m
            times.append(time.monotonic())
    fx.stop()
    gaps = [round(b - a, 2) for a, b in zip(times, times[1:])]
    print("ssdp:alive of the device with max-age=9 over %.1f s, seconds apart: %s"
          % (times[-1] - times[0], gaps))
    assert times[-1] - times[0] > 5 and max(gaps) <= 3, gaps


def control_point(fx):
    import gi
    gi.require_version("GUPnP", "1.6")
    gi.require_version("GSSDP", "1.6")
    from gi.repository import GLib, GSSDP, GUPnP, Gio
    ctx = GUPnP.Context.new_for_address(Gio.InetAddress.new_from_string("127.0.0.1"), 0,
                                        GSSDP.UDAVersion.VERSION_1_0)
    cp = GUPnP.ControlPoint.new(ctx, MEDIA_SERVER)
    found = {}
    loop = GLib.MainLoop()

    def available(_cp, proxy):
        if proxy.get_udn() == "uuid:" + fx.uuid:
            found["device"] = proxy
            loop.quit()
    cp.connect("device-proxy-available", available)
    cp.set_active(True)
    GLib.timeout_add_seconds(5, loop.quit)
    started = time.monotonic()
    loop.run()
    assert "device" in found, "GUPnP control point did not find the server within 5 s"
    print("GUPnP control point: device proxy after %.2f s" % (time.monotonic() - started))
    dev = found["device"]
    assert dev.get_friendly_name() == 'nimbus <test> & "co"'
    return cp, dev


def call(proxy, name, args, outs):
    from gi.repository import GObject, GUPnP
    action = GUPnP.ServiceProxyAction.new_from_list(name, [k for k, _ in args],
                                                    [v for _, v in args])
    proxy.call_action(action, None)
    names = [n for n, _ in outs]
    types = [t if t is not None else GObject.TYPE_STRING for _, t in outs]
    ok, values = action.get_result_list(names, types)
    assert ok
    return dict(zip(names, values))


def browse(cds, object_id, flag="BrowseDirectChildren", start=0, count=0, sort=""):
    from gi.repository import GObject
    return call(cds, "Browse", [("ObjectID", object_id), ("BrowseFlag", flag), ("Filter", "*"),
                                ("StartingIndex", str(start)), ("RequestedCount", str(count)),
                                ("SortCriteria", sort)],
                [("Result", None), ("NumberReturned", GObject.TYPE_UINT),
                 ("TotalMatches", GObject.TYPE_UINT), ("UpdateID", GObject.TYPE_UINT)])


def search(cds, container, criteria, sort="", start=0, count=0):
    from gi.repository import GObject
    return call(cds, "Search", [("ContainerID", container), ("SearchCriteria", criteria),
                                ("Filter", "*"), ("StartingIndex", str(start)),
                                ("RequestedCount", str(count)), ("SortCriteria", sort)],
                [("Result", None), ("NumberReturned", GObject.TYPE_UINT),
                 ("TotalMatches", GObject.TYPE_UINT), ("UpdateID", GObject.TYPE_UINT)])


def objs_of(cds, object_id):
    return didl_objects(browse(cds, object_id)["Result"])


def didl_objects(xml):
    """Objects as GUPnP-AV's DIDL-Lite parser reads them."""
    import gi
    gi.require_version("GUPnPAV", "1.0")
    from gi.repository import GUPnPAV
    parser, objs = GUPnPAV.DIDLLiteParser(), []
    parser.connect("object-available", lambda _p, o: objs.append(o))
    parser.parse_didl(xml)
    return objs


def case_browse(fx_path, folder):
    from gi.repository import GObject, GLib
    fx = Fixture(fx_path, folder)
    cp, dev = control_point(fx)
    cds = dev.get_service(CDS)
    cm = dev.get_service(CM)

    root = browse(cds, "0")
    objs = didl_objects(root["Result"])
    assert [o.get_title() for o in objs] == ["Big", "Films", "Music", "Slow"], root
    assert [o.get_id() for o in objs] == ["0/Big", "0/Films", "0/Music", "0/Slow"]
    assert all(o.get_upnp_class() == "object.container.storageFolder" and o.get_parent_id() == "0"
               for o in objs)
    assert (root["NumberReturned"], root["TotalMatches"], root["UpdateID"]) == (4, 4, 7)

    # The root's own metadata, asked for as "0" or as "" (as several TVs do).
    for root_id in ("0", ""):
        meta = browse(cds, root_id, "BrowseMetadata")
        (obj,) = didl_objects(meta["Result"])
        assert (obj.get_id(), obj.get_parent_id(), meta["TotalMatches"]) == ("0", "-1", 1)
        assert (obj.get_title(), obj.get_child_count()) == ('nimbus <test> & "co"', 4), meta
    assert browse(cds, "")["Result"] == root["Result"]

    # Samsung's feature list: the root holds audio, video and images.
    features = call(cds, "X_GetFeatureList", [], [("FeatureList", None)])["FeatureList"]
    avs = "{urn:schemas-upnp-org:av:avs}"
    (feature,) = ET.fromstring(features).findall(avs + "Feature")
    assert (feature.get("name"), feature.get("version")) == ("samsung.com_BASICVIEW", "1")
    assert [(c.get("id"), c.get("type")) for c in feature.findall(avs + "container")] == [
        ("0", "object.item.audioItem"), ("0", "object.item.videoItem"),
        ("0", "object.item.imageItem")], features
    # What Xbox and Windows Media Player ask before they browse.
    reg = dev.get_service(REGISTRAR)
    assert reg is not None, "no X_MS_MediaReceiverRegistrar service"
    for action in ("IsAuthorized", "IsValidated"):
        assert call(reg, action, [("DeviceID", "")],
                    [("Result", GObject.TYPE_INT)]) == {"Result": 1}, action
    assert call(reg, "RegisterDevice", [("RegistrationReqMsg", "")],
                [("RegistrationRespMsg", None)])["RegistrationRespMsg"] in ("", None)

    album = browse(cds, "0/Music/Album")
    objs = didl_objects(album["Result"])
    assert [o.get_title() for o in objs] == ["Intro", "Song & Dance", "Outro <live>"]
    for i, o in enumerate(objs):
        assert o.get_upnp_class() == "object.item.audioItem.musicTrack"
        assert (o.get_artist(), o.get_album(), o.get_track_number()) == ("The Artist", "The Album",
                                                                         i + 1)
        (res,) = o.get_resources()
        assert res.get_size64() == 1000000 + i
        assert res.get_duration() == 61 + i * 3600
        info = res.get_protocol_info()
        assert (info.get_protocol(), info.get_mime_type()) == ("http-get", "audio/flac")
        assert not info.get_dlna_profile(), info.get_dlna_profile()  # FLAC has none
        assert res.get_uri() == "http://127.0.0.1:9/r/Music/Album/0%d.flac?t=secret&x=1" % (i + 1)
        assert o.get_album_art() == res.get_uri() + "&cover=small", o.get_album_art()
    arts = re.findall(r'<upnp:albumArtURI dlna:profileID="JPEG_TN">([^<]*)<', album["Result"])
    assert len(arts) == 3 and all(a.endswith("&amp;cover=small") for a in arts), album
    (meta,) = didl_objects(browse(cds, "0/Music/Album", "BrowseMetadata")["Result"])
    assert meta.get_album_art() == "http://127.0.0.1:9/r/Music/Album?t=secret&x=1&cover=small"
    folders = [o for o in objs_of(cds, "0/Music") if o.get_upnp_class().startswith("object.cont")]
    assert [o.get_title() for o in folders if o.get_album_art()] == ["Album"]
    durations = re.findall(r'duration="([^"]*)"', album["Result"])
    assert durations == ["0:01:01.001", "1:01:01.002", "2:01:01.003"], durations
    reverse = browse(cds, "0/Music/Album", sort="-dc:title", start=1, count=1)
    assert [o.get_title() for o in didl_objects(reverse["Result"])] == ["Outro <live>"]
    assert (reverse["NumberReturned"], reverse["TotalMatches"]) == (1, 3), reverse
    reverse = browse(cds, "0/Music/Album", sort="-dc:title")
    assert [o.get_title() for o in didl_objects(reverse["Result"])] == [
        "Song & Dance", "Outro <live>", "Intro"], reverse

    # Search as TVs that only search ask it: the album's tracks whose title holds "tro".
    found = search(cds, "0", 'upnp:class derivedfrom "object.item.audioItem" and '
                   'dc:title contains "TRO"', sort="-dc:title")
    objs = didl_objects(found["Result"])
    assert [(o.get_title(), o.get_id(), o.get_parent_id()) for o in objs] == [
        ("Outro <live>", "0/Music/Album/03.flac", "0/Music/Album"),
        ("Intro", "0/Music/Album/01.flac", "0/Music/Album")], found
    assert (found["NumberReturned"], found["TotalMatches"]) == (2, 2)
    assert objs[0].get_resources()[0].get_uri().endswith("/Music/Album/03.flac?t=secret&x=1")
    films = search(cds, "0/Films", 'upnp:class derivedfrom "object.item" and '
                   '(@refID exists false or dc:title = "x")', start=2, count=1)
    # film.en.srt, film.mp4, photo.jpg, theme.m4a: by name, the subtitle too.
    assert [o.get_title() for o in didl_objects(films["Result"])] == ["photo.jpg"], films
    assert (films["NumberReturned"], films["TotalMatches"]) == (1, 4)
    assert search(cds, "0/Music", "*")["TotalMatches"] == 5  # the album, its tracks, the odd one
    for name, args, code in (("Search", ("0", "dc:title contains x"), 708),
                             ("Search", ("0", 'upnp:genre = "x"'), 708),
                             ("Search", ("0/Big/0001.mp3", "*"), 710),
                             ("Search", ("0", "*", "+upnp:genre"), 709),
                             ("Browse", ("0", "BrowseDirectChildren", 0, 0, "dc:titel"), 709)):
        try:
            (search if name == "Search" else browse)(cds, *args)
            raise AssertionError("no error for %r" % (args,))
        except GLib.Error as e:
            assert e.code == code, (args, e.code, e.message)

    # Profiles, frames and durations as GUPnP-AV reads them.
    films_xml = browse(cds, "0/Films")["Result"]
    films = {o.get_title(): o for o in didl_objects(films_xml)}
    got = {}
    for title, o in films.items():
        res = o.get_resources()[0]
        info = res.get_protocol_info()
        got[title] = (o.get_upnp_class(), info.get_mime_type(), info.get_dlna_profile(),
                      int(info.get_dlna_operation()), res.get_size64(), res.get_duration(),
                      res.get_width(), res.get_height())
        got[title] = got[title][:6] if got[title][6] <= 0 else got[title]  # no frame: unset
    assert got == {
        "film.mp4": ("object.item.videoItem", "video/mp4", None, 1, 700000000, 5400, 1280, 720),
        "photo.jpg": ("object.item.imageItem", "image/jpeg", "JPEG_LRG", 1, 3000000, -1, 4000,
                      3000),
        "theme.m4a": ("object.item.audioItem.musicTrack", "audio/mp4", "AAC_ISO_320", 1, 4000000,
                      200),
        "film.en.srt": ("object.item", "application/x-subrip", None, 0, 100, -1)}, got
    # The film's subtitle: a second res, and Samsung's caption element
    # (which GUPnP-AV leaves to the XML), both the subtitle's own URL.
    srt_url = "http://127.0.0.1:9/r/Films/film.en.srt?t=secret&x=1"
    sub = films["film.mp4"].get_resources()[1]
    assert (sub.get_protocol_info().get_mime_type(), sub.get_uri()) == ("text/srt", srt_url)
    sec = "{http://www.sec.co.kr/}"
    captions = [(c.get(sec + "type"), c.text) for c in ET.fromstring(films_xml).iter(
        sec + "CaptionInfoEx")]
    assert captions == [("srt", srt_url)], captions
    assert len(films["theme.m4a"].get_resources()) == 1

    # The 1000-entry folder, paged by 100 as a TV does.
    seen = []
    for start in range(0, 1000, 100):
        page = browse(cds, "0/Big", start=start, count=100)
        assert (page["NumberReturned"], page["TotalMatches"]) == (100, 1000), (start, page)
        seen += [o.get_title() for o in didl_objects(page["Result"])]
    assert seen == ["%04d.mp3" % i for i in range(1000)]
    (mp3,) = didl_objects(browse(cds, "0/Big/0007.mp3", "BrowseMetadata")["Result"])
    assert mp3.get_resources()[0].get_protocol_info().get_dlna_profile() == "MP3"
    tail = browse(cds, "0/Big", start=990, count=100)
    past = browse(cds, "0/Big", start=1000, count=100)
    everything = browse(cds, "0/Big")
    assert (tail["NumberReturned"], past["NumberReturned"], everything["NumberReturned"],
            everything["TotalMatches"]) == (10, 0, 1000, 1000)

    # Faults a control point can act on.
    for args, code in ((("0/Nope",), 701), (("0/Big/0001.mp3",), 710), (("%bad",), 701),
                       (("0", "Browse"), 402), (("0", "BrowseMetadata", 1), 402)):
        try:
            browse(cds, *args)
            raise AssertionError("no error for %r" % (args,))
        except GLib.Error as e:
            assert e.code == code, (args, e.code, e.message)

    caps = call(cds, "GetSearchCapabilities", [], [("SearchCaps", None)])
    sort = call(cds, "GetSortCapabilities", [], [("SortCaps", None)])
    sid = call(cds, "GetSystemUpdateID", [], [("Id", GObject.TYPE_UINT)])
    assert (caps["SearchCaps"], sort["SortCaps"], sid["Id"]) == (
        "dc:title,upnp:class,upnp:artist,upnp:album",
        "dc:title,dc:date,upnp:originalTrackNumber,upnp:artist,upnp:album", 7)
    proto = call(cm, "GetProtocolInfo", [], [("Source", None), ("Sink", None)])
    assert "http-get:*:audio/flac:*" in proto["Source"].split(",") and proto["Sink"] == ""
    ids = call(cm, "GetCurrentConnectionIDs", [], [("ConnectionIDs", None)])
    info = call(cm, "GetCurrentConnectionInfo", [("ConnectionID", "0")],
                [("Direction", None), ("Status", None), ("RcsID", GObject.TYPE_INT)])
    assert ids["ConnectionIDs"] == "0" and info == {"Direction": "Output", "Status": "OK",
                                                    "RcsID": -1}
    try:
        call(cm, "GetCurrentConnectionInfo", [("ConnectionID", "5")], [("Status", None)])
        raise AssertionError("connection 5 answered")
    except GLib.Error as e:
        assert e.code == 706
    fx.stop()
    print("root, metadata (also of \"\"), feature list, registrar, album with "
          "titles/artist/durations, 1000 entries by 100, errors 701/710/402/706, capabilities, "
          "GetProtocolInfo")


def soap(host, port, body, extra=b"", action="Browse", raw=None, timeout=10,
         service=b"ContentDirectory", service_type=CDS.encode(), host_header=None):
    """One request to a control URL (ContentDirectory's unless SERVICE and
    SERVICE_TYPE say): (status, body) or None when closed."""
    s = socket.create_connection((host, port), timeout=timeout)
    if raw is None:
        raw = (b"POST /control/%s HTTP/1.1\r\nHost: %s\r\n"
               b'Content-Type: text/xml; charset="utf-8"\r\n'
               b'SOAPACTION: "%s#%s"\r\n'
               b"Content-Length: %d\r\n%s\r\n" % (
                   service, host_header or b"%s:%d" % (host.encode(), port), service_type,
                   action.encode(), len(body), extra)) + body
    try:
        s.sendall(raw)
    except (BrokenPipeError, ConnectionResetError):
        pass
    data = b""
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
            head, _, rest = data.partition(b"\r\n\r\n")
            m = re.search(rb"content-length:\s*(\d+)", head, re.I)
            if m and len(rest) >= int(m.group(1)):
                break
    except (ConnectionResetError, socket.timeout):
        pass
    s.close()
    if not data:
        return None
    head, _, rest = data.partition(b"\r\n\r\n")
    return int(head.split()[1]), rest


def envelope(inner):
    return (b'<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            b's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>' + inner +
            b"</s:Body></s:Envelope>")


def browse_body(object_id, flag=b"BrowseDirectChildren"):
    return envelope(b'<u:Browse xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1">'
                    b"<ObjectID>" + object_id + b"</ObjectID><BrowseFlag>" + flag +
                    b"</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex>"
                    b"<RequestedCount>0</RequestedCount><SortCriteria></SortCriteria></u:Browse>")


def case_hostile(fx_path, folder):
    fx = Fixture(fx_path, folder)
    h, p = fx.host, fx.port
    rss0 = fx.rss_kb()

    # DIDL injection through names: the answer parses strictly, twice, and
    # holds exactly the two objects of /Music with the hostile text as text.
    status, body = soap(h, p, browse_body(b"0/Music"))
    assert status == 200, (status, body)
    assert b"<item" not in body and b"]]>" not in body
    result = ET.fromstring(body).find(".//Result").text
    didl = ET.fromstring(result)
    objs = list(didl)
    assert len(objs) == 2, result
    hostile = objs[1]
    title = hostile.find("dc:title", DIDL_NS).text
    assert title == 'x]]><item id="9"><dc:title>&amp;"\'' + "\ufffd" * 8 + ".mp3", repr(title)
    assert not re.search("[\x00-\x1f\x7f-\x9f]", title + result), repr(title)
    assert hostile.find("upnp:artist", DIDL_NS).text == "<upnp:artist>&lt;"
    res = hostile.find("d:res", DIDL_NS)
    assert res.get("protocolInfo").startswith("http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;"), \
        res.attrib
    ok, again = fx_browse_id(h, p, hostile.get("id"), b"BrowseMetadata")
    assert ok and ET.fromstring(again)[0].get("id") == hostile.get("id")
    assert res.text.endswith("?t=secret&x=1")

    # Entity declarations are refused before any parser sees them.
    laughs = (b'<?xml version="1.0"?><!DOCTYPE s [<!ENTITY a "aaaaaaaaaa">' +
              b"".join(b'<!ENTITY %s "%s">' % (bytes([98 + i]), (b"&%s;" % bytes([97 + i])) * 10)
                       for i in range(9)) + b"]>")
    answer = soap(h, p, laughs + browse_body(b"&j;")[21:])
    assert answer is None, answer
    # The same in UTF-16, where no ASCII "<!D" shows, and an ASCII body that
    # declares another encoding: refused (400) before any parser, quickly.
    text = (laughs + browse_body(b"&j;")[21:]).decode()
    entity = browse_body(b"&x;").replace(b"?>", b'?><!DOCTYPE s [<!ENTITY x "0/Music">]>', 1)
    for what, body in (("UTF-16LE", b"\xff\xfe" + text.encode("utf-16-le")),
                       ("UTF-16LE entity", b"\xff\xfe" + entity.decode().encode("utf-16-le")),
                       ("UTF-16BE", b"\xfe\xff" + text.encode("utf-16-be")),
                       ("UTF-16LE without a mark", text.encode("utf-16-le")),
                       ("declared UTF-16",
                        browse_body(b"0").replace(b'version="1.0"', b'version="1.0" encoding="UTF-16"')),
                       ("declared UTF-7", b'<?xml version="1.0" encoding="UTF-7"?>' + browse_body(
                           b"0")[21:])):
        started = time.monotonic()
        answer = soap(h, p, body)
        assert answer is not None and answer[0] == 400, (what, answer)
        assert time.monotonic() - started < 1 and b"Album" not in answer[1], what
    if not ({"ASAN_OPTIONS", "TSAN_OPTIONS"} & set(os.environ)):  # see the flood's bound
        assert fx.rss_kb() - rss0 < 16 * 1024, (rss0, fx.rss_kb())
    # Oversized bodies, declared and chunked, lose the connection at 64 KiB.
    big = browse_body(b"0" + b" " * (1 << 20))
    answer = soap(h, p, big)
    assert answer is None, answer
    chunked = (b"POST /control/ContentDirectory HTTP/1.1\r\nHost: %s:%d\r\n"
               b'SOAPACTION: "urn:schemas-upnp-org:service:ContentDirectory:1#Browse"\r\n'
               b"Transfer-Encoding: chunked\r\n\r\n" % (h.encode(), p) +
               b"".join(b"8000\r\n" + b"x" * 0x8000 + b"\r\n" for _ in range(64)) + b"0\r\n\r\n")
    answer = soap(h, p, b"", raw=chunked)
    assert answer is None, answer
    # A 4 MiB body sent after the headers, in pieces, as a control point
    # that writes its headers first does: refused at once, whatever the pace.
    took = []
    for style in ("whole", "pieces", "whole", "chunked", "whole", "pieces"):
        took.append(big_body(h, p, style))
        assert took[-1] < 1.5, (style, took)
    print("4 MiB bodies after their headers: cut within %.2f s" % max(took))
    codes = []
    # Malformed XML, absent arguments, ids that name nothing, a long id.
    for bad in (b"<s:Envelope", b"\xff\xfe<x/>", envelope(b"<u:Browse/>"),
                browse_body(b"0/.."), browse_body(b"0/%ZZ"), browse_body(b"0/" + b"a" * 60000),
                browse_body(b"0", b"x" * 1000), b"<a>" * 20000):
        answer = soap(h, p, bad)
        assert answer is not None and 400 <= answer[0] < 600, (bad[:60], answer)
        error = re.search(rb"<errorCode>(\d+)<", answer[1])
        codes.append("%d/%s" % (answer[0], error.group(1).decode() if error else "-"))
    print("malformed requests answered:", codes)
    # The root's title is the friendly name, its quotes escaped in DIDL.
    ok, root_meta = fx_browse_id(h, p, "0", b"BrowseMetadata")
    assert ok and "<dc:title>nimbus &lt;test&gt; &amp; &quot;co&quot;</dc:title>" in root_meta, \
        root_meta
    # The registrar goes through the same gate: its answer, then a foreign
    # Host and an oversized body refused as on ContentDirectory.
    registrar = dict(service=b"X_MS_MediaReceiverRegistrar", service_type=REGISTRAR.encode(),
                     action="IsAuthorized")
    authorized = envelope(b'<u:IsAuthorized xmlns:u="%s"><DeviceID></DeviceID></u:IsAuthorized>'
                          % REGISTRAR.encode())
    answer = soap(h, p, authorized, **registrar)
    assert answer and answer[0] == 200 and b"<Result>1</Result>" in answer[1], answer
    answer = soap(h, p, authorized, host_header=b"attacker.example:%d" % p, **registrar)
    assert answer is not None and answer[0] == 403, answer
    answer = soap(h, p, authorized[:-len(b"</s:Body></s:Envelope>")] + b" " * (1 << 20) +
                  b"</s:Body></s:Envelope>", **registrar)
    assert answer is None, answer
    # DNS rebinding: a page on another name must not reach the device.
    rebound = (b"GET /%s HTTP/1.1\r\nHost: attacker.example:%d\r\n\r\n"
               % (fx.location.rsplit("/", 1)[1].encode(), p))
    answer = soap(h, p, b"", raw=rebound)
    assert answer is not None and answer[0] == 403 and b"MediaServer" not in answer[1], answer
    body = browse_body(b"0")
    answer = soap(h, p, b"", raw=b"POST /control/ContentDirectory HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                  b'SOAPACTION: "urn:schemas-upnp-org:service:ContentDirectory:1#Browse"\r\n'
                  b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
    assert answer is not None and answer[0] == 403, answer
    # A client that leaves while its folder is listed.
    s = socket.create_connection((h, p))
    body = browse_body(b"0/Slow")
    s.sendall(b"POST /control/ContentDirectory HTTP/1.1\r\nHost: %s:%d\r\n"
              b'SOAPACTION: "urn:schemas-upnp-org:service:ContentDirectory:1#Browse"\r\n'
              b"Content-Length: %d\r\n\r\n%s" % (h.encode(), p, len(body), body))
    time.sleep(0.3)
    s.close()
    time.sleep(2.5)

    # Eight clients at once keep the workers busy; every answer is whole.
    import threading
    failures = []

    def client():
        for _ in range(10):
            status, body = soap(h, p, browse_body(b"0/Big"))
            if status != 200 or body.count(b"&lt;item ") != 1000:
                failures.append(status)
    threads = [threading.Thread(target=client) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures
    # Answers written on the workers keep nothing once sent: 1000 more
    # Browses leave the resident size where it was (each message kept
    # would hold some 20 kB).
    rss1 = fx.rss_kb()
    for _ in range(1000):
        assert soap(h, p, browse_body(b"0/Music/Album"))[0] == 200
    grown = fx.rss_kb() - rss1
    print("1000 Browses: RSS %+d kB" % grown)
    if not ({"ASAN_OPTIONS", "TSAN_OPTIONS"} & set(os.environ)):
        assert grown < 4096, grown

    # An SSDP flood: 20000 searches in about a second, spoofed replies
    # included; the server stays up, bounded, and still answers.
    flood = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    flood.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
    msg = (b'M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: "ssdp:discover"\r\n'
           b"MX: 5\r\nST: ssdp:all\r\n\r\n")
    started = time.monotonic()
    for i in range(20000):
        flood.sendto(msg if i % 3 else b"NOTIFY * HTTP/1.1\r\n" + b"X: " * 500 + b"\r\n\r\n", SSDP)
    flood.close()
    time.sleep(1)
    peak = fx.rss_kb()
    print("flood of 20000 datagrams in %.2f s: RSS %d kB -> %d kB" % (time.monotonic() - started,
                                                                     rss0, peak))
    # A sanitizer's allocator keeps freed memory (AddressSanitizer's
    # quarantine) or shadows every byte (ThreadSanitizer), so under one the
    # resident size says nothing about the server's bound.
    if not ({"ASAN_OPTIONS", "TSAN_OPTIONS"} & set(os.environ)):
        assert peak - rss0 < 64 * 1024, (rss0, peak)
    assert fx.alive()
    status, body = soap(h, p, browse_body(b"0"))
    assert status == 200 and b"Music" in body
    # Stopping while a folder is listed: the listing finishes, its caller
    # gets its answer or a closed connection, and the server exits cleanly.
    late = socket.create_connection((h, p), timeout=10)
    body = browse_body(b"0/Slow")
    late.sendall(b"POST /control/ContentDirectory HTTP/1.1\r\nHost: %s:%d\r\n"
                 b'SOAPACTION: "urn:schemas-upnp-org:service:ContentDirectory:1#Browse"\r\n'
                 b"Content-Length: %d\r\n\r\n%s" % (h.encode(), p, len(body), body))
    time.sleep(0.3)
    started = time.monotonic()
    fx.stop()
    print("stop with a listing in progress: %.2f s" % (time.monotonic() - started))
    late.close()
    print("DIDL injection escaped, DOCTYPE/oversized/chunked/malformed refused, early close, "
          "SSDP flood: still serving")


def big_body(h, p, style):
    """A 4 MiB body after the headers, reading nothing until it is all sent:
    "whole" in one write right after them (as http.client does), "pieces"
    after a pause in 64 KiB writes 50 ms apart, "chunked" the same as
    chunks. Seconds until the server answered or cut the connection."""
    s = socket.create_connection((h, p), timeout=10)
    size = 4 << 20
    s.sendall(b"POST /control/ContentDirectory HTTP/1.1\r\nHost: %s:%d\r\n"
              b'SOAPACTION: "urn:schemas-upnp-org:service:ContentDirectory:1#Browse"\r\n%s\r\n'
              % (h.encode(), p, b"Transfer-Encoding: chunked\r\n" if style == "chunked"
                 else b"Content-Length: %d\r\n" % size))
    started = time.monotonic()
    try:
        if style == "whole":
            s.sendall(b"x" * size)
        else:
            time.sleep(0.3)
            for _ in range(size // 65536):
                piece = b"x" * 65536
                s.sendall(b"10000\r\n" + piece + b"\r\n" if style == "chunked" else piece)
                time.sleep(0.05)
            s.sendall(b"0\r\n\r\n" if style == "chunked" else b"")
        s.recv(65536)
    except (BrokenPipeError, ConnectionResetError, socket.timeout):
        pass
    s.close()
    return time.monotonic() - started


def fx_browse_id(h, p, object_id, flag):
    status, body = soap(h, p, browse_body(object_id.encode().replace(b"&", b"&amp;"), flag))
    if status != 200:
        return False, body
    return True, ET.fromstring(body).find(".//Result").text


def inside(args):
    for cmd in (["ip", "link", "set", "lo", "up"], ["ip", "link", "set", "lo", "multicast", "on"],
                ["ip", "route", "add", "239.255.255.250/32", "dev", "lo"]):
        subprocess.run(cmd, check=True)
    # Nothing but lo exists here: no datagram can reach another machine.
    links = subprocess.run(["ip", "-o", "link"], capture_output=True, text=True).stdout
    assert [l.split(":")[1].strip() for l in links.splitlines()] == ["lo"], links
    with tempfile.TemporaryDirectory() as folder:
        {"discover": case_discover, "browse": case_browse, "hostile": case_hostile,
         "alive": case_alive}[args.case](args.fixture, folder)
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--fixture", required=True)
    ap.add_argument("--inside", action="store_true")
    ap.add_argument("case", choices=["discover", "alive", "browse", "hostile", "vlc"])
    args = ap.parse_args()
    return inside(args) if args.inside else outside(args)


if __name__ == "__main__":
    sys.exit(main())
