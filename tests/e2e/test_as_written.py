"""Every message exactly as written: header fields by name in every form, the sender cut by the
recipients' rules, -from=; deleted only as sent (renamed, appended, still written, linked,
twins in another letter case); -keepgoing against a real Postfix."""
import os

import pytest

from conftest import run_sendal, write_spool



def left(workdir):
    return sorted(p.name for p in (workdir / "spool").iterdir())


FORMS = [
    ("To:x1@t\nCc:x2@t\nBcc:x3@t\nFrom:alice@t\n", "alice@t", ["x1@t", "x2@t", "x3@t"]),
    ("FROM:  Alice (club) <secretary@club.test>\nTO:\tx1@t\nbcc:\tx2@t\n", "secretary@club.test",
     ["x1@t", "x2@t"]),
    ("From: \"Doe, J\" <j@t>, other@t\nTo: x1@t,\n\tx2@t\nBcc:\n x3@t,\n x4@t\n", "j@t",
     ["x1@t", "x2@t", "x3@t", "x4@t"]),
    ("Cc : x1@t\nBCC:x2@t\n", "<>", ["x1@t", "x2@t"]),
]


def test_header_forms_every_recipient_once_and_no_bcc_on_the_wire(workdir, recorder):
    for i, (head, _sender, _rcpts) in enumerate(FORMS, 1):
        write_spool(workdir / "spool", f"m{i:04d}.out", head + f"Subject: form {i}\n\nbody {i}\n")
    run_sendal(workdir, [f"127.0.0.1 {recorder.port},-ehlo"])
    assert left(workdir) == []
    assert [(m[0], m[1]) for m in recorder.messages] == [(s, r) for _h, s, r in FORMS]
    for (_h, _s, _r), (_f, _t, data) in zip(FORMS, recorder.messages):
        assert b"bcc" not in data.lower() and b"x3@t" not in data and b"x4@t" not in data


def test_from_option_sets_every_envelope_sender(workdir, recorder):
    text = "From: Someone <someone@t>\nTo: x1@t\n\nbody\n"
    write_spool(workdir / "spool", "m0001.out", text)
    run_sendal(workdir, [f"127.0.0.1 {recorder.port},-from=box@t"])
    assert recorder.messages[0][0] == "box@t"
    assert recorder.messages[0][2] == text.replace("\n", "\r\n").encode()  # the header as written


BIG = "x" * 99 + "\n"


def test_file_renamed_over_the_name_while_sent_is_not_deleted(workdir, relay):
    spool = workdir / "spool"
    write_spool(spool, "m0001.out", "To: b\n\nversion A\n")
    write_spool(workdir, "new.tmp", "To: b\n\nversion B\n")
    r = relay(replies={"DATA": lambda: (os.rename(workdir / "new.tmp", spool / "m0001.out"),
                                        b"354 go\r\n")[1]})
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)])
    assert r.messages[0][2] == b"To: b\r\n\r\nversion A\r\n"
    assert (spool / "m0001.out").read_text() == "To: b\n\nversion B\n"
    assert b"Not deleted: m0001.out was replaced while it was sent!" in result.log


def test_file_appended_while_sent_gets_no_end_of_data(workdir, relay):
    spool = workdir / "spool"
    write_spool(spool, "m0001.out", "To: b\n\nDear Bob,\n")
    write_spool(spool, "m0002.out", "To: b\n\nsecond\n")

    for keepgoing in (False, True):
        appended = []

        def append():
            if not appended:  # the first DATA of the run only, whatever the connection
                appended.append(1)
                with open(spool / "m0001.out", "a") as f:
                    f.write("the rest\n")
            return b"354 go\r\n"
        r = relay(replies={"DATA": append})
        result = run_sendal(workdir, [f"127.0.0.1 {r.port}" + (",-keepgoing" if keepgoing else "")])
        assert b"Changed while sending: m0001.out!" in result.log
        assert all(not m[2].startswith(b"To: b\r\n\r\nDear Bob") for m in r.messages)
        assert (spool / "m0001.out").read_text() == "To: b\n\nDear Bob,\nthe rest\n" + ("the rest\n" if keepgoing else "")
        # Without -keepgoing the run ends there; with it, the run goes on over a new connection.
        assert left(workdir) == (["m0001.out"] if keepgoing else ["m0001.out", "m0002.out"])


def test_file_a_writer_holds_open_waits_until_complete(workdir, relay):
    spool = workdir / "spool"
    spool.mkdir()
    writer = open(spool / "m0001.out", "w")
    writer.write("To: b\n\nDear Bob,\n")
    writer.flush()
    r = relay()
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)])
    assert b"Waiting: m0001.out is still being written!" in result.log and r.messages == []
    writer.write("the rest, three seconds later\n")
    writer.close()
    r = relay()
    run_sendal(workdir, ["127.0.0.1", str(r.port)])
    assert r.messages[0][2] == b"To: b\r\n\r\nDear Bob,\r\nthe rest, three seconds later\r\n"
    assert left(workdir) == []


def test_symbolic_link_is_kept_and_its_target_untouched(workdir, relay):
    target = workdir / "secret.txt"
    target.write_text("To: b\n\nnot for the relay\n")
    (workdir / "spool").mkdir()
    os.symlink(target, workdir / "spool" / "m0001.out")
    r = relay()
    result = run_sendal(workdir, ["127.0.0.1", str(r.port)])
    assert b"Kept: m0001.out is a symbolic link!" in result.log
    assert r.messages == [] and target.read_text() == "To: b\n\nnot for the relay\n"
    assert os.path.islink(workdir / "spool" / "m0001.out")


def test_twin_in_another_letter_case_is_not_deleted_for_the_other(workdir, relay):
    write_spool(workdir / "spool", "M0001.OUT", "To: b\n\nupper\n")
    write_spool(workdir / "spool", "m0001.out", "To: b\n\nlower\n")
    r = relay(replies={"END#2": b"554 not this one\r\n"})
    run_sendal(workdir, ["127.0.0.1", str(r.port)])
    sent = r.messages[0][2]
    assert len(r.messages) == 1
    kept = "lower" if b"upper" in sent else "upper"
    assert [p.read_text() for p in (workdir / "spool").iterdir()] == [f"To: b\n\n{kept}\n"]


class TestKeepGoingAgainstPostfix:
    SPOOL = {
        "m0001.out": "From: a@example.org\nTo: good@example.test\n\none {tag}\n",
        "m0002.out": "From: a@example.org\nTo: nobody@example.test\n\ntwo {tag}\n",
        "m0003.out": "From: a@example.org\nTo: good@example.test\n\n" + "three {tag}\n" * 3000,
        "m0004.out": "From: a@example.org\nTo: dave@example.test, nobody@example.test\n\nfour {tag}\n",
        "m0005.out": "From: a@example.org\nTo: good@example.test\n\nfive {tag}\n",
    }

    def fill(self, workdir, tag):
        for name, text in self.SPOOL.items():
            write_spool(workdir / "spool", name, text.format(tag=tag))

    @pytest.mark.parametrize("options", ["", ",-ehlo"])
    def test_refused_files_stay_and_the_rest_go(self, tmp_path, postfix, options):
        tag = "keep" + options.strip(",-")
        work = tmp_path / "work"
        self.fill(work, tag)
        for run in (1, 2):
            result = run_sendal(work, [f"127.0.0.1 {postfix.ports['strict']}{options} -keepgoing"
                                       if options else f"127.0.0.1 {postfix.ports['strict']},-keepgoing"])
            assert left(work) == ["m0002.out", "m0003.out", "m0004.out"]
            for name in left(work):
                assert (work / "spool" / name).read_text() == self.SPOOL[name].format(tag=tag)
            log = result.log_messages()
            for name in ("m0002.out", "m0004.out"):
                assert any(m.startswith(b"Not sent: " + name.encode() + b" (5") for m in log), \
                    b"\n".join(log).decode()
            assert any(m.startswith(b"Sent: m0005.out (250 2.0.0 Ok: ") and b"queued as " in m
                       for m in log) == (run == 1)
            assert (b"Sent: m0001.out" in b"\n".join(log)) == (run == 1)
        delivered = b"".join(postfix.delivered(2, "good@example.test"))
        assert delivered.count(f"one {tag}".encode()) == 1 and delivered.count(f"five {tag}".encode()) == 1
        assert f"three {tag}".encode() not in delivered
        assert postfix.delivered(0, "dave@example.test", timeout=1) == []  # all or nothing

    def test_without_keepgoing_the_run_ends_at_the_refusal(self, tmp_path, postfix):
        work = tmp_path / "work"
        self.fill(work, "stop")
        result = run_sendal(work, [f"127.0.0.1 {postfix.ports['strict']},-ehlo"])
        assert left(work) == ["m0002.out", "m0003.out", "m0004.out", "m0005.out"]
        assert result.log_messages()[-2].startswith(b"Not sent: m0002.out (550 5.1.1")


def test_file_appended_while_sent_as_chunks_gets_no_last_chunk(workdir, relay):
    spool = workdir / "spool"
    write_spool(spool, "m0001.out", "To: b\n\nDear Bob,\n")
    write_spool(spool, "m0002.out", "To: b\n\nsecond\n")

    def append():
        with open(spool / "m0001.out", "a") as f:
            f.write("the rest\n")
        return b"250 ok\r\n"
    r = relay(chunking=True, replies={"RCPT#1": append})
    result = run_sendal(workdir, [f"127.0.0.1 {r.port},-ehlo -keepgoing"])
    assert b"Changed while sending: m0001.out!" in result.log_messages()
    # BDAT needs no new connection: RSET ends the transaction and the next file follows.
    assert [m[2] for m in r.messages] == [b"To: b\r\n\r\nsecond\r\n"]
    assert b"BDAT" in r.received and b"LAST" not in r.received.split(b"RSET")[0]
    assert left(workdir) == ["m0001.out"]
