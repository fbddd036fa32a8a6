"""Peak memory of composing and serialising one message with a 64 MiB
in-memory attachment, in a process of its own.

    python memory_probe.py vantrel|baseline

Prints the process's peak resident set size in KiB and the length of the
serialised message.
"""

import resource
import sys

SIZE = 64 << 20


def with_vantrel(item):
    from vantrel.mailer import EasyMailer

    mailer = EasyMailer("127.0.0.1", 25, "bench@example.com", "secret", use_ssl=False)
    return mailer._build_message("to@example.com", "Memory", "See the attachment.", None, None,
                                 None, None, [item], None)


def with_email(item):
    from email import encoders
    from email.mime.base import MIMEBase
    from email.mime.multipart import MIMEMultipart
    from email.mime.text import MIMEText
    from email.utils import formatdate

    msg = MIMEMultipart("mixed")
    msg["From"] = "bench@example.com"
    msg["To"] = "to@example.com"
    msg["Subject"] = "Memory"
    msg["Date"] = formatdate(localtime=True)
    msg.attach(MIMEText("See the attachment.", "plain", "utf-8"))
    part = MIMEBase("application", "octet-stream")
    part.set_payload(item["data"])
    encoders.encode_base64(part)
    part.add_header("Content-Disposition", "attachment; filename=" + item["filename"])
    msg.attach(part)
    return msg


def main():
    build = {"vantrel": with_vantrel, "baseline": with_email}[sys.argv[1]]
    item = {"filename": "big.bin", "data": bytes(range(256)) * (SIZE // 256)}
    text = build(item).as_string()
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, len(text))


if __name__ == "__main__":
    main()
