"""The broker end to end: the real service in a temporary program directory, with agents and
mobiles played by python3-websockets clients over the plain (ws) and the TLS (wss) listener."""
import asyncio
import re
import signal
import sqlite3
import time

from conftest import C1, C2, Client, agent, mobile, run_clients, until, wait_for

STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}"
REFUSAL = "CW00000000" "0  MSG:"


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


def log_lines(pd, relative):
    return [line for line in (pd.path / relative).read_bytes().decode().split("\r\n") if line]


def test_relay_within_each_customer_across_both_servers_and_forged_headers(program_dir):
    pd = program_dir
    pd.console("customer", "add", C2, "Beta Ltd")
    pd.configure(DebugMode=1)
    pd.start()

    async def scenario():
        agent1 = await agent(pd, C1, "p1", tls=True)
        agent1_id = connected_event(pd, "Demo Company")
        agent2 = await agent(pd, C2, "p2")
        mob_a = await mobile(pd, C1, "p1")               # cross-server: agent on wss
        mob_b = await mobile(pd, C1, "p1", tls=True)
        mob_c = await mobile(pd, C2, "p2", tls=True)     # cross-server: agent on ws
        assert len({mob_a.nr, mob_b.nr, mob_c.nr}) == 3
        await agent1.echoed("\t35")

        # Each request reaches its own customer's agent whole, each answer only its mobile.
        for mob, ag, cid in ((mob_a, agent1, C1), (mob_b, agent1, C1), (mob_c, agent2, C2)):
            request = f"DM{cid}{mob.nr}001:status of site {mob.nr.strip()}"
            await mob.send(request)
            await ag.expect(request)
            answer = f"DA{cid}{mob.nr}001:site {mob.nr.strip()} is fine"
            await ag.send(answer)
            await mob.expect(answer)
        for client in (mob_a, mob_b, mob_c, agent1, agent2):
            assert await client.quiet(0.3)

        # Messages under customer 1's header from customer 2's clients and from a refused mobile
        # reach nobody and change nothing.
        outsider = await Client.connect(pd, f"/mob?{C1} guess__________")
        await outsider.expect(REFUSAL + "Disconnected. Invalid CustPass")
        before, events_before = customer_rows(pd), len(pd.event_lines())
        forged = [f"CA{C1}0  keep-alive\t35", f"CA{C1}0  VER:1.00 KEEPALIVE:30",
                  f"CA{C1}0  BCA:Mallory\tMailSMTP\t\t\tmallory@example.net",
                  f"CA{C1}0  StatLog:forged statistics", f"DA{C1}{mob_a.nr}forged answer",
                  f"DM{C1}{mob_a.nr}forged request", f"CM{C1}{mob_a.nr}VER:1.00"]
        for spoofer in (agent2, mob_c, outsider):
            for text in forged:
                await spoofer.send(text)
        for client in (agent1, mob_a, agent2, mob_c, outsider):
            assert await client.quiet(0.8)
        assert (agent1.echoes, outsider.echoes) == (1, 0) and customer_rows(pd) == before
        await asyncio.sleep(0.6)  # an event is written after a pause of 500 ms
        assert not [l for l in pd.event_lines()[events_before:] if "Connected From" in l or "Mismatch" in l]

        # The real agent's receiver is stored verbatim, quotes and SQL included.
        fields = ["O'Brien \"Ops\"", "MailSMTP", "key'); DROP TABLE Customer; --",
                  "dev' OR '1'='1", "ops@example.com'--"]
        await agent1.send(f"CA{C1}0  BCA:" + "\t".join(fields))
        await agent1.expect(f"CW{C1}0  BCA:OK")
        wait_for(lambda: customer_rows(pd) != before, timeout=5, what="stored receiver")
        assert customer_rows(pd) == [(C1, *fields), before[1]]

        # Cleaning: the plain server drops U+00A0; the TLS server trims spaces and drops U+00C2, U+00A0.
        await mob_a.send(f"DM{C1}{mob_a.nr}002:a\u00a0b")
        await agent1.expect(f"DM{C1}{mob_a.nr}002:ab")
        await mob_b.send(f"DM{C1}{mob_b.nr}002:c\u00c2\u00a0d  ")
        await agent1.expect(f"DM{C1}{mob_b.nr}002:cd")
        # An answer for a free mobile slot goes back to the agent as a notice.
        await agent1.send(f"DA{C1}49 lost")
        await agent1.expect(f"CW{C1}0  Mobile Software Not Connected")

        # The agent closes normally: its mobiles stay and are told the agent is gone.
        await agent1.ws.close(1000)
        wait_for(lambda: f"Demo Company Disconnected From Server Due To Normal Closure (connID={agent1_id})"
                 in pd.events(), timeout=5, what="closure event")
        await mob_a.send(f"DM{C1}{mob_a.nr}001:anyone?")
        await mob_a.expect(f"CW{C1}0  MSG:Agent Software Not Connected")

        # Stop: every connected client is told the service goes away, and the process ends well.
        pd.process.send_signal(signal.SIGTERM)
        for client in (agent2, mob_a, mob_b, mob_c):
            await client.closed(15)
            assert client.ws.close_code == 1001
        return agent1_id

    agent1_id = run_clients(scenario)
    assert pd.process.wait(timeout=30) == 0
    pd.process = None

    # Always-on logs: every TCP connection of each server, every accepted mobile.
    ws_log, wss_log = log_lines(pd, "Log/WsConnectionRequest.txt"), log_lines(pd, "Log/WssConnectionRequest.txt")
    assert len(ws_log) == 3 and len(wss_log) == 3
    for line in ws_log + wss_log:
        assert re.fullmatch(rf"{STAMP}\tFrom: 127\.0\.0\.1\t\d+\tAccept: True", line), line
    mobiles = log_lines(pd, "Log/MobileConnection.txt")
    assert len(mobiles) == 3
    assert re.fullmatch(rf"{STAMP}\t127\.0\.0\.1\tDemo Company        \tUser-Agent: Python/\S+ websockets/\S+",
                        mobiles[0]), mobiles[0]
    assert "\tBeta Ltd            \t" in mobiles[2]

    # Debug mode traces the agent's conversation under its connection id, and ignored messages.
    debug = pd.path / "Debug"
    assert (debug / f"WssAgtWebSocketOpenRequest-{agent1_id}.txt").exists()
    connected = (debug / f"WssConnected-{agent1_id}.txt").read_bytes().decode()
    assert f"---> CW{C1}0  Connection Accepted\r\n" in connected
    assert "StatusCode:  1000" in (debug / f"WssDisconnected-{agent1_id}.txt").read_bytes().decode()
    keep_alive = (pd.path / "KeepAlive" / f"WssAgtDataInKA-{agent1_id}.txt").read_bytes().decode()
    assert "\tlast keep-alive rtt\t35\r\n" in keep_alive
    assert list(debug.glob("WsMobSession-*.txt")) and list(debug.glob("WssMobSession-*.txt"))
    assert list(debug.glob("*Ignored-*.txt"))


def test_refusals_are_closed_by_the_service_and_the_51st_mobile_is_refused(program_dir):
    pd = program_dir
    C3 = "03000003"
    pd.console("customer", "add", C2, "Beta Ltd", "--disabled")
    pd.console("customer", "add", C3, "Gamma Ltd")
    pd.start()

    async def scenario():
        registered = await agent(pd, C1, "right")
        cases = [
            (False, "/agt?01999999 x__________", "Disconnected. CustID: 01999999 Not Found"),
            (True, "/mob?05000005 x__________", "Disconnected. CustID: 05000005 Not Found"),
            (False, f"/agt?{C2} x__________", f"Disconnected. CustID: {C2} Not Enabled"),
            (True, f"/mob?{C2} x__________", f"Disconnected. CustID: {C2} Not Enabled"),
            (False, f"/mob?{C3} x__________", "Disconnected. Agent Software Not Connected"),
            (True, f"/mob?{C1} wrong__________", "Disconnected. Invalid CustPass"),
            (False, f"/mob?{C1} right", "Disconnected. Invalid CustPass"),  # no underscores: empty pass
            (True, f"/agt?{C1} right__________", "Connection Exist."),
            (False, "/status", "Disconnected. Invalid Request Path"),
            (True, "/", "Disconnected. Invalid Request Path"),
        ]
        began = time.monotonic()
        refused = []
        for tls, path, text in cases:
            client = await Client.connect(pd, path, tls)
            first = await client.next()
            assert first == REFUSAL + text, path
            refused.append(client)
        # The clients stay silent; the service closes every one of them after its grace period.
        await asyncio.gather(*(client.closed(8) for client in refused))
        assert time.monotonic() - began < 8
        assert all(client.ws.close_code == 1000 for client in refused)
        # The registered agent kept its connection through the second agent's attempt.
        await registered.echoed()

        # 50 mobiles of all customers together; the 51st is refused, a freed slot given out again.
        await agent(pd, C3, "c", tls=True)
        mobiles = [await mobile(pd, *((C1, "right") if i % 2 else (C3, "c")), tls=i % 3 == 0)
                   for i in range(50)]
        assert sorted(int(m.nr) for m in mobiles) == list(range(1, 51))
        extra = await Client.connect(pd, f"/mob?{C1} right__________")
        await extra.expect(REFUSAL + "Disconnected. Max Connection is 50")
        await extra.closed()
        gone = mobiles[7]
        await gone.ws.close()
        await until(lambda: gone.closed_at, 5, "the closed mobile")
        for _ in range(20):  # the slot is free once the service has handled the close
            again = await Client.connect(pd, f"/mob?{C1} right__________", tls=True)
            first = await again.next()
            if first == f"CW{C1}{gone.nr}Connection Accepted":
                return
            assert first == REFUSAL + "Disconnected. Max Connection is 50"
            await again.ws.close()
            await asyncio.sleep(0.25)
        raise AssertionError("the freed mobile slot was not given out again")

    run_clients(scenario)
    assert pd.stop()[0] == 0
