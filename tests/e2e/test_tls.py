"""Secure submission against aiosmtpd with certificates of the test's own CA: STARTTLS and
implicit TLS with AUTH, every way the certificate check can fail, the password kept out of
every output, and the plain dialogue unchanged without the new options."""
import os
import signal
import socket
import ssl
import sys
import threading
import time
from pathlib import Path

import pytest
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

from conftest import ROOT, free_port, run_sendal, write_spool

sys.path.insert(0, str(ROOT / "tools"))
from testca import TestCA  # noqa: E402

USER, PASSWORD = "alice", "s3cret-Pa55"


class Mailbox:
    def __init__(self):
        self.messages = []
        self.commands = []

    async def handle_DATA(self, server, session, envelope):
        self.messages.append((session.authenticated and session.auth_data, envelope.mail_from,
                              list(envelope.rcpt_tos), envelope.original_content))
        return "250 OK"


def check_password(server, session, envelope, mechanism, auth_data):
    good = auth_data.login == USER.encode() and auth_data.password == PASSWORD.encode()
    return AuthResult(success=good, handled=False, auth_data=auth_data.login if good else None)


@pytest.fixture(scope="module")
def ca(tmp_path_factory):
    authority = TestCA(tmp_path_factory.mktemp("ca"))
    authority.good = authority.relay_cert("relay")
    authority.other_name = authority.relay_cert("other", names=("mail.example.org",))
    authority.expired = authority.relay_cert("expired", expired=True)
    authority.unknown = TestCA(authority.folder / "unknown", name="someone else").relay_cert("stranger")
    return authority


def server_context(cert):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(str(cert[0]), str(cert[1]))
    return context


class Relay:
    """aiosmtpd with STARTTLS required (mode "starttls"), TLS from the first byte ("tls"), or
    plain text offering no STARTTLS ("plain"); AUTH required in the first two."""

    def __init__(self, mode, cert, auth=True, mailbox=None):
        self.mailbox = mailbox or Mailbox()
        self.port = free_port()
        kwargs = dict(hostname="127.0.0.1", port=self.port, data_size_limit=0)
        if auth:
            kwargs.update(authenticator=check_password, auth_required=True,
                          auth_require_tls=mode == "starttls")  # aiosmtpd sees no TLS on "tls"
        if mode == "starttls":
            kwargs.update(tls_context=server_context(cert), require_starttls=True)
        elif mode == "tls":
            kwargs.update(ssl_context=server_context(cert), server_hostname="127.0.0.1")
        self.controller = Controller(self.mailbox, **kwargs)
        self.controller.start()

    def stop(self):
        self.controller.stop()


def netrc(workdir, mode=0o600, host="127.0.0.1"):
    path = workdir / "netrc"
    path.write_text(f"machine {host} login {USER} password {PASSWORD}\n")
    path.chmod(mode)
    return path


def submit(workdir, ca, port, options, count=3, env=None, body="hello"):
    for i in range(1, count + 1):
        write_spool(workdir / "spool", f"m000{i}.out", f"From: {USER}@example.org\nTo: bob@example.org\n\n{body} {i}\n")
    environment = {"SENDAL_CAFILE": str(ca.ca_file), "SENDAL_NETRC": str(netrc(workdir))}
    environment.update(env or {})
    return run_sendal(workdir, [f"127.0.0.1 {port},{options}"], env=environment, timeout=120)


def left(workdir):
    return sorted(p.name for p in (workdir / "spool").iterdir())


def no_secret(result):
    for output in (result.log, result.stdout, result.console):
        assert PASSWORD.encode() not in output
    import base64
    for secret in (base64.b64encode(PASSWORD.encode()), base64.b64encode(f"\0{USER}\0{PASSWORD}".encode())):
        for output in (result.log, result.stdout, result.console):
            assert secret not in output


@pytest.mark.parametrize("mode,options", [("starttls", "-starttls -auth"), ("tls", "-tls -auth"),
                                          ("starttls", "-starttls -auth=login")])
def test_submission_delivers_authenticated(workdir, ca, mode, options):
    relay = Relay(mode, ca.good)
    try:
        result = submit(workdir, ca, relay.port, options)
    finally:
        relay.stop()
    assert left(workdir) == []
    assert [m[0] for m in relay.mailbox.messages] == [USER.encode()] * 3
    assert [m[3].split(b"\r\n\r\n")[1] for m in relay.mailbox.messages] == \
        [b"hello %d\r\n" % i for i in (1, 2, 3)]
    messages = result.log_messages()
    shown = b"AUTH PLAIN ********" if options.endswith("-auth") else b"********"
    assert shown in messages
    assert messages[-2:] == [b"QUIT", b"Closed!"]
    no_secret(result)


def test_twenty_megabytes_over_tls_arrive_byte_for_byte(workdir, ca):
    relay = Relay("tls", ca.good, auth=False)
    text = "To: b@example.org\n\n" + "".join(f"{i:08d} " + "t" * 90 + "\n" for i in range(200000))
    write_spool(workdir / "spool", "m0001.out", text)
    try:
        run_sendal(workdir, [f"127.0.0.1 {relay.port},-tls"], env={"SENDAL_CAFILE": str(ca.ca_file)})
    finally:
        relay.stop()
    assert relay.mailbox.messages[0][3] == text.replace("\n", "\r\n").encode()
    assert left(workdir) == []


@pytest.mark.parametrize("cert,reason", [("other_name", b"does not match"), ("unknown", b"issuer is unknown"),
                                         ("expired", b"expired")])
def test_untrusted_certificates_send_nothing(workdir, ca, cert, reason):
    for mode, options in (("starttls", "-starttls -auth"), ("tls", "-tls -auth")):
        relay = Relay(mode, getattr(ca, cert))
        try:
            result = submit(workdir, ca, relay.port, options, count=1)
        finally:
            relay.stop()
        messages = result.log_messages()
        assert messages[-2].startswith(b"Certificate not trusted: ") and reason in messages[-2], messages
        if reason == b"issuer is unknown":  # what the user can do about it
            assert b"SENDAL_CAFILE" in messages[-2] and b"-fingerprint=" in messages[-2]
        assert messages[-1] == b"Closed!"
        assert relay.mailbox.messages == [] and left(workdir) == ["m0001.out"]
        assert not any(m.startswith((b"MAIL", b"AUTH")) for m in messages)


def test_relay_without_starttls_gets_nothing(workdir, ca):
    relay = Relay("plain", ca.good)
    try:
        result = submit(workdir, ca, relay.port, "-starttls -auth", count=1)
    finally:
        relay.stop()
    assert result.log_messages()[-2:] == [b"STARTTLS not offered!", b"Closed!"]
    assert relay.mailbox.messages == [] and left(workdir) == ["m0001.out"]


def test_noverify_and_fingerprints(workdir, ca):
    cases = [("-noverify", True), (f"-fingerprint={ca.unknown[2]}", True),
             ("-fingerprint=" + ":".join(ca.unknown[2][i:i + 2] for i in range(0, 64, 2)).upper(), True),
             (f"-fingerprint={ca.good[2]}", False)]
    for option, delivered in cases:
        relay = Relay("tls", ca.unknown, auth=False)
        try:
            result = submit(workdir, ca, relay.port, f"-tls {option}", count=1)
        finally:
            relay.stop()
        assert (relay.mailbox.messages != []) == delivered, option
        assert (b"Certificate not checked!" in result.log_messages()) == (option == "-noverify")
        if not delivered:
            assert result.log_messages()[-2].startswith(b"Certificate not trusted: its fingerprint is ")


def test_refused_auth_keeps_every_file(workdir, ca):
    relay = Relay("starttls", ca.good)
    path = workdir / "wrong"
    path.write_text(f"default login {USER} password wrong\n")
    path.chmod(0o600)
    try:
        result = submit(workdir, ca, relay.port, "-starttls -auth", env={"SENDAL_NETRC": str(path)})
    finally:
        relay.stop()
    assert left(workdir) == ["m0001.out", "m0002.out", "m0003.out"]
    messages = result.log_messages()
    assert messages[-4:-1] == [b"AUTH PLAIN ********", b"535 5.7.8 Authentication credentials invalid",
                               b"Login refused: 535 5.7.8 Authentication credentials invalid"]
    assert not any(m.startswith(b"MAIL") for m in messages)


def test_auth_without_tls(workdir, ca):
    relay = Relay("plain", ca.good)
    try:
        refused = submit(workdir, ca, relay.port, "-auth", count=1)
        assert refused.log_messages() == [b"AUTH needs TLS!"]
        allowed = submit(workdir, ca, relay.port, "-auth -insecureauth", count=1)
    finally:
        relay.stop()
    assert [m[0] for m in relay.mailbox.messages] == [USER.encode()]
    no_secret(allowed)


def test_netrc_readable_by_others_is_refused(workdir, ca, relay):
    r = relay()
    write_spool(workdir / "spool", "m0001.out", "To: b\n\nx\n")
    path = netrc(workdir, mode=0o644)
    result = run_sendal(workdir, [f"127.0.0.1 {r.port},-auth -insecureauth"],
                        env={"SENDAL_NETRC": str(path)})
    assert result.log_messages()[1:] == [f"{path} must be readable by its owner only!".encode(),
                                         b"Closed!"]
    missing = run_sendal(workdir, [f"127.0.0.1 {r.port},-auth -insecureauth"],
                         env={"SENDAL_NETRC": str(netrc(workdir, host="elsewhere"))})
    assert missing.log_messages()[1:] == [
        f"No password for 127.0.0.1 in {workdir / 'netrc'} (or set SENDAL_PASSWORD_COMMAND)!".encode(),
        b"Closed!"]
    assert r.received == b""


def test_relay_closing_during_the_handshake_and_plain_port(workdir, ca):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)

    def hang_up():
        conn, _ = listener.accept()
        conn.recv(100)
        conn.close()
    threading.Thread(target=hang_up, daemon=True).start()
    result = submit(workdir, ca, listener.getsockname()[1], "-tls", count=1)
    assert result.log_messages()[-2].startswith(b"TLS handshake failed: ")
    assert result.log_messages()[-1] == b"Closed!"
    listener.close()
    relay = Relay("plain", ca.good, auth=False)
    try:
        result = submit(workdir, ca, relay.port, "-tls", count=1)
    finally:
        relay.stop()
    assert result.log_messages()[-2].endswith(b"(port 587 usually wants -starttls, port 465 -tls)!")
    assert relay.mailbox.messages == []


def test_starttls_against_a_port_that_wants_tls(workdir, ca):
    """A relay that speaks TLS from the first byte never greets: after 10 s the log asks
    whether the port wants -tls, and the wait goes on (a stop ends it here)."""
    relay = Relay("tls", ca.good, auth=False)
    start = time.monotonic()

    def stop_once_told(proc):
        log = workdir / "VORK.LOG"
        if log.exists() and b"want -tls?" in log.read_bytes():
            os.kill(proc.pid, signal.SIGTERM)
            return True
        return False
    try:
        write_spool(workdir / "spool", "m0001.out", "To: b\n\nx\n")
        result = run_sendal(workdir, [f"127.0.0.1 {relay.port},-starttls -exitcode"],
                            env={"SENDAL_CAFILE": str(ca.ca_file)}, while_running=stop_once_told)
    finally:
        relay.stop()
    assert time.monotonic() - start >= 10
    port = relay.port
    assert result.log_messages()[:3] == [
        b"SMTP starting...",
        f"No greeting from 127.0.0.1 port {port} within 10 s: does port {port} want -tls?".encode(),
        b"Stopped by signal 15!"]
    assert result.returncode == 75 and left(workdir) == ["m0001.out"]
