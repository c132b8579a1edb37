"""A real Postfix judges the dialogue: postscreen's pregreet test with a greeting of several
lines, SIZE with a small limit, SMTPUTF8 and 8BITMIME, and a 550 for an unknown user."""
import pytest

from conftest import run_sendal, write_spool


def left(workdir):
    return sorted(p.name for p in (workdir / "spool").iterdir())


def body_of(stored):
    return stored.split(b"\n\n", 1)[1] if b"\n\n" in stored else b""


@pytest.mark.parametrize("options", ["", ",-ehlo"])
def test_postscreen_with_pregreet_lets_us_through(workdir, postfix, options):
    to = f"screened{options.strip(',-')}@example.test"
    for i in range(1, 4):
        write_spool(workdir / "spool", f"m{i:04d}.out",
                    f"From: alice@example.org\nTo: {to}\nSubject: {i}\n\nscreened {i}{options}\n")
    result = run_sendal(workdir, [f"127.0.0.1 {postfix.ports['screened']}{options}"])
    assert left(workdir) == []
    assert b"220-relay.example.test ESMTP, say nothing yet" in result.console
    got = postfix.delivered(3, to)
    assert sorted(m.split(b"\n\n", 1)[1] for m in got) == \
        [b"screened %d%s\n" % (i, options.encode()) for i in (1, 2, 3)]
    assert "PREGREET" not in postfix.log()


def wire_size(text):
    return len(text.encode().replace(b"\n", b"\r\n"))


def test_size_limit_refuses_before_any_text(workdir, postfix):
    small = "From: a@example.org\nTo: bob@example.test\n\nsmall\n"
    big = "From: a@example.org\nTo: bob@example.test\n\n" + "big line\n" * 5000
    write_spool(workdir / "spool", "m0001.out", small)
    write_spool(workdir / "spool", "m0002.out", big)
    result = run_sendal(workdir, [f"127.0.0.1 {postfix.ports['small']},-ehlo -exitcode"])
    messages = result.log_messages()
    assert [m for m in messages if m.startswith(b"MAIL FROM")] == \
        [b"MAIL FROM:<a@example.org> SIZE=%d" % wire_size(small)]
    assert messages[-2:] == [b"Too big for the relay: m0002.out (%d bytes, the relay takes 20000)!"
                             % wire_size(big), b"Closed!"]
    assert left(workdir) == ["m0002.out"] and result.returncode == 69
    assert "message size" not in postfix.log()  # the relay never had to refuse it


def test_utf8_sender_and_eight_bit_text(workdir, postfix):
    first = "From: a@example.org\nTo: utf@example.test\nReply-To: jörg@example.org\n\nplain\n"
    second = "From: a@example.org\nTo: utf@example.test\n\nGrüße\n"
    third = "From: jörg@example.org\nTo: utf@example.test\n\nplain\n"
    for i, text in enumerate((first, second, third), 1):
        write_spool(workdir / "spool", f"m000{i}.out", text.encode())
    result = run_sendal(workdir, [f"127.0.0.1 {postfix.ports['plain']},-ehlo"])
    mails = [m for m in result.log_messages() if m.startswith(b"MAIL FROM")]
    assert mails == [b"MAIL FROM:<a@example.org> SIZE=%d BODY=8BITMIME" % wire_size(first),
                     b"MAIL FROM:<a@example.org> SIZE=%d BODY=8BITMIME" % wire_size(second),
                     "MAIL FROM:<jörg@example.org> SIZE={} BODY=8BITMIME SMTPUTF8".format(
                         wire_size(third)).encode()]
    assert left(workdir) == []
    got = postfix.delivered(3, "utf@example.test")
    assert sorted(body_of(m) for m in got) == sorted([b"plain\n", b"plain\n", "Grüße\n".encode()])


def test_unknown_user_refusal_stands_in_the_log(workdir, postfix):
    write_spool(workdir / "spool", "m0001.out", "From: a@example.org\nTo: nobody@example.test\n\nx\n")
    result = run_sendal(workdir, [f"127.0.0.1 {postfix.ports['strict']},-ehlo -exitcode"])
    refusal = (b"550 5.1.1 <nobody@example.test>: Recipient address rejected: "
               b"User unknown in virtual mailbox table")
    assert result.log_messages()[-3:] == [refusal, b"Not sent: m0001.out (" + refusal + b")", b"Closed!"]
    assert left(workdir) == ["m0001.out"] and result.returncode == 69
