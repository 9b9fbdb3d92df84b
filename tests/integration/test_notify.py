"""The push and mail senders with the real libcurl clients against local peers: an HTTPS server
with a CA made here, servers that refuse, drop or never answer, and aiosmtpd."""
import os
import socket
import ssl
import subprocess
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

HARNESS = os.environ.get("VANTOR_NOTIFY_HARNESS", "build/tests/notify_harness")
ALARM = "No Keep-Alive Messages From Agent. Probably Due To Broken Connection."
TOKEN = "q7Lm2Rx9TbW4nKv8Hs3JdPf6Yc1GzE"
TIMEOUT_MS = 1500


def unescape(text):
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            out.append({"r": "\r", "n": "\n", "t": "\t", "\\": "\\"}[text[i + 1]])
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


class Outcome:
    def __init__(self, stdout, elapsed):
        self.elapsed = elapsed
        self.status = self.result = self.limits = None
        self.traps = []
        for line in stdout.splitlines():
            kind, _, rest = line.partition(" ")
            if kind == "STATUS":
                self.status = int(rest)
            elif kind == "RESULT":
                self.result = unescape(rest)
            elif kind == "TRAP":
                self.traps.append([unescape(f) for f in rest.split("\t")])
            elif kind == "LIMITS":
                self.limits = tuple(int(n) for n in rest.split())


def harness(program_dir, *args):
    started = time.monotonic()
    run = subprocess.run([HARNESS, str(program_dir.path), "--timeout-ms", str(TIMEOUT_MS), *args],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    return Outcome(run.stdout, time.monotonic() - started)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---- certificates -------------------------------------------------------------------------

def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    d = tmp_path_factory.mktemp("pki")
    for name in ("ca", "rogue"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-subj", f"/CN=Test {name} CA", "-keyout", f"{name}.key", "-out", f"{name}.pem",
                cwd=d)
    (d / "san.ext").write_text("subjectAltName=IP:127.0.0.1\n")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
            "-keyout", "server.key", "-out", "server.csr", cwd=d)
    for signer, out in (("ca", "server.pem"), ("rogue", "rogue-server.pem")):
        openssl("x509", "-req", "-in", "server.csr", "-CA", f"{signer}.pem", "-CAkey",
                f"{signer}.key", "-CAcreateserial", "-days", "2", "-extfile", "san.ext",
                "-out", out, cwd=d)
    return d


# ---- push API ----------------------------------------------------------------------------

class PushApi:
    """Records each posted form and answers with the queued replies (200 by default)."""

    def __init__(self, certfile, keyfile):
        self.posts, self.replies = [], []
        api = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length", 0))
                raw = self.rfile.read(length).decode("ascii")
                api.posts.append({"path": self.path, "raw": raw,
                                  "type": self.headers.get("Content-Type"),
                                  "form": urllib.parse.parse_qs(raw, keep_blank_values=True)})
                status, headers, body = (api.replies.pop(0) if api.replies
                                         else (200, {}, b'{"status":1,"request":"req-1"}'))
                self.send_response(status)
                for name, value in headers.items():
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(certfile, keyfile)
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.url = f"https://127.0.0.1:{self.server.server_address[1]}/1/messages.json"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def push_api(certs, program_dir):
    api = PushApi(certs / "server.pem", certs / "server.key")
    program_dir.console("settings", "set", "PushApiUrl", api.url)
    program_dir.console("settings", "set", "PushCaFile", str(certs / "ca.pem"))
    yield api
    api.close()


def test_push_posts_encoded_form_and_reads_limits(push_api, program_dir):
    push_api.replies.append((200, {"x-limit-app-limit": "10000", "X-Limit-App-Remaining": "9876"},
                             b'{"status":1,"request":"req-1"}'))
    out = harness(program_dir, "push", "A & B = \"C\" 'D' 100%", "uKey&device=x", "")
    assert out.status == 1
    assert out.result == ("PUSH: Message sent successfully.\r\nHTTP/1.0 200 OK\r\n"
                          '{"status":1,"request":"req-1"}')
    assert out.limits == (10000, 9876)
    [post] = push_api.posts
    assert post["path"] == "/1/messages.json"
    assert post["type"] == "application/x-www-form-urlencoded"
    assert [f.split("=")[0] for f in post["raw"].split("&")] == [
        "token", "user", "priority", "sound", "title", "message"]
    assert post["form"] == {"token": [TOKEN], "user": ["uKey&device=x"], "priority": ["0"],
                            "sound": ["tugboat"], "title": ["Vantor Com Server"],
                            "message": ["A & B = \"C\" 'D' 100%"]}


def test_push_to_unverifiable_or_silent_or_closed_server(certs, program_dir):
    rogue = PushApi(certs / "rogue-server.pem", certs / "server.key")
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen()  # accepts connections and never says a word
    try:
        program_dir.console("settings", "set", "PushCaFile", str(certs / "ca.pem"))
        program_dir.console("settings", "set", "PushApiUrl", rogue.url)
        untrusted = harness(program_dir, "push", "m", "k", "")
        program_dir.console("settings", "set", "PushApiUrl",
                            f"https://127.0.0.1:{silent.getsockname()[1]}/1/messages.json")
        mute = harness(program_dir, "push", "m", "k", "")
        program_dir.console("settings", "set", "PushApiUrl",
                            f"https://127.0.0.1:{free_port()}/1/messages.json")
        closed = harness(program_dir, "push", "m", "k", "")
    finally:
        rogue.close()
        silent.close()
    assert rogue.posts == []
    assert untrusted.status == 3 and "certificate" in untrusted.result.lower()
    assert mute.status == 3 and "time" in mute.result.lower()  # "timed out" or "timeout"
    assert TIMEOUT_MS / 1000 <= mute.elapsed < TIMEOUT_MS / 1000 + 5
    assert closed.status == 3 and "connect" in closed.result.lower()


# ---- mail --------------------------------------------------------------------------------

class MailBox:
    """Accepts mail after refusing the first `refuse` attempts with `code` at RCPT TO."""

    def __init__(self, refuse=0, code="451 4.3.0 Try again later"):
        self.refuse, self.code = refuse, code
        self.attempts, self.messages, self.logins = 0, [], []

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        self.attempts += 1
        if self.attempts <= self.refuse:
            return self.code
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.messages.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.content))
        return "250 Message accepted for delivery"

    def authenticate(self, server, session, envelope, mechanism, auth_data):
        self.logins.append((mechanism, auth_data.login, auth_data.password))
        # handled=False lets the server answer a refusal with its 535 reply.
        return AuthResult(success=auth_data.password == b"s3cret&'", handled=False)


@pytest.fixture
def smtp_server(program_dir):
    started = []

    def start(box, auth=False):
        port = free_port()
        extra = dict(authenticator=box.authenticate, auth_required=True,
                     auth_require_tls=False) if auth else {}
        controller = Controller(box, hostname="127.0.0.1", port=port, **extra)
        controller.start()
        started.append(controller)
        program_dir.console("settings", "set", "MailHostAddress", "127.0.0.1")
        program_dir.console("settings", "set", "MailPort", str(port))
        program_dir.console("settings", "set", "MailFromAddress", "alarm@vantor.example")
        return box

    yield start
    for controller in started:
        controller.stop()


def test_mail_login_and_second_mechanism(smtp_server, program_dir):
    box = smtp_server(MailBox(), auth=True)
    for column, value in (("MailUseAuth", "true"), ("MailAuthMode", "AUTH LOGIN"),
                          ("MailAccount", "acct"), ("MailPassword", "s3cret&'")):
        program_dir.console("settings", "set", column, value)
    assert harness(program_dir, "mail", "m1", "ops@example.org").status == 1
    program_dir.console("settings", "set", "MailAuthMode", "auth login")
    assert harness(program_dir, "mail", "m2", "ops@example.org").status == 1
    program_dir.console("settings", "set", "MailPassword", "wrong")
    denied = harness(program_dir, "mail", "m3", "ops@example.org")
    assert denied.status == 3 and denied.result.startswith("SMTP: Error when sending message. Error: 5")
    assert [login[0] for login in box.logins] == ["LOGIN", "PLAIN", "PLAIN", "PLAIN", "PLAIN"]
    assert box.logins[0][1:] == (b"acct", b"s3cret&'")
    assert len(box.messages) == 2


@pytest.mark.parametrize("refuse,code,status,result", [
    (2, "451 4.3.0 Try again later", 1, "SMTP: Message sent successfully."),
    (3, "550 5.1.1 No such user", 3, "SMTP: Error when sending message. Error: 550"),
])
def test_mail_attempts(smtp_server, program_dir, refuse, code, status, result):
    box = smtp_server(MailBox(refuse, code))
    out = harness(program_dir, "mail", "m", "ops@example.org")
    assert (out.status, out.result) == (status, result)
    assert box.attempts == 3
    assert len(box.messages) == (1 if status == 1 else 0)


def test_mail_server_that_never_answers_is_bounded(program_dir):
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen()
    program_dir.console("settings", "set", "MailHostAddress", "127.0.0.1")
    program_dir.console("settings", "set", "MailPort", str(silent.getsockname()[1]))
    try:
        out = harness(program_dir, "mail", "m", "ops@example.org")
    finally:
        silent.close()
    assert out.result == "SMTP: Error when sending message. Error: 28"  # timed out, three times
    assert 3 * TIMEOUT_MS / 1000 <= out.elapsed < 3 * TIMEOUT_MS / 1000 + 8
