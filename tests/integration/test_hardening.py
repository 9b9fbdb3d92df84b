"""The real service under hostile peers and faults: a flood of half-open connections from a second
loopback address, a client that trickles its upgrade request, a database locked by another
program, and SIGKILL during a burst of stores."""
import socket
import sqlite3
import time

from conftest import C1, C2, agent, mobile, run_clients

FLOODER = "127.0.0.2"


def flood(port, count):
    """TCP connections from the second loopback address that never send a byte."""
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


def closed_by_server(s, timeout):
    s.settimeout(timeout)
    try:
        return s.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def test_a_flooding_address_locks_nobody_out_and_is_logged_once(program_dir):
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
        still_open = [s for s in held if not closed_by_server(s, 0.05)]
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
    assert [line for line in pd.event_lines() if "Refused" in line] == [
        f"2\tfrmVantorWebSrv_wsServer_ConnectionRequest\tConnections From {FLOODER} Refused: "
        "16 connections from this address are still opening"]
    assert pd.stop() == 0
    assert "<3>frmVantorWebSrv_wsServer_ConnectionRequest: Connections From 127.0.0.2 Refused" in pd.stderr


def test_a_trickled_upgrade_request_cannot_extend_the_opening_deadline(program_dir):
    pd = program_dir
    pd.start()
    s = socket.create_connection(("127.0.0.1", pd.ws_port))
    request = (b"GET /agt?01000001%20pw__________ HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
               b"Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n")
    started = time.monotonic()
    closed = False
    for byte in request:
        try:
            s.sendall(bytes([byte]))
        except OSError:
            closed = True
        if closed or closed_by_server(s, 0.1):
            break
    assert time.monotonic() - started < 6.5, "still open after the deadline"
    assert time.monotonic() - started > 4.5  # not closed for the trickling itself
    s.close()
    assert pd.stop() == 0


def receivers(pd):
    with sqlite3.connect(pd.path / "VantorWeb.mdb") as db:
        return dict(db.execute("SELECT CustID, BcaRecvName FROM Customer").fetchall())


def test_a_locked_database_stalls_only_the_acknowledgement_and_nothing_is_lost(program_dir):
    pd = program_dir
    pd.console("customer", "add", C2, "Beta Ltd")
    pd.start()
    locker = sqlite3.connect(pd.path / "VantorWeb.mdb", isolation_level=None)

    async def scenario():
        storing = await agent(pd, C1)
        relaying = await agent(pd, C2)
        phone = await mobile(pd, C2)
        locker.execute("BEGIN EXCLUSIVE")
        await storing.send(f"CA{C1}0  BCA:Ann\tMailSMTP\t\t\tann@example.org")
        # While the database is locked, another customer's relay goes on.
        for n in range(3):
            request = f"DM{C2}{phone.nr}during lock {n}"
            await phone.send(request)
            await relaying.expect(request, timeout=1)
        assert await storing.quiet(1.5)  # not acknowledged before it is stored
        locker.execute("COMMIT")
        await storing.expect(f"CW{C1}0  BCA:OK", timeout=5)
        assert receivers(pd)[C1] == "Ann"

    run_clients(scenario)
    locker.close()
    assert pd.stop() == 0


def test_kill_9_during_a_burst_of_stores_loses_nothing_acknowledged(program_dir):
    pd = program_dir
    pd.start()
    acks = []

    async def scenario():
        peer = await agent(pd, C1)
        for n in range(300):  # a burst: the stores queue up behind each other
            await peer.send(f"CA{C1}0  BCA:Name{n}\tMailSMTP\t\t\tn{n}@example.org")
        while len(acks) < 50:
            await peer.expect(f"CW{C1}0  BCA:OK")
            acks.append(len(acks))
        pd.process.kill()  # SIGKILL, with stores still in flight
        await peer.closed()

    run_clients(scenario)
    pd.process.wait(timeout=10)
    pd.process = None
    with sqlite3.connect(pd.path / "VantorWeb.mdb") as db:
        assert db.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
    # Acknowledgements follow the stores in order, so the stored receiver is at least the 50th.
    stored = int(receivers(pd)[C1][len("Name"):])
    assert stored >= 49, stored
    pd.start()  # the killed instance's lock does not block the new one
    assert pd.stop() == 0
