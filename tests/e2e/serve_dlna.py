"""`nimbus serve --dlna` cases: discovery, Browse answers played, file
capabilities in resource URLs, and events. SSDP runs only inside a network
namespace made for the run (lo alone, with the multicast route): no
datagram reaches a real interface."""

import http.client
import os
import re
import subprocess
import sys
import threading
import time
import urllib.parse

from mock_graph import Node
from run_e2e import Skip, check, shared_drive
from serve_common import ESCAPED, TOKEN, expect, in_namespace, raw_get, token_file


MEDIA_SERVER = "urn:schemas-upnp-org:device:MediaServer:1"


def case_dlna(f):
    """--dlna: gssdp-discover finds the MediaServer, ffprobe plays a Browse answer's res URL.

    SSDP runs only inside a network namespace made for the run (lo alone, with
    the multicast route): no datagram reaches a real interface."""
    if os.environ.get("NIMBUS_E2E_NETNS") == "1":
        return dlna_inside(f)
    in_namespace(f, "dlna", ("gssdp-discover", "ffmpeg", "ffprobe"))


def didl_text(element):
    import xml.etree.ElementTree as ET
    return ET.tostring(element, encoding="unicode")[:2000]


def soap_post(host, port, action, arguments):
    """One ContentDirectory action, its arguments already XML: (HTTP status, answer)."""
    body = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            '<u:%s xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1">%s</u:%s>'
            "</s:Body></s:Envelope>" % (action, arguments, action)).encode()
    c = http.client.HTTPConnection(host, port, timeout=30)
    c.request("POST", "/control/ContentDirectory", body=body, headers={
        "Content-Type": 'text/xml; charset="utf-8"',
        "SOAPACTION": '"urn:schemas-upnp-org:service:ContentDirectory:1#%s"' % action})
    r = c.getresponse()
    answer = r.read()
    c.close()
    return r.status, answer


def soap_call(host, port, object_id, flag="BrowseDirectChildren", start=0, count=0):
    """One Browse: (HTTP status, the SOAP answer)."""
    import xml.sax.saxutils as sx
    return soap_post(host, port, "Browse",
                     "<ObjectID>%s</ObjectID><BrowseFlag>%s</BrowseFlag><Filter>*</Filter>"
                     "<StartingIndex>%d</StartingIndex><RequestedCount>%d</RequestedCount>"
                     "<SortCriteria></SortCriteria>" % (sx.escape(object_id), flag, start, count))


def soap_search(host, port, container, criteria, sort=""):
    """One Search: the DIDL-Lite of its Result."""
    import xml.etree.ElementTree as ET
    import xml.sax.saxutils as sx
    status, answer = soap_post(
        host, port, "Search",
        "<ContainerID>%s</ContainerID><SearchCriteria>%s</SearchCriteria><Filter>*</Filter>"
        "<StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount>"
        "<SortCriteria>%s</SortCriteria>" % (sx.escape(container), sx.escape(criteria),
                                              sx.escape(sort)))
    check(status == 200, "Search answered", status, answer[:500])
    return ET.fromstring(ET.fromstring(answer).find(".//Result").text)


def soap_page(host, port, object_id, start=0, count=0, flag="BrowseDirectChildren"):
    """A Browse answer: (its DIDL-Lite, NumberReturned, TotalMatches)."""
    import xml.etree.ElementTree as ET
    status, answer = soap_call(host, port, object_id, flag, start, count)
    check(status == 200, "Browse %s answered" % object_id, status, answer[:500])
    doc = ET.fromstring(answer)
    didl = ET.fromstring(doc.find(".//Result").text)  # well-formed, whatever the names hold
    return didl, int(doc.find(".//NumberReturned").text), int(doc.find(".//TotalMatches").text)


def soap_browse(host, port, object_id, flag="BrowseDirectChildren"):
    return soap_page(host, port, object_id, flag=flag)[0]


def offered_titles(host, port, object_id, by):
    """The titles of a folder, paged BY at a time, and the totals each page gave."""
    ns = {"dc": "http://purl.org/dc/elements/1.1/"}
    titles, totals, start = [], set(), 0
    while True:
        didl, returned, total = soap_page(host, port, object_id, start, by)
        check(returned == len(didl) <= by, "a page of at most %d" % by, returned, len(didl))
        titles += [o.find("dc:title", ns).text for o in didl]
        totals.add(total)
        start += by
        if start >= total:
            return titles, totals


def dlna_inside(f):
    links = subprocess.run(["ip", "-o", "link"], capture_output=True, text=True).stdout
    check([l.split(":")[1].strip() for l in links.splitlines()] == ["lo"],
          "only lo in this namespace", links)
    tone = os.path.join(f.dir, "tone.flac")
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=frequency=440:duration=2",
                    "-c:a", "flac", tone], check=True, timeout=60)
    node = f.mock.find_path("/Music/tone.flac")
    with open(tone, "rb") as t:
        node.content = t.read()
    node.size = len(node.content)
    # A film the service types application/octet-stream, and a locked vault.
    film = node.parent.add(Node("film.mkv", content=b"\x1a\x45\xdf\xa3 not a film"))
    film.mime = "application/octet-stream"
    vault = node.parent.add(Node("Vault", folder=True))
    vault.locked = True
    vault.add(Node("passport.jpg", size=3))
    for name in ("cover.jpg", "02 Café & Co.MP3"):
        played = f.mock.find_path("/Music/Album/" + name)
        played.content = b"\xff" * played.size
    played = f.mock.find_path("/Music/Album/cover.jpg")
    played.facets = {"image": {"width": 600, "height": 600}}
    # What no TV plays, and a film's subtitles.
    album_node = f.mock.find_path("/Music/Album")
    for name in ("booklet.pdf", "notes.txt", "01 Intro.srt", "logo.svg"):
        album_node.add(Node(name, size=10))
    f.mock.find_path("/Music/Album/video.mkv").video = {"duration": 5400250, "width": 1920,
                                                         "height": 800, "bitrate": 8000000}
    # A track in a folder nobody browses: only the drive search finds it.
    deep = f.mock.find_path("/Music").add(Node("Deep", folder=True))
    deep.add(Node("Intro live.mp3", size=5))
    deep.add(Node("intro.pdf", size=5))
    f.mock._number(f.mock.root)
    # A shortcut to a shared folder, whose own children Graph lists empty.
    shared, _, _ = shared_drive(f.mock)
    f.mock.shortcut(f.mock.find_path("/Music"), "Shared", "drv2", shared)
    g = f.serve("--dlna")
    deadline = time.monotonic() + 20
    while not any("DLNA MediaServer" in l for l in g.lines):
        check(time.monotonic() < deadline and g.p.poll() is None, "MediaServer started", g.log())
        time.sleep(0.05)
    line = next(l for l in g.lines if "DLNA MediaServer" in l)
    location = re.search(r"(http://\S+)", line).group(1)
    check("only this machine finds it" in g.log(), "a loopback MediaServer says so", g.log())
    uuid_file = os.path.join(f.dir, "dlna-uuid")
    check(os.path.exists(uuid_file) and oct(os.stat(uuid_file).st_mode & 0o777) == "0o600",
          "device UUID beside the settings, mode 600")
    udn = "uuid:" + open(uuid_file).read().strip()

    started = time.monotonic()
    disc = subprocess.Popen(["gssdp-discover", "-i", "lo", "-t", MEDIA_SERVER, "-n", "5"],
                            stdout=subprocess.PIPE, text=True)
    out, found = "", None
    for l in disc.stdout:
        out += l
        if found is None and location in l:
            found = time.monotonic() - started
    disc.wait()
    check(found is not None and found < 5 and udn + "::" + MEDIA_SERVER in out,
          "gssdp-discover sees it within 5 s", out)
    print("gssdp-discover: the MediaServer within %.2f s" % found)

    m = re.match(r"http://([0-9.]+):(\d+)/", location)
    host, port = m.group(1), int(m.group(2))
    ns = {"d": "urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/",
          "dc": "http://purl.org/dc/elements/1.1/"}
    before = sum(1 for r in f.mock.requests if r["path"].endswith("/children"))
    root = soap_browse(host, port, "0")
    titles = [c.find("dc:title", ns).text for c in root.findall("d:container", ns)]
    check(titles == ["Music"], "the root's folders", titles)
    album = soap_browse(host, port, "0/Music/Album")
    names = [i.find("dc:title", ns).text for i in album.findall("d:item", ns)]
    check(ESCAPED in names and "01 Intro.flac" in names, "titles, odd names intact", names)
    music = soap_browse(host, port, "0/Music")
    tone_item = next(i for i in music.findall("d:item", ns)
                     if i.find("dc:title", ns).text == "tone.flac")
    res = tone_item.find("d:res", ns)
    check(res.text == g.url("/Music/tone.flac?stream=1") and res.get(
        "protocolInfo", "").startswith("http-get:*:audio/flac:"), "res on the gateway", res.text,
        res.attrib)
    # What renderers ask of a resource URL: the DLNA flags of its protocolInfo.
    status, headers, _ = raw_get(g.port, "/Music/tone.flac?stream=1", method="HEAD", headers={
        "getcontentFeatures.dlna.org": "1", "transferMode.dlna.org": "Streaming"})
    check(status == 200 and headers.get("contentfeatures.dlna.org") ==
          res.get("protocolInfo").split(":", 3)[3] and
          headers.get("transfermode.dlna.org") == "Streaming", "DLNA headers", headers)
    # The profile the Browse answer names comes back on the file's own URL,
    # with the transfer mode of its kind, for a player that names none.
    album = soap_browse(host, port, "0/Music/Album")
    for title, mode in (("cover.jpg", "Interactive"), ("02 Café & Co.MP3", "Streaming")):
        item = next(i for i in album.findall("d:item", ns) if i.find("dc:title", ns).text == title)
        fourth = item.find("d:res", ns).get("protocolInfo").split(":", 3)[3]
        path = urllib.parse.quote("/Music/Album/" + title) + "?stream=1"
        for method in ("HEAD", "GET"):
            status, headers, _ = raw_get(g.port, path, method=method,
                                         headers={"getcontentFeatures.dlna.org": "1"})
            check(status == 200 and headers.get("contentfeatures.dlna.org") == fourth and
                  headers.get("transfermode.dlna.org") == mode, "DLNA headers of " + title,
                  method, headers, fourth)
    check([i.find("d:res", ns).get("protocolInfo").split(":", 3)[3].split(";")[0]
           for i in album.findall("d:item", ns)
           if i.find("dc:title", ns).text in ("cover.jpg", "02 Café & Co.MP3")]
          == ["DLNA.ORG_PN=MP3", "DLNA.ORG_PN=JPEG_MED"], "their profiles", didl_text(album))
    video = next(i for i in album.findall("d:item", ns)
                 if i.find("dc:title", ns).text == "video.mkv").find("d:res", ns)
    check({k: video.get(k) for k in ("size", "duration", "resolution")} ==
          {"size": "1000000000", "duration": "1:30:00.250", "resolution": "1920x800"},
          "a film's size, duration and frame", video.attrib)
    children = sum(1 for r in f.mock.requests if r["path"].endswith("/children")) - before
    soap_browse(host, port, "0/Music/Album")
    check(sum(1 for r in f.mock.requests if r["path"].endswith("/children")) - before
          == children == 3, "three listings, the second Browse of a folder from the cache",
          children)
    linked = soap_browse(host, port, "0/Music/Shared")
    check([c.find("dc:title", ns).text for c in linked.findall("d:container", ns)] == ["Album"],
          "the shortcut browses as its shared folder", didl_text(linked))
    film = next(i for i in music.findall("d:item", ns)
                if i.find("dc:title", ns).text == "film.mkv")
    check(film.find("d:res", ns).get("protocolInfo", "").startswith(
        "http-get:*:video/x-matroska:"), "the film typed by its extension",
        film.find("d:res", ns).attrib)
    status, headers, _ = raw_get(g.port, "/Music/film.mkv?stream=1")
    check(status == 200 and headers.get("content-type") == "video/x-matroska",
          "its bytes with that type", status, headers)
    check(len(soap_browse(host, port, "0/Music/Vault")) == 0, "a locked vault: empty")
    # Search: the folders kept and one drive search, filtered, media only, sorted.
    listings = sum(1 for r in f.mock.requests if r["path"].endswith("/children"))
    searches = sum(1 for r in f.mock.requests if "/search(q=" in r["path"])
    found = soap_search(host, port, "0", 'upnp:class derivedfrom "object.item.audioItem" and '
                        'dc:title contains "INTRO"', "-dc:title")
    check([(i.find("dc:title", ns).text, i.get("id")) for i in found] ==
          [("Intro live.mp3", "0/Music/Deep/Intro%20live.mp3"),
           ("01 Intro.flac", "0/Music/Album/01%20Intro.flac")], "Search finds the tracks",
          didl_text(found))
    check(sum(1 for r in f.mock.requests if "/search(q=" in r["path"]) - searches == 1 and
          sum(1 for r in f.mock.requests if r["path"].endswith("/children")) == listings,
          "one drive search, no listing", [r["path"] for r in f.mock.requests[-3:]])
    p = subprocess.run(["ffprobe", "-v", "error", "-tls_verify", "1", "-ca_file", f.ca,
                        "-show_entries", "stream=codec_name,duration", "-of", "compact=p=0",
                        res.text], capture_output=True, timeout=60)
    print("ffprobe of the res URL: " + p.stdout.decode().strip())
    check(p.returncode == 0 and p.stdout.decode().strip() == "codec_name=flac|duration=2.000000",
          "ffprobe plays the res URL", p.stdout, p.stderr)
    # Media only: paging and totals count what is offered; the rest is no object.
    titles, totals = offered_titles(host, port, "0/Music/Album", 2)
    whole = [o.find("dc:title", ns).text for o in soap_browse(host, port, "0/Music/Album")]
    check(titles == whole and totals == {len(whole)} and len(whole) == 7 and
          "01 Intro.srt" in whole and not {"booklet.pdf", "notes.txt", "logo.svg"} & set(whole),
          "media, folders and subtitles, paged by 2", titles, whole, totals)
    (meta,) = soap_browse(host, port, "0/Music/Album", "BrowseMetadata")
    check(meta.get("childCount") == "7", "its childCount counts the same", meta.attrib)
    status, answer = soap_call(host, port, "0/Music/Album/booklet.pdf", "BrowseMetadata")
    check(status == 500 and b"<errorCode>701</errorCode>" in answer, "a PDF is no object",
          status, answer[:300])
    check(g.stop() == 0, "stopped", g.log())
    check(re.search(r"^nimbus: stopped", g.log(), re.M), "stopped cleanly", g.log())
    g, location = start_dlna(f, "--dlna-all")
    m = re.match(r"http://([0-9.]+):(\d+)/", location)
    titles, totals = offered_titles(m.group(1), int(m.group(2)), "0/Music/Album", 4)
    check(len(titles) == 10 and totals == {10} and "booklet.pdf" in titles and
          [t for t in titles if t in whole] == whole, "--dlna-all: every file", titles, totals)
    (meta,) = soap_browse(m.group(1), int(m.group(2)), "0/Music/Album", "BrowseMetadata")
    check(meta.get("childCount") == "10", "every file counted", meta.attrib)
    check(g.stop() == 0, "stopped", g.log())


def case_dlna_caps(f):
    """With a secret, a Browse answer's res URLs carry a capability each, not
    the secret: one plays (with Range), the same capability opens nothing else."""
    if os.environ.get("NIMBUS_E2E_NETNS") == "1":
        return dlna_caps_inside(f)
    in_namespace(f, "dlna_caps", ())


def dlna_caps_inside(f):
    content = bytes(range(256)) * 40
    tone = f.mock.find_path("/Music/tone.flac")
    tone.content, tone.size = content, len(content)
    films = f.mock.root.add(Node("Films", folder=True))
    for name in ("Film.mp4", "Film.en.srt", "Other.mp4"):
        films.add(Node(name, content=b"1\n"))
    f.mock._number(f.mock.root)
    g, location = start_dlna(f, "--auth-token-file", token_file(f, TOKEN))
    m = re.match(r"http://([0-9.]+):(\d+)/", location)
    ns = {"d": "urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/",
          "dc": "http://purl.org/dc/elements/1.1/"}
    import xml.etree.ElementTree as ET
    res = {}
    for folder in ("0/Music", "0/Music/Album"):
        answer = soap_browse(m.group(1), int(m.group(2)), folder)
        check(TOKEN not in ET.tostring(answer, encoding="unicode"), "no secret in the answer")
        for item in answer.findall("d:item", ns):
            res[item.find("dc:title", ns).text] = item.find("d:res", ns).text
    check(len(res) == 6 and all(re.fullmatch(
        r"http://127\.0\.0\.1:%d/Music/[^?]+\?stream=1&c=\d+\.[\w-]{43}" % g.port, u)
        for u in res.values()), "a capability in every res URL", res)
    tone_res = res["tone.flac"][len("http://127.0.0.1:%d" % g.port):]
    got = raw_get(g.port, tone_res, {"Range": "bytes=1000-1999"})
    check(got[0] == 206 and got[2] == content[1000:2000], "the res URL plays, with Range",
          got[:2])
    c = tone_res[tone_res.index("c="):]
    for path in ("/Music/Album/01%20Intro.flac?stream=1&", "/Music/?", "/Music/?format=json&",
                 "/Music/?format=m3u&"):
        expect(g.get(path + c), 401, path + "c")
    # A film's subtitle beside it: a second res and Samsung's caption
    # element, with the subtitle item's own capability URL, served as text/srt.
    sec = "{http://www.sec.co.kr/}"
    for flag in ("BrowseDirectChildren", "BrowseMetadata"):
        answer = soap_browse(m.group(1), int(m.group(2)), "0/Films" + (
            "/Film.mp4" if flag == "BrowseMetadata" else ""), flag)
        items = {i.find("dc:title", ns).text: i for i in answer.findall("d:item", ns)}
        film = items["Film.mp4"]
        got = [(r.get("protocolInfo"), r.text) for r in film.findall("d:res", ns)[1:]]
        got += [(c.get(sec + "type"), c.text) for c in film.findall(sec + "CaptionInfoEx")]
        srt_url = got[0][1] if got else ""
        check(got == [("http-get:*:text/srt:*", srt_url), ("srt", srt_url)] and re.fullmatch(
            r"http://127\.0\.0\.1:%d/Films/Film\.en\.srt\?stream=1&c=\d+\.[\w-]{43}" % g.port,
            srt_url), "the film's subtitle: " + flag, didl_text(answer))
        if flag == "BrowseDirectChildren":
            check(items["Film.en.srt"].find("d:res", ns).text == srt_url and
                  len(items["Other.mp4"].findall("d:res", ns)) == 1, "its own item, alone",
                  didl_text(answer))
    status, headers, body = raw_get(g.port, srt_url[len("http://127.0.0.1:%d" % g.port):])
    check((status, headers.get("content-type"), body) == (200, "text/srt", b"1\n"),
          "the subtitle served as text/srt", status, headers, body)
    check(g.stop() == 0, "stopped", g.log())


def start_dlna(f, *args, listen="127.0.0.1:0"):
    """The gateway with --dlna in this namespace: it and its description URL."""
    links = subprocess.run(["ip", "-o", "link"], capture_output=True, text=True).stdout
    check([l.split(":")[1].strip() for l in links.splitlines()] == ["lo"],
          "only lo in this namespace", links)
    g = f.serve("--dlna", *args, listen=listen)
    deadline = time.monotonic() + 20
    while not any("DLNA MediaServer" in l for l in g.lines):
        check(time.monotonic() < deadline and g.p.poll() is None, "MediaServer started", g.log())
        time.sleep(0.05)
    line = next(l for l in g.lines if "DLNA MediaServer" in l)
    return g, re.search(r"(http://\S+)", line).group(1)


def case_dlna_listed(f):
    """What keeps a TV showing the server: the name it shows (--name, escaped
    in the description, the root's title), and the same UPnP port at every
    start (the listen port + 1, or --dlna-port), refused clearly when taken."""
    import socket
    bad = (("--name", ""), ("--name", "x" * 65), ("--name", "tab\there"),
           ("--name", "del\x7f"), ("--dlna-port", "0"), ("--dlna-port", "65536"))
    for option, value in bad:
        p = subprocess.run(f.command("serve", "--dlna", option, value), capture_output=True)
        check(p.returncode == 2 and option.encode() in p.stderr, "refused: %s %r" % (option, value),
              p.returncode, p.stderr)
    for option, value in (("--name", "TV"), ("--dlna-port", "9000")):
        p = subprocess.run(f.command("serve", option, value), capture_output=True)
        check(p.returncode == 2 and b"needs --dlna" in p.stderr, option + " without --dlna",
              p.stderr)
    if os.environ.get("NIMBUS_E2E_NETNS") != "1":
        return in_namespace(f, "dlna_listed", ())

    def pair():
        """A free port whose neighbour is free too."""
        for _ in range(100):
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
            s.close()
            t = socket.socket()
            try:
                t.bind(("127.0.0.1", port + 1))
                return port
            except OSError:
                pass
            finally:
                t.close()
        raise AssertionError("no two free ports side by side")

    name = 'Living "room" <TV> & \u00fc'
    listen = pair()
    for start in range(2):
        g, location = start_dlna(f, "--name", name, listen="127.0.0.1:%d" % listen)
        m = re.match(r"http://([0-9.]+):(\d+)/", location)
        host, port = m.group(1), int(m.group(2))
        check(port == listen + 1, "the UPnP port is the listen port + 1, start %d" % start, port)
        c = http.client.HTTPConnection(host, port, timeout=30)
        c.request("GET", urllib.parse.urlparse(location).path)
        description = c.getresponse().read().decode()
        c.close()
        check("<friendlyName>Living &quot;room&quot; &lt;TV&gt; &amp; \u00fc</friendlyName>"
              in description, "the name escaped in the description", description[:600])
        root = soap_browse(host, port, "0", "BrowseMetadata")
        title = root.find("{urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/}container/"
                          "{http://purl.org/dc/elements/1.1/}title")
        check(title is not None and title.text == name, "the root's title", didl_text(root))
        check(g.stop() == 0, "stopped", g.log())
    chosen = pair()
    g, location = start_dlna(f, "--dlna-port", str(chosen))
    check(":%d/" % chosen in location, "--dlna-port", location)
    check(g.stop() == 0, "stopped", g.log())
    # Taken ports: serve stops and names the option that frees it.
    for args, taken in ((("--dlna-port", str(chosen)), chosen), ((), listen + 1)):
        holder = socket.socket()
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        holder.bind(("127.0.0.1", taken))
        holder.listen(1)
        try:
            g = f.serve("--dlna", *args, listen="127.0.0.1:%d" % listen)
            code = g.p.wait(timeout=30)
            g.reader.join(timeout=10)
        finally:
            holder.close()
        check(code != 0 and "--dlna-port" in g.log() and str(taken) in g.log(),
              "a taken UPnP port %d refused" % taken, code, g.log())
        print(next(l for l in g.lines if "--dlna-port" in l).strip())
    print("--name escaped and shown; UPnP port %d = listen + 1 at both starts; "
          "--dlna-port; taken ports refused naming --dlna-port" % (listen + 1))


def listen_events(location, service_type):
    """Subscribes to a service's events with a GENA listener on loopback: the
    list it returns fills with (variable, value) pairs as events arrive."""
    import http.server
    import xml.etree.ElementTree as ET
    got = []

    class Listener(http.server.BaseHTTPRequestHandler):
        def do_NOTIFY(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            for prop in ET.fromstring(body):
                for var in prop:
                    got.append((var.tag.split("}")[-1], var.text or ""))
            self.send_response(200)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Listener)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    u = urllib.parse.urlsplit(location)
    c = http.client.HTTPConnection(u.hostname, u.port, timeout=30)
    c.request("GET", u.path)
    description = c.getresponse().read().decode()
    ns = "{urn:schemas-upnp-org:device-1-0}"
    service = next(s for s in ET.fromstring(description).iter(ns + "service")
                   if s.find(ns + "serviceType").text == service_type)
    c.request("SUBSCRIBE", service.find(ns + "eventSubURL").text, headers={
        "CALLBACK": "<http://127.0.0.1:%d/>" % server.server_address[1], "NT": "upnp:event",
        "TIMEOUT": "Second-300"})
    r = c.getresponse()
    r.read()
    c.close()
    check(r.status == 200 and r.getheader("SID", "").startswith("uuid:"), "subscribed",
          r.status, r.getheaders())
    return got


def case_dlna_events(f):
    """A subscriber sees SystemUpdateID step after a rename on the drive."""
    if os.environ.get("NIMBUS_E2E_NETNS") != "1":
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "dlna"))
        from run_dlna import has_gi
        python = next((p for p in (sys.executable, "/usr/bin/python3") if has_gi(p)), None)
        if not python:
            raise Skip("python3-gi with GUPnP 1.6 is missing (scripts/install-deps)")
        return in_namespace(f, "dlna_events", (), python)
    try:
        import gi
        gi.require_version("GUPnP", "1.6")
        gi.require_version("GSSDP", "1.6")
        from gi.repository import GLib, GObject, GSSDP, GUPnP, Gio
    except (ImportError, ValueError):
        raise Skip("python3-gi with GUPnP 1.6 is missing (scripts/install-deps)")
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "dlna"))
    from run_dlna import browse, call, didl_objects

    os.environ["NIMBUS_SERVE_DELTA_SECONDS"] = "2"
    g, location = start_dlna(f)
    del os.environ["NIMBUS_SERVE_DELTA_SECONDS"]
    udn = "uuid:" + open(os.path.join(f.dir, "dlna-uuid")).read().strip()
    ctx = GUPnP.Context.new_for_address(Gio.InetAddress.new_from_string("127.0.0.1"), 0,
                                        GSSDP.UDAVersion.VERSION_1_0)
    cp = GUPnP.ControlPoint.new(ctx, MEDIA_SERVER)
    found = {}
    loop = GLib.MainLoop()

    def run(seconds, until):
        end = time.monotonic() + seconds
        while time.monotonic() < end and not until():
            GLib.timeout_add(50, loop.quit)
            loop.run()
        return until()

    cp.connect("device-proxy-available",
               lambda _cp, proxy: found.setdefault("dev", proxy) if proxy.get_udn() == udn
               else None)
    cp.set_active(True)
    check(run(5, lambda: "dev" in found), "the control point finds the server")
    cds = found["dev"].get_service("urn:schemas-upnp-org:service:ContentDirectory:1")
    # Events come to a listener of this test's own that takes every NOTIFY:
    # GUPnP's control point refuses an initial event that overtakes the
    # answer to its SUBSCRIBE, and GUPnP's server then drops the
    # subscription, so on a busy machine it would miss the change.
    events = listen_events(location, "urn:schemas-upnp-org:service:ContentDirectory:1")
    system = lambda: [int(v) for k, v in list(events) if k == "SystemUpdateID"]
    check(run(5, lambda: system()), "the initial event", events)
    first = call(cds, "GetSystemUpdateID", [], [("Id", GObject.TYPE_UINT)])["Id"]
    check(set(system()) == {first} and browse(cds, "0/Music/Album")["UpdateID"] == first,
          "the action, Browse and the first event agree", events, first)

    # Feed answers without a change move nothing; the feed is asked without any visit.
    deltas = lambda: sum(1 for r in f.mock.requests if r["path"].endswith("/delta"))
    before, started = deltas(), time.monotonic()
    run(4.5, lambda: False)
    check(set(system()) == {first} and deltas() >= before + 1, "no change, no event; feed asked",
          events, deltas() - before)
    f.mock.find_path("/Music/Album/cover.jpg").name = "front.jpg"
    containers = lambda: [v for k, v in list(events) if k == "ContainerUpdateIDs" and v]
    check(run(10, lambda: first + 1 in system() and containers()),
          "an event after the rename", events)
    check(sorted(set(system())) == [first, first + 1], "one step", events)
    containers = containers()
    pairs = lambda csv: list(zip(*[iter(csv.split(","))] * 2))
    check(containers and ("0/Music/Album", str(first + 1)) in pairs(containers[-1]),
          "the album's container update id", containers)
    page = browse(cds, "0/Music/Album")
    titles = [o.get_title() for o in didl_objects(page["Result"])]
    check("front.jpg" in titles and page["UpdateID"] == first + 1, "Browse shows it", titles)
    elapsed = time.monotonic() - started
    check(deltas() - before <= elapsed / 2 + 1, "at most one delta request per period",
          deltas() - before, elapsed)
    cp.set_active(False)
    check(g.stop() == 0, "stopped", g.log())
    print("events: SystemUpdateID %d -> %d after a rename; ContainerUpdateIDs %r"
          % (first, first + 1, containers[-1]))
