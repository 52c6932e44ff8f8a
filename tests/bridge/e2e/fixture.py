"""What the browser tests stand on: a private token store that both token modules read, the
controls and providers registered into a private registry store, certificates imported with
korvanng-tool, a scripted pinentry, the real korvan-bridge on a free port, the test pages served
from other loopback ports, and headless Chromium driven through chromedriver.

Usage: a test class derives from BrowserTest, or: with World() as world: ...
The bin folder comes from KORVAN_BIN_DIR (CTest sets it)."""

import http.server
import json
import os
import re
import shutil
import signal
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PAGES = os.path.join(HERE, "pages")
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
FIREFOX = "/usr/bin/firefox-esr"
FIREFOX_DRIVER = os.path.join(HERE, "public", "firefox_driver.js")
# Where scripts/install-deps.sh runs `npm ci` (the test tooling from the npm registry).
NODE_MODULES = os.environ.get("KORVAN_NODE_MODULES") or os.path.join(
    HERE, "..", "..", "..", "build", "node", "node_modules")
SO_PIN = "12345678"
USER_PIN = "1234"
P12_PASSWORD = "secret"
SLOTS = 4


def bin_dir():
    value = os.environ.get("KORVAN_BIN_DIR")
    if not value:
        raise RuntimeError("KORVAN_BIN_DIR is not set (CTest sets it to the build's bin folder)")
    return value


def run(args, stdin=None, env=None, check=True):
    done = subprocess.run(args, input=stdin, env=env, capture_output=True, text=True, timeout=120)
    if check and done.returncode != 0:
        raise RuntimeError("%s failed (%d): %s%s" % (args[0], done.returncode, done.stdout, done.stderr))
    return done


class Identity:
    """A key pair and a self-signed certificate, as files, and the PKCS#12 file made of them."""

    def __init__(self, folder, name, common_name):
        self.common_name = common_name
        self.key = os.path.join(folder, name + ".key")
        self.certificate = os.path.join(folder, name + ".crt")
        self.pkcs12 = os.path.join(folder, name + ".p12")
        run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key,
             "-out", self.certificate, "-subj", "/CN=" + common_name, "-days", "30"])
        run(["openssl", "pkcs12", "-export", "-inkey", self.key, "-in", self.certificate,
             "-out", self.pkcs12, "-passout", "pass:" + P12_PASSWORD])


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class PageCertificate:
    """A self-signed server certificate for the given host names, made with openssl."""

    def __init__(self, folder, hosts):
        self.key = os.path.join(folder, "pages.key")
        self.certificate = os.path.join(folder, "pages.crt")
        names = ",".join("DNS:" + host for host in hosts)
        run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key,
             "-out", self.certificate, "-subj", "/CN=" + hosts[0], "-days", "2",
             "-addext", "subjectAltName=" + names])


class PageServer:
    """The test pages, from a loopback port of their own (so from another origin than the
    bridge's). Pages name the bridge as @BRIDGE@, which is replaced when served.
    With a host, the origin carries that name (the browser maps it to 127.0.0.1); with a
    certificate as well, the pages are served over https."""

    def __init__(self, host=None, certificate=None):
        pages = PAGES
        self.bridge_base = None
        owner = self

        class Handler(_QuietHandler):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=pages, **kwargs)

            def do_GET(self):
                path = os.path.join(pages, os.path.basename(self.path.split("?")[0]))
                if not os.path.isfile(path):
                    self.send_error(404)
                    return
                with open(path, encoding="utf-8") as f:
                    body = f.read().replace("@BRIDGE@", owner.bridge_base).encode("utf-8")
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8" if path.endswith(".html")
                                 else "text/javascript; charset=utf-8")
                self.send_header("Cache-Control", "no-store")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = True

            def get_request(self):
                connection, address = super().get_request()
                if certificate is None:
                    return connection, address
                # The handshake runs in the handler's thread, at its first read, so one stalled
                # client cannot hold the accepting loop.
                return tls.wrap_socket(connection, server_side=True,
                                       do_handshake_on_connect=False), address

            def handle_error(self, request, client_address):
                pass  # a browser dropping a connection or refusing a handshake is not a failure

        tls = None
        if certificate is not None:
            tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            tls.load_cert_chain(certificate.certificate, certificate.key)
        self.server = Server(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.host = host or "127.0.0.1"
        self.public = host is not None
        self.origin = "%s://%s:%d" % ("https" if certificate else "http", self.host, self.port)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class FirefoxDriver:
    """Headless Firefox ESR over WebDriver BiDi, through firefox_driver.js (puppeteer-core),
    with the calls of a selenium driver that the tests use."""

    def __init__(self, profile, prefs, executable=FIREFOX):
        if not os.access(FIREFOX, os.X_OK):
            raise RuntimeError(FIREFOX + " is missing (scripts/install-deps.sh installs it)")
        node = shutil.which("node")
        if node is None:
            raise RuntimeError("node is missing (scripts/install-deps.sh installs nodejs)")
        if not os.path.isdir(os.path.join(NODE_MODULES, "puppeteer-core")):
            raise unittest.SkipTest("puppeteer-core is not installed in %s: run scripts/install-deps.sh"
                                    % os.path.normpath(NODE_MODULES))
        env = dict(os.environ, KORVAN_NODE_MODULES=os.path.abspath(NODE_MODULES))
        config = {"executablePath": executable, "profile": profile, "prefs": prefs}
        self.stderr = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen([node, FIREFOX_DRIVER, json.dumps(config)], env=env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.stderr, text=True)
        try:
            self._answer()
        except BaseException:
            self.quit()
            raise

    def _answer(self):
        line = self.process.stdout.readline()
        if not line:
            self.stderr.seek(0)
            raise RuntimeError("firefox_driver.js ended: " + self.stderr.read()[-4000:])
        got = json.loads(line)
        if "error" in got:
            raise RuntimeError("Firefox: " + got["error"])
        return got["value"]

    def _send(self, **command):
        self.process.stdin.write(json.dumps(command) + "\n")
        self.process.stdin.flush()
        return self._answer()

    def get(self, url, timeout_s=60):
        self._send(op="goto", url=url, timeout=int(timeout_s * 1000))

    def execute_script(self, body, *args):
        return self._send(op="eval", body=body, args=list(args), **{"async": False})

    def execute_async_script(self, body, *args):
        return self._send(op="eval", body=body, args=list(args), **{"async": True})

    def console(self):
        return self._send(op="console")

    def set_loopback_permission(self, origin, state):
        self._send(op="permission", origin=origin, state=state)

    def quit(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write(json.dumps({"op": "quit"}) + "\n")
                self.process.stdin.close()
                self.process.wait(timeout=20)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
        self.stderr.close()


def firefox_prefs(public=()):
    """Every name resolves to 127.0.0.1, and the page servers' address and port (theirs only,
    never the bridge's) count as a public address."""
    prefs = {"privacy.reduceTimerPrecision": False}
    if public:
        prefs["network.dns.forceResolve"] = "127.0.0.1"
        prefs["network.lna.address_space.public.override"] = ",".join(
            "127.0.0.1:%d" % server.port for server in public)
    return prefs


class Bridge:
    """korvan-bridge --port 0, with the given origins pre-approved and no display."""

    def __init__(self, world, allow):
        self.world = world
        env = dict(world.env)
        env["KORVAN_BRIDGE_ALLOW"] = ",".join(allow)
        env["QT_QPA_PLATFORM"] = "offscreen"
        self.log_path = os.path.join(world.root, "bridge-%d.log" % time.monotonic_ns())
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen([os.path.join(world.bin, "korvan-bridge"), "--port", "0"],
                                        env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=self.log, text=True)
        self.port = None
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            line = self.process.stdout.readline()
            if not line:
                break
            found = re.search(r"listening on http://127\.0\.0\.1:(\d+)", line)
            if found:
                self.port = int(found.group(1))
                break
        if self.port is None:
            self.stop()
            raise RuntimeError("korvan-bridge did not start: " + self.log_text())
        # Keep reading so the bridge never blocks on a full pipe.
        threading.Thread(target=self.process.stdout.read, daemon=True).start()
        self.base = "http://127.0.0.1:%d" % self.port

    def log_text(self):
        self.log.flush()
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


class World:
    """One private store and registry with two tokens:
    "pair" holds one certificate of each family (base: no marker; _Ex: name ending "_TQB"),
    "single" holds one unmarked certificate only (for the families that offer every certificate).
    Slot 1 starts with "pair"."""

    def __init__(self):
        self.bin = bin_dir()
        self.root = tempfile.mkdtemp(prefix="bridge-e2e-")
        os.chmod(self.root, 0o700)
        self.conf = os.path.join(self.root, "token.conf")
        # In the token store: a confined worker, and so its pinentry, writes nowhere else.
        self.pinentry_log = os.path.join(self.root, "store", "pinentry.log")
        os.makedirs(os.path.join(self.root, "store"))
        with open(self.conf, "w") as f:
            f.write("store_dir = %s/store\nslots = %d\npin_iterations = 1\n" % (self.root, SLOTS))
        # The bridge gives its workers a fresh environment, so the scripted pinentry's settings
        # travel in a wrapper rather than in variables.
        self.pinentry = os.path.join(self.root, "pinentry")
        with open(self.pinentry, "w") as f:
            f.write("#!/bin/sh\nPINENTRY_SCRIPT_MODE=pin PINENTRY_SCRIPT_PIN=%s PINENTRY_SCRIPT_LOG='%s' "
                    "exec '%s'\n" % (USER_PIN, self.pinentry_log,
                                     os.path.join(self.bin, "control_host_pinentry")))
        os.chmod(self.pinentry, 0o700)
        for sub in ("config", "data", "runtime", "home"):
            os.makedirs(os.path.join(self.root, sub), mode=0o700)
        self.env = {
            "PATH": "/usr/local/bin:/usr/bin:/bin",
            "HOME": os.path.join(self.root, "home"),
            "XDG_CONFIG_HOME": os.path.join(self.root, "config"),
            "XDG_DATA_HOME": os.path.join(self.root, "data"),
            "XDG_RUNTIME_DIR": os.path.join(self.root, "runtime"),
            "LANG": "C.UTF-8",
            "KORVAN_ANSI_CODEPAGE": "1252",
            "MERIDIA_TOKEN_CONF": self.conf,
            "SKYRA_TOKEN_CONF": self.conf,
            "KORVAN_REGISTRY_DIR": os.path.join(self.root, "registry"),
            "KORVAN_PINENTRY": self.pinentry,
            # What the wrapper runs, so that a confined worker may execute it too.
            "KORVAN_PINENTRY_EXEC": os.path.join(self.bin, "control_host_pinentry"),
        }
        self.bridges = []
        self.page_servers = []
        self.drivers = []
        try:
            self._register()
            self.plain = Identity(self.root, "plain", "Plain Signer")
            self.marked = Identity(self.root, "marked", "Enrol Signer_TQB")
            self.only = Identity(self.root, "only", "Single Signer")
            self.make_token("pair", [self.plain, self.marked])
            self.make_token("single", [self.only])
            self.insert("pair")
        except BaseException:
            self.close()
            raise

    # ---- the store ----

    def _register(self):
        regsvr32 = os.path.join(self.bin, "korvan-regsvr32")
        for module in ("libQXMeridiaControl.so", "libMeridiaVaultora.so", "libkorvan_csp_meridia.so",
                       "libkorvan_csp_skyra.so", "libkorvan_rsa_provider.so"):
            run([regsvr32, "/s", os.path.join(self.bin, module)], env=self.env)

    def tokenctl(self, *args, stdin=None):
        return run([os.path.join(self.bin, "tokenctl"), "--conf", self.conf] + list(args),
                   stdin=stdin, env=self.env)

    def make_token(self, name, identities):
        self.tokenctl("create", name, "--label", name, "--pins-stdin",
                      stdin="%s\n%s\n" % (SO_PIN, USER_PIN))
        self.tokenctl("insert", name, "--slot", "1")
        for identity in identities:
            run([os.path.join(self.bin, "korvanng-tool"), "import", "--slot", "1", identity.pkcs12,
                 "--pin-stdin", "--password-stdin", "--yes"],
                stdin="%s\n%s\n" % (USER_PIN, P12_PASSWORD), env=self.env)
        self.tokenctl("remove", "--slot", "1")

    def insert(self, name, slot=1):
        self.tokenctl("insert", name, "--slot", str(slot))

    def remove(self, slot=1):
        self.tokenctl("remove", "--slot", str(slot))

    def pin_requests(self):
        if not os.path.exists(self.pinentry_log):
            return 0
        with open(self.pinentry_log) as f:
            return sum(1 for line in f if line.strip() == "GETPIN")

    # ---- processes ----

    def certificate(self, hosts):
        return PageCertificate(tempfile.mkdtemp(prefix="pages-", dir=self.root), hosts)

    def start(self, pages=1, public=(), approve=None):
        """Page servers on free ports, then a bridge that pre-approves their origins (or only the
        origins approve names). public: (host, certificate or None) pairs, one server each, whose
        origins carry that name."""
        servers = [PageServer() for _ in range(pages)]
        servers += [PageServer(host, certificate) for host, certificate in public]
        self.page_servers.extend(servers)
        approved = [server.origin for server in servers] if approve is None else list(approve)
        bridge = Bridge(self, approved)
        self.bridges.append(bridge)
        for server in servers:
            server.bridge_base = bridge.base
        return bridge, servers

    def browser(self, public=(), user_data_dir=None, chromedriver=CHROMEDRIVER):
        """Headless Chromium. public: page servers whose names resolve to 127.0.0.1 and whose
        address and port (theirs only, never the bridge's) count as a public address.
        chromedriver: the driver itself, or a wrapper that execs it."""
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        for program in (CHROMIUM, CHROMEDRIVER):
            if not os.access(program, os.X_OK):
                raise RuntimeError(program + " is missing (scripts/install-deps.sh installs it)")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        options.add_argument("--headless=new")
        if os.geteuid() == 0:
            options.add_argument("--no-sandbox")
        options.add_argument("--disable-gpu")
        options.add_argument("--disable-dev-shm-usage")
        options.add_argument("--no-first-run")
        options.add_argument("--user-data-dir=" + (user_data_dir or
                                                   tempfile.mkdtemp(prefix="profile-", dir=self.root)))
        if public:
            hosts = sorted({server.host for server in public})
            options.add_argument("--host-resolver-rules=" +
                                 ",".join("MAP %s 127.0.0.1" % host for host in hosts))
            options.add_argument("--ip-address-space-overrides=" +
                                 ",".join("127.0.0.1:%d=public" % server.port for server in public))
            options.set_capability("acceptInsecureCerts", True)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        driver = webdriver.Chrome(service=Service(chromedriver), options=options)
        driver.set_script_timeout(120)
        driver.set_page_load_timeout(60)
        self.drivers.append(driver)
        return driver

    def firefox(self, public=(), prefs=None, executable=FIREFOX):
        """executable: Firefox itself, or a wrapper that execs it."""
        profile = tempfile.mkdtemp(prefix="firefox-", dir=self.root)
        driver = FirefoxDriver(profile, dict(firefox_prefs(public), **(prefs or {})), executable)
        self.drivers.append(driver)
        return driver

    def close(self):
        for driver in self.drivers:
            try:
                driver.quit()
            except Exception:
                pass
        for bridge in self.bridges:
            bridge.stop()
        for server in self.page_servers:
            server.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class BrowserTest(unittest.TestCase):
    """Once for the test class: a World, `page_servers` page servers (cls.servers, the first also
    cls.pages), a bridge that pre-approves them (cls.bridge) and a browser (cls.driver); all of it
    closed after the class, or at once when the set-up fails."""

    page_servers = 1

    @classmethod
    def setUpClass(cls):
        cls.world = World()
        try:
            cls.prepare()
            cls.bridge, cls.servers = cls.world.start(pages=cls.page_servers)
            cls.pages = cls.servers[0]
            cls.driver = cls.world.browser()
            cls.ready()
        except BaseException:
            cls.world.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.world.close()

    @classmethod
    def prepare(cls):
        """What the class needs before the bridge starts."""

    @classmethod
    def ready(cls):
        """What the class needs once the browser runs."""


def set_loopback_permission(driver, origin, state):
    """Grants or denies an origin the browser's loopback-network permission, as a user would
    in the prompt, so that no test waits on one."""
    if isinstance(driver, FirefoxDriver):
        driver.set_loopback_permission(origin, state)
        return
    driver.execute_cdp_cmd("Browser.setPermission", {
        "origin": origin, "permission": {"name": "loopback-network"}, "setting": state})


def open_page(driver, server, page="page.html"):
    driver.get("%s/%s" % (server.origin, page))


def call(driver, body, *args):
    """Runs body (a function body using the page's helpers) synchronously in the page."""
    return driver.execute_script(body, *args)


def call_async(driver, body, *args):
    """Runs an async function body in the page; its returned value (or thrown message) comes back
    as {"value": ...} or {"error": "..."}."""
    script = ("const done = arguments[arguments.length - 1];"
              "(async function () {" + body + "}).apply(null, Array.from(arguments).slice(0, -1))"
              ".then(v => done({value: v}), e => done({error: String(e && e.message || e)}));")
    return driver.execute_async_script(script, *args)


SKIPPED = 77  # what CTest's SKIP_RETURN_CODE names: a test whose tool is missing is no pass


def main():
    """Runs the test module's cases; a failing set-up is a failure, never a skip. When every
    case was skipped (a tool missing, given as the reason), the exit code is SKIPPED."""
    program = unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2, exit=False)
    result = program.result
    if not result.wasSuccessful():
        sys.exit(1)
    if result.skipped and result.testsRun <= len(result.skipped):
        sys.exit(SKIPPED)
    sys.exit(0)
