"""The whole job: spools sent to a real SMTP server (aiosmtpd) and to the scripted relay."""
import re

import pytest
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP

from conftest import free_port, run_sendal, write_spool


class Collector:
    def __init__(self):
        self.messages = []

    async def handle_DATA(self, server, session, envelope):
        self.messages.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.original_content))
        return "250 OK stored"


@pytest.fixture
def real_relay():
    collector = Collector()
    collector.port = free_port()
    controller = Controller(collector, hostname="127.0.0.1", port=collector.port,
                            data_size_limit=0)
    controller.start()
    yield collector
    controller.stop()


def crlf(text):
    return text.replace("\n", "\r\n").encode()


MESSAGES = {
    "m0001.out": ("From: Alice <alice@example.org>\nTo: bob@example.org\nSubject: plain\n\n"
                  "Hello Bob.\nFrom the body.\nBcc: in the body\n.\n.leading dot\n..two\n",
                  "alice@example.org", ["bob@example.org"],
                  "From: Alice <alice@example.org>\nTo: bob@example.org\nSubject: plain\n\n"
                  "Hello Bob.\nFrom the body.\nBcc: in the body\n.\n.leading dot\n..two\n"),
    "m0002.out": ("From alice@example.org Mon Dec  7 10:00:00 2026\r\nFrom: alice@example.org\r\n"
                  "To: carol@example.org,\r\n dave@example.org\r\nBcc:\r\n eve@example.org\r\n"
                  "BCC:\tfrank@example.org\r\nSubject: crlf\r\n\r\nbody\r\n",
                  "alice@example.org",
                  ["carol@example.org", "dave@example.org", "eve@example.org", "frank@example.org"],
                  "From: alice@example.org\nTo: carol@example.org,\n dave@example.org\n"
                  "Subject: crlf\n\nbody\n"),
    "m0003.out": ("From: a@example.org\nTo: g@example.org\nSubject: header only\n",
                  "a@example.org", ["g@example.org"],
                  "From: a@example.org\nTo: g@example.org\nSubject: header only\n"),
}


def test_spool_arrives_byte_for_byte(workdir, real_relay):
    for name, (text, *_rest) in MESSAGES.items():
        write_spool(workdir / "spool", name, text)
    big_body = "".join(f"line {i:06d} " + "x" * 60 + "\n" for i in range(4300))  # ~300 KB
    write_spool(workdir / "spool", "m0004.out", "From: big@example.org\nTo: h@example.org\n\n" + big_body)
    result = run_sendal(workdir, ["127.0.0.1", str(real_relay.port)])
    assert result.returncode == 0
    assert list((workdir / "spool").iterdir()) == []
    got = real_relay.messages
    assert len(got) == 4
    for (name, (_text, sender, rcpts, sent)), message in zip(MESSAGES.items(), got):
        assert message[0] == sender, name
        assert message[1] == rcpts, name
        assert message[2] == crlf(sent), name
    assert got[3][2] == crlf("From: big@example.org\nTo: h@example.org\n\n" + big_body)
    messages = result.log_messages()
    assert messages[0] == b"SMTP starting..."
    assert messages[-2:] == [b"QUIT", b"Closed!"]


def test_envelope_log_lines(workdir, relay):
    r = relay()
    write_spool(workdir / "spool", "m0001.out", "From: a.box\nTo: b.box, c.box\n\nx\n")
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)])
    assert result.log_messages() == [
        b"SMTP starting...", b"MAIL FROM:<a.box>", b"250 ok", b"RCPT TO:<b.box>", b"250 ok",
        b"RCPT TO:<c.box>", b"250 ok", b"Sent: m0001.out (250 queued)", b"QUIT", b"Closed!"]
    lines = result.log.split(b"\r\n")[2:8]
    assert all(l.startswith(b"  ") for l in lines)


def three_files(workdir):
    for i in (1, 2, 3):
        write_spool(workdir / "spool", f"m000{i}.out", f"From: a\nTo: b, c, d\n\nmessage {i}\n")


def remaining(workdir):
    return sorted(p.name for p in (workdir / "spool").iterdir())


def test_refusals_keep_the_file_and_every_later_one(workdir, relay):
    cases = [
        ({"RCPT#2": b"550 no such user\r\n"}, b"550 no such user"),
        ({"DATA": b"451 try later\r\n"}, b"250 ok"),
        ({"END": b"554 rejected\r\n"}, b"250 ok"),
    ]
    for replies, last_logged in cases:
        three_files(workdir)
        r = relay(replies=replies)
        result = run_sendal(workdir, ["127.0.0.1", str(r.port)])
        assert result.returncode == 0
        messages = result.log_messages()
        if last_logged is not None:
            assert remaining(workdir) == ["m0001.out", "m0002.out", "m0003.out"], replies
            # DATA and end-of-data replies reach only the terminal; the log names the reason.
            reason = b"Not sent: m0001.out (" + r.replies[next(iter(replies))].strip() + b")"
            assert messages[-3:] == [last_logged, reason, b"Closed!"], replies
            assert b"QUIT" not in r.received
        for name in remaining(workdir):
            n = name[4]
            assert (workdir / "spool" / name).read_text() == f"From: a\nTo: b, c, d\n\nmessage {n}\n"


def test_multi_line_mail_reply_is_one_reply(workdir, relay):
    three_files(workdir)
    r = relay(replies={"MAIL#1": b"250-first\r\n250 second\r\n", "RCPT#3": b"550 no\r\n"})
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)])
    m = result.log_messages()
    assert m[1:8] == [b"MAIL FROM:<a>", b"250-first", b"250 second", b"RCPT TO:<b>", b"250 ok",
                      b"RCPT TO:<c>", b"250 ok"]
    assert m[-3:] == [b"550 no", b"Not sent: m0001.out (550 no)", b"Closed!"]
    assert remaining(workdir) == ["m0001.out", "m0002.out", "m0003.out"]


def test_second_file_refused_after_first_accepted(workdir, relay):
    three_files(workdir)
    r = relay(replies={"END#2": b"554 no\r\n"})
    run_sendal(workdir, ["127.0.0.1", str(r.port)])
    assert remaining(workdir) == ["m0002.out", "m0003.out"]
    assert len(r.messages) == 1 and r.messages[0][2] == b"From: a\r\nTo: b, c, d\r\n\r\nmessage 1\r\n"


def test_progress_figures_continue_across_files(workdir, relay):
    r = relay()
    # 25000 characters of text in lines of 100: the recipient line padded, then plain lines.
    text = "To: x" + " " * 95 + "\n" + ("b" * 100 + "\n") * 249
    write_spool(workdir / "spool", "m0001.out", text)
    write_spool(workdir / "spool", "m0002.out", text)
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)])
    screen = result.console
    first = screen[screen.index(b"         Sending m0001.out"):]
    assert first.startswith(b"         Sending m0001.out\r 10000 \r 20000 \r\n250 queued\r\n")
    second = screen[screen.index(b"         Sending m0002.out"):]
    # The 5000 characters of the first file's last piece were not counted.
    assert second.startswith(b"         Sending m0002.out\r 30000 \r 40000 \r\n250 queued\r\n")
    assert [m[2] for m in r.messages] == [text.replace("\n", "\r\n").encode()] * 2
