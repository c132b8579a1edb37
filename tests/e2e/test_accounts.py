"""One configuration file for every account: `sendal --send` sends each spool file through the
account that serves its sender (a STARTTLS relay with a password, an implicit-TLS relay with
XOAUTH2, a plain default), and sendal-enqueue queues into the configured spool from anywhere.
A broken or unsafe configuration sends nothing."""
import os
import signal
import subprocess
import time

import pytest
from aiosmtpd.controller import Controller

from conftest import BINARY, free_port, run_sendal, write_spool
from test_credentials import TOKEN, OAuthMailbox
from test_tls import PASSWORD, USER, Relay, ca  # noqa: F401  (ca is a fixture)

ENQUEUE = str(os.path.join(os.path.dirname(BINARY), "sendal-enqueue"))

MESSAGES = {
    "m0001.out": "From: Alice <alice@personal.test>\nTo: bob@example.org\nSubject: one\n\npersonal 1\n",
    "m0002.out": "From: carol@work.test\nTo: dave@example.org\nSubject: two\n\nwork 2\n",
    "m0003.out": "From: root\nTo: admin@example.org\nSubject: cron\n\ncron 3\n",
    "m0004.out": "From: Alice <ALICE@Personal.Test>\nTo: erin@example.org\n\npersonal 4\n",
}


def config_text(workdir, ca, personal_port, work_port, default_port=None, extra=""):  # noqa: F811
    text = f"""\
spool = "{workdir}/spool"

[accounts.personal]
host = "127.0.0.1"
port = {personal_port}
security = "starttls"
auth = "plain"
login = "{USER}"
password_command = "echo {PASSWORD}"
from = ["alice@personal.test"]
ca_file = "{ca.ca_file}"

[accounts.work]
host = "127.0.0.1"
port = {work_port}
security = "tls"
auth = "xoauth2"
login = "{USER}"
password_command = "printf '%s\\\\n' {TOKEN}"
from = ["*@work.test"]
ca_file = "{ca.ca_file}"
"""
    if default_port:
        text += f"""
[accounts.fallback]
host = "127.0.0.1"
port = {default_port}
security = "plain"
helo = "cron.example.org"
default = true
"""
    return text + extra


def write_config(workdir, text, mode=0o600):
    path = workdir / "config.toml"
    path.write_text(text)
    path.chmod(mode)
    return path


def fill_spool(workdir, names=MESSAGES):
    for name in names:
        write_spool(workdir / "spool", name, MESSAGES[name])


def send(workdir, config, *options, **kwargs):
    return run_sendal(workdir, ["--send", f"--config={config}", "-exitcode", *options],
                      timeout=180, **kwargs)


def left(workdir):
    return sorted(p.name for p in (workdir / "spool").iterdir() if not p.name.startswith("."))


class Plain:
    """aiosmtpd without TLS or login; a MAIL FROM not in `senders` (when given) gets 553, as a
    provider that checks the sender answers."""

    def __init__(self, senders=None):
        self.messages, self.senders = [], senders
        self.controller = Controller(self, hostname="127.0.0.1", port=free_port())
        self.controller.start()
        self.port = self.controller.port

    async def handle_MAIL(self, server, session, envelope, address, options):
        if self.senders is not None and address not in self.senders:
            return "553 5.7.1 Sender address rejected: not owned by user"
        envelope.mail_from = address
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.messages.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.original_content))
        return "250 OK"

    def stop(self):
        self.controller.stop()


def bodies(messages):
    return [m[-1].split(b"\r\n\r\n", 1)[1] for m in messages]


@pytest.fixture
def relays(ca):  # noqa: F811
    personal, work, fallback = Relay("starttls", ca.good), Relay("tls", ca.good, mailbox=OAuthMailbox()), Plain()
    yield personal, work, fallback
    for relay in (personal, work, fallback):
        relay.stop()


def test_each_file_goes_through_the_account_of_its_sender(workdir, ca, relays):  # noqa: F811
    personal, work, fallback = relays
    config = write_config(workdir, config_text(workdir, ca, personal.port, work.port, fallback.port))
    fill_spool(workdir)
    result = send(workdir, config)
    assert result.returncode == 0, result.log
    assert left(workdir) == []
    assert bodies(personal.mailbox.messages) == [b"personal 1\r\n", b"personal 4\r\n"]
    assert [m[0] for m in personal.mailbox.messages] == [USER.encode()] * 2  # logged in
    assert bodies(work.mailbox.messages) == [b"work 2\r\n"]
    assert work.mailbox.messages[0][3] == MESSAGES["m0002.out"].replace("\n", "\r\n").encode()
    assert [(m[0], m[1]) for m in fallback.messages] == [("root", ["admin@example.org"])]
    log = result.log_messages()
    for name, count in (b"personal", 2), (b"work", 1), (b"fallback", 1):
        assert b"Account %s: 127.0.0.1 port " % name in b"\n".join(log)
        assert any(l.startswith(b"Account " + name) and l.endswith(b", %d file(s)" % count) for l in log)
    for name in (b"personal", b"work", b"fallback"):  # every line of a session names its account
        assert log.count(b"[%s] QUIT" % name) == 1 and log.count(b"[%s] Closed!" % name) == 1
    assert b"[personal] Sent: m0004.out (250 OK)" in log
    assert PASSWORD.encode() not in result.log and TOKEN.encode() not in result.log


def test_a_file_no_account_serves_is_kept_with_its_line(workdir, ca, relays):  # noqa: F811
    personal, work, _ = relays
    config = write_config(workdir, config_text(workdir, ca, personal.port, work.port))
    fill_spool(workdir)
    result = send(workdir, config)
    assert result.returncode == 78
    assert left(workdir) == ["m0003.out"]
    assert (workdir / "spool" / "m0003.out").read_text() == MESSAGES["m0003.out"]
    assert b"No account for root: m0003.out!" in result.log_messages()  # the run's own line
    assert len(personal.mailbox.messages) == 2 and len(work.mailbox.messages) == 1


def test_envelope_from_gets_crons_mail_past_a_sender_check(workdir, tmp_path):
    strict = Plain(senders=["alice@personal.test"])
    try:
        config = write_config(workdir, f'spool = "{workdir}/spool"\n[accounts.p]\nhost = "127.0.0.1"\n'
                              f'port = {strict.port}\nsecurity = "plain"\ndefault = true\n')
        fill_spool(workdir, ["m0003.out"])
        refused = send(workdir, config)
        assert refused.returncode == 69 and left(workdir) == ["m0003.out"]
        config.write_text(config.read_text() + 'envelope_from = "alice@personal.test"\n')
        result = send(workdir, config)
    finally:
        strict.stop()
    assert result.returncode == 0 and left(workdir) == []
    assert [(m[0], m[1]) for m in strict.messages] == [("alice@personal.test", ["admin@example.org"])]


BROKEN = [
    ('frobnicate = 1\n', b"unknown key frobnicate at line 2!"),
    ('[accounts.x]\nhost = "127.0.0.1"\nport = "25"\n', b"port must be a number at line 4!"),
    ('[accounts.x]\nhost = "127.0.0.1"\ndefault = true\n[accounts.y]\nhost = "h"\ndefault = true\n',
     b"a second default account (x is one) at line 5!"),
    ('[accounts.x]\nhost = "127.0.0.1"\npassword = "hunter2"\n',
     b"a password never stands here (use password_command or netrc) at line 4!"),
    ('[accounts.x]\nhost = "127.0.0.1"\nsecurity = "ssl"\n', b"security must be starttls, tls or plain at line 4!"),
    ('[accounts.x\n', b"at line 2!"),
]


@pytest.mark.parametrize("tail,message", BROKEN)
def test_a_broken_configuration_sends_nothing(workdir, relay, tail, message):
    r = relay()
    config = write_config(workdir, f'spool = "{workdir}/spool"\n' + tail.replace('"h"', '"127.0.0.1"'))
    fill_spool(workdir)
    result = send(workdir, config)
    assert result.returncode == 78
    assert result.stdout.startswith(str(config).encode() + b": ") and message in result.stdout
    assert r.received == b"" and left(workdir) == sorted(MESSAGES)


def test_a_configuration_others_may_write_or_own_is_refused(workdir, relay):
    r = relay()
    config = write_config(workdir, f'spool = "{workdir}/spool"\n[accounts.x]\nhost = "127.0.0.1"\n'
                          f'port = {r.port}\nsecurity = "plain"\ndefault = true\n', mode=0o620)
    fill_spool(workdir, ["m0003.out"])
    result = send(workdir, config)
    assert result.returncode == 78 and b"others may write it" in result.stdout
    if os.geteuid() == 0:
        config.chmod(0o600)
        os.chown(config, 65534, 65534)
        result = send(workdir, config)
        assert result.returncode == 78 and b"not your own file!" in result.stdout
    assert r.received == b"" and left(workdir) == ["m0003.out"]


def test_send_takes_only_its_run_options(workdir):
    config = write_config(workdir, f'spool = "{workdir}/spool"\n[accounts.x]\nhost = "127.0.0.1"\n')
    result = run_sendal(workdir, ["--send", f"--config={config}", "-rate=0", "-exitcode"])
    assert result.returncode == 78 and b"Unknown option -rate=0!" in result.stdout


def test_without_a_configuration_send_says_where_it_looked(workdir):
    result = run_sendal(workdir, ["--send", "-exitcode"], env={"SENDAL_CONFIG": "", "HOME": str(workdir),
                                                               "XDG_CONFIG_HOME": str(workdir / "xdg")})
    assert result.returncode == 78
    assert b"No configuration: %s/xdg/sendal/config.toml!" % str(workdir).encode() in result.stdout


def test_enqueue_follows_the_configured_spool_from_anywhere(workdir, tmp_path):
    home = workdir / "home"
    (home / ".config" / "sendal").mkdir(parents=True)
    spool = home / "mail" / "spool"
    write_config(home / ".config" / "sendal", f'spool = "~/mail/spool"\n[accounts.x]\nhost = "127.0.0.1"\n')
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    text = b"From: root\nTo: admin@example.org\nSubject: cron\n\nfrom cron\n"
    # A mail program's environment, and cron's: HOME and PATH only.
    environments = [{**os.environ, "HOME": str(home), "SENDAL_CONFIG": ""},
                    {"HOME": str(home), "PATH": "/usr/bin:/bin"}]
    for env in environments:
        env.pop("XDG_CONFIG_HOME", None)
        done = subprocess.run([ENQUEUE, "-i", "admin@example.org"], input=text, cwd=elsewhere,
                              env=env, capture_output=True, timeout=60)
        assert done.returncode == 0, done.stderr
    assert sorted(p.name for p in spool.iterdir()) == ["m0001.out", "m0002.out"]
    assert not (elsewhere / "spool").exists()


class UnansweredConnect:
    """A port whose connects are never answered: its accept queue is full and never taken, so
    the kernel drops every further SYN (the run's connect waits for its 20 s)."""

    def __init__(self):
        import socket
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(0)
        self.port = self.listener.getsockname()[1]
        self.fillers = []
        for _ in range(3):
            filler = socket.socket()
            filler.setblocking(False)
            filler.connect_ex(("127.0.0.1", self.port))
            self.fillers.append(filler)
        time.sleep(0.2)

    def close(self):
        for s in (*self.fillers, self.listener):
            s.close()


@pytest.mark.parametrize("stall", ["greeting", "connect"])
def test_a_stalled_relay_does_not_hold_back_another_accounts_files(workdir, relay, stall):
    stalled = relay(greeting="silent") if stall == "greeting" else UnansweredConnect()
    working = Plain()
    config = write_config(workdir, f"""spool = "{workdir}/spool"
[accounts.slow]
host = "127.0.0.1"
port = {stalled.port}
security = "plain"
from = ["alice@personal.test"]
[accounts.fast]
host = "127.0.0.1"
port = {working.port}
security = "plain"
default = true
""")
    fill_spool(workdir)
    started = time.monotonic()
    seen = {}

    def stop_once_delivered(proc):
        if len(working.messages) < 2:
            return False
        seen["after"] = time.monotonic() - started
        seen["still running"] = proc.poll() is None
        os.kill(proc.pid, signal.SIGTERM)  # the stalled session would wait out its greeting
        return True
    try:
        result = send(workdir, config, while_running=stop_once_delivered)
    finally:
        working.stop()
        stalled.close()
    print(f"the working relay had its files {seen.get('after', 0):.2f} s after the start")
    assert seen["still running"]  # delivered while the other relay was still being waited for
    assert left(workdir) == ["m0001.out", "m0004.out"]
    assert result.returncode == 75
    assert b"[slow] Stopped by signal 15!" in result.log_messages()


@pytest.fixture(scope="module")
def provider(ca):  # noqa: F811
    """A private Postfix on the submission port of a provider: STARTTLS, AUTH through Dovecot,
    and the sender check (a login may send only as the addresses it owns)."""
    import shutil
    import tempfile
    from privatepostfix import PrivatePostfix, available, dovecot_available
    if not available() or not dovecot_available():
        pytest.skip("needs postfix, dovecot and root")
    folder = tempfile.mkdtemp(prefix="sendal-postfix-")
    cert = ca.relay_cert("provider")
    server = PrivatePostfix(folder, tls=(cert[0], cert[1], ca.ca_file),
                            logins={USER: (PASSWORD, ["alice@example.test"])}).start()
    yield server
    server.stop()
    shutil.rmtree(folder, ignore_errors=True)


def test_a_real_provider_and_an_oauth2_relay_each_get_their_files(workdir, ca, provider):  # noqa: F811
    work = Relay("tls", ca.good, mailbox=OAuthMailbox())
    texts = {"m0001.out": "From: Alice <alice@example.test>\nTo: bob@example.test\nSubject: one\n\nprovider 1\n",
             "m0002.out": "From: carol@work.test\nTo: dave@example.org\nSubject: two\n\nwork 2\n",
             "m0003.out": "From: root\nTo: erin@example.test\nSubject: cron\n\ncron 3\n"}
    for name, text in texts.items():
        write_spool(workdir / "spool", name, text)
    account = f"""spool = "{workdir}/spool"
[accounts.provider]
host = "127.0.0.1"
port = {provider.ports["submission"]}
auth = "plain"
login = "{USER}"
password_command = "echo {PASSWORD}"
from = ["alice@example.test"]
ca_file = "{ca.ca_file}"
default = true
"""
    work_account = f"""
[accounts.work]
host = "127.0.0.1"
port = {work.port}
security = "tls"
auth = "xoauth2"
login = "{USER}"
password_command = "echo {TOKEN}"
from = ["*@work.test"]
ca_file = "{ca.ca_file}"
"""
    try:
        # The provider checks the sender: cron's "root" is not alice's.
        config = write_config(workdir, account + work_account)
        first = send(workdir, config)
        assert first.returncode == 69 and left(workdir) == ["m0003.out"]
        assert any(b"553 5.7.1 <root>: Sender address rejected: not owned by user alice" in line
                   for line in first.log_messages())
        config = write_config(workdir, account + 'envelope_from = "alice@example.test"\n' + work_account)
        second = send(workdir, config)
    finally:
        work.stop()
    assert second.returncode == 0 and left(workdir) == []
    for name, to in (("m0001.out", "bob@example.test"), ("m0003.out", "erin@example.test")):
        [message] = provider.delivered(1, to)
        head, body = texts[name].encode().split(b"\n\n", 1)
        got_head, got_body = message.split(b"\n\n", 1)
        # Byte for byte: the provider adds its lines around the header (Received, Message-Id),
        # and qualifies cron's bare "From: root" with its own domain.
        assert got_body == body
        assert (head + b"\n" in got_head + b"\n") if name == "m0001.out" else b"Subject: cron\n" in got_head
        assert message.startswith(b"Return-Path: <alice@example.test>\n")
    assert [m[3] for m in work.mailbox.messages] == [texts["m0002.out"].replace("\n", "\r\n").encode()]


class RefuseFirst:
    """aiosmtpd's handler that refuses the first message's recipient and keeps the others."""

    def __init__(self):
        self.messages = []
        self.refused = False

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if not self.refused:
            self.refused = True
            return "550 5.1.1 no such user"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.messages.append(envelope.original_content)
        return "250 OK"


@pytest.fixture
def refuse_first():
    from conftest import serve_aiosmtpd
    yield from serve_aiosmtpd(RefuseFirst())


def plain_config(workdir, port):
    path = workdir / "config.toml"
    path.write_text(f'spool = "{workdir}/spool"\n\n[accounts.hub]\nhost = "127.0.0.1"\nport = {port}\n'
                    'security = "plain"\ndefault = true\n')
    path.chmod(0o600)
    return path


# An option word means the same after --send (blanks or commas, any letter case) as in the host
# form, and after --queue it is an option, never a mask.
@pytest.mark.parametrize("words", [["--send", "-KEEPGOING", "-exitcode"], ["--send,-keepgoing,-EXITCODE"]])
def test_send_takes_every_option_word(workdir, refuse_first, words):
    config = plain_config(workdir, refuse_first.port)
    for name in ("m0001.out", "m0002.out"):
        write_spool(workdir / "spool", name, f"From: a@example.org\nTo: b@example.org\n\n{name}\n")
    queued = run_sendal(workdir, ["--queue", "-exitcode", f"--config={config}"])
    assert queued.returncode == 0 and b"2 waiting in " in queued.stdout
    result = run_sendal(workdir, [*words, f"--config={config}"])
    assert b"Usage" not in result.stdout
    assert result.returncode == 69  # -exitcode: a 5xx refusal
    assert (workdir / "spool" / "m0001.out").exists() and not (workdir / "spool" / "m0002.out").exists()
    assert len(refuse_first.messages) == 1  # -keepgoing: the second went


def test_unknown_word_refused_in_every_form(workdir):
    for words in (["127.0.0.1", "-keepgoin", "-exitcode"], ["--send", "-keepgoin"], ["--send,-keepgoin"],
                  ["--queue", "-keepgoin"]):
        result = run_sendal(workdir, words)
        assert b"Unknown option -keepgoin!" in result.stdout, words
        assert result.returncode == 78, words
