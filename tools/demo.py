"""Send one templated message with vantrel and show what the server got.

Run through tools/demo (which builds and installs the package first).

Without SMTP settings the demo starts its own SMTP server on 127.0.0.1, which
requires STARTTLS and checks AUTH PLAIN/LOGIN credentials, with a throwaway
certificate authority that only this process trusts.  It sends one message
through EasyMailer.send_template with the built-in "notification" template, a
file attachment, an in-memory attachment, a carbon copy and a blind copy, then
prints the envelope, the headers and the MIME tree the server received and
saves the message as message.eml and its HTML body as message.html.

With --host it sends the same message through that server instead:

    tools/demo --host smtp.example.com --mode starttls --user me@example.com \\
        --to you@example.com [--cc ADDR] [--bcc ADDR] [--sender ADDR]

The password is read from VANTREL_SMTP_PASSWORD, or asked for on the
terminal; it is never taken from the command line.
"""

import argparse
import email
import email.policy
import getpass
import json
import logging
import os
import re
import secrets
import smtplib
import socket
import ssl
import sys
import tempfile
import warnings
from pathlib import Path

CHECKOUT = Path(__file__).resolve().parent.parent
PASSWORD_VARIABLE = "VANTREL_SMTP_PASSWORD"
USUAL_PORTS = {"ssl": 465, "starttls": 587, "plain": 25}

TEMPLATE = "notification"
SUBJECT = "[vantrel demo] {{ title }}"
CONTEXT = {
    "title": "Nightly export finished",
    "message": "The nightly export of 3 tables finished without errors.\n"
    "The row counts are attached as CSV, the run details as JSON.",
    "action_url": "https://example.com/exports/latest",
    "action_label": "Open the export",
}

# The embedded server's mailboxes and login; any address is accepted there.
DEMO_TO = ["ops@example.com"]
DEMO_CC = ["lead@example.com"]
DEMO_BCC = ["audit@example.com"]
DEMO_SENDER = "notifications@example.com"
DEMO_USER = "demo"


class DemoError(Exception):
    """A problem the user can fix: reported on one line, no traceback."""


class OneLineParser(argparse.ArgumentParser):
    # argparse's own errors print the whole usage first; one line is enough
    # to say what is wrong, and --help still shows the usage.
    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message}\n")


def port_number(text):
    try:
        port = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid port {text!r}: not a number") from None
    if not 1 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"invalid port {port}: must be 1 to 65535")
    return port


def positive_seconds(text):
    try:
        seconds = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid timeout {text!r}") from None
    if not seconds > 0:
        raise argparse.ArgumentTypeError(f"invalid timeout {text!r}: must be above 0")
    return seconds


def parse_arguments(argv):
    parser = OneLineParser(
        prog="demo",
        description="Send one templated message with vantrel: through an embedded local "
        "SMTP server (the default) or through the server given with --host.",
        epilog=f"The password for --host comes from ${PASSWORD_VARIABLE} or a prompt.",
    )
    remote = parser.add_argument_group("sending through a real server")
    remote.add_argument("--host", help="SMTP server; without it the embedded server is used")
    remote.add_argument(
        "--port",
        type=port_number,
        help="server port (default: 465 for ssl, 587 for starttls, 25 for plain)",
    )
    remote.add_argument(
        "--mode",
        choices=sorted(USUAL_PORTS),
        help="ssl: implicit TLS; starttls: plain connection upgraded with STARTTLS "
        "(the default); plain: no encryption",
    )
    remote.add_argument("--user", help="SMTP login; also the sender unless --sender is given")
    remote.add_argument(
        "--timeout",
        type=positive_seconds,
        help="seconds to wait for the server at each step (default: 30)",
    )
    message = parser.add_argument_group(
        "the message",
        f"Without --host these default to --to {DEMO_TO[0]} --cc {DEMO_CC[0]} "
        f"--bcc {DEMO_BCC[0]} --sender {DEMO_SENDER}.",
    )
    message.add_argument("--to", action="append", metavar="ADDR", help="recipient (repeatable)")
    message.add_argument("--cc", action="append", metavar="ADDR", help="carbon copy (repeatable)")
    message.add_argument(
        "--bcc", action="append", metavar="ADDR", help="blind copy (repeatable)"
    )
    message.add_argument(
        "--sender", metavar="ADDR", help="envelope sender and From address (default: --user)"
    )
    parser.add_argument(
        "--template-dir",
        metavar="DIR",
        help="look for notification.html/.txt in DIR before the built-in templates",
    )
    parser.add_argument(
        "--out",
        metavar="DIR",
        type=Path,
        default=CHECKOUT / "out" / "demo",
        help="where message.eml and message.html are written (default: out/demo)",
    )
    args = parser.parse_args(argv)

    if args.host is None:
        given = [
            option
            for option, value in (
                ("--port", args.port),
                ("--mode", args.mode),
                ("--user", args.user),
                ("--timeout", args.timeout),
            )
            if value is not None
        ]
        if given:
            verb = "makes" if len(given) == 1 else "make"
            parser.error(f"{' and '.join(given)} only {verb} sense with --host")
    else:
        if not args.host.strip():
            parser.error("--host is empty")
        if not args.user:
            parser.error("--user is required with --host")
        if not args.to:
            parser.error("--to is required with --host")
        args.mode = args.mode or "starttls"
        args.timeout = args.timeout or 30.0
        if args.port is None:
            args.port = USUAL_PORTS[args.mode]
    return args


def read_password():
    password = os.environ.get(PASSWORD_VARIABLE)
    if password is not None:
        return password
    # Without a terminal getpass would fall back to reading stdin with an
    # echo warning; refuse instead and say how to give the password.
    with warnings.catch_warnings():
        warnings.simplefilter("error", getpass.GetPassWarning)
        try:
            return getpass.getpass("SMTP password: ")
        except (getpass.GetPassWarning, EOFError, OSError):
            raise DemoError(f"no terminal to ask for the password: set {PASSWORD_VARIABLE}")


def check_template(template_dir):
    """The demo is pointless with an empty message: make sure the HTML exists."""
    from jinja2 import TemplateNotFound
    from vantrel.template import TemplateEngine

    engine = TemplateEngine(template_dir)
    try:
        engine.env.get_template(TEMPLATE + ".html")
    except TemplateNotFound:
        places = ", ".join(engine.env.loader.searchpath)
        raise DemoError(f"template {TEMPLATE}.html not found in {places}") from None


def write_attachment_file(directory):
    path = directory / "export-summary.csv"
    path.write_text(
        "table,rows,seconds\ncustomers,1204,2.8\norders,48311,19.4\ninvoices,9877,6.1\n",
        encoding="utf-8",
    )
    return str(path)


def in_memory_attachment():
    details = {"job": "nightly-export", "tables": 3, "errors": 0, "status": "ok"}
    return {
        "filename": "run-details.json",
        "data": json.dumps(details, indent=2).encode("utf-8"),
        "content_type": "application/json",
    }


def make_mailer_class():
    from vantrel.mailer import EasyMailer

    class RecordingMailer(EasyMailer):
        """Keeps what it hands to the SMTP step, to show what was sent."""

        sent = None

        def _do_send(self, msg, recipients, sender):
            super()._do_send(msg, recipients, sender)
            # The text sendmail was given, with the line endings it sent.
            wire = re.sub(r"\r?\n", "\r\n", msg.as_string()).encode("utf-8")
            self.sent = (sender, list(recipients), wire)

    return RecordingMailer


def send_message(mailer, to, cc, bcc, sender, scratch, template_dir):
    check_template(template_dir)
    attachments = [write_attachment_file(scratch), in_memory_attachment()]
    mailer.send_template(
        to,
        SUBJECT,
        TEMPLATE,
        dict(CONTEXT),
        cc=cc,
        bcc=bcc,
        sender=sender,
        sender_name="vantrel demo",
        attachments=attachments,
        reply_to="support@example.com",
    )


# ---------------------------------------------------------------------------
# The embedded server


class Inbox:
    """aiosmtpd handler that keeps every message it accepts."""

    def __init__(self):
        self.received = []

    async def handle_DATA(self, server, session, envelope):
        self.received.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.content))
        return "250 Message accepted for delivery"


def start_server(scratch, password):
    import trustme
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import AuthResult, LoginPassword

    class LocalController(Controller):
        # Listens on a port the system picks; the real port is known once the
        # server is bound, just before the controller's first test connection.
        def _trigger_server(self):
            self.port = self.server.sockets[0].getsockname()[1]
            super()._trigger_server()

    authority = trustme.CA()
    certificate = authority.issue_cert("127.0.0.1", "localhost")
    server_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    certificate.configure_cert(server_context)
    ca_file = scratch / "demo-ca.pem"
    authority.cert_pem.write_to_path(str(ca_file))

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (
            mechanism in ("PLAIN", "LOGIN")
            and isinstance(auth_data, LoginPassword)
            and auth_data.login == DEMO_USER.encode()
            and secrets.compare_digest(auth_data.password, password.encode())
        )
        return AuthResult(success=ok, handled=False)

    # aiosmtpd itself sets the deprecated Session.login_data on every
    # successful AUTH and logs a warning about it; that is not the demo's news.
    logging.getLogger("mail.log").addFilter(
        lambda record: not str(record.msg).startswith("Session.login_data is deprecated")
    )
    inbox = Inbox()
    controller = LocalController(
        inbox,
        hostname="127.0.0.1",
        port=0,
        server_hostname="localhost",
        tls_context=server_context,
        require_starttls=True,
        auth_required=True,
        authenticator=authenticator,
    )
    controller.start()
    return controller, inbox, ca_file


# ---------------------------------------------------------------------------
# Showing and saving the message


def describe_part(part, depth, lines):
    indent = "  " * (depth + 1)
    content_type = part.get_content_type()
    if part.is_multipart():
        children = part.get_payload()
        lines.append(f"{indent}{content_type} ({len(children)} parts)")
        for child in children:
            describe_part(child, depth + 1, lines)
        return
    data = part.get_payload(decode=True) or b""
    details = [f"{len(data)} bytes"]
    charset = part.get_content_charset()
    if charset:
        details.append(f"charset={charset}")
    encoding = part.get("Content-Transfer-Encoding")
    if encoding:
        details.append(encoding)
    filename = part.get_filename()
    label = f"{content_type}  attachment {filename!r}" if filename else content_type
    lines.append(f"{indent}{label}  ({', '.join(details)})")


def report(title, envelope_sender, recipients, raw, to, cc, bcc, out):
    message = email.message_from_bytes(raw, policy=email.policy.default)
    roles = {}
    for role, addresses in (("bcc", bcc), ("cc", cc), ("to", to)):
        for address in addresses or ():
            roles[address] = role

    notes = {"to": "To", "cc": "Cc", "bcc": "Bcc: in the envelope only, in no header"}
    width = max(len(address) for address in recipients) + 2
    lines = [title, "", "Envelope"]
    lines.append(f"  MAIL FROM: <{envelope_sender}>")
    for address in recipients:
        note = notes.get(roles.get(address, ""))
        lines.append(f"  RCPT TO:   {f'<{address}>':<{width}}" + (f"  ({note})" if note else ""))

    lines += ["", "Headers"]
    for name, value in message.items():
        lines.append(f"  {name}: {value}")

    lines += ["", f"MIME tree ({len(raw)} bytes in all)"]
    describe_part(message, 0, lines)

    text = next((p for p in message.walk() if p.get_content_type() == "text/plain"), None)
    if text is not None and not text.get_filename():
        lines += ["", "Text body"]
        lines += [f"  {line}".rstrip() for line in text.get_content().strip("\n").splitlines()]

    eml = out / "message.eml"
    html = next((p for p in message.walk() if p.get_content_type() == "text/html"), None)
    html_path = out / "message.html"
    try:
        out.mkdir(parents=True, exist_ok=True)
        eml.write_bytes(raw)
        if html is not None:
            html_path.write_bytes(html.get_payload(decode=True))
    except OSError as error:
        raise DemoError(
            f"the message was sent, but {error.filename} cannot be written: {error.strerror}"
        ) from None
    lines += ["", "Saved", f"  {eml}"]
    if html is not None:
        lines.append(f"  {html_path}")
    else:
        lines.append("  (the message has no HTML body, so no message.html)")
    print("\n".join(lines))


# ---------------------------------------------------------------------------
# The two ways to run


def run_embedded(args, scratch):
    password = secrets.token_urlsafe(16)
    controller, inbox, ca_file = start_server(scratch, password)
    port = controller.port
    try:
        # Only this process trusts the demo's authority: ssl's default
        # context, which the mailer makes for STARTTLS, reads this variable.
        os.environ["SSL_CERT_FILE"] = str(ca_file)
        mailer = make_mailer_class()(
            "127.0.0.1",
            port,
            DEMO_USER,
            password,
            use_ssl=False,
            use_tls=True,
            default_sender=DEMO_SENDER,
            template_dir=args.template_dir,
        )
        to, cc, bcc = args.to or DEMO_TO, args.cc or DEMO_CC, args.bcc or DEMO_BCC
        send_message(mailer, to, cc, bcc, args.sender, scratch, args.template_dir)
    finally:
        controller.stop()
    if len(inbox.received) != 1:
        raise DemoError(f"the embedded server received {len(inbox.received)} messages, not 1")
    mail_from, rcpt_tos, raw = inbox.received[0]
    title = f"The embedded SMTP server on 127.0.0.1:{port} (STARTTLS, AUTH) received:"
    report(title, mail_from, rcpt_tos, raw, to, cc, bcc, args.out)


def run_remote(args, scratch):
    password = read_password()
    # The mailer passes no timeout to smtplib; bound every socket step here.
    socket.setdefaulttimeout(args.timeout)
    mailer = make_mailer_class()(
        args.host,
        args.port,
        args.user,
        password,
        use_ssl=args.mode == "ssl",
        use_tls=args.mode == "starttls",
        default_sender=args.sender,
        template_dir=args.template_dir,
    )
    send_message(mailer, args.to, args.cc, args.bcc, args.sender, scratch, args.template_dir)
    sender, recipients, raw = mailer.sent
    title = f"Sent through {args.host}:{args.port} ({args.mode}), accepted for every recipient:"
    report(title, sender, recipients, raw, args.to, args.cc, args.bcc, args.out)


def explain(error, args):
    """One line for an error a user can run into; None for anything else."""
    where = f"{args.host}:{args.port}" if args.host else "the embedded server"
    match error:
        case DemoError():
            return str(error)
        case smtplib.SMTPAuthenticationError():
            return f"authentication failed at {where}: {smtp_reply(error)}"
        case smtplib.SMTPNotSupportedError():
            return f"{where} does not support what was asked ({error}); try another --mode"
        case smtplib.SMTPRecipientsRefused():
            refused = ", ".join(
                f"{address} ({smtp_reply_of(*reply)})"
                for address, reply in error.recipients.items()
            )
            # A partial refusal carries a note: the others did get the message.
            if getattr(error, "__notes__", None):
                return f"recipients refused: {refused}; the others were sent the message"
            return f"every recipient refused: {refused}; nothing was sent"
        case smtplib.SMTPSenderRefused():
            return f"sender {error.sender} refused: {smtp_reply(error)}"
        case smtplib.SMTPDataError():
            return f"message refused: {smtp_reply(error)}"
        case smtplib.SMTPServerDisconnected():
            return f"{where} closed the connection: {error}"
        case smtplib.SMTPResponseException():
            return f"{where} answered {smtp_reply(error)}"
        case smtplib.SMTPException():
            return f"SMTP error with {where}: {error}"
        case ssl.SSLCertVerificationError():
            return f"the certificate of {where} is not trusted: {error.verify_message}"
        case ssl.SSLError():
            return f"TLS failed with {where}: {error.reason or error} (does --mode suit the port?)"
        case ConnectionRefusedError():
            return f"cannot connect to {where}: connection refused"
        case socket.gaierror():
            return f"cannot resolve {args.host}: {error.strerror}"
        case TimeoutError():
            return f"{where} did not answer within {args.timeout:g} seconds"
        case OSError():
            return f"cannot talk to {where}: {error.strerror or error}"
    return None


def smtp_reply_of(code, text):
    if isinstance(text, bytes):
        text = text.decode("utf-8", "replace")
    return f"{code} {text}".strip()


def smtp_reply(error):
    return smtp_reply_of(error.smtp_code, error.smtp_error)


def main(argv=None):
    args = parse_arguments(argv)
    try:
        with tempfile.TemporaryDirectory(prefix="vantrel-demo-") as scratch:
            if args.host is None:
                run_embedded(args, Path(scratch))
            else:
                run_remote(args, Path(scratch))
    except KeyboardInterrupt:
        print("demo: interrupted", file=sys.stderr)
        return 130
    except Exception as error:
        line = explain(error, args)
        if line is None:
            line = f"{type(error).__name__}: {error}"
        print(f"demo: error: {' '.join(line.split())}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
