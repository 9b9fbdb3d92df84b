"""The monitoring listener with real Prometheus parts: promtool on a scrape of full tables and on
the package's alert rules, a Prometheus server scraping the service, and the bearer token."""
import json
import re
import shutil
import sqlite3
import subprocess
import time
import urllib.error
import urllib.parse
import urllib.request
from pathlib import Path

import pytest

from conftest import free_port, wait_for
from test_load import add_customers, load

PROMTOOL = shutil.which("promtool")
PROMETHEUS = shutil.which("prometheus")
ROOT = Path(__file__).resolve().parents[2]
MONITORING = ROOT / "packaging" / "monitoring"
RULES = MONITORING / "vantor-web.rules.yml"
RULE_TESTS = ROOT / "tests" / "prometheus" / "vantor-web.rules.test.yml"
needs_promtool = pytest.mark.skipif(not PROMTOOL, reason="promtool is missing (Debian's prometheus package, "
                                                         "which scripts/setup.sh installs)")
needs_prometheus = pytest.mark.skipif(not (PROMTOOL and PROMETHEUS),
                                      reason="prometheus is missing (Debian's prometheus package, which "
                                             "scripts/setup.sh installs)")


def fetch(pd, path="/metrics", method="GET", authorization=None):
    """Status, headers and body of one request to the monitoring listener."""
    request = urllib.request.Request(f"http://127.0.0.1:{pd.metrics_port}{path}", method=method)
    if authorization:
        request.add_header("Authorization", authorization)
    try:
        with urllib.request.urlopen(request, timeout=5) as answer:
            return answer.status, answer.headers, answer.read().decode()
    except urllib.error.HTTPError as refused:
        return refused.code, refused.headers, refused.read().decode()


def sample(text, series):
    """The value of one series (name and labels exactly as exposed) in an exposition."""
    for line in text.splitlines():
        if line.startswith(series + " "):
            return float(line.rsplit(" ", 1)[1])
    return None


def query(port, expression):
    """The values of an instant query through Prometheus's HTTP API."""
    url = f"http://127.0.0.1:{port}/api/v1/query?" + urllib.parse.urlencode({"query": expression})
    with urllib.request.urlopen(url, timeout=5) as answer:
        return [float(result["value"][1]) for result in json.load(answer)["data"]["result"]]


@needs_promtool
@pytest.mark.parametrize("command", [["check", "rules", RULES], ["test", "rules", RULE_TESTS]],
                         ids=["check", "test"])
def test_alert_rules_pass_promtool(command):
    result = subprocess.run([PROMTOOL, *map(str, command)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr


def start_prometheus(tmp_path, target):
    """A Prometheus server on loopback that scrapes `target` every second, with the package's rules."""
    config = tmp_path / "prometheus.yml"
    config.write_text("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                      f"rule_files: ['{RULES}']\n"
                      "scrape_configs:\n  - job_name: vantor-web\n"
                      f"    static_configs: [{{targets: ['{target}']}}]\n")
    port = free_port()
    log = open(tmp_path / "prometheus.log", "w")
    process = subprocess.Popen([PROMETHEUS, f"--config.file={config}", f"--storage.tsdb.path={tmp_path / 'tsdb'}",
                                f"--web.listen-address=127.0.0.1:{port}"],
                               stdout=subprocess.DEVNULL, stderr=log)
    return process, port


@needs_prometheus
@pytest.mark.realtime
def test_full_tables_pass_promtool_and_prometheus_sees_them(program_dir, tmp_path):
    """99 agents and 50 mobiles of the load tool: the scrape passes `promtool check metrics`, and
    a real Prometheus counts the agents and sees the relay counter grow."""
    pd = program_dir
    add_customers(pd, 99)
    pd.start()
    run = load(pd, "--agents", 99, "--mobiles", 50, "--rate", 2, "--keepalive", 10, "--duration", 90)
    prometheus = None
    try:
        wait_for(lambda: sample(fetch(pd)[2], 'vantor_connections_open{kind="mobile"}') == 50, timeout=30,
                 what="every mobile in")
        status, headers, text = fetch(pd)
        assert (status, headers["Content-Type"]) == (200, "text/plain; version=0.0.4; charset=utf-8")
        checked = subprocess.run([PROMTOOL, "check", "metrics"], input=text, capture_output=True, text=True,
                                 timeout=30)
        assert checked.returncode == 0, checked.stdout + checked.stderr
        assert sum(line.endswith(" 1") for line in text.splitlines()
                   if line.startswith("vantor_agent_connected{")) == 99
        assert sample(text, 'vantor_listener_up{listener="metrics"}') == 1
        exposed = set(re.findall(r"^# TYPE (\w+) ", text, re.MULTILINE))
        for shipped in ("vantor-web.rules.yml", "vantor-web.dashboard.json"):
            used = set(re.findall(r"\b((?:vantor|process)_\w+)", (MONITORING / shipped).read_text()))
            assert used and used <= exposed, (shipped, used - exposed)

        prometheus, port = start_prometheus(tmp_path, f"127.0.0.1:{pd.metrics_port}")
        wait_for(lambda: _answers(port, 'vantor_connections_open{kind="agent"}') == [99], timeout=30,
                 what="Prometheus to scrape the agents")
        assert query(port, "count(vantor_agent_connected == 1)") == [99]
        relayed = 'vantor_relayed_messages_total{direction="to_agent"}'
        (first,) = query(port, relayed)
        wait_for(lambda: query(port, relayed)[0] > first, timeout=15, what="the relay counter to grow")
    finally:
        run.kill()
        run.communicate()
        if prometheus:
            prometheus.terminate()
            prometheus.wait(timeout=30)


def _answers(port, expression):
    """An instant query's values, or None while Prometheus is not up yet."""
    try:
        return query(port, expression)
    except (urllib.error.URLError, ConnectionError):
        return None


def test_the_token_is_asked_for_and_never_shown(program_dir):
    pd = program_dir
    token = "Zm9v-bar_42"
    pd.configure(MetricsToken=token)
    pd.start_plain()
    cases = [  # method, path, Authorization, status, the header that must come with it
        ("GET", "/metrics", None, 401, ("WWW-Authenticate", "Bearer")),
        ("GET", "/metrics", "Bearer wrong-token", 401, ("WWW-Authenticate", "Bearer")),
        ("GET", "/metrics", f"Bearer {token}", 200, ("Content-Type", "text/plain; version=0.0.4; charset=utf-8")),
        ("HEAD", "/metrics", f"Bearer {token}", 200, ("Cache-Control", "no-store")),
        ("POST", "/metrics", f"Bearer {token}", 405, ("Allow", "GET, HEAD")),
        ("GET", "/", None, 401, ("WWW-Authenticate", "Bearer")),
        ("GET", "/", f"Bearer {token}", 200, ("Content-Type", "text/html; charset=utf-8")),
        ("GET", "/nowhere", f"Bearer {token}", 404, ("Content-Type", "text/plain; charset=utf-8")),
    ]
    for method, path, authorization, status, (header, value) in cases:
        got, headers, _ = fetch(pd, path, method, authorization)
        assert (got, headers[header]) == (status, value), (method, path, authorization)
    # SNMP and TLS are not enabled here: no series of theirs.
    text = fetch(pd, authorization=f"Bearer {token}")[2]
    assert [line for line in text.splitlines() if line.startswith("vantor_listener_up{")] == [
        'vantor_listener_up{listener="ws"} 1', 'vantor_listener_up{listener="metrics"} 1']
    assert "(set)" in pd.setting("MetricsToken")
    pd.stop()
    for text in (pd.console("settings", "show").stdout, pd.events(), pd.stderr):
        assert token not in text


@pytest.mark.parametrize("address", ["0.0.0.0", "192.0.2.1", "::"])
def test_an_exposed_address_without_token_is_refused(program_dir, address):
    pd = program_dir
    refused = pd.console("settings", "set", "MetricsIpAddr", address, check=False)
    assert refused.returncode == 1 and "MetricsToken: is empty while" in refused.stderr
    with sqlite3.connect(pd.path / "VantorWeb.mdb") as db:
        db.execute("UPDATE General_Settings SET MetricsIpAddr = ?", (address,))
    check = pd.run("--check")
    assert check.returncode == 1
    assert f"MetricsToken: is empty while the monitoring listener serves {address}," in check.stdout


def test_the_start_refuses_an_exposed_address_without_token(program_dir):
    pd = program_dir
    with sqlite3.connect(pd.path / "VantorWeb.mdb") as db:
        db.execute("UPDATE General_Settings SET MetricsIpAddr = '0.0.0.0'")
    pd.start_plain()
    failure = (f"1\tmodVantorWebSrv_ServiceOpen\tMETRICS listener 0.0.0.0:{pd.metrics_port} failed: no "
               "MetricsToken, which an address other hosts can reach needs")
    assert pd.mentions(failure)
    with pytest.raises(urllib.error.URLError):
        urllib.request.urlopen(f"http://127.0.0.1:{pd.metrics_port}/metrics", timeout=5)
    assert pd.stop() == 0
    assert f"METRICS listener 0.0.0.0:{pd.metrics_port} failed" in pd.stderr
