"""The other ends of the router in its tests, run as root or as another uid through setpriv.

  peer.py bridge NAME ROUTER_SOCKET [SOCKET]  a stand-in bridge: binds SOCKET and registers it, or
                                              serves the socket systemd passed (LISTEN_FDS);
                                              answers each handed-over connection with
                                              "NAME uid=U pid=P"
  peer.py register ROUTER_SOCKET PATH         registers PATH; prints the router's answer byte
  peer.py call HOST PORT                      one request to the router's port; prints the
                                              answer's body, or "closed" when none came
  peer.py stuck ROUTER_SOCKET PATH PORT COUNT a bridge that never takes a connection: registers
                                              PATH, opens COUNT connections to 127.0.0.1:PORT,
                                              prints "flooded", then how long until the router
                                              closed them all; exits when stdin closes
  peer.py idle ROUTER_SOCKET COUNT            opens COUNT connections to ROUTER_SOCKET that send
                                              nothing, prints "ready"; exits when stdin closes
"""

import os
import selectors
import socket
import sys
import time


def register(router, path):
    fd = os.open(path, os.O_PATH | os.O_CLOEXEC)
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(10)
            s.connect(router)
            socket.send_fds(s, [b"R"], [fd])
            return s.recv(1).decode() or "closed"
    finally:
        os.close(fd)


def serve(name, listener):
    body = ("%s uid=%d pid=%d" % (name, os.getuid(), os.getpid())).encode()
    answer = (b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % len(body)) + body
    while True:
        connection, _ = listener.accept()
        with connection:
            connection.settimeout(5)
            data, fds, _, _ = socket.recv_fds(connection, 16, 4)
            if data != b"C" or len(fds) != 1:
                for fd in fds:
                    os.close(fd)
                continue
        with socket.socket(fileno=fds[0]) as page:
            page.setblocking(True)
            page.settimeout(5)
            request = b""
            try:
                while b"\r\n\r\n" not in request and len(request) < 65536:
                    chunk = page.recv(65536)
                    if not chunk:
                        break
                    request += chunk
                page.sendall(answer)
            except OSError:
                pass


def bridge(name, router, path=None):
    if path is None:
        if os.environ.get("LISTEN_PID") != str(os.getpid()) or os.environ.get("LISTEN_FDS") != "1":
            sys.exit("no socket passed")
        listener = socket.socket(fileno=3)
    else:
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(path)
        os.chmod(path, 0o666)
        listener.listen(64)
        if register(router, path) != "K":
            sys.exit("the router refused the registration")
    print("ready", flush=True)
    serve(name, listener)


def call(host, port):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.settimeout(10)
        s.connect((host, port))
        s.sendall(b"GET / HTTP/1.1\r\nHost: localhost\r\n\r\n")
        answer = b""
        try:
            while len(answer) < 65536:
                chunk = s.recv(65536)
                if not chunk:
                    break
                answer += chunk
        except ConnectionResetError:
            pass
    return answer.split(b"\r\n\r\n", 1)[1].decode() if b"\r\n\r\n" in answer else "closed"


def stuck(router, path, port, count):
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    os.chmod(path, 0o666)
    listener.listen(4096)
    if register(router, path) != "K":
        sys.exit("the router refused the registration")
    pages = [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(count)]
    print("flooded", flush=True)
    start = time.monotonic()
    watched = selectors.DefaultSelector()
    for page in pages:
        watched.register(page, selectors.EVENT_READ)
    while watched.get_map() and time.monotonic() < start + 30:
        for key, _ in watched.select(timeout=1):
            try:
                closed = key.fileobj.recv(1) == b""
            except OSError:
                closed = True
            if closed:
                watched.unregister(key.fileobj)
    print("open %d after %.1f s" % (len(watched.get_map()), time.monotonic() - start), flush=True)
    sys.stdin.read()


def idle(router, count):
    held = []
    for _ in range(count):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(router)
        held.append(s)
    print("ready", flush=True)
    sys.stdin.read()


if __name__ == "__main__":
    command = sys.argv[1]
    if command == "bridge":
        bridge(*sys.argv[2:])
    elif command == "register":
        print(register(sys.argv[2], sys.argv[3]))
    elif command == "stuck":
        stuck(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
    elif command == "idle":
        idle(sys.argv[2], int(sys.argv[3]))
    elif command == "call":
        print(call(sys.argv[2], int(sys.argv[3])))
    else:
        sys.exit("unknown command " + command)
