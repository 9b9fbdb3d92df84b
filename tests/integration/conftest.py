"""The real service in a temporary program directory, its WebSocket peers, a mail server, a PKI."""
import asyncio
import contextlib
import os
import random
import re
import shutil
import signal
import socket
import sqlite3
import ssl
import subprocess
import time
from pathlib import Path

import pytest
import websockets
from aiosmtpd.controller import Controller

SERVICE = os.environ.get("VANTOR_SERVICE", "build/src/VantorWebSrv")
CONSOLE = os.environ.get("VANTOR_CONSOLE", "build/tools/vantor-console")
C1, C2 = "01000001", "02000002"
REFUSAL = "CW00000000" "0  MSG:"  # the first words of every refusal a client is sent
DROP_EVENT = "2\tfrmVantorWebSrv_timer1\t{} Disconnected From Server Due To No Keep-Alive Messages"


def pytest_configure(config):
    config.addinivalue_line("markers", "realtime: waits on real time (the service's shortened supervision tick)")
    config.addinivalue_line("markers", "slow: takes over 20 s of real time; -m 'not slow' leaves it out")


def free_port(kind=socket.SOCK_STREAM, below=None):
    """A port nothing listens on; `below` bounds it for 16-bit settings (TrapPort)."""
    for _ in range(200):
        with socket.socket(socket.AF_INET, kind) as s:
            try:
                s.bind(("127.0.0.1", random.randint(20000, below) if below else 0))
            except OSError:
                continue
            return s.getsockname()[1]
    raise RuntimeError("no free port")


def listening_socket():
    """A TCP socket that accepts connections and never says a word."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen()
    return s


def closed_within(s, seconds):
    """True when the server ends the connection (EOF or reset) within the time."""
    s.settimeout(seconds)
    try:
        while s.recv(4096):
            pass
        return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def wait_for(predicate, timeout=15.0, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


async def until(predicate, timeout, what):
    """wait_for in a worker thread, so that the clients' readers go on meanwhile."""
    return await asyncio.to_thread(wait_for, predicate, timeout, what)


class ProgramDir:
    def __init__(self, path: Path):
        self.path = path
        self.exe = path / "VantorWebSrv"
        self.process = None

    def console(self, *args, check=True, input=None):
        result = subprocess.run([CONSOLE, "--dir", str(self.path), *args], input=input,
                                capture_output=True, text=True, timeout=30)
        if check and result.returncode != 0:
            raise AssertionError(f"vantor-console {args} failed: {result.stderr}")
        return result

    def configure(self, **settings):
        for column, value in settings.items():
            if column in ("MailPassword", "SnmpSetComm", "MetricsToken"):  # secrets: never on the command line
                self.console("settings", "set", column, input=f"{value}\n")
            else:
                self.console("settings", "set", column, str(value))

    def events(self):
        f = self.path / "Debug" / "AppEvent.txt"
        return f.read_bytes().decode("utf-8", "replace") if f.exists() else ""

    def event_lines(self):
        """Event lines without their timestamps: level, module_procedure, text."""
        return [line.split("\t", 1)[1] for line in self.events().split("\r\n") if line]

    def mentions(self, text):
        return [line for line in self.event_lines() if text in line]

    def setting(self, column):
        for line in self.console("settings", "show").stdout.splitlines():
            name, _, value = line.partition(" ")
            if name == column:
                return value.strip()
        raise KeyError(column)

    def run(self, *args, env=None):
        return subprocess.run([str(self.exe), *args], capture_output=True, text=True, timeout=30, env=env)

    def start(self, env=None):
        """Starts the service and waits for its start event; `env` adds to the environment."""
        before = self.events().count("Service Started")
        full_env = {**os.environ, **env} if env else None
        self.process = subprocess.Popen([str(self.exe)], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, env=full_env)
        wait_for(lambda: self.events().count("Service Started") > before or self.process.poll() is not None,
                 what="service start")
        assert self.process.poll() is None, self.process.communicate()

    def start_plain(self, tick=None, env=None, **settings):
        """The plain listener only (the others add start-up pauses); `tick` shortens supervision."""
        self.configure(SnmpEnabled="false", WssEnabled="false", **settings)
        self.start(env={**({"VANTOR_TEST_TICK_MS": str(int(tick * 1000))} if tick else {}), **(env or {})})

    def stop(self, sig=signal.SIGTERM):
        """Signals the service and returns its exit code."""
        self.process.send_signal(sig)
        _, self.stderr = self.process.communicate(timeout=30)
        code, self.process = self.process.returncode, None
        return code


def make_program_dir(path):
    """A program directory with customer C1 and ports of its own, so tests can run side by side."""
    pd = ProgramDir(path)
    pd.console("init", str(path))
    pd.console("customer", "add", C1, "Demo Company")
    taken = set()

    def port_of_its_own(kind=socket.SOCK_STREAM, below=None):
        """A free port that no other listener of this directory has (a TCP and a UDP port may be equal)."""
        port = free_port(kind, below)
        while port in taken:
            port = free_port(kind, below)
        taken.add(port)
        return port

    pd.ws_port, pd.wss_port, pd.metrics_port = port_of_its_own(), port_of_its_own(), port_of_its_own()
    pd.snmp_port = port_of_its_own(socket.SOCK_DGRAM)
    pd.trap_port = port_of_its_own(socket.SOCK_DGRAM, below=32000)
    pd.configure(WsPort=pd.ws_port, WssPort=pd.wss_port, SnmpPort=pd.snmp_port,
                 TrapPort=pd.trap_port, MetricsPort=pd.metrics_port)
    shutil.copy2(SERVICE, pd.exe)
    return pd


@pytest.fixture
def program_dir(tmp_path):
    pd = make_program_dir(tmp_path / "prog")
    yield pd
    if pd.process and pd.process.poll() is None:
        pd.process.kill()
        pd.process.wait()


@pytest.fixture
def two_customers(program_dir):
    program_dir.console("customer", "add", C2, "Beta Ltd")
    return program_dir


class MailBox:
    def __init__(self):
        self.messages = []

    async def handle_DATA(self, server, session, envelope):
        self.messages.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.content))
        return "250 Message accepted for delivery"


@pytest.fixture
def smtp_server(program_dir):
    """aiosmtpd with a MailBox; the program directory's mail settings point at it."""
    box = MailBox()
    port = free_port()
    controller = Controller(box, hostname="127.0.0.1", port=port)
    controller.start()
    program_dir.configure(MailHostAddress="127.0.0.1", MailPort=port,
                          MailFromAddress="alarm@vantor.example")
    yield box
    controller.stop()


def receivers(pd):
    """The stored alarm receiver's name of each customer."""
    with sqlite3.connect(pd.path / "VantorWeb.mdb") as db:
        return dict(db.execute("SELECT CustID, BcaRecvName FROM Customer").fetchall())


NO_TLS_CHECK = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
NO_TLS_CHECK.check_hostname = False
NO_TLS_CHECK.verify_mode = ssl.CERT_NONE


class Client:
    """A WebSocket client whose reader queues messages and counts keep-alive echoes."""
    opened = []

    def __init__(self, ws, cust):
        self.ws, self.cust = ws, cust
        self.inbox = asyncio.Queue()
        self.echo = f"CA{cust}0  keep-alive"
        self.echoes = 0
        self.closed_at = None
        self.pinger = None
        self.reader = asyncio.create_task(self._read())
        Client.opened.append(self)

    @classmethod
    async def connect(cls, pd, path, tls=False, pings=True, local_address=None):
        """Without `pings`, a handler held up past the library's 20 s ping timeout cannot make the
        client close; `local_address` (such as "127.0.0.2") is where the service sees it from."""
        url = f"{'wss' if tls else 'ws'}://127.0.0.1:{pd.wss_port if tls else pd.ws_port}{path}"
        extra = {"local_addr": (local_address, 0)} if local_address else {}
        ws = await websockets.connect(url, ssl=NO_TLS_CHECK if tls else None,
                                      open_timeout=5, close_timeout=2,
                                      ping_interval=20 if pings else None, **extra)
        return cls(ws, path[5:13])

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

    async def next(self, timeout=3.0):
        return await asyncio.wait_for(self.inbox.get(), timeout)

    async def expect(self, text, timeout=5.0):
        got = await self.next(timeout)
        assert got == text
        return time.monotonic()

    async def quiet(self, seconds=0.5):
        """True when no message arrives within the time (a close counts as nothing)."""
        with contextlib.suppress(asyncio.TimeoutError):
            message = await self.next(seconds)
            raise AssertionError(f"unexpected message {message!r}")
        return True

    async def send(self, text):
        await self.ws.send(text)
        return time.monotonic()

    async def echoed(self, suffix=""):
        """Sends a keep-alive and waits for its echo."""
        seen = self.echoes
        await self.send(self.echo + suffix)
        await until(lambda: self.echoes > seen, 5, "the keep-alive echo")

    async def closed(self, timeout=5.0):
        await asyncio.wait_for(asyncio.shield(self.reader), timeout)
        return self.closed_at

    def keep_alive(self, every):
        async def ping():
            while True:
                await self.ws.send(self.echo)
                await asyncio.sleep(every)
        self.pinger = asyncio.create_task(ping())


def run_clients(scenario, timeout=90):
    """Runs a coroutine function and closes every client it opened, so none is left to time out."""
    async def main():
        Client.opened = []
        try:
            return await asyncio.wait_for(scenario(), timeout)
        finally:
            for client in Client.opened:
                if client.pinger:
                    client.pinger.cancel()
                await client.ws.close()
    return asyncio.run(main())


async def agent(pd, cust=C1, password="pw", tls=False, sep=" ", keepalive=30, receiver=None, pings=True):
    """An agent that has announced its version, interval and, optionally, alarm receiver."""
    peer = await Client.connect(pd, f"/agt?{cust}{sep}{password}__________", tls, pings)
    await peer.expect(f"CW{cust}0  Connection Accepted")
    await peer.send(f"CA{cust}0  VER:3.10 KEEPALIVE:{keepalive}")
    await peer.expect(f"CW{cust}0  VER:OK KEEPALIVE:OK")
    if receiver:
        await peer.send(f"CA{cust}0  BCA:{receiver}")
        await peer.expect(f"CW{cust}0  BCA:OK")
    return peer


async def mobile(pd, cust=C1, password="pw", tls=False, sep=" "):
    """A mobile that has announced its version; `nr` is its 3-character header number."""
    peer = await Client.connect(pd, f"/mob?{cust}{sep}{password}__________", tls)
    first = await peer.next()
    match = re.fullmatch(rf"CW{cust}(\d +|\d\d |\d\d\d)Connection Accepted", first)
    assert match, first
    peer.nr = match.group(1)
    await peer.send(f"CM{cust}{peer.nr}VER:3.10")
    await peer.expect(f"CW{cust}0  VER:OK")
    return peer


async def round_trip(agt, mob, n):
    """One request from the mobile to its agent and the answer back; returns the seconds taken."""
    started = time.monotonic()
    await mob.send(f"DM{mob.cust}{mob.nr}request {n}")
    await agt.expect(f"DM{mob.cust}{mob.nr}request {n}", timeout=2)
    await agt.send(f"DA{mob.cust}{mob.nr}answer {n}")
    await mob.expect(f"DA{mob.cust}{mob.nr}answer {n}", timeout=2)
    return time.monotonic() - started


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    """A CA and a rogue CA, each signing a localhost certificate; the trusted one is in stores/My."""
    d = tmp_path_factory.mktemp("pki")
    (d / "stores" / "My").mkdir(parents=True)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    for name in ("ca", "rogue"):
        openssl("req", "-x509", *ec, "-days", "2", "-subj", f"/CN=Vantor Test {name} CA",
                "-keyout", f"{name}.key", "-out", f"{name}.pem", cwd=d)
    openssl("req", *ec, "-subj", "/O=Vantor Test/CN=localhost", "-keyout", "stores/My/server.key",
            "-out", "server.csr", cwd=d)
    (d / "ext.cnf").write_text("subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n")
    for signer, out in (("ca", "stores/My/server.pem"), ("rogue", "rogue-server.pem")):
        openssl("x509", "-req", "-in", "server.csr", "-CA", f"{signer}.pem", "-CAkey", f"{signer}.key",
                "-CAcreateserial", "-days", "2", "-extfile", "ext.cnf", "-out", out, cwd=d)
    return d
