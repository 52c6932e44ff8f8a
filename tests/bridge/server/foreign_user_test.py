"""Another user of the machine reaches the bridge's loopback port like anyone, and can write any
Origin it likes. The real korvan-bridge must refuse it before reading its request, so that no
worker starts for it, while the bridge's own user is still served.

The foreign client is python3 running a script from a mode-0755 folder as uid 65534, started
through setpriv (the test runs as root, as CI does). The bin folder comes from KORVAN_BIN_DIR."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

FOREIGN_UID = 65534
PYTHON = "/usr/bin/python3"
SETPRIV = "/usr/bin/setpriv"
PROG_ID = "QXMeridiaControl.SGN"
# Approved beforehand; no page is needed, since the clients write the header themselves.
ORIGIN = "http://127.0.0.1:28999"

# Sends one create call and says what came back: {"status": N} for an answer, {"status": None}
# when the connection closed without one, {"status": "timeout"} when it neither answered nor
# closed. Arguments: host, port, origin, ProgID.
CLIENT = r'''
import json, socket, sys
host, port, origin, prog_id = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
body = json.dumps({"v": 1, "op": "create", "progId": prog_id}).encode()
authority = ("[%s]" % host if ":" in host else host) + ":%d" % port
request = ("POST /korvan/v1/call HTTP/1.1\r\nHost: %s\r\nOrigin: %s\r\n"
           "Content-Type: text/plain;charset=UTF-8\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
           % (authority, origin, len(body))).encode() + body
family = socket.AF_INET6 if ":" in host else socket.AF_INET
s = socket.socket(family, socket.SOCK_STREAM)
s.settimeout(20)
s.connect((host, port))
answer = b""
try:
    s.sendall(request)
    while len(answer) < 1 << 20:
        chunk = s.recv(65536)
        if not chunk:
            break
        answer += chunk
except socket.timeout:
    print(json.dumps({"status": "timeout", "answer": answer.decode("latin-1")[:4000]}))
    sys.exit(0)
except OSError:
    pass
head = answer.split(b"\r\n", 1)[0].split()
status = int(head[1]) if len(head) >= 2 and head[1].isdigit() else None
print(json.dumps({"status": status, "answer": answer.decode("latin-1")[:4000]}))
'''


def bin_dir():
    value = os.environ.get("KORVAN_BIN_DIR")
    if not value:
        raise RuntimeError("KORVAN_BIN_DIR is not set (CTest sets it to the build's bin folder)")
    return value


def run(args, env=None, timeout=60):
    done = subprocess.run(args, env=env, capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise RuntimeError("%s failed (%d): %s%s" % (args[0], done.returncode, done.stdout, done.stderr))
    return done


def children(pid):
    found = set()
    task_dir = "/proc/%d/task" % pid
    for task in os.listdir(task_dir):
        try:
            with open(os.path.join(task_dir, task, "children")) as f:
                found.update(int(p) for p in f.read().split())
        except OSError:
            pass
    return found


def workers_of(pid):
    """The korvan-bridge-worker processes the bridge has started and that still run."""
    workers = []
    for child in children(pid):
        try:
            name = os.path.basename(os.readlink("/proc/%d/exe" % child))
        except OSError:
            continue
        if name.startswith("korvan-bridge-worker"):
            workers.append(child)
    return workers


class ForeignUserTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bin = bin_dir()
        if os.geteuid() != 0:
            probe = subprocess.run([SETPRIV, "--reuid=%d" % FOREIGN_UID, "--regid=%d" % FOREIGN_UID,
                                    "--clear-groups", "/bin/true"], capture_output=True)
            if probe.returncode != 0:
                raise unittest.SkipTest("not root, and setpriv cannot switch to uid %d here" % FOREIGN_UID)
        cls.root = tempfile.mkdtemp(prefix="bridge-foreign-")
        os.chmod(cls.root, 0o700)
        # The foreign client's script, readable by anyone.
        cls.scripts = tempfile.mkdtemp(prefix="bridge-foreign-client-")
        os.chmod(cls.scripts, 0o755)
        cls.client = os.path.join(cls.scripts, "client.py")
        with open(cls.client, "w") as f:
            f.write(CLIENT)
        os.chmod(cls.client, 0o644)
        cls.process = None
        try:
            cls.start_bridge()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def start_bridge(cls):
        for sub in ("config", "data", "runtime", "home", "state"):
            os.makedirs(os.path.join(cls.root, sub), mode=0o700)
        conf = os.path.join(cls.root, "token.conf")
        os.makedirs(os.path.join(cls.root, "store"))
        with open(conf, "w") as f:
            f.write("store_dir = %s/store\nslots = 1\npin_iterations = 1\n" % cls.root)
        env = {
            "PATH": "/usr/local/bin:/usr/bin:/bin",
            "HOME": os.path.join(cls.root, "home"),
            "XDG_CONFIG_HOME": os.path.join(cls.root, "config"),
            "XDG_DATA_HOME": os.path.join(cls.root, "data"),
            "XDG_STATE_HOME": os.path.join(cls.root, "state"),
            "XDG_RUNTIME_DIR": os.path.join(cls.root, "runtime"),
            "LANG": "C.UTF-8",
            "KORVAN_ANSI_CODEPAGE": "1252",
            "MERIDIA_TOKEN_CONF": conf,
            "SKYRA_TOKEN_CONF": conf,
            "KORVAN_REGISTRY_DIR": os.path.join(cls.root, "registry"),
            "QT_QPA_PLATFORM": "offscreen",
        }
        run([os.path.join(cls.bin, "korvan-regsvr32"), "/s", os.path.join(cls.bin, "libQXMeridiaControl.so")],
            env=env)
        env["KORVAN_BRIDGE_ALLOW"] = ORIGIN
        cls.log_path = os.path.join(cls.root, "bridge.log")
        cls.log = open(cls.log_path, "w")
        cls.process = subprocess.Popen([os.path.join(cls.bin, "korvan-bridge"), "--port", "0"], env=env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=cls.log,
                                       text=True)
        cls.port = None
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            line = cls.process.stdout.readline()
            if not line:
                break
            found = re.search(r"listening on http://127\.0\.0\.1:(\d+)", line)
            if found:
                cls.port = int(found.group(1))
                break
        if cls.port is None:
            raise RuntimeError("korvan-bridge did not start: " + cls.log_text())
        threading.Thread(target=cls.process.stdout.read, daemon=True).start()

    @classmethod
    def log_text(cls):
        cls.log.flush()
        with open(cls.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    @classmethod
    def tearDownClass(cls):
        if cls.process is not None and cls.process.poll() is None:
            cls.process.send_signal(signal.SIGTERM)
            try:
                cls.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                cls.process.kill()
                cls.process.wait()
        if getattr(cls, "log", None):
            cls.log.close()
        shutil.rmtree(cls.root, ignore_errors=True)
        shutil.rmtree(cls.scripts, ignore_errors=True)

    def create(self, host, foreign):
        command = [PYTHON, "-I", self.client, host, str(self.port), ORIGIN, PROG_ID]
        if foreign:
            command = [SETPRIV, "--reuid=%d" % FOREIGN_UID, "--regid=%d" % FOREIGN_UID, "--clear-groups"] + command
        done = subprocess.run(command, cwd=self.scripts, capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, "the client failed: " + done.stderr)
        return json.loads(done.stdout)

    def test_another_user_reaches_no_worker_while_the_user_is_served(self):
        self.assertEqual(workers_of(self.process.pid), [])
        for host in ("127.0.0.1", "::1"):
            with self.subTest(host=host):
                reply = self.create(host, foreign=True)
                self.assertIn(reply["status"], (None, 403), "the bridge answered another uid: %r\n%s"
                              % (reply["answer"][:300], self.log_text()))
        self.assertEqual(workers_of(self.process.pid), [],
                         "a worker started for another uid's request\n" + self.log_text())

        reply = self.create("127.0.0.1", foreign=False)
        self.assertEqual(reply["status"], 200, "%r\n%s" % (reply["answer"][:300], self.log_text()))
        self.assertIn('"object"', reply["answer"])
        # The check above would have seen a worker: the user's own call started one.
        self.assertNotEqual(workers_of(self.process.pid), [])


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
