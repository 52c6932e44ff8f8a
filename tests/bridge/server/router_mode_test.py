"""korvan-bridge behind the machine's router, against the real program: it serves a TCP
connection handed over on its unix socket, closes without a word one whose peer is another uid
(a client running as uid 65534 through setpriv, as in foreign_user_test.py), binds no TCP socket
of its own, registers its socket with the router as an O_PATH descriptor (also as the one-shot
--register), and ends by itself when idle. The router here is the test's own small stand-in.
The bin folder comes from KORVAN_BIN_DIR."""

import os
import shutil
import socket
import stat
import subprocess
import tempfile
import threading
import time
import unittest

FOREIGN_UID = 65534
SETPRIV = "/usr/bin/setpriv"
O_PATH = 0o10000000

# Connects to 127.0.0.1:PORT, asks for the page script and prints what came back (repr) before
# the connection ended, by a close or a reset.
FOREIGN_CLIENT = r'''
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
s.sendall(b"GET /korvan/activex.js HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nConnection: close\r\n\r\n" % sys.argv[1].encode())
got = b""
try:
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        got += chunk
except ConnectionResetError:
    pass
print(repr(got))
'''


def bin_dir():
    value = os.environ.get("KORVAN_BIN_DIR")
    if not value:
        raise RuntimeError("KORVAN_BIN_DIR is not set (CTest sets it to the build's bin folder)")
    return value


class FakeRouter:
    """Takes registrations on a unix socket and answers each with `answer`."""

    def __init__(self, path, answer=b"K"):
        self.answer = answer
        self.registrations = []  # (data, [(mode, inode, open flags)])
        self.arrived = threading.Event()
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(path)
        self.server.listen(8)
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while True:
            try:
                connection, _ = self.server.accept()
            except OSError:
                return
            with connection:
                connection.settimeout(5)
                data, fds, _, _ = socket.recv_fds(connection, 16, 4)
                seen = []
                for fd in fds:
                    with open("/proc/self/fdinfo/%d" % fd) as f:
                        flags = int(next(l for l in f if l.startswith("flags:")).split()[1], 8)
                    status = os.fstat(fd)
                    seen.append((status.st_mode, status.st_ino, flags))
                    os.close(fd)
                self.registrations.append((data, seen))
                connection.sendall(self.answer)
            self.arrived.set()

    def close(self):
        self.server.close()


class RouterModeTest(unittest.TestCase):
    def setUp(self):
        self.bin = bin_dir()
        self.root = tempfile.mkdtemp(prefix="bridge-router-mode-")
        for sub in ("config", "data", "state", "home", "run"):
            os.makedirs(os.path.join(self.root, sub), mode=0o700)
        os.makedirs(os.path.join(self.root, "run", "korvanng"), mode=0o700)
        self.socket_path = os.path.join(self.root, "run", "korvanng", "bridge.sock")
        self.router_path = os.path.join(self.root, "router.sock")
        self.env = {
            "PATH": "/usr/local/bin:/usr/bin:/bin",
            "HOME": os.path.join(self.root, "home"),
            "XDG_CONFIG_HOME": os.path.join(self.root, "config"),
            "XDG_DATA_HOME": os.path.join(self.root, "data"),
            "XDG_STATE_HOME": os.path.join(self.root, "state"),
            "XDG_RUNTIME_DIR": os.path.join(self.root, "run"),
            "LANG": "C.UTF-8",
            "QT_QPA_PLATFORM": "offscreen",
        }
        # Where the pages' connections arrive: the router's place, a port of the test's own.
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.process = None
        self.router = None

    def tearDown(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)
        if self.process:
            self.process.stdout.close()
        if self.router:
            self.router.close()
        self.listener.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def log_text(self):
        with open(os.path.join(self.root, "bridge.log")) as f:
            return f.read()

    def start_bridge(self, idle_seconds=600):
        env = dict(self.env, KORVAN_BRIDGE_IDLE_S=str(idle_seconds))
        log = open(os.path.join(self.root, "bridge.log"), "w")
        self.process = subprocess.Popen(
            [os.path.join(self.bin, "korvan-bridge"), "--listen-unix", self.socket_path, "--router",
             self.router_path, "--port", str(self.port)],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log, text=True)
        log.close()
        line = self.process.stdout.readline()
        self.assertIn("serving the connections handed over on " + self.socket_path, line, self.log_text())

    def hand_over(self, fds, byte=b"C"):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as unix:
            unix.connect(self.socket_path)
            socket.send_fds(unix, [byte], fds)

    def accept_one(self):
        """The router's side of the next connection to the test's port."""
        self.listener.settimeout(15)
        accepted, _ = self.listener.accept()
        return accepted

    def bridge_socket_inodes(self):
        inodes = set()
        fd_dir = "/proc/%d/fd" % self.process.pid
        for name in os.listdir(fd_dir):
            try:
                target = os.readlink(os.path.join(fd_dir, name))
            except OSError:
                continue
            if target.startswith("socket:["):
                inodes.add(target[8:-1])
        return inodes

    @staticmethod
    def tcp_inodes():
        inodes = set()
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            try:
                with open(table) as f:
                    next(f)
                    inodes.update(line.split()[9] for line in f if line.strip())
            except FileNotFoundError:
                pass
        return inodes

    def test_serves_handed_over_connections_of_its_uid_only(self):
        self.router = FakeRouter(self.router_path)
        self.start_bridge()

        # It tells the router where it is, as an O_PATH descriptor of its socket file.
        self.assertTrue(self.router.arrived.wait(10), self.log_text())
        data, seen = self.router.registrations[0]
        self.assertEqual(data, b"R")
        self.assertEqual(len(seen), 1)
        mode, inode, flags = seen[0]
        self.assertTrue(stat.S_ISSOCK(mode))
        self.assertEqual(inode, os.stat(self.socket_path).st_ino)
        self.assertTrue(flags & O_PATH, oct(flags))

        # None of its sockets is a TCP one: it listens on nothing but its unix socket.
        self.assertFalse(self.bridge_socket_inodes() & self.tcp_inodes(), self.log_text())

        # A connection of the bridge's own uid, handed over, is served like one it accepted.
        client = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        accepted = self.accept_one()
        self.hand_over([accepted.fileno()])
        accepted.close()
        client.sendall(b"GET /korvan/activex.js HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % self.port)
        self.assertTrue(client.recv(64).startswith(b"HTTP/1.1 200"), self.log_text())
        client.close()

        # What is not a loopback TCP connection is closed, and the bridge goes on.
        left, right = socket.socketpair()
        self.hand_over([left.fileno()])
        left.close()
        right.settimeout(10)
        self.assertEqual(right.recv(16), b"")
        right.close()

        # Another uid's connection, replayed as a router that was fooled would hand it over:
        # closed with no byte written.
        if os.geteuid() != 0:
            self.skipTest("not root: cannot run a client as uid %d" % FOREIGN_UID)
        scripts = tempfile.mkdtemp(prefix="bridge-router-client-")
        try:
            os.chmod(scripts, 0o755)
            script = os.path.join(scripts, "client.py")
            with open(script, "w") as f:
                f.write(FOREIGN_CLIENT)
            os.chmod(script, 0o644)
            foreign = subprocess.Popen(
                [SETPRIV, "--reuid=%d" % FOREIGN_UID, "--regid=%d" % FOREIGN_UID, "--clear-groups",
                 "/usr/bin/python3", script, str(self.port)],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd="/")
            accepted = self.accept_one()
            self.hand_over([accepted.fileno()])
            accepted.close()
            out, err = foreign.communicate(timeout=20)
        finally:
            shutil.rmtree(scripts, ignore_errors=True)
        self.assertEqual(out.strip(), "b''", err + self.log_text())
        self.assertIn("refused", self.log_text())
        self.assertIsNone(self.process.poll())

    def test_without_router_serves_and_ends_when_idle(self):
        self.start_bridge(idle_seconds=1)
        self.assertEqual(self.process.wait(timeout=30), 0, self.log_text())
        log = self.log_text()
        self.assertIn("not registered with the router", log)
        self.assertIn("idle", log)
        self.assertFalse(os.path.exists(self.socket_path), "the socket it made is removed")

    def register(self):
        return subprocess.run([os.path.join(self.bin, "korvan-bridge"), "--register", "--router", self.router_path],
                              env=self.env, capture_output=True, text=True, timeout=30)

    def test_register_gives_the_router_the_socket_and_starts_nothing(self):
        made = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        made.bind(self.socket_path)  # the default place under XDG_RUNTIME_DIR
        made.listen(1)
        made.setblocking(False)
        try:
            self.assertEqual(self.register().returncode, 1, "no router")

            self.router = FakeRouter(self.router_path)
            done = self.register()
            self.assertEqual(done.returncode, 0, done.stderr)
            (data, [(mode, inode, flags)]), = self.router.registrations
            self.assertEqual(data, b"R")
            self.assertTrue(stat.S_ISSOCK(mode) and flags & O_PATH)
            self.assertEqual(inode, os.stat(self.socket_path).st_ino)
            with self.assertRaises(BlockingIOError):
                made.accept()  # registering never connected to the bridge's socket

            self.router.answer = b"E"
            done = self.register()
            self.assertEqual(done.returncode, 1)
            self.assertEqual(len(done.stderr.strip().splitlines()), 1, done.stderr)
            self.assertIn("refused", done.stderr)
        finally:
            made.close()


if __name__ == "__main__":
    unittest.main()
