"""Hostile and broken relays, and bad spool entries: nothing lost, nothing hangs, memory stays
bounded, and the relay cannot drive the user's terminal."""
import os
import termios

import pytest

from conftest import note_peak_memory, run_sendal, write_spool

TIMEOUT = b"ERROR ON NETWORK (Timeout)."


def spool_one(workdir, name="m0001.out", text="From: a\nTo: b\n\nhello\n"):
    return write_spool(workdir / "spool", name, text)


@pytest.mark.slow
def test_long_reply_line_fills_the_ring_and_times_out(workdir, relay):
    r = relay(greeting=b"2" * 40000)
    spool_one(workdir)
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)])
    assert result.returncode == 0
    assert result.log_messages() == [b"SMTP starting...", TIMEOUT, b"Closed!"]
    assert r.received == b""


@pytest.mark.slow
def test_flood_without_line_ends_keeps_memory_bounded(workdir, relay):
    r = relay(greeting="flood")
    spool_one(workdir)
    peak = {"kb": 0}

    def sample(proc):
        note_peak_memory(proc.pid, peak)
        return False
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)], while_running=sample)
    # The flood is passed over as it comes, so the relay's close is seen as soon as it comes.
    assert result.log_messages() == [b"SMTP starting...", b"ERROR ON NETWORK (Connection closed).", b"Closed!"]
    assert 0 < peak["kb"] < 32 * 1024, peak


@pytest.mark.slow
def test_trickled_line_without_end_still_times_out(workdir, relay):
    r = relay(greeting=("trickle", b"x" * 20000, 0.004))
    spool_one(workdir)
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)])
    assert result.log_messages() == [b"SMTP starting...", TIMEOUT, b"Closed!"]


def test_trickling_relay_is_served_whole(workdir, relay):
    slow = lambda text: ("trickle", text)
    r = relay(greeting=slow(b"220-slow\r\n220 relay\r\n"),
              replies={"HELO": slow(b"250 hi\r\n"), "MAIL": slow(b"250 ok\r\n"),
                       "RCPT": slow(b"250 ok\r\n"), "DATA": slow(b"354 go\r\n"),
                       "END": slow(b"250 done\r\n"), "QUIT": slow(b"221 bye\r\n")})
    spool_one(workdir)
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)])
    assert result.log_messages()[-2:] == [b"QUIT", b"Closed!"]
    assert len(r.messages) == 1
    assert not (workdir / "spool" / "m0001.out").exists()


def test_escape_sequences_shown_and_logged_as_question_marks(workdir, relay):
    r = relay(replies={"MAIL": b"250 \x1b[31mred\x07\r\n", "DATA": b"354 \x1b[2J\x1b]0;x\x07\r\n",
                       "RCPT": b"250 ok\n! 12:00:00  SENDAL   : forged\r\n"})
    spool_one(workdir, name="m\x1b[1m1.out")  # a spool name cannot drive the terminal either
    result = run_sendal(workdir, ["127.0.0.1", str(r.port) + ",spool\\*.out"])
    assert b"\x1b" not in result.console and b"\x07" not in result.console
    assert b"354 ?[2J?]0;x?\r\n" in result.console
    assert b"Sending m?[1m1.out" in result.console
    assert b"250 ?[31mred?" in result.log_messages()
    assert b"\x1b" not in result.log and b"\n!" not in result.log  # no forged line
    assert b"250 ok?! 12:00:00  SENDAL   : forged" in result.log_messages()
    assert b"250 \x1b[31mred\x07\r\n" in result.stdout  # a pipe gets the bytes as they came


def test_interrupt_at_the_prompt_restores_the_terminal(workdir):
    result = run_sendal(workdir, [",-helo=box"], keys=[("Host: ", b"\x03")])
    assert result.returncode != 0  # ended by the interrupt
    lflag = result.tty_attrs[3]
    assert lflag & termios.ICANON and lflag & termios.ECHO


def test_terminal_mode_restored_after_the_pager(workdir):
    (workdir / "sendal.hlp").write_bytes(b"line\r\n" * 30)
    result = run_sendal(workdir, [], keys=[("-more- ", b"q")])
    lflag = result.tty_attrs[3]
    assert lflag & termios.ICANON and lflag & termios.ECHO


# Bad spool entries.

def expected_lines(data):
    """The lines the spool reader gives: LF ends a line with the CRs before it, any other CR
    ends a line too."""
    lines, current, i = [], bytearray(), 0
    while i < len(data):
        c = data[i:i + 1]
        if c == b"\n":
            lines.append(bytes(current)); current = bytearray()
        elif c == b"\r":
            j = i
            while j < len(data) and data[j:j + 1] == b"\r":
                j += 1
            if j < len(data) and data[j:j + 1] == b"\n":
                lines.append(bytes(current)); current = bytearray(); i = j
            else:
                lines.append(bytes(current)); current = bytearray()
        else:
            current += c
        i += 1
    if current:
        lines.append(bytes(current))
    return lines


def wire(lines):
    return b"".join((b"." + l if l.startswith(b".") else l) + b"\r\n" for l in lines)


def test_binary_and_nul_bytes_pass_unchanged(workdir, relay):
    body = bytes(range(256)) * 40 + b"\r\r\nend\rold mac\n.\x00dot\n"
    data = b"From: a\nTo: b\n\n" + body
    write_spool(workdir / "spool", "m0001.out", data)
    r = relay()
    run_sendal(workdir, ["127.0.0.1", str(r.port)])
    assert len(r.messages) == 1
    assert r.messages[0][2] == wire(expected_lines(data))


def test_fifty_megabyte_single_line(workdir, relay):
    line = b"y" * (50 * 1024 * 1024)
    write_spool(workdir / "spool", "m0001.out", b"To: b\n\n" + line)
    r = relay()
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)])
    assert result.log_messages()[-2:] == [b"QUIT", b"Closed!"]
    assert len(r.messages) == 1 and r.messages[0][2] == b"To: b\r\n\r\n" + line + b"\r\n"


def test_ten_thousand_recipients_in_eleven_transactions(workdir, relay):
    rcpts = ",".join(f"r{i}" for i in range(10000))
    spool_one(workdir, text=f"From: a\nTo: {rcpts}\n\nx\n")
    r = relay()
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)])
    assert [len(m[1]) for m in r.messages] == [999] * 10 + [10], result.log[-600:]
    assert sum((m[1] for m in r.messages), []) == [b"RCPT TO:<r%d>" % i for i in range(10000)]


def test_fifo_folder_and_device_link_matching_the_mask_are_skipped(workdir, relay):
    spool = workdir / "spool"
    spool.mkdir()
    os.mkfifo(spool / "m0001.out")
    (spool / "m0002.out").mkdir()
    os.symlink("/dev/zero", spool / "m0003.out")
    spool_one(workdir, name="m0004.out")
    r = relay()
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)], timeout=120)
    assert result.log_messages()[-2:] == [b"QUIT", b"Closed!"]
    assert len(r.messages) == 1
    assert sorted(p.name for p in spool.iterdir()) == ["m0001.out", "m0002.out", "m0003.out"]
