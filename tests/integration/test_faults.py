"""The real service under faults of what it depends on (database, folders, disk, alarm servers,
trap port): the relay goes on, nothing acknowledged is lost, the fault is reported once in words."""
import asyncio
import datetime
import os
import resource
import shutil
import socket
import sqlite3
import struct
import threading
import time

import pytest
import websockets

from conftest import (C1, C2, agent, free_port, listening_socket, mobile, receivers, round_trip, run_clients,
                      until)

TICK = 0.2


async def relay(agt, mob, done, timeout, limit=0.5, every=0.2):
    """Round trips and keep-alives every `every` s until `done()` holds (without `done`, for
    `timeout` s); each must be fast, the first may also wait out an event's 500 ms pause."""
    deadline = time.monotonic() + timeout
    n = 0
    while not (done() if done else time.monotonic() >= deadline):
        assert time.monotonic() < deadline, "timed out waiting for the fault's report"
        assert await round_trip(agt, mob, n) < (limit if n else limit + 0.5)
        await agt.echoed()
        n += 1
        await asyncio.sleep(every)


@pytest.mark.slow
@pytest.mark.parametrize("fault,cause", [("locked", "locked"), ("removed", "open")])
def test_an_unwritable_database_is_reported_once_and_the_queued_store_lands_after(two_customers, fault, cause):
    """Locked for 70 s, or removed until the operator restores it: the store lands after."""
    pd = two_customers
    pd.start()
    file = pd.path / "VantorWeb.mdb"
    locker = sqlite3.connect(file, isolation_level=None)

    async def scenario():
        storing = await agent(pd, C1, receiver="Ann\tMailSMTP\t\t\tann@example.org", pings=False)
        relaying = await agent(pd, C2)
        phone = await mobile(pd, C2)
        saved = file.read_bytes()  # what the operator restores: Ann was acknowledged before
        if fault == "locked":
            locker.execute("BEGIN EXCLUSIVE")
        else:
            file.unlink()
        await storing.send(f"CA{C1}0  BCA:Bob\tMailSMTP\t\t\tbob@example.org")
        # A new mobile is admitted from the customer table in memory, without the database.
        late = await mobile(pd, C2)
        await round_trip(relaying, late, "late")
        await relay(relaying, phone, None, 70, limit=1.0, every=1.0)
        await until(lambda: pd.mentions("Database Writes Waiting"), 5, "the stall event")
        assert storing.inbox.empty()  # not acknowledged while it cannot be stored
        if fault == "locked":
            locker.execute("COMMIT")
        else:
            assert not file.exists()  # it waits for the database; it does not make an empty one
            (pd.path / "restore.tmp").write_bytes(saved)
            os.replace(pd.path / "restore.tmp", file)
        back = time.monotonic()
        assert await storing.expect(f"CW{C1}0  BCA:OK", timeout=5) > back
        assert receivers(pd)[C1] == "Bob"
        await storing.echoed()  # its connection reads again
        await until(lambda: pd.mentions("Database Writes Resumed"), 5, "the resumption event")

    try:
        run_clients(scenario, timeout=120)
    finally:
        locker.close()
    [stall] = pd.mentions("Database Writes Waiting")
    assert stall.startswith("2\tmodVantorWebSrv_DatabaseWriter\tDatabase Writes Waiting For Over A Minute: ")
    assert cause in stall
    assert len(pd.mentions("Database Writes Resumed")) == 1
    assert pd.stop() == 0
    assert pd.stderr.count("Database Writes Waiting For Over A Minute") == 1


def test_removed_log_folders_are_made_again_and_logging_goes_on(two_customers):
    pd = two_customers
    pd.start_plain(TICK)

    async def scenario():
        agt = await agent(pd, C1)
        agt.keep_alive(TICK / 2)
        first = await mobile(pd, C1)
        await round_trip(agt, first, 0)
        shutil.rmtree(pd.path / "Log")
        shutil.rmtree(pd.path / "Debug")
        second = await mobile(pd, C1)  # its request and admission go to Log/
        await round_trip(agt, second, 1)
        late = await agent(pd, C2)  # its connection is an event in Debug/AppEvent.txt
        late.keep_alive(TICK / 2)
        await round_trip(agt, first, 2)
        await until(lambda: pd.mentions("Beta Ltd Connected From"), 5, "the late agent's event")

    run_clients(scenario)
    assert len((pd.path / "Log" / "WsConnectionRequest.txt").read_text().splitlines()) == 2
    assert len((pd.path / "Log" / "MobileConnection.txt").read_text().splitlines()) == 1
    assert len(pd.mentions("Folder Log Was Missing")) == 1
    assert len(pd.mentions("Folder Debug Was Missing")) == 1
    assert pd.stop() == 0


def tz_reaching_midnight_in(seconds):
    """A TZ whose midnight, and with it the daily backup, comes `seconds` from now."""
    now = datetime.datetime.now(datetime.timezone.utc)
    of_day = now.hour * 3600 + now.minute * 60 + now.second + now.microsecond / 1e6
    shift = round(86400 - of_day - seconds) % 86400  # local = UTC + shift
    if shift > 43200:
        shift -= 86400
    sign = "-" if shift >= 0 else "+"  # POSIX offsets count west of Greenwich
    h, rest = divmod(abs(shift), 3600)
    return f"<FLT>{sign}{h:02d}:{rest // 60:02d}:{rest % 60:02d}"


def test_a_full_disk_fails_the_backup_in_words_and_keeps_the_old_ones(program_dir):
    pd = program_dir
    backups = pd.path / "Backup"
    old = {name: f"backup of {name}".encode() for name in ("VantorWeb-01-01.mdb", "VantorWeb-01-02.mdb")}
    for name, content in old.items():
        (backups / name).write_bytes(content)
    with sqlite3.connect(pd.path / "VantorWeb.mdb") as db:  # a database larger than the files the limit allows
        db.execute("CREATE TABLE Filler (x BLOB)")
        db.execute("INSERT INTO Filler VALUES (zeroblob(200000))")
    limit = 64 * 1024
    pd.start_plain(TICK, env={"TZ": tz_reaching_midnight_in(4)})
    # A full disk for every file the service writes from now on: writes beyond 64 KiB fail.
    resource.prlimit(pd.process.pid, resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))

    async def scenario():
        agt = await agent(pd, C1)
        agt.keep_alive(TICK)
        phone = await mobile(pd, C1)
        await relay(agt, phone, lambda: pd.mentions("BackupDatabase"), 15)
        resource.prlimit(pd.process.pid, resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY,) * 2)
        await round_trip(agt, phone, "after")

    run_clients(scenario)
    assert pd.process.poll() is None, pd.process.communicate()
    [failure] = pd.mentions("BackupDatabase")
    assert failure.startswith("1\tmodVantorWebSrv_BackupDatabase\t")
    assert "disk" in failure.lower() or "large" in failure.lower(), failure
    assert {f.name: f.read_bytes() for f in backups.iterdir()} == old  # no partial copy either
    assert pd.stop() == 0


def test_files_are_private_and_peers_cannot_forge_their_lines(program_dir):
    """Under a permissive umask nothing is readable by others; a peer's LF and tab stay in its field."""
    pd = program_dir
    pd.configure(DebugMode=1)
    previous = os.umask(0o022)
    try:
        pd.start_plain(TICK, env={"TZ": tz_reaching_midnight_in(3)})
    finally:
        os.umask(previous)
    backups = pd.path / "Backup"

    async def scenario():
        agt = await agent(pd, C1)
        agt.keep_alive(TICK)
        url = f"ws://127.0.0.1:{pd.ws_port}/mob?{C1} pw__________"
        async with websockets.connect(url, user_agent_header="Phone\tforged column") as ws:
            assert "Connection Accepted" in await ws.recv()
        await agt.send(f"CA{C1}0  StatLog:2026-12\t1\r\n2026-12\t2\nBeta Ltd\t3.10\t2026-12\t9\r\n")
        await until(lambda: (pd.path / "Log" / "StatLog.txt").exists() and any(backups.iterdir()), 15,
                    "the statistics and the daily backup")

    run_clients(scenario)
    assert pd.stop() == 0
    stats = (pd.path / "Log" / "StatLog.txt").read_bytes().decode().split("\r\n")
    assert stats[1:] == ["Demo Company\t3.10\t2026-12\t1",
                         "Demo Company\t3.10\t2026-12\t2\\nBeta Ltd\t3.10\t2026-12\t9", ""]
    [line] = (pd.path / "Log" / "MobileConnection.txt").read_text().splitlines()
    assert line.split("\t")[3] == "User-Agent: Phone\\tforged column"
    created = [p for p in pd.path.rglob("*") if p != pd.exe]
    assert {p.parent.name for p in created} >= {"Backup", "Debug", "Log"}
    assert [(str(p), oct(p.stat().st_mode)) for p in created if p.stat().st_mode & 0o027] == []
    assert pd.path.stat().st_mode & 0o027 == 0


def misbehaving_server(behaviour):
    """A port that refuses, hangs (accepts, never answers) or resets; returns it and a closer."""
    if behaviour == "refuse":
        return free_port(), lambda: None
    s, held = listening_socket(), []

    def serve():
        while True:
            try:
                conn, _ = s.accept()
            except OSError:  # closed
                return
            if behaviour == "reset":
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                conn.close()
            held.append(conn)

    threading.Thread(target=serve, daemon=True).start()

    def close():
        s.shutdown(socket.SHUT_RDWR)  # wakes the accept
        s.close()
        for conn in held:
            conn.close()
    return s.getsockname()[1], close


@pytest.mark.realtime
@pytest.mark.parametrize("channel,behaviour", [
    ("MobilePO", "refuse"), ("MobilePO", "reset"), ("MailSMTP", "refuse"), ("MailSMTP", "reset"),
    ("MobilePO", "hang"),  # ends at the transfer's 10 s connect limit, which covers the TLS handshake
])
def test_an_alarm_server_that_fails_is_reported_once_and_the_relay_goes_on(two_customers, channel, behaviour):
    pd = two_customers
    port, close = misbehaving_server(behaviour)
    procedure = {"MobilePO": "SendMobilePO", "MailSMTP": "SendMailSMTP"}[channel]
    pd.configure(PushApiUrl=f"https://127.0.0.1:{port}/1/messages.json", MailHostAddress="127.0.0.1",
                 MailPort=port, MailFromAddress="alarm@vantor.example")
    pd.start_plain(TICK)

    async def scenario():
        await agent(pd, C1, receiver=f"Ann\t{channel}\tuKey1\t\tann@example.org")  # falls silent
        relaying = await agent(pd, C2)
        relaying.keep_alive(TICK / 2)
        phone = await mobile(pd, C2)
        await until(lambda: pd.mentions("Demo Company Disconnected"), 5, "the silent agent's drop")
        # The alarm is under way; other customers' round trips stay fast until it has failed.
        await relay(relaying, phone, lambda: pd.mentions(procedure), 30)
        await relay(relaying, phone, None, 2)

    try:
        run_clients(scenario, timeout=60)
    finally:
        close()
    [failure] = pd.mentions(procedure)
    assert failure.startswith(f"1\tmodVantorWebSrv_{procedure}\t")
    # A reset that comes before the client has seen its connection made reads as a failed connect.
    words = {"refuse": ("connect",), "reset": ("reset", "connect"), "hang": ("timeout", "timed out")}[behaviour]
    assert any(word in failure.lower() for word in words), failure
    assert pd.stop() == 0
    assert pd.stderr.count(procedure) == 1


def trap_receiver(pd):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", pd.trap_port))
    s.settimeout(5)
    return s


def test_traps_to_a_closed_port_fail_quietly_and_snmp_still_answers(program_dir):
    pd = program_dir
    pd.configure(SendAppEvents=1, WssEnabled="false")
    receiver = trap_receiver(pd)
    pd.start()
    assert receiver.recv(2048)  # the start event's trap: traps go to this port
    receiver.close()  # from now on each trap comes back as an ICMP port unreachable

    async def scenario():
        agt = await agent(pd, C1)  # its connection event goes out as a trap
        phone = await mobile(pd, C1)
        await relay(agt, phone, None, 1)
        await agt.ws.close()  # and its disconnection, another trap
        await until(lambda: pd.mentions("Demo Company Disconnected"), 5, "the disconnection event")
        again = await agent(pd, C1)
        assert await round_trip(again, phone, "again") < 1.0  # after its connection event's pause
        # The receiver is back: the next event's trap reaches it.
        back = trap_receiver(pd)
        await again.ws.close()
        assert await asyncio.to_thread(back.recv, 2048)
        back.close()

    run_clients(scenario)
    assert "Vantor Web" in pd.console("status").stdout
    assert not [line for line in pd.event_lines() if line.startswith(("1\t", "2\t"))]
    assert pd.stop() == 0
    assert "<3>" not in pd.stderr
