"""The real UDP SNMP agent with the system-group handlers, driven by net-snmp's own tools.

The agent runs in snmp_agent_harness (path in VANTOR_SNMP_HARNESS) on a free port of
127.0.0.1 with community "public", version text "3.1.4" and a fixed uptime of 123400.
"""
import os
import random
import socket
import subprocess
import time

import pytest

from conftest import snmptrapd

HARNESS = os.environ.get("VANTOR_SNMP_HARNESS", "")
UPTIME = 123400
# Numeric output only; no MIB files are read.
TOOL_ENV = dict(os.environ, MIBS="", MIBDIRS="/nonexistent")

SYSTEM_GROUP = [
    '.1.3.6.1.2.1.1.1.0 = STRING: "Vantor Web, ver 3.1.4"',
    ".1.3.6.1.2.1.1.2.0 = OID: .1.3.6.1.4.1.50404.1.18",
    ".1.3.6.1.2.1.1.3.0 = Timeticks: (123400) 0:20:34.00",
    '.1.3.6.1.2.1.1.4.0 = STRING: "n/a"',
    '.1.3.6.1.2.1.1.5.0 = STRING: "n/a"',
    '.1.3.6.1.2.1.1.6.0 = STRING: "n/a"',
    ".1.3.6.1.2.1.1.7.0 = INTEGER: 72",
]


class Harness:
    def __init__(self, address):
        self.proc = subprocess.Popen(
            [HARNESS, "--address", address, "--port", "0", "--community", "public",
             "--version", "3.1.4", "--uptime", str(UPTIME)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        ready = self.proc.stdout.readline().split()
        assert ready[:1] == ["READY"], ready
        self.port = int(ready[2])
        self.target = f"127.0.0.1:{self.port}"

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().strip()

    def close(self):
        try:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.flush()
            self.proc.wait(timeout=10)
        except (BrokenPipeError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


@pytest.fixture(scope="module")
def agent():
    if not HARNESS:
        pytest.fail("VANTOR_SNMP_HARNESS is not set (run through CTest)")
    h = Harness("127.0.0.1")
    yield h
    h.close()


def tool(*args):
    return subprocess.run(list(args), capture_output=True, text=True, env=TOOL_ENV, timeout=60)


def request(agent, command, version, *oids, community="public"):
    return tool(command, f"-v{version}", "-c", community, "-On", "-t", "3", "-r", "2", agent.target, *oids)


@pytest.mark.parametrize("version", ["1", "2c"])
def test_get_answers_every_object(agent, version):
    oids = [line.split(" ")[0][1:] for line in SYSTEM_GROUP]
    result = request(agent, "snmpget", version, *oids)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == SYSTEM_GROUP
    # The object OID without ".0" is answered under the instance OID.
    result = request(agent, "snmpget", version, "1.3.6.1.2.1.1.5")
    assert result.stdout.splitlines() == ['.1.3.6.1.2.1.1.5.0 = STRING: "n/a"']


def test_get_of_unknown_object_in_each_version(agent):
    v1 = request(agent, "snmpget", "1", "1.3.6.1.2.1.1.5.0", "1.3.6.1.4.1.50404.1.18.1.0")
    assert v1.returncode != 0
    assert "(noSuchName)" in v1.stderr
    assert "Failed object: .1.3.6.1.4.1.50404.1.18.1.0" in v1.stderr

    v2 = request(agent, "snmpget", "2c", "1.3.6.1.2.1.1.5.0", "1.3.6.1.4.1.50404.1.18.1.0")
    assert v2.returncode == 0, v2.stderr
    assert v2.stdout.splitlines() == [
        '.1.3.6.1.2.1.1.5.0 = STRING: "n/a"',
        ".1.3.6.1.4.1.50404.1.18.1.0 = No Such Object available on this agent at this OID",
    ]


def test_getnext_from_the_group_and_past_its_end(agent):
    result = request(agent, "snmpgetnext", "2c", "1.3.6.1.2.1.1", "1.3.6.1.2.1.1.2.0", "1.3.6.1.2.1.1.7.0")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        SYSTEM_GROUP[0], SYSTEM_GROUP[2],
        ".1.3.6.1.2.1.1.7.0 = No more variables left in this MIB View (It is past the end of the MIB tree)"]
    v1 = request(agent, "snmpgetnext", "1", "1.3.6.1.2.1.1.7.0")
    assert "(noSuchName)" in v1.stderr and "Failed object: .1.3.6.1.2.1.1.7.0" in v1.stderr


@pytest.mark.parametrize("root", ["1.3.6.1.2.1.1", "1.3.6.1.2.1"])
@pytest.mark.parametrize("version", ["1", "2c"])
def test_walk_lists_the_group_and_ends(agent, version, root):
    result = request(agent, "snmpwalk", version, root)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:7] == SYSTEM_GROUP
    # v1 ends on noSuchName, v2c on endOfMibView; neither is an error.
    if version == "1":
        assert lines[7:] == ["End of MIB"]
    else:
        assert lines[7:] == [".1.3.6.1.2.1.1.7.0 = No more variables left in this MIB View "
                             "(It is past the end of the MIB tree)"]
    assert "Error" not in result.stdout + result.stderr


@pytest.mark.parametrize("version", ["1", "2c"])
def test_wrong_community_gets_no_answer(agent, version):
    result = tool("snmpget", f"-v{version}", "-c", "Public", "-On", "-t", "1", "-r", "0",
                  agent.target, "1.3.6.1.2.1.1.1.0")
    assert result.returncode == 1
    assert f"Timeout: No Response from {agent.target}" in result.stderr
    assert result.stdout == ""


def raw_get(request_id):
    """A v2c get of sysName.0 with community "public", encoded by hand."""
    pdu_body = (bytes([0x02, 0x04]) + request_id.to_bytes(4, "big") + bytes.fromhex("020100020100")
                + bytes.fromhex("300e300c06082b060102010105000500"))
    pdu = bytes([0xA0, len(pdu_body)]) + pdu_body
    body = bytes.fromhex("020101") + bytes.fromhex("04067075626c6963") + pdu
    return bytes([0x30, len(body)]) + body


def test_garbage_is_dropped_and_the_agent_keeps_answering(agent):
    rng = random.Random(7)
    valid = raw_get(0x01020304)
    garbage = [
        b"",
        bytes(rng.getrandbits(8) for _ in range(65000)),
        valid[:-3],                                  # truncated
        valid + b"\x00",                             # trailing junk
        valid.replace(b"\xA0", b"\xA5", 1),          # get-bulk, not served
        b"\x30\x84\xff\xff\xff\xff" + valid,         # length past the end
    ]
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(10)
        for datagram in garbage:
            s.sendto(datagram, ("127.0.0.1", agent.port))
        s.sendto(raw_get(0x0A0B0C0D), ("127.0.0.1", agent.port))
        # Datagrams from one socket are handled in order: the first answer is the valid get's.
        answer, _ = s.recvfrom(65535)
    assert answer[:2] == b"\x30" + bytes([len(answer) - 2])
    assert b"\xA2" in answer and b"\x02\x04\x0A\x0B\x0C\x0D" in answer
    assert answer.endswith(b"\x04\x03n/a")
    result = request(agent, "snmpget", "1", "1.3.6.1.2.1.1.7.0")
    assert result.stdout.splitlines() == [SYSTEM_GROUP[6]]


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def trap_receiver(tmp_path):
    port = free_udp_port()
    with snmptrapd(tmp_path, port) as log:
        yield port, log


def wait_for(path, text, limit=20.0):
    """Polls the receiver's log; the limit only keeps a broken run from hanging."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        content = path.read_text()
        if text in content:
            return content
        time.sleep(0.1)
    pytest.fail(f"{text!r} not seen in {path.read_text()!r}")


def parse_trap(content):
    lines = content.splitlines()
    header = next(i for i, line in enumerate(lines) if line.startswith("TRAP "))
    fields = dict(item.split("=", 1) for item in lines[header].split(" security=")[0].split(" ")[1:])
    fields["security"] = lines[header].split(" security=")[1]
    fields["vars"] = lines[header + 1].split("|")
    return fields


def test_send_status_trap_reaches_snmptrapd(trap_receiver):
    port, log = trap_receiver
    h = Harness("0.0.0.0")  # the agent address must then be the one the route leaves from
    try:
        assert h.command(f"status-trap 127.0.0.1:{port}") == "SENT"
        trap = parse_trap(wait_for(log, "50404.1.18.1.7.5"))
    finally:
        h.close()
    assert trap["agent"] == "127.0.0.1"
    assert trap["enterprise"] == ".1.3.6.1.4.1.50404.1.18.2"
    assert trap["generic"] == "6"
    assert trap["specific"].lstrip(".") == "5"
    assert trap["uptime"] == str(UPTIME)
    assert "SNMP v1, community tidewalk" in trap["security"]
    assert trap["vars"] == [
        '.1.3.6.1.4.1.50404.1.18.1.7.1 = STRING: "Mr Tavo (1042)"',
        '.1.3.6.1.4.1.50404.1.18.1.7.2 = STRING: "Daily Test Message"',
        ".1.3.6.1.4.1.50404.1.18.1.7.3 = INTEGER: 2",
        ".1.3.6.1.4.1.50404.1.18.1.7.4 = INTEGER: 3",
        '.1.3.6.1.4.1.50404.1.18.1.7.5 = STRING: "Send Failed"',
    ]


def test_app_event_trap_reaches_snmptrapd(trap_receiver, agent):
    port, log = trap_receiver
    assert agent.command(f"event-trap 127.0.0.1:{port}") == "SENT"
    trap = parse_trap(wait_for(log, "50404.2.1.1.6"))
    assert trap["agent"] == "127.0.0.1"
    assert trap["enterprise"] == ".1.3.6.1.4.1.50404.2.1.2"
    assert trap["generic"] == "6"
    assert trap["specific"].lstrip(".") == "1"
    assert "SNMP v1, community trapcomm" in trap["security"]
    assert trap["vars"] == [
        '.1.3.6.1.4.1.50404.2.1.1.1 = STRING: "127.0.0.1"',
        '.1.3.6.1.4.1.50404.2.1.1.2 = STRING: "Vantor Web"',
        '.1.3.6.1.4.1.50404.2.1.1.3 = STRING: "modVantorWebSrv"',
        '.1.3.6.1.4.1.50404.2.1.1.4 = STRING: "ServiceOpen"',
        '.1.3.6.1.4.1.50404.2.1.1.5 = STRING: "' + "a" * 240 + '"',
        ".1.3.6.1.4.1.50404.2.1.1.6 = INTEGER: 3",
    ]
