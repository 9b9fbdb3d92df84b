"""The real WebSocket server (through tests/harness/ws_echo_harness) against real clients:
python3-websockets over ws and wss, and raw sockets for the misbehaving ones."""
import asyncio
import os
import re
import signal
import socket
import ssl
import subprocess
import threading
from pathlib import Path

import pytest
import websockets

from conftest import closed_within, until, wait_for

HERE = Path(__file__).resolve().parent
HARNESS = os.environ.get("VANTOR_WS_HARNESS") or str(HERE.parents[1] / "build" / "tests" / "ws_echo_harness")
SHORT = ["--handshake-ms", "1000", "--close-ms", "1000"]


class Harness:
    """The harness process; a reader thread collects its event lines."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([HARNESS, *args], stdout=subprocess.PIPE, text=True)
        self.lines = []
        threading.Thread(target=self._read, daemon=True).start()
        self.port = int(self.wait(r"^LISTENING").split()[2])
        self.url = f"ws://127.0.0.1:{self.port}"

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line.rstrip("\n"))

    def matching(self, pattern):
        return [line for line in list(self.lines) if re.search(pattern, line)]

    def wait(self, pattern, timeout=5.0):
        return wait_for(lambda: self.matching(pattern), timeout, f"a line matching {pattern!r}")[0]

    def index(self, pattern):
        return self.lines.index(self.matching(pattern)[0])

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=10)


@pytest.fixture
def harness_factory():
    started = []

    def start(*args):
        started.append(Harness(*args))
        return started[-1]

    yield start
    for h in started:
        h.stop()


def client_ctx(certs, version=None):
    ctx = ssl.create_default_context(cafile=str(certs / "ca.pem"))
    if version:
        ctx.set_ciphers("DEFAULT:@SECLEVEL=0")  # lets the client offer old versions at all
        ctx.minimum_version = ctx.maximum_version = version
    return ctx


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 20))


async def echo_ok(url, **kw):
    async with websockets.connect(url, **kw) as ws:
        await ws.recv()  # welcome
        await ws.send("still served")
        assert await ws.recv() == "still served"


async def closed_with(ws):
    """The close code once the server has closed the connection."""
    with pytest.raises(websockets.ConnectionClosed) as closed:
        await ws.recv()
    return closed.value.code


def test_event_order_close_codes_and_handler_order(harness_factory):
    h = harness_factory(*SHORT)

    async def scenario():
        a = await websockets.connect(h.url + "/agt?A")
        b = await websockets.connect(h.url + "/mob?B", extra_headers={"Origin": "http://phone"})
        ids = [int((await a.recv()).split()[1]), int((await b.recv()).split()[1])]
        for i in range(100):
            await a.send(f"a{i}")
            await b.send(f"b{i}")
        assert [await a.recv() for _ in range(100)] == [f"a{i}" for i in range(100)]
        assert [await b.recv() for _ in range(100)] == [f"b{i}" for i in range(100)]
        await a.close(code=1000)
        await b.close(code=1001)
        c = await websockets.connect(h.url + "/agt?C")
        ids.append(int((await c.recv()).split()[1]))
        c.transport.abort()  # no close frame
        return ids

    ida, idb, idc = run(scenario())
    h.wait(rf"^DISCONNECTED {idc} 1006")
    assert len({ida, idb, idc}) == 3 and all(1 <= i <= 32767 for i in (ida, idb, idc))
    for cid in (ida, idb):
        assert h.index(r"^CONNREQ 127\.0\.0\.1 ") < h.index(rf"^OPEN {cid} ") < h.index(rf"^CONNECTED {cid}$") \
            < h.index(rf"^DATA {cid} ") < h.index(rf"^DISCONNECTED {cid} ")
    assert h.matching(rf"^OPEN {ida} /agt\?A$") and h.matching(rf"^OPEN {idb} /mob\?B$")
    h.wait(rf"^DISCONNECTED {ida} 1000 ")
    h.wait(rf"^DISCONNECTED {idb} 1001 ")
    # Every open request is followed by its own connected event before the next open request.
    admission = [" ".join(line.split()[:2]) for line in h.matching(r"^(OPEN|CONNECTED) ")]
    assert admission == [f"{kind} {cid}" for cid in (ida, idb, idc) for kind in ("OPEN", "CONNECTED")]

    async def slow_handler():
        async with websockets.connect(h.url + "/x") as ws:
            cid = int((await ws.recv()).split()[1])
            await ws.send("!slow 300")
            await ws.send("after")
            assert [await ws.recv(), await ws.recv()] == ["!slow 300", "after"]
        return cid

    cid = run(slow_handler())
    # The second DATA event is raised only after the slow handler has sent its reply.
    assert h.matching(rf"^DATA {cid} ") == [f"DATA {cid} 9", f"DATA {cid} 5"]


def test_message_size_limit_and_protocol_faults(harness_factory):
    h = harness_factory(*SHORT, "--max-message", "65536", "--idle-ms", "2000")

    async def scenario():
        async with websockets.connect(h.url + "/big") as ws:
            await ws.recv()
            await ws.send("y" * 65536)
            assert await ws.recv() == "y" * 65536
            await ws.send("z" * 65537)
            assert await closed_with(ws) == 1009
        async with websockets.connect(h.url + "/bin") as ws:
            await ws.recv()
            await ws.send(b"\x00\x01")
            assert await closed_with(ws) == 1003

    run(scenario())
    h.wait(r"^DISCONNECTED 1 1009 ")
    h.wait(r"^DISCONNECTED 2 1003 binary messages are not accepted")
    assert not h.matching(r"^DATA 1 65537")

    # Invalid UTF-8 in a text frame: a client that answers the close is reported with 1007 ...
    async def invalid_utf8():
        async with websockets.connect(h.url + "/answers") as ws:
            await ws.recv()
            await ws.write_frame(True, 1, b"\xff\xfe\xfd")
            assert await closed_with(ws) == 1007
        # ... and one that stops reading, so it never answers, is dropped within half the idle
        # limit (1 s here).
        ws = await websockets.connect(h.url + "/mute")
        await ws.recv()
        ws.transport.pause_reading()
        await ws.write_frame(True, 1, b"\xc3")
        await until(lambda: h.matching(r"^DISCONNECTED 4 (1006|1007) "), 3, "the mute client dropped")
        ws.transport.resume_reading()
        assert await closed_with(ws) == 1007

    run(invalid_utf8())
    h.wait(r"^DISCONNECTED 3 1007 ")
    run(echo_ok(h.url + "/after"))


def test_bad_http_and_silent_clients_are_closed_within_limits(harness_factory):
    h = harness_factory(*SHORT)
    many = b"".join(b"X-H%d: v\r\n" % i for i in range(300))
    requests = [
        (b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", b"HTTP/1.1 426"),
        (b"GET /agt?x HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" + many + b"\r\n",
         b"HTTP/1.1 431"),
        (b"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 20000 + b"\r\n\r\n", b"HTTP/1.1 431"),
    ]
    refused = []
    for request, status in requests:
        refused.append(socket.create_connection(("127.0.0.1", h.port), timeout=5))
        refused[-1].sendall(request)
        assert refused[-1].recv(4096).startswith(status)

    silent = socket.create_connection(("127.0.0.1", h.port), timeout=5)
    run(echo_ok(h.url + "/meanwhile"))
    assert closed_within(silent, 3)
    for s in refused + [silent]:
        assert closed_within(s, 3)
        s.close()
    h.wait(r"^ERROR \d+ \d+ no upgrade request within the time limit")
    run(echo_ok(h.url + "/after"))
    assert not h.matching(r"^OPEN \d+ /agt\?x")  # refused before the service saw it


def test_messages_queued_together_arrive_whole_and_in_order(harness_factory, certs):
    """Messages that wait together leave in shared writes; every frame length form (7-bit, 16-bit,
    64-bit) must arrive intact, in order, and with the close frame after them, over ws and wss."""
    sizes = [0, 1, 125, 126, 127, 65535, 65536, 70000] + [3] * 40 + [200000, 2]
    expected = [chr(ord("a") + i % 26) * n for i, n in enumerate(sizes)]
    plain = harness_factory(*SHORT)
    tls = harness_factory(*SHORT, "--cert-root", str(certs / "stores"),
                          "--cert-store", "My", "--cert-subject", "localhost", "--cert-type", "0")

    async def burst(url, **kw):
        async with websockets.connect(url, max_size=None, **kw) as ws:
            await ws.recv()  # welcome
            await ws.send("!burst " + " ".join(map(str, sizes)))
            got = [await ws.recv() for _ in sizes]
            assert [len(m) for m in got] == sizes
            assert got == expected
            await ws.send("after")
            assert await ws.recv() == "after"

    run(burst(plain.url + "/burst"))
    run(burst(f"wss://localhost:{tls.port}/burst", ssl=client_ctx(certs)))


def test_a_handler_longer_than_the_idle_limit_keeps_its_connection(harness_factory):
    h = harness_factory(*SHORT, "--idle-ms", "1000")

    async def scenario():
        ws = await websockets.connect(h.url + "/held", ping_interval=None)
        cid = int((await ws.recv()).split()[1])
        await ws.send("!slow 2500")  # nothing is read meanwhile, the pings' answers included
        assert await ws.recv() == "!slow 2500"
        await ws.send("after")
        assert await ws.recv() == "after"
        assert not h.matching(rf"^DISCONNECTED {cid} ")
        # The limit applies again once the handler is done: a peer that stops answering goes.
        ws.transport.pause_reading()
        await until(lambda: h.matching(rf"^DISCONNECTED {cid} "), 3, "the mute peer dropped")
        ws.transport.abort()

    run(scenario())


def test_connection_cap(harness_factory):
    h = harness_factory(*SHORT, "--max-connections", "2")

    async def scenario():
        a = await websockets.connect(h.url + "/a")
        b = await websockets.connect(h.url + "/b")
        await a.recv(), await b.recv()
        extra = socket.create_connection(("127.0.0.1", h.port), timeout=5)
        assert closed_within(extra, 2)
        await a.close()
        await asyncio.get_running_loop().run_in_executor(None, h.wait, r"^DISCONNECTED 1 ")
        await echo_ok(h.url + "/c")
        await b.close()

    run(scenario())
    assert len(h.matching(r"^CONNREQ ")) == 3


def test_tls_bad_inputs_are_refused_while_others_are_served(harness_factory, certs):
    h = harness_factory(*SHORT, "--cert-root", str(certs / "stores"), "--cert-store", "My",
                        "--cert-subject", "localhost", "--cert-type", "0")

    old = socket.create_connection(("127.0.0.1", h.port), timeout=5)
    with pytest.raises(ssl.SSLError, match="PROTOCOL_VERSION"):  # the server's alert, not a local refusal
        client_ctx(certs, ssl.TLSVersion.TLSv1_1).wrap_socket(old, server_hostname="localhost")
    old.close()
    h.wait(r"^ERROR \d+ \d+ TLS handshake failed: unsupported protocol")

    def s_client(*args, stdin=""):
        done = subprocess.run(["openssl", "s_client", "-connect", f"127.0.0.1:{h.port}", "-servername", "localhost",
                               *args], input=stdin, capture_output=True, text=True, timeout=20)
        return done.returncode, done.stdout + done.stderr
    # TLS 1.2 only with forward-secret AEAD suites, the server's first choice winning over the
    # client's; TLS 1.3 served; a renegotiation refused.
    code, out = s_client("-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-SHA")
    assert code == 1 and "alert handshake failure" in out, out
    code, out = s_client("-tls1_2", "-cipher", "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256")
    assert "New, TLSv1.2, Cipher is ECDHE-ECDSA-AES128-GCM-SHA256" in out, out
    assert "New, TLSv1.3, Cipher is TLS_" in s_client("-tls1_3")[1]
    code, out = s_client("-tls1_2", stdin="R\n")
    assert code == 1 and "RENEGOTIATING" in out and "no renegotiation" in out, out

    plain = socket.create_connection(("127.0.0.1", h.port), timeout=5)
    plain.sendall(b"GET /agt?x HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n")
    assert closed_within(plain, 2)
    plain.close()

    no_hello = socket.create_connection(("127.0.0.1", h.port), timeout=5)
    run(echo_ok(f"wss://localhost:{h.port}/ok", ssl=client_ctx(certs)))
    assert closed_within(no_hello, 3)
    no_hello.close()
    h.wait(r"no TLS handshake within the time limit")
    assert len(h.matching(r"^ERROR \d+ \d+ TLS handshake failed")) >= 2
    assert not h.matching(r"^OPEN \d+ /agt\?x")
