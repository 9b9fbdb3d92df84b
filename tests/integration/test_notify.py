"""The push sender's real libcurl client against push servers it must not trust or that never
answer or listen; a push that arrives is checked end to end by test_supervision.py."""
import os
import subprocess
import time

import pytest

from conftest import PushApi, free_port, listening_socket

HARNESS = os.environ.get("VANTOR_NOTIFY_HARNESS", "build/tests/notify_harness")
TIMEOUT_MS = 1500


@pytest.mark.parametrize("server,reason", [
    ("rogue", "certificate"),  # signed by a CA the service was not given
    ("silent", "time"),        # "timed out" or "timeout"
    ("closed", "connect"),
])
def test_push_to_a_server_it_cannot_use_fails_within_the_timeout(certs, program_dir, server, reason):
    rogue = PushApi(certs / "rogue-server.pem", certs / "stores/My/server.key")
    silent = listening_socket()
    url = {"rogue": rogue.url,
           "silent": f"https://127.0.0.1:{silent.getsockname()[1]}/1/messages.json",
           "closed": f"https://127.0.0.1:{free_port()}/1/messages.json"}[server]
    program_dir.configure(PushCaFile=certs / "ca.pem", PushApiUrl=url)
    started = time.monotonic()
    try:
        run = subprocess.run([HARNESS, str(program_dir.path), "--timeout-ms", str(TIMEOUT_MS),
                              "push", "m", "k", ""], capture_output=True, text=True, timeout=60)
    finally:
        rogue.close()
        silent.close()
    elapsed = time.monotonic() - started
    assert run.returncode == 0, run.stderr
    lines = dict(line.partition(" ")[::2] for line in run.stdout.splitlines())
    assert lines["STATUS"] == "3"
    assert reason in lines["RESULT"].lower()
    assert rogue.posts == []
    assert elapsed < TIMEOUT_MS / 1000 + 5
    if server == "silent":
        assert elapsed >= TIMEOUT_MS / 1000
