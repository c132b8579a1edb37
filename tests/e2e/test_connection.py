"""The connection, the greeting and HELO against relays on 127.0.0.1."""
import socket

import pytest

from conftest import run_sendal, write_spool


def test_nothing_listening(workdir):
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()  # a port with nobody on it
    result = run_sendal(workdir, ["127.0.0.1", str(port)])
    assert result.returncode == 0
    failure = f"Connection failure: 127.0.0.1 port {port}: Connection refused!".encode()
    assert result.log_messages() == [failure, b"Closed!"]
    assert result.log.split(b"\r\n")[1].startswith(b"! ")
    assert result.stdout == failure + b"\r\nClosed!\r\n"


def test_unknown_host(workdir):
    result = run_sendal(workdir, ["no-such-relay.example", "25"], netless=True)
    assert result.returncode == 0
    [message] = result.log_messages()
    assert message.startswith(b"GetHostByName failed: no-such-relay.example: ")


def test_port_uses_its_low_16_bits(workdir, relay):
    r = relay(replies={"HELO": b"550 no\r\n"})
    write_spool(workdir / "spool", "m0001.out", "To: b\n\nx\n")
    result = run_sendal(workdir, ["127.0.0.1", str(r.port + 65536)])
    assert r.received.startswith(b"HELO me\r\n")
    assert result.log_messages() == [b"SMTP starting...", b"550 no", b"HELO refused: 550 no", b"Closed!"]


def test_helo_accepted_then_nothing_to_send_is_not_reached(workdir, relay):
    r = relay()
    write_spool(workdir / "spool", "m0001.out", "From: a\nTo: b\n\nx\n")
    result = run_sendal(workdir, ["127.0.0.1", str(r.port) + ",-helo=pc7"])
    assert r.received.startswith(b"HELO pc7\r\n")
    assert b"220 scripted relay\r\n250 hello\r\n" in result.console


def test_nothing_to_send(workdir, relay):
    r = relay()
    (workdir / "spool").mkdir()
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)])
    assert result.log_messages() == [b"SMTP starting...", b"Nothing to send!"]
    assert result.log.split(b"\r\n")[1].startswith(b": ")
    assert r.received == b""  # no HELO, no QUIT


def test_refused_helo_ends_with_closed(workdir, relay):
    r = relay(greeting=b"220-first\r\n220-second\r\n220 last\r\n", replies={"HELO": b"501 bad\r\n"})
    write_spool(workdir / "spool", "m0001.out", "To: b\n\nx\n")
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)])
    assert r.received == b"HELO me\r\n"
    assert result.log_messages() == [b"SMTP starting...", b"501 bad", b"HELO refused: 501 bad", b"Closed!"]
    assert b"220-first\r\n220-second\r\n220 last\r\n501 bad\r\n" in result.console
    assert (workdir / "spool" / "m0001.out").exists()


def test_relay_that_hangs_up_ends_the_wait_at_once(workdir, relay):
    closed = b"ERROR ON NETWORK (Connection closed)."
    for replies, tail in [({"HELO": "close"}, [b"SMTP starting...", closed, b"Closed!"]),
                          ({"DATA": "reset"}, [b"250 ok", closed, b"Not sent: m0001.out", b"Closed!"])]:
        r = relay(replies=replies)
        write_spool(workdir / "spool", "m0001.out", "To: b\n\n" + "x" * 70 + "\n")
        write_spool(workdir / "spool", "m0002.out", "To: b\n\n" + ("y" * 70 + "\n") * 30000)
        # Far below the 50-second reply time-out: the wait must not last it out.
        result = run_sendal(workdir, ["127.0.0.1", str(r.port)], timeout=30)
        assert result.log_messages()[-len(tail):] == tail, replies
        assert result.stdout.endswith(b"\r\n\r\n" + b"\r\n".join(tail[1:]) + b"\r\n")
        assert (workdir / "spool" / "m0001.out").exists()
        assert (workdir / "spool" / "m0002.out").exists()


def test_reset_in_the_middle_of_the_data(workdir, relay):
    # Larger than the socket buffers, so the sends after the reset fail (no SIGPIPE).
    r = relay(data_fault=(20000, "reset"))
    text = "To: b\n\n" + ("z" * 99 + "\n") * 200000
    write_spool(workdir / "spool", "m0001.out", text)
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)])
    assert result.returncode == 0
    assert result.log_messages()[-1] == b"Closed!"
    assert (workdir / "spool" / "m0001.out").read_text() == text


def test_relay_reply_shown_safely_on_the_terminal(workdir, relay):
    r = relay(greeting=b"220 \x1b[2J\x1b]0;owned\x07 hi\r\n", replies={"HELO": b"550 \x1b[31mred\r\n"})
    write_spool(workdir / "spool", "m0001.out", "To: b\n\nx\n")
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)])
    assert b"\x1b" not in result.console
    assert b"220 ?[2J?]0;owned? hi\r\n550 ?[31mred\r\n" in result.console
