"""The real service managed over SNMP: net-snmp's tools and snmptrapd as the management console,
python3-websockets as the agents and mobiles the console commands act on, and vantor-console's
own SNMP commands."""
import asyncio
import re
import subprocess
import time

import pytest
import websockets

from conftest import snmptrapd, make_program_dir, wait_for

VERSION = "4.2.0"
SET_COMMUNITY = "marigolds"
# Numeric output only; no MIB files are read.
TOOL_ENV = {"PATH": "/usr/bin:/usr/sbin:/bin", "MIBS": "", "MIBDIRS": "/nonexistent"}
ENTERPRISE = "1.3.6.1.4.1.50404.1.18"
DATE = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"

SYSTEM_GROUP = [
    f'.1.3.6.1.2.1.1.1.0 = STRING: "Vantor Web, ver {VERSION}"',
    f".1.3.6.1.2.1.1.2.0 = OID: .{ENTERPRISE}",
    None,  # sysUpTime: checked by value
    '.1.3.6.1.2.1.1.4.0 = STRING: "n/a"',
    '.1.3.6.1.2.1.1.5.0 = STRING: "n/a"',
    '.1.3.6.1.2.1.1.6.0 = STRING: "n/a"',
    ".1.3.6.1.2.1.1.7.0 = INTEGER: 72",
]
UPTIME = re.compile(r"^\.1\.3\.6\.1\.2\.1\.1\.3\.0 = Timeticks: \((\d+)\) ")


def snmp(pd, command, version, *args, community="public", timeout=3):
    """One net-snmp tool run against the service's agent, without retries."""
    return subprocess.run([command, f"-v{version}", "-c", community, "-On", "-t", str(timeout), "-r", "0",
                           f"127.0.0.1:{pd.snmp_port}", *args],
                          capture_output=True, text=True, env=TOOL_ENV, timeout=60)


def snmpset(pd, oid, value, version="2c", community=SET_COMMUNITY, timeout=3):
    return snmp(pd, "snmpset", version, oid, "s", value, community=community, timeout=timeout)


def assert_system_group(lines):
    assert len(lines) == 7, lines
    for expected, line in zip(SYSTEM_GROUP, lines):
        if expected is None:
            assert UPTIME.match(line), line
        else:
            assert line == expected


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    """One running service in debug mode, shared by the tests that leave it as they found it."""
    pd = make_program_dir(tmp_path_factory.mktemp("snmp") / "prog")
    pd.console("settings", "set", "ProgVersion", VERSION)
    pd.console("settings", "set", "DebugMode", "1")
    pd.start()
    pd.wait_started()
    yield pd
    if pd.process and pd.process.poll() is None:
        pd.stop()


# ---------------------------------------------------------------- agents and mobiles

def client_url(pd, kind, cust="01000001"):
    # A space cannot stand in an HTTP request line; clients send it percent-encoded.
    return f"ws://127.0.0.1:{pd.ws_port}/{kind}?{cust}%20pw__________"


async def connect_agent(pd, cust="01000001"):
    """An agent registered for `cust`; waits until an earlier agent's record has been freed."""
    deadline = time.monotonic() + 10
    while True:
        ws = await websockets.connect(client_url(pd, "agt", cust))
        first = await asyncio.wait_for(ws.recv(), 5)
        if first == f"CW{cust}0  Connection Accepted":
            return ws
        await ws.close()
        assert first == "CW000000000  MSG:Connection Exist." and time.monotonic() < deadline, first
        await asyncio.sleep(0.1)


async def connect_mobile(pd, cust="01000001"):
    """A mobile registered for `cust` and its slot number."""
    ws = await websockets.connect(client_url(pd, "mob", cust))
    first = await asyncio.wait_for(ws.recv(), 5)
    assert first.startswith(f"CW{cust}") and first.endswith("Connection Accepted"), first
    return ws, int(first[10:13])


async def receive(ws, expected, limit=5):
    """Reads messages until `expected` arrives."""
    deadline = time.monotonic() + limit
    seen = []
    while time.monotonic() < deadline:
        try:
            message = await asyncio.wait_for(ws.recv(), deadline - time.monotonic())
        except asyncio.TimeoutError:
            break
        if message == expected:
            return
        seen.append(message)
    pytest.fail(f"{expected!r} not received; got {seen!r}")


async def closed_by_service(ws, limit=5):
    await asyncio.wait_for(ws.wait_closed(), limit)
    return ws.closed


async def still_open(ws):
    await asyncio.wait_for(await ws.ping(), 3)
    return ws.open


def in_thread(function, *args, **kwargs):
    return asyncio.to_thread(function, *args, **kwargs)


def new_events(pd, before):
    return pd.event_lines()[before:]


# ---------------------------------------------------------------- reading the system group

@pytest.mark.parametrize("version", ["1", "2c"])
def test_get_and_getnext_serve_the_system_group(service, version):
    oids = [f"1.3.6.1.2.1.1.{n}.0" for n in range(1, 8)]
    result = snmp(service, "snmpget", version, *oids)
    assert result.returncode == 0, result.stderr
    assert_system_group(result.stdout.splitlines())

    first = int(UPTIME.match(result.stdout.splitlines()[2]).group(1))
    time.sleep(1.1)
    later = snmp(service, "snmpget", version, "1.3.6.1.2.1.1.3")  # the object without ".0"
    assert int(UPTIME.match(later.stdout).group(1)) >= first + 100

    result = snmp(service, "snmpgetnext", version, "1.3.6.1.2.1.1", "1.3.6.1.2.1.1.4.0")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [SYSTEM_GROUP[0], SYSTEM_GROUP[4]]


@pytest.mark.parametrize("root", ["1.3.6.1.2.1.1", "1.3.6.1.2.1"])
@pytest.mark.parametrize("version", ["1", "2c"])
def test_walk_lists_the_group_and_ends_cleanly(service, version, root):
    result = snmp(service, "snmpwalk", version, root)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert_system_group(lines[:7])
    if version == "1":
        assert lines[7:] == ["End of MIB"]
    else:
        assert lines[7:] == [".1.3.6.1.2.1.1.7.0 = No more variables left in this MIB View "
                             "(It is past the end of the MIB tree)"]
    assert "Error" not in result.stdout + result.stderr


@pytest.mark.parametrize("version", ["1", "2c"])
def test_wrong_community_gets_no_answer(service, version):
    target = f"127.0.0.1:{service.snmp_port}"
    runs = [
        snmp(service, "snmpget", version, "1.3.6.1.2.1.1.1.0", community="Public", timeout=1),
        snmp(service, "snmpgetnext", version, "1.3.6.1.2.1.1", community="private", timeout=1),
        # The get community is not the set community.
        snmpset(service, f"{ENTERPRISE}.1.0", "custTableUpdate", version, community="public", timeout=1),
    ]
    for result in runs:
        assert result.returncode == 1
        assert f"Timeout: No Response from {target}" in result.stderr
        assert result.stdout == ""


# ---------------------------------------------------------------- start-up of the agent

# ---------------------------------------------------------------- console commands by snmpset

def test_net_snmp_sets_are_answered_with_their_value(service):
    # The commands' effects are checked through vantor-console below; here net-snmp's own v1 and
    # v2c set requests must be carried out and answered.
    async def scenario():
        agent = await connect_agent(service)
        for version in ("1", "2c"):
            result = await in_thread(snmpset, service, f"{ENTERPRISE}.4.0", "getStat1", version)
            assert result.stdout.splitlines() == [f'.{ENTERPRISE}.4.0 = STRING: "getStat1"'], result.stderr
            await receive(agent, "CW010000010  GetStat")
    asyncio.run(scenario())


def test_console_command_writes_the_connection_reports(service):
    reports = [service.path / "Debug" / name for name in ("AgtConn.txt", "MobConn.txt")]
    for report in reports:
        report.unlink(missing_ok=True)
    result = snmpset(service, f"{ENTERPRISE}.2.0", "console")
    assert result.stdout.splitlines() == [f'.{ENTERPRISE}.2.0 = STRING: "console"'], result.stderr
    assert all(report.exists() for report in reports)
    assert "Demo Company" in reports[0].read_text()


def test_table_update_disconnects_a_disabled_customer(program_dir):
    program_dir.start()
    program_dir.wait_started()

    async def scenario():
        agent = await connect_agent(program_dir)
        program_dir.console("customer", "disable", "01000001")
        result = await in_thread(snmpset, program_dir, f"{ENTERPRISE}.1.0", "custTableUpdate")
        assert result.stdout.splitlines() == [f'.{ENTERPRISE}.1.0 = STRING: "custTableUpdate"'], result.stderr
        assert await closed_by_service(agent)
        # Disabled now: a new agent is refused.
        again = await websockets.connect(client_url(program_dir, "agt"))
        assert await again.recv() == "CW000000000  MSG:Disconnected. CustID: 01000001 Not Enabled"
        await again.close()
    asyncio.run(scenario())
    assert ("3\tmodVantorWebSrv_CustTableUpdate\tDemo Company Disconnected From Server Due To Account Disabled"
            in program_dir.event_lines())
    assert program_dir.stop()[0] == 0


# ---------------------------------------------------------------- application-event traps

@pytest.fixture
def trap_log(program_dir, tmp_path):
    """snmptrapd on 127.0.0.1 at the program directory's TrapPort."""
    with snmptrapd(tmp_path, program_dir.trap_port) as log:
        yield log


def test_start_event_is_sent_as_a_trap(program_dir, trap_log):
    program_dir.console("settings", "set", "ProgVersion", VERSION)
    program_dir.console("settings", "set", "SendAppEvents", "1")
    program_dir.console("settings", "set", "TrapComm", "tc-events")
    program_dir.start()
    program_dir.wait_started()
    content = wait_for(lambda: "50404.2.1.1.6" in trap_log.read_text() and trap_log.read_text(), what="trap")
    lines = content.splitlines()
    header = next(i for i, line in enumerate(lines) if line.startswith("TRAP "))
    assert lines[header].startswith("TRAP agent=127.0.0.1 enterprise=.1.3.6.1.4.1.50404.2.1.2 generic=6 ")
    assert re.search(r" specific=\.?1 ", lines[header]), lines[header]
    assert "SNMP v1, community tc-events" in lines[header]
    assert lines[header + 1].split("|") == [
        '.1.3.6.1.4.1.50404.2.1.1.1 = STRING: "127.0.0.1"',
        '.1.3.6.1.4.1.50404.2.1.1.2 = STRING: "Vantor Web"',
        '.1.3.6.1.4.1.50404.2.1.1.3 = STRING: "frmVantorWebSrv"',
        '.1.3.6.1.4.1.50404.2.1.1.4 = STRING: "dartSvc_State"',
        f'.1.3.6.1.4.1.50404.2.1.1.5 = STRING: "Service Started. Version: {VERSION}"',
        ".1.3.6.1.4.1.50404.2.1.1.6 = INTEGER: 3",
    ]
    assert program_dir.stop()[0] == 0


# ---------------------------------------------------------------- vantor-console over SNMP

def test_console_status_prints_the_system_group(service):
    result = service.console("status")
    lines = result.stdout.splitlines()
    assert lines[0] == f"sysDescr     Vantor Web, ver {VERSION}"
    assert lines[1] == f"sysObjectID  {ENTERPRISE}"
    assert re.fullmatch(r"sysUpTime    \d+ \(0d 00:\d\d:\d\d\)", lines[2]), lines[2]
    assert lines[3:] == ["sysContact   n/a", "sysName      n/a", "sysLocation  n/a", "sysServices  72"]


def test_console_reports_no_answer_and_bad_slots(service):
    wrong = service.console("status", "--community", "Public", check=False)
    assert wrong.returncode == 1 and wrong.stdout == ""
    assert f"no answer from 127.0.0.1:{service.snmp_port} within 3000 ms" in wrong.stderr
    # The set community is fixed; another one is not answered either.
    denied = service.console("get-stat", "1", "--community", "public", check=False)
    assert denied.returncode == 1 and "no answer" in denied.stderr
    for args in (("get-stat",), ("get-stat", "0"), ("disconnect-mobile", "51"), ("report", "extra")):
        result = service.console(*args, check=False)
        assert result.returncode == 2, args
        assert result.stderr, args


def test_console_reload_admits_a_new_customer(service):
    service.console("customer", "add", "02000002", "Second Company")

    async def try_agent():
        ws = await websockets.connect(client_url(service, "agt", "02000002"))
        first = await asyncio.wait_for(ws.recv(), 5)
        await ws.close()
        return first
    assert asyncio.run(try_agent()) == "CW000000000  MSG:Disconnected. CustID: 02000002 Not Found"
    result = service.console("reload")
    assert result.stdout == f"custTableUpdate sent to 127.0.0.1:{service.snmp_port}\n"
    assert asyncio.run(try_agent()) == "CW020000020  Connection Accepted"


def test_console_agent_and_mobile_commands(service):
    async def scenario():
        agent = await connect_agent(service)
        before = len(service.event_lines())
        result = await in_thread(service.console, "get-stat", "1")
        assert result.stdout == f"getStat1 sent to 127.0.0.1:{service.snmp_port}\n"
        await receive(agent, "CW010000010  GetStat")
        await in_thread(service.console, "uninstall-agent", "1")
        await receive(agent, "CW010000010  Uninstall")

        mobile, slot = await connect_mobile(service)
        await in_thread(service.console, "disconnect-mobile", str(slot))
        assert await closed_by_service(mobile)
        assert await still_open(agent)  # only the mobile was closed

        reports = service.path / "Debug" / "AgtConn.txt"
        reports.unlink(missing_ok=True)
        await in_thread(service.console, "report")
        assert reports.exists()

        await in_thread(service.console, "disconnect-agent", "1")
        assert await closed_by_service(agent)
        return new_events(service, before)
    assert asyncio.run(scenario()) == [
        "3\tmodVantorWebSrv_SnmpSetRequest\tDemo Company Disconnected From Server Due To Command From Console"]

