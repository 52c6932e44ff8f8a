"""korvan-bridge ends promptly on SIGTERM while a browser holds kept-alive connections: the old
HTTP layer waited for each connection's read timeout, 4.7 s with two of them."""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

BIN = os.environ.get("KORVAN_BIN_DIR", "")


class SigtermTest(unittest.TestCase):
    def test_two_kept_alive_connections_do_not_delay_the_end(self):
        root = tempfile.mkdtemp(prefix="bridge-sigterm-")
        env = dict(os.environ, HOME=root, XDG_STATE_HOME=root, XDG_CONFIG_HOME=root, XDG_RUNTIME_DIR=root,
                   KORVAN_REGISTRY_DIR=os.path.join(root, "registry"), QT_QPA_PLATFORM="offscreen")
        process = subprocess.Popen([os.path.join(BIN, "korvan-bridge"), "--port", "0"], env=env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True)
        connections = []
        try:
            port = None
            for line in process.stdout:
                found = re.search(r"listening on http://127\.0\.0\.1:(\d+)", line)
                if found:
                    port = int(found.group(1))
                    break
            self.assertIsNotNone(port, "korvan-bridge did not start")
            for _ in range(2):
                client = socket.create_connection(("127.0.0.1", port), timeout=5)
                client.sendall(b"GET /korvan/activex.js HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port)
                answer = b""
                while b"\r\n\r\n" not in answer:
                    answer += client.recv(65536)
                self.assertTrue(answer.startswith(b"HTTP/1.1 200"), answer[:100])
                connections.append(client)
            started = time.monotonic()
            process.send_signal(signal.SIGTERM)
            process.wait(timeout=10)
            took = time.monotonic() - started
            self.assertEqual(process.returncode, 0)
            self.assertLess(took, 1.0, "korvan-bridge took %.2f s to end" % took)
        finally:
            for client in connections:
                client.close()
            if process.poll() is None:
                process.kill()
                process.wait()
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
