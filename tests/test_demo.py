"""tools/demo.py, the main job: run as a user runs it, in its own process."""

import email
import email.policy
import json
import os
import ssl
import subprocess
import sys
from pathlib import Path

import pytest
import trustme
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult
from network import closed_port

DEMO = Path(__file__).resolve().parent.parent / "tools" / "demo.py"
PASSWORD = "s3cret pass"


def run_demo(*args, password=None, ssl_cert_file=None):
    env = dict(os.environ)
    env.pop("VANTREL_SMTP_PASSWORD", None)
    env.pop("SSL_CERT_FILE", None)
    if password is not None:
        env["VANTREL_SMTP_PASSWORD"] = password
    if ssl_cert_file is not None:
        env["SSL_CERT_FILE"] = ssl_cert_file
    # A new session has no controlling terminal, so a password prompt cannot
    # wait for input; the timeout only guards against a hung run.
    return subprocess.run(
        [sys.executable, "-P", str(DEMO), *map(str, args)],
        capture_output=True,
        text=True,
        env=env,
        stdin=subprocess.DEVNULL,
        start_new_session=True,
        timeout=300,
    )


def assert_one_line_error(result, *words):
    assert result.returncode != 0
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("demo: error: ")
    for word in words:
        assert word in lines[0]


def attachments(message):
    return {
        part.get_filename(): (part.get_content_type(), part.get_payload(decode=True))
        for part in message.walk()
        if part.get_filename()
    }


def test_embedded_server_run(tmp_path):
    result = run_demo("--out", tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""

    raw = (tmp_path / "message.eml").read_bytes()
    message = email.message_from_bytes(raw, policy=email.policy.default)
    assert message.get_content_type() == "multipart/mixed"
    assert message["Cc"] == "lead@example.com"
    assert message["Subject"] == "[vantrel demo] Nightly export finished"
    # The blind copy went to the envelope only.
    assert b"audit@example.com" not in raw
    envelope = [line.split()[2] for line in result.stdout.splitlines() if "RCPT TO:" in line]
    assert envelope == ["<ops@example.com>", "<lead@example.com>", "<audit@example.com>"]

    found = attachments(message)
    assert set(found) == {"export-summary.csv", "run-details.json"}
    content_type, data = found["export-summary.csv"]
    assert content_type == "text/csv"
    assert data.decode().splitlines()[0] == "table,rows,seconds"
    content_type, data = found["run-details.json"]
    assert content_type == "application/json"
    assert json.loads(data)["status"] == "ok"

    html = (tmp_path / "message.html").read_text(encoding="utf-8")
    html_part = next(p for p in message.walk() if p.get_content_type() == "text/html")
    assert html == html_part.get_content()
    assert "Nightly export finished" in html and "https://example.com/exports/latest" in html
    text_part = next(p for p in message.walk() if p.get_content_type() == "text/plain")
    assert "Open the export: https://example.com/exports/latest" in text_part.get_content()


REMOTE = ("--host", "127.0.0.1", "--user", "me@example.com", "--to", "you@example.com")


@pytest.mark.parametrize(
    "args, words",
    [
        (["--port", "0"], ["--port"]),
        (["--port", "smtp"], ["--port"]),
        ([*REMOTE, "--port", "65536"], ["--port"]),
        ([*REMOTE, "--mode", "smtps"], ["--mode"]),
        (["--host", "127.0.0.1", "--user", "me@example.com"], ["--to"]),
        (["--host", "127.0.0.1", "--to", "you@example.com"], ["--user"]),
        (["--password", PASSWORD], ["--password"]),
        (["--user", "me@example.com"], ["--host"]),
    ],
)
def test_bad_command_line(args, words):
    assert_one_line_error(run_demo(*args), *words)


def test_connection_refused():
    result = run_demo(*REMOTE, "--port", closed_port(), "--mode", "plain", password=PASSWORD)
    assert_one_line_error(result, "refused")


class Inbox:
    def __init__(self):
        self.received = []

    async def handle_DATA(self, server, session, envelope):
        self.received.append((envelope.mail_from, envelope.rcpt_tos, envelope.content))
        return "250 OK"


class LocalController(Controller):
    def _trigger_server(self):
        self.port = self.server.sockets[0].getsockname()[1]
        super()._trigger_server()


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    """A STARTTLS server with AUTH, and the CA file a client must trust."""
    ca = trustme.CA()
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ca.issue_cert("127.0.0.1").configure_cert(context)
    ca_file = tmp_path_factory.mktemp("ca") / "ca.pem"
    ca.cert_pem.write_to_path(str(ca_file))

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = auth_data.login == b"me@example.com" and auth_data.password == PASSWORD.encode()
        return AuthResult(success=ok, handled=False)

    inbox = Inbox()
    controller = LocalController(
        inbox,
        hostname="127.0.0.1",
        port=0,
        tls_context=context,
        require_starttls=True,
        auth_required=True,
        authenticator=authenticator,
    )
    controller.start()
    yield controller.port, str(ca_file), inbox
    controller.stop()


def test_sends_through_a_given_server(server, tmp_path):
    port, ca_file, inbox = server
    inbox.received.clear()
    args = [*REMOTE, "--to", "two@example.com", "--bcc", "hidden@example.com"]
    result = run_demo(
        *args, "--port", port, "--out", tmp_path, password=PASSWORD, ssl_cert_file=ca_file
    )
    assert result.returncode == 0, result.stderr
    [(mail_from, rcpt_tos, raw)] = inbox.received
    assert mail_from == "me@example.com"
    assert rcpt_tos == ["you@example.com", "two@example.com", "hidden@example.com"]
    # What the demo saved is what the server got.
    saved = (tmp_path / "message.eml").read_bytes()
    assert saved == raw
    assert set(attachments(email.message_from_bytes(raw))) == {
        "export-summary.csv",
        "run-details.json",
    }


@pytest.mark.parametrize(
    "extra, password, words",
    [
        ([], "wrong", ["authentication failed", "535"]),
        (["--mode", "ssl"], PASSWORD, ["TLS"]),
        ([], None, ["VANTREL_SMTP_PASSWORD"]),
    ],
    ids=["wrong-password", "ssl-on-a-starttls-port", "no-password-no-terminal"],
)
def test_server_side_failures(server, tmp_path, extra, password, words):
    port, ca_file, inbox = server
    inbox.received.clear()
    result = run_demo(
        *REMOTE, "--port", port, *extra, "--out", tmp_path, password=password,
        ssl_cert_file=ca_file,
    )
    assert_one_line_error(result, *words)
    assert inbox.received == []
    assert not (tmp_path / "message.eml").exists()


def test_untrusted_certificate(server):
    port, _, inbox = server
    result = run_demo(*REMOTE, "--port", port, password=PASSWORD)
    assert_one_line_error(result, "not trusted")
