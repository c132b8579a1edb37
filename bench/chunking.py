#!/usr/bin/python3
"""make bench, CHUNKING: a private Postfix smtpd (offering CHUNKING, mail discarded), behind the
delaying proxy (5 ms each way) and on 127.0.0.1 without delay: 200 messages of 2 KB with
sendal BDAT, sendal DATA pipelined, sendal plain, smtp-source -d and msmtp once per file; and
one 200 MB message with BDAT and with DATA on 127.0.0.1 (time and peak memory), in one run.
Needs root (Postfix's master).

Goals: at a 10 ms round trip, BDAT at least 10x smtp-source -d and at least 50x msmtp, and at
least a quarter of its own rate on 127.0.0.1; 200 MB with BDAT at least as fast as DATA, at
most 16 MiB peak."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from compare import RUNS, SENDAL, append_results, fmt, stats, timed_peak  # noqa: E402
from latency import COUNT, MSMTP_COUNT, ONE_WAY_MS, msmtp_rate, source_rate, start_delay_proxy  # noqa: E402
from privatepostfix import PrivatePostfix  # noqa: E402

MB = 1000 * 1000
TO = "bench@example.test"


def fill(work, count):
    spool = Path(work) / "spool"
    spool.mkdir(exist_ok=True)
    for i in range(count):
        head = f"From: a@x\nTo: {TO}\nSubject: message {i}\n\n"
        body = "".join(f"line {j:03d} " + "x" * 60 + "\n" for j in range(28))
        (spool / f"m{i:04d}.out").write_text((head + body)[:2048])


def rate(work, port, options):
    rates = []
    for _ in range(RUNS):
        fill(work, COUNT)
        start = time.perf_counter()
        subprocess.run([str(SENDAL), f"127.0.0.1 {port}{options}"], cwd=work, check=True,
                       stdout=subprocess.DEVNULL, start_new_session=True)
        rates.append(COUNT / (time.perf_counter() - start))
        assert not list((Path(work) / "spool").iterdir()), "sendal left files"
    return stats(rates)


def large_once(work, port, options, master):
    os.link(master, Path(work) / "spool" / "m0001.out")
    seconds, kib = timed_peak([str(SENDAL), f"127.0.0.1 {port}{options}"], work)
    assert not list((Path(work) / "spool").iterdir()), "the message was not accepted"
    return os.path.getsize(master) / MB / seconds, kib / 1024


def large(work, port, master):
    """BDAT and DATA runs taking turns, so that neither gets the colder caches."""
    figures = {",-ehlo": ([], []), ",-ehlo -nochunking": ([], [])}
    for _ in range(RUNS):
        for options, (rates, peaks) in figures.items():
            rate, peak = large_once(work, port, options, master)
            rates.append(rate)
            peaks.append(peak)
    return [(stats(rates), max(peaks)) for rates, peaks in figures.values()]


def main():
    folder = tempfile.mkdtemp(prefix="sendal-bench-postfix-")
    postfix = PrivatePostfix(folder, discard=True).start()
    near = postfix.ports["plain"]
    proxy, far = start_delay_proxy(near)
    try:
        with tempfile.TemporaryDirectory(prefix="sendal-bench-chunking-") as work:
            (Path(work) / "spool").mkdir()
            far_bdat = rate(work, far, ",-ehlo")
            far_data = rate(work, far, ",-ehlo -nochunking")
            far_plain = rate(work, far, "")
            source = source_rate(far)
            msmtp = msmtp_rate(far)
            near_bdat = rate(work, near, ",-ehlo")
            near_data = rate(work, near, ",-ehlo -nochunking")
            master = Path(work) / "master"
            with open(master, "w") as out:
                out.write(f"From: a@x\nTo: {TO}\n\n")
                line = ("0123456789" * 8)[:76] + "\n"
                out.write(line * (200 * MB // len(line)))
            (big_bdat, peak_bdat), (big_data, peak_data) = large(work, near, master)
    finally:
        proxy.terminate()
        postfix.stop()
        shutil.rmtree(folder, ignore_errors=True)
    rows = [
        "",
        f"## CHUNKING: Postfix smtpd (mail discarded), {COUNT} messages of 2 KB; 200 MB on 127.0.0.1",
        "```",
        f"{2 * ONE_WAY_MS} ms round trip:",
        f"sendal -ehlo, BDAT               {fmt(far_bdat, 'msg/s')}",
        f"sendal -ehlo -nochunking (DATA)  {fmt(far_data, 'msg/s')}",
        f"sendal, one command at a time    {fmt(far_plain, 'msg/s')}",
        f"smtp-source -d, one connection   {fmt(source, 'msg/s')}",
        f"msmtp, once per file ({MSMTP_COUNT})       {fmt(msmtp, 'msg/s')}",
        f"BDAT / smtp-source      {far_bdat[0] / source[0]:8.1f}x   (goal at least 10x)",
        f"BDAT / msmtp            {far_bdat[0] / msmtp[0]:8.1f}x   (goal at least 50x)",
        "127.0.0.1:",
        f"sendal -ehlo, BDAT               {fmt(near_bdat, 'msg/s')}",
        f"sendal -ehlo -nochunking (DATA)  {fmt(near_data, 'msg/s')}",
        f"BDAT far / near         {far_bdat[0] / near_bdat[0]:8.2f}x   (goal at least 0.25x)",
        f"200 MB, BDAT                     {fmt(big_bdat, 'MB/s')}  peak {peak_bdat:.1f} MiB",
        f"200 MB, DATA                     {fmt(big_data, 'MB/s')}  peak {peak_data:.1f} MiB",
        f"BDAT / DATA, 200 MB     {big_bdat[0] / big_data[0]:8.2f}x   (goal at least 1x; peak at most 16 MiB)",
        "```",
    ]
    append_results(rows)


if __name__ == "__main__":
    main()
