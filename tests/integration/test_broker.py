"""The broker end to end: the real service in a temporary program directory, with agents and
mobiles played by python3-websockets clients over the plain (ws) and the TLS (wss) listener."""

import asyncio
import re
import signal
import sqlite3
import ssl
import time

import websockets

from conftest import wait_for

C1, C2 = "01000001", "02000002"
NO_TLS_CHECK = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
NO_TLS_CHECK.check_hostname = False
NO_TLS_CHECK.verify_mode = ssl.CERT_NONE
STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}"
DATE_TIME = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"


def run(coro, timeout=90):
    return asyncio.run(asyncio.wait_for(coro, timeout))


async def connect(pd, kind, path, ctx=NO_TLS_CHECK):
    port = pd.ws_port if kind == "ws" else pd.wss_port
    # The path goes out as written, the space in front of the pass included.
    return await websockets.connect(f"{kind}://127.0.0.1:{port}{path}",
                                    ssl=ctx if kind == "wss" else None,
                                    open_timeout=5, close_timeout=2)


async def recv(ws, timeout=3.0):
    return await asyncio.wait_for(ws.recv(), timeout)


async def nothing_arrives(ws, seconds=0.6):
    """True when no message arrives within the time (a close counts as nothing)."""
    try:
        message = await asyncio.wait_for(ws.recv(), seconds)
    except asyncio.TimeoutError:
        return True
    except websockets.ConnectionClosed:
        return True
    raise AssertionError(f"unexpected message {message!r}")


async def agent(pd, kind, cid, pw, version="3.10"):
    ws = await connect(pd, kind, f"/agt?{cid} {pw}__________")
    assert await recv(ws) == f"CW{cid}0  Connection Accepted"
    await ws.send(f"CA{cid}0  VER:{version} KEEPALIVE:30")
    assert await recv(ws) == f"CW{cid}0  VER:OK KEEPALIVE:OK"
    return ws


async def mobile(pd, kind, cid, pw):
    """A registered mobile and its mobile number as the header carries it (3 characters)."""
    ws = await connect(pd, kind, f"/mob?{cid} {pw}__________")
    first = await recv(ws)
    match = re.fullmatch(rf"CW{cid}(\d +|\d\d |\d\d\d)Connection Accepted", first)
    assert match, first
    nr = match.group(1)
    await ws.send(f"CM{cid}{nr}VER:3.10")
    assert await recv(ws) == f"CW{cid}0  VER:OK"
    return ws, nr


async def refused(pd, kind, path):
    ws = await connect(pd, kind, path)
    return ws, await recv(ws)


def customer_rows(pd):
    with sqlite3.connect(pd.path / "VantorWeb.mdb") as db:
        return db.execute("SELECT CustID, BcaRecvName, BcaRecvType, BcaPoUserKey, BcaPoDevice, "
                          "BcaMailAddress FROM Customer ORDER BY CustID").fetchall()


def connected_event(pd, company):
    """The connection id of the last "<company> Connected From: 127.0.0.1" event."""
    line = wait_for(lambda: [l for l in pd.event_lines()
                             if f"{company} Connected From: 127.0.0.1 (connID=" in l],
                    timeout=5, what=f"{company} connected event")[-1]
    assert line.startswith("3\t"), line
    return int(re.search(r"connID=(\d+)\)$", line).group(1))


def lines_of(pd, relative):
    return (pd.path / relative).read_bytes().decode().split("\r\n")


def start(pd, debug=0, customers=((C2, "Beta Ltd"),)):
    for cid, company, *flags in customers:
        pd.console("customer", "add", cid, company, *flags)
    pd.console("settings", "set", "DebugMode", str(debug))
    pd.start()
    pd.wait_started()


# ---------------------------------------------------------------- relaying

def test_requests_and_answers_are_relayed_within_each_customer_across_both_servers(program_dir):
    pd = program_dir
    start(pd, debug=1)

    async def scenario():
        agent1 = await agent(pd, "wss", C1, "p1")
        agent1_id = connected_event(pd, "Demo Company")
        agent2 = await agent(pd, "ws", C2, "p2")
        mob_a, nr_a = await mobile(pd, "ws", C1, "p1")    # cross-server: agent on wss
        mob_b, nr_b = await mobile(pd, "wss", C1, "p1")
        mob_c, nr_c = await mobile(pd, "wss", C2, "p2")   # cross-server: agent on ws
        assert len({nr_a, nr_b, nr_c}) == 3

        await agent1.send(f"CA{C1}0  keep-alive\t35")
        assert await recv(agent1) == f"CA{C1}0  keep-alive"

        # Each request reaches its own customer's agent whole, each answer only its mobile.
        for ws, nr, ag, cid in ((mob_a, nr_a, agent1, C1), (mob_b, nr_b, agent1, C1),
                                (mob_c, nr_c, agent2, C2)):
            request = f"DM{cid}{nr}001:status of site {nr.strip()}"
            await ws.send(request)
            assert await recv(ag) == request
            answer = f"DA{cid}{nr}001:site {nr.strip()} is fine"
            await ag.send(answer)
            assert await recv(ws) == answer
        for ws in (mob_a, mob_b, mob_c, agent1, agent2):
            assert await nothing_arrives(ws, 0.3)

        # Cleaning: the plain server drops U+00A0; the TLS server trims spaces and drops U+00C2, U+00A0.
        await mob_a.send(f"DM{C1}{nr_a}002:a\u00a0b")
        assert await recv(agent1) == f"DM{C1}{nr_a}002:ab"
        await mob_b.send(f"DM{C1}{nr_b}002:c\u00c2\u00a0d  ")
        assert await recv(agent1) == f"DM{C1}{nr_b}002:cd"

        # An answer for a free mobile slot goes back to the agent as a notice.
        await agent1.send(f"DA{C1}49 lost")
        assert await recv(agent1) == f"CW{C1}0  Mobile Software Not Connected"

        # The agent closes normally: its mobiles stay and are told the agent is gone.
        await agent1.close(1000)
        wait_for(lambda: f"Demo Company Disconnected From Server Due To Normal Closure (connID={agent1_id})"
                 in pd.events(), timeout=5, what="closure event")
        await mob_a.send(f"DM{C1}{nr_a}001:anyone?")
        assert await recv(mob_a) == f"CW{C1}0  MSG:Agent Software Not Connected"

        # Stop: every connected client is told the service goes away, and the process ends well.
        pd.process.send_signal(signal.SIGTERM)
        for ws in (agent2, mob_a, mob_b, mob_c):
            await asyncio.wait_for(ws.wait_closed(), 15)
            assert ws.close_code == 1001
        return agent1_id

    agent1_id = run(scenario())
    assert pd.process.wait(timeout=30) == 0
    pd.process = None

    # Always-on logs: every TCP connection of each server, every accepted mobile.
    ws_log = [l for l in lines_of(pd, "Log/WsConnectionRequest.txt") if l]
    wss_log = [l for l in lines_of(pd, "Log/WssConnectionRequest.txt") if l]
    assert len(ws_log) == 2 and len(wss_log) == 3
    for line in ws_log + wss_log:
        assert re.fullmatch(rf"{STAMP}\tFrom: 127\.0\.0\.1\t\d+\tAccept: True", line), line
    mobiles = [l for l in lines_of(pd, "Log/MobileConnection.txt") if l]
    assert len(mobiles) == 3
    assert re.fullmatch(rf"{STAMP}\t127\.0\.0\.1\tDemo Company        \tUser-Agent: Python/\S+ websockets/\S+",
                        mobiles[0]), mobiles[0]
    assert "\tBeta Ltd            \t" in mobiles[2]

    # Debug mode traces the agent's conversation under its connection id.
    debug = pd.path / "Debug"
    assert (debug / f"WssAgtWebSocketOpenRequest-{agent1_id}.txt").exists()
    connected = (debug / f"WssConnected-{agent1_id}.txt").read_bytes().decode()
    assert f"---> CW{C1}0  Connection Accepted\r\n" in connected
    assert f"StatusCode:  1000" in (debug / f"WssDisconnected-{agent1_id}.txt").read_bytes().decode()
    keep_alive = (pd.path / "KeepAlive" / f"WssAgtDataInKA-{agent1_id}.txt").read_bytes().decode()
    assert "\tlast keep-alive rtt\t35\r\n" in keep_alive
    assert list(debug.glob("WsMobSession-*.txt")) and list(debug.glob("WssMobSession-*.txt"))


# ---------------------------------------------------------------- admission refusals

def test_refused_connections_get_their_text_and_are_closed_by_the_service(program_dir):
    pd = program_dir
    start(pd, customers=((C2, "Beta Ltd", "--disabled"), ("03000003", "Gamma Ltd")))
    refusal = "CW00000000" "0  "

    async def scenario():
        registered = await agent(pd, "ws", C1, "right")
        cases = [
            ("ws", "/agt?01999999 x__________", "MSG:Disconnected. CustID: 01999999 Not Found"),
            ("wss", "/mob?05000005 x__________", "MSG:Disconnected. CustID: 05000005 Not Found"),
            ("ws", f"/agt?{C2} x__________", f"MSG:Disconnected. CustID: {C2} Not Enabled"),
            ("wss", f"/mob?{C2} x__________", f"MSG:Disconnected. CustID: {C2} Not Enabled"),
            ("ws", "/mob?03000003 x__________", "MSG:Disconnected. Agent Software Not Connected"),
            ("wss", f"/mob?{C1} wrong__________", "MSG:Disconnected. Invalid CustPass"),
            ("ws", f"/mob?{C1} right", "MSG:Disconnected. Invalid CustPass"),  # no underscores: empty pass
            ("wss", f"/agt?{C1} right__________", "MSG:Connection Exist."),
            ("ws", "/status", "MSG:Disconnected. Invalid Request Path"),
            ("wss", "/", "MSG:Disconnected. Invalid Request Path"),
        ]
        began = time.monotonic()
        clients = []
        for kind, path, text in cases:
            ws, first = await refused(pd, kind, path)
            assert first == refusal + text, (path, first)
            clients.append(ws)
        # The clients stay silent; the service closes every one of them after its grace period.
        await asyncio.wait_for(asyncio.gather(*(ws.wait_closed() for ws in clients)), 8)
        assert time.monotonic() - began < 8
        assert all(ws.close_code == 1000 for ws in clients)
        # The registered agent kept its connection through the second agent's attempt.
        await registered.send(f"CA{C1}0  keep-alive")
        assert await recv(registered) == f"CA{C1}0  keep-alive"
        assert registered.open

    run(scenario())
    assert pd.stop()[0] == 0


def test_the_51st_mobile_of_all_customers_together_is_refused(program_dir):
    pd = program_dir
    start(pd)

    async def scenario():
        agents = [await agent(pd, "ws", C1, "a"), await agent(pd, "wss", C2, "b")]
        mobiles = []
        for i in range(50):
            cid, pw, kind = (C1, "a", "ws") if i % 2 else (C2, "b", "wss")
            mobiles.append(await mobile(pd, kind, cid, pw))
        assert sorted(int(nr) for _, nr in mobiles) == list(range(1, 51))
        ws, first = await refused(pd, "ws", f"/mob?{C1} a__________")
        assert first == "CW00000000" "0  " "MSG:Disconnected. Max Connection is 50"
        await asyncio.wait_for(ws.wait_closed(), 5)
        # A freed slot is given to the next mobile.
        gone, gone_nr = mobiles.pop(7)
        await gone.close()
        for _ in range(20):  # the slot is free once the service has handled the close
            again = await connect(pd, "wss", f"/mob?{C1} a__________")
            first = await recv(again)
            if first == f"CW{C1}{gone_nr}Connection Accepted":
                break
            assert first.endswith("MSG:Disconnected. Max Connection is 50"), first
            await again.close()
            await asyncio.sleep(0.25)
        else:
            raise AssertionError("the freed mobile slot was not given out again")
        for ws, _ in mobiles + [(again, gone_nr)]:
            await ws.close()
        for ws in agents:
            await ws.close()

    run(scenario())
    assert pd.stop()[0] == 0


# ---------------------------------------------------------------- forged senders

def test_messages_under_another_customers_header_reach_nobody_and_change_nothing(program_dir):
    pd = program_dir
    start(pd, debug=1)

    async def scenario():
        agent1 = await agent(pd, "ws", C1, "p1")
        mob1, nr1 = await mobile(pd, "wss", C1, "p1")
        agent2 = await agent(pd, "wss", C2, "p2")
        mob2, nr2 = await mobile(pd, "ws", C2, "p2")
        outsider, first = await refused(pd, "ws", f"/mob?{C1} guess__________")
        assert first.endswith("MSG:Disconnected. Invalid CustPass")
        before = customer_rows(pd)
        connected_event(pd, "Demo Company")
        connected_event(pd, "Beta Ltd")
        events_before = len(pd.event_lines())

        forged = [
            f"CA{C1}0  keep-alive\t35",
            f"CA{C1}0  VER:1.00 KEEPALIVE:30",
            f"CA{C1}0  BCA:Mallory\tMailSMTP\t\t\tmallory@example.net",
            f"CA{C1}0  StatLog:forged statistics",
            f"DA{C1}{nr1}forged answer",
            f"DM{C1}{nr1}forged request",
            f"CM{C1}{nr1}VER:1.00",
        ]
        for spoofer in (agent2, mob2, outsider):
            for text in forged:
                await spoofer.send(text)
        for ws in (agent1, mob1, agent2, mob2, outsider):
            assert await nothing_arrives(ws, 0.8)
        assert customer_rows(pd) == before
        await asyncio.sleep(0.6)  # an event is written after a pause of 500 ms
        new_events = pd.event_lines()[events_before:]
        assert not [l for l in new_events if "Connected From" in l or "Mismatch" in l], new_events

        # The real agent and mobile of customer 1 are still served as before.
        await agent1.send(f"CA{C1}0  keep-alive\t35")
        assert await recv(agent1) == f"CA{C1}0  keep-alive"
        await mob1.send(f"DM{C1}{nr1}real request")
        assert await recv(agent1) == f"DM{C1}{nr1}real request"
        await agent1.send(f"DA{C1}{nr1}real answer")
        assert await recv(mob1) == f"DA{C1}{nr1}real answer"

        # The real agent's receiver is stored verbatim, quotes and SQL included.
        fields = ["O'Brien \"Ops\"", "MailSMTP", "key'); DROP TABLE Customer; --",
                  "dev' OR '1'='1", "ops@example.com'--"]
        await agent1.send(f"CA{C1}0  BCA:" + "\t".join(fields))
        assert await recv(agent1) == f"CW{C1}0  BCA:OK"
        wait_for(lambda: customer_rows(pd) != before, timeout=5, what="stored receiver")
        rows = customer_rows(pd)
        assert rows[0] == (C1, *fields)
        assert rows[1] == before[1]
        for ws in (agent1, mob1, agent2, mob2):
            await ws.close()

    run(scenario())
    assert pd.stop()[0] == 0
    ignored = list((pd.path / "Debug").glob("*Ignored-*.txt"))
    assert ignored, "ignored messages are traced in debug mode"


# ---------------------------------------------------------------- listener start-up
