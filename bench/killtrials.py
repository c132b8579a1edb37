#!/usr/bin/python3
"""kill -9 at random moments: does a file go twice?

Run by hand, not in CI:  bench/killtrials.py build/sendal [trials]

For each trial a spool of small messages goes to the tests' scripted relay (one command at a
time with HELO, pipelined DATA, or BDAT), sendal is killed with SIGKILL at a random moment, and
a second run sends what is left. A message the relay accepted twice is a duplicate; its window
is the time from the relay's 250 to the kill. A duplicate is inherent when the kill came before
sendal could have read that 250 (a few milliseconds at most on this machine); a longer window
means a reply sat unread while sendal went on.
"""
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from conftest import ScriptedRelay  # noqa: E402

MODES = {"helo": ([], {}), "pipelined": (["-ehlo"], {"pipelining": True}),
         "bdat": ([], {"chunking": True})}
FILES = 40


class Timed(list):
    """The relay's accepted messages, each with the moment of its 250."""

    def append(self, item):
        super().append((time.monotonic(), item))


def trial(binary, mode, rng):
    options, kwargs = MODES[mode]
    relay = ScriptedRelay(**kwargs)
    relay.messages = Timed()
    with tempfile.TemporaryDirectory() as work:
        spool = Path(work) / "spool"
        spool.mkdir()
        for n in range(FILES):
            (spool / f"m{n:04d}.out").write_text(f"From: a@x\nTo: b@y\n\nmessage {n}\n")
        command = [binary, "127.0.0.1", str(relay.port), *options]
        quiet = dict(cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                     stdin=subprocess.DEVNULL)
        proc = subprocess.Popen(command, **quiet)
        time.sleep(rng.uniform(0.0, 0.25))
        killed = time.monotonic()
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        subprocess.run(command, timeout=120, **quiet)
    relay.close()
    first = {}
    counts = Counter()
    for moment, (_, _, data) in relay.messages:
        counts[data] += 1
        first.setdefault(data, moment)
    windows = [(killed - first[data]) * 1000 for data, count in counts.items() if count > 1]
    missing = FILES - len(counts)
    return windows, missing


def main():
    binary = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else str(ROOT / "build" / "sendal")
    trials = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    rng = random.Random(int(os.environ.get("SEED", "1")))
    for index, mode in enumerate(MODES):
        runs = trials // len(MODES) + (1 if index < trials % len(MODES) else 0)
        windows, lost, hit = [], 0, 0
        for _ in range(runs):
            found, missing = trial(binary, mode, rng)
            windows += found
            lost += missing
            hit += 1 if found else 0
        shown = ", ".join(f"{w:.1f}" for w in sorted(windows)) or "-"
        print(f"{mode:10} trials {runs:4}  duplicates {len(windows):3} in {hit:3} trials  "
              f"lost {lost}  windows (ms from the relay's 250 to the kill): {shown}")


if __name__ == "__main__":
    main()
