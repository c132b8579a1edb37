"""-exitcode: the exit code tells cron and systemd how the run ended; without it every run
ends with 0, as the front end that starts sendal expects."""
import fcntl
import os

from conftest import CAN_UNSHARE_NETWORK, ScriptedRelay, free_port, run_sendal, write_spool


def one_file(work):
    write_spool(work / "spool", "m0001.out", "To: b\n\nx\n")


def case_all_sent(work):
    relay = ScriptedRelay()
    one_file(work)
    return f"127.0.0.1 {relay.port}", 0


def case_nothing_to_send(work):
    relay = ScriptedRelay()
    (work / "spool").mkdir()
    return f"127.0.0.1 {relay.port}", 0


def case_4xx(work):
    relay = ScriptedRelay(replies={"MAIL": b"451 later\r\n"})
    one_file(work)
    return f"127.0.0.1 {relay.port}", 75


def case_5xx(work):
    relay = ScriptedRelay(replies={"RCPT": b"550 no such user\r\n"})
    one_file(work)
    return f"127.0.0.1 {relay.port}", 69


def case_hang_up(work):
    relay = ScriptedRelay(replies={"DATA": "close"})
    one_file(work)
    return f"127.0.0.1 {relay.port}", 75


def case_nothing_listening(work):
    one_file(work)
    return f"127.0.0.1 {free_port()}", 75


def case_unknown_option(work):
    one_file(work)
    return "127.0.0.1 25,-nosuchoption", 78


def test_exit_codes_on_request_and_zero_without(tmp_path):
    cases = [case_all_sent, case_nothing_to_send, case_4xx, case_5xx, case_hang_up,
             case_nothing_listening, case_unknown_option]
    for case in cases:
        for wanted in (True, False):
            work = tmp_path / f"{case.__name__}-{wanted}"
            work.mkdir()
            fields, code = case(work)
            if "," not in fields:
                fields += ","
            args = fields + (" -exitcode" if wanted else "")
            result = run_sendal(work, [args], console=False)
            assert result.returncode == (code if wanted else 0), (case.__name__, wanted, result.log)


def test_spool_in_use_and_unknown_host(workdir):
    one_file(workdir)
    folder = os.open(workdir / "spool", os.O_RDONLY | os.O_DIRECTORY)
    fcntl.flock(folder, fcntl.LOCK_EX)
    try:
        result = run_sendal(workdir, [f"127.0.0.1 {free_port()},-exitcode"], console=False)
    finally:
        os.close(folder)
    assert result.returncode == 75
    assert result.log_messages() == [b"Spool in use by another run!"]
    if CAN_UNSHARE_NETWORK:
        result = run_sendal(workdir, ["no-such-relay.invalid 25,-exitcode"], netless=True)
        assert result.returncode == 68
        [message] = result.log_messages()
        assert message.startswith(b"GetHostByName failed: no-such-relay.invalid: ")
