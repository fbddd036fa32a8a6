"""The vantrel command: send a message from the shell, preview it, list the templates.

    vantrel send --host smtp.example.com --user me@example.com --to you@example.com \\
        --subject "Backup finished" --body "The nightly backup finished."
    vantrel preview --template report --context report.json --to you@example.com \\
        --sender me@example.com --open
    vantrel templates

The message is composed once by vantrel.mailer's own steps and serialised
before a password is asked for or the server contacted; exactly that message
is then sent over one connection.  This module only reads the command line
and the files it names, checks what would fail later (addresses, headers,
file names), and turns every failure into one line on standard error and an
exit status that says its kind (EXIT_STATUSES).
"""

import argparse
import email.utils
import getpass
import json
import os
import re
import shlex
import signal
import smtplib
import socket
import ssl
import sys
import threading
import traceback
import warnings
from contextlib import nullcontext
from pathlib import Path

from vantrel import USUAL_PORTS

PROG = "vantrel"
PASSWORD_VARIABLE = "VANTREL_SMTP_PASSWORD"
TOKEN_VARIABLE = "VANTREL_SMTP_TOKEN"
TOKEN_MECHANISMS = ("xoauth2", "oauthbearer")
DEFAULT_TIMEOUT = 30.0
# A day: any longer is as good as none, and the socket layer overflows at
# about 292 years.
LONGEST_TIMEOUT = 86400.0

SENT, REFUSED, USAGE, UNREACHABLE, NO_TOKEN = 0, 1, 2, 3, 4
INTERNAL, INTERRUPTED, BROKEN_PIPE = 70, 130, 141

EXIT_STATUSES = f"""\
exit status:
  {SENT}    sent (or printed, written, listed)
  {REFUSED}    the server refused: the login, the sender, the recipients or the message
  {USAGE}    a usage error: an option, an address or header, a file, a template, no password
  {UNREACHABLE}    the server could not be reached, or the connection failed (TLS, timeout)
  {NO_TOKEN}    no OAuth2 token: the token command failed or gave none
  {INTERNAL}   an unexpected error: a fault in vantrel
  {INTERRUPTED}  interrupted (Ctrl-C)
  {BROKEN_PIPE}  the reader of the output went away (a dry run into head)"""


class UsageError(Exception):
    """Something the user asked for cannot be done as asked: status 2."""


class DeliveryError(Exception):
    """Sending failed: the server refused (status 1), or could not be reached
    or the connection failed (status 3)."""

    def __init__(self, line, status):
        super().__init__(line)
        self.status = status


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
    if not 0 < seconds <= LONGEST_TIMEOUT:
        raise argparse.ArgumentTypeError(
            f"invalid timeout {text!r}: must be above 0 and at most {LONGEST_TIMEOUT:g} (a day)"
        )
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


def add_sign_in_arguments(group):
    """--auth and --token-command, into an argument group."""
    group.add_argument(
        "--auth",
        choices=("password",) + TOKEN_MECHANISMS,
        default="password",
        metavar="MECHANISM",
        help="password (the default: CRAM-MD5, PLAIN or LOGIN), or xoauth2 or oauthbearer "
        f"to sign in with an OAuth2 token from --token-command or {TOKEN_VARIABLE}",
    )
    group.add_argument(
        "--token-command",
        metavar="CMD",
        help="a command that prints the access token (or a token endpoint's JSON answer), "
        "run at every login; split like a shell command line, never run through a shell",
    )


def settle_sign_in_arguments(args):
    """The token source that --auth asks for, as args.token_source (None with
    the password); usage errors for an option without its counterpart."""
    args.token_source = None
    if args.auth not in TOKEN_MECHANISMS:
        if args.token_command is not None:
            raise UsageError("--token-command gives a token for --auth xoauth2 or oauthbearer; "
                             "the password sign-in has no use for it")
        return
    from vantrel import auth

    if args.token_command is not None:
        try:
            argv = shlex.split(args.token_command)
        except ValueError as error:
            raise UsageError(f"--token-command: {error}") from None
        if not argv:
            raise UsageError("--token-command is empty")
        args.token_source = auth.TokenCommand(argv)
    elif os.environ.get(TOKEN_VARIABLE):
        args.token_source = auth.StaticToken(os.environ[TOKEN_VARIABLE])
    else:
        raise UsageError(f"--auth {args.auth} needs a token: give --token-command CMD or set "
                         f"{TOKEN_VARIABLE}")


def sign_in(args):
    """What Session(auth=...) takes for the sign-in the arguments ask for."""
    if args.token_source is None:
        return None
    from vantrel import auth

    mechanism = auth.XOAuth2 if args.auth == "xoauth2" else auth.OAuthBearer
    return mechanism(args.token_source)


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


def token_option(word):
    """The name of `word` if it would give a token as an argument (--token,
    --access-token, --token=...; argparse would take --token for an
    abbreviation of --token-command), else None."""
    name = word.split("=", 1)[0]
    return name if name in ("--token", "--access-token", "--oauth-token") else None


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
        name = token_option(word)
        if name is not None:
            raise UsageError(
                f"{name}: a token is never taken from the command line; give "
                f"--token-command CMD or set {TOKEN_VARIABLE}"
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


def explain(error, where, timeout, mode=None):
    """One line for a failure while sending to `where` (host:port) with the
    connection `mode`; None for anything that is no sending failure.  Whether
    the message went out is the session's failure policy (classify)."""
    from vantrel.session import classify

    match error:
        case smtplib.SMTPResponseException() if error.smtp_code == 421:
            return f"{where} is closing the connection: {smtp_reply(error)}; nothing was sent"
        case smtplib.SMTPAuthenticationError():
            return f"authentication failed at {where}: {smtp_reply(error)}"
        case smtplib.SMTPNotSupportedError() if "STARTTLS" in str(error):
            return (f"{where} does not offer STARTTLS, so the connection cannot be encrypted "
                    "this way (--mode plain would send the password in the clear)")
        case smtplib.SMTPNotSupportedError() if "AUTH" in str(error):
            advice = ("; many servers offer it only over TLS: try --mode starttls or ssl"
                      if mode == "plain" else "")
            return (f"{where} offers no login (no AUTH in its EHLO reply), and vantrel "
                    f"always logs in{advice}")
        case smtplib.SMTPNotSupportedError():
            return f"{where} does not support what was asked: {error}"
        case smtplib.SMTPRecipientsRefused() if any(
            code == 421 for code, _ in error.recipients.values()
        ):
            reply = next(smtp_reply_of(*r) for r in error.recipients.values() if r[0] == 421)
            return f"{where} is closing the connection: {reply}; nothing was sent"
        case smtplib.SMTPRecipientsRefused():
            refused = ", ".join(
                f"{address} ({smtp_reply_of(*reply)})"
                for address, reply in error.recipients.items()
            )
            if classify(error) == "sent":
                return f"recipients refused: {refused}; the others were sent the message"
            return f"every recipient refused: {refused}; nothing was sent"
        case smtplib.SMTPSenderRefused():
            return f"sender {error.sender} refused: {smtp_reply(error)}"
        case smtplib.SMTPDataError():
            return f"message refused: {smtp_reply(error)}"
        case smtplib.SMTPServerDisconnected() if classify(error) == "unknown":
            return (f"{where} closed the connection while the message was going out "
                    f"({error}): it may have been delivered, so it was not sent again")
        case smtplib.SMTPServerDisconnected():
            return f"{where} closed the connection: {error}"
        case smtplib.SMTPResponseException():
            return f"{where} answered {smtp_reply(error)}"
        case smtplib.SMTPException() if "authentication method" in str(error):
            return f"{where} offers no login method that vantrel can use"
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
        case TimeoutError() if classify(error) == "unknown":
            return (f"{where} did not answer within {timeout:g} seconds while the message was "
                    "going out: it may have been delivered, so it was not sent again")
        case TimeoutError():
            return f"{where} did not answer within {timeout:g} seconds"
        case OSError():
            return f"cannot talk to {where}: {error.strerror or error}"
    return None


def failure_status(error):
    """The exit status of a sending failure: an answer of the server's is a
    refusal; no answer (no connection, TLS, a timeout, a hang-up) is not."""
    if isinstance(error, smtplib.SMTPException):  # an OSError too
        return UNREACHABLE if isinstance(error, smtplib.SMTPServerDisconnected) else REFUSED
    return UNREACHABLE


def unforeseen(error, secret=None):
    """The line for an error nothing here expected.  A UnicodeError names
    the character it stopped at and where: only its codec and reason are
    kept, and a message holding the password is not shown."""
    if isinstance(error, UnicodeError) and hasattr(error, "encoding"):
        detail = f"{error.encoding!r} codec: {error.reason}"
    else:
        detail = str(error)
        if secret and secret in detail:
            detail = "(its message is not shown: it holds the password)"
    detail = f": {detail}" if detail else ""
    return f"unexpected error, a fault in vantrel: {type(error).__name__}{detail}"


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


def printable(path):
    """A path as it can be shown: bytes of a file name that are not UTF-8
    as \\xNN."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def read_text(path):
    """A body file, or standard input for "-", as text.  Bytes that are not
    UTF-8 become U+FFFD: a report from a cron job should still go out."""
    if path == "-" and sys.stdin is None:
        raise UsageError("standard input is closed: nothing to read the body from")
    try:
        data = sys.stdin.buffer.read() if path == "-" else Path(path).read_bytes()
    except OSError as error:
        raise UsageError(f"cannot read {printable(path)}: {error.strerror}") from None
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
        except RecursionError:
            raise UsageError(f"{args.context} is nested too deeply to be read") from None
        except ValueError as error:  # a number too long to convert
            raise UsageError(f"{args.context} cannot be read: {error}") from None
        if not isinstance(variables, dict):
            raise UsageError(f"{args.context} must hold a JSON object, not {type(variables).__name__}")
    for item in args.var or ():
        key, equals, value = item.partition("=")
        if not equals or not key.isidentifier():
            raise UsageError(f"bad --var {item!r}: expected KEY=VALUE, KEY a name")
        variables[key] = value
    return variables


def rendering_problem(what, error):
    """One line for a template that failed to load or render: `what` names
    the template asked for (a file, or --subject)."""
    import jinja2

    match error:
        case jinja2.TemplateSyntaxError() if error.filename is None:
            return f"{what}, line {error.lineno}: {error.message}"
        case jinja2.TemplateNotFound() | jinja2.TemplateSyntaxError():
            return local_problem(error)
        case UnicodeDecodeError():
            return (f"template {what} (or one it includes, imports or extends) is not UTF-8: "
                    f"{error.reason} at byte {error.start}")
    # Raised by the template's own code: jinja2 puts the template's lines
    # into the traceback, the last one is where it was raised.
    place = what
    for frame in reversed(traceback.extract_tb(error.__traceback__)):
        if frame.filename.endswith((".html", ".txt")) or frame.filename == "<template>":
            source = what if frame.filename == "<template>" else f"template {frame.filename}"
            place = f"{source}, line {frame.lineno}"
            break
    detail = f"{type(error).__name__}: {error}" if str(error) else type(error).__name__
    return f"{place}: {detail}"


def rendered(what, render, *arguments):
    try:
        return render(*arguments)
    except Exception as error:
        raise UsageError(rendering_problem(what, error)) from None


def render_template(engine, name, subject, variables):
    """The subject, text and HTML body of a template, as send_template makes
    them: the same variables for all three, occurred_at added unless given."""
    from vantrel.session import _template_variables

    variables = _template_variables(dict(variables))
    html = rendered(f"{name}.html", engine.render, f"{name}.html", variables)
    text = rendered(f"{name}.txt", engine.render, f"{name}.txt", variables)
    if html is None and text is None:
        places = ", ".join(engine.env.loader.searchpath)
        raise UsageError(f"no template {name!r}: neither {name}.html nor {name}.txt in {places}")
    subject = rendered("--subject (a template with --template)", engine.render_string,
                       subject, variables)
    return subject, text, html


BODY_OPTIONS = ("--body", "--body-file", "--html-file", "--template")


def body_options(args):
    given = (args.body, args.body_file, args.html_file, args.template)
    return [option for option, value in zip(BODY_OPTIONS, given) if value is not None]


def check_sources(args):
    """Where the body comes from: the combinations that make no sense."""
    given = body_options(args)
    if args.template is not None and len(given) > 1:
        raise UsageError(f"--template makes the body itself; leave out {' and '.join(given[:-1])}")
    if args.template is None and (args.var or args.context is not None):
        raise UsageError("--var and --context fill a template: give --template NAME")
    if args.body is not None and args.body_file is not None:
        raise UsageError("give the text body once: --body or --body-file")
    if args.empty_body and given:
        raise UsageError(f"--empty-body sends no body; leave out {' and '.join(given)}")
    if not given and not args.empty_body:
        if sys.stdin is None or sys.stdin.isatty():
            raise UsageError(
                "no body: give --body, --body-file, --html-file or --template, "
                "or pipe the text in (--empty-body: none)"
            )
        args.body_file = "-"
    check_template_dir(args.template_dir)
    check_attachments(args.attach)


def check_template_dir(directory):
    # The engine would skip a directory that is not there and fall back on the
    # built-in templates without a word; a mistyped path deserves one.
    if directory is not None and not os.path.isdir(directory):
        raise UsageError(f"template directory {directory} does not exist")


def check_attachments(paths):
    # The mailer says "not found" for anything but a regular file, and its
    # file name goes into a header as UTF-8.
    for path in paths or ():
        if os.path.isdir(path):
            raise UsageError(f"cannot attach {printable(path)}: it is a directory "
                             "(attach the files in it, or an archive of it)")
        if os.path.exists(path) and not os.path.isfile(path):
            raise UsageError(f"cannot attach {printable(path)}: it is not a regular file")
        try:
            Path(path).name.encode("utf-8")
        except UnicodeEncodeError:
            raise UsageError(f"cannot attach {printable(path)}: its file name is not UTF-8 "
                             "(attach a copy with another name)") from None


def check_one_line(option, value):
    # A line break in a header's value would end the header there and start
    # another one (or the body) with the rest.
    if value and value.splitlines() != [value]:
        raise UsageError(f"{option} {value[:60]!r} holds a line break: a header is one line")


def addresses(option, values):
    """The addresses of a repeatable option (--to, --cc, --bcc), in order.
    A value may be a list of them separated by commas, as in a To header
    ("a@example.com, Bob <b@example.org>"): each goes to the envelope on its
    own.  Every address must be ASCII: the message goes without SMTPUTF8."""
    found = []
    for value in values or ():
        check_one_line(option, value)
        pairs = email.utils.getaddresses([value])
        if any(not address for _, address in pairs):
            raise UsageError(f"{option} {value!r} is not an address, nor a list of addresses "
                             "separated by commas")
        for _, address in pairs:
            if not address.isascii():
                raise UsageError(
                    f"{option} {address}: an address must be ASCII (the display name may be "
                    "any text); vantrel sends without SMTPUTF8"
                )
        found.extend([value] if len(pairs) == 1 else map(email.utils.formataddr, pairs))
    return found


def check_one_address(option, value):
    found = addresses(option, [value])
    if len(found) != 1:
        raise UsageError(f"{option} takes one address, not {len(found)}")


def check_headers(args, sender):
    """What a server or the email package would refuse only later: line
    breaks in headers, addresses that are not ASCII or not addresses."""
    args.to = addresses("--to", args.to)
    args.cc = addresses("--cc", args.cc)
    args.bcc = addresses("--bcc", args.bcc)
    if sender:
        check_one_address("--sender" if args.sender else "--user", sender)
    if args.reply_to is not None:
        addresses("--reply-to", [args.reply_to])
    for option, value in (("--sender-name", args.sender_name), ("--subject", args.subject)):
        if value is not None:
            check_one_line(option, value)


def extra_headers(args):
    """--header NAME=VALUE, in order; the fields themselves are checked as
    a session checks them, when the message is finished."""
    headers = {}
    for item in args.header or ():
        name, equals, value = item.partition("=")
        if not equals or not name.strip():
            raise UsageError(f"--header {item}: give it as NAME=VALUE")
        if name.strip() in headers:
            raise UsageError(f"--header {name.strip()}: given twice")
        headers[name.strip()] = value.strip()
    return headers or None


def domain_of(address):
    return email.utils.parseaddr(address)[1].rpartition("@")[2]


def dkim_signer(args, sender):
    """The Signer of --dkim-key and --dkim-selector, or None; the domain is
    --dkim-domain or the sender's."""
    if args.dkim_key is None and args.dkim_selector is None:
        if args.dkim_domain is not None:
            raise UsageError("--dkim-domain needs --dkim-key and --dkim-selector")
        return None
    if args.dkim_key is None or args.dkim_selector is None:
        raise UsageError("DKIM signing needs both --dkim-key FILE and --dkim-selector S")
    from vantrel.dkim import Signer

    domain = args.dkim_domain or domain_of(sender)
    if not domain:
        raise UsageError("--dkim-domain: the sender has no domain to sign for")
    try:
        key = Path(args.dkim_key).read_bytes()
    except OSError as error:
        raise UsageError(f"cannot read {printable(args.dkim_key)}: {error.strerror}") from None
    # The key says the algorithm: an RSA key signs rsa-sha256, an Ed25519
    # one ed25519-sha256; the first refusal tells what is wrong with others.
    try:
        return Signer(domain, args.dkim_selector, key, "rsa-sha256")
    except ValueError as error:
        try:
            return Signer(domain, args.dkim_selector, key, "ed25519-sha256")
        except ValueError:
            pass
        raise UsageError(f"--dkim-key {printable(args.dkim_key)}: {error}") from None


def finish(msg, args, sender):
    """The message as it goes out: the --header fields, List-Unsubscribe,
    the Message-ID (of the sender's domain, or the signing domain) and the
    signature, every line ending CRLF, by the code a session uses."""
    from vantrel.session import _finished_text

    signer = dkim_signer(args, sender)
    message_id = False
    if not args.no_message_id:
        message_id = domain_of(sender) or (signer.domain if signer else False)
    try:
        return _finished_text(msg, sender, headers=extra_headers(args),
                              unsubscribe=args.unsubscribe, message_id=message_id, dkim=signer)
    except (ValueError, TypeError) as error:
        raise UsageError(str(error)) from None


class Prepared:
    """The message, made and serialised once, with its envelope."""

    def __init__(self, mailer, msg, text, sender, recipients):
        self.mailer, self.msg, self.text = mailer, msg, text
        self.sender, self.recipients = sender, recipients


def compose(args):
    """The mailer (without a password yet), the envelope sender and the
    keyword arguments of _build_message for the message the options describe;
    nothing is sent."""
    from vantrel.mailer import EasyMailer

    check_sources(args)
    sender = args.sender or args.user or ""
    if not sender and args.command == "send":
        raise UsageError("the message needs a sender: give --sender or --user")
    check_headers(args, sender)
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
        subject, body, html = render_template(
            mailer._template_engine, args.template,
            "{{ title }}" if subject is None else subject, template_variables(args)
        )
        check_one_line("the subject made by --template", subject)
    else:
        body = read_text(args.body_file) if args.body_file is not None else args.body
        html = read_text(args.html_file) if args.html_file is not None else None
        if not (body or html or args.empty_body):
            sources = " and ".join("standard input" if option == "--body-file" and
                                   args.body_file == "-" else option
                                   for option in body_options(args))
            raise UsageError(f"no body: {sources} gave none; give --empty-body to send "
                             "the message without one")
    parts = dict(
        to=args.to,
        subject=subject or "",
        body=body or None,
        html=html or None,
        cc=args.cc,
        sender=None,  # the mailer's default_sender
        sender_name=args.sender_name,
        attachments=args.attach,
        reply_to=args.reply_to,
    )
    return mailer, sender, parts


def prepare(args):
    """Composes, builds and serialises the message: every problem with the
    user's input shows here, before a password is asked for or the server
    contacted.  Blind copies are in the envelope only."""
    try:
        mailer, sender, parts = compose(args)
        msg = mailer._build_message(**parts)
        text = finish(msg, args, sender)
        recipients = type(mailer)._collect_recipients(args.to, args.cc, args.bcc)
    except UsageError:
        raise
    except Exception as error:
        line = local_problem(error)
        if line is None:
            raise
        raise UsageError(line) from None
    # What the connection sends must be ASCII; the checks above leave nothing
    # else, but a header the email package could not encode would fail there.
    if not text.isascii():
        raise UsageError("the message has characters that its headers cannot carry")
    return Prepared(mailer, msg, text, sender, recipients)


# ---------------------------------------------------------------------------
# A plain start on a port that speaks TLS from its first byte

GREETING_WAIT = 2.0  # seconds; an SMTP server greets at once


def speaks_tls(host, port, timeout):
    """Whether the server at host:port answers a TLS handshake, over a
    connection of its own that carries nothing else.  Nothing is verified:
    only the answer is of interest."""
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    try:
        with socket.create_connection((host, port), timeout) as raw:
            with context.wrap_socket(raw, server_hostname=host):
                return True
    except (OSError, ValueError):  # ssl.SSLError is an OSError
        return False


class PlainStartWatch:
    """Cuts short a plain start (--mode starttls or plain) on a port that
    expects TLS from the first byte.  Such a server waits for the client's
    TLS hello while the client waits for its greeting, both until the
    timeout.  When nothing has come from the server GREETING_WAIT seconds
    into sending, a second connection tries a TLS handshake on the port; if
    the server answers it, the wait ends there.  It watches from the main
    thread only, where signals arrive, and hears the server through the
    session's connections (vantrel.session._connect, wrapped while it is
    active)."""

    def __init__(self, host, port, timeout):
        self.host, self.port, self.timeout = host, port, timeout
        self.greeted = self.found = False

    def alarm(self, signum, frame):
        if not self.greeted and speaks_tls(self.host, self.port, self.timeout):
            self.found = True
            raise ConnectionAbortedError("the port expects TLS from the first byte")

    def connect(self, host, port, timeout):
        watch, transport = self, self.session_connect(host, port, timeout)

        class Heard:
            def recv(self):
                data = transport.recv()
                watch.greeted = True
                return data

            def __getattr__(self, name):
                return getattr(transport, name)

        return Heard()

    def __enter__(self):
        from vantrel import session

        self.session_connect = session._connect
        session._connect = self.connect
        self.previous = signal.signal(signal.SIGALRM, self.alarm)
        signal.setitimer(signal.ITIMER_REAL, min(GREETING_WAIT, self.timeout / 2))
        return self

    def __exit__(self, *_):
        from vantrel import session

        signal.setitimer(signal.ITIMER_REAL, 0)
        # None: a handler that was not set from Python; the default stands in.
        signal.signal(signal.SIGALRM, signal.SIG_DFL if self.previous is None else self.previous)
        session._connect = self.session_connect


def deliver(prepared, args):
    """Sends the prepared message, exactly as serialised, over one
    connection ended with QUIT."""
    from vantrel.session import Session

    where = f"{args.host}:{args.port}"
    watch = nullcontext()
    if args.mode != "ssl" and threading.current_thread() is threading.main_thread():
        watch = PlainStartWatch(args.host, args.port, args.timeout)
    try:
        with watch, Session(prepared.mailer, timeout=args.timeout, auth=sign_in(args)) as session:
            session.send_message(prepared.text, prepared.sender, prepared.recipients)
    except Exception as error:
        from vantrel.auth import TokenError

        if isinstance(error, TokenError):
            raise DeliveryError(f"no token to sign in with: {error}; nothing was sent",
                                NO_TOKEN) from None
        if getattr(watch, "found", False):
            raise DeliveryError(f"{where} expects TLS from the first byte (implicit TLS), "
                                "not a plain start: give --mode ssl", UNREACHABLE) from None
        line = explain(error, where, args.timeout, args.mode)
        if line is None:
            raise
        raise DeliveryError(line, failure_status(error)) from None


# ---------------------------------------------------------------------------
# The commands


def envelope_address(address):
    """The address an envelope carries for a To-style value, as smtplib
    makes it: the display name dropped."""
    return email.utils.parseaddr(address)[1] or address


def send_command(args):
    prepared = prepare(args)
    if args.dry_run:
        if sys.stdout is None:
            raise UsageError("standard output is closed: nowhere to print the message")
        try:
            sys.stdout.write(prepared.text.decode("ascii"))
            sys.stdout.flush()
        except BrokenPipeError:
            raise
        except OSError as error:
            raise UsageError(f"cannot print the message: {error.strerror or error}") from None
        print(
            f"{PROG}: dry run, nothing sent: from <{envelope_address(prepared.sender)}> to "
            + ", ".join(f"<{envelope_address(a)}>" for a in prepared.recipients),
            file=sys.stderr,
        )
        return SENT
    if args.token_source is None:
        args.password = read_password()  # main() keeps it out of any error line
        prepared.mailer.password = args.password
    deliver(prepared, args)
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
    prepared = prepare(args)
    msg = prepared.msg
    name = args.name or (Path(args.template).name if args.template else "message")
    out = Path(args.out)
    eml, page = out / f"{name}.eml", out / f"{name}.html"
    try:
        out.mkdir(parents=True, exist_ok=True)
        eml.write_bytes(prepared.text)
        page.write_text(reading_html(msg), encoding="utf-8")
    except OSError as error:
        raise UsageError(f"cannot write {error.filename}: {error.strerror}") from None
    print(eml)
    print(page)
    if not prepared.sender:
        print(f"{PROG}: the message has no sender (its From is empty); sending it needs "
              "--sender or --user", file=sys.stderr)
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
  {PROG} send --host smtp.example.com --user me@example.com --to you@example.com \\
      --body "News" --unsubscribe https://example.com/u/42 \\
      --dkim-key dkim.pem --dkim-selector mail2026

The password comes from ${PASSWORD_VARIABLE} or, on a terminal, a prompt; there
is no option for it.  With --auth xoauth2 or oauthbearer an OAuth2 token signs
in instead, from --token-command CMD or ${TOKEN_VARIABLE}, never from an argument.  Everything local (options, addresses, headers, files,
templates) is checked before the password is asked for or the server contacted.

""" + EXIT_STATUSES

PREVIEW_EXAMPLES = f"""\
examples:
  {PROG} preview --template report --context report.json --to you@example.com \\
      --sender me@example.com --open
  {PROG} preview --to you@example.com --sender me@example.com --body-file note.txt --out /tmp

The server options of send are accepted and not used, so that a send command
line can be previewed by changing only its first word.  Without --sender or
--user the message has an empty From, which sending would refuse; a line on
standard error says so."""

TEMPLATES_EXAMPLES = f"""\
examples:
  {PROG} templates
  {PROG} templates --template-dir /srv/app/mail-templates"""


def add_message_arguments(parser):
    message = parser.add_argument_group("the message")
    message.add_argument("--to", action="append", required=True, metavar="ADDR",
                         help="recipient (repeatable; at least one); like --cc and --bcc, a "
                         "list separated by commas is split into its addresses")
    message.add_argument("--cc", action="append", metavar="ADDR", help="carbon copy (repeatable)")
    message.add_argument("--bcc", action="append", metavar="ADDR",
                         help="blind copy, in the envelope only (repeatable)")
    message.add_argument("--subject", help="the subject; with --template a template itself "
                         "(default there: {{ title }})")
    message.add_argument("--sender", metavar="ADDR",
                         help="the From address and envelope sender (default: --user)")
    message.add_argument("--sender-name", metavar="NAME", help="display name for From")
    message.add_argument("--reply-to", metavar="ADDR", help="Reply-To address")
    message.add_argument("--header", action="append", metavar="NAME=VALUE",
                         help="one more header field (repeatable)")
    message.add_argument("--unsubscribe", action="append", metavar="URI",
                         help="an https: or mailto: URI for List-Unsubscribe (repeatable); "
                         "an https one also offers one-click unsubscribe")
    message.add_argument("--no-message-id", action="store_true",
                         help="leave the Message-ID out (added by default, of the sender's "
                         "domain)")
    message.add_argument("--dkim-key", metavar="FILE",
                         help="sign with DKIM using the PEM private key in FILE (RSA or Ed25519)")
    message.add_argument("--dkim-selector", metavar="S", help="the selector of the DKIM key")
    message.add_argument("--dkim-domain", metavar="D",
                         help="the signing domain (default: the sender's)")
    message.add_argument("--attach", action="append", metavar="PATH",
                         help="attach a file (repeatable)")

    body = parser.add_argument_group(
        "the body",
        "Text from --body, --body-file or standard input, HTML from --html-file (both\n"
        "may be given), or both made by --template.  Without any of these the text is\n"
        "read from standard input.  A message whose body comes out empty (standard\n"
        "input at its end, an empty file) is refused unless --empty-body asks for none.",
    )
    body.add_argument("--body", metavar="TEXT", help="the text body")
    body.add_argument("--body-file", metavar="PATH", help="read the text body from PATH ('-': "
                      "standard input)")
    body.add_argument("--html-file", metavar="PATH", help="read the HTML body from PATH")
    body.add_argument("--empty-body", action="store_true",
                      help="send the message without a body; standard input is not read")
    body.add_argument("--template", metavar="NAME",
                      help="render NAME.html and NAME.txt (see: vantrel templates)")
    body.add_argument("--var", action="append", metavar="KEY=VALUE",
                      help="a template variable (repeatable; over --context)")
    body.add_argument("--context", metavar="FILE.json", help="template variables from a JSON object")
    body.add_argument("--template-dir", metavar="DIR",
                      help="look for templates in DIR before the built-in ones")
    server = parser.add_argument_group("the server")
    add_server_arguments(server, default_mode="ssl")
    add_sign_in_arguments(server)


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
            settle_sign_in_arguments(args)
            if not args.host or not args.host.strip():
                raise UsageError("--host is required to send (or give --dry-run)")
            if not args.user:
                raise UsageError("--user is required to send: the server is always logged in to")
            if not args.user.isascii():
                raise UsageError(f"--user {args.user}: the login has characters other than "
                                 "ASCII, which the SMTP login cannot send")
    return args


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    args = None
    try:
        args = parse_arguments(argv)
        return args.run(args)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return INTERRUPTED
    except UsageError as error:
        status, line = USAGE, str(error)
    except DeliveryError as error:
        status, line = error.status, str(error)
    except BrokenPipeError:
        # The reader of the output went away (a dry run into head): say nothing
        # more, and let no flush at exit complain about it either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return BROKEN_PIPE
    except Exception as error:
        status, line = INTERNAL, unforeseen(error, getattr(args, "password", None))
    print(f"{PROG}: error: {' '.join(line.split())}", file=sys.stderr)
    return status
