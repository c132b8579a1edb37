"""A queue that answers why, backs off, fails over and reports: the reason of every try on every
file it concerned, next-try times a timer's run keeps to, a second relay when the first is
down, pacing a sliding-window relay accepts, stuck and clear notices, JSON lines and a metrics
file a Prometheus parser reads; what a relay asks (HELO for a relay without EHLO, a new
connection after its 421)."""
import json
import os
import shutil
import tempfile
import time

import pytest
from aiosmtpd.controller import Controller

from conftest import ScriptedRelay, free_port, run_sendal, serve_aiosmtpd, write_spool

GOOD = "good@example.test"


def config(work, port, hosts=("127.0.0.1",), extra="", account=""):
    path = work / "config.toml"
    listed = ", ".join(f'"{h}"' for h in hosts)
    path.write_text(f'spool = "{work}/spool"\n{extra}\n[accounts.hub]\nhost = [{listed}]\nport = {port}\n'
                    f'security = "plain"\ndefault = true\n{account}')
    path.chmod(0o600)
    return path


def fill(work, count, to=GOOD, tag="fleet"):
    for i in range(1, count + 1):
        write_spool(work / "spool", f"m{i:04d}.out",
                    f"From: a@example.org\nTo: {to}\nSubject: {tag} {i}\n\n{tag} message {i}\n")


def left(work):
    spool = work / "spool"
    return sorted(p.name for p in spool.iterdir() if p.is_file()) if spool.exists() else []


def send(work, path, *words):
    return run_sendal(work, ["--send", f"--config={path}", "-exitcode", *words])


def queue_json(work, path):
    result = run_sendal(work, ["--queue", "--json", f"--config={path}"], console=False)
    return [json.loads(line) for line in result.stdout.decode().splitlines()]


@pytest.fixture
def stopped_postfix():
    """A private Postfix made but not started: its ports are down until the test starts it."""
    from privatepostfix import PrivatePostfix, available
    if not available():
        pytest.skip("needs postfix and root")
    folder = tempfile.mkdtemp(prefix="sendal-postfix-")
    server = PrivatePostfix(folder)
    yield server
    if getattr(server, "master", None):
        server.stop()
    shutil.rmtree(folder, ignore_errors=True)


def test_relay_down_then_back_keeps_to_the_next_try(workdir, stopped_postfix):
    path = config(workdir, stopped_postfix.ports["plain"], extra='retry_min = "1h"')
    fill(workdir, 10)
    down = send(workdir, path)
    assert down.returncode == 75 and left(workdir) == [f"m{i:04d}.out" for i in range(1, 11)]
    shown = run_sendal(workdir, ["--queue", f"--config={path}"], console=False).stdout.decode()
    refused = f"Connection failure: 127.0.0.1 port {stopped_postfix.ports['plain']}: Connection refused"
    assert shown.count(refused) == 10 and shown.count("(account hub)") == 10 and "next try" in shown
    assert "\r" not in shown  # lines for programs end in LF alone
    entries = queue_json(workdir, path)
    assert [e["name"] for e in entries] == left(workdir)
    assert all(e["tries"] == 1 and e["next_try"] > e["last_try"] and refused in e["reason"] for e in entries)

    stopped_postfix.start()
    early = send(workdir, path)
    assert early.returncode == 0 and len(left(workdir)) == 10
    assert b"10 file(s) wait for their next try, the first till " in early.stdout
    assert b"SMTP starting" not in early.stdout  # not even a connection
    now = send(workdir, path, "--now")
    assert now.returncode == 0 and left(workdir) == []
    assert len(stopped_postfix.delivered(10, GOOD)) == 10
    time.sleep(1)
    assert stopped_postfix.log().count("message-id=") == 10


def test_second_hub_takes_every_file_once(workdir, postfix):
    # Nothing listens on 127.0.0.2 at Postfix's port: the first hub is down.
    path = config(workdir, postfix.ports["plain"], hosts=("127.0.0.2", "127.0.0.1"))
    before = postfix.log().count("message-id=")
    fill(workdir, 6, tag="failover")
    result = send(workdir, path)
    assert result.returncode == 0 and left(workdir) == []
    log = result.log_messages()
    assert any(m.startswith(b"[hub] Connection failure: 127.0.0.2 port ") for m in log)
    assert f"[hub] Next relay: 127.0.0.1 port {postfix.ports['plain']}".encode() in log
    time.sleep(1)
    assert postfix.log().count("message-id=") - before == 6


def test_relay_refusing_the_greeting_gives_way_to_the_next(workdir):
    first = ScriptedRelay(greeting=b"421 4.3.2 busy, try another\r\n")  # on 127.0.0.1
    kept = []

    class Keep:
        async def handle_DATA(self, server, session, envelope):
            kept.append(envelope.original_content)
            return "250 OK"

    second = Controller(Keep(), hostname="127.0.0.2", port=first.port)
    second.start()
    try:
        path = config(workdir, first.port, hosts=("127.0.0.1", "127.0.0.2"))
        fill(workdir, 2)
        result = send(workdir, path)
    finally:
        second.stop()
        first.close()
    assert result.returncode == 0 and left(workdir) == [] and len(kept) == 2
    assert f"[hub] Next relay: 127.0.0.2 port {first.port}".encode() in result.log_messages()


class SlidingWindow:
    """aiosmtpd that allows `limit` messages in any 60 seconds, counted at MAIL by its own clock."""

    def __init__(self, limit):
        self.limit, self.times, self.throttled, self.messages = limit, [], 0, 0

    async def handle_MAIL(self, server, session, envelope, address, options):
        now = time.monotonic()
        self.times = [t for t in self.times if now - t < 60]
        if len(self.times) >= self.limit:
            self.throttled += 1
            return "451 4.7.500 throttled"
        self.times.append(now)
        envelope.mail_from = address
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.messages += 1
        return "250 OK"


@pytest.mark.slow
def test_rate_keeps_to_a_sliding_minute(workdir):
    yield_handler = serve_aiosmtpd(SlidingWindow(30))
    window = next(yield_handler)
    try:
        fill(workdir, 31)
        result = run_sendal(workdir, [f"127.0.0.1 {window.port},-rate=30 -ehlo -exitcode"], console=False)
    finally:
        next(yield_handler, None)
    assert window.throttled == 0 and window.messages == 31
    assert result.returncode == 0 and left(workdir) == []


class Refusing:
    """aiosmtpd that refuses every recipient with a 4xx until `accepting` is set."""

    def __init__(self):
        self.accepting, self.messages = False, []

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if not self.accepting:
            return "450 4.2.0 mailbox busy"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.messages.append(envelope.original_content)
        return "250 OK"


@pytest.fixture
def refusing():
    yield from serve_aiosmtpd(Refusing())


def test_stuck_and_clear_notices_json_and_metrics(workdir, refusing):
    from prometheus_client.parser import text_string_to_metric_families
    events = workdir / "events"
    metrics = workdir / "sendal.prom"
    path = config(workdir, refusing.port,
                  extra=f'alert_after = "1m"\nmetrics_file = "{metrics}"\n'
                        f'notify_command = \'echo "$SENDAL_EVENT $SENDAL_FILE" >> {events}\'',
                  account='retry_min = "1s"\n')
    fill(workdir, 3)
    old = time.time() - 3600
    for name in left(workdir):
        os.utime(workdir / "spool" / name, (old, old))  # queued an hour ago: stuck
    for _ in range(2):  # the second run tells nothing again
        assert send(workdir, path, "--now", "-keepgoing").returncode == 75
    lines = events.read_text().splitlines()
    assert [l.split()[0] for l in lines] == ["stuck"] * 3
    assert sorted(os.path.basename(l.split()[1]) for l in lines) == left(workdir)

    families = {f.name: f for f in text_string_to_metric_families(metrics.read_text())}
    value = {f: {s.labels.get("account", ""): s.value for s in families[f].samples} for f in families}
    assert value["sendal_files_waiting"]["hub"] == 3 and value["sendal_files_held"]["hub"] == 0
    assert value["sendal_oldest_file_age_seconds"]["hub"] >= 3600
    assert value["sendal_run_refused_messages"]["hub"] == 3 and value["sendal_run_sent_messages"]["hub"] == 0

    entries = queue_json(workdir, path)
    shown = run_sendal(workdir, ["--queue", f"--config={path}"], console=False).stdout.decode()
    assert len(entries) == 3
    for entry in entries:
        assert entry["account"] == "hub" and entry["tries"] == 2 and entry["recipients"] == [GOOD]
        assert entry["reason"] == "450 4.2.0 mailbox busy" and not entry["held"]
        assert f"{entry['name']}  " in shown and entry["reason"] in shown

    refusing.accepting = True
    assert send(workdir, path, "--now", "-keepgoing").returncode == 0 and left(workdir) == []
    assert events.read_text().splitlines()[3:] == [f"clear {workdir}/spool"]
    families = {f.name: f for f in text_string_to_metric_families(metrics.read_text())}
    sent = {s.labels["account"]: s.value for s in families["sendal_run_sent_messages"].samples}
    delivered = {s.labels["account"]: s.value for s in families["sendal_last_delivery_timestamp_seconds"].samples}
    assert sent["hub"] == 3 and abs(delivered["hub"] - time.time()) < 300


def test_relay_without_ehlo_gets_helo(workdir):
    relay = ScriptedRelay(replies={"EHLO": b"502 5.5.1 not implemented\r\n"})
    fill(workdir, 2)
    result = run_sendal(workdir, [f"127.0.0.1 {relay.port},-ehlo -exitcode"])
    relay.close()
    assert result.returncode == 0 and left(workdir) == [] and len(relay.messages) == 2
    commands = relay.commands()
    assert commands[0].startswith(b"EHLO ") and commands[1].startswith(b"HELO ")


def test_relay_closing_after_seven_messages_takes_the_rest_over_a_new_connection(workdir):
    relay = ScriptedRelay(replies={"MAIL#8": ("then close", b"421 4.7.0 too many messages in this connection\r\n")})
    fill(workdir, 10)
    result = run_sendal(workdir, [f"127.0.0.1 {relay.port},-keepgoing -exitcode"])
    relay.close()
    assert left(workdir) == [] and result.returncode == 0
    subjects = sorted(m[2].split(b"Subject: ")[1].split(b"\r\n")[0] for m in relay.messages)
    assert subjects == sorted(f"fleet {i}".encode() for i in range(1, 11))  # each once
    assert b"Closed by the relay before m0008.out: it goes over a new connection" in result.stdout


def test_empty_spool_and_no_relay_is_no_failure(workdir):
    (workdir / "spool").mkdir()
    result = run_sendal(workdir, [f"127.0.0.1 {free_port()},-exitcode"])
    assert result.returncode == 0 and b"Connection failure: " in result.stdout


def test_relay_limits_are_kept_to(workdir):
    relay = ScriptedRelay(replies={"EHLO": b"250-scripted relay\r\n250 LIMITS MAILMAX=3 RCPTMAX=2\r\n"})
    fill(workdir, 4)
    write_spool(workdir / "spool", "m0005.out", "From: a@example.org\nTo: x@example.test, y@example.test, "
                "z@example.test\nSubject: three\n\nthree recipients\n")
    result = run_sendal(workdir, [f"127.0.0.1 {relay.port},-ehlo -exitcode"])
    relay.close()
    assert result.returncode == 0 and left(workdir) == []
    sessions = bytes(relay.received).split(b"EHLO ")[1:]
    assert all(s.count(b"MAIL FROM:") <= 3 for s in sessions) and len(sessions) >= 2
    for transaction in bytes(relay.received).split(b"MAIL FROM:")[1:]:
        assert transaction.count(b"RCPT TO:") <= 2
    assert sum(s.count(b"RCPT TO:") for s in sessions) == 7


def test_host_form_writes_its_metrics_while_confined(workdir, recorder):
    from prometheus_client.parser import text_string_to_metric_families
    (workdir / "metrics").mkdir()
    metrics = workdir / "metrics" / "sendal.prom"
    fill(workdir, 2)
    result = run_sendal(workdir, [f"127.0.0.1 {recorder.port},-metrics={metrics} -exitcode"])
    assert result.returncode == 0 and left(workdir) == [] and b"Can't write the metrics" not in result.log
    families = {f.name: f for f in text_string_to_metric_families(metrics.read_text())}
    assert [s.value for s in families["sendal_run_sent_messages"].samples] == [2]
