"""Nothing outside the mail is touched, with the sandbox on as it is by default: the spool's
folder found whatever the letter case it was typed in, a listing that is denied said so,
records only in a folder of the user's own (a link planted in its place, or in the held
folder's, is refused and nothing goes through it), records that belong to their file alone,
DSN requests checked before they go on the wire, a notice waited for, text handed on clean,
and input that must not grow or nest without end."""
import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from conftest import BINARY, record_path, run_sendal, state_folder, write_spool

ENQUEUE = str(Path(BINARY).with_name("sendal-enqueue"))
LATER = b"450 4.2.0 Greylisted\r\n"


def files(folder):
    return sorted(p.name for p in Path(folder).iterdir() if p.is_file()) if Path(folder).exists() else []


@pytest.mark.parametrize("folder, mask", [
    ("Out", "Out\\*.MSG"),     # the mask's own case
    ("Out", "out\\*.msg"),     # another case than the folder's
    ("Out", "OUT\\"),          # every file of a folder
    ("SPOOL", None),           # the default spool, named in capitals
])
def test_masks_of_any_letter_case_send_under_the_sandbox(workdir, recorder, folder, mask):
    name = "m1.MSG" if mask and "MSG" in mask.upper() else "m0001.out"
    write_spool(workdir / folder, name, "From: a@x\nTo: b@y\n\nhello\n")
    args = [f"127.0.0.1 {recorder.port},-helo=MyHost"] + ([mask] if mask else [])
    result = run_sendal(workdir, args + ["-exitcode"])
    assert result.returncode == 0, result.log_messages()
    assert files(workdir / folder) == [] and len(recorder.messages) == 1


def test_a_listing_that_is_denied_is_an_error(tmp_path, recorder):
    if shutil.which("setpriv") is None or os.geteuid() != 0:
        pytest.skip("needs setpriv and root, to run as a user the folder refuses")
    work = tmp_path / "work"
    write_spool(work / "spool", "m0001.out", "From: a@x\nTo: b@y\n\nhello\n")
    for path in (tmp_path, work, work / "spool", work / "spool" / "m0001.out"):
        os.chown(path, 65534, 65534)
    (work / "spool").chmod(0o300)  # it may enter and write, but not list
    nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", BINARY]
    done = subprocess.run(nobody + [f"127.0.0.1 {recorder.port}", "-exitcode"], cwd=work,
                          env={**os.environ, "HOME": str(tmp_path), "XDG_STATE_HOME": str(tmp_path / "state")},
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    log = (work / "VORK.LOG").read_bytes()
    assert b"Can't list " in log and b"Permission denied!" in log, log
    assert done.returncode == 71 and recorder.messages == []


def test_a_link_in_place_of_the_record_folder_is_refused(workdir, relay):
    precious = workdir / "important"
    precious.mkdir()
    (precious / "thesis.txt").write_text("years of work\n")
    write_spool(workdir / "spool", "m0001.out", "From: a@x\nTo: b@y\n\nhello\n")
    planted = state_folder(workdir / "spool")
    planted.parent.mkdir(parents=True, exist_ok=True)
    planted.symlink_to(precious)
    r = relay(replies={"RCPT": LATER})
    result = run_sendal(workdir, [f"127.0.0.1 {r.port}", "-exitcode"])
    assert result.returncode == 78
    assert any(m.startswith(b"Folder refused: ") and m.endswith(b"(a symbolic link)!") for m in result.log_messages())
    assert files(precious) == ["thesis.txt"] and files(workdir / "spool") == ["m0001.out"]
    assert b"MAIL FROM" not in r.received


def test_a_link_in_place_of_the_held_folder_is_refused(workdir, relay):
    precious = workdir / "important"
    precious.mkdir()
    (precious / "thesis.txt").write_text("years of work\n")
    write_spool(workdir / "spool", "m0001.out", "From: a@x\nTo: b@y\n\nhello\n")
    (workdir / "spool" / "held").symlink_to(precious)
    r = relay(replies={"RCPT": b"550 5.1.1 no such user\r\n"})
    result = run_sendal(workdir, [f"127.0.0.1 {r.port}", "-hold -exitcode"])
    assert result.returncode == 78
    assert files(precious) == ["thesis.txt"] and files(workdir / "spool") == ["m0001.out"]
    removed = run_sendal(workdir, ["--remove", "thesis.txt"], console=False)
    assert removed.returncode == 66 and files(precious) == ["thesis.txt"]


def test_a_new_message_under_an_old_name_starts_afresh(workdir, relay):
    write_spool(workdir / "spool", "m0001.out", "From: a@x\nTo: b@y\n\nold\n")
    r = relay(replies={"RCPT": LATER})
    run_sendal(workdir, [f"127.0.0.1 {r.port}"])
    assert record_path(workdir / "spool" / "m0001.out").exists()
    (workdir / "spool" / "m0001.out").unlink()
    write_spool(workdir / "spool", "m0001.out", "From: a@x\nTo: b@y\n\nnew\n")
    shown = run_sendal(workdir, ["--queue"], console=False).stdout.decode()
    assert "not tried yet" in shown and "tries 1" not in shown


def test_a_planted_dsn_request_never_reaches_the_wire(workdir, relay):
    write_spool(workdir / "spool", "m0001.out", "From: a@x\nTo: b@y\n\nhello\n")
    r = relay(replies={"EHLO": b"250-relay\r\n250 DSN\r\n"})
    run_sendal(workdir, ["--queue"], console=False)  # makes the record folder
    record = record_path(workdir / "spool" / "m0001.out")
    record.parent.mkdir(parents=True, exist_ok=True)
    name = record.name[:-len(".state")]
    record.write_text(f"sendal-state 2\nfile={name}\nfirst=1\ntries=0\nnotify=NEVER\rRCPT TO:<planted@evil>\n"
                      "ret=FULL\nenvid=ok\nend\n")
    result = run_sendal(workdir, [f"127.0.0.1 {r.port},-ehlo"])
    assert b"planted" not in r.received and b"NOTIFY" not in r.received
    assert b"MAIL FROM:<a@x> RET=FULL ENVID=ok" in r.received
    assert b"Bad DSN request dropped for m0001.out!" in result.log_messages()


def test_enqueued_dsn_requests_are_never_lost_to_a_run(workdir, relay):
    r = relay(replies={"EHLO": b"250-relay\r\n250 DSN\r\n"})
    spool = workdir / "spool"
    spool.mkdir()
    stop = time.monotonic() + 60

    def runs():
        while time.monotonic() < stop and not (workdir / "done").exists():
            subprocess.run([BINARY, f"127.0.0.1 {r.port},-ehlo"], cwd=workdir, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    import threading
    sender = threading.Thread(target=runs)
    sender.start()
    for i in range(40):
        subprocess.run([ENQUEUE, "-N", "failure", "-d", str(spool), "-i", f"r{i}@y"],
                       input=f"From: a@x\nTo: r{i}@y\n\nmessage {i}\n".encode(), check=True, timeout=60)
    (workdir / "done").touch()
    sender.join()
    run_sendal(workdir, [f"127.0.0.1 {r.port},-ehlo"])
    rcpts = [line for line in r.commands() if line.startswith(b"RCPT")]
    assert len(rcpts) == 40 and files(spool) == []
    assert all(b" NOTIFY=FAILURE " in line for line in rcpts), rcpts


def test_the_notice_has_run_when_the_run_ends(workdir, relay):
    write_spool(workdir / "spool", "m0001.out", "From: a@x\nTo: b@y\nSubject: \x1b[31mred\x9b1m\n\nhello\n")
    marker = workdir / "noticed"
    env = {"SENDAL_NOTIFY_COMMAND": f'sleep 2; printf "%s|%s" "$SENDAL_REASON" "$SENDAL_SUBJECT" > {marker}'}
    r = relay(replies={"RCPT": ("lines", b"550-5.1.1 no such user\r\n550 5.1.1 \x1b]0;title\x07gone\r\n")})
    result = run_sendal(workdir, [f"127.0.0.1 {r.port}", "-hold -exitcode"], env=env)
    assert result.returncode == 69
    assert marker.exists(), "the run ended before its notice"
    reason, subject = marker.read_bytes().split(b"|")
    assert reason == b"550 5.1.1  ]0;title gone" and subject == b" [31mred 1m"


def test_certificate_files_must_be_small_regular_files(workdir, relay):
    write_spool(workdir / "spool", "m0001.out", "From: a@x\nTo: b@y\n\nhello\n")
    r = relay()
    os.mkfifo(workdir / "fifo")
    for path, why in (("/dev/zero", b"not a regular file"), (str(workdir / "fifo"), b"not a regular file")):
        result = run_sendal(workdir, [f"127.0.0.1 {r.port}", f"-starttls -cert={path} -key={path} -exitcode"],
                            timeout=60)
        assert result.returncode == 78 and any(why in m for m in result.log_messages()), result.log_messages()
