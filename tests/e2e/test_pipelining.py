"""Pipelining after EHLO: each envelope in one write together with the end of data before it,
replies judged in order, and the log as without pipelining."""
import re

import pytest
from aiosmtpd.controller import Controller

from conftest import free_port, run_sendal, write_spool


class Offering:
    """aiosmtpd, which reads pipelined commands in order, made to offer PIPELINING."""

    def __init__(self):
        self.messages = []

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        return responses[:-1] + ["250-PIPELINING", responses[-1]]

    async def handle_DATA(self, server, session, envelope):
        self.messages.append((list(envelope.rcpt_tos), envelope.original_content))
        return "250 OK"


def spool(workdir, count):
    for i in range(1, count + 1):
        write_spool(workdir / "spool", f"m{i:04d}.out", f"From: a@x\nTo: b@y, c@y\n\nmessage {i}\n")


def test_fifty_messages_pipelined_to_a_real_relay(workdir):
    handler = Offering()
    port = free_port()
    controller = Controller(handler, hostname="127.0.0.1", port=port)
    controller.start()
    try:
        spool(workdir, 50)
        result = run_sendal(workdir, [f"127.0.0.1 {port},-ehlo"])
    finally:
        controller.stop()
    assert [m[1].split(b"\r\n\r\n")[1] for m in handler.messages] == \
        [b"message %d\r\n" % i for i in range(1, 51)]
    assert all(m[0] == ["b@y", "c@y"] for m in handler.messages)
    assert list((workdir / "spool").iterdir()) == []
    assert result.log_messages()[-2:] == [b"QUIT", b"Closed!"]


def test_envelope_goes_in_one_write_with_the_end_before_it(workdir, relay):
    for i in range(1, 4):
        write_spool(workdir / "spool", f"m{i:04d}.out", f"From: a@x\nTo: b@y\n\nmessage {i}\n")
    write_spool(workdir / "spool", "m0004.out", "From: a@x\nTo: b@y, c@y\n\nmessage 4\n")
    r = relay(pipelining=True)
    run_sendal(workdir, ["127.0.0.1 %d,-ehlo" % r.port])
    assert len(r.messages) == 4
    assert any(c.startswith(b"MAIL FROM:<a@x>\r\nRCPT TO:<b@y>\r\nDATA\r\n") for c in r.chunks)
    assert any(b".\r\nMAIL FROM:<a@x>\r\nRCPT TO:<b@y>\r\nDATA\r\n" in c for c in r.chunks)
    # With several recipients DATA waits for their replies: a refused one must never find the
    # relay waiting for the text, or the file would reach only some of its recipients.
    assert any(c.endswith(b".\r\nMAIL FROM:<a@x>\r\nRCPT TO:<b@y>\r\nRCPT TO:<c@y>\r\n") for c in r.chunks)
    assert b"RCPT TO:<c@y>\r\nDATA\r\n" not in b"".join(c for c in r.chunks if b"RCPT TO:<c@y>" in c)


def plain_log(result):
    """The log's messages without the times, to compare two runs."""
    return [re.sub(rb"^..\d\d:\d\d:\d\d", b"", l) for l in result.log.split(b"\r\n")[1:]]


@pytest.mark.parametrize("replies,left,tail", [
    ({"RCPT#6": b"550 no such user\r\n"}, 3,
     [b"RCPT TO:<c@y>", b"550 no such user", b"Not sent: m0003.out (550 no such user)", b"Closed!"]),
    ({"END#5": b"554 content refused\r\n"}, 5,
     [b"RCPT TO:<c@y>", b"250 ok", b"Not sent: m0005.out (554 content refused)", b"Closed!"]),
])
def test_refusals_leave_the_right_files_and_the_same_log(tmp_path, relay, replies, left, tail):
    logs = []
    for pipelined in (False, True):
        work = tmp_path / ("pipelined" if pipelined else "plain")
        work.mkdir()
        spool(work, 7)
        r = relay(replies=replies, pipelining=pipelined)
        result = run_sendal(work, ["127.0.0.1 %d,-ehlo" % r.port])
        assert sorted(p.name for p in (work / "spool").iterdir()) == \
            [f"m{i:04d}.out" for i in range(left, 8)], pipelined
        assert result.log_messages()[-4:] == tail, pipelined
        assert len(r.messages) == left - 1
        logs.append(plain_log(result))
    assert logs[0] == logs[1]


@pytest.mark.slow
def test_two_hundred_megabytes_pipelined(workdir, relay):
    text = "To: b@y\n\n" + ("w" * 99 + "\n") * 2000000
    write_spool(workdir / "spool", "m0001.out", text)
    write_spool(workdir / "spool", "m0002.out", "To: b@y\n\nsecond\n")
    r = relay(pipelining=True)
    run_sendal(workdir, ["127.0.0.1 %d,-ehlo" % r.port], timeout=600)
    assert len(r.messages) == 2
    assert r.messages[0][2] == text.replace("\n", "\r\n").encode()
    assert list((workdir / "spool").iterdir()) == []
