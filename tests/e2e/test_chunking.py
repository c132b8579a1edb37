"""CHUNKING: the spool as BDAT chunks, streamed across messages; byte for byte as with DATA
against a real Postfix; refusals leave exactly the right files; a relay that refuses BDAT
gets DATA."""
import time

import pytest

from conftest import Recorder, run_sendal, serve_aiosmtpd, write_spool



def left(workdir):
    return sorted(p.name for p in (workdir / "spool").iterdir())


def wire(text):
    """A spool text as it goes in a BDAT chunk: each line with CR LF, nothing added."""
    data = text.encode() if isinstance(text, str) else text
    data = data.replace(b"\r\n", b"\n").replace(b"\r", b"\n")
    return data.replace(b"\n", b"\r\n")


def test_spool_streams_without_data_and_several_messages_a_write(workdir, relay):
    texts = [f"From: a@x\nTo: b{i}@y\n\n.line with a dot {i}\n..two\n" for i in range(1, 21)]
    for i, text in enumerate(texts, 1):
        write_spool(workdir / "spool", f"m{i:04d}.out", text)
    r = relay(chunking=True, read_pause=0.05)
    result = run_sendal(workdir, [f"127.0.0.1 {r.port},-ehlo"])
    assert left(workdir) == []
    assert [m[2] for m in r.messages] == [wire(t) for t in texts]
    assert b"DATA\r\n" not in r.received and b"BDAT " in r.received
    assert any(c.count(b"MAIL FROM") >= 2 for c in r.chunks)  # messages one after the other
    assert result.log_messages().count(b"QUIT") == 1
    assert [m for m in result.log_messages() if m.startswith(b"Sent: ")] == \
        [b"Sent: m%04d.out (250 queued)" % i for i in range(1, 21)]


class BdatUnknown(Recorder):
    """aiosmtpd, a real server that knows no BDAT, made to offer it (and PIPELINING) all the
    same: it answers BDAT as an unknown command and reads whatever follows as command lines."""

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        return responses[:-1] + ["250-PIPELINING", "250-CHUNKING", responses[-1]]


@pytest.fixture
def bdat_unknown():
    yield from serve_aiosmtpd(BdatUnknown())


# Each message's text holds lines that a relay reading it as commands would take for a new
# recipient or a new message.
TRAP = "To: b@y\n\nRCPT TO:<planted@evil>\nDATA\nmessage {i}\n.\nMAIL FROM:<x@evil>\n"


@pytest.mark.parametrize("keepgoing", [True, False])
def test_relay_that_does_not_understand_bdat_gets_data(tmp_path, bdat_unknown, keepgoing):
    work = tmp_path / "work"
    state = tmp_path / "state"
    for i in (1, 2, 3):
        write_spool(work / "spool", f"m000{i}.out", TRAP.format(i=i))
    args = [f"127.0.0.1 {bdat_unknown.port},-ehlo" + (" -keepgoing" if keepgoing else "")]
    env = {"XDG_STATE_HOME": str(state)}
    first = run_sendal(work, args, env=env)
    assert b"BDAT refused: the rest goes with DATA!" in first.log_messages()
    if not keepgoing:  # the next run knows the relay, and sends with DATA at once
        assert left(work) == ["m0001.out", "m0002.out", "m0003.out"] and bdat_unknown.messages == []
        second = run_sendal(work, args, env=env)
        assert not any(m.startswith(b"BDAT") for m in second.log_messages())
    assert left(work) == []
    assert sorted(m[2].split(b"message ")[1][:1] for m in bdat_unknown.messages) == [b"1", b"2", b"3"]
    for sender, recipients, _ in bdat_unknown.messages:
        assert recipients == ["b@y"] and sender == "<>"
    assert list(state.glob("sendal/relays/*")) != []


def test_nochunking_sends_data(workdir, relay):
    write_spool(workdir / "spool", "m0001.out", "To: b@y\n\nplain\n")
    r = relay(chunking=True)
    run_sendal(workdir, [f"127.0.0.1 {r.port},-ehlo -nochunking"])
    assert b"BDAT" not in r.received and len(r.messages) == 1


@pytest.mark.parametrize("keepgoing", [False, True])
def test_refused_last_chunk_keeps_exactly_that_file(workdir, relay, keepgoing):
    for i in (1, 2, 3):
        write_spool(workdir / "spool", f"m000{i}.out", f"To: b@y\n\nmessage {i}\n")
    r = relay(chunking=True, replies={"END#2": b"554 5.7.1 not this one\r\n"})
    result = run_sendal(workdir, [f"127.0.0.1 {r.port},-ehlo" + (" -keepgoing" if keepgoing else "")])
    # Without -keepgoing the run ends at the refusal, but a file already on the wire is
    # settled as the relay answers it: it is either sent and gone or left, never both.
    delivered = {m[2].split(b"message ")[1][:1].decode() for m in r.messages}
    assert "m0002.out" in left(workdir) and "2" not in delivered
    assert {f"m000{i}.out" for i in delivered}.isdisjoint(left(workdir))
    assert len(delivered) + len(left(workdir)) == 3
    if keepgoing:
        assert left(workdir) == ["m0002.out"]
    assert b"Not sent: m0002.out (554 5.7.1 not this one)" in result.log_messages()


class TestAgainstPostfix:
    def spool(self, workdir, to):
        texts = {}
        for i in range(1, 51):
            body = f"message {i}\n.starts with a dot\n..two dots\n"
            if i % 3 == 0:
                text = f"From: a@example.org\r\nTo: {to}\r\n\r\n" + body.replace("\n", "\r\n")
            elif i % 3 == 1:
                text = f"From: a@example.org\nTo: {to}\n\n" + body
            else:
                text = f"From: a@example.org\rTo: {to}\r\r" + body.replace("\n", "\r")
            if i == 7:
                text += ("twenty megabytes of text " * 4 + "\n") * 200000
            if i == 8:
                text += "w" * (1 << 20) + "x" * 1000 + "\n"  # longer than the reader's window
            texts[f"m{i:04d}.out"] = text.encode()
        for name, text in texts.items():
            write_spool(workdir / "spool", name, text)
        return texts

    def bodies(self, postfix, to, count):
        got = postfix.delivered(count, to, timeout=120)
        return sorted(m.split(b"\n\n", 1)[1] for m in got)

    def test_fifty_messages_byte_for_byte_as_with_data(self, tmp_path, postfix):
        results = {}
        for mode, options in (("chunks", ",-ehlo"), ("data", ",-ehlo -nochunking")):
            work = tmp_path / mode
            to = f"{mode}@example.test"
            self.spool(work, to)
            result = run_sendal(work, [f"127.0.0.1 {postfix.ports['plain']}{options}"], timeout=600,
                                console=False)
            assert left(work) == [], (mode, result.log[-2000:])
            results[mode] = self.bodies(postfix, to, 50)
        assert len(results["chunks"]) == 50 and results["chunks"] == results["data"]
        assert any(b".starts with a dot\n" in b for b in results["chunks"])

    @pytest.mark.parametrize("keepgoing", [False, True])
    def test_refusals_leave_the_right_files(self, tmp_path, postfix, keepgoing):
        work = tmp_path / "work"
        tag = "kg" if keepgoing else "stop"
        write_spool(work / "spool", "m0001.out", f"From: a@example.org\nTo: good@example.test\n\none {tag}\n")
        write_spool(work / "spool", "m0002.out", f"From: a@example.org\nTo: good@example.test\n\ntwo {tag}\n")
        write_spool(work / "spool", "m0003.out", f"From: a@example.org\nTo: nobody@example.test\n\nthree {tag}\n")
        write_spool(work / "spool", "m0004.out",
                    f"From: a@example.org\nTo: erin@example.test, nobody@example.test\n\nfour {tag}\n")
        write_spool(work / "spool", "m0005.out", f"From: a@example.org\nTo: good@example.test\n\nfive {tag}\n")
        options = ",-ehlo" + (" -keepgoing" if keepgoing else "")
        result = run_sendal(work, [f"127.0.0.1 {postfix.ports['strict']}{options}"])
        log = result.log_messages()
        if keepgoing:
            assert left(work) == ["m0003.out", "m0004.out"]
            assert any(m.startswith(b"Not sent: m0003.out (550 5.1.1") for m in log)
            assert any(m.startswith(b"Not sent: m0004.out (550 5.1.1") for m in log)
            mine = lambda: [m for m in postfix.delivered(0, "good@example.test", timeout=0)  # noqa: E731
                            if f" {tag}\n".encode() in m]
            for _ in range(600):
                if len(mine()) >= 3:
                    break
                time.sleep(0.1)
            got = b"".join(mine())
            assert [got.count(f"{n} {tag}".encode()) for n in ("one", "two", "five")] == [1, 1, 1]
        else:
            assert left(work) == ["m0003.out", "m0004.out", "m0005.out"]
            assert log[-2].startswith(b"Not sent: m0003.out (550 5.1.1")
        assert f"four {tag}".encode() not in b"".join(postfix.delivered(0, "erin@example.test", timeout=1))
