"""Replies as real relays send them: several lines to any command, read whole before the next
command; codes judged by class; every refusal of the opening in the log; the relay's last word
read after it hung up; lock-step and pipelined runs alike."""
import re

import pytest

from conftest import run_sendal, write_spool


def spool(workdir, count, to="b@y"):
    for i in range(1, count + 1):
        write_spool(workdir / "spool", f"m{i:04d}.out", f"From: a@x\nTo: {to}\n\nmessage {i}\n")


def left(workdir):
    return sorted(p.name for p in (workdir / "spool").iterdir())


def plain_log(result):
    """The log's messages without the times, to compare two runs."""
    return [re.sub(rb"^..\d\d:\d\d:\d\d", b"", l) for l in result.log.split(b"\r\n")[1:]]


def lines(code, count):
    return b"".join(b"%d-line %d\r\n" % (code, i) for i in range(1, count)) + b"%d last\r\n" % code


@pytest.mark.parametrize("count", [2, 5])
@pytest.mark.parametrize("pipelined", [False, True])
def test_replies_of_several_lines_to_every_command(workdir, relay, count, pipelined):
    spool(workdir, 3, to="b@y, c@y")
    replies = {verb: ("lines", lines(code, count))
               for verb, code in (("MAIL", 250), ("RCPT", 250), ("DATA", 354), ("END", 250))}
    r = relay(replies=replies, pipelining=pipelined)
    result = run_sendal(workdir, ["127.0.0.1 %d,-ehlo" % r.port])
    assert left(workdir) == []
    assert [m[2] for m in r.messages] == [b"From: a@x\r\nTo: b@y, c@y\r\n\r\nmessage %d\r\n" % i
                                          for i in (1, 2, 3)]
    assert r.early == []  # no command before a reply's last line
    messages = result.log_messages()
    mail = [b"MAIL FROM:<a@x>"] + lines(250, count).split(b"\r\n")[:-1]
    assert messages[1:1 + len(mail)] == mail
    assert messages.count(b"250-line 1") == 9  # MAIL and two RCPT per file, each line logged
    assert messages[-2:] == [b"QUIT", b"Closed!"]
    assert result.console.count(b"354-line 1") == 3 and result.console.count(b"250 last") >= 3


def test_251_to_a_recipient_is_accepted(workdir, relay):
    spool(workdir, 1)
    r = relay(replies={"RCPT": b"251 User not local; will forward\r\n"})
    run_sendal(workdir, ["127.0.0.1", str(r.port)])
    assert len(r.messages) == 1 and left(workdir) == []


@pytest.mark.parametrize("relay_args,options,tail,code", [
    ({"greeting": b"554-no service\r\n554 go away\r\n"}, "",
     [b"554-no service", b"554 go away", b"Greeting refused: 554 go away"], 69),
    ({"greeting": b"421 busy\r\n"}, "", [b"421 busy", b"Greeting refused: 421 busy"], 75),
    ({"replies": {"EHLO": b"550 not you\r\n"}}, ",-ehlo", [b"550 not you", b"EHLO refused: 550 not you"], 69),
    ({"replies": {"EHLO": b"250-relay\r\n250 STARTTLS\r\n", "STAR": b"454 TLS not available\r\n"}},
     ",-starttls", [b"454 TLS not available", b"STARTTLS refused: 454 TLS not available"], 75),
    ({"replies": {"EHLO": b"250-relay\r\n250 AUTH PLAIN\r\n", "AUTH": b"535 5.7.8 bad credentials\r\n"}},
     ",-auth,-insecureauth", [b"AUTH PLAIN ********", b"535 5.7.8 bad credentials",
                              b"Login refused: 535 5.7.8 bad credentials"], 77),
])
def test_refusals_of_the_opening_stand_in_the_log(workdir, relay, relay_args, options, tail, code):
    spool(workdir, 1)
    netrc = workdir / "netrc"
    netrc.write_text("default login u password p\n")
    netrc.chmod(0o600)
    r = relay(**relay_args)
    result = run_sendal(workdir, ["127.0.0.1 %d,-exitcode%s" % (r.port, options.replace(",", " "))],
                        env={"SENDAL_NETRC": str(netrc)})
    assert result.log_messages()[-len(tail) - 1:] == tail + [b"Closed!"]
    assert result.returncode == code
    assert left(workdir) == ["m0001.out"]
    assert b"MAIL" not in r.received
    if "greeting" in relay_args:
        assert r.received == b""  # nothing said to a relay that refused us


def test_endless_ehlo_reply_ends_the_run_with_its_own_message(workdir, relay):
    spool(workdir, 1)
    r = relay(replies={"EHLO": b"250-more\r\n" * 1001 + b"250 end\r\n"})
    result = run_sendal(workdir, ["127.0.0.1 %d,-ehlo -exitcode" % r.port])
    assert result.log_messages()[-2:] == [b"Reply too long from relay!", b"Closed!"]
    assert result.returncode == 76
    assert left(workdir) == ["m0001.out"]


@pytest.mark.parametrize("bad", [b"250-a\r\n251 b\r\n", b"25e1 ok\r\n", b"ok\r\n"])
def test_malformed_replies_end_the_run(workdir, relay, bad):
    spool(workdir, 1)
    r = relay(replies={"MAIL": bad})
    result = run_sendal(workdir, ["127.0.0.1 %d,-exitcode" % r.port])
    assert result.log_messages()[-3:] == [b"Bad reply from relay!", b"Not sent: m0001.out", b"Closed!"]
    assert result.returncode == 76 and left(workdir) == ["m0001.out"]


@pytest.mark.parametrize("reply,code", [(b"552 5.3.4 message file too big\r\n", 69),
                                        (b"421 4.4.2 shutting down\r\n", 75)])
@pytest.mark.parametrize("pipelined", [False, True])
def test_the_relays_last_word_after_it_hung_up_in_the_text(workdir, relay, reply, code, pipelined):
    write_spool(workdir / "spool", "m0001.out", "From: a@x\nTo: b@y\n\n" + ("z" * 99 + "\n") * 100000)
    r = relay(data_fault=(200000, ("then close", reply)), pipelining=pipelined)
    result = run_sendal(workdir, ["127.0.0.1 %d,-ehlo -exitcode" % r.port])
    assert result.log_messages()[-2:] == [b"Not sent: m0001.out (" + reply.strip() + b")", b"Closed!"]
    assert b"Send failed" not in result.log and b"Timeout" not in result.log
    assert result.returncode == code and left(workdir) == ["m0001.out"]


@pytest.mark.parametrize("replies,sent,kept,tail,code", [
    ({"RCPT#1": b"452 4.5.3 no room\r\n", "RCPT#2": b"452 4.5.3 no room\r\n"}, 0, 2,
     b"Not sent: m0001.out (452 4.5.3 no room)", 75),
    ({"RCPT#1": b"452 4.5.3 no room\r\n", "RCPT#3": b"452 4.5.3 no room\r\n"}, 1, 2,
     b"Not sent: m0001.out (452 4.5.3 no room)", 75),
    ({"RCPT#1": b"452 4.5.3 no room\r\n"}, 3, 0, b"QUIT", 0),
    ({"RCPT#2": b"550 no\r\n"}, 0, 2, b"Not sent: m0001.out (550 no)", 69),
    ({"MAIL#2": b"451 later\r\n"}, 1, 1, b"Not sent: m0002.out (451 later)", 75),
])
def test_lock_step_and_pipelined_give_the_same_result(tmp_path, relay, replies, sent, kept, tail, code):
    logs = []
    for pipelined in (False, True):
        work = tmp_path / ("pipelined" if pipelined else "lock-step")
        write_spool(work / "spool", "m0001.out", "From: a@x\nTo: b@y, c@y\n\nfirst\n")
        write_spool(work / "spool", "m0002.out", "From: a@x\nTo: d@y\n\nsecond\n")
        r = relay(replies=replies, pipelining=pipelined)
        result = run_sendal(work, ["127.0.0.1 %d,-ehlo -exitcode" % r.port])
        assert len(r.messages) == sent, pipelined
        assert len(left(work)) == kept, pipelined
        assert result.log_messages()[-2:] == [tail, b"Closed!"], pipelined
        assert (b"Already sent to 1 recipients of m0001.out in this run!" in result.log) == \
            (sent == 1 and kept == 2), pipelined
        assert result.returncode == code, pipelined
        logs.append(plain_log(result))
    assert logs[0] == logs[1]
