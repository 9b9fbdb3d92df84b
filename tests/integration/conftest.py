"""Fixtures that run the real service in a temporary program directory."""
import contextlib
import os
import shutil
import signal
import socket
import subprocess
import time
from pathlib import Path

import pytest

SERVICE = os.environ.get("VANTOR_SERVICE", "build/src/VantorWebSrv")
CONSOLE = os.environ.get("VANTOR_CONSOLE", "build/tools/vantor-console")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "realtime: waits on real time (the service's shortened supervision tick)")


def console(program_dir, *args, check=True):
    result = subprocess.run([CONSOLE, "--dir", str(program_dir), *args],
                            capture_output=True, text=True, timeout=30)
    if check and result.returncode != 0:
        raise AssertionError(f"vantor-console {args} failed: {result.stderr}")
    return result


def free_port(kind=socket.SOCK_STREAM):
    """A port that nothing on this machine listens on right now."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_low_port(kind=socket.SOCK_DGRAM):
    """A free port below 32768, for settings held as 16-bit numbers (TrapPort)."""
    import random
    for _ in range(200):
        port = random.randint(20000, 32000)
        with socket.socket(socket.AF_INET, kind) as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    raise RuntimeError("no free port below 32768")


@contextlib.contextmanager
def snmptrapd(folder, port):
    """net-snmp's trap receiver on 127.0.0.1:port, logging one block per trap into a file.

    Yields the log's path. Each trap reads "TRAP agent=... enterprise=... generic=... specific=...
    uptime=... security=..." followed by one "oid|value" line per variable."""
    folder = Path(folder)
    (folder / "snmptrapd.conf").write_text("disableAuthorization yes\n")
    log = folder / "traps.txt"
    fmt = "TRAP agent=%a enterprise=%N generic=%w specific=%q uptime=%T security=%P\\n%V|%v\\n"
    env = {"PATH": "/usr/bin:/usr/sbin:/bin", "MIBS": "", "MIBDIRS": "/nonexistent",
           "SNMP_PERSISTENT_DIR": str(folder)}
    with open(log, "w") as out:
        proc = subprocess.Popen(
            ["snmptrapd", "-f", "-Lo", "-C", "-c", str(folder / "snmptrapd.conf"), "-n", "-On",
             "-F", fmt, f"udp:127.0.0.1:{port}"],
            stdout=out, stderr=subprocess.STDOUT, env=env)
    try:
        wait_for(lambda: "NET-SNMP version" in log.read_text(), what="snmptrapd")
        yield log
    finally:
        proc.terminate()
        proc.wait(timeout=10)


def wait_for(predicate, timeout=15.0, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


class ProgramDir:
    """A program directory holding a copy of the service executable and its database."""

    def __init__(self, path: Path):
        self.path = path
        self.exe = path / "VantorWebSrv"
        self.process = None

    def console(self, *args, check=True):
        return console(self.path, *args, check=check)

    def events(self):
        f = self.path / "Debug" / "AppEvent.txt"
        return f.read_bytes().decode("utf-8", "replace") if f.exists() else ""

    def event_lines(self):
        """Event lines without their timestamps: level, module_procedure, text."""
        return [line.split("\t", 1)[1] for line in self.events().split("\r\n") if line]

    def setting(self, column):
        out = self.console("settings", "show").stdout
        for line in out.splitlines():
            name, _, value = line.partition(" ")
            if name == column:
                return value.strip()
        raise KeyError(column)

    def run(self, *args, env=None, timeout=30):
        return subprocess.run([str(self.exe), *args], capture_output=True, text=True,
                              timeout=timeout, env=env)

    def start(self, env=None):
        """Starts the service; `env` adds variables to this process's environment."""
        full_env = {**os.environ, **env} if env else None
        self.process = subprocess.Popen([str(self.exe)], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, env=full_env)
        return self.process

    def wait_started(self, text="Service Started"):
        wait_for(lambda: text in self.events() or self.process.poll() is not None,
                 what="service start")
        assert self.process.poll() is None, self.process.communicate()

    def stop(self, sig=signal.SIGTERM, timeout=30):
        self.process.send_signal(sig)
        out, err = self.process.communicate(timeout=timeout)
        code = self.process.returncode
        self.process = None
        return code, out, err


def make_program_dir(path):
    """A new program directory at `path` with one customer and ports of its own."""
    console(path, "init", str(path))
    console(path, "customer", "add", "01000001", "Demo Company")
    # Every program directory gets ports of its own, so tests can run side by side.
    pd = ProgramDir(path)
    pd.ws_port = free_port()
    pd.wss_port = free_port()
    pd.snmp_port = free_port(socket.SOCK_DGRAM)
    pd.trap_port = free_low_port()
    for column, value in (("WsPort", pd.ws_port), ("WssPort", pd.wss_port),
                          ("SnmpPort", pd.snmp_port), ("TrapPort", pd.trap_port)):
        console(path, "settings", "set", column, str(value))
    shutil.copy2(SERVICE, path / "VantorWebSrv")
    return pd


@pytest.fixture
def program_dir(tmp_path):
    pd = make_program_dir(tmp_path / "prog")
    yield pd
    if pd.process and pd.process.poll() is None:
        pd.process.kill()
        pd.process.wait()
