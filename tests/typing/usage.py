"""A program that uses every public method of vantrel, checked with mypy --strict."""

import smtplib
from pathlib import Path

from jinja2 import Environment

import vantrel.mailer
import vantrel.template
from vantrel.testing import Outbox, SentMessage, capture
from vantrel.mailer import EasyMailer
from vantrel.session import USUAL_PORTS, Session, classify
from vantrel.template import TemplateEngine, TemplateNotFound


def main() -> None:
    mailer = EasyMailer("smtp.example.com", 587, "me@example.com", "secret", use_ssl=False, use_tls=True)
    mailer.send(
        ["a@example.com", "b@example.com"],
        "Hello",
        body="plain",
        html="<p>html</p>",
        cc="c@example.com",
        bcc=["d@example.com"],
        sender="me@example.com",
        sender_name="Me",
        attachments=["report.pdf", {"filename": "x.csv", "data": b"a,b\n", "content_type": "text/csv"}],
        reply_to="replies@example.com",
    )
    mailer.send_template("a@example.com", "Hi {{ name }}", "notification", {"name": "Ann"})
    with Session(mailer, max_per_connection=100, timeout=30, pipelining=False) as session:
        session.send("a@example.com", "Hello", body="plain", bcc=["d@example.com"])
        session.send_template("a@example.com", "Hi {{ name }}", "notification", {"name": "Ann"})
        session.send_message(b"Subject: built\r\n\r\nbody\r\n", "me@example.com", ["a@example.com"])
        results = session.send_many([{"to": "a@example.com", "subject": "s", "body": "b"}])
        failed = [error for error in results if error is not None]
        fates = [classify(error) for error in failed]
        reply: tuple[int, str] | None = session.last_reply
        counts: tuple[int, int] = (session.sent, session.connections)
        print(fates, reply, USUAL_PORTS["ssl"])
    session.close()
    print(counts)
    port: int = mailer.port
    sender: str = mailer.default_sender

    engine = TemplateEngine("templates")
    engine.add_template_dir("more-templates")
    text: str | None = engine.render("notification.txt", {"title": "t"})
    inline: str = engine.render_string("{{ x }}", {"x": 1})
    env: Environment = engine.env
    print(port, sender, text, inline, env)

    # The modules' own names, as a caller reaches them to adjust delivery or
    # lookup.
    connection: type[smtplib.SMTP] = vantrel.mailer.smtplib.SMTP
    engine_class: type[TemplateEngine] = vantrel.mailer.TemplateEngine
    missing: type[Exception] = TemplateNotFound
    loader = vantrel.template.FileSystemLoader(["templates"])
    builtin: Path = vantrel.template._DEFAULT_TEMPLATE_DIR
    print(connection, engine_class, missing, loader, builtin)


def rehearse(outbox: Outbox) -> SentMessage:
    outbox.refuse_recipient("gone@example.com")
    outbox.refuse_recipient("full@example.com", 452, "4.2.2 Mailbox full")
    outbox.refuse_sender(code=553)
    outbox.refuse_login()
    outbox.disconnect()
    latest: SentMessage = outbox[-1]
    earlier: list[SentMessage] = outbox[:-1]
    subject: str | None = latest.message["Subject"]
    envelope: tuple[str, list[str]] = (latest.mail_from, latest.rcpt_tos)
    login: str | None = latest.username
    print(len(outbox), earlier, subject, envelope, login, latest.mode, latest.port)
    outbox.clear()
    return latest


def captured() -> None:
    with capture() as outbox:
        EasyMailer("smtp.example.com", 465, "me@example.com", "secret").send("a@example.com", "Hi", body="x")
    for sent in outbox:
        print(sent.host, sent.text)
    rehearse(outbox)

    @outbox
    def welcome(name: str) -> int:
        return len(name)

    count: int = welcome("Ann")
    print(count)


def signed(key: bytes) -> bool:
    from vantrel.dkim import Signer, verify

    signer = Signer("example.com", "mail2026", key, algorithm="ed25519-sha256", headers=["From"])
    message: bytes = signer.sign(b"From: a@example.com\r\n\r\nHi\r\n")
    names: tuple[str, ...] = signer.headers
    print(signer.domain, signer.selector, signer.algorithm, names)
    return verify(message, signer.dns_record)


if __name__ == "__main__":
    main()
