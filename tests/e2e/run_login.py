#!/usr/bin/env python3
"""End-to-end cases for `nimbus login` and for keeping rotated refresh tokens.

Uses the fixture of run_e2e.py (a mock Graph and identity platform over real
HTTPS). The test plays the browser: it requests the sign-in address the
command prints from the mock, over TLS with the mock's CA, and follows the
mock's redirect to the command's loopback listener (or pastes the address).
Usage: run_login.py --nimbus PATH CASE...
"""

import fcntl
import http.client
import json
import os
import queue
import resource
import shutil
import signal
import socket
import ssl
import stat
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mock_graph  # noqa: E402
from run_e2e import (EXIT_AUTH, EXIT_NOT_FOUND, EXIT_OK, EXIT_OTHER, EXIT_USAGE,  # noqa: E402
                     Failure, Fixture, Skip, cases_in, check, expect, main_of)

CLOSE_PAGE = "You may close this window."
EXIT_INTERRUPTED = 130


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Login:
    """One running `nimbus login`: its printed sign-in address, and the end."""

    def __init__(self, f, *args, secret=mock_graph.CLIENT_SECRET, port=None, settings=None,
                 browser=False, client_id=mock_graph.CLIENT_ID):
        self.f = f
        self.port = port or free_port()
        cmd = [f.nimbus]
        for rule in f.mock.connect_to():
            cmd += ["--connect-to", rule]
        cmd += ["--cacert", f.ca, "--settings", settings or f.settings, "login",
                "--client-id", client_id, "--port", str(self.port), "--wait", "30",
                *args]
        env = dict(os.environ, LC_ALL="C.UTF-8")
        for k in ("DISPLAY", "WAYLAND_DISPLAY", "NIMBUS_CLIENT_SECRET"):
            env.pop(k, None)
        if secret is not None:
            env["NIMBUS_CLIENT_SECRET"] = secret
        if browser:
            # A stand-in for xdg-open that keeps what any user can read of it.
            bin_dir = os.path.join(f.dir, "bin")
            os.makedirs(bin_dir, exist_ok=True)
            self.browser_log = os.path.join(f.dir, "browser")
            for ext in ("url", "cmdline", "environ"):
                if os.path.exists(self.browser_log + "." + ext):
                    os.unlink(self.browser_log + "." + ext)
            with open(os.path.join(bin_dir, "xdg-open"), "w") as b:
                b.write('#!/bin/sh\ncat /proc/$$/cmdline > "{0}.cmdline"\n'
                        'cat /proc/$$/environ > "{0}.environ"\n'
                        'printf %s "$1" > "{0}.tmp" && mv "{0}.tmp" "{0}.url"\n'
                        .format(self.browser_log))
            os.chmod(os.path.join(bin_dir, "xdg-open"), 0o755)
            env["PATH"] = bin_dir + os.pathsep + env.get("PATH", "")
            env["DISPLAY"] = ":99"
        self.cmd = " ".join(cmd)
        self.p = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, env=env)
        self.lines = queue.Queue()
        self.err_lines = []
        threading.Thread(target=self._read_err, daemon=True).start()

    def _read_err(self):
        for raw in self.p.stderr:
            line = raw.decode("utf-8", "replace")
            self.err_lines.append(line)
            self.lines.put(line)
        self.lines.put(None)

    def line_starting(self, prefix):
        """The first line the command printed on stderr that starts with prefix."""
        while True:
            line = self.lines.get(timeout=30)
            check(line is not None, "no line starting %r" % prefix, "".join(self.err_lines))
            if line.startswith(prefix):
                return line

    def address(self):
        """The sign-in address the command printed."""
        while True:
            line = self.lines.get(timeout=30)
            check(line is not None, "no sign-in address printed", "".join(self.err_lines))
            if line.startswith("https://"):
                return line.strip()

    def browser(self):
        """What the browser stand-in was given: (address, cmdline, environ)."""
        for _ in range(200):
            if os.path.exists(self.browser_log + ".url"):
                read = lambda ext: open(self.browser_log + "." + ext, "rb").read()
                return read("url").decode(), read("cmdline"), read("environ")
            time.sleep(0.05)
        raise Failure("the browser was not opened", "".join(self.err_lines))

    def end(self, pasted=None):
        # stderr belongs to the reader thread; communicate() would read it too.
        if pasted:
            self.p.stdin.write(pasted.encode() + b"\n")
        self.p.stdin.close()
        out = self.p.stdout.read()
        self.p.stdout.close()
        self.p.wait(timeout=60)
        while self.lines.get(timeout=30) is not None:
            pass
        self.p.stderr.close()
        self.returncode, self.out, self.err = self.p.returncode, out.decode(), "".join(self.err_lines)
        return self


def authorize(f, address):
    """The browser at the identity platform: the mock's redirect address."""
    u = urllib.parse.urlsplit(address)
    check(u.scheme == "https" and u.hostname == mock_graph.LOGIN_HOST
          and u.path == mock_graph.AUTHORIZE_PATH, "sign-in address", address)
    ctx = ssl.create_default_context(cafile=f.ca)

    class Conn(http.client.HTTPSConnection):
        def connect(self):
            sock = socket.create_connection(("127.0.0.1", f.mock.port), 10)
            self.sock = ctx.wrap_socket(sock, server_hostname=self.host)

    c = Conn(u.hostname, 443, context=ctx, timeout=10)
    c.request("GET", u.path + "?" + u.query)
    r = c.getresponse()
    r.read()
    c.close()
    check(r.status == 302, "the mock redirects the browser", r.status, address)
    return r.getheader("Location")


def loopback(port, target, host="127.0.0.1"):
    """A browser request to the command's listener: (status, page)."""
    try:
        with urllib.request.urlopen("http://%s:%d%s" % (host, port, target), timeout=30) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()
    except OSError as e:
        raise Failure("the listener did not answer %s" % target, e)


def accepted(port, within=10):
    """Waits until the listeners on port have taken every connection in
    their accept queues (a listening socket's rx_queue in /proc/net/tcp*).
    Otherwise one family's listener can still be taking the burst after the
    other has taken the browser's connection, and push that out before its
    request arrives."""
    deadline = time.monotonic() + within
    local = ":%04X" % port
    while True:
        queued = 0
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            try:
                with open(table) as t:
                    rows = t.read().splitlines()[1:]
            except OSError:
                continue
            for row in rows:
                fields = row.split()
                if fields[1].endswith(local) and fields[3] == "0A":
                    queued += int(fields[4].split(":")[1], 16)
        if queued == 0:
            return
        if time.monotonic() > deadline:
            raise Failure("the listener left %d connections unaccepted" % queued)
        time.sleep(0.05)


def get_once(port, target):
    """One request without following a redirect: (status, Location)."""
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    c.request("GET", target)
    r = c.getresponse()
    r.read()
    c.close()
    return r.status, r.getheader("Location")


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def as_other_user():
    """The prefix that runs a command as another, unprivileged user (when
    the suite runs as root), else nothing: the attacker is then ourselves."""
    if os.geteuid() == 0 and shutil.which("setpriv"):
        return ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    return []


def browse(f, login):
    location = authorize(f, login.address())
    u = urllib.parse.urlsplit(location)
    check(location.startswith("http://localhost:%d/?" % login.port), "redirect URI", location)
    return loopback(login.port, "/?" + u.query)


def settings_mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


# -- cases -------------------------------------------------------------------

def case_login_loopback(f):
    # A first sign-in: no settings file and no folder yet.
    path = os.path.join(f.dir, "fresh", "nimbus", "settings.json")
    login = Login(f, "--path", "/Music", settings=path)
    address = login.address()
    q = urllib.parse.parse_qs(urllib.parse.urlsplit(address).query)
    check(q["redirect_uri"] == ["http://localhost:%d/" % login.port]
          and q["scope"] == ["offline_access Files.Read.All"]
          and q["code_challenge_method"] == ["S256"] and len(q["state"][0]) >= 22, "address", address)
    # Stray requests change nothing: only a code or an error on / is an answer.
    check(loopback(login.port, "/favicon.ico")[0] == 404, "favicon ignored")
    check(loopback(login.port, "/?foo=bar")[0] == 400, "not an answer")
    status, page = loopback(login.port, "/?" + urllib.parse.urlsplit(authorize(f, address)).query)
    login.end()
    check(status == 200 and CLOSE_PAGE in page and "Signed in" in page, "browser page", status, page)
    check(login.returncode == EXIT_OK, "exit status %d" % login.returncode, login.err)
    check(login.out == "signed in with a client secret; settings stored in %s; next: "
          "nimbus --settings %s list /\naccount: Ada Lovelace\n" % (path, path), "closing lines",
          login.out)
    grant = f.mock.code_grants[-1]
    check(grant["redirect_uri"] == "http://localhost:%d/" % login.port
          and 43 <= len(grant["code_verifier"]) <= 128, "code exchange", grant)
    written = json.load(open(path))
    check(written == {"ClientId": mock_graph.CLIENT_ID, "ClientSecret": mock_graph.CLIENT_SECRET,
                      "refresh_token": written.get("refresh_token"), "RuntimeType": "ONEDRIVE",
                      "Path": "/Music"} and written["refresh_token"] in f.mock.refresh_valid,
          "settings written", written)
    # The drive was checked through the library: the root (Path) looked up
    # with the new refresh token, whose rotation is what was stored.
    code_rt = f.mock.grants[-1]
    check(any(r["path"] == "/v1.0/me/drive/root:/Music" for r in f.mock.requests)
          and code_rt != written["refresh_token"], "drive checked", f.mock.grants)
    check(settings_mode(path) == 0o600 and settings_mode(os.path.dirname(path)) == 0o700, "modes")
    f.settings = path
    p = f.run("list", "/")
    expect(p, EXIT_OK)
    check("a b.mp3" in p.out, "a listing with the new settings", p.out)
    check(f.mock.grants == [code_rt, written["refresh_token"]], "its refresh token presented",
          f.mock.grants)

    # A root folder the drive does not hold: the sign-in is kept, the folder
    # is not, and the command fails naming it.
    login = Login(f, "--path", "/Nope", settings=path)
    status, page = loopback(login.port, "/?" + urllib.parse.urlsplit(
        authorize(f, login.address())).query)
    login.end()
    written = json.load(open(path))
    check(login.returncode == EXIT_NOT_FOUND and "/Nope is not on the drive" in login.err
          and "Path" not in written and written["refresh_token"] in f.mock.refresh_valid,
          "sign-in kept without the folder", login.returncode, login.err, written)

    # A port in use, and nobody coming back in time.
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen(1)
    login = Login(f, port=busy.getsockname()[1]).end()
    busy.close()
    check(login.returncode == EXIT_OTHER and "--port" in login.err
          and "is in use" in login.err, "port in use", login.err)
    login = Login(f, "--wait", "1").end()
    check(login.returncode == EXIT_OTHER and "within 1 seconds (--wait)" in login.err, "timeout",
          login.err)


def case_login_paste(f):
    # --no-browser: the address is pasted; a personal drive; other members kept.
    f.write_settings({"ClientId": "old-client", "ClientSecret": "old", "RefreshToken": "rt-old",
                      "ID": "e2e-backend", "Comment": "kept"})
    secret_file = os.path.join(f.dir, "secret")
    with open(secret_file, "w") as s:
        s.write(mock_graph.CLIENT_SECRET + "\n")
    login = Login(f, "--no-browser", "--client-secret-file", secret_file, secret=None)
    location = authorize(f, login.address())
    login.end(pasted="  " + location)
    check(login.returncode == EXIT_OK, "exit status %d" % login.returncode, login.err)
    check(login.out.startswith("signed in with a client secret; "), "closing line", login.out)
    written = json.loads(f.read_settings())
    check(written["ClientId"] == mock_graph.CLIENT_ID
          and written["ClientSecret"] == mock_graph.CLIENT_SECRET
          and written["RefreshToken"] in f.mock.refresh_valid and "refresh_token" not in written
          and written["ID"] == "e2e-backend" and written["Comment"] == "kept"
          and written["RuntimeType"] == "ONEDRIVE", "merged into the file", written)
    check(settings_mode(f.settings) == 0o600, "mode 600")
    expect(f.run("list", "/Music"), EXIT_OK)


def case_login_refused(f):
    before = f.read_settings()
    # A state that is not ours: the browser hears of it, no code is exchanged,
    # and the command keeps waiting for its own answer (here in vain).
    f.mock.authorize_mode = "bad_state"
    login = Login(f, "--wait", "2")
    status, page = browse(f, login)
    login.end()
    check(login.returncode == EXIT_OTHER and "state mismatch" in login.err
          and "within 2 seconds (--wait)" in login.err, "state", login.err)
    check(status == 400 and "Not this sign-in" in page, "browser told", status, page)
    check(f.mock.code_grants == [], "no code exchange", f.mock.code_grants)
    # Pasted, the answer is the user's own: a wrong state ends the sign-in.
    login = Login(f, "--no-browser")
    login.end(pasted=authorize(f, login.address()))
    check(login.returncode == EXIT_AUTH and "state mismatch" in login.err, "pasted state",
          login.err)
    # The user declines.
    f.mock.authorize_mode = "deny"
    login = Login(f, "--no-browser")
    login.end(pasted=authorize(f, login.address()))
    check(login.returncode == EXIT_AUTH and login.err.endswith(
        "nimbus: login: the sign-in was refused: access_denied: AADSTS65004: User declined to "
        "consent to access the app.\n"), "access_denied", login.returncode, login.err)
    # The service refuses the code exchange (a wrong client secret).
    f.mock.authorize_mode = "ok"
    login = Login(f, "--no-browser", secret="wrong")
    login.end(pasted=authorize(f, login.address()))
    check(login.returncode == EXIT_AUTH and login.err.endswith(
        "nimbus: login: the code exchange was refused: AADSTS7000215: Invalid client secret "
        "provided.\n"), "refused", login.err)
    check("wrong" not in login.err, "secret not shown", login.err)
    check(f.read_settings() == before, "settings untouched by failed sign-ins")


def case_login_hijack(f):
    # The browser is opened on a one-time address of the listener: nothing
    # another user can read of the launcher (its command line; its
    # environment) lets them finish the sign-in, and the secret stays home.
    login = Login(f, browser=True)
    address = login.address()
    q = urllib.parse.parse_qs(urllib.parse.urlsplit(address).query)
    state, challenge = q["state"][0], q["code_challenge"][0]
    opened, cmdline, environ = login.browser()
    for secret in (state, challenge, address, mock_graph.CLIENT_SECRET):
        check(secret.encode() not in cmdline and secret.encode() not in environ,
              "the launcher shows a secret", secret, cmdline, environ)
    env_names = [e.split(b"=", 1)[0] for e in environ.split(b"\0") if e]
    check(b"NIMBUS_CLIENT_SECRET" not in env_names and b"DISPLAY" in env_names
          and b"PATH" in env_names, "the launcher's environment", env_names)
    prefix = "http://127.0.0.1:%d/start/" % login.port
    check(opened.startswith(prefix) and len(opened) - len(prefix) >= 22
          and opened.encode() in cmdline, "a one-time address", opened)
    token = opened[len(prefix):]
    check(get_once(login.port, "/start/" + token[:-1] + "A")[0] == 404, "a wrong token")
    status, location = get_once(login.port, "/start/" + token)
    check(status == 302 and location == address, "redirected to the sign-in", status, location)
    status, page = loopback(login.port, "/?" + urllib.parse.urlsplit(authorize(f, location)).query)
    login.end()
    check(status == 200 and "Signed in" in page and login.returncode == EXIT_OK, "signed in",
          status, login.returncode, login.err)

    # Used twice: someone else has it. Refused, and the sign-in ends.
    grants = len(f.mock.code_grants)
    login = Login(f, browser=True)
    login.address()
    opened = login.browser()[0]
    target = urllib.parse.urlsplit(opened).path
    check(get_once(login.port, target)[0] == 302, "first use")
    check(get_once(login.port, target) == (410, None), "second use refused")
    login.end()
    check(login.returncode == EXIT_AUTH and login.err.endswith(
        "nimbus: login: the one-time sign-in address was opened twice (another user may have "
        "read it): nothing was exchanged; run nimbus login again\n"), "ended", login.err)
    check(len(f.mock.code_grants) == grants, "nothing exchanged", f.mock.code_grants)


def case_login_forged(f):
    # Answers that are not this sign-in's (any web page can send them to the
    # fixed port) are turned away; the real one still signs in.
    login = Login(f)
    address = login.address()
    location = authorize(f, address)
    for forged in ("/?code=x&state=wrong", "/?error=access_denied", "/?code=x",
                   "/?error=access_denied&state=wrong"):
        status, page = loopback(login.port, forged)
        check(status == 400 and "Not this sign-in" in page, "forged answer", forged, status, page)
    status, page = loopback(login.port, "/?" + urllib.parse.urlsplit(location).query)
    login.end()
    check(status == 200 and "Signed in" in page and login.returncode == EXIT_OK, "signed in",
          status, login.returncode, login.err)
    check(login.err.count("state mismatch") == 1, "told once", login.err)
    check([g["code"] for g in f.mock.code_grants] ==
          urllib.parse.parse_qs(urllib.parse.urlsplit(location).query)["code"], "one exchange",
          f.mock.code_grants)


def case_login_ipv6(f):
    # "localhost" is also ::1: the listener holds both, and will not start
    # while another user holds either.
    if not has_ipv6_loopback():
        raise Skip("no IPv6 loopback on this machine")
    port = free_port()
    holder = subprocess.Popen(as_other_user() + [
        sys.executable, "-c",
        "import socket,sys\ns=socket.socket(socket.AF_INET6)\ns.bind(('::1',%d))\ns.listen(1)\n"
        "print('ready',flush=True)\nsys.stdin.read()" % port],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        check(holder.stdout.readline() == b"ready\n", "[::1] taken")
        login = Login(f, "--wait", "2", port=port).end()
    finally:
        holder.stdin.close()
        holder.wait(timeout=10)
        holder.stdout.close()
    check(login.returncode == EXIT_OTHER and login.err == (
        "nimbus: login: port %d on [::1] is in use: choose another with --port (and register "
        "http://localhost:PORT/ for it)\n" % port), "refused to start", login.err)

    login = Login(f)
    location = authorize(f, login.address())
    check(loopback(login.port, "/favicon.ico")[0] == 404, "127.0.0.1 served")
    check(loopback(login.port, "/favicon.ico", host="[::1]")[0] == 404, "[::1] served")
    status, page = loopback(login.port, "/?" + urllib.parse.urlsplit(location).query,
                            host="[::1]")
    login.end()
    check(status == 200 and login.returncode == EXIT_OK, "signed in over [::1]", status,
          login.err)


def case_login_slots(f):
    # Idle and trickling connections are closed when they have sent no whole
    # request within 5 s, and never keep the browser out meanwhile.
    login = Login(f, "--wait", "30")
    location = authorize(f, login.address())
    families = [("127.0.0.1", socket.AF_INET)]
    if has_ipv6_loopback():
        families.append(("::1", socket.AF_INET6))

    def idle(n):
        conns = []
        for host, family in families:
            for _ in range(n):
                c = socket.socket(family)
                c.settimeout(10)
                conns.append(c)
                try:
                    c.connect((host, login.port))
                except OSError as e:
                    raise Failure("cannot connect to %s" % host, e)
        accepted(login.port)
        return conns

    def closed(c):
        try:
            return c.recv(1) == b""
        except socket.timeout:  # still open after 10 s
            return False
        except OSError:
            return True

    conns = []
    try:
        started = time.monotonic()
        conns = idle(40)
        trickle = socket.socket()
        trickle.connect(("127.0.0.1", login.port))
        check(loopback(login.port, "/favicon.ico")[0] == 404, "answered among idle connections")
        for byte in b"GET / HTTP/1.1\r\n":
            try:
                trickle.send(bytes([byte]))
            except OSError:
                break
            time.sleep(0.5)
        check(all(closed(c) for c in conns + [trickle]), "idle connections closed")
        took = time.monotonic() - started
        # 5 s and the trickle's last half second, with room for a busy machine.
        check(took < 12, "closed within the deadline: %.1f s" % took)
        for c in conns + [trickle]:
            c.close()
        conns = idle(40)
        status, page = loopback(login.port, "/?" + urllib.parse.urlsplit(location).query)
    finally:
        for c in conns:
            c.close()
    login.end()
    check(status == 200 and login.returncode == EXIT_OK, "signed in", status, login.err)


def refresh_forms(f):
    """The forms of the refresh-token grants the mock received."""
    return [urllib.parse.parse_qs(r.get("body", ""), keep_blank_values=True)
            for r in f.mock.requests if r["path"] == mock_graph.TOKEN_PATH
            and "grant_type=refresh_token" in r.get("body", "")]


def case_login_device(f):
    # No browser and no secret: a public client, the device code typed
    # elsewhere. The mock answers pending twice, slow_down once, then tokens.
    path = os.path.join(f.dir, "box", "settings.json")
    login = Login(f, "--device", secret=None, settings=path, client_id=mock_graph.PUBLIC_CLIENT_ID)
    shown = login.line_starting("To sign in")
    login.end()
    check(login.returncode == EXIT_OK, "exit status %d" % login.returncode, login.err)
    # The service's message, one line, its controls made spaces.
    check(shown == "To sign in, use a web browser to open the page "
          "https://microsoft.com/devicelogin and enter the code %s to authenticate.   [2J\n"
          % mock_graph.USER_CODE and "\x1b" not in login.err, "message shown", shown)
    check(login.out.startswith("signed in as a public client (no client secret); settings stored "
                               "in %s;" % path), "closing line", login.out)
    asked = [r for r in f.mock.requests if r["path"] == mock_graph.DEVICE_PATH]
    check(len(asked) == 1 and "client_secret" not in asked[0]["body"], "device authorization",
          asked)
    times = [t for t, _ in f.mock.device_polls]
    gaps = [b - a for a, b in zip(times, times[1:])]
    check(len(times) == 4 and all(0.9 < g < 2.5 for g in gaps[:2]) and 5.9 < gaps[2] < 7.5,
          "polled at the interval, 5 s slower after slow_down", gaps)
    written = json.load(open(path))
    check(written == {"ClientId": mock_graph.PUBLIC_CLIENT_ID, "PublicClient": True,
                      "refresh_token": written.get("refresh_token"), "RuntimeType": "ONEDRIVE"}
          and written["refresh_token"] in f.mock.refresh_valid, "settings written", written)
    f.settings = path
    p = f.run("list", "/")
    expect(p, EXIT_OK)
    check("Music" in p.out, "a listing with the new settings", p.out)
    forms = refresh_forms(f)
    check(len(forms) == 2 and all("client_secret" not in g for g in forms),
          "a public client's refresh grants carry no secret", forms)

    # With a secret (from the environment) the same flow stores it.
    f.mock.device_plan = []
    login = Login(f, "--device", settings=path).end()
    check(login.returncode == EXIT_OK, "with a secret", login.err)
    written = json.load(open(path))
    check(written["ClientSecret"] == mock_graph.CLIENT_SECRET and "PublicClient" not in written
          and written["ClientId"] == mock_graph.CLIENT_ID, "secret stored", written)

    # Ctrl-C and --max-time end the polling at once.
    f.mock.device_plan = ["authorization_pending"] * 50
    login = Login(f, "--device", settings=path)
    login.line_starting("To sign in")
    time.sleep(1.5)
    login.p.send_signal(signal.SIGINT)
    started = time.monotonic()
    login.end()
    took = time.monotonic() - started
    check(login.returncode == EXIT_INTERRUPTED and took < 2
          and login.err.endswith("nimbus: login: interrupted\n"), "Ctrl-C: %.2f s" % took,
          login.err)
    started = time.monotonic()
    login = Login(f, "--device", "--max-time", "2.5", settings=path).end()
    took = time.monotonic() - started
    check(login.returncode == EXIT_OTHER and login.err.endswith(
        "nimbus: login: no sign-in arrived before the --max-time of 2.5 s ran out\n")
        and took < 4, "--max-time: %.1f s" % took, login.err)


def case_login_public(f):
    # --public: no secret sought (not even the environment's), the stale
    # one removed; the code exchange and refresh grants carry none.
    login = Login(f, "--no-browser", "--public", client_id=mock_graph.PUBLIC_CLIENT_ID)
    login.end(pasted=authorize(f, login.address()))
    check(login.returncode == EXIT_OK, "exit status %d" % login.returncode, login.err)
    written = json.loads(f.read_settings())
    check(written["PublicClient"] is True and "ClientSecret" not in written
          and written["ID"] == "e2e-backend", "public settings", written)
    check(f.mock.code_grants[-1]["client_id"] == mock_graph.PUBLIC_CLIENT_ID, "code exchange",
          f.mock.code_grants)
    expect(f.run("list", "/Music"), EXIT_OK)
    forms = refresh_forms(f)
    check(forms and all("client_secret" not in g for g in forms), "no secret sent", forms)
    p = f.run("login", "--public", "--client-secret-file", "/dev/null", cacert=False,
              connect=False)
    expect(p, EXIT_USAGE)
    check("--public signs in without a client secret" in p.err, "--public and a secret", p.err)
    # Settings that are not a public client's still need their secret.
    f.write_settings({"ClientId": mock_graph.CLIENT_ID, "refresh_token": "rt-0"})
    p = f.run("list", "/")
    expect(p, 3)
    check("ClientSecret is required" in p.err, "the old fault", p.err)


def case_settings_lock(f):
    # A lock held by someone else ends at --max-time, or at once at Ctrl-C.
    lock_path = os.path.realpath(f.settings) + ".lock"
    before = f.read_settings()
    fd = os.open(lock_path, os.O_RDWR | os.O_CREAT, 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        started = time.monotonic()
        p = f.run("--max-time", "3", "validate", "--write", timeout=20)
        took = time.monotonic() - started
        expect(p, EXIT_OTHER)
        check(2.5 < took < 5, "ended at --max-time: %.1f s" % took)
        check(p.err.startswith("nimbus: validate --write: another process holds the lock file "
                               "%s: the --max-time of 3 s ran out\n" % lock_path), "said why",
              p.err)
        p = f.start("validate", "--write")
        f.wait_for_grant()
        time.sleep(1)
        p.send_signal(signal.SIGINT)
        started = time.monotonic()
        out, err = p.communicate(timeout=20)
        took = time.monotonic() - started
        check(p.returncode == EXIT_INTERRUPTED and took < 2
              and err.decode().startswith("nimbus: interrupted\n"), "Ctrl-C: %.2f s" % took,
              p.returncode, err)
        check(f.read_settings() == before, "nothing written")
        # The sign-in waits for the browser no longer than --max-time, and
        # Ctrl-C ends that wait too.
        started = time.monotonic()
        login = Login(f, "--max-time", "2").end()
        took = time.monotonic() - started
        check(login.returncode == EXIT_OTHER and login.err.endswith(
            "nimbus: login: no sign-in arrived before the --max-time of 2 s ran out\n")
            and took < 4, "login at --max-time: %.1f s" % took, login.err)
        login = Login(f)
        login.address()
        login.p.send_signal(signal.SIGINT)
        started = time.monotonic()
        login.end()
        took = time.monotonic() - started
        check(login.returncode == EXIT_INTERRUPTED and took < 2
              and login.err.endswith("nimbus: login: interrupted\n"), "login Ctrl-C: %.2f s" % took,
              login.returncode, login.err)
    finally:
        os.close(fd)
    p = f.run("validate", "--write")
    expect(p, EXIT_OK)
    check(f.read_settings() != before, "written once the lock is free")


def case_rotation(f):
    # Each run stores the rotated token; the next run presents it.
    expect(f.run("list", "/Music"), EXIT_OK)
    check(json.loads(f.read_settings())["refresh_token"] == "rt-1", "rotated token stored")
    expect(f.run("stream", "/Music/a b.mp3"), EXIT_OK)
    check(f.mock.grants == ["rt-0", "rt-1"], "next run presented it", f.mock.grants)
    # Stored even when the command fails after the grant.
    p = f.run("list", "/Nope")
    expect(p, EXIT_NOT_FOUND)
    check(json.loads(f.read_settings())["refresh_token"] == "rt-3", "stored on failure")
    # A service that retires the old token on rotation, five runs.
    f.mock.revoke_on_rotate = True
    for _ in range(5):
        expect(f.run("list", "/Music"), EXIT_OK)
    check(f.mock.grants[-5:] == ["rt-3", "rt-4", "rt-5", "rt-6", "rt-7"], "a chain of tokens",
          f.mock.grants)
    # A rotation that cannot be stored: one warning, the result stands.
    def no_writes():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (0, 0))
    f.mock.revoke_on_rotate = False
    cmd = [f.nimbus, "--cacert", f.ca, "--settings", f.settings]
    for rule in f.mock.connect_to():
        cmd += ["--connect-to", rule]
    p = subprocess.run(cmd + ["list", "/Music"], capture_output=True, preexec_fn=no_writes,
                       timeout=60)
    check(p.returncode == EXIT_OK and b"a b.mp3" in p.stdout, "list still works", p.stderr)
    err = p.stderr.decode().splitlines()
    check(len(err) == 1 and err[0].startswith(
        "nimbus: warning: the rotated refresh token could not be stored: "), "one warning", err)
    check(json.loads(f.read_settings())["refresh_token"] == "rt-8", "old token kept")


def case_rotation_concurrent(f):
    # Two runs at once, with a service that keeps and one that retires old
    # tokens: the file ends with a token that works.
    for retire in (False, True):
        f.mock.revoke_on_rotate = retire
        for _ in range(3):
            start = json.loads(f.read_settings())["refresh_token"]
            cmd = [f.nimbus, "--cacert", f.ca, "--settings", f.settings]
            for rule in f.mock.connect_to():
                cmd += ["--connect-to", rule]
            runs = [subprocess.Popen(cmd + ["list", "/Music"], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE) for _ in range(2)]
            results = [(r.wait(timeout=60), r.stderr.read().decode()) for r in runs]
            for r in runs:
                r.stdout.close()
                r.stderr.close()
            for code, err in results:
                check("warning" not in err, "no lost store", err)
                check(code == EXIT_OK or (retire and code == EXIT_AUTH), "exit status", code, err)
            stored = json.loads(f.read_settings())["refresh_token"]
            check(stored != start and stored in f.mock.refresh_valid, "a working token stored",
                  stored, start)
    expect(f.run("list", "/Music"), EXIT_OK)


def case_cli_small(f):
    p = f.run("list", "/Music/a b.mp3")
    expect(p, EXIT_NOT_FOUND)
    check(p.err == "nimbus: list /Music/a b.mp3: NIMBUS_E_NOT_FOLDER (-12): /Music/a b.mp3 is a "
          "file, not a folder\n", "a file is not listed", p.err)
    p = f.run("list", "/Empty")
    expect(p, EXIT_OK)
    check(p.out == "0 entries (0 folders, 0 files)\n", "an empty folder still is one", p.out)
    p = f.run("--version", cacert=False, connect=False, settings=False)
    expect(p, EXIT_OK)
    check(p.out.startswith("nimbus command 1.1.0\nnimbus library 1.1.0 "), "versions", p.out)
    p = f.run("help", cacert=False, connect=False, settings=False)
    check("  login  " in p.out, "help lists login", p.out)
    p = f.run("help", "demo", cacert=False, connect=False, settings=False)
    expect(p, EXIT_OK)
    check("--demo" in p.out, "help demo", p.out)
    # An option of another command is refused, login's own run included.
    for args, owner in ((["--listen=", "list"], "--listen belongs to serve"),
                        (["--write", "login"], "--write belongs to validate"),
                        (["--threads", "2", "login"], "--threads belongs to serve"),
                        (["--port", "80", "serve"], "--port belongs to login")):
        p = f.run(*args, cacert=False, connect=False, settings=False)
        expect(p, EXIT_USAGE)
        check(p.err == "nimbus: %s\n(see nimbus --help)\n" % owner, "foreign option", p.err)
    p = f.run("--threads", "65", "serve", cacert=False, connect=False, settings=False)
    expect(p, EXIT_USAGE)
    check(p.err.startswith("nimbus: --threads wants a number from 1 to 64, not 65\n"),
          "one past the bound", p.err)


def case_login_business(f):
    # The drive says what it is: a business drive or a document library is
    # stored as ONEDRIVEB, a personal one as ONEDRIVE, whatever was stored.
    path = os.path.join(f.dir, "work", "settings.json")
    f.mock.device_plan = []
    for kind, want in (("business", "ONEDRIVEB"), ("personal", "ONEDRIVE"),
                       ("documentLibrary", "ONEDRIVEB")):
        f.mock.drive_type = kind
        login = Login(f, "--device", settings=path).end()
        check(login.returncode == EXIT_OK, kind + ": exit status %d" % login.returncode, login.err)
        written = json.load(open(path))
        check(written.get("RuntimeType") == want, kind + ": RuntimeType", written)
    check(any(r["path"] == "/v1.0/me/drive" for r in f.mock.requests), "the drive was asked",
          [r["path"] for r in f.mock.requests])


def case_login_cloud(f):
    # An account on the US Government cloud: the sign-in, the drive check
    # and every later request go to that cloud's hosts only (the command
    # reaches the mock by those names alone), and the settings keep it.
    m = f.mock
    m.graph_host, m.login_host = mock_graph.USGOV_GRAPH_HOST, mock_graph.USGOV_LOGIN_HOST
    m.drive_type, m.device_plan = "business", []
    path = os.path.join(f.dir, "gov", "settings.json")
    login = Login(f, "--device", "--cloud", "usgovernment", settings=path).end()
    check(login.returncode == EXIT_USAGE and login.err == "nimbus: login: --cloud: Cloud must be "
          '"global", "usgov", "usgovdod" or "china"\n' and not m.requests, "unknown cloud",
          login.err)
    login = Login(f, "--device", "--cloud", "usgov", settings=path).end()
    check(login.returncode == EXIT_OK, "exit status %d" % login.returncode, login.err)
    written = json.load(open(path))
    check(written.get("Cloud") == "usgov" and written.get("RuntimeType") == "ONEDRIVEB",
          "cloud stored", written)
    f.settings = path
    p = f.run("--page-size", "2", "list", "/")
    expect(p, EXIT_OK)
    check(["Big", "Empty", "Music", "song.mp3"] == [l.split()[-1] for l in p.out.splitlines()[1:-1]],
          "listed", p.out)
    pages = f.graph_requests("/root/children")
    check(len(pages) == 2 and pages[1]["query"].startswith("$top=2&$skiptoken=2&"),
          "the next link on the cloud's Graph followed", [r["target"] for r in pages])
    hosts = {(r["method"], r["host"], r["path"]) for r in m.requests}
    check({h for _, h, _ in hosts} == {m.graph_host, m.login_host} and
          ("POST", m.login_host, mock_graph.DEVICE_PATH) in hosts, "only the cloud's hosts", hosts)
    # A later sign-in without --cloud stays on the settings' cloud.
    login = Login(f, "--device", settings=path).end()
    check(login.returncode == EXIT_OK and json.load(open(path)).get("Cloud") == "usgov",
          "the settings' cloud kept", login.err)


CASES = cases_in(globals())


def main():
    return main_of(CASES, lambda a: Fixture(os.path.abspath(a.nimbus)))


if __name__ == "__main__":
    sys.exit(main())
