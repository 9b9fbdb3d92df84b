"""-install and -uninstall against a temporary unit folder and a stand-in for systemctl."""
import os
import shutil
import subprocess

import pytest


@pytest.fixture
def systemd_env(tmp_path):
    unit_dir = tmp_path / "units"
    unit_dir.mkdir()
    log = tmp_path / "systemctl.log"
    fake = tmp_path / "systemctl"
    fake.write_text(f'#!/bin/sh\necho "$@" >> "{log}"\n'
                    f'[ -f "{tmp_path}/fail" ] && exit 1\nexit 0\n')
    fake.chmod(0o755)
    env = dict(os.environ, VANTOR_UNIT_DIR=str(unit_dir), VANTOR_SYSTEMCTL=str(fake))
    return env, unit_dir, log, tmp_path


def test_install_writes_and_enables_the_unit_then_uninstall_removes_it(program_dir, systemd_env):
    env, unit_dir, log, _ = systemd_env
    result = program_dir.run("-install", env=env)
    assert (result.returncode, result.stdout, result.stderr) == (
        0, "Vantor Web Service Installed Successfully\n", "")
    unit = unit_dir / "vantor-web.service"
    text = unit.read_text()
    assert f'ExecStart="{program_dir.exe}"' in text
    assert f"WorkingDirectory={program_dir.path}\n" in text
    assert "Type=notify\n" in text
    assert log.read_text().splitlines() == ["daemon-reload", "enable vantor-web.service"]
    assert program_dir.event_lines() == ["3\tfrmVantorWebSrv_Form_Load\tService Installed"]

    quiet = program_dir.run("-install_noMsg", env=env)
    assert (quiet.returncode, quiet.stdout) == (0, "")

    removed = program_dir.run("-uninstall", env=env)
    assert (removed.returncode, removed.stdout) == (0, "Vantor Web Service Uninstalled Successfully\n")
    assert not unit.exists()
    assert log.read_text().splitlines()[-2:] == ["disable vantor-web.service", "daemon-reload"]

    again = program_dir.run("-uninstall", env=env)
    assert (again.returncode, again.stderr) == (1, "Vantor Web Service Failed To Uninstall\n")


@pytest.mark.skipif(shutil.which("systemd-analyze") is None, reason="systemd-analyze not installed")
def test_written_unit_passes_systemd_analyze_verify(program_dir, systemd_env):
    env, unit_dir, _, _ = systemd_env
    assert program_dir.run("-install_noMsg", env=env).returncode == 0
    result = subprocess.run(["systemd-analyze", "verify", str(unit_dir / "vantor-web.service")],
                            capture_output=True, text=True, timeout=60)
    # Complaints about the machine itself (no running systemd in a container) are not ours;
    # anything that names our unit file is.
    problems = [line for line in (result.stdout + result.stderr).splitlines()
                if "vantor-web.service" in line]
    assert problems == []


def test_install_failures(program_dir, systemd_env):
    env, unit_dir, _, tmp = systemd_env
    (tmp / "fail").write_text("")
    failed = program_dir.run("-install", env=env)
    assert (failed.returncode, failed.stderr) == (1, "Vantor Web Service Failed To Install\n")
    assert program_dir.event_lines()[-1].startswith("1\tfrmVantorWebSrv_Form_Load\t")

    (program_dir.path / "VantorWeb.mdb").unlink()
    missing = program_dir.run("-install", env=env)
    assert (missing.returncode, missing.stderr) == (1, "VantorWeb.mdb does not exits\n")


def test_invalid_options(program_dir):
    for args in (["-uninstallx"], ["-uninstall", "now"], ["--help"]):
        result = program_dir.run(*args)
        assert (result.returncode, result.stderr) == (1, "Invalid command option\n"), args
