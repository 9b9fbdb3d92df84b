"""The real WebSocket server (through tests/harness/ws_echo_harness) against real clients:
python3-websockets over ws and wss, and raw sockets for the misbehaving ones."""

import asyncio
import os
import re
import signal
import socket
import ssl
import struct
import subprocess
import threading
import time
from pathlib import Path

import pytest
import websockets

HERE = Path(__file__).resolve().parent
HARNESS = os.environ.get("VANTOR_WS_HARNESS") or str(HERE.parents[1] / "build" / "tests" / "ws_echo_harness")

SHORT = ["--handshake-ms", "1000", "--close-ms", "1000"]


class Harness:
    """The harness process; its event lines are collected by a reader thread."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([HARNESS, *args], stdout=subprocess.PIPE, text=True)
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        first = self.wait(r"^(LISTENING|TLS-FAILED|LISTEN-FAILED)")
        self.port = int(first.split()[2]) if first.startswith("LISTENING") else None

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()

    def wait(self, pattern, timeout=5.0):
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for line in self.lines:
                    if re.search(pattern, line):
                        return line
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"no line matching {pattern!r} in {self.lines}")
                self.cond.wait(left)

    def has(self, pattern):
        with self.cond:
            return any(re.search(pattern, line) for line in self.lines)

    def index(self, pattern):
        with self.cond:
            return next(i for i, line in enumerate(self.lines) if re.search(pattern, line))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=10)


@pytest.fixture
def harness_factory():
    started = []

    def start(*args):
        h = Harness(*args)
        started.append(h)
        return h

    yield start
    for h in started:
        h.stop()


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    """A test CA and a server certificate for 127.0.0.1/localhost in a user store folder."""
    d = tmp_path_factory.mktemp("pki")
    store = d / "stores" / "My"
    store.mkdir(parents=True)

    def run(*cmd):
        subprocess.run(cmd, check=True, capture_output=True)

    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    run("openssl", "req", "-x509", *ec, "-days", "2", "-subj", "/CN=Vantor Test CA",
        "-keyout", str(d / "ca.key"), "-out", str(d / "ca.pem"))
    run("openssl", "req", *ec, "-subj", "/O=Vantor Test/CN=localhost",
        "-keyout", str(store / "server.key"), "-out", str(d / "server.csr"))
    (d / "ext.cnf").write_text("subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n")
    run("openssl", "x509", "-req", "-in", str(d / "server.csr"), "-CA", str(d / "ca.pem"),
        "-CAkey", str(d / "ca.key"), "-CAcreateserial", "-days", "2", "-extfile", str(d / "ext.cnf"),
        "-out", str(store / "server.pem"))
    return d


def tls_args(pki):
    return ["--cert-root", str(pki / "stores"), "--cert-store", "My", "--cert-subject", "localhost",
            "--cert-type", "0"]


def client_ctx(pki, version=None):
    ctx = ssl.create_default_context(cafile=str(pki / "ca.pem"))
    if version:
        ctx.set_ciphers("DEFAULT:@SECLEVEL=0")  # lets the client offer old versions at all
        ctx.minimum_version = version
        ctx.maximum_version = version
    return ctx


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 20))


def connected_id(h, n):
    """The id of the n-th CONNECTED event (0-based)."""
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        with h.cond:
            ids = [int(l.split()[1]) for l in h.lines if l.startswith("CONNECTED ")]
        if len(ids) > n:
            return ids[n]
        time.sleep(0.01)
    raise AssertionError(f"no CONNECTED #{n} in {h.lines}")


async def echo_ok(url, **kw):
    async with websockets.connect(url, **kw) as ws:
        await ws.recv()  # welcome
        await ws.send("still served")
        assert await ws.recv() == "still served"


# ---------------------------------------------------------------- raw WebSocket client pieces

def raw_upgrade(port, path="/raw", extra=b"", rcvbuf=None):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(5)
    s.connect(("127.0.0.1", port))
    s.sendall(b"GET " + path.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
              b"Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
              b"Sec-WebSocket-Version: 13\r\n" + extra + b"\r\n")
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(1)
        assert chunk, "closed during handshake"
        head += chunk
    assert head.startswith(b"HTTP/1.1 101"), head
    return s


def frame(opcode, payload):
    mask = b"\x01\x02\x03\x04"
    n = len(payload)
    header = bytes([0x80 | opcode])
    if n < 126:
        header += bytes([0x80 | n])
    elif n < 65536:
        header += bytes([0x80 | 126]) + struct.pack("!H", n)
    else:
        header += bytes([0x80 | 127]) + struct.pack("!Q", n)
    return header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


def read_close_code(s):
    """Reads server frames until a close frame; returns its code."""
    buf = b""
    while True:
        while len(buf) < 2:
            chunk = s.recv(4096)
            assert chunk, "closed without a close frame"
            buf += chunk
        opcode, n, at = buf[0] & 0x0F, buf[1] & 0x7F, 2
        if n == 126:
            n, at = struct.unpack("!H", buf[2:4])[0], 4
        while len(buf) < at + n:
            buf += s.recv(4096)
        if opcode == 8:
            return struct.unpack("!H", buf[at:at + 2])[0]
        buf = buf[at + n:]


def closed_within(s, seconds):
    """True when the server ends the connection (EOF or reset) within the time."""
    s.settimeout(seconds)
    try:
        while s.recv(4096):
            pass
        return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


# ---------------------------------------------------------------- events, ordering, close codes

def test_event_order_ids_messages_and_peer_close_codes(harness_factory):
    h = harness_factory(*SHORT)
    url = f"ws://127.0.0.1:{h.port}"

    async def scenario():
        a = await websockets.connect(url + "/agt?A")
        b = await websockets.connect(url + "/mob?B", extra_headers={"Origin": "http://phone"})
        welcome_a, welcome_b = await a.recv(), await b.recv()
        for i in range(100):
            await a.send(f"a{i}")
            await b.send(f"b{i}")
        assert [await a.recv() for _ in range(100)] == [f"a{i}" for i in range(100)]
        assert [await b.recv() for _ in range(100)] == [f"b{i}" for i in range(100)]
        await a.close(code=1000)
        await b.close(code=1001)
        c = await websockets.connect(url + "/agt?C")
        await c.recv()
        c.transport.abort()  # no close frame
        return welcome_a, welcome_b

    welcome_a, welcome_b = run(scenario())
    ida, idb = int(welcome_a.split()[1]), int(welcome_b.split()[1])
    h.wait(r"^DISCONNECTED \d+ 1006")
    idc = connected_id(h, 2)
    assert len({ida, idb, idc}) == 3 and 0 not in {ida, idb, idc}
    assert all(1 <= i <= 32767 for i in (ida, idb, idc))
    for cid in (ida, idb):
        opened = h.index(rf"^OPEN {cid} ")
        assert h.index(r"^CONNREQ 127\.0\.0\.1 ") < opened < h.index(rf"^CONNECTED {cid}$") \
            < h.index(rf"^DATA {cid} ") < h.index(rf"^DISCONNECTED {cid} ")
    assert h.has(rf"^OPEN {ida} /agt\?A$") and h.has(rf"^OPEN {idb} /mob\?B$")
    h.wait(rf"^DISCONNECTED {ida} 1000 ")
    h.wait(rf"^DISCONNECTED {idb} 1001 ")
    h.wait(rf"^DISCONNECTED {idc} 1006 ")
    # Every open request is followed by its own connected event before the next open request.
    with h.cond:
        admission = [l.split()[0] + l.split()[1] for l in h.lines if l.startswith(("OPEN ", "CONNECTED "))]
    assert admission == [f"{kind}{cid}" for cid in (ida, idb, idc) for kind in ("OPEN", "CONNECTED")]


def test_next_message_waits_for_the_previous_handler(harness_factory):
    h = harness_factory(*SHORT)

    async def scenario():
        async with websockets.connect(f"ws://127.0.0.1:{h.port}/x") as ws:
            await ws.recv()
            await ws.send("!slow 300")
            await ws.send("after")
            return [await ws.recv(), await ws.recv()]

    assert run(scenario()) == ["!slow 300", "after"]
    cid = connected_id(h, 0)
    # The second DATA event is raised only after the slow handler has sent its reply.
    with h.cond:
        data = [l for l in h.lines if l.startswith(f"DATA {cid} ")]
    assert data == [f"DATA {cid} 9", f"DATA {cid} 5"]


def test_refused_upgrade_gets_its_status_and_a_disconnected_event(harness_factory):
    h = harness_factory(*SHORT)

    async def scenario():
        with pytest.raises(websockets.InvalidStatusCode) as refused:
            await websockets.connect(f"ws://127.0.0.1:{h.port}/refuse-me")
        return refused.value.status_code

    assert run(scenario()) == 403
    line = h.wait(r"^DISCONNECTED ")
    assert line.split()[2] == "1006" and "403" in line
    assert not h.has(r"^CONNECTED ")


# ---------------------------------------------------------------- protocol faults

def test_message_size_limit_and_protocol_faults(harness_factory):
    h = harness_factory(*SHORT, "--max-message", "65536", "--idle-ms", "2000")
    url = f"ws://127.0.0.1:{h.port}"

    async def scenario():
        async with websockets.connect(url + "/big") as ws:
            await ws.recv()
            await ws.send("y" * 65536)
            assert await ws.recv() == "y" * 65536
            await ws.send("z" * 65537)
            with pytest.raises(websockets.ConnectionClosed) as closed:
                await ws.recv()
            big = closed.value.code
        async with websockets.connect(url + "/bin") as ws:
            await ws.recv()
            await ws.send(b"\x00\x01")
            with pytest.raises(websockets.ConnectionClosed) as closed:
                await ws.recv()
            binary = closed.value.code
        return big, binary

    assert run(scenario()) == (1009, 1003)
    h.wait(r"^DISCONNECTED 1 1009 ")
    h.wait(r"^DISCONNECTED 2 1003 binary messages are not accepted")
    assert not h.has(r"^DATA 1 65537")

    # Invalid UTF-8 in a text frame: a client that answers the close is reported with 1007 ...
    s = raw_upgrade(h.port)
    s.sendall(frame(1, b"\xff\xfe\xfd"))
    assert read_close_code(s) == 1007
    s.close()
    h.wait(r"^DISCONNECTED 3 1007 ")
    # ... and one that never answers is dropped within half the idle limit (1 s here).
    s = raw_upgrade(h.port)
    s.sendall(frame(1, b"\xc3"))
    assert read_close_code(s) == 1007
    assert closed_within(s, 3)
    s.close()
    h.wait(r"^DISCONNECTED 4 (1006|1007) ")  # which depends on where the wait was cut
    run(echo_ok(url + "/after"))


# ---------------------------------------------------------------- peers that misbehave (plain)

def test_bad_http_and_silent_clients_are_closed_within_limits(harness_factory):
    h = harness_factory(*SHORT)
    url = f"ws://127.0.0.1:{h.port}"

    plain = socket.create_connection(("127.0.0.1", h.port), timeout=5)
    plain.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    assert plain.recv(4096).startswith(b"HTTP/1.1 426")

    crowded = socket.create_connection(("127.0.0.1", h.port), timeout=5)
    many = b"".join(b"X-H%d: v\r\n" % i for i in range(300))
    crowded.sendall(b"GET /agt?x HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" + many + b"\r\n")
    assert crowded.recv(4096).startswith(b"HTTP/1.1 431")

    huge = socket.create_connection(("127.0.0.1", h.port), timeout=5)
    huge.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 20000 + b"\r\n\r\n")
    assert huge.recv(4096).startswith(b"HTTP/1.1 431")

    silent = socket.create_connection(("127.0.0.1", h.port), timeout=5)
    started = time.monotonic()
    run(echo_ok(url + "/meanwhile"))
    assert closed_within(silent, 3)
    assert time.monotonic() - started < 3
    for s in (plain, crowded, huge):
        assert closed_within(s, 3)
        s.close()
    silent.close()
    h.wait(r"^ERROR \d+ \d+ no upgrade request within the time limit")
    run(echo_ok(url + "/after"))
    assert not h.has(r"^OPEN \d+ /agt\?x")  # refused before the service saw it


def test_client_that_never_reads_is_dropped(harness_factory):
    h = harness_factory(*SHORT, "--max-queue", "1000000")
    s = raw_upgrade(h.port, "/sink", rcvbuf=4096)
    cid = connected_id(h, 0)
    for _ in range(200):
        if h.has(rf"^DISCONNECTED {cid} "):
            break
        try:
            s.sendall(frame(1, b"!flood 5 100000"))
        except OSError:
            break
        time.sleep(0.02)
    line = h.wait(rf"^DISCONNECTED {cid} ")
    assert line.startswith(f"DISCONNECTED {cid} 1006 client does not read")
    s.close()
    run(echo_ok(f"ws://127.0.0.1:{h.port}/after"))


def test_connection_cap(harness_factory):
    h = harness_factory(*SHORT, "--max-connections", "2")

    async def scenario():
        a = await websockets.connect(f"ws://127.0.0.1:{h.port}/a")
        b = await websockets.connect(f"ws://127.0.0.1:{h.port}/b")
        await a.recv(), await b.recv()
        extra = socket.create_connection(("127.0.0.1", h.port), timeout=5)
        assert closed_within(extra, 2)
        await a.close()
        await asyncio.get_running_loop().run_in_executor(None, h.wait, r"^DISCONNECTED 1 ")
        await echo_ok(f"ws://127.0.0.1:{h.port}/c")
        await b.close()

    run(scenario())
    with h.cond:
        assert sum(l.startswith("CONNREQ ") for l in h.lines) == 3


# ---------------------------------------------------------------- TLS


def test_tls_bad_inputs_are_refused_while_others_are_served(harness_factory, pki):
    h = harness_factory(*SHORT, *tls_args(pki))
    url = f"wss://localhost:{h.port}/ok"

    old = socket.create_connection(("127.0.0.1", h.port), timeout=5)
    with pytest.raises(ssl.SSLError, match="PROTOCOL_VERSION"):  # the server's alert, not a local refusal
        client_ctx(pki, ssl.TLSVersion.TLSv1_1).wrap_socket(old, server_hostname="localhost")
    old.close()
    h.wait(r"^ERROR \d+ \d+ TLS handshake failed: unsupported protocol")

    plain = socket.create_connection(("127.0.0.1", h.port), timeout=5)
    plain.sendall(b"GET /agt?x HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n")
    assert closed_within(plain, 2)
    plain.close()

    no_hello = socket.create_connection(("127.0.0.1", h.port), timeout=5)
    started = time.monotonic()
    run(echo_ok(url, ssl=client_ctx(pki)))
    assert closed_within(no_hello, 3)
    assert time.monotonic() - started < 3
    no_hello.close()
    h.wait(r"no TLS handshake within the time limit")
    assert len([l for l in h.lines if re.match(r"^ERROR \d+ \d+ TLS handshake failed", l)]) >= 2
    assert not h.has(r"^OPEN \d+ /agt\?x")

