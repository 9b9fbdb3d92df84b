"""vantor-load against the real service: a soak with request traffic and keep-alives that loses nothing."""
import os
import re
import subprocess
import time

import pytest

LOAD = os.environ.get("VANTOR_LOAD", "build/tools/vantor-load")
FIELD = re.compile(r"(\w+)=(-?[\d.]+)")


def add_customers(pd, count):
    """Customers 02000002 ... in slots 2 to `count`, numbered as vantor-load numbers them."""
    for i in range(2, count + 1):
        pd.console("customer", "add", f"{i:02d}{i:06d}", f"Load Customer {i}")


def load(pd, *args):
    command = [LOAD, "--port", str(pd.ws_port), "--customers-from", "01000001", "--password", "pw",
               *map(str, args)]
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def fields(line):
    """The key=value fields of a report line; agents=9/10 gives agents=9 and agents_of=10."""
    values = {k: float(v) for k, v in FIELD.findall(line)}
    for k, ready, total in re.findall(r"(\w+)=(\d+)/(\d+)", line):
        values[k], values[f"{k}_of"] = int(ready), int(total)
    return values


def lines(out, label):
    return [fields(l) for l in out.splitlines() if l.startswith(label + " ")]


SOAK_SECONDS = int(os.environ.get("VANTOR_SOAK_SECONDS", "180"))


@pytest.mark.realtime
def test_soak_of_99_agents_and_50_mobiles_loses_nothing_and_stays_flat(program_dir):
    """99 agents with keep-alives and 50 mobiles asking twice a second, for three minutes (set
    VANTOR_SOAK_SECONDS for a longer soak; pytest -s shows the report lines as they come)."""
    pd = program_dir
    add_customers(pd, 99)
    pd.start()
    began = time.monotonic()
    every = max(10, SOAK_SECONDS // 12)
    run = load(pd, "--agents", 99, "--mobiles", 50, "--rate", 2, "--keepalive", 10,
               "--duration", SOAK_SECONDS, "--report-every", every, "--pid", pd.process.pid)
    out = []
    for line in run.stdout:
        print(line, end="", flush=True)
        out.append(line)
    err = run.stderr.read()
    assert run.wait(timeout=60) == 0, "".join(out) + err
    out = "".join(out)
    assert time.monotonic() - began >= SOAK_SECONDS  # the whole duration, as asked

    reports, (summary,) = lines(out, "REPORT"), lines(out, "SUMMARY")
    assert len(reports) >= 5
    assert [r["sent"] for r in reports] == sorted(r["sent"] for r in reports)
    # Every client in, every request answered or still in flight, and no fault counted.
    assert [summary[k] for k in ("agents", "agents_of", "mobiles", "mobiles_of")] == [99, 99, 50, 50]
    assert summary["sent"] > 50 * 2 * (SOAK_SECONDS - 15)
    assert summary["answered"] == summary["sent"] - summary["in_flight"]
    assert not any(summary[k] for k in ("wrong", "lost", "late", "drops", "unanswered", "refused"))
    # Every agent sent a keep-alive about every 10 s, and all came back but those just sent.
    assert summary["keepalives"] >= 99 * (SOAK_SECONDS - 15) // 10
    assert summary["keepalives"] - 99 <= summary["echoed"] <= summary["keepalives"]
    assert 0 < summary["rtt_p50"] <= summary["rtt_p99"] < 1000
    assert summary["VmRSS"] >= summary["RssAnon"] > 0
    # Flat: once every client is in, the descriptors stay put (a log file may be open at the
    # moment of a sample) and the resident memory does not creep.
    steady = reports[1:] + [summary]
    fds = [r["fds"] for r in steady]
    assert max(fds) - min(fds) <= 2, fds
    assert min(fds) >= 149
    rss = [r["VmRSS"] for r in steady]
    assert max(rss) <= rss[0] * 1.1 + 1024, rss
    assert pd.stop() == 0
