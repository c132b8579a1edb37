#!/usr/bin/python3
"""make demo: sends a few sample spool files to a demo relay on 127.0.0.1 and shows what the
relay received and what sendal logged."""
import subprocess
import sys
import tempfile
from pathlib import Path

from aiosmtpd.controller import Controller

from loopback import free_port

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


def main():
    binary = Path(sys.argv[1] if len(sys.argv) > 1 else "build/sendal").resolve()
    port = free_port()
    relay = Controller(Printer(), hostname="127.0.0.1", port=port)
    relay.start()
    try:
        with tempfile.TemporaryDirectory(prefix="sendal-demo-") as work:
            spool = Path(work) / "spool"
            spool.mkdir()
            for name, text in SAMPLES.items():
                (spool / name).write_bytes(text.encode())
            print(f"Spool in {spool}: {', '.join(sorted(SAMPLES))}")
            print(f"Running: sendal 127.0.0.1 {port}\n", flush=True)
            subprocess.run([str(binary), "127.0.0.1", str(port)], cwd=work, check=False)
            left = sorted(p.name for p in spool.iterdir())
            print(f"\nSpool files left: {', '.join(left) if left else 'none (all accepted)'}")
            print("\nVORK.LOG:")
            print((Path(work) / "VORK.LOG").read_bytes().decode("latin-1").replace("\r\n", "\n"), end="")
    finally:
        relay.stop()


if __name__ == "__main__":
    main()
