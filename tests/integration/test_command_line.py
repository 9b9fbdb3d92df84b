"""The options that only inform (--help, --version, --check) and refused ones."""
import hashlib
import sqlite3
import subprocess

import pytest

from conftest import SERVICE


def snapshot(root):
    """Every entry below `root` with its size, modification time and content hash."""
    entries = {}
    for path in sorted(root.rglob("*")):
        stat = path.stat()
        digest = hashlib.sha256(path.read_bytes()).hexdigest() if path.is_file() else "dir"
        entries[str(path.relative_to(root))] = (stat.st_size, stat.st_mtime_ns, digest)
    return entries


@pytest.mark.parametrize("args,status,out,err", [
    (["--help"], 0, "usage: VantorWebSrv [--dir DIR] [OPTION]", ""),
    (["--version"], 0, "VantorWebSrv 1.1", ""),
    (["--check"], 0, "Settings OK", ""),
    (["--frobnicate"], 1, "", "Invalid command option: --frobnicate\n"),  # the rest: unit tests
    (["-install", "--dir"], 1, "", "--dir needs a value\n"),
])
def test_informing_options_touch_no_file_and_refused_ones_fail(program_dir, args, status, out, err):
    before = snapshot(program_dir.path)
    # The built executable, told where its program directory is, as the packaged unit does.
    result = subprocess.run([SERVICE, "--dir", str(program_dir.path), *args], capture_output=True,
                            text=True, timeout=30)
    assert (result.returncode, result.stdout.partition("\n")[0], result.stderr) == (status, out, err)
    if status == 0:  # a refused option is judged once the instance lock is taken
        assert snapshot(program_dir.path) == before


def test_check_reports_each_problem_and_reads_nothing_it_could_change(program_dir):
    # Stored directly: the console would refuse these values.
    with sqlite3.connect(program_dir.path / "VantorWeb.mdb") as db:
        db.execute("UPDATE General_Settings SET WsPort = 99999, WssPort = ?, WssIpAddr = 'nowhere'",
                   (program_dir.snmp_port,))
    before = snapshot(program_dir.path)
    result = program_dir.run("--check")
    assert result.returncode == 1
    assert result.stdout.splitlines() == [
        "WsPort: 99999 is not a port (1-65535)",
        "WssIpAddr: 'nowhere' is not an IP address (such as 127.0.0.1; 0.0.0.0 for every address)",
        f"WssPort: {program_dir.snmp_port} is also SnmpPort (each listener needs a port of its own)",
    ]
    assert snapshot(program_dir.path) == before

    # A default that other hosts reach is a warning: printed, and the check still passes.
    with sqlite3.connect(program_dir.path / "VantorWeb.mdb") as db:
        db.execute("UPDATE General_Settings SET WsPort = 8080, WssPort = 8443, WssIpAddr = '0.0.0.0'")
    warned = program_dir.run("--check")
    assert (warned.returncode, warned.stdout.splitlines()) == (0, [
        "warning: CertSubject: is empty while the TLS listener serves 0.0.0.0, which other hosts can reach: it "
        "serves a self-signed certificate made at each start, which clients cannot verify", "Settings OK"])

    (program_dir.path / "VantorWeb.mdb").unlink()
    missing = program_dir.run("--check")
    assert missing.returncode == 2 and "Cannot open the database" in missing.stderr
    assert not (program_dir.path / "VantorWeb.mdb").exists()
