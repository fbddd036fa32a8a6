"""vantrel: e-mail from Python over SMTP, in native modules.

vantrel.mailer (EasyMailer) builds and sends one message per call;
vantrel.session (Session) sends many over one connection; vantrel.template
(TemplateEngine) renders Jinja2 templates; vantrel.testing (capture) records
what would be sent, for tests. Importing the package imports none of them.
"""

__version__ = "0.1.0"

# The port that each connection mode is usually served on: implicit TLS,
# STARTTLS (mail submission) and plain SMTP.
USUAL_PORTS = {"ssl": 465, "starttls": 587, "plain": 25}
