"""libnimbus loaded through ctypes, with a host transport table of Python's
own: real HTTPS to the mock's port, the host name the library asked for in
the Host header, the access token behind the marker sent as a bearer. A
sanitized library cannot be loaded this way.
"""

import ctypes
import http.client
import ssl
import urllib.parse

from run_e2e import check

MARKER = "#NIMBUS-BEARER:"
LIBC = ctypes.CDLL(None)
LIBC.malloc.restype = ctypes.c_void_p
LIBC.malloc.argtypes = [ctypes.c_size_t]
LIBC.free.argtypes = [ctypes.c_void_p]

GET = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p,
                       ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_int32),
                       ctypes.POINTER(ctypes.c_void_p))
POST = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p,
                        ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p),
                        ctypes.POINTER(ctypes.c_int32), ctypes.POINTER(ctypes.c_void_p))
FREE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)


class IO(ctypes.Structure):
    _fields_ = [("ctx", ctypes.c_void_p), ("get", GET), ("post", POST), ("free", FREE)]


class Entry(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("path", ctypes.c_char_p), ("id", ctypes.c_char_p),
                ("drive_id", ctypes.c_char_p), ("size", ctypes.c_int64),
                ("mtime_ms", ctypes.c_int64), ("folder", ctypes.c_int),
                ("mime_type", ctypes.c_char_p), ("download_url", ctypes.c_char_p),
                ("title", ctypes.c_char_p), ("artist", ctypes.c_char_p),
                ("album", ctypes.c_char_p), ("track", ctypes.c_int32), ("year", ctypes.c_int32),
                ("duration_ms", ctypes.c_int64), ("width", ctypes.c_int32),
                ("height", ctypes.c_int32), ("deleted", ctypes.c_int)]


ENTRY_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(Entry))


def c_text(data):
    p = LIBC.malloc(len(data) + 1)
    ctypes.memmove(p, data + b"\0", len(data) + 1)
    return p


class Transport:
    """The host's table: every request to the mock's port over TLS, the
    host name the library asked for in the Host header."""

    def __init__(self, port, ca):
        self.port = port
        self.tls = ssl.create_default_context(cafile=ca)
        self.io = IO(None, GET(self.get), POST(self.post), FREE(lambda ctx, p: LIBC.free(p)))

    def exchange(self, method, url, body, content_type, out, status, error):
        try:
            url, _, token = url.decode().partition(MARKER)
            u = urllib.parse.urlsplit(url)
            check(u.scheme == "https", "a request that is not HTTPS: " + url)
            headers = {"Host": u.hostname}
            if token:
                headers["Authorization"] = "Bearer " + token
            if content_type:
                headers["Content-Type"] = content_type.decode()
            conn = http.client.HTTPSConnection("127.0.0.1", self.port, context=self.tls,
                                               timeout=30)
            target = u.path + ("?" + u.query if u.query else "")
            conn.request(method, target, body=body, headers=headers)
            answer = conn.getresponse()
            data = answer.read()
            conn.close()
            out[0] = c_text(data)
            status[0] = answer.status
            return 0
        except Exception as e:  # the library sees a failed exchange
            error[0] = c_text(str(e).encode())
            return -1

    def get(self, ctx, url, out, status, error):
        return self.exchange("GET", url, None, None, out, status, error)

    def post(self, ctx, url, body, content_type, out, status, error):
        return self.exchange("POST", url, body, content_type, out, status, error)
