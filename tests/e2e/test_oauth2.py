"""OAuth2 that keeps working unattended: sendal --authorize with the device grant and with the
code grant (PKCE, a redirect to 127.0.0.1 whose state is checked) against an HTTPS
authorisation server of the tests' own; a run refreshes an expiring token by itself (and keeps
a rotated refresh token); a revoked one asks for a person; a token endpoint that hangs, floods
or answers garbage is bounded; no token in the log, the console, a child's environment or a
command line."""
import base64
import hashlib
import json
import os
import ssl
import subprocess
import threading
import time
import urllib.parse
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from conftest import BINARY, run_sendal, write_spool
from test_credentials import TOKEN, OAuthMailbox
from test_tls import USER, Relay, ca, server_context  # noqa: F401  (ca is a fixture)

CLIENT = "client-1234"
REFRESH = "refresh-ONE"


class AuthServer:
    """An authorisation server on https://127.0.0.1: the device endpoint (pending once, slow
    down once, then the tokens), the token endpoint for every grant, and what it was asked."""

    def __init__(self, cert):
        self.requests = []
        self.refresh_tokens = {REFRESH}  # the ones it still honours
        self.rotate = None  # a new refresh token to hand out with the next refresh
        self.device_polls = 0
        self.fault = None  # "hang", "flood", "garbage", "html", "redirect"
        self.verifier_ok = None
        server = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                length = int(self.headers.get("Content-Length", 0))
                form = dict(urllib.parse.parse_qsl(self.rfile.read(length).decode()))
                server.requests.append((self.path, form))
                status, body = server.answer(self.path, form, self)
                if status is None:
                    return
                payload = body if isinstance(body, bytes) else json.dumps(body).encode()
                self.send_response(status)
                if status in (301, 302):
                    self.send_header("Location", "https://elsewhere.example/token")
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(payload)))
                self.end_headers()
                self.wfile.write(payload)

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.socket = server_context(cert).wrap_socket(self.httpd.socket, server_side=True)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return f"https://127.0.0.1:{self.port}{path}"

    def tokens(self, refresh=REFRESH):
        return 200, {"access_token": TOKEN, "expires_in": 3600, "token_type": "Bearer", "refresh_token": refresh}

    def answer(self, path, form, handler):
        if self.fault == "hang":
            time.sleep(45)
            return None, None
        if self.fault == "flood":
            handler.send_response(200)
            handler.send_header("Content-Type", "application/json")
            handler.end_headers()
            try:
                for _ in range(2000):
                    handler.wfile.write(b"x" * 65536)
            except OSError:
                pass
            return None, None
        if self.fault == "garbage":
            return 200, b"{\"access_token\": \"ya29.half"
        if self.fault == "html":
            return 200, b"<html><body>Sign in</body></html>"
        if self.fault == "redirect":
            return 302, b""
        if form.get("client_id") != CLIENT:
            return 400, {"error": "invalid_client"}
        if path == "/device":
            return 200, {"device_code": "dev-code", "user_code": "WXYZ-1234", "interval": 1, "expires_in": 600,
                         "verification_uri": "https://example.test/devicelogin"}
        grant = form.get("grant_type")
        if grant == "urn:ietf:params:oauth:grant-type:device_code":
            self.device_polls += 1
            if self.device_polls == 1:
                return 400, {"error": "authorization_pending"}
            if self.device_polls == 2:
                return 400, {"error": "slow_down"}
            return self.tokens()
        if grant == "authorization_code":
            challenge = base64.urlsafe_b64encode(hashlib.sha256(form.get("code_verifier", "").encode()).digest())
            self.verifier_ok = challenge.rstrip(b"=").decode() == self.challenge and form.get("code") == "the-code"
            return self.tokens() if self.verifier_ok else (400, {"error": "invalid_grant"})
        if grant == "refresh_token":
            if form.get("refresh_token") not in self.refresh_tokens:
                return 400, {"error": "invalid_grant", "error_description": "AADSTS70008: the refresh token has expired"}
            if self.rotate:
                self.refresh_tokens = {self.rotate}
                return self.tokens(self.rotate)
            return 200, {"access_token": TOKEN, "expires_in": 3600}
        return 400, {"error": "unsupported_grant_type"}

    def stop(self):
        self.httpd.shutdown()


@pytest.fixture
def auth(ca):  # noqa: F811
    server = AuthServer(ca.good)
    yield server
    server.stop()


@pytest.fixture
def relay(ca):  # noqa: F811
    r = Relay("tls", ca.good, mailbox=OAuthMailbox())
    yield r
    r.stop()


def config(workdir, ca, auth, relay_port, flow="device", mechanism="xoauth2"):  # noqa: F811
    endpoints = (f'device_url = "{auth.url("/device")}"' if flow == "device" else
                 f'auth_url = "{auth.url("/authorize")}"')
    path = workdir / "config.toml"
    path.write_text(f'''spool = "{workdir}/spool"
notify_command = 'echo "$SENDAL_EVENT $SENDAL_REASON" >> {workdir}/events; env >> {workdir}/environment'

[accounts.work]
host = "127.0.0.1"
port = {relay_port}
security = "tls"
auth = "{mechanism}"
login = "{USER}"
ca_file = "{ca.ca_file}"
default = true

[accounts.work.oauth2]
client_id = "{CLIENT}"
token_url = "{auth.url("/token")}"
{endpoints}
scope = "https://outlook.office.com/SMTP.Send offline_access"
''')
    path.chmod(0o600)
    return path


def token_file():
    return os.path.join(os.environ["XDG_STATE_HOME"], "sendal", "oauth2", "work.json")


def store(refresh=REFRESH, access="stale-access", expires_at=0):
    path = token_file()
    os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
    with open(path, "w") as out:
        json.dump({"refresh_token": refresh, "access_token": access, "expires_at": expires_at}, out)
    os.chmod(path, 0o600)


@pytest.fixture(autouse=True)
def no_tokens():
    if os.path.exists(token_file()):
        os.unlink(token_file())
    yield


def spool(workdir, count=2):
    for i in range(1, count + 1):
        write_spool(workdir / "spool", f"m000{i}.out", f"From: {USER}@work.test\nTo: bob@example.org\n\nwork {i}\n")


def left(workdir):
    return sorted(p.name for p in (workdir / "spool").iterdir())


def test_authorize_with_the_device_grant_stores_the_token(workdir, ca, auth):  # noqa: F811
    path = config(workdir, ca, auth, 1)
    result = run_sendal(workdir, ["--authorize", "work", f"--config={path}"], timeout=120)
    assert result.returncode == 0, result.stdout
    assert b"open https://example.test/devicelogin and enter the code WXYZ-1234" in result.stdout
    assert auth.device_polls == 3  # pending, slow down, then the tokens
    assert os.stat(token_file()).st_mode & 0o777 == 0o600
    stored = json.load(open(token_file()))
    assert stored["refresh_token"] == REFRESH and stored["access_token"] == TOKEN
    assert TOKEN.encode() not in result.stdout and REFRESH.encode() not in result.stdout


@pytest.mark.parametrize("right_state", [True, False])
def test_authorize_with_the_code_grant_checks_the_state(workdir, ca, auth, right_state):  # noqa: F811
    path = config(workdir, ca, auth, 1, flow="code")
    proc = subprocess.Popen([BINARY, "--authorize", "work", f"--config={path}"], cwd=workdir,
                            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    url = None
    for line in proc.stdout:
        if line.startswith(auth.url("/authorize").encode()):
            url = line.decode().strip()
            break
    query = dict(urllib.parse.parse_qsl(urllib.parse.urlparse(url).query))
    assert query["code_challenge_method"] == "S256" and query["client_id"] == CLIENT
    auth.challenge = query["code_challenge"]
    state = query["state"] if right_state else "forged"
    redirect = query["redirect_uri"]
    assert redirect.startswith("http://127.0.0.1:")
    urllib.request.urlopen(f"{redirect}?code=the-code&state={state}", timeout=30).read()
    rest = proc.stdout.read()
    proc.wait(timeout=60)
    if right_state:
        assert proc.returncode == 0 and auth.verifier_ok and b"Authorised: work" in rest
        assert json.load(open(token_file()))["refresh_token"] == REFRESH
    else:
        assert proc.returncode == 77 and b"state is not this request's" in rest
        assert not os.path.exists(token_file()) and not auth.requests  # the code never went anywhere


@pytest.mark.parametrize("mechanism", ["xoauth2", "oauthbearer"])
def test_an_expired_token_is_refreshed_and_the_mail_goes(workdir, ca, auth, relay, mechanism):  # noqa: F811
    store(expires_at=int(time.time()) + 60)  # within five minutes of its end
    auth.rotate = "refresh-TWO"
    spool(workdir)
    path = config(workdir, ca, auth, relay.port, mechanism=mechanism)
    result = run_sendal(workdir, ["--send", f"--config={path}", "-exitcode"], timeout=180)
    assert result.returncode == 0 and left(workdir) == [], result.log
    assert len(relay.mailbox.messages) == 2
    assert [f.get("grant_type") for _, f in auth.requests] == ["refresh_token"]
    stored = json.load(open(token_file()))
    assert stored["refresh_token"] == "refresh-TWO" and stored["expires_at"] > time.time() + 3000
    assert b"[work] Access token of work refreshed" in result.log_messages()
    for secret in (TOKEN, REFRESH, "refresh-TWO"):
        assert secret.encode() not in result.log and secret.encode() not in result.stdout
        assert secret.encode() not in result.console


def test_a_fresh_token_the_relay_refuses_is_refreshed_once(workdir, ca, auth, relay):  # noqa: F811
    store(access="revoked-early", expires_at=int(time.time()) + 3000)
    spool(workdir, 1)
    path = config(workdir, ca, auth, relay.port)
    seen = []

    def no_token_in_view(proc):  # what every user of the machine may read of the run
        try:
            seen.append(open(f"/proc/{proc.pid}/cmdline", "rb").read() + open(f"/proc/{proc.pid}/environ", "rb").read())
        except OSError:
            pass
        time.sleep(0.02)
        return False
    result = run_sendal(workdir, ["--send", f"--config={path}", "-exitcode"], timeout=180,
                        while_running=no_token_in_view)
    assert seen and all(b"revoked-early" not in s and REFRESH.encode() not in s and TOKEN.encode() not in s
                        for s in seen)
    assert result.returncode == 0 and left(workdir) == [], result.log
    assert [f.get("grant_type") for _, f in auth.requests] == ["refresh_token"]


def test_a_revoked_refresh_token_asks_for_a_person(workdir, ca, auth, relay):  # noqa: F811
    store(refresh="refresh-REVOKED")
    spool(workdir)
    path = config(workdir, ca, auth, relay.port)
    result = run_sendal(workdir, ["--send", f"--config={path}", "-exitcode"], timeout=180)
    assert result.returncode == 77 and left(workdir) == ["m0001.out", "m0002.out"]
    assert (b"[work] Login needs a person: run sendal --authorize work (invalid_grant: AADSTS70008: the refresh "
            b"token has expired)!") in result.log_messages()
    events = (workdir / "events").read_text().splitlines()
    assert len(events) == 1 and events[0].startswith("login Login needs a person")
    assert b"refresh-REVOKED" not in (workdir / "environment").read_bytes()  # a child's environment
    assert relay.mailbox.messages == []


@pytest.mark.parametrize("fault,message", [
    ("garbage", b"the token endpoint answered no JSON (HTTP 200)"),
    ("html", b"the token endpoint answered no JSON (HTTP 200)"),
    ("redirect", b"a redirect (HTTP 302)"),
    ("flood", b"an answer over 1 MiB"),
    pytest.param("hang", b"no whole answer within 30 s", marks=pytest.mark.slow),
])
def test_a_token_endpoint_that_misbehaves_is_bounded(workdir, ca, auth, relay, fault, message):  # noqa: F811
    store()
    auth.fault = fault
    spool(workdir, 1)
    path = config(workdir, ca, auth, relay.port)
    started = time.monotonic()
    result = run_sendal(workdir, ["--send", f"--config={path}", "-exitcode"], timeout=180)
    assert time.monotonic() - started < 120
    assert result.returncode in (75, 77) and left(workdir) == ["m0001.out"]
    assert message in result.log, result.log


def test_token_file_open_to_others_is_refused(workdir, ca, auth, relay):  # noqa: F811
    store()
    os.chmod(token_file(), 0o644)
    spool(workdir, 1)
    path = config(workdir, ca, auth, relay.port)
    result = run_sendal(workdir, ["--send", f"--config={path}", "-exitcode"], timeout=180)
    assert result.returncode == 78 and b"may be read by others (chmod 600 " in result.log
    assert not auth.requests
