"""The page script pinned by Subresource Integrity, in a real browser: the line that
`korvan-bridge --print-include` prints loads the script from the bridge and a control works
through it; the same line, answered by another program holding the port with a script one byte
off, is refused by the browser, while the old unpinned line runs whatever that program sends."""

import base64
import hashlib
import os
import re
import http.server
import socketserver
import threading
import unittest
import urllib.request

import fixture
from fixture import call, open_page

SGN = "QXMeridiaControl.SGN"
LINE = re.compile(r'^<script src="http://127\.0\.0\.1:(\d+)(/korvan/v1/activex-([0-9a-f]{96})\.js)" '
                  r'integrity="sha384-([A-Za-z0-9+/]{64})" crossorigin="anonymous"></script>$')
# A script element that failed to load or was refused fires "error" at itself, not at the window.
PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>integrity</title>
<script>
window.failedScripts = [];
window.addEventListener("error", function (e) {
    if (e.target instanceof HTMLScriptElement) window.failedScripts.push(e.target.src);
}, true);
</script>
%s
</head><body></body></html>
"""
STATE = "return [typeof ActiveXObject, typeof KorvanControls, window.failedScripts];"


class Responder:
    """A loopback HTTP server answering GETs from a table of path -> (type, bytes); it records
    the paths asked. As a squatter it allows every origin, as a page server it needs not."""

    def __init__(self, allow_any_origin=False):
        self.routes = {}
        self.asked = []
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                owner.asked.append(self.path)
                found = owner.routes.get(self.path)
                if found is None:
                    self.send_error(404)
                    return
                content_type, body = found
                self.send_response(200)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Cache-Control", "no-store")
                if allow_any_origin:
                    self.send_header("Access-Control-Allow-Origin", "*")
                self.end_headers()
                self.wfile.write(body)

        self.server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.origin = "http://127.0.0.1:%d" % self.port
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def page(self, path, include):
        self.routes[path] = ("text/html; charset=utf-8", (PAGE % include).encode("utf-8"))

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class IntegrityTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.world = fixture.World()
        cls.responders = []
        try:
            cls.pages = cls.responder()
            cls.squatter = cls.responder(allow_any_origin=True)
            cls.bridge = fixture.Bridge(cls.world, [cls.pages.origin])
            cls.world.bridges.append(cls.bridge)
            cls.driver = cls.world.browser()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for responder in cls.responders:
            responder.close()
        cls.world.close()

    @classmethod
    def responder(cls, **kwargs):
        responder = Responder(**kwargs)
        cls.responders.append(responder)
        return responder

    def print_include(self, port):
        done = fixture.run([os.path.join(self.world.bin, "korvan-bridge"), "--print-include",
                            "--port", str(port)], env=self.world.env)
        line = done.stdout.strip()
        found = LINE.match(line)
        self.assertIsNotNone(found, line)
        self.assertEqual(int(found.group(1)), port)
        return line, found.group(2), found.group(3), found.group(4)

    def test_the_printed_line_loads_the_script_and_a_control_works(self):
        line, path, hex_digest, digest64 = self.print_include(self.bridge.port)
        # The browser fetches the script in CORS mode and checks its bytes against the line.
        with urllib.request.urlopen(urllib.request.Request(
                self.bridge.base + path, headers={"Origin": self.pages.origin}), timeout=30) as answer:
            script = answer.read()
            self.assertEqual(answer.headers.get("Access-Control-Allow-Origin"), self.pages.origin)
        self.assertEqual(hashlib.sha384(script).hexdigest(), hex_digest)
        self.assertEqual(base64.b64encode(hashlib.sha384(script).digest()).decode(), digest64)

        self.pages.page("/pinned-bridge.html", line)
        open_page(self.driver, self.pages, "pinned-bridge.html")
        self.assertEqual(call(self.driver, STATE), ["function", "object", []])
        got = call(self.driver, """
            try { const o = new ActiveXObject("%s"); return {online: o.IsOnline, value: o.GenRandomNumber(16)}; }
            catch (e) { return {error: String(e && e.message)}; }
        """ % SGN)
        self.assertEqual(got.get("online"), 0, got)
        self.assertRegex(got.get("value") or "", r"^[0-9A-F]{16}$", got)

    def test_a_site_may_list_several_hashes_for_the_unpinned_path(self):
        # Across an upgrade a site accepts the releases it knows; the bridge serves its newest.
        _, _, _, digest64 = self.print_include(self.bridge.port)
        other = base64.b64encode(hashlib.sha384(b"another release").digest()).decode()
        for listed, runs in (("sha384-%s sha384-%s" % (other, digest64), True), ("sha384-" + other, False)):
            with self.subTest(integrity=listed):
                self.pages.page("/listed.html", '<script src="%s/korvan/activex.js" integrity="%s" '
                                'crossorigin="anonymous"></script>' % (self.bridge.base, listed))
                open_page(self.driver, self.pages, "listed.html")
                self.assertEqual(call(self.driver, STATE)[:2],
                                 ["function", "object"] if runs else ["undefined", "undefined"])

    def test_a_script_one_byte_off_from_a_squatter_on_the_port_is_refused(self):
        # The squatter holds the port a site's line names; the line is the one printed for it.
        line, path, _, _ = self.print_include(self.squatter.port)
        with urllib.request.urlopen(self.bridge.base + path, timeout=30) as answer:
            genuine = answer.read()
        # The last byte is the file's closing newline: the script runs the same without it.
        self.assertEqual(genuine[-1:], b"\n")
        forged = genuine[:-1] + b" "
        self.squatter.routes[path] = ("text/javascript; charset=utf-8", forged)
        src = self.squatter.origin + path
        self.pages.page("/pinned-squatter.html", line)
        self.pages.page("/unpinned-squatter.html", '<script src="%s"></script>' % src)

        with self.subTest("the old unpinned line runs the squatter's script"):
            open_page(self.driver, self.pages, "unpinned-squatter.html")
            self.assertEqual(call(self.driver, STATE), ["function", "object", []])

        with self.subTest("the pinned line refuses it"):
            self.squatter.asked.clear()
            self.driver.get_log("browser")
            open_page(self.driver, self.pages, "pinned-squatter.html")
            self.assertEqual(call(self.driver, STATE), ["undefined", "undefined", [src]])
            # Fetched, then refused for its digest: not merely unreachable.
            self.assertIn(path, self.squatter.asked)
            messages = [entry.get("message", "") for entry in self.driver.get_log("browser")]
            self.assertTrue(any("integrity" in m and src in m for m in messages), messages)


if __name__ == "__main__":
    fixture.main()
