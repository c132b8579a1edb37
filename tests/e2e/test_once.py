"""Nothing twice: every end of a run (a refusal, a stop) settles what the relay already took,
against a private Postfix that answers each BDAT chunk only once its cleanup has the text;
the window of transactions outstanding is a bound; a relay's text cannot make a run spin, nor
fill the log; a refusal of the session holds nothing."""
import os
import signal
import socket
import threading
import time

import pytest

from conftest import run_sendal, write_spool

GOOD = "good@example.test"


def left(work):
    spool = work / "spool"
    return sorted(p.name for p in spool.iterdir() if p.is_file()) if spool.exists() else []


def fill(work, tag, count, unknown=()):
    for i in range(1, count + 1):
        to = "nobody@example.test" if i in unknown else GOOD
        write_spool(work / "spool", f"m{i:04d}.out",
                    f"From: a@example.org\nTo: {to}\nSubject: {tag} {i}\n\n{tag} message {i}\n")


def queued(postfix):
    """How many messages Postfix has queued: its cleanup logs one message-id= line for each."""
    return postfix.log().count("message-id=")


def copies(postfix, tag, count, expected):
    """How often each message of `tag` reached the mailbox, once `expected` of them have (a
    second look after a pause catches a late duplicate)."""
    postfix.delivered(expected, GOOD)
    time.sleep(1)
    seen = {}
    for text in postfix.delivered(0, GOOD, timeout=0):
        for i in range(1, count + 1):
            if f"{tag} message {i}\n".encode() in text:
                seen[i] = seen.get(i, 0) + 1
    return seen


class TestAgainstPostfix:
    def test_refusal_without_keepgoing_settles_the_batch(self, tmp_path, postfix):
        work = tmp_path / "work"
        fill(work, "refused", 30, unknown={2})
        before = queued(postfix)
        first = run_sendal(work, [f"127.0.0.1 {postfix.ports['strict']},-ehlo -exitcode"])
        assert first.returncode == 69
        assert any(m.startswith(b"Not sent: m0002.out (550 5.1.1") for m in first.log_messages())
        assert "m0002.out" in left(work)
        (work / "spool" / "m0002.out").unlink()
        run_sendal(work, [f"127.0.0.1 {postfix.ports['strict']},-ehlo -exitcode"])
        assert left(work) == []
        seen = copies(postfix, "refused", 30, 29)
        assert sorted(seen) == [i for i in range(1, 31) if i != 2]
        assert set(seen.values()) == {1}, seen
        assert queued(postfix) - before == 29

    def test_stop_in_a_bdat_run_sends_nothing_twice(self, tmp_path, postfix):
        work = tmp_path / "work"
        fill(work, "stopped", 100)
        before = queued(postfix)

        def stop_midway(proc):
            if len(left(work)) > 95:
                return False
            os.kill(proc.pid, signal.SIGTERM)
            return True
        first = run_sendal(work, [f"127.0.0.1 {postfix.ports['plain']},-ehlo -exitcode"],
                           while_running=stop_midway)
        log = first.log_messages()
        if left(work):  # the stop came before the end
            assert first.returncode == 75 and b"Stopped by signal 15!" in log
        sent = [m for m in log if m.startswith(b"Sent: ")]
        assert len(sent) + len(left(work)) == 100
        run_sendal(work, [f"127.0.0.1 {postfix.ports['plain']},-ehlo"])
        assert left(work) == []
        seen = copies(postfix, "stopped", 100, 100)
        assert len(seen) == 100 and set(seen.values()) == {1}, seen
        assert queued(postfix) - before == 100


class SilentAfterOne:
    """Offers PIPELINING and CHUNKING, answers the first message, then reads on and answers
    nothing: how many transactions does it get?"""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.received = bytearray()
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        conn, _ = self.listener.accept()
        conn.sendall(b"220 silent relay\r\n")
        done = False  # the first message's end is answered
        buffer = b""
        while True:
            try:
                data = conn.recv(65536)
            except OSError:
                return
            if not data:
                return
            self.received += data
            buffer += data
            while not done and b"\r\n" in buffer:
                line, buffer = buffer.split(b"\r\n", 1)
                if line.startswith(b"EHLO"):
                    conn.sendall(b"250-silent\r\n250-PIPELINING\r\n250 CHUNKING\r\n")
                    continue
                if line.startswith(b"BDAT"):
                    buffer = buffer[int(line.split()[1]):]
                    done = line.endswith(b"LAST")
                conn.sendall(b"250 ok\r\n")


def test_relay_silent_after_one_message_gets_at_most_the_window(workdir):
    fill(workdir, "silent", 300)
    relay = SilentAfterOne()

    def stop_later(proc):
        if relay.received.count(b"MAIL FROM") < 2 or time.monotonic() < stop_later.start + 2:
            return False
        proc.send_signal(signal.SIGTERM)
        time.sleep(0.5)
        proc.send_signal(signal.SIGTERM)  # a second stop ends the settling at once
        return True
    stop_later.start = time.monotonic()
    result = run_sendal(workdir, [f"127.0.0.1 {relay.port},-ehlo"], while_running=stop_later, timeout=60)
    # One answered end gives no pace yet: the window stays at its first size, 2.
    assert 2 <= relay.received.count(b"MAIL FROM") <= 1 + 2
    assert len(left(workdir)) == 299
    assert sum(m.startswith(b"Not sent: ") for m in result.log_messages()) <= 2


@pytest.mark.parametrize("flood", [35_000, 200_000])
def test_flood_without_line_end_then_close_ends_at_once(workdir, relay, flood):
    write_spool(workdir / "spool", "m0001.out", "To: b@y\n\nx\n")
    r = relay(replies={"EHLO": ("then close", b"250 " + b"x" * flood)})
    result = run_sendal(workdir, [f"127.0.0.1 {r.port},-ehlo"], timeout=60)
    assert b"ERROR ON NETWORK (Connection closed)." in result.log_messages()
    assert left(workdir) == ["m0001.out"]


def test_huge_reply_adds_a_bounded_amount_to_the_log(workdir, relay):
    for i in (1, 2, 3):
        write_spool(workdir / "spool", f"m000{i}.out", f"To: b@y\n\nmessage {i}\n")
    long_line = b"x" * 2000
    huge = b"".join(b"550-" + long_line + b"\r\n" for _ in range(998)) + b"550 " + long_line + b"\r\n"
    r = relay(replies={"RCPT": huge})
    result = run_sendal(workdir, [f"127.0.0.1 {r.port},-keepgoing"])
    assert left(workdir) == ["m0001.out", "m0002.out", "m0003.out"]
    assert (b"(990 more lines)" in result.log_messages())
    assert len(result.log) < 3 * 8 * 1024 + 4096, len(result.log)


@pytest.mark.parametrize("refusal", [
    {"MAIL": b"530 5.7.0 Authentication required\r\n"},
    {"MAIL": b"550 5.7.1 relaying denied\r\n"},
    {"MAIL": b"521 5.3.2 no mail here\r\n"},
    {"EHLO": b"250-relay\r\n250 SIZE 1\r\n"},
])
def test_refusal_of_the_session_holds_nothing(workdir, relay, refusal):
    for i in range(1, 6):
        write_spool(workdir / "spool", f"m000{i}.out", f"From: a@x\nTo: b@y\n\nmessage {i}\n")
    r = relay(replies=refusal)
    result = run_sendal(workdir, [f"127.0.0.1 {r.port},-ehlo -hold -keepgoing -exitcode"])
    assert result.returncode == 69
    assert left(workdir) == [f"m000{i}.out" for i in range(1, 6)]
    assert not any(m.startswith(b"Held: ") for m in result.log_messages())
    assert r.received.count(b"MAIL FROM") <= 1  # the session ends at the first refusal


def test_refusal_of_the_message_holds_it(workdir, relay):
    for i in range(1, 4):
        write_spool(workdir / "spool", f"m000{i}.out", f"From: a@x\nTo: b{i}@y\n\nmessage {i}\n")
    r = relay(replies={"RCPT#2": b"550 5.1.1 no such user\r\n"})
    result = run_sendal(workdir, [f"127.0.0.1 {r.port},-ehlo -hold -keepgoing"])
    assert left(workdir) == []
    assert b"Held: m0002.out (550 5.1.1 no such user)" in result.log_messages()
