"""Agents that fall silent, are reset, come back in time or say goodbye: each broken connection,
and only those, ends in a mail to a real SMTP server (aiosmtpd)."""
import asyncio
import socket
import struct
import time

import pytest

from conftest import C1, C2, DROP_EVENT, agent, run_clients, until

C3, C4 = "03000003", "04000004"
BROKEN_EVENT = "2\tfrmVantorWebSrv_wsServer_Disconnected\t{} Disconnected From Server Due To Broken Connection"


def reset(peer):
    """Ends the agent's connection with a TCP reset, as a killed process or a dropped link does."""
    peer.ws.transport.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                                          struct.pack("ii", 1, 0))
    peer.ws.transport.abort()


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

    def mailed_to():
        return sorted(rcpt for _, rcpts, _ in smtp_server.messages for rcpt in rcpts)

    async def connected(cust, name):
        return await agent(pd, cust, sep="&", receiver=receiver(name), pings=False)

    async def scenario():
        silent = await connected(C1, "Silent")
        silent.ws.transport.pause_reading()  # answers nothing from now on, pings included
        reset(await connected(C2, "Reset"))
        back = await connected(C3, "Back")
        await (await connected(C4, "Closed")).ws.close()
        started = time.monotonic()
        reset(back)
        await until(lambda: pd.mentions(BROKEN_EVENT.format("Back Ltd")), 15, "the end of the reset connection")
        back = await connected(C3, "Back")  # back within the wait, with its version
        await until(lambda: "reset@example.org" in mailed_to(), 75, "the reset agent's alarm")
        assert time.monotonic() - started >= 25  # a reset agent may still come back: the alarm waits
        # The agent that came back is still served; it leaves now with a goodbye, before it would
        # be found silent.
        await back.echoed()
        await back.ws.close()
        await until(lambda: "silent@example.org" in mailed_to(), 160, "the silent agent's alarm")
        assert time.monotonic() - started >= 85
        await asyncio.sleep(2)

    run_clients(scenario, timeout=300)
    assert mailed_to() == ["reset@example.org", "silent@example.org"]
    events = pd.event_lines()
    assert DROP_EVENT.format("Demo Company") in events
    assert not pd.mentions(BROKEN_EVENT.format("Demo Company"))
    broken = pd.mentions(BROKEN_EVENT.format("Reset Ltd"))
    assert len(broken) == 1 and "code 1006: connection ended without a close frame" in broken[0], events
    assert len(pd.mentions(BROKEN_EVENT.format("Back Ltd"))) == 1
    closed = [e for e in events if "Due To Normal Closure" in e]
    assert [e.split(" Disconnected")[0] for e in closed] == ["3\tfrmVantorWebSrv_wsServer_Disconnected\tClosed Ltd",
                                                            "3\tfrmVantorWebSrv_wsServer_Disconnected\tBack Ltd"]
