"""vantor-console: program directory set-up and table editing."""
import json
import sqlite3

from conftest import ProgramDir


def test_init_creates_folders_and_refuses_to_overwrite(tmp_path):
    target = tmp_path / "p"
    pd = ProgramDir(target)
    created = pd.console("init", str(target))
    assert created.returncode == 0
    for folder in ("Debug", "Log", "KeepAlive", "Backup"):
        assert (target / folder).is_dir()
    # The database will hold the mail password: not readable by others.
    assert (target / "VantorWeb.mdb").stat().st_mode & 0o777 == 0o640
    pd.console("customer", "add", "01000001", "First")
    again = pd.console("init", str(target), check=False)
    assert again.returncode == 1 and "already exists" in again.stderr
    assert "01000001" in pd.console("customer", "list").stdout  # nothing was lost


def test_customer_ids_must_land_in_the_slot_they_name_and_passes_are_pinned_as_hashes(program_dir):
    pd = program_dir
    bad = pd.console("customer", "add", "05000001", "Gap", check=False)
    assert bad.returncode == 1 and "would land in slot 2, not slot 5" in bad.stderr
    for wrong, why in (("1", "8 characters"), ("0100000", "8 characters"), ("AB000001", "01 to 99"),
                       ("00000001", "01 to 99"), ("02 00001", "no spaces")):
        refused = pd.console("customer", "add", wrong, "X", check=False)
        assert refused.returncode == 1 and why in refused.stderr, (wrong, refused.stderr)
    dup = pd.console("customer", "add", "01000001", "Again", check=False)
    assert dup.returncode == 1 and "already exists" in dup.stderr

    pd.console("customer", "add", "02000002", "O'Brien & \"Sons\"; DROP TABLE Customer")
    listing = pd.console("customer", "list").stdout.splitlines()
    assert listing[1].split()[:3] == ["1", "01000001", "yes"]
    assert listing[2].split()[:3] == ["2", "02000002", "yes"]
    assert listing[2].endswith("O'Brien & \"Sons\"; DROP TABLE Customer")

    pd.console("customer", "disable", "02000002")
    assert pd.console("customer", "list").stdout.splitlines()[2].split()[2] == "no"
    assert pd.console("customer", "enable", "99999999", check=False).returncode == 1

    # No service runs: a pinned pass comes from standard input only and is stored as a salted hash.
    assert pd.setting("PinAgentPass") == "1"  # a new program directory pins agent passes

    def pinned():
        return json.loads(pd.console("--json", "customer", "list").stdout)["customers"][0]["pinned"]

    assert not pinned()
    done = pd.console("customer", "pin", "01000001", input="s3cret\n")
    assert "no service answered" in done.stdout
    with sqlite3.connect(pd.path / "VantorWeb.mdb") as db:
        (stored,) = db.execute("SELECT AgentPassHash FROM Customer WHERE CustID = '01000001'").fetchone()
    assert stored.startswith("pbkdf2-sha256$") and "s3cret" not in stored
    assert pinned()
    assert pd.console("customer", "list").stdout.splitlines()[1].split()[4] == "yes"
    # No pass, no such customer, a pass on the command line, no id: nothing changes.
    for args, stdin, status in ((("pin", "01000001"), "", 1), (("pin", "09999999"), "x\n", 1),
                                (("pin", "01000001", "s3cret"), "x\n", 2), (("unpin",), "", 2)):
        assert pd.console("customer", *args, input=stdin, check=False).returncode == status, args
    assert pinned()
    pd.console("customer", "unpin", "01000001")
    assert not pinned()


def test_settings_show_and_set(program_dir):
    pd = program_dir
    before = pd.setting("WsPort")
    port = pd.ws_port + 1 if pd.ws_port < 65535 else pd.ws_port - 1
    assert pd.console("settings", "set", "WsPort", str(port)).stdout == f"WsPort set to {port} (was {before})\n"
    pd.console("settings", "set", "DebugMode", "true")
    # A secret never comes from the command line: refused there, read from standard input.
    refused = pd.console("settings", "set", "MailPassword", "hunter2", check=False)
    assert refused.returncode == 2 and "hunter2" not in refused.stderr
    pd.console("settings", "set", "MailPassword", input="secret\n")
    assert pd.setting("DebugMode") == "1"
    shown = pd.console("settings", "show").stdout
    assert "secret" not in shown and "(set)" in shown
    assert json.loads(pd.console("settings", "show", "--json").stdout)["settings"]["WsPort"] == port

    # What the service could not use is refused, and the row kept.
    assert pd.console("settings", "set", "WsPort", "abc", check=False).returncode == 1
    out_of_range = pd.console("settings", "set", "WsPort", "99999", check=False)
    assert out_of_range.returncode == 1
    assert out_of_range.stderr.startswith("WsPort: 99999 is not a port (1-65535)\n")
    as_json = pd.console("--json", "settings", "set", "WsPort", "99999", check=False)
    outcome = json.loads(as_json.stdout)
    assert (as_json.returncode, outcome["ok"], outcome["column"], outcome["value"]) == (1, False, "WsPort", 99999)
    assert pd.setting("WsPort") == str(port)
    unknown = pd.console("settings", "set", "NoSuchColumn", "1", check=False)
    assert (unknown.returncode, unknown.stderr) == (2, "General_Settings has no column NoSuchColumn\n")

    pd.console("settings", "set", "PushApiUrl", "--null")
    assert pd.setting("PushApiUrl") == "NULL"
    # A database made before an optional column gets it when it is first set.
    with sqlite3.connect(pd.path / "VantorWeb.mdb") as db:
        db.execute("ALTER TABLE General_Settings DROP COLUMN PinAgentPass")
    pd.console("settings", "set", "PinAgentPass", "true")
    assert pd.setting("PinAgentPass") == "1"
