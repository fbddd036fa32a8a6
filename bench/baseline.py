"""What a program would write itself instead of using vantrel: the same logic
in plain Python, over the email package, smtplib and Jinja2 directly.

Each function does the work of the vantrel call it is measured against, step
for step, so that a ratio shows vantrel's own cost and nothing else.
"""

import mimetypes
import smtplib
import ssl
from email import encoders
from email.mime.base import MIMEBase
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
from email.utils import formataddr, formatdate
from pathlib import Path

from jinja2 import TemplateNotFound


# frame call and keyword call: EasyMailer._collect_recipients
def collect_recipients(to, cc, bcc):
    recipients = []

    def _add(val):
        if val is None:
            return
        if isinstance(val, str):
            recipients.append(val)
        else:
            recipients.extend(val)

    _add(to)
    _add(cc)
    _add(bcc)
    return recipients


# add_template_dir (information): TemplateEngine.add_template_dir
class Engine:
    def __init__(self, env):
        self._env = env

    def add_template_dir(self, directory):
        if type(directory) is not str:
            raise TypeError(
                f"Argument 'directory' has incorrect type (expected str, got {type(directory).__name__})"
            )
        self._env.loader.searchpath.insert(0, directory)
        # vantrel also empties Jinja2's template cache here (when it holds
        # anything), so that a name loaded before is looked up again along the
        # new search path.
        cache = getattr(self._env, "cache", None)
        if cache is not None and len(cache):
            cache.clear()


# binding error: EasyMailer.send called with too few arguments
class Mailer:
    def send(self, to, subject, body=None, html=None, cc=None, bcc=None, sender=None,
             sender_name=None, attachments=None, reply_to=None):
        raise AssertionError("only the binding of the arguments is measured")


# compose: EasyMailer._build_message, then as_string()
def attach_file(msg, filepath):
    path = Path(filepath)
    if not path.is_file():
        raise FileNotFoundError("Attachment not found: " + filepath)
    content_type = mimetypes.guess_type(str(path))[0] or "application/octet-stream"
    maintype, subtype = content_type.split("/", 1)
    part = MIMEBase(maintype, subtype)
    with open(path, "rb") as f:
        part.set_payload(f.read())
    encoders.encode_base64(part)
    part.add_header("Content-Disposition", "attachment; filename=" + path.name)
    msg.attach(part)


def attach_binary(msg, item):
    filename = item["filename"]
    data = item["data"]
    content_type = (item.get("content_type") or mimetypes.guess_type(filename)[0]
                    or "application/octet-stream")
    maintype, subtype = content_type.split("/", 1)
    part = MIMEBase(maintype, subtype)
    part.set_payload(data)
    encoders.encode_base64(part)
    part.add_header("Content-Disposition", f"attachment; filename={filename}")
    msg.attach(part)


def _address_field(value):
    return ", ".join(value) if isinstance(value, list) else value


def build_message(default_sender, to, subject, body, html, cc, sender, sender_name, attachments,
                  reply_to):
    msg = MIMEMultipart("mixed")
    from_addr = sender or default_sender
    msg["From"] = formataddr((sender_name, from_addr)) if sender_name else from_addr
    msg["To"] = _address_field(to)
    msg["Subject"] = subject
    msg["Date"] = formatdate(localtime=True)
    if cc:
        msg["Cc"] = _address_field(cc)
    if reply_to:
        msg["Reply-To"] = reply_to
    if html and body:
        alt = MIMEMultipart("alternative")
        alt.attach(MIMEText(body, "plain", "utf-8"))
        alt.attach(MIMEText(html, "html", "utf-8"))
        msg.attach(alt)
    elif html:
        msg.attach(MIMEText(html, "html", "utf-8"))
    elif body:
        msg.attach(MIMEText(body, "plain", "utf-8"))
    for item in attachments or ():
        if isinstance(item, dict):
            attach_binary(msg, item)
        else:
            attach_file(msg, item)
    return msg


# render: the three renders of EasyMailer.send_template
def render(env, name, context):
    try:
        template = env.get_template(name)
    except TemplateNotFound:
        return None
    return template.render(**context)


def render_string(env, source, context):
    return env.from_string(source).render(**context)


# deliver: EasyMailer.send over a plain connection with login, with the calls
# that its delivery is required to make: a TLS context for every message (also
# when nothing is encrypted), the connection as a context manager, login and
# sendmail, and a refusal of some recipients reported
def send(host, port, username, password, default_sender, to, subject, body=None, html=None,
         cc=None, bcc=None):
    msg = build_message(default_sender, to, subject, body, html, cc, None, None, None, None)
    recipients = collect_recipients(to, cc, bcc)
    ssl.create_default_context()  # made, and unused on a plain connection
    with smtplib.SMTP(host, port) as connection:
        connection.login(username, password)
        refused = connection.sendmail(default_sender, recipients, msg.as_string())
    if isinstance(refused, dict) and refused:
        raise smtplib.SMTPRecipientsRefused(refused)
