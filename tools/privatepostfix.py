"""A private Postfix for the tests and benchmarks: its own main.cf, master.cf, queue and
Maildir under one folder, smtpd services on 127.0.0.1 high ports, started and stopped by the
caller (its master in the foreground, as root; its log in the folder's maillog). Mail for
example.test lands in one Maildir."""
import os
import pwd
import shutil
import socket
import subprocess
import time
from pathlib import Path

from loopback import free_port

DOMAIN = "example.test"
KNOWN_USERS = ("bob", "carol", "dave", "erin", "good")


def available():
    return shutil.which("postfix") is not None and os.geteuid() == 0


MAIN_CF = """\
compatibility_level = 3.6
queue_directory = {dir}/queue
data_directory = {dir}/data
command_directory = /usr/sbin
daemon_directory = /usr/lib/postfix/sbin
shlib_directory = /usr/lib/postfix
mail_owner = postfix
setgid_group = postdrop
myhostname = relay.{domain}
mydomain = {domain}
myorigin = $myhostname
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mydestination =
local_recipient_maps =
alias_maps =
alias_database =
mynetworks = 127.0.0.0/8
relay_domains =
smtpd_relay_restrictions = permit_mynetworks, reject
smtpd_recipient_restrictions = permit_mynetworks, reject
virtual_mailbox_domains = {domain}
virtual_mailbox_base = {dir}/mail
virtual_mailbox_maps = static:box/
virtual_uid_maps = static:{uid}
virtual_gid_maps = static:{gid}
virtual_mailbox_limit = 0
message_size_limit = 0
maillog_file = /dev/stdout
smtputf8_enable = yes
smtpd_banner = $myhostname ESMTP
postscreen_access_list =
postscreen_greet_action = enforce
postscreen_greet_wait = 2s
postscreen_greet_banner = $smtpd_banner, say nothing yet
postscreen_cache_map = texthash:{dir}/psc_cache
postscreen_dnsbl_sites =
smtpd_error_sleep_time = 0
smtpd_soft_error_limit = 1000
smtpd_hard_error_limit = 1000
smtpd_client_connection_rate_limit = 0
smtpd_client_message_rate_limit = 0
anvil_rate_time_unit = 60s
in_flow_delay = 0
biff = no
"""

SERVICES = """\
{plain} inet n - n - - smtpd
{small} inet n - n - - smtpd
  -o message_size_limit=20000
{strict} inet n - n - - smtpd
  -o message_size_limit=20000
  -o smtpd_recipient_restrictions=reject_unlisted_recipient,permit_mynetworks,reject
  -o virtual_mailbox_maps=texthash:{dir}/users
{screened} inet n - n - 1 postscreen
smtpd pass - - n - - smtpd
dnsblog unix - - n - 0 dnsblog
tlsproxy unix - - n - 0 tlsproxy
"""


CERTS_SERVICE = """\
{port} inet n - n - - smtpd
  -o smtpd_tls_security_level=may
  -o smtpd_tls_cert_file={dir}/tls/relay.pem
  -o smtpd_tls_key_file={dir}/tls/relay.key
  -o smtpd_tls_CAfile={dir}/tls/ca.pem
  -o smtpd_tls_ask_ccert=yes
  -o mynetworks=192.0.2.0/24
  -o smtpd_relay_restrictions=permit_tls_all_clientcerts,reject_unauth_destination
  -o smtpd_recipient_restrictions=permit_tls_all_clientcerts,reject_unauth_destination
"""


SUBMISSION_SERVICE = """\
{port} inet n - n - - smtpd
  -o smtpd_tls_security_level=encrypt
  -o smtpd_tls_cert_file={dir}/tls/relay.pem
  -o smtpd_tls_key_file={dir}/tls/relay.key
  -o smtpd_tls_auth_only=yes
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_sasl_type=dovecot
  -o smtpd_sasl_path=private/auth
  -o mynetworks=192.0.2.0/24
  -o smtpd_sender_login_maps=texthash:{dir}/senders
  -o smtpd_sender_restrictions=reject_sender_login_mismatch
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
  -o smtpd_recipient_restrictions=permit_sasl_authenticated,reject
"""

DOVECOT_CONF = """\
protocols =
base_dir = {dir}/dovecot
state_dir = {dir}/dovecot
log_path = {dir}/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain login
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {dir}/dovecot-users
}}
userdb {{
  driver = static
  args = uid=nobody gid=nogroup home=/nonexistent
}}
service auth {{
  unix_listener {dir}/queue/private/auth {{
    mode = 0660
    user = postfix
    group = postfix
  }}
}}
"""


def dovecot_available():
    return shutil.which("dovecot") is not None


class PrivatePostfix:
    """Ports: plain (everything offered), small (message_size_limit 20000), strict (550 for a
    user it does not know, and the small size limit), screened (postscreen with the pregreet test enforced)."""

    def __init__(self, folder, discard=False, tls=None, logins=None):
        self.dir = Path(folder)
        self.discard = discard  # mail is thrown away, as a benchmark's sink wants
        self.tls = tls  # (cert, key, CA file): adds the "certs" service
        # {login: (password, [addresses it owns])}, with tls: adds "submission", STARTTLS and
        # AUTH through a private Dovecot, and a sender check as providers make it
        self.logins = logins
        self.dovecot = None
        names = ("plain", "small", "strict", "screened") + (("certs",) if tls else ()) + \
            (("submission",) if tls and logins else ())
        self.ports = {name: free_port() for name in names}
        self.maildir = self.dir / "mail" / "box"
        self._write_config()

    def _write_config(self):
        user = pwd.getpwnam("postfix")
        self.dir.chmod(0o755)  # the daemons run as postfix and must reach their folders
        for sub in ("queue", "data", "mail"):
            (self.dir / sub).mkdir(parents=True, exist_ok=True)
        shutil.chown(self.dir / "mail", user.pw_uid, user.pw_gid)
        shutil.chown(self.dir / "data", user.pw_uid, user.pw_gid)
        (self.dir / "users").write_text("".join(f"{u}@{DOMAIN} box/\n" for u in KNOWN_USERS))
        (self.dir / "psc_cache").write_text("")
        (self.dir / "main.cf").write_text(MAIN_CF.format(dir=self.dir, domain=DOMAIN,
                                                          uid=user.pw_uid, gid=user.pw_gid) +
                                           ("virtual_transport = discard\n" if self.discard else ""))
        lines = []
        for line in Path("/etc/postfix/master.cf").read_text().splitlines():
            fields = line.split()
            if not fields or line.startswith("#") or line[0].isspace():
                if lines and line[:1].isspace() and lines[-1] is not None:
                    lines.append(line)
                continue
            if fields[1] == "inet" or fields[0] in ("smtpd", "dnsblog", "tlsproxy") or \
                    fields[-1] in ("pipe",) or len(fields) < 8:
                lines.append(None)  # drop it and its option lines
                continue
            fields[4] = "n"  # no chroot: the private queue is not set up for one
            lines.append(" ".join(fields))
        master = "\n".join(l for l in lines if l is not None) + "\n"
        master += SERVICES.format(dir=self.dir, **self.ports)
        if self.tls:
            master += self._tls_service()
        (self.dir / "master.cf").write_text(master)

    def _tls_service(self):
        """STARTTLS that asks for a client certificate of the given CA; only a client that
        presents one may relay (no trusted networks here), and relayed mail is thrown away."""
        folder = self.dir / "tls"
        folder.mkdir(exist_ok=True)
        for source, name in zip(self.tls, ("relay.pem", "relay.key", "ca.pem")):
            shutil.copy(source, folder / name)
            (folder / name).chmod(0o600)
        with open(self.dir / "main.cf", "a") as main:
            main.write("default_transport = discard\nrelay_transport = discard\n"
                       "smtpd_tls_loglevel = 1\nsmtpd_tls_received_header = yes\n")
        service = CERTS_SERVICE.format(dir=self.dir, port=self.ports["certs"])
        if self.logins:
            service += self._submission_service()
        return service

    def _submission_service(self):
        (self.dir / "senders").write_text("".join(f"{address} {login}\n" for login, (_, owned) in
                                                  self.logins.items() for address in owned))
        users = self.dir / "dovecot-users"
        users.write_text("".join(f"{login}:{{PLAIN}}{password}::::::\n"
                                 for login, (password, _) in self.logins.items()))
        (self.dir / "dovecot").mkdir(exist_ok=True)
        (self.dir / "dovecot.conf").write_text(DOVECOT_CONF.format(dir=self.dir))
        return SUBMISSION_SERVICE.format(dir=self.dir, port=self.ports["submission"])

    def postfix(self, *args):
        return subprocess.run(["postfix", "-c", str(self.dir), *args], capture_output=True,
                              text=True, timeout=120)

    def start(self):
        self.postfix("check")  # makes the queue's folders
        if self.logins:  # its socket goes into the queue's private folder
            self.dovecot = subprocess.Popen(["dovecot", "-F", "-c", str(self.dir / "dovecot.conf")],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.logfile = open(self.dir / "maillog", "wb")
        self.master = subprocess.Popen(["/usr/lib/postfix/sbin/master", "-c", str(self.dir), "-d"],
                                       stdout=self.logfile, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 60
        for port in self.ports.values():
            while True:
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    break
                except OSError:
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.1)
        return self

    def stop(self):
        if self.dovecot:
            self.dovecot.terminate()
            self.dovecot.wait(timeout=30)
        self.master.terminate()
        try:
            self.master.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.master.kill()
            self.master.wait()
        self.logfile.close()

    def delivered(self, count, to, timeout=60):
        """The messages for `to` in the Maildir once `count` have arrived (or the time is up)."""
        deadline = time.monotonic() + timeout
        mark = b"Delivered-To: " + to.encode() + b"\n"
        while True:
            new = sorted((self.maildir / "new").glob("*")) if (self.maildir / "new").exists() else []
            mine = [m for m in (p.read_bytes() for p in new) if mark in m.split(b"\n\n", 1)[0] + b"\n"]
            if len(mine) >= count or time.monotonic() > deadline:
                return mine
            time.sleep(0.1)

    def log(self):
        path = self.dir / "maillog"
        return path.read_text(errors="replace") if path.exists() else ""
