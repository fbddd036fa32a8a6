"""Postfix, the real MTA, as a local server for the tests.

``Postfix(ca, user, password)`` starts one instance that belongs to the test
run alone: its configuration, queue and data directories, its Maildir, its
log and the Dovecot auth server it asks about SASL logins all live in a fresh
directory, and it listens on three ports of 127.0.0.1 chosen free:

- ``"ssl"``: implicit TLS from the first byte (smtps, wrapper mode);
- ``"starttls"``: submission, STARTTLS required before AUTH and MAIL;
- ``"plain"``: no TLS at all, AUTH offered in the clear.

On every port AUTH (PLAIN or LOGIN, one user) is required before MAIL, and a
few addresses are refused at MAIL, RCPT or DATA (``REFUSALS``).  Postfix
keeps its defaults: PIPELINING with its strict checks (a client that sends
more behind EHLO, HELO, NOOP or DATA before their reply gets "554 5.5.0
Error: SMTP protocol synchronization" and is disconnected; more behind AUTH
passes, and what follows STARTTLS in the same write is dropped), CHUNKING,
SMTPUTF8, 8BITMIME and SIZE (``size_limit`` bytes, room for a 5 MB
message).  Stricter than the default: a bare LF anywhere in a command or a
message is refused, so that a client which leaks one fails loudly instead of
being quietly fixed up.  The client is not in ``mynetworks`` and its headers
are not rewritten: Postfix treats it as a remote submission client and adds
no Message-ID, Date or From.

``connect(mode)`` gives an smtplib client logged in on a port,
``conversation(mode)`` a ``Conversation`` that sends bytes as given (for
pipelining and BDAT by hand).

Every recipient of every domain is delivered into the one Maildir of the
instance, a message with R recipients as R files.  ``wait_for(n)`` waits
until the queue is empty and at least n messages arrived, and returns every
``Delivery`` there; ``Delivery.sent`` is the message exactly as the client
sent it.  Postfix adds, on top of the client's text, in this order:

    Return-Path: <envelope sender>            (virtual delivery agent)
    X-Original-To: recipient as given in RCPT (virtual delivery agent)
    Delivered-To: envelope recipient          (virtual delivery agent)
    Received: from ... by localhost (Postfix) with ESMTPSA id QUEUEID
        for <rcpt>; date  (one header of several lines, from the SMTP server;
        "for" only with one recipient, ESMTPA without TLS, UTF8SMTPSA ...)

and the milter instance also ``Authentication-Results:`` from OpenDKIM,
between Delivered-To and Received.  The Maildir file has LF line ends (the
queue stores lines, not CRLF), SMTP's dot-stuffing undone.  ``sent`` removes
exactly those header fields and puts CRLF back; since the server refuses a
bare LF, that gives back the client's bytes.

The daemons run as root inside the test root, each in a process group of
its own; ``stop()`` ends the groups, waits for them and removes the
directory, and should the test process die first, a small watcher ends them.
"""

import base64
import contextlib
import dataclasses
import os
import pathlib
import pwd
import re
import shutil
import signal
import smtplib
import socket
import ssl
import subprocess
import tempfile
import time

MODES = ("ssl", "starttls", "plain")

# What the SMTP server answers a MAIL FROM that comes before AUTH.
_AUTH_REQUIRED = "530 5.7.0 Authentication required"

# Addresses the server refuses, for the refusals a client must handle: the
# command whose reply refuses, the address (sender or recipient) and the reply.
REFUSALS = {
    "MAIL": ("refused-sender@example.test", "553 5.7.1 sender refused"),
    "RCPT": ("refused@example.test", "550 5.1.1 no such user"),
    "RCPT later": ("later@example.test", "450 4.2.1 try again later"),
    "DATA": ("refused-data@example.test", "554 5.7.1 message refused"),
}


def _refusing(role, command):
    """The restriction that gives the refusals of `command` to their address."""
    entries = ", ".join(f"{{{address} = {reply}}}" for name, (address, reply)
                        in REFUSALS.items() if name.split()[0] == command)
    return f"check_{role}_access inline:{{{entries}}}"

# Time allowed for a daemon to come up, a message to be delivered and a
# daemon to go away: generous, as the machine is shared.
PATIENCE = 60.0


# Nothing of the test run's environment (a preloaded sanitizer runtime, say)
# reaches Postfix's programs or the daemons.
def _clean_env():
    return {"PATH": os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin"),
            "LANG": "C.UTF-8"}


def _postconf(*args):
    return subprocess.run(["postconf", *args], check=True, capture_output=True,
                          text=True, env=_clean_env()).stdout.strip()


def available(*, dkim=False):
    """None when an instance can start here, else the reason it cannot."""
    for program in ("postconf", "dovecot", *(["opendkim"] if dkim else [])):
        if shutil.which(program) is None:
            return f"{program} is not installed"
    if os.geteuid() != 0:
        return "Postfix's master runs as root only"
    return None


def _free_ports(count):
    """`count` distinct ports free on 127.0.0.1 just now (the caller retries
    when another process takes one before the server binds it)."""
    with contextlib.ExitStack() as stack:
        ports = []
        for _ in range(count):
            sock = stack.enter_context(socket.socket())
            sock.bind(("127.0.0.1", 0))
            ports.append(sock.getsockname()[1])
        return ports


def _accepts(host, port):
    """Whether something listens on `port`."""
    with contextlib.suppress(OSError), socket.create_connection((host, port), timeout=5):
        return True
    return False


def _wait(predicate, what, timeout=PATIENCE, explain=lambda: ""):
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() > deadline:
            raise TimeoutError(f"{what} after {timeout:.0f} s{explain()}")
        time.sleep(0.02)


class _Daemon:
    """A daemon in a session and process group of its own, which it leads."""

    def __init__(self, argv, log_path):
        with open(log_path, "ab") as log:
            self.process = subprocess.Popen(
                argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                env=_clean_env(), start_new_session=True)
        self.group = self.process.pid

    def running(self):
        return self.process.poll() is None

    def stop(self):
        """End the daemon and anything left in its process group."""
        with contextlib.suppress(ProcessLookupError):
            self.process.terminate()
        try:
            self.process.wait(PATIENCE)
        finally:
            # The group outlives its leader while a member lives, and its id
            # is not handed out again until then: signalling it is safe.
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.group, signal.SIGKILL)
            _wait(lambda: not group_members(self.group), "processes left running")


class _Reaper:
    """Ends the daemons' process groups when the test process dies without
    stopping them (a crash, SIGKILL, a sanitizer's abort).

    A shell reads the group ids from a pipe whose other end only the test
    process (and its forks) holds; the end of its input comes when that
    process is gone, and the shell then sends SIGTERM to each group and
    removes the instance's directory.  A parent-death signal would not do:
    it did not survive into Postfix's master (a change of credentials
    clears it)."""

    _SCRIPT = ('dir=$1; shift; while read group; do set -- "$@" "$group"; done; '
               'for group; do kill -TERM "-$group"; done 2>/dev/null; sleep 2; rm -rf "$dir"')

    def __init__(self, directory):
        self.process = subprocess.Popen(["sh", "-c", self._SCRIPT, "reaper", directory],
                                        stdin=subprocess.PIPE, env=_clean_env(),
                                        start_new_session=True)

    def watch(self, group):
        self.process.stdin.write(b"%d\n" % group)
        self.process.stdin.flush()

    def cancel(self):
        """Stop watching, signalling nothing: the groups' ids may be handed
        out again once their members are gone."""
        self.process.kill()
        self.process.wait()
        with contextlib.suppress(BrokenPipeError):
            self.process.stdin.close()


def group_members(group):
    """The pids of the live processes in process group `group`."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = pathlib.Path(f"/proc/{entry}/stat").read_text()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        if fields[0] != "Z" and int(fields[2]) == group:
            members.append(int(entry))
    return members


@dataclasses.dataclass
class Delivery:
    """One delivered message: one recipient's copy, as a Maildir file."""

    path: pathlib.Path
    data: bytes  # the file as Postfix wrote it
    added: list  # the header fields Postfix added, as text
    sent: bytes  # the message as the client sent it (CRLF line ends)

    def added_header(self, name):
        """The value of the header `name` that Postfix added, or None."""
        prefix = name.lower() + ":"
        for field in self.added:
            if field.lower().startswith(prefix):
                return " ".join(field[len(prefix):].split())
        return None

    @property
    def recipient(self):
        return self.added_header("Delivered-To")

    @property
    def sender(self):
        return self.added_header("Return-Path").strip("<>")

    @property
    def dkim(self):
        """OpenDKIM's verdict ("pass", "fail", "none", ...), or None."""
        results = self.added_header("Authentication-Results")
        verdict = results and re.search(r"\bdkim=(\w+)", results)
        return verdict.group(1) if verdict else None

    @property
    def queue_id(self):
        """The queue id (also in the server's reply to the message's end)."""
        return re.search(r" id (\w+)", self.added_header("Received")).group(1)


class Conversation:
    """SMTP by hand, for what smtplib does not do (pipelining, BDAT): bytes
    go out as given, replies come back as (code, text), None once the
    server has closed the connection."""

    def __init__(self, postfix, mode, timeout=PATIENCE):
        self._postfix = postfix
        self.mode = mode
        self.sock = socket.create_connection((postfix.host, postfix.ports[mode]), timeout)
        self._buffer = b""
        self.extensions = set()
        try:
            if mode == "ssl":
                self._start_tls()
            self.greeting = self.reply()
        except BaseException:
            self.sock.close()
            raise

    def _start_tls(self):
        self.sock = self._postfix.client_context().wrap_socket(
            self.sock, server_hostname=self._postfix.host)

    def send(self, data, replies=1):
        """Send `data` in one write; return the next `replies` replies."""
        self.sock.sendall(data)
        return [self.reply() for _ in range(replies)]

    def reply(self):
        lines = []
        while True:
            while b"\r\n" not in self._buffer:
                try:
                    data = self.sock.recv(65536)
                except (ConnectionResetError, ssl.SSLEOFError):
                    data = b""
                if not data:
                    return None
                self._buffer += data
            line, self._buffer = self._buffer.split(b"\r\n", 1)
            lines.append(line[4:].decode())
            if line[3:4] != b"-":
                return int(line[:3]), "\n".join(lines)

    def ehlo(self):
        code, text = self.send(b"EHLO client.example.test\r\n")[0]
        assert code == 250, text
        self.extensions = {line.split()[0].upper() for line in text.splitlines()[1:]}

    def login(self):
        """EHLO, STARTTLS on its port, and AUTH PLAIN."""
        self.ehlo()
        if self.mode == "starttls":
            assert self.send(b"STARTTLS\r\n")[0][0] == 220
            self._start_tls()
            self.ehlo()
        code, text = self.send(self._postfix.auth_plain().encode() + b"\r\n")[0]
        assert code == 235, text

    def closed(self):
        """Whether the server has closed the connection (and sent nothing more)."""
        return self.reply() is None

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class OpenDKIM:
    """OpenDKIM as a verifying milter, knowing one signer's public key.

    The key is an RSA key of 2048 bits made for the instance; tests sign
    with ``private_key`` (PEM, PKCS #8) as ``selector`` of ``domain``, and
    ``txt_record`` is what that signer would publish in DNS (OpenDKIM reads
    it from a file instead: nothing is looked up).  Messages from every
    client are verified, and each gets an Authentication-Results header,
    "dkim=none" when unsigned."""

    domain = "example.test"
    selector = "vantrel"

    def __init__(self, directory):
        from cryptography.hazmat.primitives import serialization
        from cryptography.hazmat.primitives.asymmetric import rsa

        key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        self.private_key = key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
            serialization.NoEncryption())
        public = key.public_key().public_bytes(
            serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
        self.txt_record = f"v=DKIM1; k=rsa; p={base64.b64encode(public).decode()}"
        self.directory = directory
        directory.mkdir()
        self._keys = directory / "keys"
        self._keys.write_text(f"{self.selector}._domainkey.{self.domain} {self.txt_record}\n")

    def command(self, port):
        """Configure OpenDKIM for `port`; the command that starts it."""
        self.milter = f"inet:127.0.0.1:{port}"
        conf = self.directory / "opendkim.conf"
        conf.write_text(f"""\
Mode v
Socket inet:{port}@127.0.0.1
Background no
Syslog no
UserID opendkim
TestPublicKeys {self._keys}
# Nothing counts as internal mail, which would be signed instead.
InternalHosts 192.0.2.1
AlwaysAddARHeader yes
""")
        return ["opendkim", "-f", "-x", str(conf)]


class Postfix:
    """A running instance; see the module's docstring."""

    host = "127.0.0.1"

    def __init__(self, ca, user, password, *, dkim=False):
        """`ca` is the trustme CA that signs the server's certificate;
        `user` and `password` the one login; with `dkim`, OpenDKIM checks
        every message as a milter (``self.dkim``, an ``OpenDKIM``)."""
        if reason := available(dkim=dkim):
            raise RuntimeError(reason)
        self.user = user
        self.password = password
        self.dkim = None
        self._with_dkim = dkim
        self._added = ["Return-Path", "X-Original-To", "Delivered-To",
                       *(["Authentication-Results"] if dkim else []), "Received"]
        self._ca = ca
        # A short path, as the daemons' unix sockets live in there.
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="vantrel-postfix-", dir="/tmp"))
        self.dir.chmod(0o755)  # the daemons' own users go through it
        self._daemons = []
        self._reaper = _Reaper(self.dir)
        try:
            self._start()
        except BaseException:
            self.stop()
            raise

    # --- set-up ---------------------------------------------------------------

    def _start(self):
        d = self.dir
        self.config_dir = d / "etc"
        self.queue_dir = d / "queue"
        self.data_dir = d / "data"
        self.maildir = d / "mail" / "Maildir"
        self.log_path = d / "maillog"
        self._make_directories()
        self._write_certificate()
        self._start_dovecot()
        if self._with_dkim:
            self.dkim = OpenDKIM(d / "opendkim")
            self._start_listening("opendkim", 1, lambda ports: self.dkim.command(*ports),
                                  lambda ports: _accepts(self.host, *ports))
        self._write_main_cf()
        self.size_limit = int(self.postconf("message_size_limit"))
        self._start_listening("master", len(MODES), self._master_command,
                              lambda ports: self._answers())

    def _start_listening(self, name, count, command, ready):
        """Start a daemon on `count` ports chosen free, with the command that
        `command(ports)` gives, and wait until `ready(ports)`.  Another
        process may take a port between the choice and the bind; the daemon
        then stops at once, and new ports are chosen."""
        for attempt in range(5):
            ports = _free_ports(count)
            daemon = self._spawn(name, command(ports))

            def started():
                if not daemon.running():
                    return "stopped"
                return ready(ports) and "ready"
            if _wait(started, f"{name} never answered", explain=self._log_tail) == "ready":
                return
            self._daemons.remove(daemon)
            daemon.stop()
        raise RuntimeError(f"{name} did not start{self._log_tail()}")

    def _make_directories(self):
        """The queue and data directories as Postfix's own table of files
        lays them out, and the Maildir owned by the delivering user."""
        self.config_dir.mkdir()
        names = {"queue_directory": self.queue_dir, "data_directory": self.data_dir,
                 "mail_owner": "postfix", "setgid_group": "postdrop"}
        table = pathlib.Path(_postconf("-dh", "meta_directory")) / "postfix-files"
        for line in table.read_text().splitlines():
            path, kind, owner, group, mode, *_ = (line.split(":") + [""] * 6)[:6]
            root, _, rest = path.partition("/")
            if kind != "d" or root[1:] not in ("queue_directory", "data_directory"):
                continue
            target = names[root[1:]] / rest
            target.mkdir(parents=True, exist_ok=True)
            shutil.chown(target, names.get(owner[1:], owner),
                         names.get(group[1:], group) if group != "-" else None)
            target.chmod(int(mode, 8))
        nobody = pwd.getpwnam("nobody")
        self.mail_uid, self.mail_gid = nobody.pw_uid, nobody.pw_gid
        for sub in ("", "new", "cur", "tmp"):
            (self.maildir / sub).mkdir(parents=True, exist_ok=True)
        for path in (self.maildir.parent, *self.maildir.rglob("*"), self.maildir):
            os.chown(path, self.mail_uid, self.mail_gid)

    def _write_certificate(self):
        tls = self.dir / "tls"
        tls.mkdir(mode=0o700)
        leaf = self._ca.issue_cert("127.0.0.1", "localhost")
        self.key_file, self.cert_file = tls / "key.pem", tls / "cert.pem"
        leaf.private_key_pem.write_to_path(str(self.key_file))
        with open(self.cert_file, "wb") as out:
            for blob in leaf.cert_chain_pems:
                out.write(blob.bytes())

    def _start_dovecot(self):
        """Dovecot's auth server alone, on a socket in Postfix's private
        directory, where Postfix's SMTP server asks about each login."""
        base = self.dir / "dovecot"
        base.mkdir()
        users = base / "users"
        users.write_text(f"{self.user}:{{PLAIN}}{self.password}\n")
        users.chmod(0o644)
        self._auth_socket = self.queue_dir / "private" / "auth"
        conf = base / "dovecot.conf"
        conf.write_text(f"""\
dovecot_config_version = 2.4.0
dovecot_storage_version = 2.4.0
protocols {{
}}
base_dir = {base}/run
state_dir = {base}/state
log_path = {base}/log
instance_name = {base.parent.name}
ssl = no
auth_mechanisms = plain login
auth_allow_cleartext = yes
# A refused login is answered at once (tests try wrong passwords on purpose).
auth_failure_delay = 0
passdb passwd-file {{
  passwd_file_path = {users}
}}
service auth {{
  unix_listener {self._auth_socket} {{
    mode = 0660
    user = postfix
    group = postfix
  }}
}}
""")
        dovecot = self._spawn("dovecot", ["dovecot", "-F", "-c", str(conf)])
        _wait(lambda: self._auth_socket.exists() or not dovecot.running(),
              "Dovecot's auth socket never appeared", explain=self._log_tail)
        if not dovecot.running():
            raise RuntimeError(f"Dovecot did not start{self._log_tail()}")

    def _write_main_cf(self):
        d = self.dir
        version = ".".join(_postconf("-dh", "mail_version").split(".")[:2])
        settings = {
            "compatibility_level": version,
            "queue_directory": self.queue_dir,
            "data_directory": self.data_dir,
            "maillog_file": self.log_path,
            "maillog_file_prefixes": d,
            "myhostname": "localhost",
            "mydomain": "example.test",
            "myorigin": "$mydomain",
            "smtpd_banner": "$myhostname ESMTP",
            "inet_interfaces": "127.0.0.1",
            "inet_protocols": "ipv4",
            # The client is a remote one: not trusted by address, its headers
            # left as they came, no name looked up for it.
            "mynetworks": "",
            "local_header_rewrite_clients": "",
            "smtpd_peername_lookup": "no",
            # Every address of every domain is delivered here, into one
            # Maildir, as user nobody; nothing leaves the machine.
            "mydestination": "",
            "relay_domains": "",
            "alias_maps": "",
            "virtual_mailbox_domains": "static:all",
            "virtual_mailbox_base": d / "mail",
            "virtual_mailbox_maps": "static:Maildir/",
            "virtual_uid_maps": f"static:{self.mail_uid}",
            "virtual_gid_maps": f"static:{self.mail_gid}",
            "virtual_minimum_uid": "1",
            "default_transport": "error:5.3.0 the test server delivers locally only",
            "relay_transport": "$default_transport",
            # AUTH before MAIL: the sender restriction runs at MAIL itself.
            "smtpd_sasl_auth_enable": "yes",
            "smtpd_sasl_type": "dovecot",
            "smtpd_sasl_path": "private/auth",
            "smtpd_delay_reject": "no",
            "smtpd_sender_restrictions":
                f"{_refusing('sender', 'MAIL')}, permit_sasl_authenticated, "
                f"check_sender_access static:{{{_AUTH_REQUIRED}}}",
            "smtpd_relay_restrictions": "permit_sasl_authenticated, reject",
            "smtpd_recipient_restrictions": _refusing("recipient", "RCPT"),
            "smtpd_data_restrictions": _refusing("sender", "DATA"),
            "smtpd_tls_chain_files": f"{self.key_file}, {self.cert_file}",
            # The defaults the tests rely on, said out loud.
            "smtpd_forbid_unauth_pipelining": "yes",
            "smtputf8_enable": "yes",
            "message_size_limit": "10240000",
            # Stricter than the default, which would turn a bare LF into CRLF.
            "smtpd_forbid_bare_newline": "reject",
            "smtpd_forbid_bare_newline_exclusions": "",
        }
        if self.dkim:
            # A milter that is down makes every message fail, not pass unchecked.
            settings.update(smtpd_milters=self.dkim.milter, milter_default_action="tempfail")
        (self.config_dir / "main.cf").write_text(
            "".join(f"{name} = {value}\n" for name, value in settings.items()))

    # name type private unpriv chroot wakeup maxproc command
    _SERVICES = """\
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
tlsmgr    unix  -       -       n       1000?   1       tlsmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
proxywrite unix -       -       n       -       1       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
"""
    _SMTPD_OPTIONS = {
        "ssl": ("smtpd_tls_wrappermode=yes", "smtpd_tls_security_level=encrypt"),
        "starttls": ("smtpd_tls_security_level=encrypt", "smtpd_tls_auth_only=yes"),
        "plain": ("smtpd_tls_security_level=none", "smtpd_tls_auth_only=no"),
    }

    def _master_command(self, ports):
        self.ports = dict(zip(MODES, ports))
        self._write_master_cf()
        return [f"{self.postconf('daemon_directory')}/master", "-d", "-c", str(self.config_dir)]

    def _write_master_cf(self):
        lines = [self._SERVICES]
        for mode, port in self.ports.items():
            lines.append(f"{self.host}:{port} inet n - n - - smtpd\n")
            lines.extend(f"  -o {option}\n" for option in
                         (f"syslog_name=postfix/{mode}", *self._SMTPD_OPTIONS[mode]))
        (self.config_dir / "master.cf").write_text("".join(lines))

    def _spawn(self, name, argv):
        daemon = _Daemon(argv, self.dir / f"{name}.out")
        self._reaper.watch(daemon.group)
        self._daemons.append(daemon)
        return daemon

    def _answers(self):
        """Whether every port takes a login."""
        try:
            for mode in MODES:
                with self.connect(mode, timeout=5):
                    pass
        except (OSError, smtplib.SMTPException):
            return False
        return True

    # --- use --------------------------------------------------------------------

    def postconf(self, name):
        """A setting of this instance, as Postfix itself reads it."""
        return _postconf("-c", str(self.config_dir), "-xh", name)

    def mailer_args(self, mode):
        """EasyMailer's connection settings for the port of `mode`."""
        return dict(host=self.host, port=self.ports[mode], username=self.user,
                    password=self.password, use_ssl=mode == "ssl",
                    use_tls=mode == "starttls")

    def client_context(self):
        context = ssl.create_default_context()
        self._ca.configure_trust(context)
        return context

    def connect(self, mode, *, login=True, timeout=PATIENCE):
        """An smtplib client on the port of `mode`, TLS up and (unless
        `login` is False) logged in."""
        if mode == "ssl":
            client = smtplib.SMTP_SSL(self.host, self.ports[mode], timeout=timeout,
                                      context=self.client_context())
        else:
            client = smtplib.SMTP(self.host, self.ports[mode], timeout=timeout)
        try:
            if mode == "starttls":
                client.starttls(context=self.client_context())
            if login:
                client.login(self.user, self.password)
        except BaseException:
            client.close()
            raise
        return client

    def conversation(self, mode):
        """A ``Conversation`` on the port of `mode`, after the greeting."""
        return Conversation(self, mode)

    def auth_plain(self):
        """The AUTH PLAIN command line for the login, without its CRLF."""
        token = base64.b64encode(f"\0{self.user}\0{self.password}".encode()).decode()
        return f"AUTH PLAIN {token}"

    def deliveries(self):
        """Every message delivered so far, in the order they were delivered."""
        def order(path):  # Maildir names: seconds.V...I...M<microseconds>.host
            seconds, _, rest = path.name.partition(".")
            micros = re.search(r"M(\d+)", rest)
            return int(seconds), int(micros.group(1)) if micros else 0, path.name
        return [self._parse(path) for path in
                sorted((self.maildir / "new").iterdir(), key=order)]

    def _parse(self, path):
        data = path.read_bytes()
        lines = data.split(b"\n")
        added = []
        for name in self._added:
            field = lines.pop(0)
            while lines and lines[0][:1] in (b" ", b"\t"):
                field += b"\n" + lines.pop(0)
            if not field.lower().startswith(name.lower().encode() + b":"):
                raise AssertionError(f"{path.name}: expected {name}:, found {field[:80]!r}")
            added.append(field.decode("utf-8", "replace"))
        return Delivery(path, data, added, b"\r\n".join(lines))

    def queue_empty(self):
        for name in ("maildrop", "incoming", "active", "deferred", "hold"):
            for _, _, files in os.walk(self.queue_dir / name):
                if files:
                    return False
        return True

    def wait_for(self, count, timeout=PATIENCE):
        """Wait until `count` messages arrived and nothing more is queued;
        return every delivery there (more than `count` if more came)."""
        def done():
            if any(files for _, _, files in os.walk(self.queue_dir / "deferred")):
                raise AssertionError(f"Postfix deferred a message{self._log_tail()}")
            return self.queue_empty() and len(os.listdir(self.maildir / "new")) >= count
        _wait(done, f"{count} message(s) never arrived", timeout, self._log_tail)
        return self.deliveries()

    def clear(self):
        """Forget the messages delivered so far (after the queue drained)."""
        _wait(self.queue_empty, "the queue never drained", explain=self._log_tail)
        for path in (self.maildir / "new").iterdir():
            path.unlink()

    def log(self):
        """The instance's mail log so far."""
        with contextlib.suppress(FileNotFoundError):
            return self.log_path.read_text(errors="replace")
        return ""

    def _tail(self, path, lines=30):
        with contextlib.suppress(FileNotFoundError):
            if text := path.read_text(errors="replace").splitlines()[-lines:]:
                return f"\n--- {path.name}:\n" + "\n".join(text)
        return ""

    def _log_tail(self):
        """The end of every log of the instance, to explain a failure."""
        logs = [self.log_path, self.dir / "dovecot" / "log", *sorted(self.dir.glob("*.out"))]
        return "".join(self._tail(path) for path in logs)

    def groups(self):
        """The process groups of the instance's daemons."""
        return [daemon.group for daemon in self._daemons]

    def stop(self):
        """Stop the daemons, last started first, and remove the directory."""
        self._reaper.cancel()
        try:
            for daemon in reversed(self._daemons):
                daemon.stop()
        finally:
            self._daemons.clear()
            shutil.rmtree(self.dir, ignore_errors=True)
