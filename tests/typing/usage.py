"""A program that uses every public method of vantrel, checked with mypy --strict."""

from jinja2 import Environment

from vantrel.mailer import EasyMailer
from vantrel.template import TemplateEngine


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
    port: int = mailer.port
    sender: str = mailer.default_sender

    engine = TemplateEngine("templates")
    engine.add_template_dir("more-templates")
    text: str | None = engine.render("notification.txt", {"title": "t"})
    inline: str = engine.render_string("{{ x }}", {"x": 1})
    env: Environment = engine.env
    print(port, sender, text, inline, env)


if __name__ == "__main__":
    main()
