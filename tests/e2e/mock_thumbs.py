"""Thumbnails as the mock Graph drive answers them.

  * GET .../{item}/thumbnails: the item's sets, `value` holding one set
    (id "0") with `small` (96 px), `medium` (176 px) and `large` (800 px),
    each with `url`, `width` and `height`; an empty `value` for an item
    without thumbnails. Pictures, films and audio with art have them, and
    so do folders that hold a picture or audio with art (as the service
    makes a folder's thumbnail from what it holds).
  * GET .../{item}/thumbnails/0/{size}/content: a 302 to the set's URL.
  * GET https://127.0.0.1:PORT/thumb/{id}/{size}?v=...: the bytes, a real
    JPEG of the set's size (made once with ffmpeg), no token needed. The
    URL changes when the item does.

A node's `thumbnail` attribute decides: unset (None) by its type, False
for none, or bytes to serve as its thumbnail whatever they are.
"""

import hashlib
import os
import re
import subprocess
import tempfile
import threading
import urllib.parse

SIZES = {"small": 96, "medium": 176, "large": 800}
TAIL = "/thumbnails"

_jpegs = {}
_jpeg_lock = threading.Lock()


def jpeg(side):
    """A SIDE x SIDE baseline JPEG that decoders take."""
    with _jpeg_lock:
        if side not in _jpegs:
            with tempfile.TemporaryDirectory() as tmp:
                out = os.path.join(tmp, "t.jpg")
                subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                                "color=c=0x3366aa:s=%dx%d" % (side, side), "-frames:v", "1",
                                "-y", out], check=True, timeout=60)
                with open(out, "rb") as f:
                    _jpegs[side] = f.read()
        return _jpegs[side]


def split(rest):
    """REST (a Graph path below /me/drive or /drives/D/items) without its
    thumbnails tail, and what the tail asks: (rest, None) for none, (rest,
    "") for the list, (rest, SIZE) for one size's content, (rest, "?") for
    another set or size."""
    if rest.endswith(TAIL):
        return rest[:-len(TAIL)], ""
    found = re.search(r"/thumbnails/([^/:]+)/([^/:]+)/content$", rest)
    if not found:
        return rest, None
    size = found.group(2) if found.group(1) == "0" and found.group(2) in SIZES else "?"
    return rest[:found.start()], size


def _playable(node, service_type):
    kind = (node.mime or service_type(node.name)).split("/")[0]
    return kind in ("image", "video", "audio")


def has(node, service_type):
    own = getattr(node, "thumbnail", None)
    if own is not None:
        return own is not False
    if node.remote is not None:
        return False
    if not node.folder:
        return _playable(node, service_type) and (node.mime or service_type(node.name)) != \
            "image/svg+xml"
    return any(not c.folder and has(c, service_type) and
               (c.mime or service_type(c.name)).split("/")[0] in ("image", "audio")
               for c in node.children)


def sets(mock, node, service_type):
    if not has(node, service_type):
        return {"value": []}
    version = hashlib.sha256((node.id + node.mtime + str(node.size)).encode()).hexdigest()[:12]
    one = {"id": "0"}
    for size, side in SIZES.items():
        one[size] = {"height": side, "width": side,
                     "url": "https://127.0.0.1:%d/thumb/%s/%s?v=%s" % (
                         mock.port, urllib.parse.quote(node.id, safe=""), size, version)}
    return {"value": [one]}


def answer(handler, node, size, service_type):
    """Answers the thumbnails request for NODE (SIZE as split gave it)."""
    from mock_graph import _graph_error
    if size == "?":
        return handler._send(400, _graph_error("invalidRequest", "Invalid request"))
    listing = sets(handler.mock, node, service_type)
    if size == "":
        return handler._send(200, listing)
    if not listing["value"]:
        return handler._send(404, _graph_error("itemNotFound", "The resource could not be found."))
    return handler._send(302, b"", [("Location", listing["value"][0][size]["url"])])


def serve(handler, raw_path):
    """The bytes of https://127.0.0.1:PORT/thumb/ID/SIZE."""
    parts = raw_path[len("/thumb/"):].split("/")
    node = handler.mock.by_id.get(urllib.parse.unquote(parts[0])) if len(parts) == 2 else None
    if node is None or parts[1] not in SIZES:
        handler.record["status"] = 404
        handler.send_response(404)
        handler.send_header("Content-Length", "0")
        handler.end_headers()
        return None
    own = getattr(node, "thumbnail", None)
    data = own if isinstance(own, bytes) else jpeg(SIZES[parts[1]])
    handler.record["status"] = 200
    handler.send_response(200)
    handler.send_header("Content-Type", "image/jpeg")
    handler.send_header("Content-Length", str(len(data)))
    handler.end_headers()
    if handler.command != "HEAD":
        handler.wfile.write(data)
    return None
