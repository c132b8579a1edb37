"""The run as a whole: the log's bytes, the marker file, a locked log, the exit code and the
idle scheduling class."""
import fcntl
import os
import re
import time

import subprocess

from conftest import BINARY, RUN_LIMIT, run_sendal, write_spool

HEADER = re.compile(rb"^---------- {2}(.{13}|\d\d\.\d\d\.\d{4}), VORK v1\.33g.*\r\n")
LINE = re.compile(rb"^(  |! |\? |: )\d\d:\d\d:\d\d  SENDAL   : ")


def test_marker_file_stops_before_connecting(workdir):
    (workdir / "REdez.No").write_text("")
    result = run_sendal(workdir, ["127.0.0.1", "1"])
    assert result.returncode == 0
    assert result.stdout == b"SENDAL no actice connection!\r\n"
    assert result.console == b""  # no status line
    lines = result.log.split(b"\r\n")
    assert HEADER.match(lines[0] + b"\r\n")
    assert re.match(rb"^  \d\d:\d\d:\d\d  SENDAL   : SENDAL no actice connection!$", lines[1])
    assert lines[2:] == [b""]


def test_marker_file_in_other_case_counts_but_a_folder_does_not(workdir):
    (workdir / "redez.no").write_text("")
    assert b"no actice" in run_sendal(workdir, ["127.0.0.1", "1"]).stdout
    (workdir / "redez.no").unlink()
    (workdir / "redez.no").mkdir()
    result = run_sendal(workdir, ["127.0.0.1", "1"])
    assert b"no actice" not in result.stdout
    assert b"Connection failure: 127.0.0.1 port 1: Connection refused!" in result.stdout


def test_second_run_appends_its_header(workdir):
    (workdir / "REdez.No").write_text("")
    first = run_sendal(workdir, ["relay"]).log
    second = run_sendal(workdir, ["relay"]).log
    assert second.startswith(first)
    rest = second[len(first):]
    assert HEADER.match(rest)
    assert rest.count(b"\r\n") == 2


def test_header_date_forms(workdir):
    (workdir / "REdez.No").write_text("")
    plain = rb"---------- {2}(Sun|Mon|Tue|Wed|Thu|Fri|Sat) \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d\d, "
    dotted = rb"---------- {2}\d\d\.\d\d\.20\d\d, "
    # Which values give which form is the unit table's; here the variable reaches the log.
    cases = [(None, plain), ("xp", dotted)]
    for value, pattern in cases:
        log = workdir / "VORK.LOG"
        if log.exists():
            log.unlink()
        env = {} if value is None else {"VORKLOG": value}
        result = run_sendal(workdir, ["relay"], env=env)
        assert re.match(pattern, result.log), (value, result.log)
    # The variable's name is matched in any letter case too.
    (workdir / "VORK.LOG").unlink()
    assert re.match(dotted, run_sendal(workdir, ["relay"], env={"vorkLog": "Xp"}).log)


def test_locked_log_is_left_alone_and_console_unchanged(workdir):
    (workdir / "REdez.No").write_text("")
    log = workdir / "VORK.LOG"
    log.write_bytes(b"before\r\n")
    holder = open(log, "rb")
    fcntl.flock(holder, fcntl.LOCK_EX)
    try:
        result = run_sendal(workdir, ["relay"])
    finally:
        holder.close()
    assert result.stdout == b"SENDAL no actice connection!\r\n"
    assert log.read_bytes() == b"before\r\n"


def test_log_written_without_console_or_terminal(workdir):
    result = run_sendal(workdir, ["127.0.0.1", "1"], console=False)
    assert result.returncode == 0
    assert result.log_messages() == [b"Connection failure: 127.0.0.1 port 1: Connection refused!",
                                     b"Closed!"]


def test_runs_at_the_lowest_priority_of_the_normal_class(workdir, relay):
    # A relay that never greets keeps sendal waiting long enough to look at it.
    silent = relay(greeting="silent")
    write_spool(workdir / "spool", "m0001.out", "To: b\n\nx\n")
    seen = {}

    def look(proc):
        try:
            seen["policy"] = os.sched_getscheduler(proc.pid)
            seen["nice"] = os.getpriority(os.PRIO_PROCESS, proc.pid)
        except OSError:
            return False
        if seen["nice"] == 19:
            os.kill(proc.pid, 15)
            return True
        time.sleep(0.05)
        return False
    run_sendal(workdir, ["127.0.0.1", str(silent.port)], while_running=look)
    # It yields to every other program, but the idle class would starve it on a busy machine.
    assert seen["nice"] == 19 and seen["policy"] == os.SCHED_OTHER


def test_closed_standard_output_does_not_end_the_run(workdir):
    (workdir / "REdez.No").write_text("")
    reader, writer = os.pipe()
    os.close(reader)  # nobody reads standard output
    proc = subprocess.run([BINARY, "relay"], cwd=workdir, stdout=writer, stderr=subprocess.DEVNULL,
                          stdin=subprocess.DEVNULL, start_new_session=True, timeout=RUN_LIMIT)
    os.close(writer)
    assert proc.returncode == 0
    assert (workdir / "VORK.LOG").read_bytes().endswith(b"SENDAL no actice connection!\r\n")
