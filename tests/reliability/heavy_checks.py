#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# Heavy checks against the built crewdock-dev, each with the figures it must show; too slow and
# too large for the unit suite (which tries the same rules with small limits). Loopback only.
#
#   heavy_checks.py CREWDOCK_DEV [check...]      checks: drip download squat slowread
#
# slowread (20 MiB to a 10 KiB/s reader) takes about 35 minutes and runs only when named.
import re
import resource
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

BINARY = sys.argv[1]
failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


class Server:
    def __init__(self, *args, nofile=None, catalog=None):
        def limit():
            if nofile:
                resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
        cmd = [BINARY, "--port", "0"] + (["--catalog", str(catalog)] if catalog else []) + list(args)
        self.process = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True, preexec_fn=limit)
        self.port = int(re.search(r":(\d+)/", self.process.stdout.readline()).group(1))
        threading.Thread(target=self.process.stdout.read, daemon=True).start()

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


def get_home(port, limit=5.0):
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=limit) as c:
            c.sendall(b"GET / HTTP/1.0\r\n\r\n")
            data = b""
            while True:
                piece = c.recv(65536)
                if not piece:
                    break
                data += piece
        return data.startswith(b"HTTP/1.0 200"), time.monotonic() - start
    except OSError:
        return False, time.monotonic() - start


def slow_read(sock, rate, out, seconds=None):
    """Reads about `rate` bytes a second; returns True for an orderly end."""
    start = time.monotonic()
    try:
        while seconds is None or time.monotonic() - start < seconds:
            piece = sock.recv(max(rate // 10, 1))
            if not piece:
                return True
            out.extend(piece)
            time.sleep(0.1)
    except OSError:
        return False
    return None


def drip():
    """1 000 clients take GET /, never close, send a byte every 20 s; ulimit -n 1024."""
    server = Server("--close-lifetime", "120", nofile=1024)
    clients = []
    for _ in range(1000):
        try:
            c = socket.create_connection(("127.0.0.1", server.port), timeout=5)
            c.sendall(b"GET / HTTP/1.0\r\n\r\n")
            clients.append(c)
        except OSError:
            pass
    worst, answered, asked = 0.0, 0, 0
    start = time.monotonic()
    ended_at = {}
    # Answered, 30 s waiting for the client's close, then 120 s at most in the service's hands.
    while time.monotonic() - start < 160:
        for i, c in enumerate(clients):
            if i in ended_at:
                continue
            try:
                if int(time.monotonic() - start) % 20 == 0:
                    c.send(b"x")
                c.setblocking(False)
                while c.recv(65536):
                    pass
                ended_at[i] = time.monotonic() - start  # orderly end of the stream
            except BlockingIOError:
                pass
            except OSError:
                ended_at[i] = time.monotonic() - start
        ok, took = get_home(server.port)
        asked += 1
        answered += ok and took < 1.0
        worst = max(worst, took)
        time.sleep(0.5)
    # The server's own sockets left: the listener, the channel's, and no drip connection.
    sockets = sum(1 for fd in Path(f"/proc/{server.process.pid}/fd").iterdir()
                  if "socket:" in str(fd.readlink()))
    server.stop()
    check(answered == asked, f"drip: GET / answered within 1 s {answered}/{asked} times "
          f"(slowest {worst:.2f} s)")
    check(sockets <= 4, f"drip: {sockets} sockets still open in the server after 160 s, "
          f"{len(clients)} drip clients still connected")


def download():
    """A 3 MiB download read at 256 KiB/s while 1 100 idle connections arrive."""
    with tempfile.TemporaryDirectory() as catalog:
        payload = bytes(i % 251 for i in range(3 << 20))
        Path(catalog, "big.pk3").write_bytes(payload)
        server = Server(catalog=catalog)
        reader = socket.create_connection(("127.0.0.1", server.port))
        reader.sendall(b"GET /crewdock/files/big.pk3 HTTP/1.0\r\n\r\n")
        got = bytearray()
        result = {}
        t = threading.Thread(target=lambda: result.setdefault("end", slow_read(reader, 256 << 10,
                                                                                  got)))
        t.start()
        time.sleep(0.5)
        idle = []
        for _ in range(1100):
            try:
                idle.append(socket.create_connection(("127.0.0.1", server.port), timeout=5))
            except OSError:
                pass
        t.join(120)
        server.stop()
        body = bytes(got[got.find(b"\r\n\r\n") + 4:])
        check(result.get("end") is True and body == payload,
              f"download: {len(body)} of {len(payload)} bytes, orderly end "
              f"{result.get('end')}, with {len(idle)} idle connections arriving")


def inventory(port, session, packages):
    body = f"game=ef2&version=2&session={session}" + "".join(
        f"&filename{i}=pak{i}.pk3&filesize{i}={1000 + i}" for i in range(packages))
    return (f"POST /crewdock/sync_session.php HTTP/1.0\r\nHost: 127.0.0.1:{port}\r\n"
            f"Content-type: application/x-www-form-urlencoded\r\nContent-length: {len(body)}"
            f"\r\n\r\n{body}\r\n").encode()


def squat():
    """Eight heads announcing 8 MiB each; 20 postings of 400 and 3 000 packages."""
    server = Server()
    heads = []
    for _ in range(8):
        c = socket.create_connection(("127.0.0.1", server.port))
        c.sendall(b"POST /crewdock/sync_session.php HTTP/1.0\r\nContent-Length: 8388608\r\n\r\n")
        heads.append(c)
    ok = 0
    for i in range(20):
        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as c:
            c.sendall(inventory(server.port, 200 + i, 400 if i % 2 else 3000))
            ok += c.recv(12) == b"HTTP/1.0 200"
    server.stop()
    check(ok >= 19, f"squat: {ok}/20 postings got 200 beside eight squatting heads")


def slowread():
    """crewdock-dev serves 20 MiB to a 10 KiB/s reader to the end."""
    with tempfile.TemporaryDirectory() as catalog:
        payload = bytes(i % 251 for i in range(20 << 20))
        Path(catalog, "big.pk3").write_bytes(payload)
        server = Server(catalog=catalog)
        reader = socket.create_connection(("127.0.0.1", server.port))
        reader.sendall(b"GET /crewdock/files/big.pk3 HTTP/1.0\r\n\r\n")
        got = bytearray()
        end = slow_read(reader, 10 << 10, got)
        server.stop()
        body = bytes(got[got.find(b"\r\n\r\n") + 4:])
        check(end is True and body == payload, f"slowread: {len(body)} of {len(payload)} bytes")


checks = {"drip": drip, "download": download, "squat": squat, "slowread": slowread}
for name in sys.argv[2:] or ["drip", "download", "squat"]:
    start = time.monotonic()
    checks[name]()
    print(f"      ({name}: {time.monotonic() - start:.0f} s)", flush=True)
sys.exit(1 if failures else 0)
