"""Reliability under faults: a relay that fails at each step in turn, with spools of one, two
and three messages. In every cell the run ends with exit code 0, exactly the files whose end of
data got a 250 are deleted, every other file is unchanged, and the log ends as it should.

A relay that hangs up ends the wait at once; the cells that wait out the 50-second reply
time-out (a silent relay) run side by side."""
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import ScriptedRelay, run_sendal, write_spool

TIMEOUT = b"ERROR ON NETWORK (Timeout)."
CLOSED = b"ERROR ON NETWORK (Connection closed)."
PIECE_LINE = "p" * 99 + "\n"


def spool_text(i):
    # Five pieces of message text, so that a reset can come after 0, 1 or several pieces.
    return f"From: a\nTo: b, c\nSubject: message {i}\n\n" + PIECE_LINE * 500


def expected_data(i):
    return spool_text(i).replace("\n", "\r\n").encode()


def not_sent(k, reply=None):
    return b"Not sent: m000%d.out" % k + (b" (" + reply + b")" if reply else b"")


# step name -> (relay arguments for a fault at message k, accepted before the fault, log tail)
def step_setup(step, k):
    if step == "silent greeting":
        return {"greeting": "silent"}, 0, [b"SMTP starting...", TIMEOUT, b"Closed!"]
    if step == "closed after greeting":
        return {"replies": {"HELO": "close"}}, 0, [b"SMTP starting...", CLOSED, b"Closed!"]
    if step == "HELO refused":
        return ({"replies": {"HELO": b"554 go away\r\n"}}, 0,
                [b"SMTP starting...", b"554 go away", None, b"Closed!"])
    if step == "MAIL FROM refused":
        return {"replies": {f"MAIL#{k}": b"550 sender\r\n"}}, k - 1, [b"MAIL FROM:<a>", b"550 sender", not_sent(k, b"550 sender"), b"Closed!"]
    if step == "2nd RCPT TO refused":
        return ({"replies": {f"RCPT#{2 * k}": b"550 user\r\n"}}, k - 1,
                [b"RCPT TO:<c>", b"550 user", not_sent(k, b"550 user"), b"Closed!"])
    if step == "DATA refused":
        return {"replies": {f"DATA#{k}": b"451 later\r\n"}}, k - 1, [b"250 ok", not_sent(k, b"451 later"), b"Closed!"]
    if step == "reset after 0 pieces":
        return {"replies": {f"DATA#{k}": "354 then reset"}}, k - 1, None
    if step == "reset after 1 piece":
        return {"data_fault": (k, 10000, "reset")}, k - 1, None
    if step == "reset after 3 pieces":
        return {"data_fault": (k, 30000, "reset")}, k - 1, None
    if step == "end of data refused":
        return {"replies": {f"END#{k}": b"554 content\r\n"}}, k - 1, [b"250 ok", not_sent(k, b"554 content"), b"Closed!"]
    if step == "end of data closed":
        return {"replies": {f"END#{k}": "close"}}, k - 1, [b"250 ok", CLOSED, not_sent(k), b"Closed!"]
    if step == "QUIT closed":
        return {"replies": {"QUIT": "close"}}, None, [b"QUIT", CLOSED, b"Closed!"]
    raise ValueError(step)


DATA_ONLY = ("DATA refused", "reset after 0 pieces")
ONCE = ("silent greeting", "closed after greeting", "HELO refused", "QUIT closed")
PER_MESSAGE = ("MAIL FROM refused", "2nd RCPT TO refused", "DATA refused", "reset after 0 pieces",
               "reset after 1 piece", "reset after 3 pieces", "end of data refused",
               "end of data closed")


def run_cell(base, step, n, k, pipelined):
    chunked = pipelined == "chunked"
    work = base / f"{step.replace(' ', '_')}-{n}-{k}-{pipelined}"
    spool = work / "spool"
    for i in range(1, n + 1):
        write_spool(spool, f"m000{i}.out", spool_text(i))
    relay_args, accepted, tail = step_setup(step, k)
    failed_at = accepted + 1 if accepted is not None else None
    if accepted is None:
        accepted = n
    relay = ScriptedRelay(pipelining=bool(pipelined) and not chunked, chunking=chunked, **relay_args)
    if pipelined and "HELO" in relay.replies:  # the fault goes to the greeting it gets
        relay.replies["EHLO"] = relay.replies.pop("HELO")
    try:
        result = run_sendal(work, [f"127.0.0.1 {relay.port}" + (",-ehlo" if pipelined else "")],
                            console=False)
    finally:
        relay.close()
    problems = []
    if result.returncode != 0:
        problems.append(f"exit code {result.returncode}")
    left = sorted(p.name for p in spool.iterdir())
    if left != [f"m000{i}.out" for i in range(accepted + 1, n + 1)]:
        problems.append(f"files left {left}")
    for name in left:
        if (spool / name).read_text() != spool_text(int(name[4])):
            problems.append(f"{name} changed")
    seen = [m[2] for m in relay.messages]
    if seen != [expected_data(i) for i in range(1, accepted + 1)]:
        problems.append(f"relay completed {len(seen)} messages")
    messages = result.log_messages()
    if tail is not None and None in tail:  # the greeting command's name: HELO or EHLO
        verb = b"EHLO" if pipelined else b"HELO"
        tail = [verb + b" refused: 554 go away" if t is None else t for t in tail]
    if tail is not None and messages[-len(tail):] != tail:
        problems.append(f"log ends {messages[-len(tail):]}")
    if tail is None:  # a reset: the failed send or the time-out, then the close-down
        if messages[-2:-1] != [not_sent(failed_at)] or messages[-1] != b"Closed!" or b"QUIT" in messages:
            problems.append(f"log ends {messages[-3:]}")
    # The same log either way, the greeting command's name aside.
    same = [m.replace(b"EHLO", b"HELO") for m in messages]
    return step, n, pipelined, problems, (step, n, k, same)


@pytest.mark.slow
def test_fault_matrix(tmp_path):
    cells = []
    # One command at a time, pipelined after EHLO, and as BDAT chunks (where no DATA step is
    # the fault's).
    for pipelined in (False, True, "chunked"):
        steps = [s for s in PER_MESSAGE if pipelined != "chunked" or s not in DATA_ONLY]
        for n in (1, 2, 3):
            cells += [(step, n, 1, pipelined) for step in ONCE]
            cells += [(step, n, k, pipelined) for step in steps for k in range(1, n + 1)]
    with ThreadPoolExecutor(max_workers=48) as pool:
        results = list(pool.map(lambda c: run_cell(tmp_path, *c), cells))
    table = {}
    failures = []
    logs = {}
    for (step, n, _pipelined, problems, (_s, _n, k, same)), cell in zip(results, cells):
        if (step, n, k) in logs and logs[(step, n, k)] != same and "silent" not in step:
            problems = problems + [f"log differs from the lock-step run: {same}"]
        logs[(step, n, k)] = same
        passed, total = table.get((step, n), (0, 0))
        table[(step, n)] = (passed + (not problems), total + 1)
        if problems:
            failures.append(f"{cell}: {'; '.join(problems)}")
    lines = [f"{'fault':24} {'1 msg':>7} {'2 msgs':>7} {'3 msgs':>7}"]
    for step in ONCE + PER_MESSAGE:
        row = [f"{table[(step, n)][0]}/{table[(step, n)][1]}" for n in (1, 2, 3)]
        lines.append(f"{step:24} {row[0]:>7} {row[1]:>7} {row[2]:>7}")
    passed = sum(p for p, _ in table.values())
    total = sum(t for _, t in table.values())
    lines.append(f"matrix: {passed}/{total} cells passed")
    print("\n" + "\n".join(lines))
    with open(tmp_path / "matrix.txt", "w") as out:
        out.write("\n".join(lines) + "\n")
    assert not failures, "\n".join(failures)
