"""rclone against the end-to-end mock Graph, for side-by-side benchmarks.

rclone's onedrive backend talks to the real host names (graph.microsoft.com,
login.microsoftonline.com) and has no --connect-to, so this module gives it an
HTTPS CONNECT proxy on loopback (rclone is Go and honours HTTPS_PROXY) that
sends every tunnel for those two hosts into a given port: the latency proxy of
bench/network.py, or the mock itself. rclone trusts the mock's throwaway CA
through --ca-cert. Its config names the mock's client id and secret and a
token whose access token has expired, so rclone starts from the refresh token
as a fresh process with a saved config would.

Use:

    import mock_graph, rclone                  # tests/e2e and bench on sys.path
    ca, cert, key = mock_graph.make_certificates(tmp)
    mock = mock_graph.MockGraph(cert, key, root)
    mock.add_refresh_token("rt-0")
    mock.start()
    # upstream: a latency proxy's port in front of mock.port, or mock.port
    rc = rclone.Rclone(tmp, ca, upstream, refresh_token="rt-0")
    run = rc.lsjson("/Folder", recursive=True)   # {"wall", "items", ...}
    server = rc.serve_http(port)                 # rclone serve http remote:/
    ...                                          # http://127.0.0.1:port/
    server.stop()
    rc.close()                                   # stops the CONNECT proxy

`max_in_flight(mock.requests, rtt)` tells how many requests a client had
outstanding at once; `free_port()` gives a port for serve_http.
`rclone.find()` is the rclone binary on PATH or None; a benchmark prints a
line and carries on without it. The config's drive id is the mock's
(`mock_graph.DRIVE_ID`), drive type personal; the mock answers rclone's
/drives/{id}/... requests for its own drive (and /items/{id}/content with a
redirect to the download URL). `tunnels` counts the CONNECT tunnels rclone
opened (one per TCP connection it made). Download URLs on 127.0.0.1 (the
mock's `serve_downloads`) are fetched directly, not through the tunnel: Go
never sends loopback addresses to a proxy.
"""

import json
import os
import shutil
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import mock_graph  # noqa: E402

REMOTE = "mock"


def find():
    """The rclone binary, or None when it is not installed."""
    return shutil.which("rclone")


def version(binary=None):
    binary = binary or find()
    if binary is None:
        return None
    out = subprocess.run([binary, "version"], capture_output=True, text=True, timeout=30)
    return out.stdout.splitlines()[0] if out.returncode == 0 and out.stdout else None


class ConnectProxy:
    """An HTTPS CONNECT proxy on 127.0.0.1 that tunnels the mock's two host
    names (port 443) to 127.0.0.1:upstream and refuses every other target."""

    HOSTS = (mock_graph.GRAPH_HOST, mock_graph.LOGIN_HOST)

    def __init__(self, upstream):
        self.upstream = upstream
        self.tunnels = 0
        self.refused = []
        self.lock = threading.Lock()
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def url(self):
        return "http://127.0.0.1:%d" % self.port

    def close(self):
        self.closed = True
        self.listener.close()

    def _accept(self):
        while not self.closed:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._tunnel, args=(client,), daemon=True).start()

    def _tunnel(self, client):
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        head = b""
        while b"\r\n\r\n" not in head and len(head) < 8192:
            data = client.recv(4096)
            if not data:
                client.close()
                return
            head += data
        header, _, early = head.partition(b"\r\n\r\n")
        words = header.split(b"\r\n", 1)[0].split()
        target = words[1].decode("ascii", "replace") if len(words) == 3 else ""
        host, _, port = target.rpartition(":")
        if words[:1] != [b"CONNECT"] or host not in self.HOSTS or port != "443":
            with self.lock:
                self.refused.append(target)
            client.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
            client.close()
            return
        try:
            server = socket.create_connection(("127.0.0.1", self.upstream))
        except OSError:
            client.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
            client.close()
            return
        server.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with self.lock:
            self.tunnels += 1
        client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        if early:
            server.sendall(early)
        threading.Thread(target=self._copy, args=(server, client), daemon=True).start()
        self._copy(client, server)

    @staticmethod
    def _copy(src, dst):
        while True:
            try:
                data = src.recv(65536)
            except OSError:
                data = b""
            if not data:
                try:
                    dst.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                return
            try:
                dst.sendall(data)
            except OSError:
                return


class Rclone:
    """An rclone config for the mock's drive and the runs made with it."""

    def __init__(self, folder, ca, upstream, refresh_token="rt-0", binary=None,
                 drive_id=None, drive_type="personal"):
        self.binary = binary or find()
        if self.binary is None:
            raise RuntimeError("rclone is not installed")
        self.folder = folder
        self.ca = ca
        self.proxy = ConnectProxy(upstream)
        self.config = os.path.join(folder, "rclone.conf")
        expired = {"access_token": "expired-at", "token_type": "Bearer",
                   "refresh_token": refresh_token, "expiry": "2000-01-01T00:00:00Z"}
        with open(self.config, "w") as f:
            f.write("[%s]\n" % REMOTE)
            f.write("type = onedrive\n")
            f.write("client_id = %s\n" % mock_graph.CLIENT_ID)
            f.write("client_secret = %s\n" % mock_graph.CLIENT_SECRET)
            f.write("token = %s\n" % json.dumps(expired, separators=(",", ":")))
            f.write("drive_id = %s\n" % (drive_id or mock_graph.DRIVE_ID))
            f.write("drive_type = %s\n" % drive_type)
        os.chmod(self.config, 0o600)

    def close(self):
        self.proxy.close()

    def env(self):
        env = dict(os.environ)
        for k in ("HTTP_PROXY", "http_proxy", "NO_PROXY", "no_proxy", "ALL_PROXY", "all_proxy"):
            env.pop(k, None)
        env["HTTPS_PROXY"] = env["https_proxy"] = self.proxy.url()
        env["RCLONE_CONFIG"] = self.config
        return env

    def command(self, *args):
        return [self.binary, "--config", self.config, "--ca-cert", self.ca,
                "--low-level-retries", "1", "--retries", "1", *args]

    def lsjson(self, folder, recursive=True, extra=(), timeout=600):
        """rclone lsjson [-R] remote:FOLDER: its entries, wall time and the
        tunnels (TCP connections) it opened. Raises on failure."""
        args = ["lsjson"] + (["-R"] if recursive else []) + list(extra)
        args.append("%s:%s" % (REMOTE, folder))
        before = self.proxy.tunnels
        start = time.monotonic()
        p = subprocess.run(self.command(*args), capture_output=True, env=self.env(),
                           timeout=timeout)
        wall = time.monotonic() - start
        if p.returncode != 0:
            raise RuntimeError("rclone %s failed (%d): %s" % (
                " ".join(args), p.returncode, p.stderr.decode(errors="replace")[-2000:]))
        return {"wall": wall, "items": json.loads(p.stdout),
                "tunnels": self.proxy.tunnels - before}

    def serve_http(self, port, extra=(), wait=30):
        """Starts rclone serve http remote:/ on 127.0.0.1:PORT and waits until
        it answers; stop() the returned server when done."""
        server = _Served(self.command("serve", "http", "%s:/" % REMOTE,
                                      "--addr", "127.0.0.1:%d" % port, *extra),
                         self.env(), port)
        server.wait(wait)
        return server


class _Served:
    def __init__(self, cmd, env, port):
        self.port = port
        self.log = open(os.devnull, "wb")
        self.process = subprocess.Popen(cmd, env=env, stdout=self.log, stderr=subprocess.PIPE)

    def url(self, path="/"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def wait(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("rclone serve http exited (%d): %s" % (
                    self.process.returncode,
                    self.process.stderr.read().decode(errors="replace")[-2000:]))
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return
            except OSError:
                time.sleep(0.1)
        self.stop()
        raise RuntimeError("rclone serve http did not listen on port %d" % self.port)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stderr.close()
        self.log.close()



def max_in_flight(records, rtt=0.0):
    """The most requests a client had outstanding at once, from the mock's
    request records: each seen by the client from RTT/2 before it reached
    the mock until RTT/2 after its answer left (less a millisecond, so that
    requests one after another on a connection do not count as two)."""
    edges = []
    half = max(rtt / 2.0 - 0.001, 0.0)
    for r in records:
        if "end" in r:
            edges.append((r["start"] - half, 1))
            edges.append((r["end"] + half, -1))
    most = now = 0
    for _, step in sorted(edges):
        now += step
        most = max(most, now)
    return most


def free_port():
    """A loopback TCP port free at the time of asking."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, proc, deadline):
    """Returns once PORT on loopback accepts a connection; RuntimeError when
    PROC ends or time.monotonic() passes DEADLINE first."""
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=5).close()
            return
        except OSError:
            if proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the server does not listen on port %d" % port)
            time.sleep(0.05)
