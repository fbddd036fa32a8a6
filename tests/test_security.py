"""What must never happen, checked at a real server: credentials sent to a
server that was not verified or did not encrypt, a line break turned into a
header or an SMTP command, an attachment read from anything but a regular file.
"""

import contextlib
import email
import email.errors
import os
import re
import smtplib
import ssl
import threading

import pytest

import vantrel.mailer
from vantrel.mailer import EasyMailer

ANN, BOB = "ann@example.test", "bob@example.test"
EVIL = "injected@evil.test"


# --- who gets the credentials -----------------------------------------------

@pytest.mark.parametrize("cert, reason", [("untrusted", "unable to get local issuer"),
                                          ("wrong-host", "mismatch")])
@pytest.mark.parametrize("mode", ["ssl", "starttls"])
def test_certificate_is_verified_by_default(smtp_server, no_leaks, mode, cert, reason):
    server = smtp_server(mode, cert=cert)
    # Only the settings a caller must give: verification is not asked for.
    m = (EasyMailer(server.host, server.port, server.mailer_args["username"], "pw")
         if mode == "ssl" else
         EasyMailer(server.host, server.port, server.mailer_args["username"], "pw",
                    use_ssl=False, use_tls=True))
    with no_leaks(server), pytest.raises(ssl.SSLCertVerificationError) as info:
        m.send(ANN, "s", body="b")
    assert reason in info.value.verify_message
    assert (server.auths, server.messages) == ([], [])


def test_no_credentials_when_starttls_is_not_offered(smtp_server, no_leaks):
    # This server would take AUTH in plain text, and would record it.
    server = smtp_server("plain")
    m = EasyMailer(**server.mailer_args | dict(use_tls=True))
    with no_leaks(server), pytest.raises(smtplib.SMTPNotSupportedError):
        m.send(ANN, "s", body="b")
    assert (server.auths, server.messages) == ([], [])


# --- line breaks in what the caller gives --------------------------------------

PAYLOADS = [
    "\r\nBcc: " + EVIL,
    "\nBcc: " + EVIL,
    "\rBcc: " + EVIL,
    "\r\n\r\nX-Injected: into the body",
    f">\r\nRCPT TO:<{EVIL}>",
    "\x1cX-Injected: a line break to str.splitlines",
]


def _file_named(tmp_path, payload):
    path = tmp_path / ("report" + payload + ".txt")
    path.write_bytes(b"report")
    return str(path)


# Each field: (mailer setting changes, send arguments) for a payload.
FIELDS = {
    "subject": lambda p, _: ({}, dict(subject="Hello" + p)),
    "to": lambda p, _: ({}, dict(to=ANN + p)),
    "to list": lambda p, _: ({}, dict(to=[ANN, BOB + p])),
    "cc": lambda p, _: ({}, dict(cc=BOB + p)),
    "cc list": lambda p, _: ({}, dict(cc=[BOB, BOB + p])),
    "bcc": lambda p, _: ({}, dict(bcc=BOB + p)),
    "bcc list": lambda p, _: ({}, dict(bcc=[BOB, BOB + p])),
    "sender": lambda p, _: ({}, dict(sender="from@example.test" + p)),
    "default_sender": lambda p, _: (dict(default_sender="from@example.test" + p), {}),
    "sender_name": lambda p, _: ({}, dict(sender_name="Ann" + p)),
    "reply_to": lambda p, _: ({}, dict(reply_to=BOB + p)),
    "attachment name": lambda p, _: (
        {}, dict(attachments=[{"filename": "a" + p + ".txt", "data": b"x"}])),
    "attachment content type": lambda p, _: (
        {}, dict(attachments=[{"filename": "a.bin", "data": b"x",
                               "content_type": "text/plain" + p}])),
    "attachment file name": lambda p, tmp: (
        {}, dict(attachments=[_file_named(tmp, p)])),
    "template subject": lambda p, _: ({}, dict(template={"s": "Hello" + p})),
}

INJECTED = re.compile(rb"^(bcc|x-injected|rcpt to)\b", re.I | re.M)


@pytest.mark.parametrize("payload", PAYLOADS, ids=ascii)
@pytest.mark.parametrize("field", FIELDS)
def test_no_line_break_reaches_the_wire(smtp_server, tmp_path, field, payload):
    server = smtp_server("plain")
    settings, args = FIELDS[field](payload, tmp_path)
    m = EasyMailer(**server.mailer_args | settings)
    try:
        if "template" in args:
            m.send_template(ANN, "{{ s }}", "notification", args["template"])
        else:
            m.send(**dict(to=ANN, subject="s", body="b") | args)
    except (ValueError, email.errors.MessageError):
        assert server.messages == [], "refused, yet something was submitted"
    except smtplib.SMTPRecipientsRefused as error:
        # The server itself turned the odd address down; the others got it.
        assert all(payload in address for address in error.recipients)
        assert len(server.messages) == 1
    else:
        assert len(server.messages) == 1
    assert EVIL not in server.rcpt_attempts
    for received in server.messages:
        assert EVIL not in received.rcpt_tos
        assert INJECTED.findall(received.data) == []
        for part in email.message_from_bytes(received.data).walk():
            assert not {"Bcc", "X-Injected"} & set(part.keys())


# --- what an attachment path may name ------------------------------------------

MARK = b"read from the FIFO"


@contextlib.contextmanager
def fifo_writer(path):
    """A writer waiting on the FIFO, so that a mailer that opens it gets data
    and the end of file at once instead of waiting for ever.

    At the end the test opens the FIFO itself, which lets the writer in; the
    mark is then still in the FIFO only if nobody else opened it before."""
    def write():
        fd = os.open(path, os.O_WRONLY)  # waits for a reader
        with contextlib.suppress(BrokenPipeError):
            os.write(fd, MARK)
        os.close(fd)
    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    untouched = []
    try:
        yield untouched
    finally:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        try:
            writer.join()
            untouched.append(os.read(fd, 100) == MARK)
        finally:
            os.close(fd)


def _not_a_file(tmp_path, kind):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    (tmp_path / "dir").mkdir()
    links = {"link to fifo": fifo, "link to directory": tmp_path / "dir",
             "dangling link": tmp_path / "nothing"}
    if kind in links:
        (tmp_path / "link").symlink_to(links[kind])
    return {"directory": str(tmp_path / "dir"), "directory/": f"{tmp_path}/dir/",
            "missing": str(tmp_path / "missing.txt"), "fifo": str(fifo),
            "device": os.devnull, "NUL in path": f"{tmp_path}/a\0b.txt",
            }.get(kind, str(tmp_path / "link")), fifo


@pytest.mark.parametrize("kind", ["directory", "directory/", "missing", "fifo", "device",
                                  "NUL in path", "link to fifo", "link to directory",
                                  "dangling link"])
def test_attachment_path_must_name_a_regular_file(smtp_server, tmp_path, kind):
    server = smtp_server("plain")
    path, fifo = _not_a_file(tmp_path, kind)
    m = EasyMailer(**server.mailer_args)
    with fifo_writer(fifo) as untouched:
        with pytest.raises(FileNotFoundError) as info:
            m.send(ANN, "s", body="b",
                   attachments=[{"filename": "ok.txt", "data": b"ok"}, path])
    assert info.value.args == ("Attachment not found: " + path,)
    assert untouched == [True], "the FIFO was opened"
    # Refused while composing: the server never even saw a login.
    assert (server.auths, server.messages) == ([], [])
