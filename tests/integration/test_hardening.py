"""The real service under hostile peers: a flood of half-open connections from a second loopback
address, and a client that trickles its upgrade request."""
import asyncio
import socket
import time

from conftest import C1, agent, run_clients, wait_for

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
