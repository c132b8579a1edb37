"""At home for a new user: the outbox takes what mail programs and cron pass, refuses argument
text that would rewrite the message, adds Date: and Message-ID:; the secret is asked only for
a spool with mail in it, a stop ends the password command whole, and the log is the user's."""
import os
import re
import stat
import subprocess
import time
from pathlib import Path

from conftest import BINARY, run_sendal, write_spool

ENQUEUE = str(Path(BINARY).with_name("sendal-enqueue"))
CRON_MAIL = b"From: root\nTo: alice@x.test\nSubject: Cron <root@box> backup\n\nall done\n"


def enqueue(args, text, cwd):
    return subprocess.run([ENQUEUE, *args], input=text, cwd=cwd, capture_output=True, timeout=60)


def queued(folder):
    return sorted(p.name for p in Path(folder).iterdir()) if Path(folder).exists() else []


def test_flags_mail_programs_pass(workdir):
    for args in (["-r", "root@box"], ["-rroot@box"], ["-v"], ["-bm"], ["-N", "failure,delay"],
                 ["-Nnever"], ["-R", "hdrs"], ["-V", "env.42"], ["-oi", "-t", "-B8BITMIME"]):
        result = enqueue(["-d", "spool", *args], CRON_MAIL, workdir)
        assert result.returncode == 0, (args, result.stderr)
    assert len(queued(workdir / "spool")) == 9
    for args, hint in ((["-q"], b"run sendal"), (["-q15m"], b"run sendal"), (["-bs"], b"standard input"),
                       (["-N", "sometimes"], b"bad value for -N"), (["-R", "most"], b"bad value for -R")):
        result = enqueue(["-d", "spool", *args], CRON_MAIL, workdir)
        assert result.returncode == 64 and hint in result.stderr, (args, result.stderr)
    assert len(queued(workdir / "spool")) == 9
    shown = enqueue(["--help"], b"", workdir)
    assert shown.returncode == 0 and shown.stdout.startswith(b"usage: sendal-enqueue") and b"-N" in shown.stdout
    version = enqueue(["--version"], b"", workdir)
    assert version.returncode == 0 and version.stdout == b"sendal-enqueue v1.33g\n"


def test_recipient_arguments_never_become_header_text(workdir):
    for position, argument in ((2, "evil@x.test\r\n\r\nInjected body"), (2, "evil@x.test\nX-Injected: yes"),
                               (2, "evil@x.test\rX"), (2, "a@x.test\x01"), (3, "b@x.test\x1b")):
        args = ["--", argument] if position == 2 else ["--", "ok@x.test", argument]
        result = enqueue(args, CRON_MAIL, workdir)
        assert result.returncode == 64, argument
        assert f"bad recipient argument {position}".encode() in result.stderr
    assert queued(workdir / "spool") == []
    # A tab is a blank, as in any header.
    assert enqueue(["-d", "spool", "--", "Bob\t<bob@x.test>"], CRON_MAIL, workdir).returncode == 0


def test_cron_mail_arrives_with_date_and_message_id(workdir, recorder):
    assert enqueue(["-d", "spool", "-oi", "-FCronDaemon", "-B8BITMIME", "alice@x.test"],
                   CRON_MAIL, workdir).returncode == 0
    with_date = b"From: root\nTo: alice@x.test\nDate: Mon, 7 Dec 2026 10:00:00 +0100\nMessage-ID: <a@b>\n\nx\n"
    assert enqueue(["-d", "spool"], with_date, workdir).returncode == 0
    run_sendal(workdir, [f"127.0.0.1 {recorder.port}"])
    assert queued(workdir / "spool") == []
    [(_, _, cron), (_, _, kept)] = recorder.messages
    header = cron.split(b"\r\n\r\n", 1)[0].split(b"\r\n")
    assert [line.split(b":")[0] for line in header] == [b"Date", b"Message-ID", b"From", b"To", b"Subject"]
    assert re.fullmatch(rb"Message-ID: <[^<>@ ]+@[^<>@ ]+>", header[1]), header[1]
    assert time.strftime("%Y").encode() in header[0]
    assert kept == with_date.replace(b"\n", b"\r\n")  # nothing added to a header that has both


def test_empty_spool_asks_no_secret(workdir, relay):
    r = relay(replies={"EHLO": b"250-relay\r\n250 AUTH PLAIN\r\n"})
    (workdir / "spool").mkdir()
    netrc = workdir / "netrc"
    netrc.write_text("machine 127.0.0.1 login alice\n")
    netrc.chmod(0o600)
    marker = workdir / "asked"
    result = run_sendal(workdir, [f"127.0.0.1 {r.port},-auth -insecureauth -exitcode"],
                        env={"SENDAL_NETRC": str(netrc), "SENDAL_PASSWORD_COMMAND": f"touch {marker}; echo pw"})
    assert result.returncode == 0 and b"Nothing to send!" in result.log_messages()
    assert not marker.exists()


def test_stop_while_the_password_command_runs_ends_it_whole(workdir, relay):
    r = relay(replies={"EHLO": b"250-relay\r\n250 AUTH PLAIN\r\n"})
    write_spool(workdir / "spool", "m0001.out", "To: b\n\nx\n")
    netrc = workdir / "netrc"
    netrc.write_text("machine 127.0.0.1 login alice\n")
    netrc.chmod(0o600)
    started = workdir / "started"
    group = {}

    def stop_once_running(proc):
        if not started.exists():
            return False
        group["pgid"] = int(started.read_text())
        os.kill(proc.pid, 15)
        return True
    command = f"echo $$ > {started}.tmp; mv {started}.tmp {started}; sh -c 'sleep 300'; sleep 300"
    result = run_sendal(workdir, [f"127.0.0.1 {r.port},-auth -insecureauth -exitcode"],
                        env={"SENDAL_NETRC": str(netrc), "SENDAL_PASSWORD_COMMAND": command},
                        while_running=stop_once_running, timeout=60)
    assert result.log_messages()[-2:] == [b"Stopped by signal 15!", b"Closed!"]
    assert result.returncode == 75 and r.received == b""
    # Nothing of the command's process group is left (a killed one may take a moment to go).
    for _ in range(100):
        left = subprocess.run(["pgrep", "-g", str(group["pgid"])], capture_output=True).stdout
        if not left:
            break
        time.sleep(0.1)
    assert left == b""


def test_new_log_is_the_users_alone(workdir):
    (workdir / "REdez.No").write_text("")
    run_sendal(workdir, ["relay"])
    assert stat.S_IMODE((workdir / "VORK.LOG").stat().st_mode) == 0o600


def test_fifo_or_folder_log_is_warned_of_and_nothing_hangs(workdir):
    (workdir / "REdez.No").write_text("")
    os.mkfifo(workdir / "VORK.LOG")  # run by hand: the harness would wait reading it
    fifo = subprocess.run([BINARY, "relay"], cwd=workdir, capture_output=True, timeout=30,
                          stdin=subprocess.DEVNULL, start_new_session=True)
    assert fifo.stdout.count(b"VORK.LOG is not a regular file: no log is kept!") == 1
    os.unlink(workdir / "VORK.LOG")
    (workdir / "VORK.LOG").mkdir()
    folder = subprocess.run([BINARY, "relay"], cwd=workdir, capture_output=True, timeout=30,
                            stdin=subprocess.DEVNULL, start_new_session=True)
    assert folder.stdout.count(b"VORK.LOG is not a regular file: no log is kept!") == 1
