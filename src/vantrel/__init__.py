# vantrel: e-mail from Python over SMTP.  The package is two native modules,
# vantrel.mailer (EasyMailer) and vantrel.template (TemplateEngine).
