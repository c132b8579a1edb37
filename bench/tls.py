#!/usr/bin/python3
"""make bench, secure submission: sendal over TLS from the first byte against a TLS front
(socat OPENSSL-LISTEN) before smtp-sink, next to msmtp once per file with TLS and the raw SMTP
transcript written through socat OPENSSL. Prints a table and appends it to bench/results.md.

Goals: small messages at least 50x msmtp; the 200 MB message at least 0.5x the raw transcript."""
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from compare import (MSMTP_SMALL, RUNS, SENDAL, SMALL, append_results, fill_spool, fmt,  # noqa: E402
                     make_large, small_message, start_sink, stats, timed, write_transcript)
from loopback import free_port  # noqa: E402
from testca import TestCA  # noqa: E402


def tls_front(ca_folder, sink_port):
    ca = TestCA(ca_folder, name="sendal bench CA")
    cert, key, _ = ca.relay_cert("relay")
    port = free_port()
    front = subprocess.Popen(["socat", f"OPENSSL-LISTEN:{port},reuseaddr,fork,cert={cert},key={key},verify=0",
                              f"TCP:127.0.0.1:{sink_port}"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    return front, port, ca.ca_file


def run_sendal(work, port, ca_file):
    env = {**os.environ, "SENDAL_CAFILE": str(ca_file)}
    return timed([str(SENDAL), f"127.0.0.1 {port},-tls"], cwd=work, env=env, start_new_session=True)


def msmtp(port, ca_file, data):
    subprocess.run(["msmtp", "--host=127.0.0.1", f"--port={port}", "--tls=on", "--tls-starttls=off",
                    f"--tls-trust-file={ca_file}", "--auth=off", "-f", "a@x", "--", "b@y"],
                   input=data, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def bench_small(work, port, ca_file):
    sendal, others = [], []
    for _ in range(RUNS):
        fill_spool(work, SMALL)
        sendal.append(SMALL / run_sendal(work, port, ca_file))
        assert not list((Path(work) / "spool").iterdir()), "sendal left files"
    files = [small_message(i).encode() for i in range(MSMTP_SMALL)]
    for _ in range(RUNS):
        start = time.perf_counter()
        for data in files:
            msmtp(port, ca_file, data)
        others.append(MSMTP_SMALL / (time.perf_counter() - start))
    return stats(sendal), stats(others)


def bench_large(work, port, ca_file):
    master = Path(work) / "large.master"
    make_large(master)
    size_mb = os.path.getsize(master) / 1e6
    spool = Path(work) / "spool"
    sendal, raw = [], []
    for _ in range(RUNS):
        os.link(master, spool / "m0001.out")
        sendal.append(size_mb / run_sendal(work, port, ca_file))
    transcript = write_transcript(work, master, b"EHLO")
    for _ in range(RUNS):
        raw.append(size_mb / timed(["socat", "-u", f"FILE:{transcript}",
                                    f"OPENSSL:127.0.0.1:{port},cafile={ca_file}"]))
    transcript.unlink()
    master.unlink()
    return stats(sendal), stats(raw), size_mb


def main():
    sink, sink_port = start_sink()
    with tempfile.TemporaryDirectory(prefix="sendal-bench-tls-") as work:
        front, port, ca_file = tls_front(Path(work) / "ca", sink_port)
        try:
            (Path(work) / "spool").mkdir()
            s_sendal, s_msmtp = bench_small(work, port, ca_file)
            l_sendal, l_raw, size_mb = bench_large(work, port, ca_file)
        finally:
            front.terminate()
            sink.terminate()
    rows = [
        "",
        "## Over TLS from the first byte (socat OPENSSL-LISTEN before smtp-sink)",
        "```",
        f"sendal -tls, {SMALL} small messages  {fmt(s_sendal, 'msg/s')}",
        f"msmtp --tls, once per file ({MSMTP_SMALL})  {fmt(s_msmtp, 'msg/s')}",
        f"sendal / msmtp       {s_sendal[0] / s_msmtp[0]:8.1f}x   (goal at least 50x)",
        f"sendal -tls, {size_mb:.0f} MB message    {fmt(l_sendal, 'MB/s')}",
        f"raw transcript through socat OPENSSL {fmt(l_raw, 'MB/s')}",
        f"sendal / raw         {l_sendal[0] / l_raw[0]:8.2f}x   (goal at least 0.5x)",
        "```",
    ]
    append_results(rows)


if __name__ == "__main__":
    main()
