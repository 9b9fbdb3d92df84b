"""The broker end to end, with python3-websockets clients over the ws and the wss listener."""
import asyncio
import signal

import pytest

from conftest import C1, C2, REFUSAL, Client, agent, mobile, receivers, run_clients


def test_relay_within_each_customer_across_both_servers(two_customers):
    pd = two_customers
    pd.start()

    async def scenario():
        agent1 = await agent(pd, C1, "p1", tls=True)
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

        # Stop: every connected client is told the service goes away, and the process ends well.
        pd.process.send_signal(signal.SIGTERM)
        for client in (agent1, agent2, mob_a, mob_b, mob_c):
            await client.closed(15)
            assert client.ws.close_code == 1001

    run_clients(scenario)
    assert pd.process.wait(timeout=30) == 0
    pd.process = None


def test_refusals_are_closed_by_the_service(program_dir):
    pd = program_dir
    pd.console("customer", "add", C2, "Beta Ltd", "--disabled")
    pd.start()

    async def scenario():
        registered = await agent(pd, C1, "right")
        # The refusal texts are the broker's unit tests; here two real clients, one per listener.
        refused = []
        for tls, path, text in ((True, f"/mob?{C2} x__________", f"Disconnected. CustID: {C2} Not Enabled"),
                                (False, f"/agt?{C1} right__________", "Connection Exist.")):
            refused.append(await Client.connect(pd, path, tls))
            assert await refused[-1].next() == REFUSAL + text, path
        # The clients stay silent; the service closes every one of them after its grace period.
        await asyncio.gather(*(client.closed(8) for client in refused))
        assert all(client.ws.close_code == 1000 for client in refused)
        # The registered agent kept its connection through the second agent's attempt.
        await registered.echoed()

    run_clients(scenario)
    assert pd.stop() == 0


@pytest.mark.realtime
def test_a_stranger_with_the_id_but_another_pass_is_refused_while_the_pinned_agent_stays(program_dir):
    """Shortened tick (0.2 s, each counting 30 s of aging). The real agent promised KEEPALIVE:120
    and keeps it; a second agent with its pass would set its age to 120 and have it dropped two
    ticks later. A stranger from 127.0.0.2 with another pass is refused before it can, and while
    the real agent is away as well; a pass pinned with the console replaces the old one at once."""
    pd = program_dir
    tick = 0.2
    pd.configure(WssEnabled="false")  # SNMP stays: the console's pin reloads the service through it
    pd.start(env={"VANTOR_TEST_TICK_MS": str(int(tick * 1000))})

    async def stranger(password="wrong"):
        peer = await Client.connect(pd, f"/agt?{C1} {password}__________", local_address="127.0.0.2")
        first = await peer.next()
        await peer.send(f"CA{C1}0  BCA:Mallory\tMailSMTP\t\t\tmallory@example.net")
        return first

    async def scenario():
        real = await agent(pd, C1, "right", keepalive=120, receiver="Ann\tMailSMTP\t\t\tann@example.org")
        for _ in range(3):
            await real.echoed()
            assert await stranger() == REFUSAL + "Disconnected. Invalid CustPass"
            await asyncio.sleep(3 * tick)
        await real.echoed()
        await real.ws.close()
        await real.closed()
        assert await stranger() == REFUSAL + "Disconnected. Invalid CustPass"
        pinned = pd.console("customer", "pin", C1, input="newer\n")
        assert "the service reloaded its customer table" in pinned.stdout
        assert await stranger("right") == REFUSAL + "Disconnected. Invalid CustPass"
        await agent(pd, C1, "newer", keepalive=120)

    run_clients(scenario)
    events = pd.event_lines()
    assert not pd.mentions("No Keep-Alive Messages")
    assert receivers(pd) == {C1: "Ann"}
    # One event for the five refusals from that address within the minute.
    assert [e for e in events if e.startswith("2\tmodVantorWebSrv_OpenRequestAgent\t")] == [
        f"2\tmodVantorWebSrv_OpenRequestAgent\tAgent Of Customer {C1} From 127.0.0.2 Refused: "
        "Pass Is Not The Pinned Pass"]
    assert f"3\tmodVantorWebSrv_OpenRequestAgent\tAgent Pass Of Customer {C1} Pinned" in events
    assert pd.stop() == 0
