"""`nimbus serve` cases of who gets in and how the gateway holds up: the
secret and file capabilities, refusals, slow clients, the stop and the
rotated refresh token."""

import base64
import json
import os
import re
import signal
import socket
import subprocess
import threading
import time
import urllib.parse

from run_e2e import check
from serve_common import PLUS_TOKEN, TOKEN, capability, expect, raw_get, token_file


def case_security(f):
    """Listen addresses, the token file and the two ways to present it."""
    token_file = os.path.join(f.dir, "token")
    with open(token_file, "w") as t:
        t.write(TOKEN + "\n")
    os.chmod(token_file, 0o644)
    for args, listen, status, words in (
            ((), "0.0.0.0:0", 2, "--auth-token-file"),
            (("--auth-token-file", token_file), "0.0.0.0:0", 3, "chmod 600")):
        p = subprocess.run(f.command("serve", "--listen", listen, *args), capture_output=True,
                           timeout=60)
        check(p.returncode == status and words in p.stderr.decode(), "refused at start",
              p.returncode, p.stderr)
    check(not f.mock.requests, "nothing sent")
    os.chmod(token_file, 0o600)
    g = f.serve("--auth-token-file", token_file, listen="0.0.0.0:0")
    status, headers, _ = got = g.get("/Music/")
    expect(got, 401, "no credential")
    check(headers["www-authenticate"].startswith("Basic "), "asks for Basic", headers)
    basic = lambda pw: {"Authorization": "Basic " + base64.b64encode(b"any:" + pw).decode()}
    expect(g.get("/Music/", headers=basic(b"wrong")), 401, "wrong password")
    expect(g.get("/Music/?t=" + TOKEN[:-1]), 401, "wrong t")
    expect(g.get("/Music/", headers=basic(TOKEN.encode())), 200, "Basic")
    expect(g.get("/Music/?t=" + TOKEN), 200, "t")
    # A playlist goes to players: its entries carry a capability each, never
    # the secret, however the playlist was asked for.
    for query, headers in (("?format=m3u&t=" + TOKEN, None),
                           ("?format=m3u", basic(TOKEN.encode())),
                           ("?format=m3u&recursive=1", basic(TOKEN.encode()))):
        status, _, body = got = g.get("/Music/Album/" + query, headers=headers)
        expect(got, 200, "playlist " + query)
        urls = [l for l in body.splitlines() if not l.startswith("#")]
        check(len(urls) == 4 and TOKEN not in body and all(
            re.fullmatch(r"http://127\.0\.0\.1:%d/Music/Album/[^?]+\?c=\d+\.[\w-]{43}" % g.port, u)
            for u in urls), "entries with a capability, no secret", query, body)
        for u in urls:
            expect(g.get(u[len("http://127.0.0.1:%d" % g.port):]), 302, "entry followed")
    check(TOKEN not in g.log(), "token never logged", g.log())
    check(g.stop(signal.SIGINT) == 0, "exit 0 on SIGINT")

    # The first request of a cold start, sent the moment the port accepts:
    # the loopback Host check knows the port by then.
    for _ in range(5):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
        s.close()
        first = []

        def knock():
            end = time.monotonic() + 20
            while not first and time.monotonic() < end:
                try:
                    first.append(raw_get(port, "/Music/?format=json")[0])
                except OSError:
                    time.sleep(0.001)
        t = threading.Thread(target=knock)
        t.start()
        g = f.serve(listen="127.0.0.1:%d" % port)
        t.join()
        g.stop()
        check(first == [200], "the first request at start answered", first)


def case_capabilities(f):
    """A capability opens one file's bytes until it expires, nothing else;
    it outlives a restart, not a new secret. A secret with "+" and "/" works
    in ?t= however it is encoded, and the printed recipe makes neither."""
    p = subprocess.run(f.command("serve", "--listen", "0.0.0.0:0"), capture_output=True,
                       timeout=60)
    recipe = re.search(r"make one with: (.*) > FILE\)", p.stderr.decode())
    check(recipe, "a recipe", p.stderr)
    for _ in range(20):
        made = subprocess.run(["sh", "-c", recipe.group(1)], capture_output=True,
                              timeout=60).stdout.decode().strip()
        check(re.fullmatch(r"[\w-]{16,}", made), "the recipe's secret needs no escaping", made)

    content = bytes(range(256)) * 40
    song = f.mock.find_path("/song.mp3")
    song.content, song.size = content, len(content)
    secret = token_file(f, PLUS_TOKEN)
    g = f.serve("--auth-token-file", secret)
    for t in (PLUS_TOKEN, urllib.parse.quote(PLUS_TOKEN, safe=""),
              urllib.parse.quote(PLUS_TOKEN, safe="+")):
        expect(g.get("/Music/?t=" + t), 200, "t=" + t)
    expect(g.get("/Music/?t=" + PLUS_TOKEN.replace("+", "%20")), 401, "spaces are not pluses")
    _, _, body = g.get("/?format=m3u&t=" + PLUS_TOKEN)
    c = re.search(r"/song\.mp3\?(c=\S+)", body).group(1)
    check(PLUS_TOKEN not in body and "t=" not in body, "no secret in the playlist", body)

    got = raw_get(g.port, "/song.mp3?stream=1&" + c, {"Range": "bytes=100-199"})
    check(got[0] == 206 and got[2] == content[100:200], "the capability plays, with Range", got[:2])
    check(raw_get(g.port, "/song.mp3?" + c, method="HEAD")[0] == 302, "and redirects (HEAD)")
    now = int(time.time())
    for path, what in (("/Music/tone.flac?stream=1&" + c, "another file"),
                       ("/song.mp3/?" + c, "the path as a folder"),
                       ("/?" + c, "the folder"), ("/?format=json&" + c, "the folder's JSON"),
                       ("/?format=m3u&" + c, "a playlist"), ("/?search=song&" + c, "a search"),
                       ("/song.mp3?format=json&" + c, "the file with another parameter"),
                       ("/song.mp3?stream=1&%s&%s" % (c, c), "two capabilities"),
                       ("/song.mp3?stream=1&" + c[:-1] + ("A" if c[-1] != "A" else "B"),
                        "a tampered MAC"),
                       ("/song.mp3?stream=1&" + capability(PLUS_TOKEN, "/song.mp3", now - 1),
                        "expired a second ago"),
                       ("/song.mp3?stream=1&" + capability(TOKEN, "/song.mp3", now + 3600),
                        "made with another secret"),
                       ("/song.mp3?stream=1&c=", "an empty c"),
                       ("/song.mp3?stream=1&c=" + "9" * 60, "a malformed c")):
        expect(g.get(path), 401, what)
    expect(g.get("/song.mp3?" + c, method="POST"), 401, "POST with a capability")
    got = raw_get(g.port, "/song.mp3?stream=1&" + capability(PLUS_TOKEN, "/song.mp3", now + 2))
    check(got[0] == 200 and got[2] == content, "one made by the test plays until it expires",
          got[:2])
    check(g.stop() == 0, "stopped")

    # Nothing kept: the same secret takes it after a restart, a new one does not.
    g = f.serve("--auth-token-file", secret)
    check(raw_get(g.port, "/song.mp3?stream=1&" + c)[0] == 200, "the same after a restart")
    check(g.stop() == 0, "stopped")
    g = f.serve("--auth-token-file", token_file(f, TOKEN, "other"))
    expect(g.get("/song.mp3?stream=1&" + c), 401, "refused under a new secret")
    check(PLUS_TOKEN not in g.log() and TOKEN not in g.log(), "no secret logged", g.log())


def case_errors(f):
    """Service failures as HTTP statuses; a new sign-in is taken up without
    a restart by hand; SIGTERM lets a running request end."""
    f.mock.revoke("rt-0")
    os.environ["NIMBUS_SERVE_SIGNIN_SECONDS"] = "1"
    try:
        g = f.serve()
    finally:
        del os.environ["NIMBUS_SERVE_SIGNIN_SECONDS"]
    status, _, body = got = g.get("/Music/")
    expect(got, 502, "refused authorisation")
    check("nimbus login" in body and "rt-0" not in body, "says what to do", body)
    # What nimbus login leaves: a new refresh token in the settings file.
    f.mock.add_refresh_token("rt-new")
    with open(f.settings) as s:
        settings = json.load(s)
    settings["refresh_token"] = "rt-new"
    with open(f.settings + ".new", "w") as s:
        json.dump(settings, s)
    os.chmod(f.settings + ".new", 0o600)
    os.rename(f.settings + ".new", f.settings)
    deadline = time.monotonic() + 20
    while "starting again" not in g.log():
        check(time.monotonic() < deadline and g.p.poll() is None, "starts again", g.log())
        time.sleep(0.05)
    while True:
        try:
            got = g.get("/Music/")
            break
        except OSError:  # between the two runs
            check(time.monotonic() < deadline, "listening again", g.log())
            time.sleep(0.05)
    expect(got, 200, "signed in again, on the same port")
    check(g.stop() == 0, "stopped", g.log())
    g = f.serve()
    f.mock.fail["/v1.0/me/drive/root:/Music:/children"] = 429
    status, headers, _ = got = g.get("/Music/")
    expect(got, 503, "throttled")
    check(headers.get("retry-after", "").isdigit(), "Retry-After", headers)
    f.mock.fail["/v1.0/me/drive/root:/Music:/children"] = 503
    status, headers, body = got = g.get("/Music/?format=json")
    expect(got, 503, "unavailable")
    check(json.loads(body)["error"].startswith("The service is unavailable"), "JSON error", body)

    f.mock.delay["/v1.0/me/drive/root:/song.mp3"] = 1.5
    answer = []
    t = threading.Thread(target=lambda: answer.append(g.get("/song.mp3")))
    t.start()
    deadline = time.time() + 20
    while not any(r["path"].endswith("/song.mp3") for r in f.mock.requests):
        check(time.time() < deadline, "request reached the mock")
        time.sleep(0.02)
    check(g.stop() == 0, "exit 0", g.log())
    t.join(timeout=30)
    check(answer and answer[0][0] == 302, "the running request finished", answer)
    try:
        g.get("/Music/")
        check(False, "stopped gateway still answers")
    except OSError:
        pass


def case_slow(f):
    """Clients that trickle their headers cannot keep an authorised one out."""
    token_file = os.path.join(f.dir, "token")
    with open(token_file, "w") as t:
        t.write(TOKEN + "\n")
    os.chmod(token_file, 0o600)
    g = f.serve("--auth-token-file", token_file)
    slow = []

    def open_slow(source):
        s = socket.socket()
        s.bind((source, 0))
        s.settimeout(5)
        s.connect(("127.0.0.1", g.port))
        s.sendall(b"G")
        slow.append([s, time.monotonic(), None])  # socket, opened, seen closed

    def drip():
        for entry in slow:
            if entry[2] is None:
                try:
                    entry[0].sendall(b"E")
                    entry[0].setblocking(False)
                    if entry[0].recv(1) == b"":
                        entry[2] = time.monotonic()
                except BlockingIOError:
                    pass
                except OSError:
                    entry[2] = time.monotonic()
                finally:
                    entry[0].settimeout(5)

    # 300 trickling clients from eight loopback addresses: more than the
    # gateway's 256 connections.
    for i in range(300):
        open_slow("127.0.0.%d" % (1 + i % 8))
    start = time.monotonic()
    status, _, body = got = g.get("/Music/?t=" + TOKEN)
    expect(got, 200, "authorised client answered")
    check(time.monotonic() - start < 3, "promptly", time.monotonic() - start)
    open_slow("127.0.0.9")
    first = slow[-1]
    # A byte a second keeps nobody in past 10 s from the accept.
    while time.monotonic() - first[1] < 14:
        drip()
        time.sleep(1)
    check(first[2] is not None and 9 <= first[2] - first[1] <= 12,
          "the last closed at its deadline", first[2] and first[2] - first[1])
    check(all(e[2] is not None for e in slow), "every trickling client closed",
          sum(e[2] is None for e in slow))
    for e in slow:
        e[0].close()
    expect(g.get("/Music/?t=" + TOKEN), 200, "still serving")
    check(g.stop() == 0, "stopped", g.log()[-2000:])


def case_stop(f):
    """A throttling service: 503 with its Retry-After at once; a signal stops at once."""
    music = "/v1.0/me/drive/root:/Music:/children"
    g = f.serve()
    f.mock.script[music] = [(429, "120")] * 3
    start = time.monotonic()
    status, headers, body = got = g.get("/Music/?format=json")
    expect(got, 503, "a long pause asked for")
    check(time.monotonic() - start < 3, "answered without waiting", time.monotonic() - start)
    check(headers.get("retry-after") == "120", "the service's Retry-After", headers)
    check(json.loads(body)["error"].startswith("The service is throttling requests: "), body)
    # The pause holds for the next request: nothing is sent meanwhile.
    before = len(f.mock.requests)
    status, headers, body = got = g.get("/Music/Album/?format=json")
    expect(got, 503, "during the pause")
    check(headers.get("retry-after") in ("119", "120"), "what is left of it", headers)
    check("asked for a pause of 1" in body, "says why", body)
    check(len(f.mock.requests) == before, "nothing sent", f.mock.requests[before:])
    check(g.stop() == 0, "stopped")

    def answer_in_background(gw, path, raw):
        answers = []
        t = threading.Thread(target=lambda: answers.append(gw.get(path)), daemon=True)
        t.start()
        deadline = time.monotonic() + 20
        while not any(r["path"] == raw for r in f.mock.requests):
            check(time.monotonic() < deadline, "request reached the mock")
            time.sleep(0.02)
        time.sleep(0.3)
        return t, answers

    # SIGTERM during a pause the gateway would wait out (4 s): it ends at
    # once. A transfer that hangs: a short grace, then cut.
    f.mock.script[music] = [(429, "4")] * 3
    song = "/v1.0/me/drive/root:/song.mp3"
    f.mock.delay[song] = 30
    for page, asked, bound, what in (("/Music/", music, 1.5, "stopped at once"),
                                     ("/song.mp3", song, 6, "a grace of 3 s")):
        g = f.serve()
        t, answers = answer_in_background(g, page, asked)
        start = time.monotonic()
        check(g.stop() == 0, "exit 0", g.log())
        check(time.monotonic() - start < bound, what, time.monotonic() - start)
        t.join(timeout=10)
        check(answers and answers[0][0] == 503, "the client got its answer", what, answers)
    g = f.serve()
    f.mock.requests.clear()
    t, answers = answer_in_background(g, "/song.mp3", song)
    start = time.monotonic()
    g.p.send_signal(signal.SIGTERM)
    time.sleep(0.2)
    g.p.send_signal(signal.SIGINT)
    check(g.p.wait(timeout=10) == 128 + signal.SIGINT, "exit at once", g.p.returncode)
    check(time.monotonic() - start < 1.5, "in no time", time.monotonic() - start)
    g.reader.join(timeout=10)
    check(g.log().endswith("nimbus: stopped at once (SIGINT)\n"), "says so", g.log())


def case_rotation(f):
    """Each refresh token rotated while serving is stored at once, once."""
    f.mock.revoke_on_rotate = True
    g = f.serve("--page-size", "2")
    expect(g.get("/Music/Album/?format=json"), 200, "listing")
    pages = [r for r in f.mock.requests if r["path"].endswith("/Album:/children")]
    check(pages and pages[0]["query"].split("&")[0] == "$top=2", "--page-size applies", pages)
    stored = lambda: json.loads(open(f.settings).read())["refresh_token"]
    check(stored() == "rt-1", "stored while serving", stored())
    f.mock.access_uses = 1  # the access token is spent: the next request needs a grant
    expect(g.get("/song.mp3"), 302, "after a second grant")
    check(stored() == "rt-2", "the second rotation stored", stored())
    check(g.stop() == 0, "exit 0", g.log())
    check(stored() == "rt-2" and "warning" not in g.log(), "kept, no warning", g.log())
    check(f.mock.grants == ["rt-0", "rt-1"], "each token presented once", f.mock.grants)
    check(subprocess.run(f.command("serve", "--max-time", "5"), capture_output=True).returncode
          == 2, "--max-time refused")
