#!/usr/bin/python3
"""make bench: what the confinement costs. sendal sends the same spool of small messages to
Postfix's smtp-sink confined (as it always runs) and with -nosandbox, alternating, and the
instructions of whole runs are counted by callgrind both ways. The filter is checked by the
kernel on every system call; this shows whether that is measurable."""
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from compare import SENDAL, fill_spool, start_sink  # noqa: E402

RUNS = int(os.environ.get("BENCH_RUNS", "5"))
COUNT = int(os.environ.get("BENCH_SMALL", "2000"))


def rate(work, port, options):
    fill_spool(work, COUNT)
    start = time.perf_counter()
    subprocess.run([str(SENDAL), f"127.0.0.1 {port},{options}"], cwd=work, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    seconds = time.perf_counter() - start
    assert not list((Path(work) / "spool").iterdir()), "sendal left files"
    return COUNT / seconds


def instructions(work, port, options, count):
    fill_spool(work, count)
    out = Path(work) / "callgrind.out"
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                    str(SENDAL), f"127.0.0.1 {port},{options}"], cwd=work, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
    for line in out.read_text().splitlines():
        if line.startswith("summary:") or line.startswith("totals:"):
            return int(line.split()[1])
    raise RuntimeError("no callgrind summary")


def main():
    sink, port = start_sink()
    try:
        with tempfile.TemporaryDirectory() as work:
            confined, open_ = [], []
            for _ in range(RUNS):
                confined.append(rate(work, port, "-ehlo"))
                open_.append(rate(work, port, "-ehlo -nosandbox"))
            # Valgrind cannot follow into a seccomp-confined process's calls the same way, so the
            # instruction count is of the user-space work: the same both ways if nothing is added.
            per = {}
            for options in ("-ehlo", "-ehlo -nosandbox"):
                small, large = instructions(work, port, options, 200), instructions(work, port, options, 400)
                per[options] = (large - small) / 200
    finally:
        sink.terminate()
        sink.wait()
    print("== the sandbox's cost (2000 small messages, -ehlo, smtp-sink)")
    for name, values in (("confined", confined), ("-nosandbox", open_)):
        print(f"{name:12s} {statistics.median(values):8.1f} msg/s  ({min(values):.1f} to {max(values):.1f})")
    print(f"confined / -nosandbox  {statistics.median(confined) / statistics.median(open_):.3f}x")
    print(f"instructions per message: confined {per['-ehlo']:,.0f}, -nosandbox {per['-ehlo -nosandbox']:,.0f}")


if __name__ == "__main__":
    main()
