"""Alarms end to end by push to a local HTTPS API and by mail to aiosmtpd, and the libcurl clients
against servers they cannot use. With the shortened tick the counters still move by 30 per tick:
an agent is dropped at the fourth tick after its last keep-alive, a mobile at the eleventh."""
import asyncio
import contextlib
import os
import ssl
import subprocess
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

from conftest import C1, C2, DROP_EVENT, MailBox, agent, free_port, listening_socket, mobile, run_clients, until

HARNESS = os.environ.get("VANTOR_NOTIFY_HARNESS", "build/tests/notify_harness")
ALARM = "No Keep-Alive Messages From Agent. Probably Due To Broken Connection."
TICK = 0.2
C3 = "03000003"
TIMEOUT_MS = 1500


class PushHandler(BaseHTTPRequestHandler):
    """Records each posted form in its server's `posts` and answers 200."""

    def do_POST(self):
        raw = self.rfile.read(int(self.headers.get("Content-Length", 0))).decode("ascii")
        self.server.posts.append(urllib.parse.parse_qs(raw, keep_blank_values=True))
        body = b'{"status":1,"request":"req-1"}'
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@contextlib.contextmanager
def push_server(certs, certfile):
    """An HTTPS push API with the server key and a certificate signed by the test CA or the rogue."""
    server = ThreadingHTTPServer(("127.0.0.1", 0), PushHandler)
    server.posts = []
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certs / certfile, certs / "stores/My/server.key")
    server.socket = context.wrap_socket(server.socket, server_side=True)
    server.url = f"https://127.0.0.1:{server.server_address[1]}/1/messages.json"
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()


@pytest.fixture
def push_api(certs, program_dir):
    with push_server(certs, "stores/My/server.pem") as api:
        program_dir.configure(PushApiUrl=api.url, PushCaFile=certs / "ca.pem")
        yield api


@pytest.mark.realtime
def test_silent_agents_are_alarmed_by_push_and_mail_and_an_idle_mobile_is_closed(
        program_dir, push_api, smtp_server):
    pd = program_dir
    pd.console("customer", "add", C2, "Mailed Ltd")
    pd.console("customer", "add", C3, "Lively Ltd")
    pd.start_plain(TICK)

    async def scenario():
        lively = await agent(pd, C3, sep="&")
        lively.keep_alive(TICK / 2)
        mailed = await agent(pd, C2, sep="&", receiver="Bob\tMailSMTP\t\t\tbob@example.org")
        pushed = await agent(pd, C1, sep="&", receiver="Ann\tMobilePO\tuKey1\t\tann@example.org")
        last = time.monotonic()
        await pushed.echoed()
        closed_at = await pushed.closed(timeout=20 * TICK)
        # Found at the fourth tick after the keep-alive (the first may come at once); the drop
        # event's half-second pause comes before the disconnect.
        assert closed_at - last >= 3 * TICK + 0.5
        await mailed.closed(timeout=20 * TICK)
        await until(lambda: push_api.posts and smtp_server.messages, 5, "the alarm push and mail")

        # The live agent stays. Its answers do not count as activity of its mobile: with the last
        # one about seven ticks after the mobile's request, the notice comes some four ticks
        # later, not eleven.
        idle = await mobile(pd, C3, sep="&")
        last = await idle.send(f"DM{C3}1  status?")
        await lively.expect(f"DM{C3}1  status?")
        for n in range(7):
            await asyncio.sleep(TICK)
            answered = await lively.send(f"DA{C3}1  answer {n}")
            await idle.expect(f"DA{C3}1  answer {n}")
        told_at = await idle.expect(f"CW{C3}0  MSG:Disconnected Due To\r\nInactive > 5 Minutes.",
                                    timeout=30 * TICK)
        assert told_at - last >= 10 * TICK
        assert told_at - answered < 7 * TICK
        await idle.closed()
        # Its slot is free again: a new mobile gets slot 1.
        assert (await mobile(pd, C3, sep="&")).nr == "1  "
        assert lively.closed_at is None and lively.echoes > 10

    run_clients(scenario)
    [form] = push_api.posts
    assert form["user"] == ["uKey1"] and "device" not in form and form["message"] == [ALARM]
    [(sender, rcpts, content)] = smtp_server.messages
    assert sender == "alarm@vantor.example" and rcpts == ["bob@example.org"]
    assert content.partition(b"\r\n\r\n")[2] == ALARM.encode() + b"\r\n"
    # The drops are the only warnings; the idle mobile's close is no fault.
    faults = [line for line in pd.event_lines() if line.startswith(("1\t", "2\t"))]
    assert sorted(faults) == [DROP_EVENT.format("Demo Company"), DROP_EVENT.format("Mailed Ltd")]


def notify(pd, *args):
    """One notifier call with the real libcurl clients: its STATUS and RESULT."""
    run = subprocess.run([HARNESS, str(pd.path), "--timeout-ms", str(TIMEOUT_MS), *args],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    return dict(line.partition(" ")[::2] for line in run.stdout.splitlines())


def test_a_rogue_push_server_mail_login_mechanisms_and_a_mail_server_that_never_answers(certs, program_dir):
    with push_server(certs, "rogue-server.pem") as rogue:
        program_dir.configure(PushCaFile=certs / "ca.pem", PushApiUrl=rogue.url)
        out = notify(program_dir, "push", "m", "k", "")
    assert out["STATUS"] == "3" and "certificate" in out["RESULT"].lower(), out
    assert rogue.posts == []

    logins = []

    def authenticate(server, session, envelope, mechanism, auth_data):
        logins.append((mechanism, auth_data.login, auth_data.password))
        return AuthResult(success=auth_data.password == b"s3cret&'", handled=False)

    port = free_port()
    controller = Controller(MailBox(), hostname="127.0.0.1", port=port, authenticator=authenticate,
                            auth_required=True, auth_require_tls=False)
    controller.start()
    try:
        program_dir.configure(MailHostAddress="127.0.0.1", MailPort=port, MailUseAuth="true",
                              MailAuthMode="AUTH LOGIN", MailAccount="acct", MailPassword="s3cret&'")
        assert notify(program_dir, "mail", "m1", "ops@example.org")["STATUS"] == "1"
        program_dir.configure(MailAuthMode="auth login")  # only the exact text selects LOGIN
        assert notify(program_dir, "mail", "m2", "ops@example.org")["STATUS"] == "1"
        program_dir.configure(MailPassword="wrong")
        denied = notify(program_dir, "mail", "m3", "ops@example.org")
    finally:
        controller.stop()
    assert denied["STATUS"] == "3"
    assert denied["RESULT"].startswith("SMTP: Error when sending message. Error: 5")
    assert [login[0] for login in logins[:2]] == ["LOGIN", "PLAIN"]
    assert logins[0][1:] == (b"acct", b"s3cret&'")

    silent = listening_socket()
    program_dir.configure(MailPort=silent.getsockname()[1], MailUseAuth="false")
    try:
        out = notify(program_dir, "mail", "m", "ops@example.org")
    finally:
        silent.close()
    assert out["RESULT"] == "SMTP: Error when sending message. Error: 28"  # timed out
