"""Hostile peers and faults: half-open floods, a trickled upgrade, SIGKILL, an agent that stops reading."""
import asyncio
import socket
import sqlite3
import subprocess
import sys
import time

from conftest import C1, C2, agent, closed_within, mobile, receivers, round_trip, run_clients

FLOODER = "127.0.0.2"


def flood(port, count):
    sockets = []
    for _ in range(count):
        s = socket.socket()
        s.bind((FLOODER, 0))
        s.settimeout(5)
        try:
            s.connect(("127.0.0.1", port))
        except OSError:
            s.close()
            continue
        sockets.append(s)
    return sockets


def test_a_flooding_address_locks_nobody_out_and_is_logged_once_and_trickling_gains_no_time(program_dir):
    pd = program_dir
    pd.start()
    held = flood(pd.ws_port, 600)
    try:
        async def scenario():
            started = time.monotonic()
            await agent(pd, C1)
            return time.monotonic() - started

        assert run_clients(scenario) < 1.0
        # The service kept 16 of them open; the rest were closed at once.
        still_open = [s for s in held if not closed_within(s, 0.05)]
        assert len(still_open) == 16
        # A second flood within the minute adds no report.
        held += flood(pd.ws_port, 100)
        time.sleep(0.6)  # an event is written after a pause of 500 ms
    finally:
        for s in held:
            s.close()
    log = (pd.path / "Log" / "WsConnectionRequest.txt").read_text()
    flooder = [line.split("\t")[1:] for line in log.splitlines() if FLOODER in line]
    assert [fields for fields in flooder if fields[2] == "Accept: False"] == [
        [f"From: {FLOODER}", "0", "Accept: False"]]
    assert len(flooder) == 17  # the 16 it let open, each logged as usual, and the one refusal
    assert pd.mentions("Refused") == [
        f"2\tfrmVantorWebSrv_wsServer_ConnectionRequest\tConnections From {FLOODER} Refused: "
        "16 connections from this address are still opening"]
    # An upgrade request sent a byte at a time does not extend the opening deadline.
    s = socket.create_connection(("127.0.0.1", pd.ws_port))
    request = (b"GET /agt?01000001%20pw__________ HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
               b"Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n")
    started = time.monotonic()
    for byte in request:
        try:
            s.sendall(bytes([byte]))
        except OSError:
            break
        if closed_within(s, 0.1):
            break
    assert 4.5 < time.monotonic() - started < 6.5  # closed at the deadline, not for the trickling
    s.close()
    assert pd.stop() == 0
    assert "<3>frmVantorWebSrv_wsServer_ConnectionRequest: Connections From 127.0.0.2 Refused" in pd.stderr


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


FLOOD_SCRIPT = """
import asyncio, re, sys, websockets
async def main(port, cust):
    async with websockets.connect(f"ws://127.0.0.1:{port}/mob?{cust} pw__________") as ws:
        nr = re.fullmatch(rf"CW{cust}(...)Connection Accepted", await ws.recv()).group(1)
        payload = "x" * (512 * 1024)
        try:
            for _ in range(80):  # 40 MiB: far past the socket buffers and the queue bound
                await ws.send(f"DM{cust}{nr}{payload}")
        except websockets.ConnectionClosed:
            pass
asyncio.run(main(int(sys.argv[1]), sys.argv[2]))
"""


def test_an_agent_that_stops_reading_costs_only_its_own_customer_and_kill_9_loses_no_store(two_customers):
    pd = two_customers
    pd.start()
    pid = pd.process.pid

    async def scenario():
        stalled = await agent(pd, C1)
        relaying, phone = await agent(pd, C2), await mobile(pd, C2)
        await round_trip(relaying, phone, "before")  # past the connections' own start events
        baseline = rss_kib(pid)
        stalled.ws.transport.pause_reading()  # the agent's socket buffers fill, then its queue

        # The flood comes from another process, so that this one only measures.
        flooding = subprocess.Popen([sys.executable, "-c", FLOOD_SCRIPT, str(pd.ws_port), C1])
        worst, peak = 0.0, baseline
        for n in range(200):
            worst = max(worst, await round_trip(relaying, phone, n))
            peak = max(peak, rss_kib(pid))
            if flooding.poll() is not None and n >= 50:
                break
            await asyncio.sleep(0.01)
        assert flooding.wait(timeout=30) == 0
        # The stalled agent was dropped (what it reads now ends in the close), and its customer
        # can connect again at once.
        stalled.ws.transport.resume_reading()
        await stalled.closed(timeout=10)
        back = await agent(pd, C1)
        await round_trip(back, await mobile(pd, C1), "after")
        for n in range(300):  # a burst: the stores queue up behind each other
            await back.send(f"CA{C1}0  BCA:Name{n}\tMailSMTP\t\t\tn{n}@example.org")
        for _ in range(50):
            await back.expect(f"CW{C1}0  BCA:OK")
        pd.process.kill()  # SIGKILL, with stores still in flight
        await back.closed()
        return worst, peak - baseline

    worst, growth = run_clients(scenario)
    # The other customer's round trips stayed short (loopback: a few ms), and what the service
    # held for the stalled agent stayed near its queue bound (4 MiB) plus one message being read.
    assert worst < 0.25, worst
    assert growth < 16 * 1024, growth
    assert [e for e in pd.mentions("Demo Company Disconnected") if "client does not read" in e], pd.events()
    pd.process.wait(timeout=10)
    with sqlite3.connect(pd.path / "VantorWeb.mdb") as db:
        assert db.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
    # Acknowledgements follow the stores in order, so the stored receiver is at least the 50th.
    assert int(receivers(pd)[C1][len("Name"):]) >= 49, receivers(pd)
    pd.start()  # the killed instance's lock does not block the new one
    assert pd.stop() == 0
