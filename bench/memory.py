#!/usr/bin/python3
"""make bench, memory: peak resident memory of sendal for a 1 GB message and for a message of
one 100 MB line, and the 200 MB throughput on 127.0.0.1 against smtp-sink; with a second
binary given (BASELINE=path), the same throughput for it in the same run.

Goal: at most 16 MiB peak for both messages; throughput not below 0.9x the baseline's."""
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from compare import LINE, RUNS, SENDAL, append_results, fmt, start_sink, stats, timed_peak  # noqa: E402

MB = 1000 * 1000


def write_message(path, size, one_line=False):
    block = (b"z" * MB) if one_line else (LINE * (MB // len(LINE))).encode()
    with open(path, "wb") as out:
        out.write(b"From: a@x\nTo: b@y\nSubject: big\n\n")
        for _ in range(size // MB):
            out.write(block)
        out.write(b"\n")


def peak_kib(binary, work, port, master):
    os.link(master, Path(work) / "spool" / "m0001.out")
    _seconds, kib = timed_peak([str(binary), "127.0.0.1", str(port)], work)
    assert not list((Path(work) / "spool").iterdir()), "the message was not accepted"
    return kib


def throughput(binary, work, port, master):
    rates = []
    for _ in range(RUNS):
        os.link(master, Path(work) / "spool" / "m0001.out")
        start = time.perf_counter()
        subprocess.run([str(binary), "127.0.0.1", str(port)], cwd=work, check=True,
                       stdout=subprocess.DEVNULL, start_new_session=True)
        rates.append(os.path.getsize(master) / MB / (time.perf_counter() - start))
    return stats(rates)


def main():
    baseline = os.environ.get("BASELINE")
    sink, port = start_sink()
    rows = ["", "## Memory: the spool reader's window", "```"]
    try:
        with tempfile.TemporaryDirectory(prefix="sendal-bench-mem-") as work:
            (Path(work) / "spool").mkdir()
            master = Path(work) / "master"
            for label, size, one_line in (("1 GB message", 1000 * MB, False),
                                          ("one 100 MB line", 100 * MB, True)):
                write_message(master, size, one_line)
                kib = peak_kib(SENDAL, work, port, master)
                rows.append(f"peak resident, {label:16} {kib / 1024:8.1f} MiB   (goal at most 16 MiB)")
            write_message(master, 200 * MB)
            rate = throughput(SENDAL, work, port, master)
            rows.append(f"200 MB, windowed reader     {fmt(rate, 'MB/s')}")
            if baseline:
                old = throughput(baseline, work, port, master)
                rows.append(f"200 MB, whole-file reader   {fmt(old, 'MB/s')}")
                rows.append(f"windowed / whole-file {rate[0] / old[0]:8.2f}x   (goal at least 0.9x)")
    finally:
        sink.terminate()
    rows.append("```")
    append_results(rows)


if __name__ == "__main__":
    main()
