"""The WebSocket layer as clients meet it: frame lengths, close codes, refused upgrades and TLS."""
import asyncio
import re
import socket
import subprocess

import pytest

from conftest import C1, Client, agent, closed_within, mobile, run_clients, until, wait_for

LIMIT = 1024 * 1024  # the largest text message the service accepts


def debug_text(pd):
    """Everything the service traced in its Debug folder (DebugMode=1)."""
    return "".join(f.read_bytes().decode("utf-8", "replace") for f in sorted((pd.path / "Debug").iterdir()))


def traced(pd, text):
    """Waits for `text` in the traces: a connection's end is traced just after the peer sees it."""
    return wait_for(lambda: text in debug_text(pd), 5, what=text)


@pytest.mark.parametrize("tls", [False, True], ids=["ws", "wss"])
def test_relayed_messages_arrive_whole_and_in_order(program_dir, tls):
    """Every frame length form (7, 16, 64 bits) up to the largest message, sent in shared writes."""
    pd = program_dir
    pd.configure(SnmpEnabled="false")
    pd.start()
    sizes = [0, 1, 112, 113, 114, 65522, 65523, 70000] + [3] * 40 + [200000, LIMIT - 13]

    async def scenario():
        agt = await agent(pd, C1, tls=tls)
        phones = await asyncio.gather(*(mobile(pd, C1, tls=tls) for _ in range(3)))
        assert len({p.nr for p in phones}) == 3
        mob = phones[0]
        for n in range(100):
            await mob.send(f"DM{C1}{mob.nr}request {n}")
        assert [await agt.next() for _ in range(100)] == [f"DM{C1}{mob.nr}request {n}" for n in range(100)]
        answers = [f"DA{C1}{mob.nr}" + chr(ord("a") + i % 26) * n for i, n in enumerate(sizes)]
        for answer in answers:
            await agt.send(answer)
        for answer in answers:
            assert await mob.next(10) == answer

    run_clients(scenario)


async def invalid_utf8(ws):
    await ws.write_frame(True, 1, b"\xff\xfe\xfd")


ENDINGS = [  # what the agent does, the close code, the end of the service's event
    (lambda ws: ws.close(1000), 1000, "Normal Closure (connID={id})"),
    (lambda ws: ws.close(1001), 1001, "Going Away (connID={id})"),
    (lambda ws: ws.send("x" * (LIMIT + 1)), 1009, "Broken Connection (connID={id}, code 1009: "),
    (lambda ws: ws.send(b"\x00\x01"), 1003,
     "Broken Connection (connID={id}, code 1003: binary messages are not accepted)"),
    (invalid_utf8, 1007, "Broken Connection (connID={id}, code 1007: "),
]


@pytest.mark.slow
def test_a_peer_that_never_answers_a_protocol_fault_is_dropped_by_the_idle_limit(program_dir):
    """The close after a fault waits for the reply at most a mobile's idle limit of 60 s."""
    pd = program_dir
    pd.start_plain(DebugMode=1)

    async def scenario():
        await agent(pd, C1)
        mob = await Client.connect(pd, f"/mob?{C1} pw__________", pings=False)
        assert (await mob.next()).endswith("Connection Accepted")
        mob.ws.transport.pause_reading()
        await invalid_utf8(mob.ws)
        await until(lambda: "StatusCode:  1006" in debug_text(pd), 80, "the mute mobile dropped")
        mob.ws.transport.resume_reading()
        await mob.closed()
        assert mob.ws.close_code == 1007

    run_clients(scenario, timeout=120)
    assert "Description: no data from the peer within the idle timeout" in debug_text(pd)


def test_close_codes_bad_requests_silent_clients_and_weak_tls(program_dir):
    pd = program_dir
    pd.configure(SnmpEnabled="false", DebugMode=1)
    pd.start()
    gone = "Demo Company Disconnected From Server Due To "

    async def endings():
        reported = []
        for action, code, event in ENDINGS:
            agt = await agent(pd, C1)
            await action(agt.ws)
            await agt.closed()
            assert agt.ws.close_code == code
            line = (await until(lambda: pd.mentions(gone)[len(reported):], 10, f"the event of code {code}"))[0]
            cid = int(re.search(r"connID=(\d+)", line).group(1))
            assert gone + event.format(id=cid) in line, line
            reported.append(cid)
        assert len(set(reported)) == len(ENDINGS) and all(1 <= i <= 32767 for i in reported)
        aborted = await agent(pd, C1)
        aborted.ws.transport.abort()  # no close frame
        await until(lambda: [e for e in pd.mentions(gone) if ", code 1006: " in e], 10, "the lost connection")

    run_clients(endings)
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
        refused.append(socket.create_connection(("127.0.0.1", pd.ws_port), timeout=5))
        refused[-1].sendall(request)
        assert refused[-1].recv(4096).startswith(status)

    silent = socket.create_connection(("127.0.0.1", pd.ws_port), timeout=5)
    run_clients(lambda: agent(pd, C1))
    for s in refused + [silent]:
        assert closed_within(s, 8)  # the opening deadline is 5 s
        s.close()
    run_clients(lambda: agent(pd, C1))
    traced(pd, "no upgrade request within the time limit")

    def s_client(*args, stdin=""):
        done = subprocess.run(["openssl", "s_client", "-connect", f"127.0.0.1:{pd.wss_port}", *args],
                              input=stdin, capture_output=True, text=True, timeout=20)
        return done.returncode, done.stdout + done.stderr
    # TLS 1.2 or newer (the server's own alert, not a local refusal), only forward-secret AEAD
    # suites, the server's first choice winning over the client's; a renegotiation refused.
    code, out = s_client("-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0")
    assert code == 1 and "alert protocol version" in out, out
    code, out = s_client("-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-SHA")
    assert code == 1 and "alert handshake failure" in out, out
    code, out = s_client("-tls1_2", "-cipher", "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256")
    assert "New, TLSv1.2, Cipher is ECDHE-ECDSA-AES128-GCM-SHA256" in out, out
    assert "New, TLSv1.3, Cipher is TLS_" in s_client("-tls1_3")[1]
    code, out = s_client("-tls1_2", stdin="R\n")
    assert code == 1 and "RENEGOTIATING" in out and "no renegotiation" in out, out

    with socket.create_connection(("127.0.0.1", pd.wss_port), timeout=5) as plain:
        plain.sendall(b"GET /agt?x HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n")
        assert closed_within(plain, 8)
    with socket.create_connection(("127.0.0.1", pd.wss_port), timeout=5) as no_hello:
        run_clients(lambda: agent(pd, C1, tls=True))
        assert closed_within(no_hello, 8)  # the opening deadline is 5 s

    traced(pd, "TLS handshake failed: unsupported protocol")
    traced(pd, "no TLS handshake within the time limit")
    assert "/agt?x" not in debug_text(pd)  # refused before the broker saw it
    assert pd.stop() == 0
