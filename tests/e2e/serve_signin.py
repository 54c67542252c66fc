"""`nimbus serve` without a sign-in and across sign-ins: a gateway started
signed out that a browser signs in through its page (the device-code flow
of the mock), a settings file replaced or rewritten while the gateway runs,
SIGHUP, and who may reach the sign-in page."""

import http.client
import http.cookiejar
import json
import os
import re
import signal
import stat
import subprocess
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

import mock_graph
from run_e2e import check
from serve_common import TOKEN, Gateway, expect, in_namespace, links_of, token_file


def write_settings(f, settings, name=None):
    """Replaces the settings file by a rename, as an editor or a login does."""
    tmp = f.settings + ".new"
    with open(tmp, "w") as s:
        s.write(settings if isinstance(settings, str) else json.dumps(settings))
    os.chmod(tmp, 0o600)
    os.rename(tmp, name or f.settings)


def start(f, *args, listen="127.0.0.1:0", env=None):
    saved = dict(os.environ)
    os.environ.update(env or {})
    try:
        g = Gateway(f.command("serve", "--listen", listen, *args))
    finally:
        os.environ.clear()
        os.environ.update(saved)
    f.gateways.append(g)
    check(g.port, "listening", g.log())
    return g


def wait_for(g, text, seconds=30, after=0):
    end = time.monotonic() + seconds
    while text not in g.log()[after:]:
        check(time.monotonic() < end and g.p.poll() is None, "the log says " + text, g.log())
        time.sleep(0.05)


class Browser:
    """urllib with a cookie jar, answers of any status kept."""

    def __init__(self, base):
        self.base = base
        self.opener = urllib.request.build_opener(
            urllib.request.HTTPCookieProcessor(http.cookiejar.CookieJar()))

    def open(self, path, data=None, headers=None):
        r = urllib.request.Request(self.base + path, data=data, headers=headers or {})
        try:
            with self.opener.open(r, timeout=60) as a:
                return a.status, a.geturl(), a.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.geturl(), e.read().decode()


def form_action(page):
    m = re.search(r'<form method="post" action="([^"]+)">', page)
    check(m, "a sign-in form", page)
    return m.group(1).replace("&amp;", "&")


def case_signin_browser(f):
    """Started without a refresh token, the gateway serves its sign-in page;
    a browser follows the form through the device-code flow (one
    authorization_pending, one slow_down) and then lists a folder."""
    os.remove(f.settings)
    g = start(f, "--client-id", mock_graph.PUBLIC_CLIENT_ID, "--public")
    wait_for(g, "sign in at http://127.0.0.1:%d/.signin" % g.port)
    expect(g.get("/Music/"), 502, "no drive yet")
    g.stop()
    # Settings without a refresh token: their client id is the one signed in.
    write_settings(f, {"ClientId": mock_graph.PUBLIC_CLIENT_ID, "PublicClient": True})
    f.mock.device_plan = ["authorization_pending", "slow_down"]
    g = start(f)
    b = Browser(g.url())
    status, _, page = b.open("/")
    check(status == 502 and ("Sign in", "/.signin") in links_of(page), "the way in", page)
    status, _, page = b.open("/.signin")
    action = form_action(page)
    devices = lambda: [r for r in f.mock.requests if r["path"].endswith("/devicecode")]
    # Only a POST with the page's token, from the gateway's own origin, starts it.
    check(b.open(action)[0] == 200 and not devices(), "a GET starts nothing")
    check(b.open("/.signin?csrf=forged", b"")[0] == 403, "a forged token refused")
    check(b.open(action, b"", {"Origin": "http://evil.example"})[0] == 403, "another origin")
    check(b.open(action, b"", {"Sec-Fetch-Site": "cross-site"})[0] == 403, "another site")
    check(not devices(), "nothing started")
    # What a browser sends from a page that asks for no referrer.
    status, url, page = b.open(action, b"", {"Origin": "null", "Sec-Fetch-Site": "same-origin"})
    check(status == 200 and url.endswith("/.signin"), "back to the page", status, url)
    b.open(action, b"", {"Origin": g.url()})  # a second press while it waits: still one flow
    waiting = None
    end = time.monotonic() + 60
    while "Signed in" not in page and "is signed in" not in page:
        check(time.monotonic() < end, "signed in", page, g.log())
        if mock_graph.USER_CODE in page:
            waiting = page
        time.sleep(0.5)
        try:
            page = b.open("/.signin")[2]
        except OSError as e:
            check(False, "the page while the gateway starts again", e, g.log())
    check(waiting and ("https://microsoft.com/devicelogin", "https://microsoft.com/devicelogin")
          in links_of(waiting) and 'http-equiv="refresh"' in waiting, "the code and the address",
          waiting)
    wait_for(g, "new settings in")
    status, _, page = b.open("/Music/")
    check(status == 200 and ("Album/", "/Music/Album/") in links_of(page), "the drive", page)
    check(len(devices()) == 1, "one flow", devices())
    polls = [t for t, _ in f.mock.device_polls]
    gaps = [b - a for a, b in zip(polls, polls[1:])]
    check(len(polls) == 3 and gaps[0] >= 0.9 and gaps[1] >= 5.9, "interval and slow_down", gaps)
    with open(f.settings) as s:
        stored = json.load(s)
    check(stored["refresh_token"].startswith("rt-") and stored["PublicClient"] is True and
          stat.S_IMODE(os.stat(f.settings).st_mode) == 0o600, "stored as login does", stored)
    check(g.stop() == 0, "stopped", g.log())


def case_signin_reload(f):
    """A settings file replaced while the gateway runs: a new refresh token
    is taken (no connection refused meanwhile), an invalid file is told once
    and changes nothing, the gateway's own rotations start nothing."""
    g = start(f, env={"NIMBUS_SERVE_SIGNIN_SECONDS": "1"})
    expect(g.get("/Music/"), 200, "first sign-in")
    time.sleep(2.5)  # its rotation (the mock rotates every grant) is stored
    check("new settings" not in g.log(), "its own rotation starts nothing", g.log())
    invalid = len(g.log())
    write_settings(f, "{not json")
    wait_for(g, "is not a JSON object", after=invalid)
    time.sleep(2.5)
    check(g.log().count("is not a JSON object") == 1, "told once", g.log())
    expect(g.get("/Music/?format=json"), 200, "the settings in use kept")
    f.mock.add_refresh_token("rt-new")
    f.mock.rotate = False
    failures = []
    stop = threading.Event()

    def visits():
        while not stop.is_set():
            try:
                got = g.get("/song.mp3")
                if got[0] != 302:
                    failures.append(got[0])
            except OSError as e:
                failures.append(repr(e))
    t = threading.Thread(target=visits)
    t.start()
    write_settings(f, {"ClientId": mock_graph.CLIENT_ID,
                       "ClientSecret": mock_graph.CLIENT_SECRET, "refresh_token": "rt-new"})
    wait_for(g, "new settings in")
    time.sleep(1)
    stop.set()
    t.join(timeout=60)
    check(not failures, "served throughout", failures)
    expect(g.get("/Music/Album/"), 200, "the new sign-in serves")
    check(f.mock.grants[-1] == "rt-new", "its token used", f.mock.grants[-3:])
    check(g.stop() == 0, "stopped", g.log())


def case_signin_sighup(f):
    """SIGHUP reads the settings file at once; the same file starts nothing."""
    g = start(f, env={"NIMBUS_SERVE_SIGNIN_SECONDS": "3600"})
    f.mock.rotate = False
    expect(g.get("/Music/"), 200, "signed in")
    g.p.send_signal(signal.SIGHUP)
    wait_for(g, "holds the settings in use")
    f.mock.add_refresh_token("rt-hup")
    write_settings(f, {"ClientId": mock_graph.CLIENT_ID,
                       "ClientSecret": mock_graph.CLIENT_SECRET, "refresh_token": "rt-hup"})
    time.sleep(1)
    check("new settings" not in g.log(), "not looked at before the signal", g.log())
    g.p.send_signal(signal.SIGHUP)
    wait_for(g, "new settings in", seconds=10)
    wait_for(g, "serving http", after=g.log().index("new settings in"))
    expect(g.get("/Music/Album/"), 200, "the new sign-in serves")
    check(f.mock.grants[-1] == "rt-hup", "its token used", f.mock.grants[-3:])
    # A stop asked while it starts again is a stop, not a restart.
    write_settings(f, {"ClientId": mock_graph.CLIENT_ID,
                       "ClientSecret": mock_graph.CLIENT_SECRET, "refresh_token": "rt-0"})
    before = len(g.log())
    g.p.send_signal(signal.SIGHUP)
    wait_for(g, "new settings in", after=before)
    check(g.stop() == 0, "stopped", g.log())
    check("nimbus: stopped (SIGTERM)" in g.log()[before:] and
          "serving http" not in g.log()[before:], "no new run", g.log()[before:])


def case_signin_logout(f):
    """`nimbus logout` forgets the stored sign-in, keeping the application's
    settings; the gateway running on it goes on signed out, offering its
    sign-in page, and a second logout finds nothing to forget."""
    g = start(f, env={"NIMBUS_SERVE_SIGNIN_SECONDS": "1"})
    f.mock.rotate = False
    expect(g.get("/Music/"), 200, "signed in")
    p = subprocess.run(f.command("logout"), capture_output=True, text=True, timeout=60)
    stored = json.load(open(f.settings))
    check(p.returncode == 0 and "signed out" in p.stdout and "refresh_token" not in stored and
          stored.get("ClientId") == mock_graph.CLIENT_ID and
          stat.S_IMODE(os.stat(f.settings).st_mode) == 0o600, "the token gone, the rest kept",
          p.stdout, p.stderr, stored)
    wait_for(g, "holds no sign-in any more")
    wait_for(g, "sign in at http", after=g.log().index("holds no sign-in any more"))
    status, _, page = g.get("/Music/")
    check(status == 502 and "/.signin" in page, "signed out, the sign-in page offered", status,
          page[:600])
    p = subprocess.run(f.command("logout"), capture_output=True, text=True, timeout=60)
    check(p.returncode == 0 and "no sign-in stored" in p.stdout, "nothing left to forget",
          p.stdout, p.stderr)
    check(g.stop() == 0, "stopped", g.log())


def case_signin_network(f):
    """On an address other hosts reach, the sign-in page needs the secret
    (never a file's capability); with it the form carries it along."""
    if os.environ.get("NIMBUS_E2E_NETNS") != "1":
        return in_namespace(f, "signin_network", ())
    subprocess.run(["ip", "addr", "add", "10.77.0.1/24", "dev", "lo"], check=True)
    os.remove(f.settings)
    g = start(f, "--client-id", mock_graph.PUBLIC_CLIENT_ID, "--auth-token-file",
              token_file(f, TOKEN), listen="10.77.0.1:0")

    def ask(path, method="GET"):
        c = http.client.HTTPConnection("10.77.0.1", g.port, timeout=60)
        try:
            c.request(method, path)
            r = c.getresponse()
            return r.status, r.read().decode()
        finally:
            c.close()
    for method in ("GET", "POST"):
        check(ask("/.signin", method)[0] == 401, "no secret, no page (%s)" % method)
    check(ask("/.signin?t=wrong", "POST")[0] == 401, "a wrong secret")
    status, page = ask("/.signin?t=" + urllib.parse.quote(TOKEN))
    check(status == 200 and "t=" + TOKEN in form_action(page), "with the secret", page)
    check(not [r for r in f.mock.requests if r["path"].endswith("/devicecode")], "none started")
    check(g.stop() == 0, "stopped", g.log())
