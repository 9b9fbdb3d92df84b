"""The service started in the foreground, signalled and stopped, the files it leaves, and its
command-line options: -install and -uninstall against a temporary unit folder and a stand-in for
systemctl."""
import os
import shutil
import signal
import subprocess
import time

import pytest

from conftest import wait_for

STATE = "3\tfrmVantorWebSrv_dartSvc_State\t"


def test_start_pause_resume_second_instance_and_stop(program_dir):
    pd = program_dir
    pd.configure(ProgVersion="2.5.1", WsStatus="stale")
    pd.start()
    pd.process.send_signal(signal.SIGUSR1)
    wait_for(lambda: "Pause Not Implemented" in pd.events(), what="pause event")
    pd.process.send_signal(signal.SIGUSR2)
    wait_for(lambda: "Resume Not Implemented" in pd.events(), what="resume event")
    for args in ([], ["-install"], ["bogus"]):
        result = pd.run(*args)
        assert (result.returncode, result.stderr) == (1, "The Vantor Web Service is already running\n"), args
    assert pd.stop(signal.SIGINT) == 0

    assert pd.event_lines() == [STATE + "Service Started. Version: 2.5.1", STATE + "Pause Not Implemented",
                                STATE + "Resume Not Implemented", STATE + "Service Stopped"]
    for column in ("SnmpStatus", "WsStatus", "WssStatus"):
        assert pd.setting(column) == "'Not Started'"
    # The lock file stays; a new instance can start once the first has ended.
    assert (pd.path / "VantorWebSrv.lock").exists()
    pd.start()
    assert pd.stop() == 0


def test_unreadable_database_leaves_service_idle_and_database_intact(program_dir):
    program_dir.configure(DebugMode="--null")
    before = (program_dir.path / "VantorWeb.mdb").read_bytes()
    program_dir.start(started="Invalid use of Null")
    time.sleep(0.5)
    assert program_dir.process.poll() is None  # idle, not crashed and not restarting
    assert program_dir.event_lines() == [
        "1\tfrmVantorWebSrv_dartSvc_State\tInvalid use of Null (General_Settings.DebugMode)"]
    assert (program_dir.path / "VantorWeb.mdb").read_bytes() == before
    assert program_dir.stop() == 0


def test_install_verify_and_uninstall(program_dir, tmp_path):
    units, log, fake = tmp_path / "units", tmp_path / "systemctl.log", tmp_path / "systemctl"
    units.mkdir()
    fake.write_text(f'#!/bin/sh\necho "$@" >> "{log}"\n')
    fake.chmod(0o755)
    env = dict(os.environ, VANTOR_UNIT_DIR=str(units), VANTOR_SYSTEMCTL=str(fake))
    result = program_dir.run("-install", env=env)
    assert (result.returncode, result.stdout, result.stderr) == (
        0, "Vantor Web Service Installed Successfully\n", "")
    unit = units / "vantor-web.service"
    text = unit.read_text()
    assert f'ExecStart="{program_dir.exe}"' in text
    assert f"WorkingDirectory={program_dir.path}\n" in text and "Type=notify\n" in text
    assert log.read_text().splitlines() == ["daemon-reload", "enable vantor-web.service"]
    assert program_dir.event_lines() == ["3\tfrmVantorWebSrv_Form_Load\tService Installed"]

    removed = program_dir.run("-uninstall", env=env)
    assert (removed.returncode, removed.stdout) == (0, "Vantor Web Service Uninstalled Successfully\n")
    assert not unit.exists()
    assert log.read_text().splitlines()[-2:] == ["disable vantor-web.service", "daemon-reload"]

    # Last, as the set-up does not install it: systemd-analyze verify on the unit as written.
    if not shutil.which("systemd-analyze"):
        pytest.skip("systemd-analyze not installed")
    unit.write_text(text)
    verify = subprocess.run(["systemd-analyze", "verify", str(unit)],
                            capture_output=True, text=True, timeout=60)
    # Complaints about the machine itself (no running systemd in a container) are not ours;
    # anything that names our unit file is.
    assert [line for line in (verify.stdout + verify.stderr).splitlines()
            if "vantor-web.service" in line] == []


@pytest.mark.parametrize("args,database,stderr", [
    (["-uninstallx"], True, "Invalid command option\n"),
    (["-uninstall", "now"], True, "Invalid command option\n"),
    (["--help"], True, "Invalid command option\n"),
    (["-install"], False, "VantorWeb.mdb does not exits\n"),
])
def test_refused_options(program_dir, args, database, stderr):
    if not database:
        (program_dir.path / "VantorWeb.mdb").unlink()
    result = program_dir.run(*args)
    assert (result.returncode, result.stderr) == (1, stderr)
