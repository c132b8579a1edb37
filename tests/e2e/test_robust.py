"""Runs next to other runs and under cron: one run per spool, relays that hang up or stop
reading, addresses that never answer, IPv6, folders we may not change, and stops by signal."""
import os
import signal
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest
from aiosmtpd.controller import Controller

from conftest import BINARY, free_port, run_sendal, write_spool

CLOSED = b"ERROR ON NETWORK (Connection closed)."
TIMEOUT = b"ERROR ON NETWORK (Timeout)."


class Slow:
    """A real relay that takes its time over every message, and may act before answering."""

    def __init__(self, delay=0.0, before_reply=None):
        self.messages = []
        self.delay = delay
        self.before_reply = before_reply

    async def handle_DATA(self, server, session, envelope):
        time.sleep(self.delay)
        if self.before_reply:
            self.before_reply()
        self.messages.append(envelope.original_content)
        return "250 OK"


def start(handler, host="127.0.0.1"):
    handler.port = free_port()
    controller = Controller(handler, hostname=host, port=handler.port, data_size_limit=0)
    controller.start()
    return controller


def test_two_runs_at_once_send_every_message_once(tmp_path):
    handler = Slow(delay=0.5)  # the first run holds the lock long enough for the second to meet it
    controller = start(handler)
    try:
        for attempt in range(20):
            base = tmp_path / str(attempt)
            spool = base / "spool"
            for i in range(1, 4):
                write_spool(spool, f"m000{i}.out", f"To: b@example.org\n\nattempt {attempt} message {i}\n")
            before = len(handler.messages)
            homes = [base / "a", base / "b"]
            for home in homes:
                home.mkdir()
            args = ["127.0.0.1", f"{handler.port},{spool}/*.out"]
            results = [None, None]
            runs = [threading.Thread(target=lambda n=n: results.__setitem__(
                n, run_sendal(homes[n], args, console=False))) for n in (0, 1)]
            for run in runs:
                run.start()
            for run in runs:
                run.join()
            sent = handler.messages[before:]
            bodies = sorted(m.split(b"\r\n\r\n", 1)[1] for m in sent)
            assert bodies == [f"attempt {attempt} message {i}\r\n".encode() for i in (1, 2, 3)], attempt
            assert list(spool.iterdir()) == [], attempt
            warned = [b"\r\n? " in r.log and r.log_messages() == [b"Spool in use by another run!"]
                      for r in results]
            assert sum(warned) == 1, attempt
    finally:
        controller.stop()


def test_relay_that_stops_reading_closes_after_data(workdir, relay):
    r = relay(replies={"DATA": "close"})
    write_spool(workdir / "spool", "m0001.out", "To: b\n\nx\n")
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)], timeout=30)
    assert result.log_messages()[-3:] == [CLOSED, b"Not sent: m0001.out", b"Closed!"]


@pytest.mark.slow
def test_relay_that_stops_reading_after_354_times_out(workdir, relay):
    r = relay(replies={"DATA": "354 then deaf"})
    text = "To: b\n\n" + ("d" * 99 + "\n") * 500000  # 50 MB: far more than the socket buffers
    write_spool(workdir / "spool", "m0001.out", text)
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)], timeout=200)
    assert result.log_messages()[-3:] == [TIMEOUT, b"Not sent: m0001.out", b"Closed!"]
    assert (workdir / "spool" / "m0001.out").read_text() == text
    # The progress row was ended before the run went on.
    assert result.console.endswith(b"\r\n")


@pytest.mark.slow
def test_connect_to_a_full_backlog_gives_up(workdir):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    fillers = []
    for _ in range(4):  # fill the accept queue; later handshakes are dropped
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(listener.getsockname())
        fillers.append(s)
    time.sleep(0.5)
    write_spool(workdir / "spool", "m0001.out", "To: b\n\nx\n")
    result = run_sendal(workdir, ["127.0.0.1", str(listener.getsockname()[1])], timeout=120)
    port = listener.getsockname()[1]
    assert result.log_messages() == [
        f"Connection failure: 127.0.0.1 port {port}: no answer within 20 s!".encode(), b"Closed!"]
    for s in fillers:
        s.close()
    listener.close()


def test_ipv6_literal_and_ipv6_only_name_deliver(workdir):
    handler = Slow()
    controller = start(handler, host="::1")
    try:
        for host in ("::1", "[::1]"):
            write_spool(workdir / "spool", "m0001.out", f"To: b@example.org\n\nto {host}\n")
            result = run_sendal(workdir, [host, str(handler.port)])
            assert result.log_messages()[-2:] == [b"QUIT", b"Closed!"], host
            assert b"HElO:me " in result.console
        assert [m.split(b"\r\n\r\n")[-1] for m in handler.messages] == [b"to ::1\r\n", b"to [::1]\r\n"]
        if subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode != 0:
            pytest.skip("needs a mount namespace of its own (unshare --mount, as root)")
        hosts = workdir / "hosts"
        hosts.write_text("::1 v6only.test\n")
        write_spool(workdir / "spool", "m0001.out", "To: b@example.org\n\nby name\n")
        script = f"mount --bind {hosts} /etc/hosts && exec {BINARY} v6only.test {handler.port}"
        result = run_sendal(workdir, ["--mount", "sh", "-c", script], binary="/usr/bin/unshare")
        assert result.log_messages()[-2:] == [b"QUIT", b"Closed!"]
        assert handler.messages[-1].endswith(b"by name\r\n")
    finally:
        controller.stop()


def as_nobody():
    """Runs sendal as an ordinary user when we are root, who may write anywhere."""
    if os.geteuid() != 0:
        return {}
    return {"binary": "/usr/bin/setpriv",
            "prefix": ["--reuid=65534", "--regid=65534", "--clear-groups", BINARY]}


def run_as_user(work, args, **kwargs):
    user = as_nobody()
    if user:
        return run_sendal(work, user["prefix"] + args, binary=user["binary"], **kwargs)
    return run_sendal(work, args, **kwargs)


@pytest.fixture
def open_workdir():
    # A folder an ordinary user can reach, for the runs as nobody.
    path = Path(tempfile.mkdtemp(prefix="sendal-e2e-"))
    path.chmod(0o777)
    yield path
    subprocess.run(["chmod", "-R", "u+w", str(path)])
    subprocess.run(["rm", "-rf", str(path)])


def test_spool_folder_not_writable_sends_nothing(open_workdir, relay):
    spool = open_workdir / "spool"
    write_spool(spool, "m0001.out", "To: b\n\nx\n")
    spool.chmod(0o555)
    r = relay()
    result = run_as_user(open_workdir, ["127.0.0.1", str(r.port)])
    assert result.log_messages() == [b"Spool folder not writable!"]
    assert r.received == b""
    assert (spool / "m0001.out").exists()


def test_file_that_cannot_be_deleted_ends_the_run(open_workdir):
    spool = open_workdir / "spool"
    write_spool(spool, "m0001.out", "To: b@example.org\n\nfirst\n")
    write_spool(spool, "m0002.out", "To: b@example.org\n\nsecond\n")
    for p in [spool, *spool.iterdir()]:
        os.chown(p, 65534, 65534) if os.geteuid() == 0 else None
    handler = Slow(before_reply=lambda: spool.chmod(0o555))
    controller = start(handler)
    try:
        result = run_as_user(open_workdir, ["127.0.0.1", str(handler.port)])
    finally:
        controller.stop()
    assert len(handler.messages) == 1
    assert result.log_messages()[-2:] == [b"Can't delete m0001.out!", b"Closed!"]
    assert sorted(p.name for p in spool.iterdir()) == ["m0001.out", "m0002.out"]


def test_stop_by_signal_keeps_the_file(workdir, relay):
    r = relay(data_fault=(1000000, "silent"))
    text = "To: b\n\n" + ("s" * 99 + "\n") * 500000
    write_spool(workdir / "spool", "m0001.out", text)

    def stop_when_sending(proc):
        if len(r.received) < 1000000:
            return False
        os.kill(proc.pid, signal.SIGTERM)
        return True
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)], while_running=stop_when_sending,
                        timeout=60)
    assert result.returncode == 0
    assert result.log_messages()[-3:] == [b"Not sent: m0001.out", b"Stopped by signal 15!", b"Closed!"]
    assert (workdir / "spool" / "m0001.out").read_text() == text
    assert result.tty_attrs[3] & 0o10  # ECHO still on: the terminal was left as it was found
