"""Supervision of the real service: silent agents dropped and their broken-connection alarm sent
by push or mail, pending alarms and their cancellation, idle mobiles, relaying while an alarm
transfer hangs, and the snapshot log.

Every test here waits on real time. The service runs with VANTOR_TEST_TICK_MS, which shortens
the 30-second tick; the counters still move by 30 per tick, so an agent is dropped at the fourth
tick after its last keep-alive and a mobile at the eleventh after its last request."""
import asyncio
import socket
import threading
import time

import pytest
import websockets

from test_notify import ALARM, MailBox, certs, push_api, smtp_server  # noqa: F401 (fixtures)

pytestmark = pytest.mark.realtime

TICK_MS = 200
TICK = TICK_MS / 1000
DROP_EVENT = "2\tfrmVantorWebSrv_timer1\t{} Disconnected From Server Due To No Keep-Alive Messages"
INACTIVE = "MSG:Disconnected Due To\r\nInactive > 5 Minutes."


def start(pd, tick_ms=TICK_MS):
    # Only the plain listener is needed; the others would add seconds of start-up pauses.
    pd.console("settings", "set", "SnmpEnabled", "false")
    pd.console("settings", "set", "WssEnabled", "false")
    pd.start(env={"VANTOR_TEST_TICK_MS": str(tick_ms)})
    pd.wait_started()


async def until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        await asyncio.sleep(0.02)
    raise AssertionError(f"timed out waiting for {what}")


def run(scenario):
    """Runs a scenario and closes every client it opened, so none is left to time out."""
    async def main():
        Peer.opened = []
        try:
            return await scenario()
        finally:
            for peer in Peer.opened:
                if peer.pinger:
                    peer.pinger.cancel()
                await peer.ws.close()
    return asyncio.run(main())


class Peer:
    """One WebSocket client of the service. A reader task queues what arrives and notes when the
    connection closed; keep-alive echoes are counted, not queued."""
    opened = []

    def __init__(self, ws, cust):
        self.ws, self.cust = ws, cust
        self.inbox = asyncio.Queue()
        self.echo = f"CA{cust}0  keep-alive"
        self.echoes = 0
        self.closed_at = None
        self.reader = asyncio.create_task(self._read())
        self.pinger = None
        Peer.opened.append(self)

    @classmethod
    async def connect(cls, pd, kind, cust, password="pw"):
        ws = await websockets.connect(
            f"ws://127.0.0.1:{pd.ws_port}/{kind}?{cust}&{password}__________", close_timeout=2)
        return cls(ws, cust)

    async def _read(self):
        try:
            async for message in self.ws:
                if message == self.echo:
                    self.echoes += 1
                else:
                    await self.inbox.put(message)
        except websockets.ConnectionClosed:
            pass
        self.closed_at = time.monotonic()

    async def expect(self, text, timeout=5.0):
        got = await asyncio.wait_for(self.inbox.get(), timeout)
        assert got == text
        return time.monotonic()

    async def send(self, text):
        await self.ws.send(text)
        return time.monotonic()

    async def closed(self, timeout):
        await asyncio.wait_for(asyncio.shield(self.reader), timeout)
        return self.closed_at

    def keep_alive(self, every=TICK / 2):
        async def ping():
            while True:
                await self.ws.send(self.echo)
                await asyncio.sleep(every)
        self.pinger = asyncio.create_task(ping())


async def agent(pd, cust, keepalive=30, receiver=None):
    """An agent that has connected, announced its version and interval and, optionally, its
    alarm receiver; returns the peer and the time of its last message."""
    peer = await Peer.connect(pd, "agt", cust)
    await peer.expect(f"CW{cust}0  Connection Accepted")
    last = await peer.send(f"CA{cust}0  VER:3.10 KEEPALIVE:{keepalive}")
    await peer.expect(f"CW{cust}0  VER:OK KEEPALIVE:OK")
    if receiver:
        last = await peer.send(f"CA{cust}0  BCA:{receiver}")
        await peer.expect(f"CW{cust}0  BCA:OK")
    return peer, last


def push_receiver(user_key):
    return f"Ann\tMobilePO\t{user_key}\t\tann@example.org"


def snapshot_rows(pd, cust):
    """The customer rows of `cust` in Log/ExtraLog.txt, oldest first, split at TABs."""
    f = pd.path / "Log" / "ExtraLog.txt"
    text = f.read_bytes().decode() if f.exists() else ""
    return [line.split("\t") for line in text.split("\r\n") if line.startswith(cust + "\t")]


def test_silent_agent_is_dropped_and_alarmed_by_push_while_a_live_one_stays(program_dir, push_api):
    pd = program_dir
    pd.console("customer", "add", "02000002", "Lively Ltd")
    start(pd)

    async def scenario():
        silent, _ = await agent(pd, "01000001", 30, push_receiver("uKey1"))
        lively, _ = await agent(pd, "02000002", 30)
        lively.keep_alive()
        last = await silent.send(silent.echo)
        await until(lambda: silent.echoes, 5, "the last keep-alive's echo")
        closed_at = await silent.closed(timeout=20 * TICK)
        # Found at the fourth tick after the keep-alive (the first may come at once); the drop
        # event's half-second pause comes before the disconnect.
        assert closed_at - last >= 3 * TICK + 0.5
        await until(lambda: push_api.posts, 5, "the alarm push")
        echoes = lively.echoes
        await asyncio.sleep(6 * TICK)  # more than the four ticks that would drop a silent agent
        assert lively.closed_at is None and lively.echoes > echoes

    run(scenario)
    [post] = push_api.posts
    assert post["form"]["user"] == ["uKey1"] and "device" not in post["form"]
    assert post["form"]["message"] == [ALARM]
    drops = [line for line in pd.event_lines() if "Keep-Alive Messages" in line]
    assert drops == [DROP_EVENT.format("Demo Company")]


def test_silent_agent_is_alarmed_by_mail(program_dir, smtp_server):
    pd = program_dir
    box = smtp_server(MailBox())
    start(pd)

    async def scenario():
        silent, _ = await agent(pd, "01000001", 30, "Ann\tMailSMTP\t\t\tann@example.org")
        await silent.closed(timeout=20 * TICK)
        await until(lambda: box.messages, 5, "the alarm mail")

    run(scenario)
    [(sender, rcpts, content)] = box.messages
    assert sender == "alarm@vantor.example" and rcpts == ["ann@example.org"]
    assert content.partition(b"\r\n\r\n")[2] == ALARM.encode() + b"\r\n"
    assert DROP_EVENT.format("Demo Company") in pd.event_lines()


def test_longer_interval_delays_the_alarm_and_a_version_message_cancels_it(program_dir, push_api):
    pd = program_dir
    (pd.path / "Log" / "ExtraLog.txt").write_bytes(b"")  # shows the pending state
    tick_ms = 300
    start(pd, tick_ms)
    tick = tick_ms / 1000

    def pending():
        rows = snapshot_rows(pd, "01000001")
        return rows and rows[-1][1] == "" and rows[-1][-2] == "True"

    async def scenario():
        # With 60 s the alarm goes out three ticks after the drop tick.
        first, _ = await agent(pd, "01000001", 60, push_receiver("uKeyLate"))
        dropped_at = await first.closed(timeout=20 * tick)
        await until(pending, 5, "the pending alarm in the snapshot")
        assert push_api.posts == []
        await until(lambda: push_api.posts, 10 * tick, "the delayed alarm")
        assert time.monotonic() - dropped_at >= 2 * tick

        # Dropped again; this time the agent is back with its version before the wait runs out.
        second, _ = await agent(pd, "01000001", 60)
        await second.closed(timeout=20 * tick)
        await until(pending, 5, "the second pending alarm")
        third, _ = await agent(pd, "01000001", 60)
        third.keep_alive(tick / 2)
        await until(lambda: snapshot_rows(pd, "01000001")[-1][1] == "ws", 5, "the reconnection")
        await asyncio.sleep(6 * tick)  # past the point where the alarm would have gone out
        assert third.closed_at is None

    run(scenario)
    assert len(push_api.posts) == 1
    assert push_api.posts[0]["form"]["user"] == ["uKeyLate"]
    assert snapshot_rows(pd, "01000001")[-1][-2:] == ["False", "0"]
    assert pd.event_lines().count(DROP_EVENT.format("Demo Company")) == 2


def test_idle_mobile_is_told_and_closed_whatever_its_agent_answers(program_dir):
    pd = program_dir
    start(pd)

    async def scenario():
        owner, _ = await agent(pd, "01000001", 30)
        owner.keep_alive()
        mobile = await Peer.connect(pd, "mob", "01000001")
        await mobile.expect("CW010000011  Connection Accepted")
        last = await mobile.send("DM010000011  status?")
        await owner.expect("DM010000011  status?")
        # Answers of the agent do not count as activity of the mobile: with the last one about
        # seven ticks after the request, the notice comes some four ticks later, not eleven.
        for n in range(7):
            await asyncio.sleep(TICK)
            answered = await owner.send(f"DA010000011  answer {n}")
            await mobile.expect(f"DA010000011  answer {n}")
        told_at = await mobile.expect("CW010000010  " + INACTIVE, timeout=30 * TICK)
        assert told_at - last >= 10 * TICK
        assert told_at - answered < 7 * TICK
        await mobile.closed(timeout=5)
        # Its slot is free again: a new mobile gets slot 1.
        again = await Peer.connect(pd, "mob", "01000001")
        await again.expect("CW010000011  Connection Accepted")
        assert owner.closed_at is None

    run(scenario)
    assert not [line for line in pd.event_lines() if line.startswith(("1\t", "2\t"))]


def test_relaying_goes_on_while_an_alarm_push_hangs(program_dir):
    pd = program_dir
    mute = socket.socket()  # accepts the connection and never answers the TLS handshake
    mute.bind(("127.0.0.1", 0))
    mute.listen()
    held = []
    threading.Thread(target=lambda: held.append(mute.accept()), daemon=True).start()
    pd.console("settings", "set", "PushApiUrl",
               f"https://127.0.0.1:{mute.getsockname()[1]}/1/messages.json")
    pd.console("customer", "add", "02000002", "Relay Ltd")
    start(pd)

    def push_failed():
        return "modVantorWebSrv_SendMobilePO" in pd.events()

    async def scenario():
        await agent(pd, "01000001", 30, push_receiver("uKeyHang"))
        relay, _ = await agent(pd, "02000002", 30)
        relay.keep_alive()
        await until(lambda: held, 20 * TICK, "the alarm's connection to the push server")
        mobile = await Peer.connect(pd, "mob", "02000002")
        await mobile.expect("CW020000021  Connection Accepted")
        for n in range(3):
            await mobile.send(f"DM020000021  request {n}")
            await relay.expect(f"DM020000021  request {n}")
            await relay.send(f"DA020000021  answer {n}")
            await mobile.expect(f"DA020000021  answer {n}")
        assert not push_failed()  # the transfer was still under way all along

    try:
        run(scenario)
    finally:
        pd.process.kill()  # a stop would wait for the hanging transfer's timeout
        pd.process.wait()
        mute.close()

