"""Agents that go away the way networks and crashes make them go: a site that falls silent (no
keep-alive, no pong), a process killed mid-connection (TCP reset), one that comes back in time,
one that says goodbye. Each broken connection, and only those, ends in a mail to a real SMTP
server (aiosmtpd). Also: an agent that keeps a long keep-alive promise stays, a receiver that
cannot be stored is not acknowledged, and a customer deleted from the table is gone after a
reload, and admitted again once added and reloaded."""
import asyncio
import base64
import os
import socket
import sqlite3
import struct
import time

import pytest

from conftest import C1, C2, DROP_EVENT, Client, agent, run_clients, wait_for

C3, C4 = "03000003", "04000004"
BROKEN_EVENT = "2\tfrmVantorWebSrv_wsServer_Disconnected\t{} Disconnected From Server Due To Broken Connection"


class RawAgent:
    """An agent on a bare socket, so that it can do what a library client never does: stop
    answering anything, pongs included, or vanish with a TCP reset."""

    def __init__(self, pd, cust, receiver):
        self.cust = cust
        self.sock = socket.create_connection(("127.0.0.1", pd.ws_port), timeout=10)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(f"GET /agt?{cust}&pw__________ HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          f"Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                          "Sec-WebSocket-Version: 13\r\n\r\n".encode())
        response = b""
        while b"\r\n\r\n" not in response:
            response += self.sock.recv(1)
        assert response.startswith(b"HTTP/1.1 101"), response
        assert self.receive() == f"CW{cust}0  Connection Accepted"
        self.call("VER:3.10 KEEPALIVE:30", "VER:OK KEEPALIVE:OK")
        self.call(f"BCA:{receiver}", "BCA:OK")

    def call(self, payload, reply):
        self.send(0x1, f"CA{self.cust}0  {payload}".encode())
        assert self.receive() == f"CW{self.cust}0  {reply}"

    def send(self, opcode, data):
        mask = os.urandom(4)
        assert len(data) < 126
        self.sock.sendall(bytes([0x80 | opcode, 0x80 | len(data)]) + mask +
                          bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def receive(self):
        """The next text message (control frames are skipped)."""
        while True:
            head = self._exactly(2)
            size = head[1] & 0x7F
            if size == 126:
                size = int.from_bytes(self._exactly(2), "big")
            elif size == 127:
                size = int.from_bytes(self._exactly(8), "big")
            data = self._exactly(size)
            if head[0] & 0x0F == 0x1:
                return data.decode()

    def _exactly(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            assert chunk, "closed by the service"
            data += chunk
        return data

    def reset(self):
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()

    def close_normally(self):
        self.send(0x8, (1000).to_bytes(2, "big"))
        self.sock.settimeout(5)
        while self.sock.recv(4096):
            pass
        self.sock.close()


def receiver(name):
    return f"{name}\tMailSMTP\t\t\t{name.lower()}@example.org"


@pytest.mark.slow
def test_agents_that_die_raise_their_alarm_and_only_they(program_dir, smtp_server):
    """The production tick: the silent agent must be judged by supervision (its level-2 event
    and the alarm at once, its interval being 30 s) before the server's idle watch could close
    it, which it used to do at 60-75 s, freeing the record silently."""
    pd = program_dir
    for cust, company in ((C2, "Reset Ltd"), (C3, "Back Ltd"), (C4, "Closed Ltd")):
        pd.console("customer", "add", cust, company)
    pd.start_plain()
    silent = RawAgent(pd, C1, receiver("Silent"))
    RawAgent(pd, C2, receiver("Reset")).reset()
    back = RawAgent(pd, C3, receiver("Back"))
    RawAgent(pd, C4, receiver("Closed")).close_normally()
    started = time.monotonic()
    back.reset()
    wait_for(lambda: any(e.startswith(BROKEN_EVENT.format("Back Ltd")) for e in pd.event_lines()),
             what="the end of the reset connection")
    back = RawAgent(pd, C3, receiver("Back"))  # back within the wait, with its version

    def mailed_to():
        return sorted(rcpt for _, rcpts, _ in smtp_server.messages for rcpt in rcpts)

    wait_for(lambda: "reset@example.org" in mailed_to(), timeout=75, what="the reset agent's alarm")
    assert time.monotonic() - started >= 25  # a reset agent may still come back: the alarm waits
    # The agent that came back is still served; it leaves now with a goodbye, before it would be
    # found silent.
    back.send(0x1, f"CA{C3}0  keep-alive".encode())
    assert back.receive() == f"CA{C3}0  keep-alive"
    back.close_normally()
    wait_for(lambda: "silent@example.org" in mailed_to(), timeout=160, what="the silent agent's alarm")
    assert time.monotonic() - started >= 85
    time.sleep(2)
    assert mailed_to() == ["reset@example.org", "silent@example.org"]

    events = pd.event_lines()
    assert DROP_EVENT.format("Demo Company") in events
    assert not [e for e in events if e.startswith(BROKEN_EVENT.format("Demo Company"))]
    broken = [e for e in events if e.startswith(BROKEN_EVENT.format("Reset Ltd"))]
    assert len(broken) == 1 and "code 1006: connection ended without a close frame" in broken[0], events
    assert len([e for e in events if e.startswith(BROKEN_EVENT.format("Back Ltd"))]) == 1
    closed = [e for e in events if "Due To Normal Closure" in e]
    assert [e.split(" Disconnected")[0] for e in closed] == ["3\tfrmVantorWebSrv_wsServer_Disconnected\tClosed Ltd",
                                                            "3\tfrmVantorWebSrv_wsServer_Disconnected\tBack Ltd"]
    silent.sock.close()


@pytest.mark.realtime
def test_promises_receivers_and_deleted_customers(program_dir):
    """A shortened tick (0.2 s, each still counting 30 s of aging)."""
    tick = 0.2
    pd = program_dir
    pd.console("customer", "add", C2, "Deleted Ltd")
    pd.configure(WssEnabled="false")
    pd.start(env={"VANTOR_TEST_TICK_MS": str(int(tick * 1000))})
    database = pd.path / "VantorWeb.mdb"

    def stored_receiver():
        with sqlite3.connect(database) as db:
            return db.execute("SELECT BcaRecvName, BcaMailAddress FROM Customer WHERE CustID = ?",
                              (C1,)).fetchone()

    async def scenario():
        # KEEPALIVE:150 with a keep-alive every 135 s (4.5 ticks, a little early, as real agents
        # are): never dropped, where a fixed limit of 90 s of aging dropped it at the fourth tick
        # after each keep-alive.
        promised = await agent(pd, C1, sep="&", keepalive=150, receiver=receiver("Ann"))
        promised.keep_alive(4.5 * tick)
        deleted = await agent(pd, C2, sep="&")
        deleted.keep_alive(tick / 2)

        # A receiver that cannot be stored is not acknowledged, and the stored one stays.
        await promised.send(f"CA{C1}0  BCA:no tabs at all")
        assert await promised.quiet(1.0)
        assert stored_receiver() == ("Ann", "ann@example.org")

        # The last row deleted by another program, then the console's reload: its agent goes,
        # and the id is no longer found.
        with sqlite3.connect(database) as db:
            db.execute("DELETE FROM Customer WHERE CustID = ?", (C2,))
        await asyncio.to_thread(pd.console, "reload")
        await deleted.closed(timeout=10)
        stranger = await agent_refused(pd, C2)
        assert stranger == f"CW00000000" f"0  MSG:Disconnected. CustID: {C2} Not Found"
        # Added again, it is found only once the console has had the table reloaded.
        await asyncio.to_thread(pd.console, "customer", "add", C2, "Added Ltd")
        assert await agent_refused(pd, C2) == stranger
        reloaded = await asyncio.to_thread(pd.console, "reload")
        assert reloaded.stdout == "The service reloaded its customer table\n"
        (await agent(pd, C2, sep="&")).keep_alive(tick / 2)

        await asyncio.sleep(25 * tick)
        assert promised.closed_at is None and promised.echoes >= 5

    run_clients(scenario)
    events = pd.event_lines()
    assert not [e for e in events if e.startswith("2\t")], events
    assert any(e.startswith("1\tmodVantorWebSrv_SaveBrokenConnAlarm\tInvalid alarm receiver") for e in events)
    assert pd.stop() == 0


async def agent_refused(pd, cust):
    """The first message an agent of `cust` gets."""
    peer = await Client.connect(pd, f"/agt?{cust}&pw__________")
    return await peer.next()
