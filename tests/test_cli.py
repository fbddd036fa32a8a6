"""The vantrel command, run as a user runs it: in its own process, against the
real local servers of conftest, with real files and the built-in templates."""

import email
import email.policy
import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import PASSWORD, USER
from network import closed_port

VARIABLE = "VANTREL_SMTP_PASSWORD"
A, B, C, D = "ann@example.com", "bob@example.org", "cat@example.net", "dan@example.com"
BIN = Path(sys.executable).parent


def cli_command(*args):
    return [sys.executable, "-P", "-m", "vantrel", *map(str, args)]


def cli_env(password):
    env = dict(os.environ)  # SSL_CERT_FILE names the test CA (conftest)
    env.pop(VARIABLE, None)
    if password is not None:
        env[VARIABLE] = password
    return env


def run_cli(*args, password=PASSWORD, stdin=None):
    """Runs the command without a terminal (a prompt cannot wait for input);
    whatever happens, the password shows in none of its output, nor any of
    its characters that are not ASCII."""
    result = subprocess.run(
        cli_command(*args),
        capture_output=True,
        text=True,
        env=cli_env(password),
        input=stdin,
        stdin=subprocess.DEVNULL if stdin is None else None,
        start_new_session=True,
        timeout=120,
    )
    output = result.stdout + result.stderr
    assert PASSWORD not in output
    if password is not None:
        assert password not in output
        assert not [c for c in password if not c.isascii() and c in output]
    return result


def server_args(server):
    return ["--host", server.host, "--port", server.port, "--mode", server.mode, "--user", USER]


def parse(raw):
    if isinstance(raw, str):
        raw = raw.encode()
    return email.message_from_bytes(raw, policy=email.policy.default)


def body(message, content_type):
    part = next((p for p in message.walk()
                 if p.get_content_type() == content_type and not p.get_filename()), None)
    return None if part is None else part.get_content()


def assert_error(result, status, *words):
    assert result.returncode == status, result.stderr
    assert result.stdout == ""
    [line] = result.stderr.splitlines()
    assert line.startswith("vantrel")
    for word in words:
        assert word in line


# --- sending -----------------------------------------------------------------

def test_send_a_template_with_an_attachment(server, tmp_path):
    csv = tmp_path / "disk.csv"
    csv.write_text("mount,used\n/var,97%\n")
    result = run_cli(
        "send", *server_args(server), "--to", A, "--to", B, "--cc", C, "--bcc", D,
        "--template", "notification", "--var", "title=Disk almost full",
        "--var", "message=/var is at 97%.", "--var", "action_url=https://example.com/disk",
        "--attach", csv, "--sender-name", "Ops Robot", "--reply-to", "ops@example.com")
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")

    [received] = server.messages
    assert server.connections == 1
    assert received.mail_from == USER
    assert received.rcpt_tos == [A, B, C, D]
    assert all(auth.tls for auth in server.auths) == (server.mode != "plain")
    message = parse(received.data)
    assert message["Subject"] == "Disk almost full"  # the default subject: {{ title }}
    assert message["From"] == f"Ops Robot <{USER}>"
    assert (message["To"], message["Cc"], message["Reply-To"]) == (f"{A}, {B}", C, "ops@example.com")
    assert D.encode() not in received.data
    assert "/var is at 97%." in body(message, "text/html")
    assert "Open: https://example.com/disk" in body(message, "text/plain")
    [attachment] = [p for p in message.walk() if p.get_filename()]
    assert attachment.get_filename() == "disk.csv"
    assert attachment.get_content_type() == "text/csv"
    assert attachment.get_payload(decode=True) == csv.read_bytes()


@pytest.mark.parametrize("args, stdin, text, html", [
    ([], "disk /var is 97% full\nsee df -h\n", "disk /var is 97% full\nsee df -h\n", None),
    (["--body-file", "-", "--html-file", "page.html"], "from a pipe\n", "from a pipe\n", "<p>HTML</p>"),
    (["--body-file", "note.txt"], None, "caf\u00e9 \ufffd\n", None),
    (["--body", "short", "--html-file", "page.html"], None, "short", "<p>HTML</p>"),
    (["--html-file", "page.html"], "never read", None, "<p>HTML</p>"),
], ids=["stdin", "stdin-and-html", "file-not-utf8", "text-and-html", "html-only"])
def test_body_sources(smtp_server, tmp_path, monkeypatch, args, stdin, text, html):
    server = smtp_server("plain")
    monkeypatch.chdir(tmp_path)
    (tmp_path / "page.html").write_text("<p>HTML</p>")
    (tmp_path / "note.txt").write_bytes("caf\u00e9 ".encode() + b"\xff\n")
    result = run_cli("send", *server_args(server), "--to", A, "--subject", "Cron",
                     *args, stdin=stdin)
    assert result.returncode == 0, result.stderr
    message = parse(server.messages[0].data)
    assert (body(message, "text/plain"), body(message, "text/html")) == (text, html)


def test_dry_run_prints_and_sends_nothing(smtp_server, tmp_path):
    server = smtp_server("plain")
    attachment = tmp_path / "run.log"
    attachment.write_text("ok\n")
    result = run_cli("send", "--dry-run", *server_args(server), "--to", A, "--cc", B,
                     "--bcc", C, "--subject", "Backup", "--body", "Done.",
                     "--attach", attachment, password=None)
    assert result.returncode == 0, result.stderr
    assert server.connections == 0
    message = parse(result.stdout)
    assert (message["From"], message["To"], message["Cc"]) == (USER, A, B)
    assert message["Bcc"] is None and C not in result.stdout
    assert body(message, "text/plain") == "Done."
    assert [p.get_filename() for p in message.walk() if p.get_filename()] == ["run.log"]
    assert result.stderr == (f"vantrel: dry run, nothing sent: from <{USER}> "
                             f"to <{A}>, <{B}>, <{C}>\n")


# --- preview -----------------------------------------------------------------

def test_preview_of_a_template(tmp_path):
    context = tmp_path / "report.json"
    context.write_text(json.dumps({"title": "Nightly", "rows": {"tables": 3, "errors": 0}}))
    out = tmp_path / "out"
    result = run_cli("preview", "--template", "report", "--context", context,
                     "--var", "intro=All <good>", "--to", A, "--sender", USER, "--out", out,
                     password=None)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [str(out / "report.eml"), str(out / "report.html")]
    message = parse((out / "report.eml").read_bytes())
    page = (out / "report.html").read_text()
    assert page == body(message, "text/html")
    assert "All &lt;good&gt;" in page and "<td" in page and "errors" in page
    assert message["Subject"] == "Nightly"


def test_preview_of_text_opens_in_the_browser(tmp_path):
    browser = tmp_path / "browser"
    opened = tmp_path / "opened"
    browser.write_text(f'#!/bin/sh\necho "$1" > {opened}\n')
    browser.chmod(0o755)
    env_browser = dict(os.environ, BROWSER=str(browser))
    result = subprocess.run(
        cli_command("preview", "--to", A, "--sender", USER, "--subject", "Tom & Jerry",
                    "--body", "a < b\n  indented", "--name", "note", "--out", tmp_path,
                    "--open"),
        capture_output=True, text=True, env=env_browser, stdin=subprocess.DEVNULL, timeout=120)
    assert result.returncode == 0, result.stderr
    page = (tmp_path / "note.html").read_text()
    assert "<title>Tom &amp; Jerry</title>" in page
    assert "a &lt; b\n  indented</pre>" in page
    assert opened.read_text().strip() == (tmp_path / "note.html").as_uri()


def test_preview_without_a_sender(tmp_path):
    result = run_cli("preview", "--to", A, "--body", "x", "--out", tmp_path, password=None)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [str(tmp_path / "message.eml"),
                                          str(tmp_path / "message.html")]
    assert result.stderr == ("vantrel: the message has no sender (its From is empty); "
                             "sending it needs --sender or --user\n")
    assert parse((tmp_path / "message.eml").read_bytes())["From"] == ""


# --- templates ---------------------------------------------------------------

def listing(text):
    """{template line: [its indented lines]} of the templates command."""
    blocks = {}
    for line in text.splitlines():
        if line.startswith("    "):
            blocks[head].append(line.strip())
        elif line and not line.startswith("occurred_at"):
            head = line
            blocks[head] = []
    return blocks


def test_templates_lists_built_in_and_own(tmp_path):
    (tmp_path / "welcome.html").write_text(
        '{#- Greets a new user. More text. -#}\n<p>{{ name }}</p>{% include "_sign.html" %}')
    (tmp_path / "_sign.html").write_text("{{ company }}")
    (tmp_path / "notification.txt").write_text("{{ headline }}")
    (tmp_path / "broken.html").write_text("{% if %}")
    result = run_cli("templates", "--template-dir", tmp_path, password=None)
    assert result.returncode == 0, result.stderr
    listed = listing(result.stdout)
    assert set(listed) == {"notification  A short notice with an optional call to action.",
                           "report  A titled table of key/value rows.",
                           "welcome  Greets a new user.", "broken"}
    assert listed["report  A titled table of key/value rows."] == [
        "variables: intro, occurred_at, rows, title",
        "report.html: built-in", "report.txt: built-in"]
    assert listed["welcome  Greets a new user."] == [
        "variables: company, name", f"welcome.html: {tmp_path}"]
    # A file of the directory replaces the built-in one of the same name.
    assert listed["notification  A short notice with an optional call to action."] == [
        "variables: action_label, action_url, headline, message, occurred_at, title",
        "notification.html: built-in", f"notification.txt: {tmp_path}"]
    [problem] = listed["broken"][1:]
    assert problem.startswith("broken.html: cannot be read: template ") and "line 1" in problem


# --- failures ----------------------------------------------------------------

@pytest.fixture
def files(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Path("list.json").write_text("[1, 2]")
    Path("bad.json").write_text("{'title': 1}")
    Path("templates").mkdir()
    Path("templates/broken.html").write_text("<p>{{ title </p>")
    Path("templates/latin.txt").write_bytes("Gr\u00fc\u00dfe, {{ name }}".encode("latin-1"))
    Path("templates/divide.txt").write_text("Rows: {{ rows }}\nPer page: {{ rows // 0 }}\n")
    Path("deep.json").write_text("[" * 100_000 + "]" * 100_000)
    Path(NOT_UTF8_NAME).write_text("x")


NOT_UTF8_NAME = os.fsdecode(b"r\xe9sum\xe9.txt")  # a file name in Latin-1


SEND = ("send", "--dry-run", "--to", A, "--sender", USER)


@pytest.mark.parametrize("args, words", [
    ([*SEND, "--template", "notification", "--var", "title"], ["bad --var 'title'", "KEY=VALUE"]),
    ([*SEND, "--template", "notification", "--var", "two words=x"], ["bad --var"]),
    ([*SEND, "--body-file", "missing.txt"], ["cannot read missing.txt", "No such file"]),
    ([*SEND, "--body", "x", "--attach", "missing.pdf"], ["Attachment not found: missing.pdf"]),
    ([*SEND, "--template", "report", "--context", "bad.json"], ["bad.json is not valid JSON"]),
    ([*SEND, "--template", "report", "--context", "list.json"], ["must hold a JSON object"]),
    ([*SEND, "--template", "welcome"], ["no template 'welcome'"]),
    ([*SEND, "--template", "broken", "--template-dir", "templates"], ["broken.html, line 1"]),
    ([*SEND, "--template", "report", "--template-dir", "nowhere"], ["nowhere does not exist"]),
    ([*SEND, "--template", "report", "--body", "x"], ["leave out --body"]),
    ([*SEND, "--body", "x", "--var", "a=b"], ["--template NAME"]),
    ([*SEND, "--body", "x", "--body-file", "-"], ["--body or --body-file"]),
    (["send", "--dry-run", "--to", A, "--body", "x"], ["--sender or --user"]),
    (["send", "--dry-run", "--sender", USER, "--body", "x"], ["--to"]),
    (["send", "--to", A, "--user", USER, "--body", "x"], ["--host"]),
    (["send", "--to", A, "--host", "127.0.0.1", "--body", "x"], ["--user"]),
    ([*SEND, "--body", "x", "--port", "0"], ["--port", "1 to 65535"]),
    ([*SEND, "--body", "x", "--mode", "smtps"], ["--mode"]),
    ([*SEND, "--password", PASSWORD], ["--password", VARIABLE]),
    ([*SEND, f"--password={PASSWORD}"], ["--password", VARIABLE]),
    (["send", "--to", A, "--host", "127.0.0.1", "--user", USER, "--body", "x"],
     ["no terminal", VARIABLE]),
    (["frobnicate"], ["invalid choice"]),
])
def test_usage_errors(files, args, words):
    assert_error(run_cli(*args, password=None), 2, *words)


@pytest.mark.parametrize("args, words", [
    (["--to", "b\u00f8b@example.org"], ["--to b\u00f8b@example.org", "ASCII"]),
    (["--cc", f"{B}, c\u00e4t@example.net"], ["--cc c\u00e4t@example.net", "ASCII"]),
    (["--sender", "\u00f8ps@example.com"], ["--sender", "ASCII"]),
    (["--to", f"{A}\r\nBcc: {C}"], ["--to", "line break"]),
    (["--subject", f"Report\r\nBcc: {C}"], ["--subject", "line break"]),
    (["--sender-name", "Ops\u2028Robot"], ["--sender-name", "line break"]),
    (["--reply-to", f"{A}\nBcc: {C}"], ["--reply-to", "line break"]),
    (["--to", f"{A} {B}"], ["not an address", "separated by commas"]),
    (["--sender", f"{A}, {B}"], ["--sender takes one address"]),
    (["--template", "latin", "--template-dir", "templates"], ["latin.txt", "not UTF-8"]),
    (["--template", "divide", "--template-dir", "templates", "--var", "rows=3"],
     ["divide.txt, line 2", "TypeError"]),
    (["--template", "report", "--subject", "{{ x"], ["--subject", "line 1", "end of template"]),
    (["--template", "report", "--context", "deep.json"], ["deep.json", "nested too deeply"]),
    (["--attach", "templates"], ["cannot attach templates: it is a directory"]),
    (["--attach", NOT_UTF8_NAME], ["cannot attach r\\xe9sum\\xe9.txt", "not UTF-8"]),
    (["--timeout", "inf"], ["--timeout", "at most 86400"]),
], ids=["to-not-ascii", "cc-list-not-ascii", "sender-not-ascii", "to-crlf", "subject-crlf",
        "sender-name-line-separator", "reply-to-lf", "to-not-a-list",
        "two-senders", "template-not-utf8", "template-raises", "subject-template-syntax",
        "context-too-deep", "attach-directory", "attach-name-not-utf8", "timeout-inf"])
@pytest.mark.parametrize("dry_run", [True, False], ids=["dry-run", "send"])
def test_local_faults_are_found_before_connecting(smtp_server, files, args, words, dry_run):
    """Each is one line with the usage status, and sending gets as far as
    neither the password prompt nor the server."""
    server = smtp_server("plain")
    body = [] if "--template" in args else ["--body", "x"]
    result = run_cli("send", *(["--dry-run"] if dry_run else []), *server_args(server),
                     "--to", A, *body, *args)
    assert_error(result, 2, *words)
    assert server.connections == 0


@pytest.mark.parametrize("args", [
    ["--pass", "s3cr3t"], ["--passwd=s3cr3t"], ["-p", "s3cr3t"], ["-ps3cr3t"],
    ["--password", "s3cr3t"], ["--smtp-password=s3cr3t"], ["--pw", "s3cr3t"],
], ids=["pass", "passwd=", "p", "p-attached", "password", "smtp-password=", "pw"])
def test_a_password_option_is_refused_without_its_value(args):
    result = run_cli(*SEND, "--body", "x", *args, password=None)
    assert_error(result, 2, args[0][:2], "there is no password option", VARIABLE)
    assert "s3cr3t" not in result.stderr


def test_a_password_that_smtp_cannot_send(smtp_server):
    server = smtp_server("plain")
    result = run_cli("send", *server_args(server), "--to", A, "--body", "x",
                     password="gr\u00fcn-\u00e9t\u00e9")
    assert_error(result, 2, "password", "ASCII")
    assert server.connections == 0


@pytest.mark.parametrize("args, stdin, words", [
    ([], None, ["no body: standard input gave none", "--empty-body"]),  # cron's /dev/null
    (["--body-file", "-", "--html-file", "empty.html"], "",
     ["standard input and --html-file gave none"]),
    (["--body", ""], None, ["no body: --body gave none"]),
    (["--empty-body", "--body", "x"], None, ["--empty-body sends no body", "--body"]),
], ids=["stdin-at-end", "stdin-and-html-empty", "body-empty", "empty-body-and-body"])
def test_no_body_is_refused(smtp_server, tmp_path, monkeypatch, args, stdin, words):
    server = smtp_server("plain")
    monkeypatch.chdir(tmp_path)
    Path("empty.html").write_text("")
    result = run_cli("send", *server_args(server), "--to", A, *args, stdin=stdin)
    assert_error(result, 2, *words)
    assert server.connections == 0


def test_an_empty_body_when_asked_for(smtp_server, tmp_path):
    server = smtp_server("plain")
    report = tmp_path / "report.pdf"
    report.write_bytes(b"%PDF-1.7\n")
    result = run_cli("send", *server_args(server), "--to", A, "--subject", "Report",
                     "--attach", report, "--empty-body", stdin="not read\n")
    assert result.returncode == 0, result.stderr
    message = parse(server.messages[0].data)
    assert body(message, "text/plain") is None and body(message, "text/html") is None
    assert [p.get_filename() for p in message.walk() if p.get_filename()] == ["report.pdf"]


def test_address_lists_are_split(smtp_server):
    server = smtp_server("plain")
    result = run_cli("send", *server_args(server), "--to", f"{A}, Bob <{B}>",
                     "--cc", f'"Doe, Cat" <{C}>', "--bcc", f"{D},{USER}", "--body", "x")
    assert result.returncode == 0, result.stderr
    [received] = server.messages
    assert received.rcpt_tos == [A, B, C, D, USER]
    message = parse(received.data)
    assert (message["To"], message["Cc"]) == (f"{A}, Bob <{B}>", f'"Doe, Cat" <{C}>')


@pytest.mark.parametrize("make_error", [
    lambda: UnicodeEncodeError("ascii", f"{PASSWORD}\u00e4", len(PASSWORD), len(PASSWORD) + 1,
                               "ordinal not in range(128)"),
    lambda: RuntimeError(f"login with {PASSWORD!r} went wrong"),
], ids=["unicode-error", "message-with-the-password"])
def test_an_unforeseen_error(monkeypatch, capsys, make_error):
    # Nothing the user can do reaches this line: the failure is made here.
    from vantrel import cli

    def deliver(prepared, args):
        raise make_error()

    monkeypatch.setattr(cli, "deliver", deliver)
    monkeypatch.setenv(VARIABLE, PASSWORD)
    status = cli.main(["send", "--host", "127.0.0.1", "--user", USER, "--to", A, "--body", "x"])
    out, err = capsys.readouterr()
    assert (status, out) == (70, "")
    [line] = err.splitlines()
    assert line.startswith("vantrel: error: unexpected error, a fault in vantrel: ")
    assert type(make_error()).__name__ in line
    assert PASSWORD not in line and "\u00e4" not in line and str(len(PASSWORD)) not in line


REFUSED, UNREACHABLE = 1, 3


@pytest.mark.parametrize("mode, variant, args, status, words, delivered", [
    ("plain", {}, ["--port", "closed"], UNREACHABLE, ["cannot connect", "connection refused"],
     False),
    ("starttls", {"password": "other"}, [], REFUSED, ["authentication failed", "535"], False),
    ("plain", {"refuse_rcpt": {A, B}}, [], REFUSED,
     ["every recipient refused", f"{A} (550 5.1.1 no such user)", "nothing was sent"], False),
    ("plain", {"refuse_rcpt": {B}}, [], REFUSED,
     ["recipients refused", f"{B} (550 5.1.1 no such user)", "the others were sent"], True),
    ("ssl", {"refuse_mail": True}, [], REFUSED, ["sender", "refused", "553 5.7.1"], False),
    ("plain", {"refuse_data": True}, [], REFUSED, ["message refused", "554 5.6.0"], False),
    ("plain", {"busy_after": 0}, [], REFUSED,
     ["is closing the connection: 421 4.7.0", "nothing was sent"], False),
    ("ssl", {"cert": "untrusted"}, [], UNREACHABLE, ["not trusted"], False),
    ("starttls", {}, ["--mode", "ssl"], UNREACHABLE, ["TLS failed", "--mode"], False),
    # The server would wait for a TLS hello, the command for a greeting, both
    # until the timeout (an hour here).
    ("ssl", {}, ["--mode", "starttls", "--timeout", "3600"], UNREACHABLE,
     ["expects TLS from the first byte", "give --mode ssl"], False),
    # AUTH only after STARTTLS, which --mode plain does not ask for.
    ("starttls", {}, ["--mode", "plain"], REFUSED,
     ["offers no login", "no AUTH", "try --mode starttls"], False),
    ("plain", {"mechanisms": ()}, [], REFUSED, ["offers no login method that vantrel"], False),
    ("starttls", {"offer_starttls": False}, [], REFUSED, ["does not offer STARTTLS"], False),
], ids=["closed-port", "wrong-password", "refused-recipients", "one-refused-recipient",
        "refused-sender", "refused-data", "closing", "untrusted-certificate",
        "ssl-on-a-starttls-port", "starttls-on-an-ssl-port", "no-auth",
        "no-auth-mechanism", "no-starttls"])
def test_server_errors(smtp_server, mode, variant, args, status, words, delivered):
    server = smtp_server(mode, **variant)
    args = [closed_port() if arg == "closed" else arg for arg in args]
    result = run_cli("send", *server_args(server), *args, "--to", A, "--to", B,
                     "--body", "x")
    assert_error(result, status, *words)
    assert bool(server.messages) == delivered


# --- the password, the terminal and Ctrl-C ------------------------------------

# A process started in the background by a shell that is not interactive
# ignores SIGINT, and so do its children and the interpreter in them (which
# then installs no handler of its own): the commands below start with SIGINT
# at its default, whatever the suite was started with.
DEFAULT_SIGINT = "import signal; signal.signal(signal.SIGINT, signal.SIG_DFL); "

# Starts the command on a terminal of its own: a new session whose controlling
# terminal (and standard input and output) is the pty open as descriptor argv[1].
ON_TERMINAL = (DEFAULT_SIGINT + "import os, sys; os.login_tty(int(sys.argv[1])); "
               "os.execv(sys.executable, [sys.executable, *sys.argv[2:]])")
WITH_DEFAULT_SIGINT = (DEFAULT_SIGINT + "import os, sys; "
                       "os.execv(sys.executable, [sys.executable, *sys.argv[1:]])")


def read_until(fd, wanted, seen=b""):
    """Reads the terminal until `wanted` shows (b"" for the end)."""
    while not wanted or wanted not in seen:
        ready, _, _ = select.select([fd], [], [], 60)
        assert ready, f"the command hung; it printed {seen!r}"
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # EIO: the terminal's other side was closed
            chunk = b""
        if not chunk:
            assert not wanted, f"no {wanted!r} in {seen!r}"
            break
        seen += chunk
    return seen


@pytest.mark.parametrize("typed, status", [(PASSWORD.encode() + b"\n", 0), (b"\x03", 130)],
                         ids=["typed", "ctrl-c"])
def test_password_prompt(smtp_server, tmp_path, typed, status):
    server = smtp_server("starttls")
    report = tmp_path / "report.csv"
    report.write_text("as it was when the command started\n")
    primary, secondary = os.openpty()
    with os.fdopen(primary, "r+b", buffering=0) as terminal:
        with subprocess.Popen(
            [sys.executable, "-c", ON_TERMINAL, str(secondary),
             *cli_command("send", *server_args(server), "--to", A, "--body", "x",
                          "--attach", report)[1:]],
            env=cli_env(None), pass_fds=[secondary],
        ) as process:
            os.close(secondary)
            try:
                shown = read_until(primary, b"SMTP password: ")
                # The message was made before the prompt: it goes out as it was.
                report.write_text("changed while the password was asked for\n")
                terminal.write(typed)
                shown = read_until(primary, b"", shown)
            except BaseException:
                process.kill()
                raise
        assert process.returncode == status
    assert PASSWORD.encode() not in shown  # the prompt did not echo it
    assert b"Traceback" not in shown
    assert len(server.messages) == (1 if status == 0 else 0)
    if status:
        assert shown.endswith(b"vantrel: interrupted\r\n")
    else:
        [attachment] = [p for p in parse(server.messages[0].data).walk() if p.get_filename()]
        assert attachment.get_payload(decode=True) == b"as it was when the command started\n"


def test_password_not_in_the_process_listing_and_interrupt():
    # A server that accepts the connection and never answers: the command
    # waits in the middle of sending while its process is looked at.
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        listener.settimeout(60)
        process = subprocess.Popen(
            [sys.executable, "-c", WITH_DEFAULT_SIGINT,
             *cli_command("send", "--host", "127.0.0.1", "--port", listener.getsockname()[1],
                          "--mode", "plain", "--user", USER, "--to", A, "--body", "x")[1:]],
            env=cli_env(PASSWORD), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True)
        connection, _ = listener.accept()
        with connection:
            cmdline = Path(f"/proc/{process.pid}/cmdline").read_bytes().split(b"\0")
            process.send_signal(signal.SIGINT)
            stdout, stderr = process.communicate(timeout=60)
    assert b"vantrel" in cmdline and b"send" in cmdline
    assert not any(PASSWORD.encode() in word for word in cmdline)
    assert (process.returncode, stdout, stderr) == (130, "", "vantrel: interrupted\n")


# --- help and version ---------------------------------------------------------

@pytest.mark.parametrize("command", ["send", "preview", "templates"])
def test_help_has_examples(command):
    result = run_cli(command, "--help")
    assert result.returncode == 0
    assert "examples:\n  vantrel " + command in result.stdout


def test_exit_statuses_in_help_and_docs():
    from vantrel.cli import EXIT_STATUSES

    in_help = re.findall(r"^  (\d+) ", EXIT_STATUSES, re.M)
    readme = (Path(__file__).parent.parent / "docs" / "cli.md").read_text()
    assert re.findall(r"^\| (\d+) \|", readme, re.M) == in_help
    assert EXIT_STATUSES in run_cli("send", "--help").stdout


def test_console_script_version():
    result = subprocess.run([BIN / "vantrel", "--version"], capture_output=True, text=True,
                            timeout=60)
    assert (result.returncode, result.stdout) == (0, "vantrel 0.1.0\n")
