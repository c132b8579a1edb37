#!/usr/bin/python3
"""make bench: sendal against the tools a user would pick instead, on this machine, against
Postfix's smtp-sink on 127.0.0.1. Prints one table and writes it to bench/results.md.

1. 2000 small messages: sendal in one run; msmtp once per file; smtp-source on one connection.
2. One 200 MB message: sendal; msmtp; the raw SMTP transcript written into the socket by socat.
3. Instructions per message and per MB of sendal, counted by callgrind.
Each timed figure is the median of RUNS runs, with min and max."""
import datetime
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path


sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from loopback import free_port  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
SENDAL = Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "build" / "sendal").resolve()
RUNS = int(os.environ.get("BENCH_RUNS", "5"))
SMALL = int(os.environ.get("BENCH_SMALL", "2000"))
MSMTP_SMALL = int(os.environ.get("BENCH_MSMTP_SMALL", "300"))  # msmtp is slow: a sample
LARGE_MB = int(os.environ.get("BENCH_LARGE_MB", "200"))
LINE = ("0123456789" * 8)[:76] + "\n"


def small_message(i):
    head = f"From: a@x\nTo: b@y\nSubject: message {i}\n\n"
    body = "".join(f"line {j:03d} " + "x" * 60 + "\n" for j in range(28))
    return (head + body)[:2048]


def timed(command, **kwargs):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kwargs)
    return time.perf_counter() - start


def timed_peak(command, cwd):
    """Runs `command` (no terminal, output discarded) under /usr/bin/time -v: its seconds and
    peak resident memory in KiB."""
    start = time.perf_counter()
    err = subprocess.run(["/usr/bin/time", "-v", *command], cwd=cwd, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True, start_new_session=True).stderr
    seconds = time.perf_counter() - start
    return seconds, int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", err).group(1))


def run_sendal(work, port, prefix=(), options=()):
    """sendal as a user runs it: no terminal here (cron-like), standard output discarded,
    VORK.LOG written."""
    return timed([*prefix, str(SENDAL), "127.0.0.1", str(port), *options], cwd=work, start_new_session=True)


def fill_spool(work, count):
    spool = Path(work) / "spool"
    spool.mkdir(exist_ok=True)
    for i in range(count):
        (spool / f"m{i:04d}.out").write_text(small_message(i))
    return spool


def stats(values):
    return statistics.median(values), min(values), max(values)


def bench_small(port, work):
    sendal, msmtp, source = [], [], []
    for _ in range(RUNS):
        fill_spool(work, SMALL)
        sendal.append(SMALL / run_sendal(work, port))
        assert not list((Path(work) / "spool").iterdir()), "sendal left files"
    files = [small_message(i).encode() for i in range(MSMTP_SMALL)]
    for _ in range(RUNS):
        start = time.perf_counter()
        for data in files:
            subprocess.run(["msmtp", "--host=127.0.0.1", f"--port={port}", "--tls=off", "--auth=off",
                            "-f", "a@x", "--", "b@y"], input=data, check=True)
        msmtp.append(MSMTP_SMALL / (time.perf_counter() - start))
    for _ in range(RUNS):
        t = timed(["smtp-source", "-s", "1", "-d", "-m", str(SMALL), "-l", "2048", "-f", "a@x",
                   "-t", "b@y", f"127.0.0.1:{port}"])
        source.append(SMALL / t)
    return stats(sendal), stats(msmtp), stats(source)


def make_large(path):
    block = (LINE * 13797).encode()  # about 1 MB of whole lines
    size = LARGE_MB * 1000 * 1000
    with open(path, "wb") as out:
        out.write(b"From: a@x\nTo: b@y\nSubject: large\n\n")
        written = 0
        while written + len(block) <= size:
            out.write(block)
            written += len(block)
    return os.path.getsize(path)


def peak_rss_kb(work, port, master):
    spool = Path(work) / "spool"
    os.link(master, spool / "m0001.out")
    out = subprocess.run(["/usr/bin/time", "-v", str(SENDAL), "127.0.0.1", str(port)], cwd=work,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                         start_new_session=True).stderr
    return int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", out).group(1))


def write_transcript(work, master, greeting):
    """The SMTP dialogue of one message as a client would write it, for socat to send raw."""
    transcript = Path(work) / "transcript"
    with open(transcript, "wb") as out, open(master, "rb") as data:
        out.write(greeting + b" x\r\nMAIL FROM:<a@x>\r\nRCPT TO:<b@y>\r\nDATA\r\n")
        for line in data:
            out.write(line.rstrip(b"\n") + b"\r\n")
        out.write(b".\r\nQUIT\r\n")
    return transcript


def start_sink():
    """smtp-sink on a free port of 127.0.0.1: (process, port)."""
    port = free_port()
    sink = subprocess.Popen(["smtp-sink", "-u", "nobody", f"127.0.0.1:{port}", "256"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    return sink, port


def append_results(rows):
    """Prints a section of results and adds it to bench/results.md."""
    text = "\n".join(rows) + "\n"
    print(text)
    with open(ROOT / "bench" / "results.md", "a") as results:
        results.write(text)


def bench_large(port, work, master):
    size_mb = os.path.getsize(master) / 1e6
    spool = Path(work) / "spool"
    sendal, msmtp, raw = [], [], []
    ehlo, raw_ehlo = [], []
    ehlo_transcript = Path(work) / "transcript.ehlo"
    write_transcript(work, master, b"EHLO").rename(ehlo_transcript)
    helo_transcript = write_transcript(work, master, b"HELO")
    # Taking turns, so a busy moment of the machine touches each alike.
    for _ in range(RUNS):
        os.link(master, spool / "m0001.out")
        sendal.append(size_mb / run_sendal(work, port))
        raw.append(size_mb / timed(["socat", "-u", f"FILE:{helo_transcript}", f"TCP:127.0.0.1:{port}"]))
        os.link(master, spool / "m0001.out")
        ehlo.append(size_mb / run_sendal(work, port, options=["-ehlo"]))
        raw_ehlo.append(size_mb / timed(["socat", "-u", f"FILE:{ehlo_transcript}", f"TCP:127.0.0.1:{port}"]))
    helo_transcript.unlink()
    ehlo_transcript.unlink()
    for _ in range(RUNS):
        with open(master, "rb") as data:
            t = timed(["msmtp", "--host=127.0.0.1", f"--port={port}", "--tls=off", "--auth=off",
                       "-f", "a@x", "--", "b@y"], stdin=data)
        msmtp.append(size_mb / t)
    rss = peak_rss_kb(work, port, master)
    return (stats(sendal), stats(msmtp), stats(raw), rss, os.path.getsize(master), stats(ehlo),
            stats(raw_ehlo))


def syscalls(work, port, options=()):
    """System calls per small message (both threads, strace -c), the difference of two sizes."""
    def count(files):
        fill_spool(work, files)
        summary = Path(work) / "strace.txt"
        subprocess.run(["strace", "-f", "-c", "-o", str(summary), str(SENDAL), "127.0.0.1", str(port), *options],
                       cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        total = re.search(r"\n100\.00\s+\S+\s+\S+\s+(\d+)", summary.read_text())
        return int(total.group(1))
    few, many = 200, 1200
    return (count(many) - count(few)) / (many - few)


def instructions(work, port, options=()):
    """Instructions of whole runs (both threads), the difference of two sizes taken, so the
    start-up cost drops out."""
    def count(prepare):
        prepare()
        out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                              str(SENDAL), "127.0.0.1", str(port), *options], cwd=work,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                             start_new_session=True).stderr
        return int(re.search(r"Collected : (\d+)", out).group(1))
    few, many = 200, 1200
    per_message = (count(lambda: fill_spool(work, many)) - count(lambda: fill_spool(work, few))) / (many - few)
    spool = Path(work) / "spool"

    def large(mb):
        def prepare():
            with open(spool / "m0001.out", "wb") as out:
                out.write(b"To: b@y\n\n" + (LINE * (mb * 1000 * 1000 // len(LINE))).encode())
        return prepare
    per_mb = (count(large(40)) - count(large(10))) / 30
    return per_message, per_mb


def fmt(figure, unit):
    median, low, high = figure
    return f"{median:10.1f} {unit:6} ({low:.1f} to {high:.1f})"


def main():
    for tool in ("smtp-sink", "smtp-source", "msmtp", "socat", "valgrind"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is missing: run bench/install-tools")
    sink, port = start_sink()
    rows = []
    try:
        with tempfile.TemporaryDirectory(prefix="sendal-bench-") as work:
            (Path(work) / "spool").mkdir()
            s_sendal, s_msmtp, s_source = bench_small(port, work)
            master = Path(work) / "large.master"
            make_large(master)
            l_sendal, l_msmtp, l_raw, rss_kb, size, l_ehlo, l_raw_ehlo = bench_large(port, work, master)
            master.unlink()
            per_message, per_mb = instructions(work, port)
            ehlo_message, ehlo_mb = instructions(work, port, ["-ehlo"])
            calls, ehlo_calls = syscalls(work, port), syscalls(work, port, ["-ehlo"])
    finally:
        sink.terminate()
        sink.wait()
    mib = 1024 * 1024
    rows = [
        f"# sendal benchmark, {datetime.date.today()}, {os.cpu_count()} cores, smtp-sink on 127.0.0.1",
        "",
        f"Median of {RUNS} runs (min to max). sendal runs as users run it: log written, no terminal.",
        "",
        f"## {SMALL} small messages (2 KB, one recipient each)",
        "```",
        f"sendal, one run                  {fmt(s_sendal, 'msg/s')}",
        f"msmtp, once per file ({MSMTP_SMALL} files) {fmt(s_msmtp, 'msg/s')}",
        f"smtp-source, one connection      {fmt(s_source, 'msg/s')}",
        f"sendal / msmtp       {s_sendal[0] / s_msmtp[0]:8.1f}x   (goal at least 10x)",
        f"sendal / smtp-source {s_sendal[0] / s_source[0]:8.2f}x   (goal at least 0.8x)",
        "```",
        "",
        f"## One large message ({size / 1e6:.0f} MB, 76-character lines)",
        "```",
        f"sendal                           {fmt(l_sendal, 'MB/s')}",
        f"msmtp                            {fmt(l_msmtp, 'MB/s')}",
        f"raw transcript through socat     {fmt(l_raw, 'MB/s')}",
        f"sendal / raw         {l_sendal[0] / l_raw[0]:8.2f}x   (goal at least 0.5x)",
        f"sendal -ehlo                     {fmt(l_ehlo, 'MB/s')}",
        f"raw EHLO transcript through socat {fmt(l_raw_ehlo, 'MB/s')}",
        f"sendal -ehlo / raw   {l_ehlo[0] / l_raw_ehlo[0]:8.2f}x   (goal at least 0.95x)",
        f"sendal / msmtp       {l_sendal[0] / l_msmtp[0]:8.2f}x",
        f"sendal peak resident {rss_kb / 1024:8.1f} MiB for a {size / mib:.1f} MiB file "
        f"(the reader's window, not the file; goal at most 16 MiB)",
        "```",
        "",
        "## CPU cost of sendal (callgrind, instructions of whole runs, differences of two sizes)",
        "```",
        f"per small message    {per_message:12,.0f}   with -ehlo {ehlo_message:12,.0f} (goal at most 60,000)",
        f"per MB of text       {per_mb:12,.0f}   with -ehlo {ehlo_mb:12,.0f}",
        "```",
        "",
        "## System calls of sendal per small message (strace -f -c, difference of two sizes)",
        "```",
        f"HELO {calls:8.1f}   -ehlo {ehlo_calls:8.1f}   (goal with -ehlo at most 25)",
        "```",
    ]
    text = "\n".join(rows) + "\n"
    print(text)
    with open(ROOT / "bench" / "results.md", "a") as results:  # the rounds before stay
        results.write("\n" + text)


if __name__ == "__main__":
    main()
