"""`nimbus serve --dlna` as a television uses it: the request sequence a
Samsung set sends from the moment it finds the server to the film playing
with its subtitle, with its own User-Agent and headers, each Browse answer
read by GUPnP-AV's DIDL-Lite parser (a real control point's reader)."""

import http.client
import os
import re
import shutil
import subprocess
import urllib.parse
import xml.etree.ElementTree as ET

from mock_graph import Node
from run_e2e import Skip, check
from serve_common import in_namespace
from serve_dlna import start_dlna

SAMSUNG = "SEC_HHP_[TV] UE55RU7400/1.0 DLNADOC/1.50"
# What the set asks for in each Browse: the elements it shows and plays.
FILTER = ("dc:title,av:mediaClass,dc:date,@childCount,res,upnp:class,res@resolution,"
          "upnp:album,upnp:genre,upnp:albumArtURI,upnp:albumArtURI@dlna:profileID,"
          "dc:creator,res@size,res@duration,res@bitrate,res@protocolInfo")
DIDL = "{urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/}"
DC = "{http://purl.org/dc/elements/1.1/}"
UPNP = "{urn:schemas-upnp-org:metadata-1-0/upnp/}"
SEC = "{http://www.sec.co.kr/}"


def system_python():
    """A Python with GUPnP-AV's introspection data (Debian's, not a pyenv one)."""
    code = "import gi; gi.require_version('GUPnPAV', '1.0'); from gi.repository import GUPnPAV"
    for python in ("/usr/bin/python3", shutil.which("python3")):
        if python and subprocess.run([python, "-c", code], capture_output=True).returncode == 0:
            return python
    raise Skip("GUPnP-AV's Python bindings are missing (scripts/install-deps)")


def case_tv_samsung(f):
    """Found, listed, browsed by its roots, the film's caption asked for by
    HEAD, the caption and the film fetched: every step a Samsung set takes."""
    if os.environ.get("NIMBUS_E2E_NETNS") == "1":
        return samsung_inside(f)
    in_namespace(f, "tv_samsung", ("ffprobe",), python=system_python())


class Television:
    """One set: every request carries its User-Agent, as the real one does."""

    def __init__(self, host, port):
        self.host, self.port = host, port

    def request(self, method, url, body=None, headers=()):
        parts = urllib.parse.urlsplit(url)
        c = http.client.HTTPConnection(parts.hostname or self.host, parts.port or self.port,
                                       timeout=30)
        c.request(method, parts.path + ("?" + parts.query if parts.query else ""), body=body,
                  headers=dict({"User-Agent": SAMSUNG}, **dict(headers)))
        r = c.getresponse()
        answer = (r.status, {k.lower(): v for k, v in r.getheaders()}, r.read())
        c.close()
        return answer

    def action(self, control, name, arguments=""):
        body = ('<?xml version="1.0" encoding="utf-8"?><s:Envelope '
                'xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
                's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
                '<u:%s xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1">%s</u:%s>'
                '</s:Body></s:Envelope>' % (name, arguments, name)).encode()
        status, _, answer = self.request("POST", control, body, {
            "Content-Type": 'text/xml; charset="utf-8"',
            "SOAPACTION": '"urn:schemas-upnp-org:service:ContentDirectory:1#%s"' % name})
        check(status == 200, name + " answered", status, answer[:500])
        out = ET.fromstring(answer).find(".//{urn:schemas-upnp-org:service:"
                                         "ContentDirectory:1}%sResponse" % name)
        return {child.tag: child.text or "" for child in out}

    def browse(self, control, object_id, start=0, count=30):
        """One page as the set asks for it, checked by GUPnP-AV's parser."""
        import xml.sax.saxutils as sx
        out = self.action(control, "Browse", (
            "<ObjectID>%s</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag>"
            "<Filter>%s</Filter><StartingIndex>%d</StartingIndex>"
            "<RequestedCount>%d</RequestedCount><SortCriteria>+dc:title</SortCriteria>"
            % (sx.escape(object_id), FILTER, start, count)))
        parsed = gupnp_objects(out["Result"])
        check(len(parsed) == int(out["NumberReturned"]), "GUPnP-AV reads every object of "
              + object_id, len(parsed), out["NumberReturned"], out["Result"][:1000])
        return ET.fromstring(out["Result"]), parsed


def gupnp_objects(xml):
    import gi
    gi.require_version("GUPnPAV", "1.0")
    from gi.repository import GUPnPAV
    parser, objects = GUPnPAV.DIDLLiteParser(), []
    parser.connect("object-available", lambda _p, o: objects.append(o))
    parser.parse_didl(xml)
    return objects


def samsung_inside(f):
    film_bytes = bytes(range(256)) * 64
    films = f.mock.root.add(Node("Films", folder=True))
    film = films.add(Node("Night Train.mp4", content=film_bytes))
    film.video = {"width": 1920, "height": 1080, "duration": 5400000, "bitrate": 4000000,
                  "audioChannels": 6}
    films.add(Node("Night Train.en.srt", content=b"1\n00:00:01,000 --> 00:00:02,000\nHi\n"))
    f.mock._number(f.mock.root)
    g, location = start_dlna(f)
    host, port = re.match(r"http://([0-9.]+):(\d+)/", location).groups()
    tv = Television(host, int(port))

    # The description it reads first, and the control URL it takes from it.
    status, _, description = tv.request("GET", location)
    check(status == 200, "the description", status)
    device = ET.fromstring(description)
    ns = "{urn:schemas-upnp-org:device-1-0}"
    control = next(s.find(ns + "controlURL").text for s in device.iter(ns + "service")
                   if "ContentDirectory" in s.find(ns + "serviceType").text)
    control = urllib.parse.urljoin(location, control)

    # Its first action: the feature list naming the roots it shows.
    features = ET.fromstring(tv.action(control, "X_GetFeatureList")["FeatureList"])
    roots = {c.get("type"): c.get("id") for c in features.iter("{urn:schemas-upnp-org:av:avs}"
                                                                 "container")}
    check(set(roots) == {"object.item.audioItem", "object.item.videoItem",
                         "object.item.imageItem"}, "the feature list's roots", roots)
    check(tv.action(control, "GetSortCapabilities")["SortCaps"] != "", "sort capabilities")

    # Down from the video root to the film, a page of 30 at a time.
    at, item = roots["object.item.videoItem"], None
    for _ in range(4):
        page, parsed = tv.browse(control, at)
        titles = {o.get_title(): o for o in parsed}
        if "Night Train.mp4" in titles:
            item = next(i for i in page.findall(DIDL + "item")
                        if i.find(DC + "title").text == "Night Train.mp4")
            obj = titles["Night Train.mp4"]
            break
        at = next(o.get_id() for o in parsed if o.get_title() == "Films")
    check(item is not None, "the film found from the video root")
    (res, *_) = obj.get_resources()
    info = res.get_protocol_info()
    check((info.get_mime_type(), res.get_size64(), res.get_duration(), res.get_width(),
           res.get_height(), res.get_bitrate(), res.get_audio_channels()) ==
          ("video/mp4", len(film_bytes), 5400, 1920, 1080, 500000, 6),
          "the film's res as GUPnP-AV reads it", info.to_string())
    caption_ex = item.find(SEC + "CaptionInfoEx")
    check(caption_ex is not None and caption_ex.get(SEC + "type") == "srt",
          "sec:CaptionInfoEx", ET.tostring(item))

    # The HEAD it sends before playing, asking for the caption and the profile.
    status, headers, _ = tv.request("HEAD", item.find(DIDL + "res").text, headers={
        "getcontentFeatures.dlna.org": "1", "getCaptionInfo.sec": "1",
        "getMediaInfo.sec": "1", "transferMode.dlna.org": "Streaming"})
    check(status == 200 and "DLNA.ORG_OP=01" in headers.get("contentfeatures.dlna.org", "")
          and headers.get("captioninfo.sec") == caption_ex.text,
          "the HEAD names the caption and the features", status, headers)
    status, headers, body = tv.request("GET", headers["captioninfo.sec"])
    check((status, headers.get("content-type"), body[:1]) == (200, "text/srt", b"1"),
          "the caption", status, headers)
    status, headers, body = tv.request("GET", item.find(DIDL + "res").text,
                                       headers={"Range": "bytes=1000-",
                                                "transferMode.dlna.org": "Streaming"})
    check(status == 206 and body == film_bytes[1000:], "the film from where it resumes",
          status, headers)
    check(g.stop() == 0, "stopped", g.log())
    print("Samsung sequence: description, X_GetFeatureList, Browse to the film (read by "
          "GUPnP-AV), HEAD with getCaptionInfo.sec, caption, ranged film")
