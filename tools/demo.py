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

import email
import email.policy
import json
import logging
import os
import re
import secrets
import socket
import ssl
import sys
import tempfile
from pathlib import Path

# The command line's own option handling, password prompt and error wording.
from vantrel.cli import (
    PASSWORD_VARIABLE,
    OneLineParser,
    UsageError,
    add_server_arguments,
    explain,
    read_password,
    refuse_password_option,
    settle_server_arguments,
)

CHECKOUT = Path(__file__).resolve().parent.parent

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


def parse_arguments(argv):
    parser = OneLineParser(
        prog="demo",
        description="Send one templated message with vantrel: through an embedded local "
        "SMTP server (the default) or through the server given with --host.",
        epilog=f"The password for --host comes from ${PASSWORD_VARIABLE} or a prompt.",
    )
    remote = parser.add_argument_group(
        "sending through a real server", "Without --host the embedded server is used."
    )
    add_server_arguments(remote, default_mode="starttls")
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
    refuse_password_option(sys.argv[1:] if argv is None else argv)
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
        settle_server_arguments(args, "starttls")
    return args


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


def main(argv=None):
    try:
        args = parse_arguments(argv)
    except UsageError as error:
        print(f"demo: error: {error}", file=sys.stderr)
        return 2
    try:
        with tempfile.TemporaryDirectory(prefix="vantrel-demo-") as scratch:
            if args.host is None:
                run_embedded(args, Path(scratch))
            else:
                run_remote(args, Path(scratch))
    except KeyboardInterrupt:
        print("demo: interrupted", file=sys.stderr)
        return 130
    except (DemoError, UsageError) as error:
        line = str(error)
    except Exception as error:
        where = f"{args.host}:{args.port}" if args.host else "the embedded server"
        line = explain(error, where, args.timeout)
        if line is None:
            line = f"{type(error).__name__}: {error}"
    else:
        return 0
    print(f"demo: error: {' '.join(line.split())}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
