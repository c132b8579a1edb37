#!/usr/bin/python3
"""make bench, a distant relay: a delaying proxy (5 ms each way, a 10 ms round trip) before
smtp-sink, 200 messages of 2 KB: sendal pipelined (-ehlo), sendal plain, smtp-source -d on one
connection, and msmtp once per file, in one run.

Goals: pipelined sendal at least 3x smtp-source -d and at least 20x msmtp, in messages/s."""
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from compare import (RUNS, SENDAL, append_results, fill_spool, fmt, small_message,  # noqa: E402
                     start_sink, stats, timed)
from loopback import free_port  # noqa: E402

COUNT = int(os.environ.get("BENCH_LATENCY_COUNT", "200"))
MSMTP_COUNT = int(os.environ.get("BENCH_LATENCY_MSMTP", "50"))
ONE_WAY_MS = 5


def sendal_rate(work, port, options):
    rates = []
    for _ in range(RUNS):
        fill_spool(work, COUNT)
        rates.append(COUNT / timed([str(SENDAL), f"127.0.0.1 {port}{options}"], cwd=work,
                                   start_new_session=True))
        assert not list((Path(work) / "spool").iterdir()), "sendal left files"
    return stats(rates)


def source_rate(port):
    return stats([COUNT / timed(["smtp-source", "-s", "1", "-d", "-m", str(COUNT), "-l", "2048",
                                 "-f", "a@x", "-t", "b@y", f"127.0.0.1:{port}"]) for _ in range(RUNS)])


def msmtp_rate(port):
    files = [small_message(i).encode() for i in range(MSMTP_COUNT)]
    rates = []
    for _ in range(RUNS):
        start = time.perf_counter()
        for data in files:
            subprocess.run(["msmtp", "--host=127.0.0.1", f"--port={port}", "--tls=off", "--auth=off",
                            "-f", "a@x", "--", "b@y"], input=data, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        rates.append(MSMTP_COUNT / (time.perf_counter() - start))
    return stats(rates)


def start_delay_proxy(target_port):
    """The delaying proxy before `target_port` on 127.0.0.1: (process, its port)."""
    port = free_port()
    proxy = subprocess.Popen([sys.executable, str(Path(__file__).parent / "delay_proxy.py"),
                              str(port), str(target_port), str(ONE_WAY_MS)])
    time.sleep(1)
    return proxy, port


def main():
    sink, sink_port = start_sink()
    proxy, port = start_delay_proxy(sink_port)
    try:
        with tempfile.TemporaryDirectory(prefix="sendal-bench-latency-") as work:
            (Path(work) / "spool").mkdir()
            pipelined = sendal_rate(work, port, ",-ehlo")
            plain = sendal_rate(work, port, "")
            source = source_rate(port)
            msmtp = msmtp_rate(port)
    finally:
        proxy.terminate()
        sink.terminate()
    rows = [
        "",
        f"## A distant relay: {2 * ONE_WAY_MS} ms round trip (delaying proxy before smtp-sink), "
        f"{COUNT} messages of 2 KB",
        "```",
        f"sendal -ehlo, pipelined          {fmt(pipelined, 'msg/s')}",
        f"sendal, one command at a time    {fmt(plain, 'msg/s')}",
        f"smtp-source -d, one connection   {fmt(source, 'msg/s')}",
        f"msmtp, once per file ({MSMTP_COUNT})       {fmt(msmtp, 'msg/s')}",
        f"pipelined / smtp-source {pipelined[0] / source[0]:8.1f}x   (goal at least 3x)",
        f"pipelined / msmtp       {pipelined[0] / msmtp[0]:8.1f}x   (goal at least 20x)",
        "```",
    ]
    append_results(rows)


if __name__ == "__main__":
    main()
