"""postinst, prerm and postrm run against a temporary root (DPKG_ROOT) with the account and
service commands replaced by recorders, for what a booted system cannot show: a first install,
a second configure, and a system without systemd. Remove, purge and the upgrade from the old
layout (data moved, old directory gone, home moved) run for real in systemd_container.sh."""
import os
import stat
import subprocess

import pytest

from conftest import SOURCE_DIR

SCRIPTS = os.path.join(SOURCE_DIR, "packaging", "debian")

# Each fake appends its name and arguments to calls.log. getent knows the accounts that
# adduser/addgroup added and the home that adduser or usermod gave; runuser carries out
# "vantor-console init" by making the database.
FAKES = {
    "getent": 'grep -qx "$1 $2" "$FAKE_STATE/accounts" 2>/dev/null || exit 2\n'
              '[ "$1" = group ] || echo "$2:x:999:999::$(cat "$FAKE_STATE/home"):/usr/sbin/nologin"',
    "adduser": 'echo "passwd ${@: -1}" >> "$FAKE_STATE/accounts"; echo "$6" > "$FAKE_STATE/home"',
    "addgroup": 'echo "group ${@: -1}" >> "$FAKE_STATE/accounts"',
    "usermod": 'echo "$2" > "$FAKE_STATE/home"',
    "deluser": "true",
    "delgroup": "true",
    "chown": "true",
    "systemctl": "true",
    "runuser": 'touch "${@: -1}/VantorWeb.mdb"',
}
HOME = "/var/lib/vantor-web"


@pytest.fixture
def system(tmp_path):
    root = tmp_path / "root"
    (root / "run/systemd/system").mkdir(parents=True)
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for name, action in FAKES.items():
        fake = bin_dir / name
        fake.write_text(f'#!/bin/bash\necho "{name} $*" >> "$FAKE_STATE/calls.log"\n{action}\n')
        fake.chmod(0o755)

    class System:
        root_dir = root
        program_dir = root / HOME.lstrip("/")
        database = program_dir / "VantorWeb.mdb"

        def run(self, script, *args):
            (tmp_path / "calls.log").write_text("")
            env = dict(os.environ, DPKG_ROOT=str(root), FAKE_STATE=str(tmp_path),
                       PATH=f"{bin_dir}:{os.environ['PATH']}")
            subprocess.run(["sh", os.path.join(SCRIPTS, script), *args], env=env, check=True,
                           timeout=30)
            return (tmp_path / "calls.log").read_text().splitlines()

    return System()


def test_first_install_creates_account_and_database_then_starts_and_prerm_stops_on_remove(system):
    calls = system.run("postinst", "configure")
    dir_ = str(system.program_dir)
    assert calls == [
        "getent group vantor",
        "addgroup --system --quiet vantor",
        "getent passwd vantor",
        f"adduser --system --quiet --ingroup vantor --home {HOME} --no-create-home "
        "--shell /usr/sbin/nologin vantor",
        f"chown vantor:vantor {dir_}",
        f"runuser -u vantor -- {system.program_dir.parents[2]}/usr/bin/vantor-console init {dir_}",
        f"chown vantor:vantor {system.database}",
        "systemctl daemon-reload",
        "systemctl enable vantor-web.service",
        "systemctl restart vantor-web.service",
    ]
    assert stat.S_IMODE(system.database.stat().st_mode) == 0o640
    assert stat.S_IMODE(system.program_dir.stat().st_mode) == 0o750

    # prerm stops on remove only; without systemd nothing is started or stopped.
    assert system.run("prerm", "remove") == ["systemctl stop vantor-web.service",
                                             "systemctl disable vantor-web.service"]
    assert system.run("prerm", "upgrade", "1.1") == []
    (system.root_dir / "run/systemd/system").rmdir()
    assert not [c for c in system.run("postinst", "configure") if c.startswith("systemctl")]
    assert system.run("prerm", "remove") == []
