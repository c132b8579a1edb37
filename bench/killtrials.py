#!/usr/bin/python3
"""kill -9 at random moments: does a file go twice?

Run by hand, not in CI, as root:  bench/killtrials.py build/sendal [trials] [mode ...]

For each trial a spool of 100 small messages goes to a private Postfix (which answers each
end only once its cleanup has the text, so replies lag the stream as they do in real use),
sendal is killed with SIGKILL at a random moment, and a second run sends what is left. A
message that reached the mailbox twice is a duplicate. Between sendal and Postfix a proxy
notes when each "queued as" reply went to sendal; a duplicate's window is the time from that
reply to the kill. A window below a millisecond or so is inherent (the reply was still on its
way, or just in, when the kill came); a longer one means a reply sat in sendal unacted on.
Modes: bdat (-ehlo), pipelined (-ehlo -nochunking), helo.
"""
import os
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
from loopback import free_port  # noqa: E402
from privatepostfix import PrivatePostfix  # noqa: E402

MODES = {"bdat": ["-ehlo"], "pipelined": ["-ehlo", "-nochunking"], "helo": []}
FILES = 100
TO = "good@example.test"
QUEUED = re.compile(rb"queued as ([0-9A-F]+)")


class StampingProxy:
    """Forwards 127.0.0.1:port to the relay and notes when each "queued as" reply passed."""

    def __init__(self, target):
        self.target = target
        self.stamps = {}
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.port = free_port()
        self.listener.bind(("127.0.0.1", self.port))
        self.listener.listen(8)
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            client, _ = self.listener.accept()
            server = socket.create_connection(("127.0.0.1", self.target))
            threading.Thread(target=self.pump, args=(client, server), daemon=True).start()

    def pump(self, client, server):
        pending = b""
        while True:
            ready, _, _ = select.select([client, server], [], [])
            for side in ready:
                try:
                    data = side.recv(65536)
                except OSError:
                    data = b""
                if not data:
                    client.close()
                    server.close()
                    return
                other = server if side is client else client
                try:
                    other.sendall(data)
                except OSError:
                    pass
                if side is server:
                    now = time.monotonic()
                    pending += data
                    *lines, pending = pending.split(b"\r\n")
                    for line in lines:
                        found = QUEUED.search(line)
                        if found:
                            self.stamps[found.group(1)] = now


def delivered(postfix, tag):
    """(message number, queue id) of each copy of the trial's messages in the mailbox."""
    copies = []
    new = postfix.maildir / "new"
    for path in new.glob("*") if new.exists() else []:
        text = path.read_bytes()
        number = re.search(rb"\n" + tag.encode() + rb" message (\d+)\n", text)
        queue_id = re.search(rb"with E?SMTP id ([0-9A-F]+)", text)
        if number and queue_id:
            copies.append((int(number.group(1)), queue_id.group(1)))
    return copies


def trial(binary, options, postfix, proxy, tag, rng):
    with tempfile.TemporaryDirectory() as work:
        spool = Path(work) / "spool"
        spool.mkdir()
        for n in range(FILES):
            (spool / f"m{n:04d}.out").write_text(f"From: a@example.org\nTo: {TO}\n\n{tag} message {n}\n")
        command = [binary, "127.0.0.1", str(proxy.port), *options]
        quiet = dict(cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                     stdin=subprocess.DEVNULL)
        proc = subprocess.Popen(command, **quiet)
        time.sleep(rng.uniform(0.02, 0.4))
        killed = time.monotonic()
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        subprocess.run(command, timeout=300, **quiet)
    deadline = time.monotonic() + 60
    while True:
        copies = delivered(postfix, tag)
        if len({n for n, _ in copies}) >= FILES or time.monotonic() > deadline:
            break
        time.sleep(0.2)
    time.sleep(1)
    copies = delivered(postfix, tag)
    counts = Counter(n for n, _ in copies)
    windows = []
    for number, count in counts.items():
        if count > 1:
            stamped = [proxy.stamps[q] for n, q in copies if n == number and q in proxy.stamps]
            first = min(stamped) if stamped else None
            windows.append((killed - first) * 1000 if first is not None else float("nan"))
    return windows, FILES - len(counts)


def main():
    binary = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else str(ROOT / "build" / "sendal")
    trials = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    modes = sys.argv[3:] or ["bdat"]
    rng = random.Random(int(os.environ.get("SEED", "1")))
    folder = tempfile.mkdtemp(prefix="sendal-kill-")
    postfix = PrivatePostfix(folder).start()
    proxy = StampingProxy(postfix.ports["plain"])
    try:
        for mode in modes:
            windows, lost, hit = [], 0, 0
            for index in range(trials):
                found, missing = trial(binary, MODES[mode], postfix, proxy, f"{mode}{index}", rng)
                windows += found
                lost += missing
                hit += 1 if found else 0
            read = sum(1 for w in windows if w > 1.0)
            shown = ", ".join(f"{w:.1f}" for w in sorted(windows)) or "-"
            print(f"{mode:10} trials {trials:3}  twice {len(windows):3} in {hit:3} trials "
                  f"({len(windows) / trials:.2f} a trial)  lost {lost}  with the 250 in sendal over 1 ms "
                  f"before the kill: {read}\n           windows (ms from the 250 to the kill): {shown}")
    finally:
        postfix.stop()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
