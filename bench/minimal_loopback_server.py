"""The least a loopback server can do for a page's call: read one HTTP/1.1 request (headers and
a Content-Length body), answer a fixed JSON body with the page's Origin allowed, keep the
connection. What a page call costs against it is the browser's and the kernel's share; what the
bridge adds beyond it is the bridge's."""

import selectors
import socket
import threading

MAX_REQUEST = 1 << 20


class MinimalLoopbackServer:
    def __init__(self, body=b'{"v":1,"ok":true}'):
        self.body = body
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.listener.setblocking(False)
        self.port = self.listener.getsockname()[1]
        self.base = "http://127.0.0.1:%d" % self.port
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.listener, selectors.EVENT_READ)
        self.stopping = False
        self.thread = threading.Thread(target=self._loop, daemon=True)
        self.thread.start()

    def _answer(self, head):
        origin = b"null"
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"origin":
                origin = value.strip()
        return (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nAccess-Control-Allow-Origin: " +
                origin + b"\r\nVary: Origin\r\nContent-Length: " + str(len(self.body)).encode() +
                b"\r\n\r\n" + self.body)

    def _serve(self, connection, pending):
        try:
            data = connection.recv(65536)
        except OSError:
            data = b""
        if not data or len(pending) + len(data) > MAX_REQUEST:
            self.selector.unregister(connection)
            connection.close()
            return
        pending += data
        while True:
            end = pending.find(b"\r\n\r\n")
            if end < 0:
                return
            head = bytes(pending[:end])
            length = 0
            for line in head.split(b"\r\n")[1:]:
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    length = int(value.strip() or 0)
            if len(pending) < end + 4 + length:
                return
            del pending[:end + 4 + length]
            connection.sendall(self._answer(head))

    def _loop(self):
        while not self.stopping:
            for key, _ in self.selector.select(timeout=0.2):
                if key.fileobj is self.listener:
                    try:
                        connection, _ = self.listener.accept()
                    except OSError:
                        continue
                    connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    self.selector.register(connection, selectors.EVENT_READ, bytearray())
                else:
                    self._serve(key.fileobj, key.data)

    def close(self):
        self.stopping = True
        self.thread.join()
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()
        self.selector.close()
