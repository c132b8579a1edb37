#!/usr/bin/python3
"""make bench, reader: the spool reader on what used to cost it dearly: runs of lone CRs (10^5
and 10^6, to see the time grow linearly), a run of 1 MiB + 5 CRs, a 64 MiB Subject line and
203 MB of continuation lines in the header; time and peak resident memory of whole runs
against smtp-sink.

Goals: linear time; at most 16 MiB peak."""
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from compare import SENDAL, append_results, start_sink, timed_peak  # noqa: E402

MB = 1000 * 1000
MIB = 1 << 20

CASES = [
    ("10^5 lone CRs", lambda out: out.write(b"\r" * 10 ** 5 + b"x\n")),
    ("10^6 lone CRs", lambda out: out.write(b"\r" * 10 ** 6 + b"x\n")),
    ("1 MiB + 5 CRs, then LF", lambda out: out.write(b"a" + b"\r" * (MIB + 5) + b"\nz\n")),
]


def header_case(out, total, line):
    out.write(b"Subject: ")
    for _ in range(total // len(line)):
        out.write(line)
    out.write(b"\n\nbody\n")


def run(work, port):
    seconds, kib = timed_peak([str(SENDAL), "127.0.0.1", str(port)], work)
    assert not list((Path(work) / "spool").iterdir()), "the message was not accepted"
    return seconds, kib


def main():
    sink, port = start_sink()
    rows = ["", "## The spool reader: lone CRs and huge header lines (one run each)", "```"]
    cases = CASES + [
        ("64 MiB Subject line", lambda out: header_case(out, 64 * MIB, b"s" * 4096)),
        ("203 MB of continuation lines", lambda out: header_case(out, 203 * MB, b"w" * 99 + b"\n ")),
    ]
    try:
        with tempfile.TemporaryDirectory(prefix="sendal-bench-reader-") as work:
            (Path(work) / "spool").mkdir()
            for label, write in cases:
                with open(Path(work) / "spool" / "m0001.out", "wb") as out:
                    out.write(b"From: a@x\nTo: b@y\n")
                    if not label.endswith("lines") and not label.endswith("line"):
                        out.write(b"\n")
                    write(out)
                seconds, kib = run(work, port)
                rows.append(f"{label:30} {seconds:7.2f} s   peak {kib / 1024:6.1f} MiB   (goal at most 16 MiB)")
    finally:
        sink.terminate()
    rows.append("```")
    append_results(rows)


if __name__ == "__main__":
    main()
