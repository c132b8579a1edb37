#!/usr/bin/python3
"""make demo: sends a few sample spool files to a demo relay on 127.0.0.1, first in plain text
as sendal always did, then as a provider's submission server wants it (STARTTLS and AUTH, with
a certificate of a demo CA made here), and shows what the terminal showed, what the relay
received, the files left and what sendal logged."""
import logging
import os
import select
import ssl
import subprocess
import sys
import tempfile
from pathlib import Path

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

from loopback import controlling_terminal, free_port
from testca import TestCA

DEMO_USER, DEMO_PASSWORD = "alice", "demo-password"
logging.getLogger("mail.log").setLevel(logging.ERROR)  # aiosmtpd's own deprecation notes

SAMPLES = {
    "m0001.out": "From: Alice Example <alice@example.org>\n"
                 "To: bob@example.org\n"
                 "Subject: Lunch on Friday?\n"
                 "\n"
                 "Hi Bob,\n"
                 "\n"
                 "shall we meet at noon?\n"
                 "\n"
                 "Alice\n",
    "m0002.out": "From alice@example.org Tue Dec  8 09:30:00 2026\n"
                 "From: alice@example.org\n"
                 "To: carol@example.org, \"Dave D.\" <dave@example.org>\n"
                 "Bcc: boss@example.org\n"
                 "Subject: Minutes (the boss gets a blind copy)\n"
                 "\n"
                 "The minutes are attached in spirit.\n",
    "m0003.out": "From: alice@example.org\r\n"
                 "To: eve@example.org\r\n"
                 "Subject: Dots\r\n"
                 "\r\n"
                 "The next line holds a single dot and must arrive whole:\r\n"
                 ".\r\n"
                 "...and this one begins with three.\r\n",
}


class Printer:
    async def handle_DATA(self, server, session, envelope):
        print(f"\n=== demo relay received: MAIL FROM:<{envelope.mail_from}> "
              f"RCPT TO:{', '.join('<%s>' % r for r in envelope.rcpt_tos)}")
        print(envelope.original_content.decode("utf-8", "replace").replace("\r\n", "\n"), end="")
        print("=== end of message\n", flush=True)
        return "250 OK delivered to the demo relay"


def check_password(server, session, envelope, mechanism, auth_data):
    good = auth_data.login == DEMO_USER.encode() and auth_data.password == DEMO_PASSWORD.encode()
    if good:
        print(f"=== demo relay: {DEMO_USER} logged in with AUTH {mechanism}", flush=True)
    return AuthResult(success=good, handled=False)


def run_in_terminal(command, cwd, env=None):
    """Runs sendal on a pseudo-terminal, as a user would in a terminal window, and prints what
    that window showed."""
    master, slave = os.openpty()
    proc = subprocess.Popen(command, cwd=cwd, env={**os.environ, **(env or {})}, stdin=slave,
                            stdout=slave, stderr=slave, preexec_fn=controlling_terminal(slave))
    os.close(slave)
    shown = bytearray()
    while True:
        ready, _, _ = select.select([master], [], [], 0.1)
        if ready:
            try:
                data = os.read(master, 65536)
            except OSError:
                data = b""
            if not data and proc.poll() is not None:
                break
            shown += data
        elif proc.poll() is not None:
            break
    os.close(master)
    print("--- the terminal showed:")
    # The terminal adds a CR to each line end; a lone CR (the progress figure) starts a row.
    text = shown.decode("utf-8", "replace").replace("\r\r\n", "\n").replace("\r\n", "\n")
    print(text.replace("\r", "\n"), end="")
    print("---", flush=True)


def show_results(work, spool):
    left = sorted(p.name for p in spool.iterdir())
    print(f"\nSpool files left: {', '.join(left) if left else 'none (all accepted)'}")
    print("\nVORK.LOG:")
    print((Path(work) / "VORK.LOG").read_bytes().decode("latin-1").replace("\r\n", "\n"), end="")


def write_samples(spool):
    spool.mkdir(exist_ok=True)
    for name, text in SAMPLES.items():
        (spool / name).write_bytes(text.encode())


def plain_run(binary, work):
    port = free_port()
    relay = Controller(Printer(), hostname="127.0.0.1", port=port)
    relay.start()
    try:
        spool = Path(work) / "spool"
        write_samples(spool)
        print(f"Spool in {spool}: {', '.join(sorted(SAMPLES))}")
        print(f"Running: sendal 127.0.0.1 {port}\n", flush=True)
        run_in_terminal([str(binary), "127.0.0.1", str(port)], work)
        show_results(work, spool)
    finally:
        relay.stop()


def submission_run(binary, work):
    """The same spool to a relay that wants STARTTLS and a password, as providers' do on 587."""
    ca = TestCA(Path(work) / "demo-ca", name="sendal demo CA")
    cert, key, _ = ca.relay_cert("relay")
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(str(cert), str(key))
    netrc = Path(work) / "netrc"
    netrc.write_text(f"machine 127.0.0.1 login {DEMO_USER} password {DEMO_PASSWORD}\n")
    netrc.chmod(0o600)
    port = free_port()
    relay = Controller(Printer(), hostname="127.0.0.1", port=port, tls_context=context,
                       require_starttls=True, authenticator=check_password, auth_required=True)
    relay.start()
    try:
        spool = Path(work) / "spool"
        write_samples(spool)
        env = {"SENDAL_CAFILE": str(ca.ca_file), "SENDAL_NETRC": str(netrc)}
        print(f"\n\n=== Submission: STARTTLS and AUTH, the relay's certificate from a demo CA")
        print(f"SENDAL_CAFILE={ca.ca_file}\nSENDAL_NETRC={netrc}  (mode 600: "
              f"machine 127.0.0.1 login {DEMO_USER} password ...)")
        print(f"Running: sendal 127.0.0.1 {port},-starttls -auth\n", flush=True)
        run_in_terminal([str(binary), f"127.0.0.1 {port},-starttls -auth"], work, env)
        show_results(work, spool)
    finally:
        relay.stop()


def main():
    binary = Path(sys.argv[1] if len(sys.argv) > 1 else "build/sendal").resolve()
    with tempfile.TemporaryDirectory(prefix="sendal-demo-") as work:
        plain_run(binary, work)
        submission_run(binary, work)


if __name__ == "__main__":
    main()
