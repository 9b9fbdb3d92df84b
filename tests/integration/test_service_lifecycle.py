"""The service started, signalled and stopped, and -install/-uninstall against a stand-in systemctl."""
import os
import pwd
import signal

from conftest import C2, agent, listening_socket, run_clients, wait_for

STATE = "3\tfrmVantorWebSrv_dartSvc_State\t"


def test_start_pause_resume_second_instance_stop_and_a_failed_start(program_dir):
    pd = program_dir
    pd.configure(ProgVersion="2.5.1", WsStatus="stale")
    pd.start()
    pd.process.send_signal(signal.SIGUSR1)
    wait_for(lambda: "Pause Not Implemented" in pd.events(), what="pause event")
    pd.process.send_signal(signal.SIGUSR2)
    wait_for(lambda: "Resume Not Implemented" in pd.events(), what="resume event")
    # SIGHUP re-reads the customer table: a customer added meanwhile is admitted.
    pd.console("customer", "add", C2, "Late Company")
    pd.process.send_signal(signal.SIGHUP)
    wait_for(lambda: "Re-read On SIGHUP" in pd.events(), what="reload event")
    run_clients(lambda: agent(pd, C2))
    for args in ([], ["-install"], ["bogus"]):
        result = pd.run(*args)
        assert (result.returncode, result.stderr) == (1, "The Vantor Web Service is already running\n"), args
    assert pd.stop(signal.SIGINT) == 0

    lines = pd.event_lines()
    assert lines[:3] == [STATE + "Service Started. Version: 2.5.1", STATE + "Pause Not Implemented",
                         STATE + "Resume Not Implemented"]
    assert lines[3] == "3\tfrmVantorWebSrv_SignalHangup\tCustomer Table Re-read On SIGHUP"
    assert lines[-1] == STATE + "Service Stopped"
    for column in ("SnmpStatus", "WsStatus", "WssStatus"):
        assert pd.setting(column) == "'Not Started'"
    # The lock file stays; a new instance can start once the first has ended.
    assert (pd.path / "VantorWebSrv.lock").exists()
    pd.start()
    assert pd.stop() == 0

    # The only enabled listener finds its port taken: what failed and why on stderr, then the end
    # instead of a start; the address stays for the next start.
    pd.configure(SnmpEnabled=0, WssEnabled=0, WsIpAddr="127.0.0.1")
    starts = pd.events().count("Service Started")
    with listening_socket() as taken:
        where = f"127.0.0.1:{taken.getsockname()[1]}"
        pd.configure(WsPort=taken.getsockname()[1])
        result = pd.run()
    assert result.returncode == 1
    ended = f"Service Ended: No Listener Could Start (WS {where}: Address already in use)"
    assert result.stderr.splitlines() == [
        f"<3>modVantorWebSrv_ServiceOpen: WS listener {where} failed: Address already in use",
        f"<3>frmVantorWebSrv_dartSvc_State: {ended}"]
    assert pd.event_lines()[-1] == "1\tfrmVantorWebSrv_dartSvc_State\t" + ended
    assert pd.events().count("Service Started") == starts
    assert pd.setting("WsIpAddr") == "'127.0.0.1'"


def test_install_and_uninstall(program_dir, tmp_path):
    units, log, fake = tmp_path / "units", tmp_path / "systemctl.log", tmp_path / "systemctl"
    units.mkdir()
    fake.write_text(f'#!/bin/sh\necho "$@" >> "{log}"\n')
    fake.chmod(0o755)
    env = dict(os.environ, VANTOR_UNIT_DIR=str(units), VANTOR_SYSTEMCTL=str(fake))
    if os.geteuid() == 0:
        # A root-owned program directory gets no unit (the installer's unit test); an account of
        # its own, as an operator would make.
        daemon = pwd.getpwnam("daemon")
        os.chown(program_dir.path, daemon.pw_uid, daemon.pw_gid)
    result = program_dir.run("-install", env=env)
    assert (result.returncode, result.stdout, result.stderr) == (
        0, "Vantor Web Service Installed Successfully\n", "")
    unit = units / "vantor-web.service"
    text = unit.read_text()
    assert f'ExecStart="{program_dir.exe}" --dir "{program_dir.path}"\n' in text
    assert f"WorkingDirectory={program_dir.path}\n" in text and "Type=notify\n" in text
    assert log.read_text().splitlines() == ["daemon-reload", "enable vantor-web.service"]
    assert program_dir.event_lines()[-1] == "3\tfrmVantorWebSrv_Form_Load\tService Installed"

    removed = program_dir.run("-uninstall", env=env)
    assert (removed.returncode, removed.stdout) == (0, "Vantor Web Service Uninstalled Successfully\n")
    assert not unit.exists()
    assert log.read_text().splitlines()[-2:] == ["disable vantor-web.service", "daemon-reload"]
