"""End-to-end harness: runs the built sendal in a fresh working directory with a
pseudo-terminal as its controlling terminal (the console window) and standard output on a
pipe of its own, and plays relays on 127.0.0.1."""
import os
import select
import signal
import socket
import subprocess
import tempfile
import termios
import threading
import time
from pathlib import Path

import sys

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from loopback import controlling_terminal, free_port  # noqa: E402,F401
BINARY = os.environ.get("SENDAL_BINARY", str(ROOT / "build" / "sendal"))
# No configuration of whoever runs the tests may steer them; a test names its own.
os.environ.pop("SENDAL_CONFIG", None)
os.environ["XDG_CONFIG_HOME"] = "/nonexistent/sendal-tests"
RUN_LIMIT = 240  # seconds; sendal runs at idle priority and may wait for the CPU
# The queue's records and the relay notes of the tests, away from the user's own (every
# program the tests start inherits it).
os.environ["XDG_STATE_HOME"] = tempfile.mkdtemp(prefix="sendal-tests-state-")


def state_folder(folder):
    """Where the runs keep the records of the spool `folder`."""
    info = Path(folder).stat()
    return Path(os.environ["XDG_STATE_HOME"]) / "sendal" / "spools" / f"{info.st_dev}-{info.st_ino}"


def record_path(spool_file):
    """The record of one spool file: named after its inode, modification time and size."""
    spool_file = Path(spool_file)
    info = spool_file.stat()
    return state_folder(spool_file.parent) / f"{info.st_ino}-{info.st_mtime_ns}-{info.st_size}.state"


class Result:
    def __init__(self, returncode, stdout, console, log, pid):
        self.returncode = returncode
        self.stdout = stdout
        self.console = console
        self.log = log
        self.pid = pid

    def log_messages(self):
        """The message texts of the log lines after the last header line."""
        lines = self.log.split(b"\r\n")
        start = max(i for i, l in enumerate(lines) if l.startswith(b"----------  "))
        out = []
        for line in lines[start + 1:]:
            if not line:
                continue
            out.append(line.split(b"  SENDAL   : ", 1)[1])
        return out


def _can_unshare_network():
    try:
        return subprocess.run(["unshare", "--net", "true"], capture_output=True).returncode == 0
    except OSError:
        return False


CAN_UNSHARE_NETWORK = _can_unshare_network()


def run_sendal(cwd, args, env=None, keys=(), console=True, timeout=RUN_LIMIT,
               binary=None, while_running=None, netless=False):
    """Runs sendal; `keys` is a list of (text seen on the console, bytes to type).
    `netless` runs it in a network namespace of its own, so that looking up a name that is not
    in /etc/hosts fails at once instead of asking a name server."""
    if netless and not CAN_UNSHARE_NETWORK:
        pytest.skip("needs a network namespace of its own (unshare --net, as root)")
    environment = {k: v for k, v in os.environ.items() if k.upper() != "VORKLOG"}
    environment.update(env or {})
    master = slave = None
    if console:
        master, slave = os.openpty()
        attrs = termios.tcgetattr(slave)
        attrs[1] &= ~termios.OPOST  # see the exact bytes the program writes
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
    proc = subprocess.Popen(
        (["unshare", "--net"] if netless else []) + [binary or BINARY, *args], cwd=cwd, env=environment, stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        preexec_fn=controlling_terminal(slave) if console else os.setsid,
        pass_fds=(slave,) if console else ())
    if console:
        os.close(slave)
    screen = bytearray()
    pending = list(keys)
    stdout_chunks = []
    reader = threading.Thread(target=lambda: stdout_chunks.append(proc.stdout.read()))
    reader.start()
    deadline = time.monotonic() + timeout
    hook_done = False
    while True:
        if while_running and not hook_done:
            hook_done = while_running(proc)
        if console:
            ready, _, _ = select.select([master], [], [], 0.05)
            if ready:
                try:
                    data = os.read(master, 65536)
                except OSError:
                    data = b""
                screen += data
            while pending and pending[0][0].encode() in screen:
                time.sleep(0.05)
                os.write(master, pending.pop(0)[1])
        else:
            time.sleep(0.05)
        if proc.poll() is not None:
            break
        if time.monotonic() > deadline:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            raise AssertionError(f"sendal still running after {timeout} s: {bytes(screen)!r}")
    tty_attrs = None
    if console:
        tty_attrs = termios.tcgetattr(master)
        while True:
            ready, _, _ = select.select([master], [], [], 0.1)
            if not ready:
                break
            try:
                data = os.read(master, 65536)
            except OSError:
                break
            if not data:
                break
            screen += data
        os.close(master)
    reader.join()
    log_path = Path(cwd) / "VORK.LOG"
    log = log_path.read_bytes() if log_path.exists() else b""
    result = Result(proc.returncode, stdout_chunks[0] if stdout_chunks else b"", bytes(screen),
                    log, proc.pid)
    result.tty_attrs = tty_attrs
    return result


@pytest.fixture
def workdir(tmp_path):
    return tmp_path


def write_spool(folder, name, text):
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    data = text.encode() if isinstance(text, str) else text
    (folder / name).write_bytes(data)
    return folder / name


def note_peak_memory(pid, peak):
    """Keeps in peak["kb"] the highest peak resident memory (VmHWM) seen of process `pid`."""
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    peak["kb"] = max(peak["kb"], int(line.split()[1]))
    except OSError:
        pass


class ScriptedRelay:
    """A relay on 127.0.0.1 that answers every command by a script.

    `replies` maps a verb (HELO, MAIL, RCPT, DATA, END for the end-of-data line, QUIT) or a
    verb with its 1-based occurrence ("RCPT#2") to the reply bytes, or to an action:
    "close" (hang up), "reset" (hang up with RST), "silent" (never answer).
    `greeting` is the bytes sent on connect, or one of those actions.
    `data_fault` = (bytes, action) or (message number, bytes, action): the action once that
    many bytes of that message's data (of every message when no number) have arrived.
    Actions besides bytes: "close", "reset", "silent", and "354 then reset" for DATA.
    """

    DEFAULTS = {"HELO": b"250 hello\r\n", "EHLO": b"250 hello\r\n", "MAIL": b"250 ok\r\n",
                "RCPT": b"250 ok\r\n", "DATA": b"354 go ahead\r\n", "END": b"250 queued\r\n",
                "QUIT": b"221 bye\r\n", "RSET": b"250 ok\r\n", "BDAT": b"250 chunk\r\n"}

    def __init__(self, greeting=b"220 scripted relay\r\n", replies=None, data_fault=None,
                 pipelining=False, chunking=False, read_pause=0):
        self.greeting = greeting
        self.read_pause = read_pause  # seconds before each read: what was sent meanwhile piles up
        self.replies = dict(replies or {})
        if chunking:  # BDAT: a chunk's reply is "BDAT"'s, the LAST one's "END"'s
            self.replies.setdefault("EHLO", b"250-scripted relay\r\n250-PIPELINING\r\n250 CHUNKING\r\n")
        if pipelining:  # EHLO offers it; HELO still gets the plain reply
            self.replies.setdefault("EHLO", b"250-scripted relay\r\n250 PIPELINING\r\n")
        self.chunks = []  # what each read of the socket brought, to see what came in one write
        self.early = []  # reply lines after which input came before the reply's last line
        self.data_fault = data_fault
        self.received = bytearray()
        self.messages = []  # (mail from line, [rcpt lines], data bytes) that got a 2xx
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(5)
        self.listener.settimeout(RUN_LIMIT)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        try:
            self.listener.close()
        except OSError:
            pass

    def commands(self):
        return [l for l in bytes(self.received).split(b"\r\n")]

    def _act(self, conn, answer):
        if callable(answer):  # something to do to the spool at this step, then the reply
            answer = answer()
        if answer == "close":
            conn.close()
            return False
        if answer == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            conn.close()
            return False
        if answer == "silent":
            time.sleep(RUN_LIMIT)
            return False
        if answer == "flood":  # bytes without a line end until the connection breaks
            block = b"x" * 65536
            try:
                for _ in range(100 * 16):
                    conn.sendall(block)
            except OSError:
                pass
            return False
        if isinstance(answer, tuple) and answer[0] == "trickle":  # one byte at a time
            try:
                for byte in answer[1]:
                    conn.sendall(bytes([byte]))
                    time.sleep(answer[2] if len(answer) > 2 else 0.003)
            except OSError:
                return False
            return True
        if isinstance(answer, tuple) and answer[0] == "lines":
            # A reply of several lines sent one at a time: nothing may arrive before the last.
            lines = answer[1].split(b"\r\n")[:-1]
            for i, line in enumerate(lines):
                conn.sendall(line + b"\r\n")
                if i + 1 < len(lines):
                    ready, _, _ = select.select([conn], [], [], 0.05)
                    if ready:
                        self.early.append(line)
            return True
        if isinstance(answer, tuple) and answer[0] == "then close":  # a reply, then hang up
            conn.sendall(answer[1])
            return self._act(conn, "close")
        if answer == "354 then reset":
            conn.sendall(b"354 go ahead\r\n")
            return self._act(conn, "reset")
        if answer == "354 then deaf":  # answers, then never reads again
            conn.sendall(b"354 go ahead\r\n")
            return self._act(conn, "silent")
        conn.sendall(answer)
        return True

    def _serve(self):
        while True:  # one connection after the other, as a run that reconnects makes them
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            conn.settimeout(RUN_LIMIT)
            with conn:
                self._dialogue(conn)

    def _unscripted(self, verb, counts):
        return f"{verb}#{counts[verb]}" not in self.replies and verb not in self.replies

    def _reply(self, verb, counts):
        counts[verb] = counts.get(verb, 0) + 1
        key = f"{verb}#{counts[verb]}"
        return self.replies.get(key, self.replies.get(verb, self.DEFAULTS.get(verb, b"500 what\r\n")))

    def _dialogue(self, conn):
        if not self._act(conn, self.greeting):
            return
        buffer = bytearray()
        scanned = 0  # the buffer holds no line end before this offset
        counts = {}
        in_data = False
        data = bytearray()
        fault = self.data_fault
        if fault and len(fault) == 2:
            fault = (None, *fault)
        envelope = [None, []]
        valid = [True, 1]  # the transaction's MAIL FROM accepted, and its recipients accepted
        while True:
            time.sleep(self.read_pause)
            try:
                chunk = conn.recv(65536)
            except OSError:
                return
            if not chunk:
                return
            self.received += chunk
            self.chunks.append(bytes(chunk))
            buffer += chunk
            while True:
                end = buffer.find(b"\r\n", max(scanned - 1, 0))
                if end < 0:
                    scanned = len(buffer)
                    break
                line = bytes(buffer[:end])
                del buffer[:end + 2]
                scanned = 0
                if in_data:
                    if line == b".":
                        in_data = False
                        answer = self._reply("END", counts)
                        if callable(answer):
                            answer = answer()
                        said = answer[1] if isinstance(answer, tuple) and len(answer) > 1 else answer
                        if isinstance(said, bytes) and said[:1] == b"2":
                            self.messages.append((envelope[0], list(envelope[1]), bytes(data)))
                        if not self._act(conn, answer):
                            return
                        envelope = [None, []]
                        continue
                    data += line + b"\r\n"
                    if fault and fault[0] in (None, counts.get("DATA")) and len(data) >= fault[1]:
                        self._act(conn, fault[2])
                        return
                    continue
                verb = line[:4].upper().decode("latin-1")
                if verb == "BDAT":
                    words = line.split()
                    size, last = int(words[1]), len(words) > 2 and words[2].upper() == b"LAST"
                    while len(buffer) < size:
                        try:
                            more = conn.recv(65536)
                        except OSError:
                            return
                        if not more:
                            return
                        self.received += more
                        self.chunks.append(bytes(more))
                        buffer += more
                    data += buffer[:size]
                    del buffer[:size]
                    counts["DATA"] = counts.get("DATA", 0) + (1 if not getattr(self, "_chunking_msg", False) else 0)
                    self._chunking_msg = True
                    if fault and fault[0] in (None, counts.get("DATA")) and len(data) >= fault[1]:
                        self._act(conn, fault[2])
                        return
                    answer = self._reply("END" if last else "BDAT", counts)
                    if not (valid[0] and valid[1]) and self._unscripted("END" if last else "BDAT", counts):
                        answer = b"554 5.5.1 no valid recipients\r\n"  # as real relays answer
                    if callable(answer):
                        answer = answer()
                    said = answer[1] if isinstance(answer, tuple) and len(answer) > 1 else answer
                    if last:
                        self._chunking_msg = False
                        if isinstance(said, bytes) and said[:1] == b"2" and valid[0] and valid[1]:
                            self.messages.append((envelope[0], list(envelope[1]), bytes(data)))
                        data = bytearray()
                        envelope = [None, []]
                    if not self._act(conn, answer):
                        return
                    continue
                if verb == "MAIL":
                    envelope[0] = line
                    data = bytearray()
                elif verb == "RCPT":
                    envelope[1].append(line)
                answer = self._reply(verb, counts)
                if callable(answer) and verb != "DATA":  # what it does comes before what it says
                    answer = answer()
                said = answer[1] if isinstance(answer, tuple) and len(answer) > 1 else answer
                if verb == "MAIL":
                    valid = [isinstance(said, bytes) and said[:1] == b"2", 0]
                elif verb == "RCPT" and isinstance(said, bytes) and said[:1] == b"2":
                    valid[1] += 1
                elif verb == "DATA" and not valid[0] * valid[1] and self._unscripted("DATA", counts):
                    answer = b"503 5.5.1 no valid recipients\r\n"  # as real relays answer
                if callable(answer):
                    answer = answer()
                    said = answer
                if verb == "DATA" and answer in ("354 then reset", "354 then deaf"):
                    self._act(conn, answer)
                    return
                said = answer[1] if isinstance(answer, tuple) and len(answer) > 1 else answer
                if verb == "DATA" and isinstance(said, bytes) and said[:3] == b"354":
                    in_data = True
                    data = bytearray()
                if not self._act(conn, answer):
                    return
                if verb == "QUIT":
                    return


class Recorder:
    """aiosmtpd's handler that keeps every message: (sender, recipients, text as received)."""

    def __init__(self):
        self.messages = []

    async def handle_DATA(self, server, session, envelope):
        self.messages.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.original_content))
        return "250 OK"


def serve_aiosmtpd(handler):
    """aiosmtpd on 127.0.0.1 with `handler` (its port in `.port`) for as long as the generator
    lives: the body of a fixture."""
    from aiosmtpd.controller import Controller
    controller = Controller(handler, hostname="127.0.0.1", port=free_port())
    controller.start()
    handler.port = controller.port
    yield handler
    controller.stop()


@pytest.fixture
def recorder():
    """aiosmtpd on 127.0.0.1 that records what it gets; its port in `.port`."""
    yield from serve_aiosmtpd(Recorder())


@pytest.fixture(scope="module")
def postfix():
    """A private Postfix for the module (see tools/privatepostfix.py), under /tmp itself: its
    daemons run as postfix and cannot pass pytest's private folders."""
    import shutil
    import tempfile
    from privatepostfix import PrivatePostfix, available
    if not available():
        pytest.skip("needs postfix and root")
    folder = tempfile.mkdtemp(prefix="sendal-postfix-")
    server = PrivatePostfix(folder).start()
    yield server
    server.stop()
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def relay():
    relays = []

    def make(**kwargs):
        r = ScriptedRelay(**kwargs)
        relays.append(r)
        return r
    yield make
    for r in relays:
        r.close()


