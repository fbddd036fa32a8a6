# vantrel: e-mail from Python over SMTP.  The package is three native modules,
# vantrel.mailer (EasyMailer), vantrel.session (Session, many messages over one
# connection) and vantrel.template (TemplateEngine).
