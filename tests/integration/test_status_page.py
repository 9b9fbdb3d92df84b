"""The monitoring listener's status page in a real browser (headless Chromium over the DevTools
protocol): what a user sees of a connected agent, the same figures as `vantor-console
connections`, a company name holding markup shown as text, and a page the browser has nothing
to complain about."""
import asyncio
import json
import os
from pathlib import Path

import pytest

import devtools
from conftest import C2, agent, mobile, round_trip, run_clients, wait_for

needs_chromium = pytest.mark.skipif(not devtools.CHROMIUM, reason="chromium is missing (Debian's chromium package, "
                                                                   "which scripts/setup.sh installs)")
COMPANY = "<script>document.title='owned'</script> & Söhne"
ARTIFACTS = Path(os.environ.get("VANTOR_SERVICE", "build/src/VantorWebSrv")).resolve().parents[1] / "test-artifacts"


@needs_chromium
@pytest.mark.slow
def test_status_page_shows_the_connections_the_console_shows(program_dir, tmp_path):
    pd = program_dir
    pd.console("customer", "add", C2, COMPANY)
    pd.configure(WssEnabled="false", MetricsEnabled="true")
    pd.start()  # with the SNMP agent, which `vantor-console connections` reads

    async def scenario():
        agt = await agent(pd, C2)
        mob = await mobile(pd, C2)
        for n in range(20):
            await round_trip(agt, mob, n)
        console = json.loads(pd.console("connections", "--json").stdout)
        # The relay chart gets its first figure once a sampling slot has ended.
        seen = await visit_until(pd, tmp_path, lambda page: page.count("#relay-chart rect.slot"))
        return console, seen

    console, (agents, mobiles, title, events, complaints) = run_clients(scenario)
    (console_agent,) = [a for a in console["agents"] if a["customer"] == C2]
    assert COMPANY in agents and C2 in agents and title == "Vantor Web status"  # the markup stayed text
    assert f"{console_agent['sent']}\t{console_agent['received']}" in agents
    assert C2 in mobiles
    assert "Service Started" in events
    assert complaints == []


async def visit_until(pd, tmp_path, ready, timeout=40):
    """Loads the page until `ready(page)` is true; returns its agents, mobiles, title, events and
    the browser's complaints, keeping a screenshot of the last load."""
    deadline = asyncio.get_running_loop().time() + timeout

    async def look(page):
        if not await ready(page):
            return None
        ARTIFACTS.mkdir(exist_ok=True)
        await page.screenshot(ARTIFACTS / "status-page.png")
        title = (await page.call("Runtime.evaluate", expression="document.title", returnByValue=True))["result"]["value"]
        return (await page.text("#agents"), await page.text("#mobiles"), title, await page.text("#events"),
                page.complaints())

    while asyncio.get_running_loop().time() < deadline:
        if seen := await devtools.visit(f"http://127.0.0.1:{pd.metrics_port}/", tmp_path / "profile", look):
            return seen
        await asyncio.sleep(2)
    raise AssertionError("the status page showed no relay figure in time")
