"""korvan-bridge-router between two users' stand-in bridges, as systemd would run it.

The test plays systemd: it binds the router's sockets and passes them (LISTEN_FDS) to the router,
which runs as a uid of its own; root's bridge socket is held by the test, which starts root's
stand-in bridge when a connection is pending on it, as a user's systemd does. The second user's
stand-in runs as nobody from a mode-0755 temporary folder and binds its own socket. The bin
folder comes from KORVAN_BIN_DIR."""

import os
import resource
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

PYTHON = "/usr/bin/python3"
SETPRIV = "/usr/bin/setpriv"
NOBODY = 65534
ROUTER_UID = 61234  # a uid of its own, as the router's system user is
STRANGER_UID = 61235  # a user without a bridge

# Passes the descriptors given as arguments on as 3, 4, ... with LISTEN_FDS, then runs the program.
LAUNCH = r'''
import fcntl, os, sys
count = int(sys.argv[1])
fds = [int(a) for a in sys.argv[2:2 + count]]
# Above every target number first, so that no move lands on a descriptor still to be moved.
moved = [fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 3 + count) for fd in fds]
for fd in fds:
    os.close(fd)
for i, fd in enumerate(moved):
    os.dup2(fd, 3 + i, inheritable=True)
    os.close(fd)
os.environ["LISTEN_FDS"] = str(count)
os.environ["LISTEN_PID"] = str(os.getpid())
os.execv(sys.argv[2 + count], sys.argv[2 + count:])
'''


def as_uid(uid, command):
    if uid == os.geteuid():
        return command
    return [SETPRIV, "--reuid=%d" % uid, "--regid=%d" % uid, "--clear-groups"] + command


def listen_tcp(family, host):
    s = socket.socket(family, socket.SOCK_STREAM)
    if family == socket.AF_INET6:
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    s.bind((host, 0))
    s.listen(4096)
    return s


def listen_unix(path, mode=0o666):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.bind(path)
    os.chmod(path, mode)
    s.listen(64)
    return s


def stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    if process.stdout:
        process.stdout.close()


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for %d" % pid)


class SocketActivation:
    """What a user's systemd does for its bridge socket: holds it, and starts the bridge when a
    connection is pending and no bridge runs."""

    def __init__(self, listener, command):
        self.listener = listener
        self.command = command
        self.bridge = None
        self.stopping = False
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def loop(self):
        import select
        while not self.stopping:
            readable, _, _ = select.select([self.listener], [], [], 0.05)
            if not readable or self.stopping:
                continue
            with self.lock:
                self.bridge = subprocess.Popen(
                    [PYTHON, "-I", "-c", LAUNCH, "1", str(self.listener.fileno())] + self.command,
                    pass_fds=(self.listener.fileno(),), stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL)
            self.bridge.wait()

    def pid(self):
        with self.lock:
            return self.bridge.pid if self.bridge else None

    def stop(self):
        self.stopping = True
        with self.lock:
            if self.bridge and self.bridge.poll() is None:
                self.bridge.kill()
        self.thread.join(timeout=10)
        self.listener.close()


class RouterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root, to run the bridges and the router as uids of their own")
        bin_dir = os.environ.get("KORVAN_BIN_DIR")
        if not bin_dir:
            raise RuntimeError("KORVAN_BIN_DIR is not set (CTest sets it to the build's bin folder)")
        cls.router_program = os.path.join(bin_dir, "korvan-bridge-router")
        cls.cleanups = []
        try:
            cls.set_up_folders()
            cls.start_router()
            cls.start_bridges()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def set_up_folders(cls):
        # Everything the other uids run or reach is in this 0755 folder; each bridge's socket is
        # in a 0700 folder of its own user, as in a user's runtime folder.
        cls.root = tempfile.mkdtemp(prefix="router-test-")
        cls.cleanups.append(lambda: shutil.rmtree(cls.root, ignore_errors=True))
        os.chmod(cls.root, 0o755)
        cls.peer = os.path.join(cls.root, "peer.py")
        shutil.copy(os.path.join(os.path.dirname(os.path.abspath(__file__)), "peer.py"), cls.peer)
        os.chmod(cls.peer, 0o644)
        cls.root_runtime = os.path.join(cls.root, "runtime-0")
        cls.nobody_runtime = os.path.join(cls.root, "runtime-nobody")
        for folder, uid in ((cls.root_runtime, 0), (cls.nobody_runtime, NOBODY)):
            os.mkdir(folder, 0o700)
            os.chown(folder, uid, uid)
        cls.router_socket = os.path.join(cls.root, "router.sock")

    @classmethod
    def start_router(cls):
        held = [listen_tcp(socket.AF_INET, "127.0.0.1"), listen_tcp(socket.AF_INET6, "::1"),
                listen_unix(cls.router_socket)]
        cls.port4 = held[0].getsockname()[1]
        cls.port6 = held[1].getsockname()[1]
        cls.router_log = os.path.join(cls.root, "router.log")
        cls.router = cls.launch_router(held, cls.router_log)
        cls.cleanups.append(lambda: stop(cls.router))
        for s in held:
            s.close()

    @classmethod
    def launch_router(cls, passed, log_path, env=None, nofile=None):
        """The router as its own uid, with the descriptors `passed` as systemd passes them, and
        at most `nofile` descriptors when given."""
        fds = [f if isinstance(f, int) else f.fileno() for f in passed]
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))) if nofile else None
        with open(log_path, "a") as log:
            router = subprocess.Popen(
                as_uid(ROUTER_UID, [PYTHON, "-I", "-c", LAUNCH, str(len(fds))] + [str(f) for f in fds] +
                       [cls.router_program]),
                pass_fds=fds, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log, text=True,
                env=dict(os.environ, **(env or {})), preexec_fn=limit)
        lines = []
        while not lines or not lines[-1].startswith("ready"):
            line = router.stdout.readline()
            if not line:
                stop(router)
                with open(log_path, encoding="utf-8", errors="replace") as f:
                    raise RuntimeError("the router did not start: " + f.read())
            lines.append(line)
        assert any(l.startswith("registration ") for l in lines), lines
        return router

    @classmethod
    def start_bridges(cls):
        cls.root_socket = os.path.join(cls.root_runtime, "bridge.sock")
        cls.activation = SocketActivation(listen_unix(cls.root_socket),
                                          [PYTHON, "-I", cls.peer, "bridge", "root-bridge", cls.router_socket])
        cls.cleanups.append(cls.activation.stop)
        # The user's socket unit registers when it creates the socket; that starts no bridge.
        assert cls.register(0, cls.root_socket) == "K"
        assert cls.activation.pid() is None
        cls.nobody_socket = os.path.join(cls.nobody_runtime, "bridge.sock")
        cls.nobody_bridge = cls.start_own_bridge("nobody-bridge", cls.nobody_socket)

    @classmethod
    def start_own_bridge(cls, name, path):
        bridge = subprocess.Popen(as_uid(NOBODY, [PYTHON, "-I", cls.peer, "bridge", name, cls.router_socket, path]),
                                  cwd=cls.root, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        cls.cleanups.append(lambda: (bridge.kill(), bridge.wait(), bridge.stdout.close()))
        if bridge.stdout.readline().strip() != "ready":
            raise RuntimeError("%s did not start: %s" % (name, cls.log_text()))
        return bridge

    @classmethod
    def tearDownClass(cls):
        for cleanup in reversed(getattr(cls, "cleanups", [])):
            cleanup()

    @classmethod
    def log_text(cls):
        with open(cls.router_log, encoding="utf-8", errors="replace") as f:
            return f.read()

    @classmethod
    def peer_command(cls, uid, *args):
        done = subprocess.run(as_uid(uid, [PYTHON, "-I", cls.peer] + list(args)), cwd=cls.root,
                              capture_output=True, text=True, timeout=30)
        if done.returncode != 0:
            raise RuntimeError("peer.py %s failed: %s" % (args[0], done.stderr))
        return done.stdout.strip()

    @classmethod
    def register(cls, uid, path):
        return cls.peer_command(uid, "register", cls.router_socket, path)

    def call(self, uid, host="127.0.0.1"):
        return self.peer_command(uid, "call", host, str(self.port4 if host == "127.0.0.1" else self.port6))

    def assert_served(self, uid, name, host="127.0.0.1"):
        answer = self.call(uid, host)
        self.assertTrue(answer.startswith("%s uid=%d " % (name, uid)),
                        "uid %d on %s got %r\n%s" % (uid, host, answer, self.log_text()))
        return int(answer.rsplit("pid=", 1)[1])

    def test_each_uid_reaches_its_own_bridge_only(self):
        for round in range(3):
            for host in ("127.0.0.1", "::1"):
                with self.subTest(round=round, host=host):
                    self.assert_served(0, "root-bridge", host)
                    self.assert_served(NOBODY, "nobody-bridge", host)

    def test_a_uid_without_a_bridge_is_closed(self):
        for host in ("127.0.0.1", "::1"):
            self.assertEqual(self.call(STRANGER_UID, host), "closed")
        self.assertIn("uid %d: no bridge registered" % STRANGER_UID, self.log_text())

    def test_a_killed_bridge_comes_back_on_the_next_call(self):
        first = self.assert_served(0, "root-bridge")
        os.kill(first, signal.SIGKILL)
        deadline = time.monotonic() + 10
        while self.activation.pid() == first and self.activation.bridge.poll() is None:
            self.assertLess(time.monotonic(), deadline, "the killed bridge did not go")
            time.sleep(0.02)
        second = self.assert_served(0, "root-bridge")
        self.assertNotEqual(second, first)

    def test_registrations_are_keyed_by_the_registering_uid(self):
        # Another user's socket file, reachable by path, is not nobody's to register.
        squatted = os.path.join(self.root, "root-visible.sock")
        visible = listen_unix(squatted)
        self.addCleanup(visible.close)
        # A registration carries a socket file, and one descriptor of it.
        plain = os.path.join(self.root, "plain-file")
        with open(plain, "w"):
            pass
        os.chown(plain, NOBODY, NOBODY)
        for what, path in (("another uid's socket", squatted), ("a plain file", plain)):
            with self.subTest(what):
                self.assertEqual(self.register(NOBODY, path), "E")
        self.assertIn("refused a registration of uid %d: socket file owned by uid 0" % NOBODY, self.log_text())
        for message, count in ((b"R", 2), (b"X", 1), (b"R", 0), (b"RR", 1)):
            with self.subTest(message=message, descriptors=count):
                fd = os.open(self.nobody_socket, os.O_PATH)
                with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                    s.settimeout(10)
                    s.connect(self.router_socket)
                    socket.send_fds(s, [message], [fd] * count)
                    self.assertEqual(s.recv(1), b"E")
                os.close(fd)
        # Refused ones changed nothing: both users still reach their own bridges only.
        self.assert_served(0, "root-bridge")
        self.assert_served(NOBODY, "nobody-bridge")

        # A socket file nobody owns but another uid listens on (only root can make one) is not
        # nobody's bridge either: its calls are closed and the registration is dropped.
        foreign_listener = os.path.join(self.nobody_runtime, "chowned.sock")
        chowned = listen_unix(foreign_listener)
        self.addCleanup(chowned.close)
        os.chown(foreign_listener, NOBODY, NOBODY)
        self.assertEqual(self.register(NOBODY, foreign_listener), "K")
        self.assertEqual(self.call(NOBODY), "closed")
        self.assertIn("uid %d and dropped its registration: its socket is listened on by uid 0" % NOBODY,
                      self.log_text())
        self.assertEqual(self.call(NOBODY), "closed")
        self.assertIn("uid %d: no bridge registered" % NOBODY, self.log_text())

        # A new registration of nobody's own takes the place of the earlier one.
        self.start_own_bridge("nobody-second", os.path.join(self.nobody_runtime, "second.sock"))
        self.assert_served(NOBODY, "nobody-second")
        self.assertEqual(self.register(NOBODY, self.nobody_socket), "K")
        self.assert_served(NOBODY, "nobody-bridge")
        self.assert_served(0, "root-bridge")

    def nobody_peer(self, *args):
        """A peer.py command as nobody that runs until its stdin closes."""
        peer = subprocess.Popen(as_uid(NOBODY, [PYTHON, "-I", self.peer] + list(args)), cwd=self.root,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (peer.kill(), peer.wait(), peer.stdin.close(), peer.stdout.close()))
        return peer

    def test_a_bridge_that_never_takes_its_connections_holds_up_no_other_uid(self):
        # A router of its own with few descriptors (room for 64 hand-overs per uid still), so that
        # a flood soon passes the kernel's limit on descriptors in flight.
        registration = os.path.join(self.root, "router-flooded.sock")
        held = [listen_tcp(socket.AF_INET, "127.0.0.1"), listen_unix(registration)]
        for s in held:
            self.addCleanup(s.close)
        log = os.path.join(self.root, "router-flooded.log")
        router = self.launch_router(held, log, nofile=1280)
        self.addCleanup(stop, router)
        port = str(held[0].getsockname()[1])

        def log_text():
            with open(log, encoding="utf-8", errors="replace") as f:
                return f.read()

        def root_is_served():
            answer = self.peer_command(0, "call", "127.0.0.1", port)
            self.assertTrue(answer.startswith("root-bridge uid=0 "), "%r\n%s" % (answer, log_text()[-2000:]))

        self.register_here(self.root_socket, registration)
        root_is_served()
        idle_fds = fd_count(router.pid)
        # nobody registers a socket it never accepts on, and opens more connections than the
        # router has descriptors.
        attacker = self.nobody_peer("stuck", registration, os.path.join(self.nobody_runtime, "stuck.sock"),
                                    port, "1400")
        self.assertEqual(attacker.stdout.readline().strip(), "flooded")
        root_is_served()
        # Two descriptors per hand-over in flight, for 64 of nobody's at most; the rest were closed.
        self.assertLessEqual(fd_count(router.pid), idle_fds + 2 * 64 + 2)
        self.assertIn("closed a connection of uid %d: 64 hand-overs to its bridge are in flight" % NOBODY,
                      log_text())
        # The ones in flight are closed when their bridge does not take them in time.
        still_open, _, seconds = attacker.stdout.readline().split()[1:4]
        self.assertEqual(int(still_open), 0)
        self.assertLess(float(seconds), 10)
        # Once the stuck socket is gone, so are the descriptors the router kept to watch it; what
        # stays is nobody's registration.
        attacker.stdin.close()
        attacker.wait(timeout=10)
        deadline = time.monotonic() + 10
        while fd_count(router.pid) > idle_fds + 1 and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(fd_count(router.pid), idle_fds + 1)
        root_is_served()

    def test_idle_registration_connections_of_one_uid_push_out_no_other_uid(self):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(10)
            # Taken in by the router before nobody's connections, and waiting for its message.
            s.connect(self.router_socket)
            idle = self.nobody_peer("idle", self.router_socket, "400")
            self.assertEqual(idle.stdout.readline().strip(), "ready")
            fd = os.open(self.root_socket, os.O_PATH)
            try:
                socket.send_fds(s, [b"R"], [fd])
            finally:
                os.close(fd)
            self.assertEqual(s.recv(1), b"K", self.log_text()[-2000:])

    def test_memory_and_descriptors_stay_flat_over_ten_thousand_connections(self):
        body = b"GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"

        def connections(count):
            for i in range(count):
                # Registrations are replaced all along, each closing the one before.
                if i % 10 == 0:
                    self.register_here(self.root_socket)
                with socket.create_connection(("127.0.0.1", self.port4), timeout=10) as s:
                    s.sendall(body)
                    answer = b""
                    while True:
                        chunk = s.recv(4096)
                        if not chunk:
                            break
                        answer += chunk
                    self.assertIn(b"root-bridge uid=0 ", answer)

        connections(1000)
        fds, rss = fd_count(self.router.pid), rss_kib(self.router.pid)
        connections(10000)
        self.assertLessEqual(fd_count(self.router.pid), fds * 1.1, self.log_text()[-2000:])
        self.assertLessEqual(rss_kib(self.router.pid), rss * 1.1)

    def test_a_restarted_router_takes_back_the_registrations_systemd_kept(self):
        notify_path = os.path.join(self.root, "notify.sock")
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(notify_path)
        os.chmod(notify_path, 0o666)
        self.addCleanup(notify.close)
        registration = os.path.join(self.root, "router-restarted.sock")
        held = [listen_tcp(socket.AF_INET, "127.0.0.1"), listen_unix(registration)]
        for s in held:
            self.addCleanup(s.close)
        log = os.path.join(self.root, "router-restarted.log")
        first = self.launch_router(held, log, {"NOTIFY_SOCKET": notify_path})
        self.addCleanup(stop, first)
        self.register_here(self.root_socket, registration)
        self.register_here(self.root_socket, registration)  # replaces, and so the kept one too
        self.assertEqual(self.peer_command(NOBODY, "register", registration, self.nobody_socket), "K")
        stop(first)

        # The store as systemd keeps it: FDSTOREREMOVE takes every descriptor of that name.
        store = {}
        notify.setblocking(False)
        while True:
            try:
                message, fds, _, _ = socket.recv_fds(notify, 4096, 4)
            except BlockingIOError:
                break
            fields = dict(line.split("=", 1) for line in message.decode().split("\n") if "=" in line)
            if fields.get("FDSTOREREMOVE") == "1":
                for fd in store.pop(fields["FDNAME"], []):
                    os.close(fd)
            elif fields.get("FDSTORE") == "1":
                store.setdefault(fields["FDNAME"], []).extend(fds)
        for kept in store.values():
            for fd in kept:
                self.addCleanup(os.close, fd)
        self.assertEqual({name: len(kept) for name, kept in store.items()}, {"uid-0": 1, "uid-%d" % NOBODY: 1})

        names = ["router.socket", "router.socket"] + list(store)
        second = self.launch_router(held + [kept[0] for kept in store.values()], log,
                                    {"LISTEN_FDNAMES": ":".join(names)})
        self.addCleanup(stop, second)
        port = held[0].getsockname()[1]
        self.assertTrue(self.peer_command(NOBODY, "call", "127.0.0.1", str(port)).startswith("nobody-bridge uid=65534 "))
        self.assertTrue(self.peer_command(0, "call", "127.0.0.1", str(port)).startswith("root-bridge uid=0 "))

    def test_the_real_bridge_registers_and_is_handed_its_users_connections(self):
        # Set by the build only where korvan-bridge is one of its programs.
        program = os.environ.get("KORVAN_REAL_BRIDGE")
        if not program:
            self.skipTest("korvan-bridge is not a program of this build")
        if not os.path.exists(program):
            self.fail("korvan-bridge is a program of this build but is not built: " + program)
        home = tempfile.mkdtemp(prefix="router-real-bridge-")
        self.addCleanup(shutil.rmtree, home, True)
        for sub in ("config", "data", "state", "home", "run"):
            os.makedirs(os.path.join(home, sub), mode=0o700)
        env = {"PATH": "/usr/bin:/bin", "HOME": os.path.join(home, "home"), "LANG": "C.UTF-8",
               "XDG_CONFIG_HOME": os.path.join(home, "config"), "XDG_DATA_HOME": os.path.join(home, "data"),
               "XDG_STATE_HOME": os.path.join(home, "state"), "XDG_RUNTIME_DIR": os.path.join(home, "run"),
               "QT_QPA_PLATFORM": "offscreen"}
        path = os.path.join(home, "run", "bridge.sock")
        bridge = subprocess.Popen([program, "--listen-unix", path, "--router", self.router_socket,
                                   "--port", str(self.port4)], env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(stop, bridge)
        # Root's own stand-in comes back when the real bridge has taken its place.
        self.addCleanup(self.register_here, self.root_socket)
        self.assertIn("serving the connections handed over", bridge.stdout.readline())
        deadline = time.monotonic() + 10
        answer = b""
        # The stand-in answers 200 as well; only the real bridge serves the page script.
        while b"javascript" not in answer and time.monotonic() < deadline:
            with socket.create_connection(("127.0.0.1", self.port4), timeout=10) as s:
                s.sendall(b"GET /korvan/activex.js HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % self.port4)
                answer = s.recv(4096)
            if b"javascript" not in answer:
                time.sleep(0.1)  # its registration may still be on the way
        self.assertTrue(answer.startswith(b"HTTP/1.1 200") and b"javascript" in answer,
                        "%r\n%s" % (answer, self.log_text()))
        self.assert_served(NOBODY, "nobody-bridge")

    def register_here(self, path, router=None):
        fd = os.open(path, os.O_PATH | os.O_CLOEXEC)
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.settimeout(10)
                s.connect(router or self.router_socket)
                socket.send_fds(s, [b"R"], [fd])
                self.assertEqual(s.recv(1), b"K")
        finally:
            os.close(fd)


SKIPPED = 77  # CTest's SKIP_RETURN_CODE: a run that could test nothing is no pass


if __name__ == "__main__":
    result = unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2, exit=False).result
    if not result.wasSuccessful():
        sys.exit(1)
    if result.skipped and result.testsRun <= len(result.skipped):
        sys.exit(SKIPPED)
