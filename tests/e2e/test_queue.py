"""A queue the user can see and steer: the listing with why each file waits, holds of files the
relay will never take with one notice, release, damaged records, pacing, the journal line and
delivery-notice requests."""
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time

import pytest
from aiosmtpd.controller import Controller

from conftest import BINARY, free_port, record_path, run_sendal, state_folder, write_spool

ENQUEUE = os.path.join(os.path.dirname(BINARY), "sendal-enqueue")


class Judging:
    """aiosmtpd that refuses RCPT for `refused` addresses with their reply and records arrivals."""

    def __init__(self, refused=None):
        self.refused = dict(refused or {})
        self.messages, self.mail_times = [], []
        self.controller = Controller(self, hostname="127.0.0.1", port=free_port())
        self.controller.start()
        self.port = self.controller.port

    async def handle_MAIL(self, server, session, envelope, address, options):
        self.mail_times.append(time.monotonic())
        envelope.mail_from = address
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, options):
        if address in self.refused:
            return self.refused[address]
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.messages.append(envelope.original_content)
        return "250 OK"

    def stop(self):
        self.controller.stop()


REJECT = "550 5.1.1 <gone@example.org>: Recipient address rejected"
LATER = "450 4.2.0 <busy@example.org>: Greylisted"


def five(workdir):
    to = ["a@example.org", "gone@example.org", "b@example.org", "busy@example.org", "c@example.org"]
    for i, address in enumerate(to, 1):
        write_spool(workdir / "spool", f"m000{i}.out",
                    f"From: alice@example.org\nTo: {address}\nSubject: note {i}\n\ntext {i}\n")


def names(folder):
    return sorted(p.name for p in folder.iterdir() if not p.name.startswith(".") and p.is_file())


def listing(workdir):
    result = run_sendal(workdir, ["--queue"], console=False)
    assert result.returncode == 0
    return result.stdout.decode()


def test_holds_notices_listing_and_release(workdir):
    relay = Judging({"gone@example.org": REJECT, "busy@example.org": LATER})
    notices = workdir / "notices"
    env = {"SENDAL_NOTIFY_COMMAND": f'printf "%s|%s|%s|%s|%s\\n" "$SENDAL_FILE" "$SENDAL_REASON" '
                                    f'"$SENDAL_FROM" "$SENDAL_RECIPIENTS" "$SENDAL_SUBJECT" >> {notices}'}
    five(workdir)
    try:
        first = run_sendal(workdir, [f"127.0.0.1 {relay.port},-keepgoing -ehlo"], env=env)
        assert names(workdir / "spool") == ["m0002.out", "m0004.out"]
        shown = listing(workdir)
        assert "2 waiting in" in shown
        assert "m0002.out" in shown and "tries 1" in shown and REJECT in shown and LATER in shown
        assert "from alice@example.org  to gone@example.org" in shown
        # With -hold the refused file goes to held/ with its notice, the deferred one stays.
        second = run_sendal(workdir, [f"127.0.0.1 {relay.port},-keepgoing -ehlo -hold -exitcode"], env=env)
        assert names(workdir / "spool") == ["m0004.out"]
        assert names(workdir / "spool" / "held") == ["m0002.out"]
        assert f"Held: m0002.out ({REJECT})".encode() in second.log_messages()
        third = run_sendal(workdir, [f"127.0.0.1 {relay.port},-keepgoing -ehlo -hold"], env=env)
        assert not any(line.startswith(b"Held") for line in third.log_messages())
        lines = notices.read_text().splitlines()
        assert lines == [f"{workdir}/spool/held/m0002.out|{REJECT}|alice@example.org|gone@example.org|note 2"]
        shown = listing(workdir)
        assert "tries 3" in shown and "1 held in" in shown
        # Released, and taken this time: delivered once.
        released = run_sendal(workdir, ["--release", "m0002.out"], console=False)
        assert released.returncode == 0 and b"Released: m0002.out as m0005.out" in released.stdout
        relay.refused.pop("gone@example.org")
        before = len(relay.messages)
        run_sendal(workdir, [f"127.0.0.1 {relay.port},-keepgoing -ehlo -hold"], env=env)
        assert len(relay.messages) == before + 1 and b"text 2" in relay.messages[-1]
        assert names(workdir / "spool") == ["m0004.out"] and names(workdir / "spool" / "held") == []
    finally:
        relay.stop()
    # Only held files can be removed.
    assert run_sendal(workdir, ["--remove", "m0004.out"], console=False).returncode == 66
    assert names(workdir / "spool") == ["m0004.out"]


def test_removing_a_held_file(workdir):
    (workdir / "spool" / "held").mkdir(parents=True)
    (workdir / "spool" / "held" / "m0001.out").write_text("To: x@example.org\n\nx\n")
    result = run_sendal(workdir, ["--remove", "m0001.out"], console=False)
    assert result.returncode == 0 and names(workdir / "spool" / "held") == []


def test_damaged_records_lose_nothing_and_send_nothing_twice(workdir):
    relay = Judging({"gone@example.org": REJECT, "busy@example.org": LATER})
    five(workdir)
    try:
        run_sendal(workdir, [f"127.0.0.1 {relay.port},-keepgoing -ehlo"])
        record_path(workdir / "spool" / "m0002.out").write_bytes(b"\x00garbage\nsendal-state 2\ntries=")
        record_path(workdir / "spool" / "m0004.out").unlink()
        shown = listing(workdir)
        assert "m0002.out" in shown and "m0004.out" in shown and "not tried yet" in shown
        relay.refused.clear()
        run_sendal(workdir, [f"127.0.0.1 {relay.port},-keepgoing -ehlo"])
    finally:
        relay.stop()
    bodies = sorted(m.split(b"\r\n\r\n", 1)[1] for m in relay.messages)
    assert bodies == [b"text %d\r\n" % i for i in range(1, 6)]  # each once
    assert sorted(p.name for p in (workdir / "spool").iterdir()) == []
    assert [p.name for p in state_folder(workdir / "spool").iterdir()] == ["path"]


def test_enqueue_bp_lists_the_configured_spool(workdir):
    five(workdir)
    done = subprocess.run([ENQUEUE, "-bp", "-d", str(workdir / "spool")], capture_output=True, timeout=60)
    assert done.returncode == 0
    assert done.stdout.decode().count("not tried yet") == 5


def test_rate_paces_the_messages_at_the_relay(workdir):
    relay = Judging()
    for i in range(1, 21):
        write_spool(workdir / "spool", f"m{i:04d}.out", f"From: a@example.org\nTo: b@example.org\n\n{i}\n")
    try:
        result = run_sendal(workdir, [f"127.0.0.1 {relay.port},-ehlo -rate=60 -exitcode"], timeout=240)
    finally:
        relay.stop()
    assert result.returncode == 0 and len(relay.messages) == 20
    gaps = [b - a for a, b in zip(relay.mail_times, relay.mail_times[1:])]
    print(f"gaps between messages: min {min(gaps):.3f} s, max {max(gaps):.3f} s")
    assert min(gaps) > 0.9  # one a second, measured where it counts


def test_syslog_line_per_file(workdir):
    if shutil.which("unshare") is None or subprocess.run(["unshare", "--mount", "true"],
                                                         capture_output=True).returncode != 0:
        pytest.skip("needs a mount namespace of its own")
    relay = Judging({"gone@example.org": REJECT})
    five(workdir)
    folder = tempfile.mkdtemp(prefix="sendal-log-")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    listener.bind(f"{folder}/log")
    listener.settimeout(0.2)
    lines = []

    def collect():
        while not stop.is_set():
            try:
                lines.append(listener.recv(65536).decode())
            except socket.timeout:
                pass
    stop = threading.Event()
    reader = threading.Thread(target=collect)
    reader.start()
    # The run sees our socket as /dev/log, and only it.
    script = (f"mount -t tmpfs none /dev && ln -s {folder}/log /dev/log && "
              f"exec {BINARY} '127.0.0.1 {relay.port},-keepgoing -ehlo -syslog'")
    try:
        subprocess.run(["unshare", "--mount", "sh", "-c", script], cwd=workdir, timeout=120,
                       capture_output=True, stdin=subprocess.DEVNULL)
    finally:
        time.sleep(0.5)
        stop.set()
        reader.join()
        relay.stop()
        listener.close()
        shutil.rmtree(folder, ignore_errors=True)
    assert len(lines) == 5, lines
    for line in lines:
        assert line.startswith("<2") and "sendal[" in line  # facility mail
    sent = [l for l in lines if "status=sent" in l]
    kept = [l for l in lines if "status=kept" in l]
    assert len(sent) == 4 and len(kept) == 1
    assert "file=m0002.out from=alice@example.org to=1 size=" in kept[0]
    assert f'reply="{REJECT}" relay=127.0.0.1' in kept[0]


class DsnRelay:
    @staticmethod
    def make(relay, offers):
        ehlo = b"250-scripted relay\r\n250-PIPELINING\r\n" + (b"250-DSN\r\n" if offers else b"") + b"250 8BITMIME\r\n"
        return relay(replies={"EHLO": ehlo})


@pytest.mark.parametrize("offers", [True, False])
def test_delivery_notices_asked_through_neomutt(workdir, relay, offers):
    if shutil.which("neomutt") is None:
        pytest.skip("needs neomutt")
    spool = workdir / "spool"
    (workdir / "muttrc").write_text(f'set sendmail="{ENQUEUE} -d {spool}"\nset dsn_notify="failure,delay"\n'
                                    'set from="alice@example.org"\nset use_from=yes\n')
    subprocess.run(["neomutt", "-n", "-F", str(workdir / "muttrc"), "-s", "with notices",
                    "bob@example.org", "carol@example.org"], input=b"body\n", cwd=workdir,
                   env={**os.environ, "HOME": str(workdir)}, check=True, capture_output=True, timeout=60)
    r = DsnRelay.make(relay, offers)
    result = run_sendal(workdir, [f"127.0.0.1 {r.port},-ehlo -exitcode"])
    assert result.returncode == 0 and names(spool) == []
    rcpts = [line for line in r.commands() if line.startswith(b"RCPT")]
    if offers:
        assert rcpts == [b"RCPT TO:<bob@example.org> NOTIFY=FAILURE,DELAY ORCPT=rfc822;bob@example.org",
                         b"RCPT TO:<carol@example.org> NOTIFY=FAILURE,DELAY ORCPT=rfc822;carol@example.org"]
    else:
        assert rcpts == [b"RCPT TO:<bob@example.org>", b"RCPT TO:<carol@example.org>"]
        assert result.log_messages().count(b"The relay takes no DSN requests: mail goes without them!") == 1


def test_a_refusal_before_its_command_holds_nothing(workdir, relay):
    """A relay that refuses before it has the command may be refusing anything: the file stays
    in the spool to be tried again, never held."""
    r = relay(replies={"MAIL": b"250 ok\r\n550 5.1.1 refused before it was asked\r\n"})
    write_spool(workdir / "spool", "m0001.out", "From: a@example.org\nTo: b@example.org\n\nx\n")
    result = run_sendal(workdir, [f"127.0.0.1 {r.port},-hold -keepgoing"])
    assert names(workdir / "spool") == ["m0001.out"]
    assert not (workdir / "spool" / "held").exists() or names(workdir / "spool" / "held") == []
    assert not any(line.startswith(b"Held") for line in result.log_messages())
    assert b"Not sent: m0001.out (550 5.1.1 refused before it was asked)" in result.log_messages()


def test_postfix_answers_the_delivery_notices_asked_for(workdir, postfix):
    """The DSN requests reach a real relay: Postfix offers DSN, delivers, and sends the success
    notice the sender asked for, with the envelope id given to sendal-enqueue."""
    spool = workdir / "spool"
    text = b"From: alice@example.test\nTo: bob@example.test\nSubject: notice me\n\nhello\n"
    done = subprocess.run([ENQUEUE, "-d", str(spool), "-N", "success", "-R", "hdrs", "-V", "sendal-dsn-1"],
                          input=text, capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr
    result = run_sendal(workdir, [f"127.0.0.1 {postfix.ports['plain']},-ehlo -exitcode"])
    assert result.returncode == 0 and names(spool) == []
    log = result.log_messages()
    assert any(l.startswith(b"MAIL FROM:<alice@example.test>") and b" RET=HDRS ENVID=sendal-dsn-1" in l for l in log)
    assert b"RCPT TO:<bob@example.test> NOTIFY=SUCCESS ORCPT=rfc822;bob@example.test" in log
    [notice] = postfix.delivered(1, "alice@example.test")
    assert b"Original-Envelope-Id: sendal-dsn-1" in notice and b"Action: delivered" in notice
