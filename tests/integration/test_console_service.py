"""vantor-console's words, exit statuses and --json objects, with and without a running service."""
import asyncio
import json
import os
import subprocess

from conftest import C1, C2, CONSOLE, REFUSAL, Client, agent, mobile, run_clients


def run(*args, cwd=None, env=None):
    return subprocess.run([CONSOLE, *args], capture_output=True, text=True, timeout=30, cwd=cwd,
                          env={**os.environ, **(env or {})})


def as_json(result):
    lines = result.stdout.splitlines()
    assert len(lines) == 1, result.stdout
    return json.loads(lines[0])


def test_words_are_checked_before_anything_is_touched(tmp_path):
    assert run("init", "--help", cwd=tmp_path).returncode == 0
    assert run("--help").stdout.startswith("usage: vantor-console")
    assert list(tmp_path.iterdir()) == []
    for args, named in ((("init", "a", "b"), "Unexpected argument b"), (("init", "--bogus"), "Unknown option --bogus"),
                        (("customer", "add", C1), "Missing argument"), (("get-stat",), "Missing argument"),
                        (("customer", "remove", C1, "--forse"), "Unknown option --forse"),
                        (("disconnect-agent", "x"), "SLOT must be a number from 1 to 99, not x"),
                        (("get-stat", "0"), "SLOT must be a number from 1 to 99, not 0"),
                        (("disconnect-mobile", "51"), "not 51"), (("report", "extra"), "Unexpected argument extra"),
                        (("frobnicate",), "Unknown command frobnicate")):
        result = run(*args, cwd=tmp_path)
        assert result.returncode == 2 and named in result.stderr, (args, result.stderr)
    assert list(tmp_path.iterdir()) == []

    # The program directory: --dir anywhere, else VANTOR_DIR, else the current directory.
    made = as_json(run("init", "--json", "--dir", str(tmp_path / "a")))
    assert made["ok"] and made["database"] == str(tmp_path / "a" / "VantorWeb.mdb")
    assert run("init", env={"VANTOR_DIR": str(tmp_path / "b")}).returncode == 0
    added = run("customer", "add", C1, "First", "--json", env={"VANTOR_DIR": str(tmp_path / "b")})
    assert as_json(added) == {"ok": True, "message": f"Customer {C1} added in slot 1 (First, enabled)",
                              "customer": C1, "company": "First", "slot": 1, "enabled": True}
    listed = as_json(run("customer", "list", "--json", "--dir", str(tmp_path / "b")))
    assert [c["customer"] for c in listed["customers"]] == [C1]


def test_without_a_service(program_dir):
    probe = program_dir.console("probe", C1, check=False, input="pw\n")
    assert probe.returncode == 1
    assert f"The service is not listening on ws 127.0.0.1:{program_dir.ws_port}" in probe.stderr
    # No answer over SNMP: nothing can be connected, so the row goes.
    removed = program_dir.console("customer", "remove", C1, "--json", check=False)
    assert removed.returncode == 0, removed.stderr
    outcome = as_json(removed)
    assert outcome["ok"] and "no service answered" in outcome["message"] and not outcome["serviceReloaded"]
    assert C1 not in program_dir.console("customer", "list").stdout


def console(pd, *args, input=None):
    return asyncio.to_thread(pd.console, *args, check=False, input=input)


def test_probe_slot_commands_connections_and_removal(two_customers):
    service = two_customers
    service.start()

    async def scenario():
        relayed = await console(service, "probe", C1, "--json", input="pw\n")
        assert relayed.returncode == 0, relayed.stderr
        outcome = as_json(relayed)
        assert outcome["message"].startswith(f"Relayed one request through customer {C1} in ")
        assert outcome["roundTripMs"] >= 0 and not outcome["throughConnectedAgent"]

        unknown = await console(service, "probe", "03000003", input="pw\n")
        assert unknown.returncode == 1 and "Customer 03000003 is unknown" in unknown.stderr

        # The probe's agent pinned its pass; unpinned, the customer's own agent pins its own. It
        # holds the slot: the probe relays through it, with its pass text.
        unpinned = await console(service, "customer", "unpin", C1)
        assert "the service reloaded its customer table" in unpinned.stdout, unpinned.stderr
        peer = await agent(service, password="right", sep="%20")
        wrong = await console(service, "probe", C1, input="wrong\n")
        assert wrong.returncode == 1 and f"Wrong password for customer {C1}" in wrong.stderr

        async def answer():
            message = await peer.next()
            await peer.send("DA" + message[2:])
        answering = asyncio.create_task(answer())
        secret = service.path.parent / "pass"
        secret.write_text("right\n")
        through = await console(service, "probe", C1, "--secret-file", str(secret))
        await answering
        assert through.returncode == 0 and "(its connected agent)" in through.stdout, through.stderr

        empty = await console(service, "disconnect-agent", "7", "--json")
        assert empty.returncode == 1
        assert as_json(empty) == {"ok": False, "message": "No agent connected in slot 7", "slot": 7}
        assert "No mobile connected in slot 3" in (await console(service, "disconnect-mobile", "3")).stderr

        phone = await mobile(service, password="right", sep="%20")
        await phone.send(f"DM{C1}{phone.nr}hello")
        assert await peer.next() == f"DM{C1}{phone.nr}hello"
        await peer.send(f"DA{C1}{phone.nr}world")
        await phone.expect(f"DA{C1}{phone.nr}world")
        await peer.echoed("\t12")

        listing = as_json(await console(service, "connections", "--json"))
        [a] = listing["agents"]
        assert (a["slot"], a["customer"], a["company"], a["kind"], a["remote"]) == (1, C1, "Demo Company", "ws",
                                                                                   "127.0.0.1")
        # The probe's request and answer count as well.
        assert (a["sent"], a["received"], a["rttAverageMs"], a["version"]) == (2, 2, 12.0, "3.10")
        [m] = listing["mobiles"]
        assert (m["slot"], m["customer"], m["sent"], m["received"], m["version"]) == (1, C1, 1, 1, "3.10")
        table = (await console(service, "connections")).stdout
        assert "Agents: 1" in table and "Mobiles: 1" in table and "Demo Company" in table

        # Removal: refused where it would shift customer 2, and under the connected agent.
        shifted = await console(service, "customer", "remove", C1, "--force")
        assert shifted.returncode == 1 and f"would move customer {C2} out of slot 2" in shifted.stderr
        assert (await console(service, "customer", "remove", C2)).returncode == 0
        busy = await console(service, "customer", "remove", C1)
        assert busy.returncode == 1 and "its agent is connected" in busy.stderr
        forced = await console(service, "customer", "remove", C1, "--force", "--json")
        assert forced.returncode == 0, forced.stderr
        outcome = as_json(forced)
        assert outcome["agentDisconnected"] and outcome["serviceReloaded"]
        await peer.closed()
        assert C1 not in service.console("customer", "list").stdout
        # The emptied slot is closed to the removed customer.
        again = await Client.connect(service, f"/agt?{C1} pw__________", False)
        assert await again.next() == REFUSAL + f"Disconnected. CustID: {C1} Not Found"

    run_clients(scenario)
    assert service.stop() == 0
