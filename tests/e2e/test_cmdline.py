"""The command line as a user types it, seen through the status line on the terminal and the
HELO line on the wire; the host prompt and the help pager on a pseudo-terminal."""
import re
from pathlib import Path

from conftest import run_sendal, write_spool

USAGE = (b"SENDAL v1.33g", b"", b" ", b"Usage: sendal host [Portnbr][,options]",
         b"Options: [-helo=host|domain] [dest-dir][filemask]")


def status_line(result):
    match = re.search(rb"Host:.*?File:[^\r]*\r\n", result.console)
    return match.group(0)[:-2] if match else None


def assert_usage(result):
    lines = result.stdout.split(b"\r\n")
    assert lines[0].startswith(USAGE[0])
    assert lines[2:5] == list(USAGE[2:])
    # Then every option on a line of its own, each named as the manual page names it.
    options = [l.split()[0] for l in lines[5:] if l.startswith(b"  -")]
    manual = (Path(__file__).resolve().parents[2] / "doc" / "sendal.1").read_bytes().replace(b"\\-", b"-")
    assert len(options) >= 12 and all(o.split(b"[")[0].split(b"=")[0] in manual for o in options)


def only_header(result):
    return result.log.count(b"\r\n") == 1 and result.log.startswith(b"----------  ")


def test_status_line_and_helo_for_each_form(workdir, relay):
    cases = [
        # (arguments after host and port, status line after Host:..., HELO on the wire)
        ("{host} {port}", "Port: {port} HElO:me File:.\\spool\\m????.out", b"HELO me"),
        ("{host} {port},-helo=MyHost.Example.NET", "HElO:myhost.example.net File:.\\spool\\m????.out",
         b"HELO myhost.example.net"),
        ("{host} {port},{spool}\\*.MSG -helo=box", "HElO:box File:{spoollow}\\*.msg", b"HELO box"),
        ("{host} {port},-helo=", "HElO:me File:.\\spool\\m????.out", b"HELO me"),
        # Commas and blanks both separate the options: nothing after a second comma is lost.
        ("{host} {port},-helo=pc7,{spool}\\*.MSG", "HElO:pc7 File:{spoollow}\\*.msg", b"HELO pc7"),
        ("{host} {port} -helo=pc8", "HElO:pc8 File:.\\spool\\m????.out", b"HELO pc8"),
    ]
    for args, want, helo in cases:
        r = relay(replies={"HELO": b"550 no\r\n"})
        spool = workdir / "Out"
        write_spool(spool, "a.msg", "To: b\n\nx\n")
        write_spool(workdir / "spool", "m0001.out", "To: b\n\nx\n")
        text = args.format(host="127.0.0.1", port=r.port, spool=str(spool), spoollow=str(spool).lower())
        result = run_sendal(workdir, [text])
        line = status_line(result).decode()
        assert line.startswith(f"Host:127.0.0.1 Port: {r.port} ")
        assert line.endswith(want.format(port=r.port, spoollow=str(spool).lower())), line
        assert r.received.split(b"\r\n")[0] == helo
        assert result.log_messages()[-1] == b"Closed!"


def test_status_line_port_forms_without_a_relay(workdir):
    (workdir / "spool").mkdir()
    # The port's print form in the status line; how the port is read is the unit table's.
    for args, port in [(["relay1", "2525"], b" 2525 "), (["relay1", "-7"], b"-7 "),
                       (["relay1,-helo=pc7"], b" 25 ")]:
        result = run_sendal(workdir, args, netless=True)
        line = status_line(result)
        assert line.startswith(b"Host:relay1 Port:" + port + b"HElO:"), (args, line)
    assert line == b"Host:relay1 Port: 25 HElO:pc7 File:.\\spool\\m????.out"
    [message] = result.log_messages()
    assert message.startswith(b"GetHostByName failed: relay1: ")


def test_no_arguments_and_help_words_show_usage(workdir):
    result = run_sendal(workdir, ["--version"])
    assert result.stdout == b"sendal v1.33g\r\n" and not (workdir / "spool").exists()
    for args in ([], ["?"], ["/?"], ["-?"], ["--help"], ["-h"], ["re?lay"]):
        if (workdir / "VORK.LOG").exists():
            (workdir / "VORK.LOG").unlink()
        result = run_sendal(workdir, args)
        assert result.returncode == 0
        assert_usage(result)
        assert only_header(result), args
        assert not (workdir / "spool").exists()


def test_prompt_takes_the_typed_line_whole(workdir, relay):
    r = relay(replies={"HELO": b"550 no\r\n"})
    write_spool(workdir / "spool", "m0001.out", "To: b\n\nx\n")
    result = run_sendal(workdir, [",-helo=box"], keys=[("Host: ", f"127.0.0.1 {r.port}\r".encode())])
    assert b"Host: " in result.console
    # The typed line is the host whole, so the port stays 25 and the lookup fails.
    assert f"Host:127.0.0.1 {r.port} Port: 25 HElO:box".encode() in result.console
    # The dotted-address reader stops at the blank: the relay is 127.0.0.1, port 25.
    assert f"Connection failure: 127.0.0.1 {r.port} port 25: ".encode() in result.stdout


def test_prompt_line_editing(workdir):
    (workdir / "REdez.No").write_text("")
    result = run_sendal(workdir, [",-helo=box"], keys=[("Host: ", b"relaz\x7fy\x01\r")])
    assert result.stdout == b"SENDAL no actice connection!\r\n"
    assert b"relaz\b \by" in result.console


def test_prompt_empty_line_and_no_terminal_show_usage(workdir):
    result = run_sendal(workdir, [",-helo=box"], keys=[("Host: ", b"\r")])
    assert_usage(result)
    assert only_header(result)
    result = run_sendal(workdir, [",-helo=box"], console=False)
    assert_usage(result)


def help_file(workdir, count):
    (workdir / "sendal.hlp").write_bytes(b"".join(b"help %d\r\n" % i for i in range(1, count + 1)))


PROMPT = b" " * 37 + b"-more- "


def test_pager_pages(workdir):
    cases = [(10, [], 10, 0), (24, [b"x"], 24, 1), (30, [b" "], 30, 1), (60, [b"q"], 24, 1),
             (60, [b"Q"], 24, 1), (60, [b"\x1b[A", b"n"], 60, 2), (0, [], 0, 0)]
    for count, keys, shown, prompts in cases:
        help_file(workdir, count)
        result = run_sendal(workdir, ["?"], keys=[("-more- ", k) for k in keys])
        assert result.console.count(b"help ") == shown, (count, keys)
        assert result.console.count(PROMPT) == prompts, (count, keys)
        assert_usage(result)
        if shown > 24:  # the prompt stays on its own line and the next page follows below
            assert b"help 24\r\n" + PROMPT + b"\r\nhelp 25\r\n" in result.console


def test_pager_help_file_line_rules(workdir):
    (workdir / "SENDAL.HLP").write_bytes(b"one\rtwo\nstill two\r\nthree\x1aafter end\r\n")
    result = run_sendal(workdir, [])
    assert result.console == b"one\r\ntwo\r\nstill two\r\nthree\r\n"
    # A help file written on Linux pages like any other.
    (workdir / "SENDAL.HLP").write_bytes(b"".join(b"line %d\n" % i for i in range(60)))
    result = run_sendal(workdir, [], keys=[("-more- ", b"q")])
    assert result.console.count(b"line ") == 24
    assert result.console.count(PROMPT) == 1


def test_usage_to_a_file_while_help_stays_on_the_terminal(workdir):
    help_file(workdir, 3)
    result = run_sendal(workdir, [])
    assert_usage(result)
    assert b"help 1" not in result.stdout
    assert result.console == b"help 1\r\nhelp 2\r\nhelp 3\r\n"


def test_default_spool_folder_created_or_reported(workdir):
    result = run_sendal(workdir, ["127.0.0.1", "1"])
    assert (workdir / "spool").is_dir()
    assert b"spool doesn't exist" not in result.stdout


def test_spool_folder_that_cannot_be_made_is_reported(workdir):
    (workdir / "spool").symlink_to("nowhere")
    result = run_sendal(workdir, ["relay"])
    assert result.returncode == 0
    assert result.stdout == b".\\spool doesn't exist!\r\n"
    assert result.log_messages() == [b".\\spool doesn't exist!"]
    assert result.log.split(b"\r\n")[1].startswith(b"! ")
    assert result.console == b""


def test_unknown_option_is_an_error_and_nothing_is_sent(workdir, relay):
    r = relay()
    write_spool(workdir / "spool", "m0001.out", "To: b\n\nx\n")
    result = run_sendal(workdir, [f"127.0.0.1 {r.port},-hello=pc7"])
    assert result.log_messages() == [b"Unknown option -hello=pc7!"]
    assert b"\r\n! " in result.log
    assert r.received == b""


def test_quoted_fields_keep_their_commas_and_blanks(workdir, relay):
    """A quoted host field whose first word is empty asks for the host and keeps its port; a
    quoted options field is a mask with a comma in it."""
    r = relay()
    write_spool(workdir / "out", "a,b1.msg", "To: b\n\nquoted mask\n")
    write_spool(workdir / "spool", "m0001.out", "To: b\n\nprompted host\n")
    result = run_sendal(workdir, [f'127.0.0.1 {r.port},"Out\\A,B*.msg"'])
    assert result.returncode == 0 and [m[2] for m in r.messages] == [b"To: b\r\n\r\nquoted mask\r\n"]
    assert not (workdir / "out" / "a,b1.msg").exists()
    result = run_sendal(workdir, [f'" {r.port}",-helo=box'], keys=[("Host: ", b"127.0.0.1\r")])
    assert f"Host:127.0.0.1 Port: {r.port} HElO:box".encode() in result.console
    assert [m[2] for m in r.messages][1:] == [b"To: b\r\n\r\nprompted host\r\n"]
