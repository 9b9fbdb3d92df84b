"""The service started in the foreground, signalled and stopped, and the files it leaves."""
import signal
import time

from conftest import wait_for


def test_start_and_stop_write_events_and_reset_statuses(program_dir):
    program_dir.console("settings", "set", "ProgVersion", "2.5.1")
    program_dir.console("settings", "set", "WsStatus", "stale")
    (program_dir.path / "Debug" / "Ws7.txt").write_text("old trace")
    (program_dir.path / "KeepAlive" / "Ws7.txt").write_text("old trace")

    program_dir.start()
    program_dir.wait_started()
    assert not (program_dir.path / "Debug" / "Ws7.txt").exists()
    assert not (program_dir.path / "KeepAlive" / "Ws7.txt").exists()

    code, _, _ = program_dir.stop()
    assert code == 0
    raw = (program_dir.path / "Debug" / "AppEvent.txt").read_bytes()
    assert raw.endswith(b"\r\n") and b"\n" not in raw.replace(b"\r\n", b"")
    assert program_dir.event_lines() == [
        "3\tfrmVantorWebSrv_dartSvc_State\tService Started. Version: 2.5.1",
        "3\tfrmVantorWebSrv_dartSvc_State\tService Stopped",
    ]
    for column in ("SnmpStatus", "WsStatus", "WssStatus"):
        assert program_dir.setting(column) == "'Not Started'"


def test_pause_resume_and_sigint(program_dir):
    program_dir.start()
    program_dir.wait_started()
    program_dir.process.send_signal(signal.SIGUSR1)
    wait_for(lambda: "Pause Not Implemented" in program_dir.events(), what="pause event")
    program_dir.process.send_signal(signal.SIGUSR2)
    wait_for(lambda: "Resume Not Implemented" in program_dir.events(), what="resume event")
    assert program_dir.process.poll() is None
    code, _, _ = program_dir.stop(signal.SIGINT)
    assert code == 0
    assert program_dir.event_lines()[-1] == "3\tfrmVantorWebSrv_dartSvc_State\tService Stopped"


def test_second_instance_is_refused_whatever_its_options(program_dir):
    program_dir.start()
    program_dir.wait_started()
    for args in ([], ["-install"], ["-uninstall"], ["bogus"]):
        result = program_dir.run(*args)
        assert result.returncode == 1, args
        assert result.stderr == "The Vantor Web Service is already running\n"
    assert program_dir.stop()[0] == 0
    # The lock file stays; a new instance can start once the first has ended.
    assert (program_dir.path / "VantorWebSrv.lock").exists()
    program_dir.start()
    wait_for(lambda: program_dir.events().count("Service Started") == 2, what="second start")
    assert program_dir.process.poll() is None
    assert program_dir.stop()[0] == 0


def test_unreadable_database_leaves_service_idle_and_database_intact(program_dir):
    program_dir.console("settings", "set", "DebugMode", "--null")
    before = (program_dir.path / "VantorWeb.mdb").read_bytes()
    program_dir.start()
    program_dir.wait_started(text="Invalid use of Null")
    time.sleep(0.5)
    assert program_dir.process.poll() is None  # idle, not crashed and not restarting
    assert program_dir.event_lines() == [
        "1\tfrmVantorWebSrv_dartSvc_State\tInvalid use of Null (General_Settings.DebugMode)"]
    assert (program_dir.path / "VantorWeb.mdb").read_bytes() == before
    assert program_dir.stop()[0] == 0

