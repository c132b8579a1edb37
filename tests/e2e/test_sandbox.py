"""Defence in depth: the run confines itself before it reads a byte of the relay (no new
privileges, Landlock, the system call filter), a key pin that survives the certificate's
renewal, and client certificates against a Postfix that asks for one."""
import os
import shutil
import signal
import ssl
import sys
import tempfile

import pytest
from aiosmtpd.smtp import AuthResult

from conftest import ROOT, run_sendal, write_spool
from test_tls import Mailbox, Relay, ca, left, server_context  # noqa: F401  (ca is a fixture)

sys.path.insert(0, str(ROOT / "tools"))
from testca import key_pin  # noqa: E402


def spool(workdir, count=1, to="bob@example.org"):
    for i in range(1, count + 1):
        write_spool(workdir / "spool", f"m000{i}.out", f"From: alice@example.org\nTo: {to}\n\nhello {i}\n")


def status_of(pid):
    try:
        lines = open(f"/proc/{pid}/status").read().splitlines()
    except OSError:
        return {}
    return dict(line.split(":\t", 1) for line in lines if ":\t" in line)


def test_a_run_waiting_on_its_relay_is_confined(workdir, relay):
    stalled = relay(greeting="silent")
    spool(workdir)
    seen = {}

    def look(proc):
        status = status_of(proc.pid)
        if status.get("Seccomp") != "2":
            return False  # not confined yet: it confines itself before it reads the greeting
        seen.update(status)
        os.kill(proc.pid, signal.SIGTERM)
        return True
    result = run_sendal(workdir, [f"127.0.0.1 {stalled.port}"], while_running=look, timeout=120)
    assert seen["NoNewPrivs"] == "1" and seen["Seccomp"] == "2"
    assert left(workdir) == ["m0001.out"]
    assert result.log_messages()[-2:] == [b"Stopped by signal 15!", b"Closed!"]


def test_nosandbox_sends_as_before(workdir, relay):
    r = relay()
    spool(workdir)
    result = run_sendal(workdir, [f"127.0.0.1 {r.port},-nosandbox"])
    assert left(workdir) == [] and len(r.messages) == 1
    assert b"Sandbox" not in result.stdout + result.console


def run_tls(workdir, ca, cert, options):  # noqa: F811
    relay = Relay("tls", cert, auth=False)
    spool(workdir)
    try:
        result = run_sendal(workdir, [f"127.0.0.1 {relay.port},-tls -exitcode {options}"],
                            env={"SENDAL_CAFILE": str(ca.ca_file)}, timeout=120)
    finally:
        relay.stop()
    return result, relay.mailbox.messages


def test_a_key_pin_survives_the_certificates_renewal(workdir, ca):  # noqa: F811
    first = ca.relay_cert("pinned")
    renewed = ca.relay_cert("renewed", same_key_as=first)
    pin = key_pin(first[0])
    assert renewed[2] != first[2] and key_pin(renewed[0]) == pin  # another certificate, one key
    hex_pin = __import__("base64").b64decode(pin).hex().upper()
    for cert, option in ((first, f"-pin=sha256:{pin}"), (renewed, f"-pin=sha256:{pin}"),
                         (renewed, f"-pin=sha256:{'A' * 43}= -pin=sha256:{hex_pin}")):  # a backup pin
        result, messages = run_tls(workdir, ca, cert, option)
        assert result.returncode == 0 and len(messages) == 1, (option, result.log)
    # The pin alone, for a relay whose CA we do not know.
    stranger = ca.unknown
    result, messages = run_tls(workdir, ca, stranger, f"-noverify -pin=sha256:{key_pin(stranger[0])}")
    assert result.returncode == 0 and len(messages) == 1
    assert b"Certificate not checked!" not in result.log


def test_a_wrong_pin_is_refused_before_ehlo(workdir, ca):  # noqa: F811
    cert = ca.relay_cert("wrongpin")
    result, messages = run_tls(workdir, ca, cert, "-pin=sha256:" + key_pin(ca.good[0]))
    assert result.returncode == 78 and messages == []
    log = result.log_messages()
    assert log[-2] == b"Key not pinned: the relay's key is sha256:" + key_pin(cert[0]).encode() + b"!"
    assert not any(line.startswith(b"EHLO") for line in log)
    assert left(workdir) == ["m0001.out"]
    # A pin's letters are kept as typed: base64 in other letter case is another pin.
    result, messages = run_tls(workdir, ca, cert, "-pin=sha256:" + key_pin(cert[0]).swapcase())
    assert result.returncode == 78 and messages == []


class ExternalMailbox(Mailbox):
    """AUTH EXTERNAL for a client that presented a certificate of the test CA."""

    async def auth_EXTERNAL(self, server, args):
        peer = (server.session.ssl or {}).get("peercert")
        if peer and args[1:] == ["="]:
            return AuthResult(success=True, auth_data="client")
        return AuthResult(success=False, handled=False, message="535 5.7.8 no certificate")


def test_auth_external_logs_in_with_the_client_certificate(workdir, ca):  # noqa: F811
    client = ca.relay_cert("client", names=("alice",), purpose=ssl_oid_client())
    os.chmod(client[1], 0o600)
    mailbox = ExternalMailbox()
    relay = Relay("starttls", ca.good, auth=False, mailbox=mailbox)
    context = relay.controller.SMTP_kwargs["tls_context"]
    context.verify_mode = ssl.CERT_OPTIONAL
    context.load_verify_locations(str(ca.ca_file))
    spool(workdir)
    try:
        result = run_sendal(workdir, [f"127.0.0.1 {relay.port},-starttls -auth=external -exitcode "
                                      f"-cert={client[0]} -key={client[1]}"],
                            env={"SENDAL_CAFILE": str(ca.ca_file)}, timeout=120)
    finally:
        relay.stop()
    assert result.returncode == 0, result.log
    assert b"AUTH EXTERNAL =" in result.log_messages() and len(mailbox.messages) == 1
    os.chmod(client[1], 0o640)
    result = run_sendal(workdir, [f"127.0.0.1 {relay.port},-starttls -exitcode -cert={client[0]} -key={client[1]}"],
                        env={"SENDAL_CAFILE": str(ca.ca_file)}, timeout=120)
    assert result.returncode == 78
    assert f"Client key {client[1]} may be read by others (chmod 600 {client[1]})!".encode() in result.stdout


def ssl_oid_client():
    from cryptography.x509.oid import ExtendedKeyUsageOID
    return ExtendedKeyUsageOID.CLIENT_AUTH


@pytest.fixture(scope="module")
def certs_postfix(ca):  # noqa: F811
    from privatepostfix import PrivatePostfix, available
    if not available():
        pytest.skip("needs postfix and root")
    folder = tempfile.mkdtemp(prefix="sendal-postfix-")
    relay = ca.relay_cert("postfix")
    server = PrivatePostfix(folder, tls=(relay[0], relay[1], ca.ca_file)).start()
    yield server
    server.stop()
    shutil.rmtree(folder, ignore_errors=True)


def test_postfix_relays_for_the_client_certificate_only(workdir, ca, certs_postfix):  # noqa: F811
    client = ca.relay_cert("pfclient", names=("alice",), purpose=ssl_oid_client())
    os.chmod(client[1], 0o600)
    port = certs_postfix.ports["certs"]
    env = {"SENDAL_CAFILE": str(ca.ca_file)}
    spool(workdir, to="bob@elsewhere.example")
    refused = run_sendal(workdir, [f"127.0.0.1 {port},-starttls -exitcode"], env=env, timeout=120)
    assert refused.returncode == 69 and left(workdir) == ["m0001.out"]
    assert any(b"Relay access denied" in line for line in refused.log_messages())
    result = run_sendal(workdir, [f"127.0.0.1 {port},-starttls -exitcode -cert={client[0]} -key={client[1]}"],
                        env=env, timeout=120)
    assert result.returncode == 0, result.log
    assert left(workdir) == []
    assert "Trusted TLS connection established from localhost[127.0.0.1]" in certs_postfix.log() or \
        "Trusted TLS connection established from unknown[127.0.0.1]" in certs_postfix.log()
