"""Refusals that cost only the refused: guessing, floods from 127.0.0.2, a trusted reverse proxy."""
import asyncio
import contextlib
import time

import pytest
import websockets

from conftest import C1, REFUSAL, agent, mobile, round_trip, run_clients

STRANGER = "127.0.0.2"
PROXY = "127.0.0.3"


async def first_message(pd, path, local="127.0.0.1", headers=None):
    try:
        ws = await websockets.connect(f"ws://127.0.0.1:{pd.ws_port}{path}", open_timeout=5, close_timeout=1,
                                      ping_interval=None, local_addr=(local, 0), extra_headers=headers)
    except websockets.InvalidStatusCode as e:
        return f"HTTP {e.status_code}"
    except (OSError, websockets.InvalidMessage, websockets.ConnectionClosed, asyncio.TimeoutError):
        return "refused at the accept"
    try:
        return await asyncio.wait_for(ws.recv(), 5)
    finally:
        await ws.close()


def request_log(pd):
    return (pd.path / "Log" / "WsConnectionRequest.txt").read_bytes().decode()


def test_guessing_earns_a_cooling_period_that_costs_only_the_guesser(program_dir):
    pd = program_dir
    pd.start_plain()

    async def scenario():
        await agent(pd, C1, "pw", sep="&")
        wrong = [await first_message(pd, f"/mob?{C1}&guess{n}__________", STRANGER) for n in range(14)]
        assert wrong[:10] == [REFUSAL + "Disconnected. Invalid CustPass"] * 10
        assert wrong[10:] == ["refused at the accept"] * 4
        assert (await mobile(pd, C1, "pw", sep="&")).nr == "1  "  # the right pass, another address

    run_clients(scenario)
    refused = pd.mentions(f"Connections From {STRANGER} Refused")
    assert len(refused) == 1 and refused[0].startswith("2\t"), refused
    at_accept = [line for line in request_log(pd).split("\r\n")
                 if f"From: {STRANGER}\t" in line and line.endswith("Accept: False")]
    assert len(at_accept) == 1, at_accept  # one line per address per minute, not one per try


@pytest.mark.slow
def test_failing_and_refused_floods_from_one_address_leave_the_others_alone(program_dir):
    """With the refusal limit raised, so that the flood is not cut short by the cooling."""
    pd = program_dir
    pd.start_plain(MaxRefusedPerAddr=65535)

    async def flood(path, per_second, seconds):
        async def one(n):
            with contextlib.suppress(OSError):
                reader, writer = await asyncio.open_connection("127.0.0.1", pd.ws_port, local_addr=(STRANGER, 0))
                writer.write(f"GET {path}{n}__________ HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
                             "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                             "Sec-WebSocket-Version: 13\r\n\r\n".encode())
                await writer.drain()
                await reader.read(4096)
                writer.close()  # leaves the refused connection to the service's grace and close
        tasks = []
        for n in range(int(per_second * seconds)):
            tasks.append(asyncio.create_task(one(n)))
            await asyncio.sleep(1 / per_second)
        await asyncio.gather(*tasks)

    async def admissions(tries):
        waits = []
        for n in range(tries):
            started = time.monotonic()
            peer, phone = await agent(pd, C1, "pw", sep="&"), await mobile(pd, C1, "pw", sep="&")
            waits.append(time.monotonic() - started)
            await round_trip(peer, phone, n)
            await phone.ws.close()
            await peer.ws.close()
            await asyncio.sleep(0.1)
        return waits

    async def scenario():
        # Stall: requests whose admission fails with a run-time failure (slot 00), each with its
        # level-1 event and pause. Before, every admission waited behind those pauses (seconds).
        stall = asyncio.create_task(flood("/agt?00000000&x", 50, 6))
        waits = await admissions(25)
        await stall
        # Fill: refused upgrades (a path that names neither kind) at 200 a second.
        fill = asyncio.create_task(flood("/nothing?", 200, 20))
        waits += await admissions(25)
        await fill
        return sorted(waits)

    waits = run_clients(scenario, timeout=120)
    assert waits[-1] < 0.4, waits  # well under one event's 500 ms pause
    assert "connection limit reached" not in pd.events()
    assert "From: 127.0.0.1" in request_log(pd)


def test_a_trusted_proxy_is_not_limited_and_names_its_clients(program_dir):
    pd = program_dir
    pd.start_plain(TrustedProxies=f"10.0.0.1, {PROXY}")

    async def scenario():
        await agent(pd, C1, "pw", sep="&")
        # More connections still opening from the proxy than one address may hold.
        held = [await asyncio.open_connection("127.0.0.1", pd.ws_port, local_addr=(PROXY, 0)) for _ in range(20)]
        guesser = {"X-Forwarded-For": "192.0.2.7, 198.51.100.9"}
        for n in range(10):
            assert (await first_message(pd, f"/mob?{C1}&bad{n}__________", PROXY, guesser)).endswith("Invalid CustPass")
        assert await first_message(pd, f"/mob?{C1}&bad__________", PROXY, guesser) == "HTTP 429"
        honest = await first_message(pd, f"/mob?{C1}&pw__________", PROXY, {"X-Forwarded-For": "203.0.113.5"})
        assert honest.endswith("Connection Accepted"), honest
        for _, writer in held:
            writer.close()

    run_clients(scenario)
    log = (pd.path / "Log" / "MobileConnection.txt").read_bytes().decode()
    assert "\t203.0.113.5\t" in log
    assert not [line for line in pd.event_lines() if "Refused" in line and PROXY in line]
