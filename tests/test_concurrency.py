"""Many threads sending at once, through one shared mailer or one mailer each.

Every message carries a unique id in its subject and body; the server must
receive each id exactly once, addressed to the recipients of that message.
"""

import collections
import email
import threading
import uuid
from concurrent.futures import ThreadPoolExecutor

import pytest

import vantrel.mailer
from vantrel.mailer import EasyMailer

THREADS = 8


def recipients(t, i):
    return (f"to-{t}-{i}@example.test", f"cc-{t}@example.test", f"bcc-{t}-{i}@example.test")


def run(server, *, shared, per_thread, template):
    run_id = uuid.uuid4().hex
    one = EasyMailer(**server.mailer_args) if shared else None
    start = threading.Barrier(THREADS)

    def worker(t):
        m = one or EasyMailer(**server.mailer_args)
        start.wait()
        for i in range(per_thread):
            tag = f"{run_id}-{t}-{i}"
            to, cc, bcc = recipients(t, i)
            if template:
                m.send_template(to, "[{{ title }}]", "notification",
                                {"title": tag, "message": f"body {tag}"}, cc=cc, bcc=[bcc])
            else:
                m.send([to], f"[{tag}]", body=f"body {tag}", cc=[cc], bcc=bcc)

    with ThreadPoolExecutor(THREADS) as pool:
        for future in [pool.submit(worker, t) for t in range(THREADS)]:
            future.result()

    seen = collections.Counter()
    for received in server.messages:
        msg = email.message_from_bytes(received.data)
        tag = msg["Subject"].strip("[]")
        _, t, i = tag.rsplit("-", 2)
        to, cc, bcc = recipients(int(t), int(i))
        assert received.rcpt_tos == [to, cc, bcc]
        assert (msg["To"], msg["Cc"], msg["Bcc"]) == (to, cc, None)
        assert any(f"body {tag}" in part.get_payload(decode=True).decode()
                   for part in msg.walk() if not part.is_multipart())
        seen[tag] += 1
    expected = {f"{run_id}-{t}-{i}" for t in range(THREADS) for i in range(per_thread)}
    assert set(seen) == expected
    assert [tag for tag, n in seen.items() if n != 1] == []


@pytest.mark.parametrize("template", [False, True], ids=["send", "send_template"])
@pytest.mark.parametrize("shared", [True, False], ids=["shared", "per-thread"])
def test_eight_threads_plain(smtp_server, no_leaks, shared, template):
    server = smtp_server("plain")
    with no_leaks(server):
        run(server, shared=shared, per_thread=50, template=template)


@pytest.mark.parametrize("mode", ["starttls", "ssl"])
def test_eight_threads_encrypted(smtp_server, no_leaks, mode):
    server = smtp_server(mode)
    with no_leaks(server):
        run(server, shared=True, per_thread=25, template=False)
