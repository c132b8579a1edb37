"""Credentials as providers want them: OAuth2 (XOAUTH2, OAUTHBEARER) with a token from the
password command, the password command instead of a netrc password, and netrc files as other
tools read them. The secret is never in the log, on the terminal or in what ps shows."""
import base64
import os

import pytest
from aiosmtpd.smtp import AuthResult

from conftest import run_sendal, write_spool
from test_tls import USER, Mailbox, Relay, ca, left  # noqa: F401  (ca is a fixture)

TOKEN = "ya29.token-Of-the-day"


class OAuthMailbox(Mailbox):
    """Takes XOAUTH2 and OAUTHBEARER with TOKEN; a bad token gets the error challenge."""

    def __init__(self):
        super().__init__()
        self.answers = []

    async def _oauth(self, server, args, user_key, prefix):
        blob = base64.b64decode(args[1]) if len(args) > 1 else b""
        fields = dict(part.split(b"=", 1) for part in blob.split(b"\x01") if b"=" in part)
        if prefix and blob.startswith(b"n,a="):
            fields[b"user"] = blob[4:].split(b",", 1)[0]
        if fields.get(b"auth") == b"Bearer " + TOKEN.encode() and fields.get(b"user") == USER.encode():
            return AuthResult(success=True, auth_data=USER)
        answer = await server.challenge_auth('{"status":"401","schemes":"bearer"}')
        self.answers.append(answer)
        return AuthResult(success=False, handled=False, message="535 5.7.8 token invalid")

    async def auth_XOAUTH2(self, server, args):
        return await self._oauth(server, args, b"user", False)

    async def auth_OAUTHBEARER(self, server, args):
        return await self._oauth(server, args, b"user", True)


def netrc_file(workdir, text):
    path = workdir / "netrc"
    path.write_text(text)
    path.chmod(0o600)
    return path


def spool(workdir, count=3):
    for i in range(1, count + 1):
        write_spool(workdir / "spool", f"m000{i}.out", f"From: {USER}@example.org\nTo: bob@example.org\n\nhi {i}\n")


def run(workdir, ca, port, options, command, netrc="machine 127.0.0.1 login alice\n", **kwargs):  # noqa: F811
    env = {"SENDAL_CAFILE": str(ca.ca_file), "SENDAL_NETRC": str(netrc_file(workdir, netrc)),
           "SENDAL_PASSWORD_COMMAND": command}
    return run_sendal(workdir, [f"127.0.0.1 {port},{options} -exitcode"], env=env, timeout=180, **kwargs)


def secret_nowhere(result, secret):
    forms = [secret.encode(), base64.b64encode(secret.encode())]
    forms += [base64.b64encode(f"user={USER}\x01auth=Bearer {secret}\x01\x01".encode())]
    for output in (result.log, result.stdout, result.console):
        for form in forms:
            assert form not in output


@pytest.mark.parametrize("mode,options", [("starttls", "-starttls -auth=xoauth2"),
                                          ("tls", "-tls -auth=oauthbearer")])
def test_oauth2_token_from_the_command_delivers(workdir, ca, mode, options):  # noqa: F811
    relay = Relay(mode, ca.good, mailbox=OAuthMailbox())
    seen = {}

    def look(proc):  # what ps shows of the run: its command line and environment
        try:
            seen["cmdline"] = open(f"/proc/{proc.pid}/cmdline", "rb").read()
            seen["environ"] = open(f"/proc/{proc.pid}/environ", "rb").read()
        except OSError:
            return False
        return True
    spool(workdir)
    helper = workdir / "token-helper"  # as an OAuth2 token helper would, from its own store
    helper.write_text(f"#!/bin/sh\necho {TOKEN}\n")
    helper.chmod(0o700)
    try:
        result = run(workdir, ca, relay.port, options, str(helper), while_running=look)
    finally:
        relay.stop()
    assert result.returncode == 0 and left(workdir) == []
    assert len(relay.mailbox.messages) == 3
    secret_nowhere(result, TOKEN)
    assert TOKEN.encode() not in seen.get("cmdline", b"") + seen.get("environ", b"")


@pytest.mark.parametrize("options", ["-starttls -auth=xoauth2", "-starttls -auth=oauthbearer"])
def test_bad_token_gets_its_challenge_answered_and_is_refused(workdir, ca, options):  # noqa: F811
    mailbox = OAuthMailbox()
    relay = Relay("starttls", ca.good, mailbox=mailbox)
    spool(workdir)
    try:
        result = run(workdir, ca, relay.port, options, "echo stale-token")
    finally:
        relay.stop()
    assert result.returncode == 77 and left(workdir) == ["m0001.out", "m0002.out", "m0003.out"]
    assert result.log_messages()[-2:] == [b"Login refused: 535 5.7.8 token invalid", b"Closed!"]
    assert mailbox.answers == [b"\x01" if "oauthbearer" in options else b""]
    assert not any(m.startswith(b"MAIL") for m in result.log_messages())
    secret_nowhere(result, "stale-token")


def test_password_command_instead_of_netrc(workdir, ca):  # noqa: F811
    relay = Relay("starttls", ca.good)
    spool(workdir)
    try:
        # The command sees the host and the login; netrc's own password is not used.
        result = run(workdir, ca, relay.port, "-starttls -auth",
                     'test "$SENDAL_HOST:$SENDAL_USER" = 127.0.0.1:alice && echo s3cret-Pa55 && echo second line',
                     netrc="machine 127.0.0.1 login alice password not-this-one\n")
    finally:
        relay.stop()
    assert result.returncode == 0 and left(workdir) == []
    secret_nowhere(result, "s3cret-Pa55")


@pytest.mark.parametrize("command,message", [
    ("echo output-never-shown; exit 3", b"Password command failed: 'echo output-never-shown; exit 3' exited with 3!"),
    ("true", b"Password command printed nothing!"),
])
def test_password_command_that_fails_sends_nothing(workdir, ca, relay, command, message):  # noqa: F811
    r = relay(replies={"EHLO": b"250-relay\r\n250 AUTH PLAIN\r\n"})
    spool(workdir, 1)
    result = run(workdir, ca, r.port, "-auth -insecureauth", command)
    assert result.log_messages()[-2:] == [message, b"Closed!"] and result.returncode == 78
    assert r.received == b"" and left(workdir) == ["m0001.out"]


@pytest.mark.slow
def test_password_command_that_does_not_end(workdir, ca, relay):  # noqa: F811
    r = relay()
    spool(workdir, 1)
    result = run(workdir, ca, r.port, "-auth -insecureauth", "exec >&-; sleep 600")
    assert result.log_messages()[-2:] == [b"Password command timed out!", b"Closed!"]
    assert result.returncode == 78
    assert r.received == b""


def test_password_command_can_ask_on_the_terminal(workdir, ca):  # noqa: F811
    relay = Relay("starttls", ca.good)
    spool(workdir, 1)
    try:
        result = run(workdir, ca, relay.port, "-starttls -auth",
                     'printf "Passphrase: " >/dev/tty; read pw </dev/tty; echo "$pw"',
                     keys=[("Passphrase: ", b"s3cret-Pa55\n")])
    finally:
        relay.stop()
    assert result.returncode == 0 and left(workdir) == []


def test_netrc_as_other_tools_read_it(workdir, ca):  # noqa: F811
    relay = Relay("starttls", ca.good)
    spool(workdir, 1)
    text = ("# relay account\n"
            "default login nobody password DEFAULTPW\n"
            "macdef init\npassword FROMMACRO\n\n"
            "machine 127.0.0.1 password \"s3cret-Pa55\" login alice\n"
            "#machine old.example login alice password OTHERHOSTPW\n")
    try:
        env = {"SENDAL_CAFILE": str(ca.ca_file), "SENDAL_NETRC": str(netrc_file(workdir, text))}
        result = run_sendal(workdir, [f"127.0.0.1 {relay.port},-starttls -auth"], env=env, timeout=120)
    finally:
        relay.stop()
    assert left(workdir) == [], result.log
    assert relay.mailbox.messages[0][0] == b"alice"


def test_netrc_too_large_is_refused(workdir, relay):
    r = relay()
    spool(workdir, 1)
    path = workdir / "netrc"
    with open(path, "wb") as f:
        f.truncate(50 * 1024 ** 3)  # sparse: no disk used
    path.chmod(0o600)
    result = run_sendal(workdir, [f"127.0.0.1 {r.port},-auth -insecureauth -exitcode"],
                        env={"SENDAL_NETRC": str(path)})
    assert result.log_messages()[-2:] == [str(path).encode() + b" is too large!", b"Closed!"]
    assert result.returncode == 78 and r.received == b""
    os.unlink(path)
