"""A Celery application whose workers send mail with vantrel.

Start a worker (the settings come from the environment, see below):

    python -m celery -A mailapp worker --pool prefork --concurrency 2

and enqueue messages from anywhere that can import this module and reach the
broker (enqueue.py does it from the command line):

    from mailapp import send_templated
    send_templated.delay("ada@example.com", "Welcome, {{ name }}", "welcome", {"name": "Ada"})

Each worker process keeps one EasyMailer and one Session, that is one SMTP
connection that stays logged in from message to message.  They are made when
the pool process starts, after the fork that made it (a connection cannot be
shared between processes), and closed, with a QUIT, when it ends.

A failure worth another attempt (a 4xx reply, a dropped, refused or timed-out
connection) makes the task retry with exponential backoff and jitter; a
permanent one (a 5xx reply, a certificate that does not verify, a template
that does not render) makes it fail at once, with the server's reply in the
result.  Tasks are acknowledged only once they are done, so a message whose
worker is killed mid-task goes back to the queue instead of being lost: each
message is delivered at least once (docs/scaling.md says what that means for
duplicates).

Settings, all from the environment; the password is never in code or on a
command line:

    VANTREL_BROKER_URL        broker, default redis://127.0.0.1:6379/0
    VANTREL_RESULT_BACKEND    where results go, default the broker URL
    VANTREL_SMTP_HOST         SMTP server (workers only, required)
    VANTREL_SMTP_MODE         ssl (implicit TLS, the default), starttls or plain
    VANTREL_SMTP_PORT         default 465, 587 or 25 after the mode
    VANTREL_SMTP_USER         login (required)
    VANTREL_SMTP_PASSWORD     password (required)
    VANTREL_SMTP_SENDER       sender address, default the login
    VANTREL_TEMPLATE_DIR      your own templates, searched before the built-in ones
    VANTREL_SMTP_TIMEOUT      seconds any socket operation may take, default 60
    VANTREL_MAX_PER_CONNECTION  messages before the connection is renewed, default no limit
    VANTREL_RATE_LIMIT        Celery rate limit per worker, such as "10/s", default none
    VANTREL_RETRY_BACKOFF     first retry delay in seconds, default 5 (doubling each time)
    VANTREL_RETRY_BACKOFF_MAX longest retry delay in seconds, default 600
    VANTREL_MAX_RETRIES       retries before giving up, default 10
"""

import dataclasses
import os
import smtplib

from celery import Celery, signals
from celery.utils.log import get_task_logger

from vantrel.mailer import EasyMailer
from vantrel.session import USUAL_PORTS, Session
from vantrel.session import classify as fate_of

logger = get_task_logger(__name__)

# The broker hands a message that a worker took and has not acknowledged
# within this time to another worker (see docs/scaling.md); a retry's delay
# must stay well below it.
VISIBILITY_TIMEOUT = 3600


class SettingsError(Exception):
    """A missing or malformed setting."""


def _number(name, default):
    text = os.environ.get(name)
    if not text:
        return default
    try:
        return int(text)
    except ValueError:
        raise SettingsError(f"{name} must be a whole number, not {text!r}") from None


BROKER_URL = os.environ.get("VANTREL_BROKER_URL", "redis://127.0.0.1:6379/0")

app = Celery("mailapp")
app.conf.update(
    broker_url=BROKER_URL,
    result_backend=os.environ.get("VANTREL_RESULT_BACKEND", BROKER_URL),
    broker_connection_retry_on_startup=True,
    broker_transport_options={"visibility_timeout": VISIBILITY_TIMEOUT},
    task_serializer="json",
    result_serializer="json",
    accept_content=["json"],
    # Acknowledge a message once its task has finished, and hand it out again
    # when the process running it dies: a worker killed mid-task loses nothing.
    task_acks_late=True,
    task_reject_on_worker_lost=True,
    # Each process reserves one message at a time, so that a slow message
    # does not hold back others that an idle process could send.
    worker_prefetch_multiplier=1,
)


@dataclasses.dataclass(frozen=True)
class SmtpSettings:
    host: str
    port: int
    mode: str
    user: str
    password: str = dataclasses.field(repr=False)
    sender: str | None = None
    template_dir: str | None = None
    timeout: int = 60
    max_per_connection: int | None = None

    @classmethod
    def from_environment(cls):
        env = os.environ
        missing = [name for name in ("VANTREL_SMTP_HOST", "VANTREL_SMTP_USER",
                                     "VANTREL_SMTP_PASSWORD") if not env.get(name)]
        if missing:
            raise SettingsError(f"not set: {', '.join(missing)}")
        mode = env.get("VANTREL_SMTP_MODE", "ssl")
        if mode not in USUAL_PORTS:
            raise SettingsError(f"VANTREL_SMTP_MODE must be ssl, starttls or plain, not {mode!r}")
        return cls(
            host=env["VANTREL_SMTP_HOST"],
            port=_number("VANTREL_SMTP_PORT", USUAL_PORTS[mode]),
            mode=mode,
            user=env["VANTREL_SMTP_USER"],
            password=env["VANTREL_SMTP_PASSWORD"],
            sender=env.get("VANTREL_SMTP_SENDER") or None,
            template_dir=env.get("VANTREL_TEMPLATE_DIR") or None,
            timeout=_number("VANTREL_SMTP_TIMEOUT", 60),
            max_per_connection=_number("VANTREL_MAX_PER_CONNECTION", None),
        )

    def mailer(self):
        return EasyMailer(self.host, self.port, self.user, self.password,
                          use_ssl=self.mode == "ssl", use_tls=self.mode == "starttls",
                          default_sender=self.sender, template_dir=self.template_dir)


# --- this process's connection ---------------------------------------------------


class Outbox:
    """This process's mailer and session: one logged-in SMTP connection,
    kept from message to message.

    The session looks after its connection itself: it opens a new one when
    the server has closed the last or after a failure that left the exchange
    in an unknown state, keeps it after a refusal, and in a forked child
    leaves the parent's connection alone and opens its own.
    """

    def __init__(self):
        self._session = None

    def start(self):
        """At process start: make the mailer and the session and connect, so
        that the first message finds the connection ready.  When the server
        cannot be reached now, the first message tries again."""
        settings = SmtpSettings.from_environment()
        # The timeout bounds every network operation: a server that stops
        # answering cannot hold this process for ever.
        self._session = Session(settings.mailer(), max_per_connection=settings.max_per_connection,
                                timeout=settings.timeout)
        try:
            self._session.__enter__()  # connects and logs in
        except OSError as error:
            logger.warning("no SMTP connection yet (%s: %s); the first message will try again",
                           type(error).__name__, error)

    def session(self):
        if self._session is None:  # in a pool that signals no process start
            self.start()
        return self._session

    def close(self):
        """Log out (QUIT) and close the connection, if there is one."""
        if self._session is not None:
            self._session.close()


outbox = Outbox()


@signals.worker_init.connect
def _check_settings(**_):
    # In the worker's main process, before any pool process exists: wrong
    # settings stop the worker with one line instead of failing every task.
    try:
        SmtpSettings.from_environment()
    except SettingsError as error:
        raise SystemExit(f"mailapp: {error}") from None


@signals.worker_process_init.connect
def _open_outbox(**_):
    outbox.start()


@signals.worker_process_shutdown.connect
@signals.worker_shutdown.connect
def _close_outbox(**_):
    outbox.close()


# --- failures ------------------------------------------------------------------


class SendFailure(Exception):
    """A message that was not sent: args are (code, reply, refused).

    code and reply are the server's; code is None when the server gave no
    reply, and the reply then says what happened.  refused maps each refused
    recipient to [code, reply].
    """

    def __init__(self, code, reply, refused=None):
        super().__init__(code, reply, refused or {})

    code = property(lambda self: self.args[0])
    reply = property(lambda self: self.args[1])
    refused = property(lambda self: self.args[2])

    def __str__(self):
        return self.reply if self.code is None else f"{self.code} {self.reply}"


class TransientFailure(SendFailure):
    """Worth another attempt later: a 4xx reply, a connection lost, refused or timed out."""


class PermanentFailure(SendFailure):
    """Not worth another attempt: a 5xx reply, or a problem of the settings."""


def _text(reply):
    return reply.decode("utf-8", "replace") if isinstance(reply, bytes) else str(reply)


def classify(error):
    """The SendFailure for `error`, by vantrel's failure policy
    (vantrel.session.classify): worth another attempt when the message was
    not delivered for a reason that may pass (a 4xx reply, a connection
    refused, lost or timed out), or when the connection failed while its text
    was under way (the server may have it: another attempt risks a second
    copy rather than a loss, as the rest of the recipe does); final when it
    was refused for good or delivered to the other recipients."""
    fate = fate_of(error)
    kind = TransientFailure if fate in ("retry", "unknown") else PermanentFailure
    if isinstance(error, smtplib.SMTPRecipientsRefused):
        refused = {address: [code, _text(reply)]
                   for address, (code, reply) in error.recipients.items()}
        closing = [(code, reply) for code, reply in refused.values() if code == 421]
        code, reply = closing[0] if closing else next(iter(refused.values()), (None, "refused"))
        if fate == "sent":
            # The others have the message: another attempt would send it to them twice.
            reply = f"{reply} (delivered to the other recipients)"
        return kind(code, reply, refused)
    if isinstance(error, smtplib.SMTPResponseException):
        return kind(error.smtp_code, _text(error.smtp_error))
    reply = f"{type(error).__name__}: {error}"
    if fate == "unknown":
        reply += " (it may have been delivered)"
    return kind(None, reply)


# --- the task ------------------------------------------------------------------


@app.task(
    bind=True,
    name="mailapp.send_templated",
    autoretry_for=(TransientFailure,),
    retry_backoff=_number("VANTREL_RETRY_BACKOFF", 5),
    retry_backoff_max=min(_number("VANTREL_RETRY_BACKOFF_MAX", 600), VISIBILITY_TIMEOUT // 2),
    retry_jitter=True,
    max_retries=_number("VANTREL_MAX_RETRIES", 10),
    rate_limit=os.environ.get("VANTREL_RATE_LIMIT") or None,
)
def send_templated(self, to, subject, template_name, context=None, cc=None, bcc=None,
                   sender=None, sender_name=None, reply_to=None):
    """Render and send one message (EasyMailer.send_template's parameters,
    without attachments); returns the number of retries it took."""
    try:
        outbox.session().send_template(to, subject, template_name, context, cc=cc, bcc=bcc,
                                       sender=sender, sender_name=sender_name,
                                       reply_to=reply_to)
    except OSError as error:  # smtplib's and ssl's errors are OSErrors
        raise classify(error) from error
    return self.request.retries
