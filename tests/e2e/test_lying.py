"""Relays that lie: a success that comes before the relay can have the text, then a reset, or a
refusal once the text is in; early chunk replies with CHUNKING; a TLS relay that floods one
line. The file is kept every time and nothing is logged as sent."""
import os
import signal
import socket
import ssl
import sys
import threading
import time

import pytest

from conftest import BINARY, ROOT, note_peak_memory, run_sendal, write_spool

sys.path.insert(0, str(ROOT / "tools"))
from testca import TestCA  # noqa: E402

PROTOCOL = 76
OUT_OF_TURN = b"Reply out of turn from relay: 250 early ok!"


def big_file(workdir, megabytes):
    line = b"0123456789" * 7 + b"\n"
    body = line * (megabytes * 1024 * 1024 // len(line))
    return write_spool(workdir / "spool", "m0001.out", b"From: a@x\nTo: b@y\n\n" + body)


def assert_kept(workdir, result, original, code=PROTOCOL):
    assert result.returncode == code, result.log
    assert (workdir / "spool" / "m0001.out").read_bytes() == original
    assert not any(m.startswith(b"Sent:") for m in result.log_messages()), result.log


MODES = {"lock-step": ([], {}), "pipelined": (["-ehlo"], {"pipelining": True})}


@pytest.mark.parametrize("mode", MODES)
def test_early_success_then_reset_keeps_the_file(workdir, relay, mode):
    options, kwargs = MODES[mode]
    r = relay(replies={"DATA": b"354 go ahead\r\n250 early ok\r\n"},
              data_fault=(64 * 1024, "reset"), **kwargs)
    original = big_file(workdir, 8).read_bytes()
    result = run_sendal(workdir, ["127.0.0.1", str(r.port), "-exitcode", *options])
    assert_kept(workdir, result, original)
    assert OUT_OF_TURN in result.log_messages()
    assert b"Not sent: m0001.out" in result.log_messages()


@pytest.mark.parametrize("mode", MODES)
def test_early_success_then_refusal_keeps_the_file(workdir, relay, mode):
    options, kwargs = MODES[mode]
    r = relay(replies={"DATA": b"354 go ahead\r\n250 early ok\r\n", "END": b"550 no thanks\r\n"},
              **kwargs)
    original = write_spool(workdir / "spool", "m0001.out", "From: a@x\nTo: b@y\n\nhello\n").read_bytes()
    result = run_sendal(workdir, ["127.0.0.1", str(r.port), "-exitcode", *options])
    assert_kept(workdir, result, original)
    assert OUT_OF_TURN in result.log_messages()
    assert b"QUIT" not in r.commands()  # the 550 is never taken for QUIT's reply


def test_early_chunk_replies_then_reset_keep_the_file(workdir, relay):
    early = b"250 ok\r\n" + b"250 early ok\r\n" * 8
    r = relay(chunking=True, replies={"RCPT": early}, data_fault=(32 * 1024, "reset"))
    original = big_file(workdir, 6).read_bytes()
    result = run_sendal(workdir, ["127.0.0.1", str(r.port), "-exitcode"])
    assert_kept(workdir, result, original)


def test_refusal_in_the_text_is_still_the_relays_last_word(workdir, relay):
    """A relay that refuses in the middle of the text and hangs up: the refusal stands."""
    r = relay(data_fault=(64 * 1024, ("then close", b"552 too much\r\n")))
    original = big_file(workdir, 8).read_bytes()
    result = run_sendal(workdir, ["127.0.0.1", str(r.port), "-exitcode"])
    assert_kept(workdir, result, original, code=69)
    assert b"Not sent: m0001.out (552 too much)" in result.log_messages()


def test_no_recipient_but_a_go_ahead_gets_a_lone_dot(workdir, relay):
    """Pipelined, a relay that answers DATA with 354 although it refused every recipient gets
    an empty text; the file stays with the same exit code as one command at a time."""
    codes = {}
    for mode in MODES:
        options, kwargs = MODES[mode]
        folder = workdir / mode
        folder.mkdir()
        r = relay(replies={"RCPT": b"450 not now\r\n", "DATA": b"354 go ahead\r\n"}, **kwargs)
        write_spool(folder / "spool", "m0001.out", "From: a@x\nTo: b@y\n\nhello\n")
        result = run_sendal(folder, ["127.0.0.1", str(r.port), "-exitcode", *options])
        codes[mode] = result.returncode
        assert (folder / "spool" / "m0001.out").exists()
        if mode == "pipelined":
            assert b"DATA\r\n.\r\n" in bytes(r.received)
    assert codes == {"lock-step": 75, "pipelined": 75}


# A TLS relay that sends "220 " and then bytes without a line end for ever.
def flood_over(context):
    listener = socket.create_server(("127.0.0.1", 0))

    def serve():
        try:
            conn, _ = listener.accept()
            stream = context.wrap_socket(conn, server_side=True) if context else conn
            stream.sendall(b"220 ")
            block = b"x" * 16384
            while True:
                stream.sendall(block)
        except (OSError, ssl.SSLError):
            pass
    threading.Thread(target=serve, daemon=True).start()
    return listener


def peak_while_flooded(workdir, listener, options, seconds=8):
    peak = {"kb": 0}
    start = time.monotonic()

    def sample(proc):
        note_peak_memory(proc.pid, peak)
        if time.monotonic() - start > seconds:
            os.kill(proc.pid, signal.SIGTERM)
            return True
        return False
    write_spool(workdir / "spool", "m0001.out", "To: b\n\nx\n")
    run_sendal(workdir, [f"127.0.0.1 {listener.getsockname()[1]},{options}"], while_running=sample)
    listener.close()
    return peak["kb"]


def test_tls_flood_of_one_line_stays_within_the_plain_bound(workdir, tmp_path_factory):
    if "build-asan" in BINARY or "build-tsan" in BINARY:
        pytest.skip("a sanitizer's own memory says nothing of sendal's")
    ca = TestCA(tmp_path_factory.mktemp("ca"))
    cert = ca.relay_cert("relay")
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(str(cert[0]), str(cert[1]))
    (workdir / "plain").mkdir()
    (workdir / "tls").mkdir()
    plain = peak_while_flooded(workdir / "plain", flood_over(None), "-ehlo")
    tls = peak_while_flooded(workdir / "tls", flood_over(context), "-tls -noverify")
    print("peak KiB: plain", plain, "tls", tls)
    assert 0 < plain and 0 < tls <= plain + 2048, (plain, tls)


def test_a_reply_given_twice_deletes_nothing_on_a_recipients_reply(workdir, relay):
    """BDAT streams envelopes and ends without a go-ahead between them: a relay that answers one
    MAIL FROM twice shifts every later reply by one. The enhanced status of a recipient's 250
    (2.1.5) arriving for an end of data shows it; no file is deleted on it, and the relay's
    refusal of the last end is never mistaken for a success."""
    for i in (1, 2, 3):
        write_spool(workdir / "spool", f"m000{i}.out", f"From: a@x\nTo: b@y\n\nmessage {i}\n")
    r = relay(chunking=True, replies={
        "EHLO": b"250-relay\r\n250-PIPELINING\r\n250-ENHANCEDSTATUSCODES\r\n250 CHUNKING\r\n",
        "MAIL": b"250 2.1.0 ok\r\n", "MAIL#2": b"250 2.1.0 ok\r\n250 2.1.0 ok\r\n",
        "RCPT": b"250 2.1.5 ok\r\n", "BDAT": b"250 2.0.0 chunk\r\n", "END": b"250 2.0.0 queued\r\n",
        "END#3": b"554 5.0.0 not this one\r\n"})
    result = run_sendal(workdir, [f"127.0.0.1 {r.port},-ehlo -keepgoing -exitcode"])
    log = result.log_messages()
    assert b"Reply out of step from relay: 250 2.1.5 ok!" in log
    assert result.returncode == PROTOCOL
    assert sorted(p.name for p in (workdir / "spool").iterdir()) in (["m0002.out", "m0003.out"], ["m0003.out"])
    assert b"Sent: m0001.out (250 2.0.0 queued)" in log and not any(m.startswith(b"Sent: m0003") for m in log)
