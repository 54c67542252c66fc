#!/usr/bin/env python3
"""End-to-end cases for `nimbus serve`, the HTTP gateway.

Each case starts the mock Graph server (mock_graph.py) and the gateway in
front of it, then talks to the gateway over plain HTTP with exact request
lines (http.client), a real player (ffprobe) or a real browser (headless
Chromium). Usage: run_serve.py --nimbus PATH [--out FOLDER] CASE...
Exit status 77 means every case asked for was skipped (a missing program).

The cases live by concern in serve_pages.py (what a browser sees),
serve_player.py (a file's own page),
serve_security.py (who gets in, refusals, slow clients, the stop),
serve_streams.py (files played), serve_dlna.py (the MediaServer),
serve_tv.py (a television's own request sequence), serve_signin.py
(signing in from the page, new settings while running) and serve_covers.py
(album art and posters); what
they share is in serve_common.py.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import serve_covers  # noqa: E402
import serve_dlna  # noqa: E402
import serve_pages  # noqa: E402
import serve_player  # noqa: E402
import serve_security  # noqa: E402
import serve_signin  # noqa: E402
import serve_streams  # noqa: E402
import serve_tv  # noqa: E402
from run_e2e import cases_in, main_of  # noqa: E402
from serve_common import Fixture, Gateway, expect, links_of, print_gateway_logs  # noqa: E402

# Other runners reuse the gateway's fixture and helpers through this module.
__all__ = ["CASES", "Fixture", "Gateway", "expect", "links_of", "main", "print_gateway_logs"]

CASES = {}
for module in (serve_pages, serve_player, serve_security, serve_streams, serve_dlna, serve_tv,
               serve_signin, serve_covers):
    CASES.update(cases_in(vars(module)))


def main():
    return main_of(CASES, lambda a: Fixture(os.path.abspath(a.nimbus), os.path.abspath(a.out)),
                   [("--out", ".")], print_gateway_logs)


if __name__ == "__main__":
    sys.exit(main())
