"""The real service managed over SNMP by net-snmp's tools, snmptrapd and vantor-console."""
import asyncio
import contextlib
import re
import sqlite3
import subprocess

import pytest

from conftest import agent, make_program_dir, mobile, run_clients, wait_for

VERSION = "4.2.0"
SET_COMMUNITY = "set-by-operator"  # SnmpSetComm; the default is then refused
# Numeric output only; no MIB files are read.
TOOL_ENV = {"PATH": "/usr/bin:/usr/sbin:/bin", "MIBS": "", "MIBDIRS": "/nonexistent"}
ENTERPRISE = "1.3.6.1.4.1.50404.1.18"
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
        assert UPTIME.match(line) if expected is None else line == expected, line


@contextlib.contextmanager
def snmptrapd(folder, port):
    """snmptrapd on 127.0.0.1:port; yields its log: per trap a "TRAP ..." line, then "oid|value"s."""
    (folder / "snmptrapd.conf").write_text("disableAuthorization yes\n")
    log = folder / "traps.txt"
    fmt = "TRAP agent=%a enterprise=%N generic=%w specific=%q uptime=%T security=%P\\n%V|%v\\n"
    with open(log, "w") as out:
        proc = subprocess.Popen(
            ["snmptrapd", "-f", "-Lo", "-C", "-c", str(folder / "snmptrapd.conf"), "-n", "-On",
             "-F", fmt, f"udp:127.0.0.1:{port}"],
            stdout=out, stderr=subprocess.STDOUT,
            env={**TOOL_ENV, "SNMP_PERSISTENT_DIR": str(folder)})
    try:
        wait_for(lambda: "NET-SNMP version" in log.read_text(), what="snmptrapd")
        yield log
    finally:
        proc.terminate()
        proc.wait(timeout=10)


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    """A service in debug mode sending its events as traps, shared by tests that leave it as is."""
    folder = tmp_path_factory.mktemp("snmp")
    pd = make_program_dir(folder / "prog")
    pd.configure(ProgVersion=VERSION, DebugMode=1, SendAppEvents=1, TrapComm="tc-events", SnmpSetComm=SET_COMMUNITY)
    with snmptrapd(folder, pd.trap_port) as traps:
        pd.traps = traps
        pd.start()
        yield pd
        if pd.process.poll() is None:
            assert pd.stop() == 0


def test_start_event_is_sent_as_a_trap(service):
    content = wait_for(lambda: "50404.2.1.1.6" in service.traps.read_text() and service.traps.read_text(),
                       what="trap")
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


@pytest.mark.parametrize("version,end", [
    ("1", "End of MIB"),
    ("2c", ".1.3.6.1.2.1.1.7.0 = No more variables left in this MIB View (It is past the end of "
           "the MIB tree)"),
])
def test_net_snmp_tools_read_the_system_group_and_other_communities_get_no_answer(service, version, end):
    result = snmp(service, "snmpget", version, *(f"1.3.6.1.2.1.1.{n}.0" for n in range(1, 8)))
    assert result.returncode == 0, result.stderr
    assert_system_group(result.stdout.splitlines())

    result = snmp(service, "snmpgetnext", version, "1.3.6.1.2.1.1", "1.3.6.1.2.1.1.4.0")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [SYSTEM_GROUP[0], SYSTEM_GROUP[4]]

    result = snmp(service, "snmpwalk", version, "1.3.6.1.2.1")  # the walk ends cleanly after the group
    assert result.returncode == 0 and "Error" not in result.stdout + result.stderr, result.stderr
    assert_system_group(result.stdout.splitlines()[:7])
    assert result.stdout.splitlines()[7:] == [end]

    unanswered = [
        snmp(service, "snmpget", version, "1.3.6.1.2.1.1.1.0", community="Public", timeout=1),
        snmp(service, "snmpgetnext", version, "1.3.6.1.2.1.1", community="private", timeout=1),
        # Neither the get community nor the default set community is the set community.
        snmpset(service, f"{ENTERPRISE}.1.0", "custTableUpdate", version, community="public", timeout=1),
        snmpset(service, f"{ENTERPRISE}.1.0", "custTableUpdate", version, community="marigolds", timeout=1),
    ]
    for result in unanswered:
        assert (result.returncode, result.stdout) == (1, "")
        assert f"Timeout: No Response from 127.0.0.1:{service.snmp_port}" in result.stderr


def test_commands_act_on_agents_and_mobiles_and_write_the_reports(service):
    async def scenario():
        # A space cannot stand in an HTTP request line; these clients send it percent-encoded.
        peer = await agent(service, sep="%20")
        before = len(service.event_lines())
        for version in ("1", "2c"):  # net-snmp's own set requests are carried out and answered
            result = await asyncio.to_thread(snmpset, service, f"{ENTERPRISE}.4.0", "getStat1", version)
            assert result.stdout.splitlines() == [f'.{ENTERPRISE}.4.0 = STRING: "getStat1"'], result.stderr
            await peer.expect("CW010000010  GetStat")
        result = await asyncio.to_thread(service.console, "get-stat", "1")
        assert result.stdout == "Statistics requested from the agent of customer 01000001\n"
        await peer.expect("CW010000010  GetStat")
        await asyncio.to_thread(service.console, "uninstall-agent", "1")
        await peer.expect("CW010000010  Uninstall")

        phone = await mobile(service, sep="%20")
        assert phone.nr == "1  "
        reports = [service.path / "Debug" / name for name in ("AgtConn.txt", "MobConn.txt")]
        for report in reports:
            report.unlink(missing_ok=True)
        await asyncio.to_thread(service.console, "report")
        assert all(report.exists() for report in reports)
        assert "Demo Company" in reports[0].read_text()

        await asyncio.to_thread(service.console, "disconnect-mobile", "1")
        await phone.closed()
        assert await peer.quiet(0.3) and peer.closed_at is None  # only the mobile was closed
        await asyncio.to_thread(service.console, "disconnect-agent", "1")
        await peer.closed()
        await asyncio.sleep(0.6)  # an event is written after a pause of 500 ms
        return service.event_lines()[before:]

    assert run_clients(scenario) == ["3\tmodVantorWebSrv_SnmpSetRequest\tDemo Company Disconnected "
                                     "From Server Due To Command From Console"]


def test_console_status_and_failed_commands(service):
    """snmpset fails, naming the status and the variable, on a command that failed or found nothing
    to act on (slot 7 has no customer, mobile slot 9 no mobile); the console says so in words."""
    heading, *lines = service.console("status").stdout.splitlines()
    assert heading == f"The service at 127.0.0.1:{service.snmp_port} is running"
    assert lines[:2] == [f"sysDescr     Vantor Web, ver {VERSION}", f"sysObjectID  {ENTERPRISE}"]
    assert re.fullmatch(r"sysUpTime    \d+ \(0d 00:\d\d:\d\d\)", lines[2]), lines[2]
    assert lines[3:] == ["sysContact   n/a", "sysName      n/a", "sysLocation  n/a", "sysServices  72"]

    denied = service.console("status", "--community", "private", check=False)
    assert denied.returncode == 1 and "no answer" in denied.stderr
    assert snmpset(service, f"{ENTERPRISE}.2.0", "console", "1").returncode == 0
    failing = ["agentConnDisconnect-0", "agentConnDisconnect-150", "mobilConnDisconnect-77",
               "agentConnDisconnect-7", "mobilConnDisconnect-9"]
    for version, unknown in (("1", "(badValue) The value given has the wrong type or length."),
                             ("2c", "wrongValue (The set value is illegal or unsupported in some way)")):
        refused = [(f"{ENTERPRISE}.3.0", value, "(genError) A general failure occured") for value in failing]
        refused.append((f"{ENTERPRISE}.4.0", "getstat1", unknown))
        for oid, value, reason in refused:
            result = snmpset(service, oid, value, version)
            assert result.returncode != 0 and result.stdout == "", (version, value, result.stdout)
            assert f"Reason: {reason}\nFailed object: .{oid}\n" in result.stderr, (version, value, result.stderr)

    def enable_all(value):
        with contextlib.closing(sqlite3.connect(service.path / "VantorWeb.mdb")) as db, db:
            db.execute("UPDATE Customer SET Enabled = ?", (value,))
    enable_all(None)  # the service cannot read the table
    try:
        reload = service.console("reload", check=False)
    finally:
        enable_all(1)
    assert (reload.returncode, reload.stderr) == (
        1, f"The reload was not done: the service at 127.0.0.1:{service.snmp_port} refused custTableUpdate: "
           "genErr (the command failed or found nothing to act on)\n")
