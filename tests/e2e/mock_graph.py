"""A mock Microsoft Graph drive and OAuth 2.0 token endpoint over HTTPS.

Python standard library only. One server on 127.0.0.1 answers for both real
host names (login.microsoftonline.com and graph.microsoft.com), told apart by
the Host header; clients reach it with curl's --connect-to and trust its
throwaway certificate authority with --cacert.

What it implements:
  * POST /common/oauth2/v2.0/token: the refresh-token grant. Every grant
    issues a new access token and, while `rotate` is set, a new refresh token;
    revoked or unknown refresh tokens get 400 invalid_grant.
  * GET /v1.0/me/drive/root/children, /root:/PATH:/children and
    /items/ID/children, paged by $top through absolute @odata.nextLink URLs.
  * GET /v1.0/me/drive/root:/PATH and /items/ID: single driveItems with
    @microsoft.graph.downloadUrl.
  * A bearer check: 401 with an InvalidAuthenticationToken envelope for a
    missing, unknown or expired access token (`access_uses` limits how many
    Graph requests one token may make).
  * GET /common/oauth2/v2.0/authorize (the browser's sign-in): checks the
    client id, redirect URI, response type and S256 challenge, then sends the
    browser to the redirect URI with a one-time code and the state, or with
    error=access_denied (`authorize_mode` "deny"), or with a state that is not
    the one sent ("bad_state").
  * POST /common/oauth2/v2.0/token with grant_type=authorization_code: checks
    the code, the PKCE verifier against the challenge, the redirect URI and
    the client credentials; issues an access and a refresh token.
  * GET /v1.0/me/drive: the drive's type (`drive_type`, personal unless a
    test picks "business" or "documentLibrary"), owner and `quota`.
  * Shortcuts as a personal drive lists them: children and delta pages of a
    personal drive leave them out unless the request carries
    `Prefer: Include-Feature=AddToOneDrive` (every request records its
    `prefer` and `user_agent`).
  * POST /common/oauth2/v2.0/devicecode: a device authorization (interval
    `device_interval`); the token endpoint's device-code grant then answers
    each code by `device_plan` (authorization_pending twice, slow_down once,
    then tokens), keeping the time of every poll in `device_polls`.
  * A public client (PUBLIC_CLIENT_ID): every grant that presents any
    client_secret is refused with invalid_client, as the service does.
  * Injected answers (`fail`: path -> status, e.g. 429 or 503) and delays.
  * gzip-compressed answers when the client accepts them.
  * With `serve_downloads` set, download URLs point at the mock itself
    (https://127.0.0.1:PORT/download/ID) and GET there answers a file's
    `content` bytes, with single-range `Range` requests (206, 416), a strong
    ETag and If-Range; `cuts` (path -> count) ends that many answers halfway.
  * Hostile modes: `grant_plan` holds back and decides rotation per grant in
    order of arrival; `next_suffix` is appended to every @odata.nextLink.
  * Shortcuts (`shortcut`) to folders and files of other drives (`add_drive`),
    answered as Graph answers them: the shortcut's own children, by id or
    by path, and those of a path through it, are an empty page; an item
    beneath it by path is not found; its shared folder lists through
    /v1.0/drives/{drive}/items/{id}/children. `shortcut_404` answers those
    children with 404 instead.
  * This drive by its id as well (/v1.0/drives/DRIVE_ID/...), items by a
    path below an id (/items/ID:/PATH:), /content as a 302 to the download
    URL, delta?token=latest (a cursor for now, no items), and client
    credentials as HTTP Basic: what rclone's onedrive backend asks.
  * A national cloud (`graph_host`, `login_host`): the mock answers for
    those host names instead and its links name them.
  * Items in whole as the service sends them (hashes, authors, links, some
    1.2 KB each), or only the members a `$select` names; next links and the
    change feed's links keep the `$select`.
  * Counted TCP connections (`connections`; each request records its
    connection number) and scripted one-off faults (`script`: a request
    target or path -> a list of faults used up in order: throttling with a
    Retry-After, a connection reset, a token answer lost after the request
    was read), and headers added to a target's next answers (`answer_headers`,
    e.g. RateLimit-Remaining). Each request's record holds its arrival and answer times
    (`start`, `end`, monotonic) to tell how many were in flight.
"""

import base64
import gzip
import hashlib
import http.server
import json
import os
import socket
import re
import ssl
import struct
import subprocess
import threading
import time
import urllib.parse

import mock_thumbs

GRAPH_HOST = "graph.microsoft.com"
LOGIN_HOST = "login.microsoftonline.com"
# The US Government cloud's hosts, which the certificate names too.
USGOV_GRAPH_HOST = "graph.microsoft.us"
USGOV_LOGIN_HOST = "login.microsoftonline.us"
TOKEN_PATH = "/common/oauth2/v2.0/token"
AUTHORIZE_PATH = "/common/oauth2/v2.0/authorize"
GRAPH_PREFIX = "/v1.0/me/drive"
DRIVE_ID = "e2e-drive"             # the id /me/drive answers
CLIENT_ID = "e2e-client"
CLIENT_SECRET = "e2e-secret"
DEVICE_PATH = "/common/oauth2/v2.0/devicecode"
PUBLIC_CLIENT_ID = "e2e-public-client"
USER_CODE = "E2E-CODE"
DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code"


class Node:
    def __init__(self, name, folder=False, size=0, download=True, mtime="2024-03-05T07:08:09Z",
                 content=None):
        self.name = name
        self.folder = folder
        self.content = content
        self.size = len(content) if content is not None else size
        self.download = download
        self.download_url = None  # replaces the generated download URL
        self.mtime = mtime
        self.children = []
        self.id = None
        self.parent = None
        self.remote = None      # a shortcut: (drive id, Node on that drive)
        self.audio = None       # facets as Graph sends them, or None
        self.video = None
        self.facets = {}        # further members (image, photo, ...) as Graph sends them
        self.mime = None        # file.mimeType; None: the service's type of the name
        self.locked = False     # a Personal Vault not unlocked: its listing is refused
        self.download_type = "application/octet-stream"  # the download's Content-Type
        self.pause_after = None  # (bytes, seconds): the download stops that long after them
        self.etag = None        # the download's ETag; None: a hash of content (too slow
                                # for a large mmap'd content, which benchmarks give their own)

    def add(self, child):
        child.parent = self
        self.children.append(child)
        return child


# The types the service gives files by their names, as far as the tests
# need them; like the service it types Matroska and anything it does not
# know application/octet-stream.
SERVICE_TYPES = {"mp3": "audio/mpeg", "flac": "audio/flac", "m4a": "audio/mp4",
                 "ogg": "audio/ogg", "wav": "audio/wav", "mp4": "video/mp4",
                 "jpg": "image/jpeg", "jpeg": "image/jpeg", "png": "image/png",
                 "txt": "text/plain", "html": "text/html", "htm": "text/html",
                 "svg": "image/svg+xml", "xml": "text/xml", "pdf": "application/pdf"}


def service_type(name):
    ext = name.rsplit(".", 1)[1].lower() if "." in name else ""
    return SERVICE_TYPES.get(ext, "application/octet-stream")


def make_certificates(folder):
    """A CA and a server certificate for the host names, made by openssl."""
    def run(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    curve = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run("req", "-x509", *curve, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
        "-subj", "/CN=nimbus e2e throwaway CA",
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("req", *curve, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=" + GRAPH_HOST)
    with open(os.path.join(folder, "server.ext"), "w") as f:
        f.write("subjectAltName=%s,IP:127.0.0.1\n" % ",".join(
            "DNS:" + h for h in (GRAPH_HOST, LOGIN_HOST, USGOV_GRAPH_HOST, USGOV_LOGIN_HOST)))
        f.write("basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n")
        f.write("extendedKeyUsage=serverAuth\n")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-set_serial", "4711", "-days", "2", "-out", "server.pem", "-extfile", "server.ext")
    return (os.path.join(folder, "ca.pem"), os.path.join(folder, "server.pem"),
            os.path.join(folder, "server.key"))


class MockGraph:
    def __init__(self, certfile, keyfile, root=None):
        self.lock = threading.Lock()
        self.root = root or Node("root", folder=True)
        self.by_id = {}
        self._number(self.root)
        self.rotate = True
        self.revoke_on_rotate = False
        self.access_uses = None        # Graph requests allowed per access token
        self.expires_in = 3600
        self.fail = {}                 # raw path -> status
        self.delay = {}                # raw path -> seconds
        self.cuts = {}                 # download path -> answers cut halfway
        self.after_cut = None          # called once after the next cut
        self.grant_plan = []           # (seconds to wait, rotate?) per grant, in arrival order
        self.next_suffix = ""          # appended to every next link
        self.raw_bytes = {}            # marker -> bytes put in its place in every answer,
                                       # for texts JSON cannot carry (ill-formed UTF-8)
        self.refresh_valid = set()
        self.refresh_revoked = set()
        self.access = {}               # access token -> uses so far
        self.grants = []               # refresh tokens presented, in order
        self.requests = []             # one dict per request
        self.counter = 0
        self.connections = 0           # TCP connections accepted
        self.script = {}               # target or path -> [fault, ...], see _scripted
        self.answer_headers = {}       # target or path -> [[(name, value), ...], ...]: added
                                       # to its next answers, one list each, in order
        self.page_cache = None         # a dict: children answers kept, for benchmarks
        self.authorize_mode = "ok"     # or "deny", "bad_state"
        self.codes = {}                # code -> what the authorize request fixed
        self.code_grants = []          # forms of authorization_code grants
        self.drive_type = "personal"
        self.owner = {"displayName": "Ada Lovelace", "email": "ada@example.com"}
        self.quota = {"total": 5368709120, "used": 1288490189, "remaining": 4080218931,
                      "deleted": 1048576, "state": "normal"}
        self.serve_downloads = False   # download URLs at this server, with real bytes
        self.device_interval = 1       # seconds between polls the device authorization asks
        self.device_plan = ["authorization_pending", "authorization_pending", "slow_down"]
        self.device_codes = {}         # device code -> answers still to give before tokens
        self.device_polls = []         # (monotonic time, device code) per device-code grant
        self.drives = {}               # drive id -> root Node of another drive (shortcuts)
        self.shortcut_404 = False      # True: a shortcut's children, and paths beneath it,
                                       # answer 404 (as some services do); False: an empty
                                       # page, as Graph does
        self.deleted = []              # (Node, its former parent id), for the change feed
        self.delta_epoch = 0           # cursors of an older epoch answer 410
        self.delta_page = 2            # entries per change-feed page
        self.delta_seen = {}           # cursor token -> {node id: (name, parent id)} then
        self.delta_runs = {}           # answer id -> (change-feed items, cursor at its end)
        self.delta_keys = {}           # (request, cursor, epoch) -> answer id, for page_cache
        self.delta_paths = None        # None: as Graph, no parentReference.path in change-feed
                                       # items of a personal drive; True/False: always/never
        self.delta_order = "tree"      # "children_first": every item before its folder
        self.delta_deleted_parent = False  # True: deletions name their former folder by id
        self.root_facet = False        # True: the root's item carries "root": {}, as Graph's does
        self.delta_items = None        # a first change feed served as it stands (hostile feeds)
        self.graph_host = GRAPH_HOST   # the cloud the mock plays: the hosts it answers for
        self.login_host = LOGIN_HOST
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self.server.daemon_threads = True
        self.server.mock = self
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(certfile, keyfile)
        # The handshake runs in the request thread, not in the accept loop.
        self.server.socket = ctx.wrap_socket(self.server.socket, server_side=True,
                                             do_handshake_on_connect=False)
        self.server.handle_error = lambda request, address: None
        self.port = self.server.server_address[1]
        self.thread = None

    # -- set-up --------------------------------------------------------------

    def _number(self, node):
        if node.id is None:
            node.id = "E2E!%d" % len(self.by_id) if node is not self.root else "E2E!root"
        self.by_id[node.id] = node
        for c in node.children:
            c.parent = node
            self._number(c)

    def add_drive(self, drive_id, root):
        """Another drive whose items shortcuts may point at."""
        with self.lock:
            self.drives[drive_id] = root
            for c in root.children:
                self._number_remote(drive_id, c)

    def _number_remote(self, drive_id, node):
        self.counter += 1
        node.id = "%s!%d" % (drive_id.upper(), self.counter)
        for c in node.children:
            c.parent = node
            self._number_remote(drive_id, c)

    def shortcut(self, parent, name, drive_id, target):
        """An item in this drive that points at target on drive_id."""
        node = parent.add(Node(name))
        node.remote = (drive_id, target)
        self._number(node)
        return node

    def add_refresh_token(self, token):
        with self.lock:
            self.refresh_valid.add(token)

    def revoke(self, token):
        with self.lock:
            self.refresh_valid.discard(token)
            self.refresh_revoked.add(token)

    def start(self):
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(timeout=10)

    def connect_to(self):
        return ["%s:443:127.0.0.1:%d" % (h, self.port) for h in (self.graph_host, self.login_host)]

    # -- lookups -------------------------------------------------------------

    def path_of(self, node):
        parts = []
        while node is not None and node is not self.root:
            parts.append(node.name)
            node = node.parent
        return "/" + "/".join(reversed(parts))

    def beneath_shortcut(self, path):
        """Whether path is a shortcut or runs through one."""
        node = self.root
        for part in [p for p in path.split("/") if p]:
            if node.remote is not None:
                return True
            node = next((c for c in node.children if c.name == part), None) if node.folder else None
            if node is None:
                return False
        return node.remote is not None

    def find_path(self, path):
        node = self.root
        for part in path.split("/")[1:]:
            if part == "":
                continue
            if not node.folder:
                return None
            node = next((c for c in node.children if c.name == part), None)
            if node is None:
                return None
        return node

    def shaped(self, node, query):
        """NODE as an answer to QUERY: whole, or what its $select names
        (made without the members no one asked for: 100 000-entry listings
        cost the mock a fraction of the time)."""
        whole = not urllib.parse.parse_qs(query).get("$select")
        return selected(self.item(node, whole), query)

    def item(self, node, whole=True):
        if node.remote is not None:
            drive_id, target = node.remote
            remote = {"id": target.id, "name": target.name,
                      "parentReference": {"driveId": drive_id, "driveType": "business"}}
            if target.folder:
                remote["folder"] = {"childCount": len(target.children)}
            else:
                remote["file"] = {"mimeType": "audio/flac"}
                remote["size"] = target.size
            return {"id": node.id, "name": node.name, "size": 0,
                    "createdDateTime": node.mtime, "lastModifiedDateTime": node.mtime,
                    "parentReference": {"driveType": "personal", "id": node.parent.id,
                                        "path": "/drive/root:" +
                                                self.path_of(node.parent).rstrip("/")},
                    "remoteItem": remote}
        out = self._plain_item(node, whole)
        if node.audio is not None:
            out["audio"] = node.audio
        if node.video is not None:
            out["video"] = node.video
        out.update(node.facets)
        return out

    def _plain_item(self, node, whole=True):
        out = {"id": node.id, "lastModifiedDateTime": node.mtime, "name": node.name,
               "size": node.size}
        if whole:
            digest = hashlib.sha256(node.id.encode()).hexdigest()
            who = {"application": {"displayName": "OneDrive", "id": "4a1aa1d5"},
                   "user": {"displayName": "E2E User", "id": "e2e0000000000001"}}
            out.update({"createdDateTime": node.mtime,
                        "cTag": '"c:{%s},0"' % digest[:32].upper(),
                        "eTag": '"{%s},1"' % digest[:32].upper(),
                        "webUrl": "https://onedrive.live.com/redir?resid=%s&cid=%s" % (
                            urllib.parse.quote(node.id), DRIVE_ID),
                        "reactions": {"commentCount": 0}, "createdBy": who,
                        "lastModifiedBy": who,
                        "fileSystemInfo": {"createdDateTime": node.mtime,
                                           "lastModifiedDateTime": node.mtime}})
        if node.parent is not None:
            out["parentReference"] = {"driveId": DRIVE_ID, "driveType": "personal",
                                      "id": node.parent.id, "name": node.parent.name,
                                      "path": "/drive/root:" + self.path_of(node.parent).rstrip("/")}
        if node is self.root and self.root_facet:
            out["root"] = {}
        if node.folder:
            out["folder"] = {"childCount": len(node.children)}
            if whole:
                out["folder"]["view"] = {"viewType": "thumbnails", "sortBy": "name",
                                         "sortOrder": "ascending"}
        else:
            out["file"] = {"mimeType": node.mime or service_type(node.name)}
            if whole:
                out["file"]["hashes"] = {
                    "quickXorHash": base64.b64encode(bytes.fromhex(digest[:40])).decode(),
                    "sha1Hash": digest[:40].upper(), "sha256Hash": digest.upper()}
            if node.download_url is not None:
                out["@microsoft.graph.downloadUrl"] = node.download_url
            elif node.download and self.serve_downloads:
                out["@microsoft.graph.downloadUrl"] = (
                    "https://127.0.0.1:%d/download/%s?tempauth=e2e-%s"
                    % (self.port, urllib.parse.quote(node.id), node.id.split("!")[1]))
            elif node.download:
                out["@microsoft.graph.downloadUrl"] = (
                    "https://download.e2e.invalid/%s?tempauth=e2e-%s"
                    % (urllib.parse.quote(node.id), node.id.split("!")[1]))
        return out


def selected(item, query):
    """The members of ITEM that the query's $select names (the service sends
    only those), or the whole item."""
    names = urllib.parse.parse_qs(query).get("$select")
    if not names:
        return item
    keep = set(names[0].split(","))
    return {k: v for k, v in item.items() if k in keep}


def unselected(target):
    """A request target without its $select, as tests name pages."""
    return re.sub(r"[?&]\$select=[^&]*$", "", re.sub(r"([?&])\$select=[^&]*&", r"\1", target))


def select_part(query):
    """"&$select=..." as the query carries it, for the links a page gives."""
    names = urllib.parse.parse_qs(query).get("$select")
    return "&$select=" + urllib.parse.quote(names[0], safe=",@") if names else ""


def etag_of(data):
    """The strong ETag of a download's bytes: it changes with them."""
    return '"%s"' % hashlib.sha1(data).hexdigest()


def _graph_error(code, message):
    return {"error": {"code": code, "message": message,
                      "innerError": {"request-id": "00000000-0000-0000-0000-000000000000"}}}


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "mock-graph/1"

    def log_message(self, *args):
        pass

    @property
    def mock(self):
        return self.server.mock

    def _send(self, status, body, headers=(), cache_key=None):
        gz = "gzip" in self.headers.get("Accept-Encoding", "")
        cache = self.mock.page_cache if cache_key is not None else None
        data = cache.get((cache_key, gz)) if cache is not None else None
        if data is None:
            data = body() if callable(body) else body
            data = data if isinstance(data, bytes) else json.dumps(data).encode()
            for marker, raw in self.mock.raw_bytes.items():
                data = data.replace(marker, raw)
            gz = gz and len(data) > 0
            if gz:
                data = gzip.compress(data)
            if cache is not None:
                cache[(cache_key, gz)] = data
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        if gz:
            self.send_header("Content-Encoding", "gzip")
        with self.mock.lock:
            queued = (self.mock.answer_headers.get(self.record["target"]) or
                      self.mock.answer_headers.get(unselected(self.record["target"])) or
                      self.mock.answer_headers.get(self.record["path"]))
            extra = queued.pop(0) if queued else []
        for k, v in list(headers) + extra:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        # The record is complete before the bytes leave: the client may
        # finish, and its test read the record, before this thread resumes.
        self.record["status"] = status
        self.record["gzip"] = gz
        self.record["bytes"] = len(data)
        self.wfile.write(data)
        self.record["end"] = time.monotonic()

    def setup(self):
        # Headers and body leave in two writes; Nagle would hold the body
        # back for the client's delayed ACK (40 ms per kept-alive request).
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        super().setup()
        with self.mock.lock:
            self.mock.connections += 1
            self.connection_number = self.mock.connections

    def _scripted(self):
        """Plays the next scripted fault for this request, if any: True when
        it answered (or dropped) the request. Faults: (429 or 503 or 504,
        Retry-After text or None), "reset" (connection reset before an
        answer), "lose" (request read, connection closed, nothing answered)."""
        with self.mock.lock:
            faults = self.mock.script.get(self.path) or self.mock.script.get(self.record["path"])
            fault = faults.pop(0) if faults else None
        if fault is None:
            return False
        if fault in ("reset", "lose"):
            length = int(self.headers.get("Content-Length", "0"))
            if length:
                self.rfile.read(length)
            self.record["status"] = fault
            if fault == "reset":  # RST instead of FIN
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                           struct.pack("ii", 1, 0))
            self.close_connection = True
            self.connection.close()
            return True
        status, retry_after = fault
        headers = [("Retry-After", retry_after)] if retry_after is not None else []
        self._send(status, _graph_error("activityLimitReached" if status == 429 else
                                        "serviceNotAvailable", "Scripted %d" % status), headers)
        return True

    def _begin(self, method):
        raw_path, _, query = self.path.partition("?")
        self.record = {"method": method, "host": self.headers.get("Host", ""), "path": raw_path,
                       "connection": self.connection_number,
                       "query": query, "target": self.path,
                       "authorization": self.headers.get("Authorization"),
                       "user_agent": self.headers.get("User-Agent"),
                       "prefer": self.headers.get("Prefer"),
                       "accept_encoding": self.headers.get("Accept-Encoding", ""),
                       "content_type": self.headers.get("Content-Type"), "status": None,
                       "range": self.headers.get("Range"),
                       "if_range": self.headers.get("If-Range"),
                       "tls_resumed": getattr(self.connection, "session_reused", None),
                       "start": time.monotonic()}
        with self.mock.lock:
            self.mock.requests.append(self.record)
            delay = self.mock.delay.get(raw_path)
        if delay:
            threading.Event().wait(delay)
        return raw_path, query

    def do_POST(self):
        raw_path, _ = self._begin("POST")
        if self._scripted():
            return
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length).decode("utf-8", "replace")
        self.record["body"] = body
        if self.record["host"] == self.mock.login_host and raw_path == DEVICE_PATH:
            return self._device_authorization(body)
        if self.record["host"] != self.mock.login_host or raw_path != TOKEN_PATH:
            return self._send(404, {"error": "not_found"})
        if self.record["content_type"] != "application/x-www-form-urlencoded":
            return self._send(400, {"error": "invalid_request",
                                    "error_description": "AADSTS900144: form body expected"})
        form = urllib.parse.parse_qs(body, keep_blank_values=True)
        self._basic_client(form)
        one = lambda k: form.get(k, [""])[0]
        if one("grant_type") == "authorization_code":
            return self._code_grant(one, form)
        if one("grant_type") == DEVICE_GRANT:
            return self._device_grant(one, form)
        if one("grant_type") != "refresh_token":
            return self._send(400, {"error": "unsupported_grant_type",
                                    "error_description": "AADSTS70003: grant type"})
        if self._client_refused(one, form):
            return
        presented = one("refresh_token")
        m = self.mock
        with m.lock:
            plan = m.grant_plan.pop(0) if m.grant_plan else None
        if plan:
            threading.Event().wait(plan[0])
        rotate = m.rotate if plan is None else plan[1]
        with m.lock:
            m.grants.append(presented)
            if presented not in m.refresh_valid:
                revoked = presented in m.refresh_revoked
                answer = None
            else:
                m.counter += 1
                access = "at-%d" % m.counter
                m.access[access] = 0
                answer = {"token_type": "Bearer", "scope": one("scope"),
                          "expires_in": m.expires_in, "ext_expires_in": m.expires_in,
                          "access_token": access}
                if rotate:
                    fresh = "rt-%d" % m.counter
                    m.refresh_valid.add(fresh)
                    if m.revoke_on_rotate:
                        m.refresh_valid.discard(presented)
                        m.refresh_revoked.add(presented)
                    answer["refresh_token"] = fresh
        if answer is None:
            why = ("AADSTS70008: The provided authorization code or refresh token has expired "
                   "due to inactivity or has been revoked." if revoked else
                   "AADSTS9002313: Invalid request. Request is malformed or invalid.")
            return self._send(400, {"error": "invalid_grant",
                                    "error_description": why + "\r\nTrace ID: 1\r\nCorrelation ID: 2",
                                    "error_codes": [70008]})
        return self._send(200, answer)

    def _authorize(self, query):
        q = urllib.parse.parse_qs(query, keep_blank_values=True)
        one = lambda k: q.get(k, [""])[0]
        redirect = one("redirect_uri")
        if (one("client_id") not in (CLIENT_ID, PUBLIC_CLIENT_ID) or one("response_type") != "code"
                or one("code_challenge_method") != "S256" or len(one("code_challenge")) != 43
                or not re.fullmatch(r"http://localhost:\d+/", redirect) or not one("state")):
            # The real service shows an error page and never redirects.
            return self._send(400, {"error": "invalid_request", "query": q})
        m = self.mock
        if m.authorize_mode == "deny":
            answer = {"error": "access_denied",
                      "error_description": "AADSTS65004: User declined to consent to access the app."}
        else:
            with m.lock:
                m.counter += 1
                code = "code-%d.%s" % (m.counter, "x" * 600)
                m.codes[code] = {"challenge": one("code_challenge"), "redirect_uri": redirect,
                                 "scope": one("scope")}
            state = one("state") if m.authorize_mode == "ok" else "forged-state"
            answer = {"code": code, "state": state}
        if m.authorize_mode == "deny":
            answer["state"] = one("state")
        location = redirect + "?" + urllib.parse.urlencode(answer)
        return self._send(302, b"", [("Location", location)])

    def _basic_client(self, form):
        """Client credentials sent as HTTP Basic (RFC 6749 2.3.1, each part
        form-encoded) count as the form's client_id and client_secret."""
        auth = self.headers.get("Authorization", "")
        if not auth.startswith("Basic "):
            return
        try:
            pair = base64.b64decode(auth[len("Basic "):], validate=True).decode()
        except ValueError:
            return
        user, colon, secret = pair.partition(":")
        if colon:
            form.setdefault("client_id", [urllib.parse.unquote_plus(user)])
            form.setdefault("client_secret", [urllib.parse.unquote_plus(secret)])

    def _client_refused(self, one, form):
        """Answers (and says so) a grant whose client credentials are wrong:
        the confidential client needs its secret, the public one takes none."""
        if one("client_id") == PUBLIC_CLIENT_ID:
            if "client_secret" not in form:
                return False
            self._send(401, {"error": "invalid_client", "error_description":
                             "AADSTS700025: Client is public so neither 'client_assertion' nor "
                             "'client_secret' should be presented."})
            return True
        if one("client_id") != CLIENT_ID or one("client_secret") != CLIENT_SECRET:
            self._send(401, {"error": "invalid_client",
                             "error_description": "AADSTS7000215: Invalid client secret provided."})
            return True
        return False

    def _device_authorization(self, body):
        form = urllib.parse.parse_qs(body, keep_blank_values=True)
        one = lambda k: form.get(k, [""])[0]
        if one("client_id") not in (CLIENT_ID, PUBLIC_CLIENT_ID) or "client_secret" in form:
            return self._send(400, {"error": "invalid_client",
                                    "error_description": "AADSTS700016: unknown client"})
        m = self.mock
        with m.lock:
            m.counter += 1
            code = "dc-%d.%s" % (m.counter, "d" * 300)
            m.device_codes[code] = list(m.device_plan)
        uri = "https://microsoft.com/devicelogin"
        return self._send(200, {
            "user_code": USER_CODE, "device_code": code, "verification_uri": uri,
            "expires_in": 900, "interval": m.device_interval,
            "message": "To sign in, use a web browser to open the page %s and enter the code "
                       "%s to authenticate.\r\n\u001b[2J" % (uri, USER_CODE)})

    def _device_grant(self, one, form):
        m = self.mock
        with m.lock:
            m.device_polls.append((time.monotonic(), one("device_code")))
            plan = m.device_codes.get(one("device_code"))
            step = plan.pop(0) if plan else None
        if self._client_refused(one, form):
            return
        if plan is None:
            return self._send(400, {"error": "expired_token",
                                    "error_description": "AADSTS70020: The provided value for "
                                    "the input parameter 'device_code' is not valid."})
        if step is not None:
            return self._send(400, {"error": step,
                                    "error_description": "AADSTS70016: OAuth 2.0 device flow "
                                    "error. Authorization is pending."})
        with m.lock:
            m.device_codes.pop(one("device_code"), None)
            m.counter += 1
            access, fresh = "at-%d" % m.counter, "rt-%d" % m.counter
            m.access[access] = 0
            m.refresh_valid.add(fresh)
        return self._send(200, {"token_type": "Bearer", "scope": one("scope"),
                                "expires_in": m.expires_in, "access_token": access,
                                "refresh_token": fresh})

    def _code_grant(self, one, form):
        m = self.mock
        with m.lock:
            m.code_grants.append({k: one(k) for k in ("code", "redirect_uri", "code_verifier",
                                                      "client_id", "scope")})
            fixed = m.codes.pop(one("code"), None)
        if self._client_refused(one, form):
            return
        verifier = one("code_verifier").encode()
        expected = (base64.urlsafe_b64encode(hashlib.sha256(verifier).digest()).rstrip(b"=")
                    .decode() if fixed else None)
        if (fixed is None or fixed["redirect_uri"] != one("redirect_uri")
                or not 43 <= len(verifier) <= 128 or expected != fixed["challenge"]):
            return self._send(400, {"error": "invalid_grant",
                                    "error_description": "AADSTS70008: The provided authorization "
                                    "code or refresh token has expired or was already used."})
        with m.lock:
            m.counter += 1
            access, fresh = "at-%d" % m.counter, "rt-%d" % m.counter
            m.access[access] = 0
            m.refresh_valid.add(fresh)
        return self._send(200, {"token_type": "Bearer", "scope": fixed["scope"],
                                "expires_in": m.expires_in, "access_token": access,
                                "refresh_token": fresh})
    def _download(self, raw_path):
        node = self.mock.by_id.get(urllib.parse.unquote(raw_path[len("/download/"):]))
        if node is None or node.folder or node.content is None:
            return self._send(404, b"")
        # A memoryview: slices of a large (mmap'd) content go out uncopied.
        data, total = memoryview(node.content), len(node.content)
        etag = node.etag or etag_of(node.content)
        status, extra = 200, []
        ranges = self.headers.get("Range")
        if_range = self.headers.get("If-Range")
        if ranges and if_range is not None and if_range != etag:
            ranges = None  # another version: the whole of this one
        if ranges:
            first, last = None, total - 1
            wanted = ranges[len("bytes="):] if ranges.startswith("bytes=") else ""
            start, dash, end = wanted.partition("-")
            try:
                if dash and start:
                    first = int(start)
                    if end:
                        last = min(int(end), total - 1)
                elif dash and end:
                    first = max(total - int(end), 0)
            except ValueError:
                first = None
            if first is None or first >= total or first > last:
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % total)
                self.send_header("Content-Length", "0")
                self.record["status"] = 416
                self.end_headers()
                return None
            data = data[first:last + 1]
            status = 206
            extra = [("Content-Range", "bytes %d-%d/%d" % (first, last, total))]
        self.send_response(status)
        self.send_header("Content-Type", node.download_type)
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("ETag", etag)
        for k, v in extra:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(data)))
        self.record["status"] = status
        with self.mock.lock:
            cuts = self.mock.cuts.get(raw_path, 0)
            if cuts:
                self.mock.cuts[raw_path] = cuts - 1
        self.end_headers()
        if cuts:
            # The network cuts the transfer halfway: half the bytes, then the end.
            self.wfile.write(data[:len(data) // 2])
            self.wfile.flush()
            self.close_connection = True
            with self.mock.lock:
                after, self.mock.after_cut = self.mock.after_cut, None
            if after:
                after()
            return None
        if node.pause_after:
            first, seconds = node.pause_after
            self.wfile.write(data[:first])
            self.wfile.flush()
            threading.Event().wait(seconds)
            data = data[first:]
        self.wfile.write(data)
        return None

    def do_GET(self):
        raw_path, query = self._begin("GET")
        if self._scripted():
            return
        m = self.mock
        if self.record["host"] == m.login_host and raw_path == AUTHORIZE_PATH:
            return self._authorize(query)
        if raw_path.startswith("/download/") and self.record["host"] == "127.0.0.1:%d" % m.port:
            return self._download(raw_path)
        if raw_path.startswith("/thumb/") and self.record["host"] == "127.0.0.1:%d" % m.port:
            return mock_thumbs.serve(self, raw_path)
        if self.record["host"] != m.graph_host or not (raw_path.startswith(GRAPH_PREFIX) or
                                                     raw_path.startswith("/v1.0/drives/")):
            return self._send(404, _graph_error("itemNotFound", "The resource could not be found."))
        auth = self.record["authorization"] or ""
        token = auth[len("Bearer "):] if auth.startswith("Bearer ") else ""
        with m.lock:
            uses = m.access.get(token)
            expired = uses is not None and m.access_uses is not None and uses >= m.access_uses
            if uses is not None and not expired:
                m.access[token] = uses + 1
            injected = m.fail.get(raw_path)
        if not token or uses is None or expired:
            text = ("Access token is empty." if not token else
                    "Access token has expired or is not yet valid." if expired else
                    "Invalid JWT token. Token format not valid.")
            return self._send(401, _graph_error("InvalidAuthenticationToken", text),
                              [("WWW-Authenticate", 'Bearer error="invalid_token"')])
        if injected:
            if injected == 429:
                return self._send(429, _graph_error("activityLimitReached",
                                                    "The request has been throttled"),
                                  [("Retry-After", "5")])
            if 300 <= injected < 400:
                return self._send(injected, b"", [("Location", "https://%s%s/moved" % (m.graph_host, GRAPH_PREFIX))])
            return self._send(injected, _graph_error("serviceNotAvailable",
                                                     "The service is temporarily unavailable."))
        own = "/v1.0/drives/%s/" % DRIVE_ID
        if raw_path.lower().startswith(own):
            # This drive by its id, as clients that were given the id ask.
            raw_path = GRAPH_PREFIX + raw_path[len(own) - 1:]
        elif raw_path.startswith("/v1.0/drives/"):
            return self._other_drive(raw_path, query)
        rest = raw_path[len(GRAPH_PREFIX):]
        if "/search(q=" in rest:
            return self._search(rest, query)
        if rest.endswith("/delta"):
            return self._delta(rest, query)
        if rest == "":
            return self._send(200, {"id": DRIVE_ID, "driveType": m.drive_type,
                                    "owner": {"user": dict(m.owner, id="e2e-user")},
                                    "quota": dict(m.quota)})
        rest, thumbs = mock_thumbs.split(rest)
        listing = content = False
        if thumbs is None and rest.endswith("/content"):
            # The file's bytes: a redirect to its pre-authenticated URL.
            rest, content = rest[:-len("/content")], True
        through = False
        if rest == "/root" or rest == "/root/children":
            node, listing = m.root, rest.endswith("/children")
        elif rest.startswith("/root:"):
            inner = rest[len("/root:"):]
            if inner.endswith(":/children"):
                inner, listing = inner[:-len(":/children")], True
            elif inner.endswith(":"):
                inner = inner[:-1]
            node = m.find_path(urllib.parse.unquote(inner))
            through = m.beneath_shortcut(urllib.parse.unquote(inner))
        elif rest.startswith("/items/"):
            ident = rest[len("/items/"):]
            if ident.endswith("/children"):
                ident, listing = ident[:-len("/children")], True
            ident, colon, sub = ident.partition(":")
            node = m.by_id.get(urllib.parse.unquote(ident))
            through = node is not None and node.remote is not None
            if colon and node is not None:
                # /items/ID:/path/below: names an item by a path under ID.
                below = m.path_of(node) + urllib.parse.unquote(sub.rstrip(":"))
                node, through = m.find_path(below), m.beneath_shortcut(below)
        else:
            node = None
        if listing and through and not m.shortcut_404:
            # Graph does not follow a shortcut in a children request: the
            # shortcut's own children, and those of a path through it, are
            # an empty page ("enumerate them via the item's actual location").
            node = Node("empty", folder=True)
        elif node is None or (listing and node.remote is not None):
            # Nor in a path: an item beneath a shortcut is not found.
            return self._send(404, _graph_error("itemNotFound", "The resource could not be found."))
        if listing and node.locked:
            # What the service answers for a Personal Vault that is not unlocked.
            return self._send(400, _graph_error("invalidRequest", "ObjectHandle is Invalid"))
        if thumbs is not None:
            return mock_thumbs.answer(self, node, thumbs, service_type)
        if content:
            url = m.item(node).get("@microsoft.graph.downloadUrl")
            if url is None:
                return self._send(404, _graph_error("itemNotFound", "The item has no content."))
            return self._send(302, b"", [("Location", url)])
        if not listing:
            return self._send(200, m.shaped(node, query))
        params = urllib.parse.parse_qs(query)
        top = int(params.get("$top", ["200"])[0])
        skip = int(params.get("$skiptoken", ["0"])[0])

        shown = self._shown(node.children) if node.folder else []

        def answer():
            page = shown[skip:skip + top]
            out = {"@odata.context": "https://%s/v1.0/$metadata#Collection(driveItem)" % m.graph_host,
                   "value": [m.shaped(c, query) for c in page]}
            if skip + top < len(shown):
                out["@odata.nextLink"] = "https://%s%s?$top=%d&$skiptoken=%d%s" % (
                    m.graph_host, raw_path, top, skip + top, select_part(query)) + m.next_suffix
            return out
        return self._send(200, answer, cache_key=self.path)

    def _shown(self, nodes):
        """What a listing or the feed shows: a personal drive leaves shortcuts
        out unless the request asks for them, as the service does."""
        if self.mock.drive_type != "personal" or \
                (self.headers.get("Prefer") or "").strip() == "Include-Feature=AddToOneDrive":
            return list(nodes)
        return [n for n in nodes if n.remote is None]

    def _page_of(self, nodes, query, raw_path):
        m = self.mock
        params = urllib.parse.parse_qs(query)
        top = int(params.get("$top", ["200"])[0])
        skip = int(params.get("$skiptoken", ["0"])[0])
        out = {"value": [m.shaped(c, query) for c in nodes[skip:skip + top]]}
        if skip + top < len(nodes):
            q = "&".join("%s=%s" % (k, urllib.parse.quote(v[0])) for k, v in params.items()
                         if k not in ("$top", "$skiptoken"))
            out["@odata.nextLink"] = "https://%s%s?%s$top=%d&$skiptoken=%d" % (
                m.graph_host, raw_path, q + "&" if q else "", top, skip + top)
        return out

    def _other_drive(self, raw_path, query):
        """/v1.0/drives/{d}/items/{id}[/children | :/rest: | :/rest:/children]."""
        m = self.mock
        rest = raw_path[len("/v1.0/drives/"):]
        drive_id, _, tail = rest.partition("/items/")
        tail, thumbs = mock_thumbs.split(tail)
        root = m.drives.get(urllib.parse.unquote(drive_id))
        listing = False
        if tail.endswith(":/children"):
            tail, listing = tail[:-len(":/children")], True
        elif tail.endswith("/children") and ":" not in tail:
            tail, listing = tail[:-len("/children")], True
        ident, _, sub = tail.partition(":")
        node = None
        if root is not None:
            stack = [root]
            while stack and node is None:
                n = stack.pop()
                if n.id == urllib.parse.unquote(ident):
                    node = n
                stack.extend(n.children)
        if node is not None and sub.strip(":"):
            for part in urllib.parse.unquote(sub.strip(":")).split("/"):
                if part == "":
                    continue
                node = next((c for c in node.children if c.name == part), None) \
                    if node.folder else None
                if node is None:
                    break
        if node is None or m.fail.get("/drives/" + drive_id):
            status = m.fail.get("/drives/" + drive_id) or 404
            return self._send(status, _graph_error(
                "accessDenied" if status == 403 else "itemNotFound", "Scripted %d" % status))
        if thumbs is not None:
            return mock_thumbs.answer(self, node, thumbs, service_type)
        if not listing:
            return self._send(200, m.shaped(node, query))
        return self._send(200, self._page_of(node.children if node.folder else [], query,
                                             raw_path))

    def _all(self, node):
        # A locked vault shows in its folder's feed, but nothing beneath it.
        for c in node.children:
            yield c
            if c.folder and not c.locked:
                yield from self._all(c)

    def _search(self, rest, query):
        """search(q='...') over names, below the root or a path, paged."""
        m = self.mock
        head, _, q = rest.partition("/search(q=")
        text = urllib.parse.unquote(q)
        if not (text.startswith("'") and text.endswith("')")):
            return self._send(400, _graph_error("invalidRequest", "Bad search"))
        text = text[1:-2].replace("''", "'").lower()
        base = m.root if head == "/root" else m.find_path(
            urllib.parse.unquote(head[len("/root:"):].rstrip(":")))
        if base is None:
            return self._send(404, _graph_error("itemNotFound", "The resource could not be found."))
        found = [n for n in self._all(base) if text in n.name.lower()]
        return self._send(200, self._page_of(found, query, self.record["path"]))

    def _delta(self, rest, query):
        """The change feed of the root or of a folder (/root:/PATH:/delta,
        /items/ID/delta): everything at first, then what was renamed, added
        or deleted since the cursor's snapshot. A folder's feed holds the
        folder itself first, as the service's does. Pages hold $top entries
        (at most `delta_page`); the first request fixes the answer and the
        next links page through it."""
        m = self.mock
        params = urllib.parse.parse_qs(query)
        head = rest[:-len("/delta")]
        if head == "/root":
            base = m.root
        elif head.startswith("/root:") and head.endswith(":"):
            base = m.find_path(urllib.parse.unquote(head[len("/root:"):-1]))
        elif head.startswith("/items/"):
            base = m.by_id.get(urllib.parse.unquote(head[len("/items/"):]))
        else:
            base = None
        if base is None or not base.folder or base.remote is not None:
            return self._send(404, _graph_error("itemNotFound", "The resource could not be found."))
        try:
            top = max(1, min(int(params.get("$top", [str(m.delta_page)])[0]), m.delta_page))
        except ValueError:
            return self._send(400, _graph_error("invalidRequest", "Invalid $top"))
        link = "https://%s%s%s" % (m.graph_host, GRAPH_PREFIX, rest)
        skip = params.get("$skiptoken", [None])[0]
        if skip is not None:
            run, _, offset = skip.partition(".")
            with m.lock:
                value, new_token = m.delta_runs.get(run, (None, None))
            if value is None or not offset.isdigit():
                return self._send(410, _graph_error("resyncRequired", "Resync required."))
            return self._delta_page(query, value, int(offset), top, run, new_token, link)
        token = params.get("token", [None])[0]
        if m.delta_items is not None and token is None:
            with m.lock:
                run = "r%d" % len(m.delta_runs)
                m.delta_runs[run] = (m.delta_items, "e%d-raw" % m.delta_epoch)
            return self._delta_page(query, m.delta_items, 0, top, run, "e%d-raw" % m.delta_epoch, link)
        latest = token == "latest"  # no items: only a cursor for the present
        if latest:
            token = None
        whole = not params.get("$select")
        key = (rest, token, m.delta_epoch, whole)
        with m.lock:  # the answer is sent outside: _send takes the lock too
            kept = m.delta_keys.get(key) if m.page_cache is not None else None
        if kept is not None:  # benchmarks: the tree stays as it is
            return self._delta_page(query, m.delta_runs[kept][0], 0, top, kept,
                                    m.delta_runs[kept][1], link)
        with m.lock:
            if token is not None and (not token.startswith("e%d-" % m.delta_epoch) or
                                      token not in m.delta_seen):
                gone = True
            else:
                gone = False
                below = list(self._all(base))
                # An edit (a new ETag) is a change too, as the service reports it.
                now = {n.id: (n.name, n.parent.id, n.etag) for n in below}
                before = m.delta_seen.get(token, {}) if token else {}
                changed = [n for n in below if before.get(n.id) != now[n.id]]
                deleted = [i for i in before if i not in now]
                if latest:
                    changed, deleted = [], []
                elif token is None and base is not m.root:
                    changed.insert(0, base)
                new_token = "e%d-%d" % (m.delta_epoch, len(m.delta_seen))
                m.delta_seen[new_token] = now
        if gone:
            return self._send(410, _graph_error("resyncRequired", "Resync required."))
        value = [self._delta_item(n, whole) for n in self._shown(changed)] + [
            self._delta_deleted(i, before[i]) for i in deleted]
        if m.delta_order == "children_first":
            value.reverse()
        with m.lock:
            run = "r%d" % len(m.delta_runs)
            m.delta_runs[run] = (value, new_token)
            m.delta_keys[key] = run
        return self._delta_page(query, value, 0, top, run, new_token, link)

    def _delta_item(self, node, whole=True):
        out = self.mock.item(node, whole)
        ref = out.get("parentReference")
        paths = self.mock.delta_paths
        if paths is None:
            paths = self.mock.drive_type != "personal"
        if ref is not None and not paths:
            # The service leaves the path out of a personal drive's change-feed items.
            out["parentReference"] = {k: v for k, v in ref.items() if k != "path"}
        return out

    def _delta_deleted(self, ident, was):
        out = {"id": ident, "deleted": {"state": "deleted"}}
        if self.mock.delta_deleted_parent:
            # As the service sends a deletion: its name and former folder's id.
            out["name"] = was[0]
            out["parentReference"] = {"driveType": "personal", "id": was[1]}
        return out

    def _delta_page(self, query, value, offset, top, run, new_token, link):
        def answer():
            out = {"value": [selected(v, query) for v in value[offset:offset + top]]}
            if offset + top < len(value):
                out["@odata.nextLink"] = link + "?$top=%d&$skiptoken=%s.%d%s" % (
                    top, run, offset + top, select_part(query))
            else:
                out["@odata.deltaLink"] = link + "?token=" + new_token + select_part(query)
            return out
        return self._send(200, answer, cache_key=self.path)

if __name__ == "__main__":
    # Manual use: serve a tiny drive until interrupted.
    import tempfile
    with tempfile.TemporaryDirectory() as tmp:
        ca, cert, key = make_certificates(tmp)
        root = Node("root", folder=True)
        music = root.add(Node("Music", folder=True))
        music.add(Node("a b.mp3", size=12345))
        mock = MockGraph(cert, key, root)
        mock.add_refresh_token("rt-0")
        mock.start()
        print("CA certificate:", ca)
        for rule in mock.connect_to():
            print("--connect-to", rule)
        print('settings: {"ClientId":"%s","ClientSecret":"%s","refresh_token":"rt-0"}'
              % (CLIENT_ID, CLIENT_SECRET))
        try:
            threading.Event().wait()
        except KeyboardInterrupt:
            mock.stop()
