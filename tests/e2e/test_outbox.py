"""The outbox: sendal-enqueue as mail programs call it (neomutt, git send-email, many at once,
a full disk, a full spool), the spool then sent with every recipient; the command line that
drops no word; ten runs at once and one log that keeps every run's lines."""
import os
import re
import shutil
import socket
import subprocess
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from conftest import BINARY, run_sendal, write_spool

ENQUEUE = str(Path(BINARY).with_name("sendal-enqueue"))


def enqueue(args, text, cwd, env=None):
    """sendal-enqueue queueing into `cwd`/spool (SENDAL_SPOOL: no configuration here)."""
    return subprocess.run([ENQUEUE, *args], input=text, cwd=cwd, capture_output=True, timeout=60,
                          env={**os.environ, "SENDAL_SPOOL": str(Path(cwd) / "spool"), **(env or {})})


def spool_files(folder):
    return sorted(p.name for p in Path(folder).iterdir()) if Path(folder).exists() else []


@pytest.mark.skipif(shutil.which("neomutt") is None, reason="needs neomutt")
def test_neomutt_queues_and_sendal_delivers_with_the_bcc_hidden(workdir, recorder):
    (workdir / "muttrc").write_text(
        f'set sendmail="{ENQUEUE}"\nset from="alice@example.org"\nset use_from=yes\n'
        'set copy=no\nset record=""\nset dsn_notify="failure,delay"\n')  # neomutt passes -N
    (workdir / "body").write_text("Dear Bob,\nsee you.\n")
    with open(workdir / "body") as body:
        subprocess.run(["neomutt", "-n", "-F", str(workdir / "muttrc"), "-s", "subject one",
                        "-b", "carol@x.test", "bob@x.test"], stdin=body, cwd=workdir, timeout=60,
                       env={**os.environ, "HOME": str(workdir), "SENDAL_SPOOL": str(workdir / "spool")},
                       check=True, capture_output=True)
    [name] = spool_files(workdir / "spool")
    written = (workdir / "spool" / name).read_bytes()
    run_sendal(workdir, [f"127.0.0.1 {recorder.port}"])
    assert spool_files(workdir / "spool") == []
    [(sender, rcpts, data)] = recorder.messages
    assert sender == "alice@example.org" and sorted(rcpts) == ["bob@x.test", "carol@x.test"]
    assert b"carol" not in data.lower() and b"bcc" not in data.lower()
    # Byte for byte what neomutt wrote, less the Bcc line the queue added.
    assert data == written.split(b"\n", 1)[1].replace(b"\n", b"\r\n")


@pytest.mark.skipif(shutil.which("git") is None or
                    subprocess.run(["git", "send-email", "-h"], capture_output=True).returncode == 127,
                    reason="needs git send-email")
def test_git_send_email_queues_a_patch(workdir, recorder):
    repo = workdir / "repo"
    env = {**os.environ, "GIT_AUTHOR_NAME": "Alice", "GIT_AUTHOR_EMAIL": "alice@example.org",
           "GIT_COMMITTER_NAME": "Alice", "GIT_COMMITTER_EMAIL": "alice@example.org", "HOME": str(workdir)}
    git = lambda *a: subprocess.run(["git", *a], cwd=repo, env=env, check=True, capture_output=True)  # noqa: E731
    repo.mkdir()
    git("init", "-q")
    (repo / "f").write_text("hi\n")
    git("add", "f")
    git("commit", "-qm", "first change")
    git("format-patch", "-1", "-o", str(workdir / "patches"))
    patch = next((workdir / "patches").iterdir())
    git("send-email", f"--sendmail-cmd={ENQUEUE} -d {workdir / 'spool'}", "--to=bob@x.test",
        "--bcc=carol@x.test", "--confirm=never", "--no-validate", "--suppress-cc=all",
        "--from=alice@example.org", str(patch))
    [name] = spool_files(workdir / "spool")
    written = (workdir / "spool" / name).read_bytes()
    run_sendal(workdir, [f"127.0.0.1 {recorder.port}"])
    [(sender, rcpts, data)] = recorder.messages
    assert sorted(rcpts) == ["bob@x.test", "carol@x.test"] and b"carol" not in data
    assert data == written.split(b"\n", 1)[1].replace(b"\n", b"\r\n")
    assert b"Subject: [PATCH] first change" in data


def test_twenty_enqueues_while_a_run_sends(workdir, relay):
    r = relay()
    texts = [f"To: bob@x.test\nSubject: {i}\n\n" + f"line of message {i}\n" * 20000 for i in range(20)]
    runner = threading.Thread(target=lambda: run_sendal(workdir, ["127.0.0.1", str(r.port)]))
    with ThreadPoolExecutor(max_workers=20) as pool:
        runner.start()
        results = list(pool.map(lambda t: enqueue([], t.encode(), workdir), texts))
    runner.join()
    assert all(res.returncode == 0 for res in results), [res.stderr for res in results]
    run_sendal(workdir, ["127.0.0.1", str(relay().port)])  # whatever the first run did not see
    left = spool_files(workdir / "spool")
    sent = [m[2] for m in r.messages]
    assert left == []
    assert len(sent) <= 20  # none twice, none half-written
    for data in sent:  # as written, with the Date: and Message-ID: the outbox adds first
        added, text = data.split(b"\r\n", 2)[:2], data.split(b"\r\n", 2)[2]
        assert added[0].startswith(b"Date: ") and added[1].startswith(b"Message-ID: <")
        assert text in [t.replace("\n", "\r\n").encode() for t in texts]


def test_enqueue_refuses_what_it_cannot_queue_whole(workdir):
    # No recipient: refused, nothing left.
    res = enqueue([], b"Subject: nobody\n\ntext\n", workdir)
    assert res.returncode == 65 and spool_files(workdir / "spool") == []
    # A spool with every name taken.
    folder = workdir / "full"
    folder.mkdir()
    for i in range(1, 10000):
        (folder / f"m{i:04d}.out").touch()
    res = enqueue(["-d", str(folder), "bob@x.test"], b"Subject: x\n\ntext\n", workdir)
    assert res.returncode == 73 and b"no free name left" in res.stderr
    assert len(list(folder.iterdir())) == 9999


def test_full_disk_leaves_no_spool_file(workdir):
    if subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode != 0:
        pytest.skip("needs a mount namespace (unshare --mount, as root)")
    folder = workdir / "small"
    folder.mkdir()
    script = (f"mount -t tmpfs -o size=64k none {folder} && "
              f"head -c 200000 /dev/zero | tr '\\0' x | sed 's/^/To: bob@x.test\\n\\n/' | "
              f"{ENQUEUE} -d {folder}/spool; echo rc=$?; ls -a {folder}/spool")
    out = subprocess.run(["unshare", "--mount", "sh", "-c", script], capture_output=True, text=True,
                         timeout=60)
    code = int(re.search(r"rc=(\d+)", out.stdout).group(1))
    assert code == 75, out
    assert out.stdout.split("rc=")[1].split()[1:] == [".", ".."]  # not even the hidden file


@pytest.mark.parametrize("form", ["{port} -starttls -auth", "{port},-starttls,-auth",
                                  "{port},-starttls mask.out -auth"])
def test_every_option_word_is_taken(workdir, relay, form):
    r = relay(replies={"EHLO": b"250-relay\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n",
                       "STAR": b"454 not now\r\n"})
    netrc = workdir / "netrc"
    netrc.write_text("default login u password p\n")
    netrc.chmod(0o600)
    write_spool(workdir / "spool", "m0001.out", "To: b\n\nx\n")
    write_spool(workdir, "mask.out", "To: b\n\nx\n")
    run_sendal(workdir, ["127.0.0.1 " + form.format(port=r.port)], env={"SENDAL_NETRC": str(netrc)})
    assert r.received.startswith(b"EHLO me\r\nSTARTTLS\r\n")  # never plain text after -starttls


def test_tls_option_after_a_comma(workdir):
    listener = socket.create_server(("127.0.0.1", 0))
    got = bytearray()

    def serve():  # takes what the client says first, then hangs up
        conn, _ = listener.accept()
        conn.settimeout(60)
        got.extend(conn.recv(4096))
        conn.close()
    server = threading.Thread(target=serve, daemon=True)
    server.start()
    write_spool(workdir / "spool", "m0001.out", "To: b\n\nx\n")
    netrc = workdir / "netrc"
    netrc.write_text("default login u password p\n")
    netrc.chmod(0o600)
    run_sendal(workdir, [f"127.0.0.1 {listener.getsockname()[1]},-tls,-auth", "-noverify"],
               env={"SENDAL_NETRC": str(netrc)}, timeout=120)
    server.join(60)
    listener.close()
    assert got[:1] == b"\x16"  # a TLS hello: the option after the second comma was taken


@pytest.mark.parametrize("args,message", [
    ("{port} 25", b"Unexpected word 25!"),
    ("{port} -startls", b"Unknown option -startls!"),
    ("{port},-tls -starttls", b"Use -tls or -starttls, not both!"),
])
def test_a_word_that_is_no_option_stops_the_run_before_connecting(workdir, relay, args, message):
    r = relay()
    write_spool(workdir / "spool", "m0001.out", "To: b\n\nx\n")
    result = run_sendal(workdir, ["127.0.0.1 " + args.format(port=r.port) + " -exitcode"])
    assert result.log_messages()[-1:] == [message] and result.returncode == 78
    assert r.received == b"" and spool_files(workdir / "spool") == ["m0001.out"]


def test_ten_runs_at_once_keep_every_line_of_the_log(tmp_path):
    from conftest import ScriptedRelay
    for round_ in range(20):
        work = tmp_path / f"round{round_}"
        for i in range(1, 4):
            write_spool(work / "spool", f"m000{i}.out", f"To: b\n\nmessage {i}\n")
        # A slow greeting, so that the nine others meet the one that sends.
        relay = ScriptedRelay(greeting=("trickle", b"220 a slow relay\r\n", 0.1))
        with ThreadPoolExecutor(max_workers=10) as pool:
            list(pool.map(lambda _: run_sendal(work, ["127.0.0.1", str(relay.port)],
                                                         console=False), range(10)))
        relay.close()
        log = (work / "VORK.LOG").read_bytes()
        lines = log.split(b"\r\n")[:-1]
        assert all(re.match(rb"^(----------  |[ !?$*:+\-%~=] \d\d:\d\d:\d\d  SENDAL   : )", l)
                   for l in lines), log
        assert log.count(b"Spool in use by another run!") == 9, (round_, log)
        assert log.count(b"QUIT") == 1 and log.count(b"Sent: m000") == 3, round_
        assert log.count(b"----------  ") == 10 and spool_files(work / "spool") == []


def test_enqueue_without_a_spool_refuses_and_mailq_lists(workdir):
    """Queued where nothing sends it, a message would be lost: the mail program keeps its copy."""
    env = {k: v for k, v in os.environ.items() if k != "SENDAL_SPOOL"}
    refused = subprocess.run([ENQUEUE, "bob@x.test"], input=b"Subject: x\n\ntext\n", cwd=workdir,
                             capture_output=True, timeout=60, env=env)
    assert refused.returncode == 78 and b"no spool to queue into: give -d FOLDER, set SENDAL_SPOOL" in refused.stderr
    assert not (workdir / "spool").exists()
    assert enqueue(["bob@x.test"], b"From: a@x.test\nSubject: x\n\ntext\n", workdir).returncode == 0
    mailq = workdir / "mailq"
    mailq.symlink_to(ENQUEUE)
    listed = subprocess.run([str(mailq)], cwd=workdir, capture_output=True, timeout=60,
                            env={**env, "SENDAL_SPOOL": str(workdir / "spool")})
    assert listed.returncode == 0 and b"1 waiting in " in listed.stdout and b"to bob@x.test" in listed.stdout
