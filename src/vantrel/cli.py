"""The vantrel command: send a message from the shell, preview it, list the templates.

    vantrel send --host smtp.example.com --user me@example.com --to you@example.com \\
        --subject "Backup finished" --body "The nightly backup finished."
    vantrel preview --template report --context report.json --to you@example.com \\
        --sender me@example.com --open
    vantrel templates

The message is composed by vantrel.mailer and sent through a
vantrel.session.Session; this module only reads the command line and the
files it names, and turns every failure into one line on standard error and
an exit status: 0 done, 1 the server refused or could not be reached, 2 a
usage error (a bad option, a file that cannot be read, a broken template),
130 interrupted.
"""

import argparse
import getpass
import json
import os
import re
import smtplib
import socket
import ssl
import sys
import warnings
from datetime import datetime
from pathlib import Path

PROG = "vantrel"
PASSWORD_VARIABLE = "VANTREL_SMTP_PASSWORD"
USUAL_PORTS = {"ssl": 465, "starttls": 587, "plain": 25}
DEFAULT_TIMEOUT = 30.0

SENT, REFUSED, USAGE, INTERRUPTED, BROKEN_PIPE = 0, 1, 2, 130, 141


class UsageError(Exception):
    """Something the user asked for cannot be done as asked: status 2."""


class DeliveryError(Exception):
    """The server refused the message or could not be reached: status 1."""


class OneLineParser(argparse.ArgumentParser):
    # argparse's own errors print the whole usage first; one line is enough
    # to say what is wrong, and --help still shows the usage.
    def error(self, message):
        self.exit(USAGE, f"{self.prog}: error: {message}\n")


# ---------------------------------------------------------------------------
# Option values and the server options, shared with tools/demo


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


def add_server_arguments(group, default_mode):
    """--host, --port, --mode, --user and --timeout, into an argument group."""
    group.add_argument("--host", help="the SMTP server's name or address")
    group.add_argument(
        "--port",
        type=port_number,
        help="server port (default: 465 for ssl, 587 for starttls, 25 for plain)",
    )
    group.add_argument(
        "--mode",
        choices=list(USUAL_PORTS),
        metavar="MODE",
        help="ssl (implicit TLS), starttls (a plain connection upgraded with STARTTLS) "
        f"or plain (no encryption); default: {default_mode}",
    )
    group.add_argument("--user", help="SMTP login; also the sender unless --sender is given")
    group.add_argument(
        "--timeout",
        type=positive_seconds,
        metavar="SECONDS",
        help=f"seconds to wait for the server at each step (default: {DEFAULT_TIMEOUT:g})",
    )


def settle_server_arguments(args, default_mode):
    """Fills in the mode, port and timeout that were not given."""
    args.mode = args.mode or default_mode
    args.timeout = args.timeout or DEFAULT_TIMEOUT
    if args.port is None:
        args.port = USUAL_PORTS[args.mode]


def password_option(word):
    """The name of the option `word` if it looks like a password option
    (--password, --pass, --passwd=..., --pw, -p, -pVALUE and the like), else
    None.  Only words that argparse would take for options count: a value
    with a space in it is a value."""
    if not word.startswith("-") or word == "-" or ("=" not in word and " " in word):
        return None
    if word.startswith("--"):
        name = word.split("=", 1)[0]
        return name if re.search(r"pas|pw|secret", name[2:], re.I) else None
    return word[:2] if word[1:2] == "p" else None  # -pVALUE: the value is not shown


def refuse_password_option(argv):
    """A password on the command line would show in every process listing:
    there is no such option.  argparse would repeat an unknown option and the
    word after it in its error line, so such an option is refused here, by its
    name alone."""
    for word in argv:
        if word == "--":
            break
        name = password_option(word)
        if name is not None:
            raise UsageError(
                f"{name}: there is no password option, a password is never taken from the "
                f"command line; set {PASSWORD_VARIABLE} or answer the prompt"
            )


def read_password():
    password = os.environ.get(PASSWORD_VARIABLE)
    if password is None:
        # Without a terminal getpass would fall back to reading standard input
        # with an echo warning; refuse instead and say how to give the password.
        with warnings.catch_warnings():
            warnings.simplefilter("error", getpass.GetPassWarning)
            try:
                password = getpass.getpass("SMTP password: ")
            except (getpass.GetPassWarning, EOFError, OSError):
                raise UsageError(
                    f"no terminal to ask for the password: set {PASSWORD_VARIABLE}"
                ) from None
    # The login encodes it as ASCII; its error would show the character and
    # where it sits.  Nothing of the password is shown here.
    if not password.isascii():
        raise UsageError(
            "the password has characters other than ASCII, which the SMTP login cannot send"
        )
    return password


# ---------------------------------------------------------------------------
# What went wrong, in the user's terms


def smtp_reply_of(code, text):
    if isinstance(text, bytes):
        text = text.decode("utf-8", "replace")
    return f"{code} {text}".strip()


def smtp_reply(error):
    return smtp_reply_of(error.smtp_code, error.smtp_error)


def explain(error, where, timeout):
    """One line for a failure while sending to `where` (host:port); None for
    anything that is no sending failure."""
    match error:
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
            return f"cannot resolve {where}: {error.strerror}"
        case TimeoutError():
            return f"{where} did not answer within {timeout:g} seconds"
        case OSError():
            return f"cannot talk to {where}: {error.strerror or error}"
    return None


def local_problem(error):
    """One line for a failure to read the message's parts; None for others."""
    import jinja2

    match error:
        case FileNotFoundError() if error.filename is None:
            return str(error)  # the mailer's own "Attachment not found: PATH"
        case OSError() if error.filename is not None:
            return f"cannot read {error.filename}: {error.strerror}"
        case jinja2.TemplateSyntaxError():
            return f"template {error.filename or error.name}, line {error.lineno}: {error.message}"
        case jinja2.TemplateNotFound():
            return f"template {error.name} not found (a template includes, imports or extends it)"
        case jinja2.TemplateError():
            return f"template error: {error.message}"
    return None


# ---------------------------------------------------------------------------
# The message


def read_text(path):
    """A body file, or standard input for "-", as text.  Bytes that are not
    UTF-8 become U+FFFD: a report from a cron job should still go out."""
    try:
        data = sys.stdin.buffer.read() if path == "-" else Path(path).read_bytes()
    except OSError as error:
        raise UsageError(f"cannot read {path}: {error.strerror}") from None
    return data.decode("utf-8", "replace")


def template_variables(args):
    """--context FILE.json, then every --var KEY=VALUE over it."""
    variables = {}
    if args.context is not None:
        text = read_text(args.context)
        try:
            variables = json.loads(text)
        except json.JSONDecodeError as error:
            raise UsageError(
                f"{args.context} is not valid JSON: {error.msg} "
                f"(line {error.lineno}, column {error.colno})"
            ) from None
        if not isinstance(variables, dict):
            raise UsageError(f"{args.context} must hold a JSON object, not {type(variables).__name__}")
    for item in args.var or ():
        key, equals, value = item.partition("=")
        if not equals or not key.isidentifier():
            raise UsageError(f"bad --var {item!r}: expected KEY=VALUE, KEY a name")
        variables[key] = value
    return variables


def render_template(engine, name, subject, variables):
    """The subject, text and HTML body of a template, as send_template makes
    them: the same variables for all three, occurred_at added unless given."""
    variables = dict(variables)
    variables.setdefault("occurred_at", datetime.now().strftime("%Y-%m-%d %H:%M:%S"))
    html = engine.render(f"{name}.html", variables)
    text = engine.render(f"{name}.txt", variables)
    if html is None and text is None:
        places = ", ".join(engine.env.loader.searchpath)
        raise UsageError(f"no template {name!r}: neither {name}.html nor {name}.txt in {places}")
    return engine.render_string(subject, variables), text, html


def check_sources(args):
    """Where the body comes from: the combinations that make no sense."""
    if args.template is not None:
        given = [o for o, v in (("--body", args.body), ("--body-file", args.body_file),
                                ("--html-file", args.html_file)) if v is not None]
        if given:
            raise UsageError(f"--template makes the body itself; leave out {' and '.join(given)}")
    elif args.var or args.context is not None:
        raise UsageError("--var and --context fill a template: give --template NAME")
    if args.body is not None and args.body_file is not None:
        raise UsageError("give the text body once: --body or --body-file")
    if not any(v is not None for v in (args.template, args.body, args.body_file, args.html_file)):
        if sys.stdin is None or sys.stdin.isatty():
            raise UsageError(
                "no body: give --body, --body-file, --html-file or --template, "
                "or pipe the text in"
            )
        args.body_file = "-"
    check_template_dir(args.template_dir)


def check_template_dir(directory):
    # The engine would skip a directory that is not there and fall back on the
    # built-in templates without a word; a mistyped path deserves one.
    if directory is not None and not os.path.isdir(directory):
        raise UsageError(f"template directory {directory} does not exist")


def compose(args):
    """The mailer (without a password yet) and the keyword arguments of its
    send() for the message the options describe; nothing is sent."""
    from vantrel.mailer import EasyMailer

    check_sources(args)
    sender = args.sender or args.user
    if not sender:
        raise UsageError("the message needs a sender: give --sender or --user")
    mailer = EasyMailer(
        args.host or "",
        args.port,
        args.user or "",
        "",
        use_ssl=args.mode == "ssl",
        use_tls=args.mode == "starttls",
        default_sender=sender,
        template_dir=args.template_dir,
    )
    subject = args.subject
    if args.template is not None:
        if subject is None:
            subject = "{{ title }}"
        subject, body, html = render_template(
            mailer._template_engine, args.template, subject, template_variables(args)
        )
    else:
        body = read_text(args.body_file) if args.body_file is not None else args.body
        html = read_text(args.html_file) if args.html_file is not None else None
    message = dict(
        to=args.to,
        subject=subject or "",
        body=body or None,
        html=html or None,
        cc=args.cc,
        bcc=args.bcc,
        sender=None,  # the mailer's default_sender
        sender_name=args.sender_name,
        attachments=args.attach,
        reply_to=args.reply_to,
    )
    return mailer, message


def build(mailer, message):
    """The MIME message send() would deliver; blind copies are in no header."""
    parts = {k: v for k, v in message.items() if k != "bcc"}
    return mailer._build_message(**parts)


def prepare(args):
    """Composes and builds the message: every problem with the user's input
    shows here, before a password is asked for or the server contacted."""
    try:
        mailer, message = compose(args)
        return mailer, message, build(mailer, message)
    except UsageError:
        raise
    except Exception as error:
        line = local_problem(error)
        if line is None:
            raise
        raise UsageError(line) from None


def deliver(mailer, message):
    """Sends the message through a Session of the mailer: one connection,
    ended with QUIT."""
    from vantrel.session import Session

    with Session(mailer) as session:
        session.send(**message)


# ---------------------------------------------------------------------------
# The commands


def send_command(args):
    mailer, message, msg = prepare(args)
    if args.dry_run:
        sys.stdout.write(msg.as_string())
        sys.stdout.flush()
        recipients = type(mailer)._collect_recipients(args.to, args.cc, args.bcc)
        print(
            f"{PROG}: dry run, nothing sent: from <{mailer.default_sender}> to "
            + ", ".join(f"<{address}>" for address in recipients),
            file=sys.stderr,
        )
        return SENT
    mailer.password = read_password()
    where = f"{args.host}:{args.port}"
    # The mailer passes no timeout to smtplib; bound every socket step here.
    socket.setdefaulttimeout(args.timeout)
    try:
        deliver(mailer, message)
    except Exception as error:
        line = explain(error, where, args.timeout)
        if line is None:
            raise
        raise DeliveryError(line) from None
    return SENT


READING_PAGE = """\
<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{title}</title>
</head>
<body style="margin:0;padding:24px 12px;background-color:#f3f4f6;">
<pre style="box-sizing:border-box;max-width:80ch;margin:0 auto;padding:20px 28px;\
background-color:#ffffff;border:1px solid #e5e7eb;border-radius:6px;white-space:pre-wrap;\
overflow-wrap:anywhere;font-family:monospace;font-size:14px;line-height:21px;color:#1f2937;">\
{text}</pre>
</body>
</html>
"""


def reading_html(msg):
    """The message's HTML body, or its text body on a page of its own."""
    import html

    def body_part(content_type):
        for part in msg.walk():
            if part.get_content_type() == content_type and part.get_filename() is None:
                return part.get_payload(decode=True).decode("utf-8", "replace")
        return None

    page = body_part("text/html")
    if page is not None:
        return page
    text = body_part("text/plain")
    text = "(This message has no body.)" if text is None else text
    return READING_PAGE.format(
        title=html.escape(str(msg["Subject"] or "")), text=html.escape(text)
    )


def preview_command(args):
    _, _, msg = prepare(args)
    name = args.name or (Path(args.template).name if args.template else "message")
    out = Path(args.out)
    eml, page = out / f"{name}.eml", out / f"{name}.html"
    try:
        out.mkdir(parents=True, exist_ok=True)
        eml.write_bytes(msg.as_bytes())
        page.write_text(reading_html(msg), encoding="utf-8")
    except OSError as error:
        raise UsageError(f"cannot write {error.filename}: {error.strerror}") from None
    print(eml)
    print(page)
    if args.open:
        import webbrowser

        if not webbrowser.open(page.resolve().as_uri()):
            print(f"{PROG}: no browser to open {page} in", file=sys.stderr)
    return SENT


def template_summary(env, name, suffixes):
    """(description, variables, files) of one template, as its sources say:
    the variables of the files and of every template they extend or include,
    and each file with where it comes from or why it cannot be read."""
    from jinja2 import TemplateError, meta

    description, variables, files, seen = None, set(), [], set()

    def collect(template_name, source, filename):
        seen.add(template_name)
        tree = env.parse(source, template_name, filename)
        variables.update(meta.find_undeclared_variables(tree))
        for referenced in meta.find_referenced_templates(tree):
            if referenced is not None and referenced not in seen:
                collect(referenced, *env.loader.get_source(env, referenced)[:2])

    for suffix in suffixes:
        file_name = f"{name}.{suffix}"
        try:
            source, filename, _ = env.loader.get_source(env, file_name)
            collect(file_name, source, filename)
        except TemplateError as error:
            files.append((file_name, None, local_problem(error)))
            continue
        files.append((file_name, filename, None))
        comment = re.match(r"\s*\{#-?(.*?)-?#\}", source, re.S)
        if description is None and comment:
            words = " ".join(comment.group(1).split())
            description = re.split(r"(?<=\.)\s", words, maxsplit=1)[0]
    return description, sorted(variables), files


def templates_command(args):
    from vantrel import template
    from vantrel.template import TemplateEngine

    check_template_dir(args.template_dir)
    env = TemplateEngine(args.template_dir).env
    builtin = Path(str(template._DEFAULT_TEMPLATE_DIR)).resolve()
    names = {}
    for file_name in env.list_templates(extensions=("html", "txt")):
        stem, _, suffix = file_name.rpartition(".")
        # Names starting with "_" are frames and pieces that others extend.
        if not Path(stem).name.startswith("_"):
            names.setdefault(stem, []).append(suffix)

    lines = []
    for name in sorted(names):
        description, variables, files = template_summary(env, name, sorted(names[name]))
        lines.append(f"{name}" + (f"  {description}" if description else ""))
        lines.append(f"    variables: {', '.join(variables) or '(none)'}")
        for file_name, filename, problem in files:
            if problem is not None:
                lines.append(f"    {file_name}: cannot be read: {problem}")
                continue
            origin = Path(filename).resolve()
            where = "built-in" if origin.is_relative_to(builtin) else str(origin.parent)
            lines.append(f"    {file_name}: {where}")
    lines.append("")
    lines.append("occurred_at is the time of sending unless given with --var or --context.")
    print("\n".join(lines))
    return SENT


# ---------------------------------------------------------------------------
# The command line

SEND_EXAMPLES = f"""\
examples:
  {PROG} send --host smtp.example.com --user me@example.com --to you@example.com \\
      --subject "Backup finished" --body "The nightly backup finished."
  df -h | {PROG} send --host smtp.example.com --mode starttls --user me@example.com \\
      --to ops@example.com --subject "Disk report"
  {PROG} send --host smtp.example.com --user me@example.com --to you@example.com \\
      --template notification --var title="Report ready" --var message="See attached." \\
      --attach /srv/reports/today.pdf
  {PROG} send --dry-run --sender me@example.com --to you@example.com --body-file note.txt

The password comes from ${PASSWORD_VARIABLE} or, on a terminal, a prompt.
exit status: 0 sent, 1 the server refused or could not be reached,
2 a usage error (option, file, template), 130 interrupted."""

PREVIEW_EXAMPLES = f"""\
examples:
  {PROG} preview --template report --context report.json --to you@example.com \\
      --sender me@example.com --open
  {PROG} preview --to you@example.com --sender me@example.com --body-file note.txt --out /tmp

The server options of send are accepted and not used, so that a send command
line can be previewed by changing only its first word."""

TEMPLATES_EXAMPLES = f"""\
examples:
  {PROG} templates
  {PROG} templates --template-dir /srv/app/mail-templates"""


def add_message_arguments(parser):
    message = parser.add_argument_group("the message")
    message.add_argument("--to", action="append", required=True, metavar="ADDR",
                         help="recipient (repeatable; at least one)")
    message.add_argument("--cc", action="append", metavar="ADDR", help="carbon copy (repeatable)")
    message.add_argument("--bcc", action="append", metavar="ADDR",
                         help="blind copy, in the envelope only (repeatable)")
    message.add_argument("--subject", help="the subject; with --template a template itself "
                         "(default there: {{ title }})")
    message.add_argument("--sender", metavar="ADDR",
                         help="the From address and envelope sender (default: --user)")
    message.add_argument("--sender-name", metavar="NAME", help="display name for From")
    message.add_argument("--reply-to", metavar="ADDR", help="Reply-To address")
    message.add_argument("--attach", action="append", metavar="PATH",
                         help="attach a file (repeatable)")

    body = parser.add_argument_group(
        "the body",
        "Text from --body, --body-file or standard input, HTML from --html-file (both\n"
        "may be given), or both made by --template.  Without any of these the text is\n"
        "read from standard input.",
    )
    body.add_argument("--body", metavar="TEXT", help="the text body")
    body.add_argument("--body-file", metavar="PATH", help="read the text body from PATH ('-': "
                      "standard input)")
    body.add_argument("--html-file", metavar="PATH", help="read the HTML body from PATH")
    body.add_argument("--template", metavar="NAME",
                      help="render NAME.html and NAME.txt (see: vantrel templates)")
    body.add_argument("--var", action="append", metavar="KEY=VALUE",
                      help="a template variable (repeatable; over --context)")
    body.add_argument("--context", metavar="FILE.json", help="template variables from a JSON object")
    body.add_argument("--template-dir", metavar="DIR",
                      help="look for templates in DIR before the built-in ones")
    add_server_arguments(parser.add_argument_group("the server"), default_mode="ssl")


def package_version():
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("vantrel")
    except PackageNotFoundError:
        return "unknown"


def build_parser():
    raw = argparse.RawDescriptionHelpFormatter
    parser = OneLineParser(
        prog=PROG,
        description="Send e-mail from the shell with vantrel, preview it, list the templates.",
        epilog=f"'{PROG} COMMAND --help' shows each command's options and examples.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {package_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=OneLineParser)

    send = commands.add_parser(
        "send", help="send a message", formatter_class=raw, epilog=SEND_EXAMPLES,
        description="Send one message: text, HTML or a template, with attachments.")
    add_message_arguments(send)
    send.add_argument("--dry-run", action="store_true",
                      help="print the message instead of sending it (no server, no password)")
    send.set_defaults(run=send_command)

    preview = commands.add_parser(
        "preview", help="write a message to files, without a server", formatter_class=raw,
        epilog=PREVIEW_EXAMPLES,
        description="Build the message that send would send and write it as NAME.eml, and its "
        "HTML body (or the text body on a page) as NAME.html.")
    add_message_arguments(preview)
    preview.add_argument("--out", metavar="DIR", default=".",
                         help="the directory for the files (default: the current one)")
    preview.add_argument("--name", help="the files' name (default: the template's, or message)")
    preview.add_argument("--open", action="store_true",
                         help="open NAME.html in the default browser, when there is one")
    preview.set_defaults(run=preview_command)

    templates = commands.add_parser(
        "templates", help="list the templates and their variables", formatter_class=raw,
        epilog=TEMPLATES_EXAMPLES,
        description="List the built-in templates, and those of --template-dir, with the "
        "variables each uses.")
    templates.add_argument("--template-dir", metavar="DIR",
                           help="list the templates in DIR too; they replace built-in ones")
    templates.set_defaults(run=templates_command)
    return parser


def parse_arguments(argv):
    refuse_password_option(argv)
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command in ("send", "preview"):
        settle_server_arguments(args, "ssl")
        if args.command == "send" and not args.dry_run:
            if not args.host or not args.host.strip():
                raise UsageError("--host is required to send (or give --dry-run)")
            if not args.user:
                raise UsageError("--user is required to send: the server is always logged in to")
    return args


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    try:
        args = parse_arguments(argv)
        return args.run(args)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return INTERRUPTED
    except UsageError as error:
        status, line = USAGE, str(error)
    except DeliveryError as error:
        status, line = REFUSED, str(error)
    except BrokenPipeError:
        # The reader of the output went away (a dry run into head): say nothing
        # more, and let no flush at exit complain about it either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return BROKEN_PIPE
    print(f"{PROG}: error: {' '.join(line.split())}", file=sys.stderr)
    return status
