"""Address lists as mail programs write them, messages with more recipients than one
transaction takes, and the log line that names the file a run stopped in."""
import pytest
from aiosmtpd.controller import Controller

from conftest import free_port, run_sendal, write_spool


class Transactions:
    """Records each accepted transaction; answers 452 to RCPT TO once `limit` were taken."""

    def __init__(self, limit=None, refuse_data_of=None):
        self.messages = []
        self.limit = limit
        self.refuse_data_of = refuse_data_of

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.limit is not None and len(envelope.rcpt_tos) >= self.limit:
            return "452 4.5.3 Too many recipients"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.refuse_data_of == len(self.messages) + 1:
            return "554 5.6.0 not this one"
        self.messages.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.original_content))
        return "250 OK stored"


class PipeliningTransactions(Transactions):
    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        return responses[:-1] + ["250-PIPELINING", responses[-1]]


@pytest.fixture
def transactions():
    relays = []

    def start(pipelining=False, **kwargs):
        handler = (PipeliningTransactions if pipelining else Transactions)(**kwargs)
        handler.port = free_port()
        controller = Controller(handler, hostname="127.0.0.1", port=handler.port, data_size_limit=0)
        controller.start()
        relays.append(controller)
        return handler
    yield start
    for controller in relays:
        controller.stop()


FORMS = [
    ('"Doe, John" <john@example.org>', ["john@example.org"]),
    ("undisclosed-recipients:;", []),
    ('team: a@example.org, "B, b" <b@example.org>;', ["a@example.org", "b@example.org"]),
    ("a@example.org,,b@example.org", ["a@example.org", "b@example.org"]),
    ("a@example.org (Doe, J)", ["a@example.org"]),
    (r'"Doe \", J" <j@example.org>', ["j@example.org"]),
]


def test_address_forms_reach_exactly_their_recipients(workdir, transactions):
    relay = transactions()
    for i, (value, _want) in enumerate(FORMS):
        write_spool(workdir / "spool", f"m000{i}.out",
                    f"From: s@example.org\nTo: {value}\nCc: c{i}@example.org\n\nbody {i}\n")
    # A trailing comma followed by a Cc line.
    write_spool(workdir / "spool", "m0009.out",
                "From: s@example.org\nTo: a@example.org,\nCc: b@example.org\n\nlast\n")
    result = run_sendal(workdir, ["127.0.0.1", str(relay.port)])
    got = [rcpts for _sender, rcpts, _data in relay.messages]
    want = [w + [f"c{i}@example.org"] for i, (_v, w) in enumerate(FORMS)]
    assert got == want + [["a@example.org", "b@example.org"]]
    assert list((workdir / "spool").iterdir()) == []
    assert result.log_messages()[-2:] == [b"QUIT", b"Closed!"]


def many(count):
    # Continuation lines keep every line short enough for the relay's line limit.
    return ",\n ".join(f"r{i}@example.org" for i in range(count))


def test_fifteen_hundred_recipients_in_two_transactions(workdir, transactions):
    relay = transactions()
    write_spool(workdir / "spool", "m0001.out",
                f"To: {many(1500)}\nSubject: big list\nFrom: late@example.org\n\nbody\n")
    run_sendal(workdir, ["127.0.0.1", str(relay.port)])
    assert [len(m[1]) for m in relay.messages] == [999, 501]
    assert [m[0] for m in relay.messages] == ["late@example.org"] * 2
    assert sum((m[1] for m in relay.messages), []) == [f"r{i}@example.org" for i in range(1500)]
    assert relay.messages[0][2] == relay.messages[1][2]
    assert not (workdir / "spool" / "m0001.out").exists()


@pytest.mark.parametrize("pipelined", [False, True])
def test_relay_limit_of_100_gives_three_transactions(workdir, transactions, pipelined):
    relay = transactions(limit=100, pipelining=pipelined)
    write_spool(workdir / "spool", "m0001.out", f"From: s@example.org\nTo: {many(250)}\n\nbody\n")
    result = run_sendal(workdir, [f"127.0.0.1 {relay.port}" + (",-ehlo" if pipelined else "")])
    assert [len(m[1]) for m in relay.messages] == [100, 100, 50]
    assert sum((m[1] for m in relay.messages), []) == [f"r{i}@example.org" for i in range(250)]
    assert not (workdir / "spool" / "m0001.out").exists()
    # Pipelined or not, every recipient past the limit is answered and goes to the next one.
    assert result.log_messages().count(b"452 4.5.3 Too many recipients") == 150 + 50


def test_refusal_in_the_second_transaction_keeps_the_file(workdir, transactions):
    relay = transactions(limit=100, refuse_data_of=2)
    text = f"From: s@example.org\nTo: {many(150)}\n\nbody\n"
    write_spool(workdir / "spool", "m0001.out", text)
    result = run_sendal(workdir, ["127.0.0.1", str(relay.port)])
    assert [len(m[1]) for m in relay.messages] == [100]
    assert (workdir / "spool" / "m0001.out").read_text() == text
    assert result.log_messages()[-3:] == [
        b"Already sent to 100 recipients of m0001.out in this run!",
        b"Not sent: m0001.out (554 5.6.0 not this one)", b"Closed!"]
    assert b"\r\n! " in result.log


def test_file_without_recipient_is_kept_and_the_next_is_sent(workdir, transactions):
    relay = transactions()
    write_spool(workdir / "spool", "m0001.out", b"")
    write_spool(workdir / "spool", "m0002.out", "From: s@example.org\nTo: x:;\n\nno one\n")
    write_spool(workdir / "spool", "m0003.out", "To: t@example.org\n\nsent\n")
    result = run_sendal(workdir, ["127.0.0.1", str(relay.port)])
    assert [(m[0], m[1]) for m in relay.messages] == [("<>", ["t@example.org"])]
    assert sorted(p.name for p in (workdir / "spool").iterdir()) == ["m0001.out", "m0002.out"]
    messages = result.log_messages()
    assert b"No recipient in m0001.out!" in messages and b"No recipient in m0002.out!" in messages
    assert messages[-2:] == [b"QUIT", b"Closed!"]
