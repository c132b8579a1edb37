"""Every wait bounded and stoppable, one owner of the TLS session, and nothing a hostile peer
or folder can turn against the user: trickled handshakes, a flow-stopped STARTTLS, slow reply
lines, key updates in a long message, the close_notify, the TLS policy, an undumpable process,
a log planted as a link, and host names longer than 63 characters."""
import hashlib
import os
import resource
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from conftest import BINARY, ROOT, ScriptedRelay, run_sendal, write_spool

sys.path.insert(0, str(ROOT / "tools"))
from testca import TestCA  # noqa: E402

TLS_RELAY = os.environ.get("SENDAL_TLS_RELAY", str(ROOT / "build" / "tests" / "tls_relay"))
TIMEOUT = b"ERROR ON NETWORK (Timeout)."


@pytest.fixture(scope="module")
def ca(tmp_path_factory):
    authority = TestCA(tmp_path_factory.mktemp("ca"))
    authority.good = authority.relay_cert("relay")
    authority.rsa_ok = authority.relay_cert("rsa2048", rsa_bits=2048)
    authority.rsa_weak = authority.relay_cert("rsa1024", rsa_bits=1024)
    authority.client_only = authority.relay_cert(
        "client", purpose=__import__("cryptography").x509.oid.ExtendedKeyUsageOID.CLIENT_AUTH)
    authority.ca_leaf = authority.relay_cert("ca-leaf", ca=True)
    return authority


def left(workdir):
    return sorted(p.name for p in (workdir / "spool").iterdir())


def spool_one(workdir, text="To: b\n\nx\n"):
    write_spool(workdir / "spool", "m0001.out", text)


def stop_after(seconds, sig=signal.SIGTERM):
    """A while_running hook that sends `sig` once `seconds` have passed."""
    start = time.monotonic()

    def hook(proc):
        if time.monotonic() - start < seconds:
            return False
        os.kill(proc.pid, sig)
        hook.sent = time.monotonic()
        return True
    return hook


class TrickleTls:
    """Accepts one connection and, for -tls at once or after a plain 220 to STARTTLS, sends a
    TLS record header one byte every `pause` seconds."""

    def __init__(self, starttls=False, pause=20.0, flood=0):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.starttls, self.pause, self.flood = starttls, pause, flood
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        try:
            conn, _ = self.listener.accept()
            if self.starttls:
                conn.sendall(b"220 relay\r\n")
                f = conn.makefile("rb")
                f.readline()
                conn.sendall(b"250-relay\r\n250 STARTTLS\r\n")
                f.readline()
                conn.sendall(b"220 go ahead\r\n" + b"x" * self.flood)
            for byte in b"\x16\x03\x03\x00\x7a":
                time.sleep(self.pause)
                conn.sendall(bytes([byte]))
            time.sleep(300)
        except OSError:
            pass

    def close(self):
        self.listener.close()


@pytest.mark.parametrize("options", [",-tls -noverify", ",-starttls -noverify"])
def test_sigterm_ends_a_trickled_handshake_at_once(workdir, options):
    relay = TrickleTls(starttls="starttls" in options)
    spool_one(workdir)
    hook = stop_after(3)
    result = run_sendal(workdir, [f"127.0.0.1 {relay.port}{options}"], while_running=hook)
    ended = time.monotonic()
    relay.close()
    assert ended - hook.sent < 10  # about a second; the bound is generous for a busy machine
    assert result.log_messages()[-2:] == [b"Stopped by signal 15!", b"Closed!"]
    assert left(workdir) == ["m0001.out"]


@pytest.mark.slow
@pytest.mark.parametrize("options", [",-tls -noverify", ",-starttls -noverify"])
def test_trickled_handshake_ends_at_its_deadline(workdir, options):
    relay = TrickleTls(starttls="starttls" in options)
    spool_one(workdir)
    result = run_sendal(workdir, [f"127.0.0.1 {relay.port}{options} -exitcode"])
    relay.close()
    assert b"TLS handshake failed: the relay took too long!" in result.log_messages()
    assert result.returncode == 75 and left(workdir) == ["m0001.out"]


def test_flow_stopped_starttls_ends_and_is_stoppable(workdir):
    # 30 kB after the go-ahead fill the ring; the run must neither read them as TLS nor hang.
    relay = TrickleTls(starttls=True, flood=30000, pause=30)
    spool_one(workdir)
    result = run_sendal(workdir, [f"127.0.0.1 {relay.port},-starttls -noverify"], timeout=60)
    relay.close()
    assert b"TLS handshake failed: the relay sent data after its go-ahead!" in result.log_messages()


@pytest.mark.slow
def test_reply_lines_one_every_15_seconds_end_at_the_deadline(workdir):
    relay = ScriptedRelay(replies={"EHLO": ("trickle", b"250-a\r\n250-b\r\n250-c\r\n250-d\r\n250-e\r\n"
                                                       b"250-f\r\n250 g\r\n", 15.0 / 6)})
    spool_one(workdir)
    result = run_sendal(workdir, [f"127.0.0.1 {relay.port},-ehlo"])
    relay.close()
    assert TIMEOUT in result.log_messages() and left(workdir) == ["m0001.out"]


@pytest.mark.slow
def test_relay_that_stops_reading_times_out_and_keeps_the_file(workdir):
    relay = ScriptedRelay(replies={"DATA": "354 then deaf"})
    text = "To: b\n\n" + ("q" * 99 + "\n") * 200000
    spool_one(workdir, text)
    result = run_sendal(workdir, ["127.0.0.1", str(relay.port)])
    relay.close()
    assert result.log_messages()[-3:] == [TIMEOUT, b"Not sent: m0001.out", b"Closed!"]
    assert (workdir / "spool" / "m0001.out").read_text() == text


def tls_relay(workdir, cert, every, pause=0):
    port_file = workdir / "relay.port"
    if port_file.exists():
        port_file.unlink()
    proc = subprocess.Popen([TLS_RELAY, str(port_file), str(cert[0]), str(cert[1]), str(every), str(pause)],
                            stdout=subprocess.PIPE, text=True)
    for _ in range(200):
        if port_file.exists() and port_file.read_text().strip():
            return proc, int(port_file.read_text())
        time.sleep(0.05)
    raise RuntimeError("tls_relay did not start")


def big_message(path, megabytes):
    line = ("0123456789" * 8)[:76] + "\n"
    with open(path, "w") as out:
        out.write("From: a@x\nTo: b@y\n\n")
        for _ in range(megabytes * 1000 * 1000 // len(line)):
            out.write(line)
    data = Path(path).read_bytes().replace(b"\n", b"\r\n")
    return len(data), hashlib.sha256(data).hexdigest()


def send_with_key_updates(workdir, ca, megabytes, every, pause=0):
    size, digest = big_message(workdir / "master", megabytes)
    os.link(workdir / "master", workdir / "spool" / "m0001.out")
    proc, port = tls_relay(workdir, ca.good, every, pause)
    result = run_sendal(workdir, [f"127.0.0.1 {port},-tls"], console=False, timeout=600,
                        env={"SENDAL_CAFILE": str(ca.ca_file)})
    out = proc.communicate(timeout=120)[0]
    return result, out, size, digest


def test_key_updates_in_a_long_message_and_the_close_notify(workdir, ca):
    (workdir / "spool").mkdir()
    result, out, size, digest = send_with_key_updates(workdir, ca, 20, 2 * 1000 * 1000, pause=60)
    assert f"message {size} {digest} " in out, (out, result.log)
    assert int(out.split(f"message {size} {digest} ")[1].split()[0]) >= 3  # in the middle of it
    assert "close_notify yes" in out
    assert left(workdir) == []


@pytest.mark.slow
def test_twenty_runs_of_200_megabytes_with_key_updates(workdir, ca):
    (workdir / "spool").mkdir()
    for run in range(20):
        result, out, size, digest = send_with_key_updates(workdir, ca, 200, 10 * 1000 * 1000)
        assert f"message {size} {digest} " in out, (run, out, result.log)
        assert left(workdir) == [], run
        (workdir / "master").unlink()


def tls_server(cert, version=None):
    """A TLS server from the first byte (only `version`, when given) that records what the
    client says after the greeting and after the reply to it."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.set_ciphers("DEFAULT:@SECLEVEL=0")
    if version:
        context.minimum_version = context.maximum_version = version
    context.load_cert_chain(str(cert[0]), str(cert[1]))
    listener = socket.create_server(("127.0.0.1", 0))
    seen = []

    def serve():
        try:
            conn, _ = listener.accept()
            with context.wrap_socket(conn, server_side=True) as tls:
                for reply in (b"220 relay\r\n", b"250 hello\r\n"):
                    tls.sendall(reply)
                    seen.append(tls.recv(100))
        except (OSError, ssl.SSLError):
            pass
    threading.Thread(target=serve, daemon=True).start()
    return listener, seen


@pytest.mark.parametrize("version", [ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1])
def test_tls_before_1_2_is_refused(workdir, ca, version):
    listener, seen = tls_server(ca.good, version)
    spool_one(workdir)
    result = run_sendal(workdir, [f"127.0.0.1 {listener.getsockname()[1]},-tls"],
                        env={"SENDAL_CAFILE": str(ca.ca_file)})
    listener.close()
    assert any(m.startswith(b"TLS handshake failed: ") for m in result.log_messages()), result.log
    assert seen == [] and left(workdir) == ["m0001.out"]


@pytest.mark.parametrize("which,accepted", [("rsa_weak", False), ("client_only", False),
                                            ("ca_leaf", False), ("rsa_ok", True), ("good", True)])
def test_certificates_a_server_must_have(workdir, ca, which, accepted):
    listener, seen = tls_server(getattr(ca, which))
    spool_one(workdir)
    result = run_sendal(workdir, [f"127.0.0.1 {listener.getsockname()[1]},-tls"],
                        env={"SENDAL_CAFILE": str(ca.ca_file)})
    listener.close()
    trusted = not any(m.startswith(b"Certificate not trusted: ") for m in result.log_messages())
    assert trusted == accepted, result.log
    assert (seen[:1] == [b"EHLO me\r\n"]) == accepted


def pipes_drained(pid):
    """Whether no pipe that `pid` holds open has unread bytes (FIONREAD on a second opening)."""
    import array
    import fcntl
    import termios
    for fd in Path(f"/proc/{pid}/fd").iterdir():
        try:
            if not os.readlink(fd).startswith("pipe:"):
                continue
            with open(fd, "rb", buffering=0) as pipe:
                unread = array.array("i", [0])
                fcntl.ioctl(pipe, termios.FIONREAD, unread)
                if unread[0] > 0:
                    return False
        except OSError:
            continue
    return True


def test_process_is_not_dumpable_once_it_holds_a_secret(workdir, relay):
    pattern = Path("/proc/sys/kernel/core_pattern").read_text().strip()
    if pattern.startswith("|") or "/" in pattern:
        pytest.skip(f"core files go elsewhere here ({pattern})")
    r = relay()
    spool_one(workdir)
    netrc = workdir / "netrc"
    netrc.write_text("default login alice\n")
    netrc.chmod(0o600)
    marker = workdir / "printed"
    env = {"SENDAL_NETRC": str(netrc), "SENDAL_PASSWORD_COMMAND": f"echo TOPSECRET-42; touch {marker}; sleep 30"}
    proc = subprocess.Popen([BINARY, f"127.0.0.1 {r.port},-auth -insecureauth"], cwd=workdir,
                            env={**os.environ, **env}, stdout=subprocess.DEVNULL,
                            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE,
                                                                  (resource.RLIM_INFINITY,) * 2))
    # Once the command printed and sendal drained the pipe, the secret is in its memory.
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not (marker.exists() and pipes_drained(proc.pid)):
        time.sleep(0.02)
    assert marker.exists() and pipes_drained(proc.pid)
    os.kill(proc.pid, signal.SIGABRT)
    proc.wait(timeout=60)
    assert proc.returncode == -signal.SIGABRT
    cores = [p for p in workdir.iterdir() if p.name.startswith("core")]
    assert all(b"TOPSECRET-42" not in p.read_bytes() for p in cores)
    assert cores == []


def test_log_planted_as_a_link_is_not_followed(workdir):
    target = workdir / "bashrc"
    target.write_text("# the user's own\n")
    os.symlink(target, workdir / "VORK.LOG")
    (workdir / "REdez.No").write_text("")
    result = run_sendal(workdir, ["relay"])
    assert target.read_text() == "# the user's own\n"
    assert result.stdout.count(b"VORK.LOG is not a regular file: no log is kept!") == 1


def test_host_name_of_73_characters_is_used_whole(workdir, relay):
    if subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode != 0:
        pytest.skip("needs a mount namespace of its own (unshare --mount, as root)")
    name = "relay-" + "x" * 50 + ".long-name.test" + "ab"  # 73 characters
    r = relay()
    hosts = workdir / "hosts"
    # Its first 63 characters would lead elsewhere.
    hosts.write_text(f"127.0.0.1 {name}\n127.0.0.2 {name[:63]}\n")
    spool_one(workdir)
    script = f"mount --bind {hosts} /etc/hosts && exec {BINARY} {name} {r.port}"
    run_sendal(workdir, ["--mount", "sh", "-c", script], binary="/usr/bin/unshare")
    assert len(name) == 73 and len(r.messages) == 1 and left(workdir) == []
