"""vantrel's benchmarks: each row measures vantrel and a plain-Python baseline
in the same run and prints one table with the targets.

    tools/bench [--quick] [--only ROW,...]

Rows that time calls run both sides in this process, alternating vantrel and
baseline samples (ABAB...) so that a slow spell of a noisy machine hits both;
memory and import time are measured in fresh processes, alternating as well.
Every row reports the minimum and the median of its samples; the ratio is
that of the medians.
"""

import argparse
import contextlib
import datetime
import gc
import os
import platform
import random
import re
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import baseline  # noqa: E402
import jinja2  # noqa: E402
from smtp_server import running as server_process  # noqa: E402

from vantrel.mailer import EasyMailer  # noqa: E402
from vantrel.session import Session  # noqa: E402
from vantrel.template import TemplateEngine  # noqa: E402


@dataclass
class Plan:
    """Repeat counts: pairs of samples per row, and sizes."""

    micro_pairs: int = 101
    micro_sample: float = 0.005  # seconds per sample of a call row
    keyword_pairs: int = 401
    compose_pairs: int = 151
    render_pairs: int = 151
    deliver_runs: int = 9
    deliver_messages: int = 300
    session_runs: int = 7
    session_messages: int = 200
    django_runs: int = 11
    latency_runs: int = 3
    memory_pairs: int = 3
    import_pairs: int = 61
    worker_pairs: int = 5
    worker_messages: int = 400
    worker_latency_messages: int = 120


QUICK = Plan(micro_pairs=7, keyword_pairs=31, compose_pairs=5, render_pairs=5, deliver_runs=2,
             deliver_messages=50, session_runs=2, session_messages=40, django_runs=2, latency_runs=1,
             memory_pairs=1, import_pairs=3, worker_pairs=1, worker_messages=50,
             worker_latency_messages=30)


@dataclass
class Row:
    name: str
    unit: str
    vantrel: list
    baseline: list
    target: float | None  # None: shown for information, with no target
    # "time": ratio = vantrel / baseline, met when <= target.
    # "throughput": samples are times per item; the ratio is the throughput
    # ratio baseline / vantrel, met when >= target.
    # "rate": samples are items per second; ratio = vantrel / baseline, met
    # when >= target.
    kind: str = "time"
    notes: list = field(default_factory=list)

    @property
    def ratio(self):
        v, b = statistics.median(self.vantrel), statistics.median(self.baseline)
        return b / v if self.kind == "throughput" else v / b

    @property
    def higher_is_better(self):
        return self.kind in ("throughput", "rate")

    @property
    def met(self):
        if self.target is None:
            return None
        return self.ratio >= self.target if self.higher_is_better else self.ratio <= self.target

    @property
    def target_text(self):
        if self.target is None:
            return "-"
        return (">= " if self.higher_is_better else "<= ") + f"{self.target:.2f}"

    @property
    def verdict(self):
        return "information" if self.met is None else "met" if self.met else "NOT MET"


def progress(text):
    print(text, file=sys.stderr, flush=True)


def alternate(measure_vantrel, measure_baseline, pairs, warmup=1):
    """Samples of both sides, ABAB..., after `warmup` pairs that are dropped."""
    for _ in range(warmup):
        measure_vantrel()
        measure_baseline()
    vantrel, base = [], []
    for _ in range(pairs):
        vantrel.append(measure_vantrel())
        base.append(measure_baseline())
    return vantrel, base


class CallTimer:
    """Times one statement, written out `unroll` times per loop turn, in
    samples of `number` turns; gives seconds per call.  `setup` runs before
    each sample, outside the timed part."""

    def __init__(self, stmt, namespace, setup="pass", unroll=10):
        self.timer = timeit.Timer("\n".join([stmt] * unroll), setup, globals=namespace)
        self.unroll = unroll
        self.number = 1

    def calibrate(self, seconds, limit=None):
        while self.timer.timeit(self.number) < seconds / 2:
            if limit and self.number * 2 > limit:
                break
            self.number *= 2

    def __call__(self):
        return self.timer.timeit(self.number) / (self.number * self.unroll)


class Timed:
    """Times `work()` in samples of `number` calls with the collector paused,
    collecting in between; gives seconds per call."""

    def __init__(self, work, number=1):
        self.work = work
        self.number = number

    def calibrate(self, seconds):
        self.number = max(1, round(seconds / max(self._once(), 1e-9)))

    def _once(self):
        start = time.perf_counter()
        self.work()
        return time.perf_counter() - start

    def __call__(self):
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            for _ in range(self.number):
                self.work()
            return (time.perf_counter() - start) / self.number
        finally:
            gc.enable()


def to_unit(samples, scale):
    return [s * scale for s in samples]


# ---------------------------------------------------------------------------
# Rows measured in this process


TO = "a@example.com"
CC = ["b@example.com", "c@example.com"]
BCC = "d@example.com"
USER, PASSWORD = "bench@example.com", "secret"


def frame_call(plan):
    namespace = {"collect": EasyMailer._collect_recipients, "to": TO, "cc": CC, "bcc": BCC}
    base_namespace = dict(namespace, collect=baseline.collect_recipients)
    assert namespace["collect"](TO, CC, BCC) == base_namespace["collect"](TO, CC, BCC)
    v = CallTimer("collect(to, cc, bcc)", namespace)
    b = CallTimer("collect(to, cc, bcc)", base_namespace)
    v.calibrate(plan.micro_sample)
    b.number = v.number
    vs, bs = alternate(v, b, plan.micro_pairs)
    return Row("frame call", "ns/call", to_unit(vs, 1e9), to_unit(bs, 1e9), 0.60)


def keyword_call(plan):
    """The binder's keyword path, on a method whose body is native."""
    stmt = "collect(to=to, cc=cc, bcc=bcc)"
    namespace = {"collect": EasyMailer._collect_recipients, "to": TO, "cc": CC, "bcc": BCC}
    base_namespace = dict(namespace, collect=baseline.collect_recipients)
    assert namespace["collect"](to=TO, cc=CC, bcc=BCC) == base_namespace["collect"](
        to=TO, cc=CC, bcc=BCC)
    v = CallTimer(stmt, namespace)
    b = CallTimer(stmt, base_namespace)
    v.calibrate(plan.micro_sample)
    b.number = v.number
    vs, bs = alternate(v, b, plan.keyword_pairs)
    return Row("keyword call", "ns/call", to_unit(vs, 1e9), to_unit(bs, 1e9), 0.70)


def keyword_timers(plan, template_cache=True):
    """Timers for add_template_dir on a vantrel engine and on its Python
    rendition, both over a fresh Jinja2 environment."""
    engine = TemplateEngine()
    env = jinja2.Environment(loader=jinja2.FileSystemLoader([str(_builtin_dir())]),
                             autoescape=True)
    python_engine = baseline.Engine(env)
    timers = []
    for target in (engine, python_engine):
        if not template_cache:
            target._env.cache = None
        searchpath = target._env.loader.searchpath
        namespace = {"engine": target, "searchpath": searchpath, "keep": len(searchpath)}
        # A fresh search path for every sample: the list would otherwise grow
        # and each insert at its front would cost more than the last.
        timers.append(CallTimer('engine.add_template_dir(directory="x")', namespace,
                                setup="del searchpath[:-keep]"))
    v, b = timers
    v.calibrate(plan.micro_sample, limit=20)
    b.number = v.number
    return v, b


def add_template_dir(plan):
    """A keyword call whose work is mostly attribute reads and Jinja2's own
    Python code: shown for information, with no target."""
    vs, bs = alternate(*keyword_timers(plan), plan.keyword_pairs)
    row = Row("add_template_dir", "ns/call", to_unit(vs, 1e9), to_unit(bs, 1e9), None)
    # For the notes only: the same calls with Jinja2's template cache turned
    # off, so that there is nothing to clear and the frame's own cost shows.
    bare_v, bare_b = alternate(*keyword_timers(plan, template_cache=False), plan.keyword_pairs)
    row.notes.append(
        "add_template_dir: both sides insert into the search path and then ask Jinja2's "
        "template cache for its length (LRUCache.__len__, Python code) to empty it when it "
        "holds anything; with the cache turned off on both sides (nothing to ask) the ratio is "
        f"{statistics.median(bare_v) / statistics.median(bare_b):.2f}")
    return row


def binding_error(plan):
    mailer = EasyMailer("127.0.0.1", 25, "bench@example.com", "secret", use_ssl=False)
    stmt = "try:\n    mailer.send(to)\nexcept TypeError:\n    pass"
    v = CallTimer(stmt, {"mailer": mailer, "to": TO})
    b = CallTimer(stmt, {"mailer": baseline.Mailer(), "to": TO})
    v.calibrate(plan.micro_sample)
    b.number = v.number
    vs, bs = alternate(v, b, plan.micro_pairs)
    return Row("binding error", "ns/call", to_unit(vs, 1e9), to_unit(bs, 1e9), 0.80)


BOUNDARY = re.compile(r"={15}\d+==")
DATE = re.compile(r"^Date: .*$", re.M)


def work_row(name, unit, with_vantrel, with_baseline, pairs, target):
    """A row of two pieces of work, timed in samples of the same number of
    calls (about 20 ms of vantrel's), in microseconds."""
    v, b = Timed(with_vantrel), Timed(with_baseline)
    v.calibrate(0.02)
    b.number = v.number
    vs, bs = alternate(v, b, pairs)
    return Row(name, unit, to_unit(vs, 1e6), to_unit(bs, 1e6), target)


def same_text(a, b):
    normal = [DATE.sub("Date:", BOUNDARY.sub("=BOUNDARY=", text)) for text in (a, b)]
    return normal[0] == normal[1]


def compose(plan, scratch):
    rng = random.Random(1)
    path = scratch / "report.pdf"
    path.write_bytes(rng.randbytes(100 * 1024))
    attachments = [str(path), {"filename": "data.bin", "data": rng.randbytes(100 * 1024)}]
    body = "Hello,\n\nthe report is attached.\n" * 20
    html = "<p>Hello,</p><p>the report is <b>attached</b>.</p>\n" * 20
    args = (TO, "Monthly report", body, html, CC, None, None, attachments, "reply@example.com")
    mailer = EasyMailer("127.0.0.1", 25, "bench@example.com", "secret", use_ssl=False)

    def with_vantrel():
        return mailer._build_message(*args).as_string()

    def with_email():
        return baseline.build_message("bench@example.com", *args).as_string()

    if not same_text(with_vantrel(), with_email()):
        raise SystemExit("compose: vantrel and the baseline build different messages")
    return work_row("compose", "us/msg", with_vantrel, with_email, plan.compose_pairs, 1.03)


HTML_TEMPLATE = """<html><body>
<h1>Welcome, {{ name }}!</h1>
<ul>{% for item in items %}<li>{{ item.title }}: {{ item.price }}</li>{% endfor %}</ul>
<p>Sent {{ occurred_at }}</p>
</body></html>
"""
TEXT_TEMPLATE = """Welcome, {{ name }}!
{% for item in items %}- {{ item.title }}: {{ item.price }}
{% endfor %}Sent {{ occurred_at }}
"""


def _builtin_dir():
    import vantrel.template

    return vantrel.template._DEFAULT_TEMPLATE_DIR


def render(plan, scratch):
    templates = scratch / "templates"
    templates.mkdir()
    (templates / "welcome.html").write_text(HTML_TEMPLATE)
    (templates / "welcome.txt").write_text(TEXT_TEMPLATE)
    context = {
        "name": "Ada <admin>",
        "items": [{"title": f"item {i} & co", "price": i * 3} for i in range(10)],
        "occurred_at": "2026-12-08 10:00:00",
    }
    subject = "Welcome, {{ name }}: {{ items|length }} items"
    engine = TemplateEngine(str(templates))
    env = jinja2.Environment(
        loader=jinja2.FileSystemLoader([str(templates), str(_builtin_dir())]), autoescape=True)

    def with_vantrel():
        return (engine.render("welcome.html", context), engine.render("welcome.txt", context),
                engine.render_string(subject, context))

    def with_jinja2():
        return (baseline.render(env, "welcome.html", context),
                baseline.render(env, "welcome.txt", context),
                baseline.render_string(env, subject, context))

    if with_vantrel() != with_jinja2():
        raise SystemExit("render: vantrel and the baseline render different text")
    return work_row("render", "us/3 renders", with_vantrel, with_jinja2, plan.render_pairs, 1.03)


def answered_once(lookup):
    """`lookup` with its answers, failures included, kept by argument."""
    answers = {}

    def once(*args):
        if args not in answers:
            try:
                answers[args] = (lookup(*args), None)
            except OSError as error:
                answers[args] = (None, error)
        value, error = answers[args]
        if error is not None:
            raise type(error)(*error.args)
        return value

    return once


@contextlib.contextmanager
def host_names_looked_up_once():
    """smtplib looks this host's own name up on every connection
    (socket.getfqdn, then socket.gethostbyname when the name has no dot).
    Where the name is not in /etc/hosts each lookup is a DNS query that takes
    tens of milliseconds or a five-second time-out before it fails.  Both sides
    connect the same way, so the answers are taken once and the row times
    SMTP, not the resolver."""
    saved = {name: getattr(socket, name) for name in ("getfqdn", "gethostbyname")}
    for name, real in saved.items():
        setattr(socket, name, answered_once(real))
    try:
        yield
    finally:
        for name, real in saved.items():
            setattr(socket, name, real)


@contextlib.contextmanager
def smtp_server(mode="plain", delay=0.0):
    """The local SMTP server in a process of its own, in an encryption mode
    and optionally behind a latency relay; yields the port to use.

    For the TLS modes this process trusts the server's test CA while the
    server runs, as one more certificate beside the system's: SSL_CERT_FILE
    names a bundle of the system's CA certificates and the test CA, so that
    a TLS context costs what it costs with a real provider."""
    with tempfile.TemporaryDirectory(prefix="vantrel-bench-ca-") as scratch:
        ca = os.path.join(scratch, "ca.pem")
        with server_process("--mode", mode, "--ca", ca, "--delay", delay) as server:
            saved = os.environ.get("SSL_CERT_FILE")
            try:
                if mode != "plain":
                    bundle = os.path.join(scratch, "bundle.pem")
                    with open(bundle, "wb") as out:
                        system = ssl.get_default_verify_paths().cafile
                        if system:
                            out.write(Path(system).read_bytes())
                        out.write(b"\n" + Path(ca).read_bytes())
                    os.environ["SSL_CERT_FILE"] = bundle
                yield server.port
            finally:
                if saved is None:
                    os.environ.pop("SSL_CERT_FILE", None)
                else:
                    os.environ["SSL_CERT_FILE"] = saved


DELIVER_CHUNK = 10


def deliver(plan):
    user, password = USER, PASSWORD
    message = {
        "body": "Hello,\n\nyour order has shipped.\n" * 10,
        "html": "<p>Hello,</p><p>your order has <b>shipped</b>.</p>\n" * 10,
        "cc": CC,
        "bcc": BCC,
    }
    count = plan.deliver_messages
    with host_names_looked_up_once(), smtp_server() as port:
        mailer = EasyMailer("127.0.0.1", port, user, password, use_ssl=False, use_tls=False)

        def with_vantrel(first, n):
            start = time.perf_counter()
            for i in range(first, first + n):
                mailer.send(TO, f"Order {i}", **message)
            return time.perf_counter() - start

        def with_smtplib(first, n):
            start = time.perf_counter()
            for i in range(first, first + n):
                baseline.send("127.0.0.1", port, user, password, user, TO, f"Order {i}", **message)
            return time.perf_counter() - start

        # One message each way first: both must reach the server.
        with_vantrel(0, 1)
        with_smtplib(0, 1)

        # A run sends `count` messages each way in alternating chunks, so that
        # a busy spell of the machine falls on both.
        vs, bs = [], []
        for _ in range(plan.deliver_runs):
            totals = [0.0, 0.0]
            for first in range(0, count, DELIVER_CHUNK):
                n = min(DELIVER_CHUNK, count - first)
                totals[0] += with_vantrel(first, n)
                totals[1] += with_smtplib(first, n)
            vs.append(totals[0] / count)
            bs.append(totals[1] / count)
    row = Row("deliver", "ms/msg", to_unit(vs, 1e3), to_unit(bs, 1e3), 0.97, kind="throughput")
    # For the notes: the part of each delivery, on both sides, that is the TLS
    # context made for every message.
    context = Timed(ssl.create_default_context)
    context.calibrate(0.05)
    made = statistics.median(context() for _ in range(plan.deliver_runs))
    row.notes.append(
        f"deliver: ratio is throughput (baseline time / vantrel time), {count} messages per run; "
        f"both sides create a TLS context for every message, also without encryption, which "
        f"takes {made * 1e3:.2f} ms of the baseline's {statistics.median(bs) * 1e3:.2f} ms/msg")
    return row


def celery_workers(plan, scratch):
    """The Celery recipe (examples/celery): the rate at which a worker with 2
    processes sends, against one with 1, on a local Redis and SMTP server.

    Two rows: against a server whose replies reach the workers 5 ms after
    they were asked each way (10 ms round trips), where sending waits on the
    server as it does against a provider, which is what the number of
    processes is chosen for; and against a server that answers at once,
    where the broker, the worker's main process and the server share the two
    cores with the pool (shown, with no target)."""
    sys.path.insert(0, str(HERE.parent / "examples" / "celery"))
    import local_stack

    rows = []
    # One broker for both rows: the app's client keeps its first connections.
    with local_stack.redis_server() as redis, local_stack.client(redis.url) as mailapp:
        for name, delay, messages, target in (
                ("celery workers 10ms", 0.005, plan.worker_latency_messages, 1.6),
                ("celery workers local", 0.0, plan.worker_messages, None)):
            progress(f"  {name} ...")
            with smtp_server(delay=delay) as port:
                smtp = dict(host="127.0.0.1", port=port, mode="plain",
                            user="bench@example.com", password="secret")

                def worker(processes):
                    return local_stack.Worker(mailapp.app, redis.url, smtp,
                                              scratch / f"workers-{delay}-{processes}.log",
                                              concurrency=processes)

                # Both workers are up the whole time and take turns: each
                # sample hands its messages to one of them while the other idles.
                with worker(2) as two, worker(1) as one:
                    twos, ones = alternate(
                        lambda: local_stack.sending_rate(mailapp, two, messages),
                        lambda: local_stack.sending_rate(mailapp, one, messages),
                        plan.worker_pairs)
            row = Row(name, "msg/s", twos, ones, target, kind="rate")
            where = (f"a server {2000 * delay:.0f} ms away (round trip)" if delay
                     else "a server on this machine, answering at once")
            row.notes.append(
                f"{name}: messages per second of a worker with 2 processes (the vantrel column) "
                f"and with 1 (the baseline column), {messages} templated messages per sample, "
                f"each process with one vantrel session to {where}; the ratio is the gain "
                f"from the second process")
            rows.append(row)
    return rows


# ---------------------------------------------------------------------------
# Many messages over one connection: vantrel.session


SMALL_BODY = "Hello,\n\nyour order has shipped.\n"
SESSION_CHUNK = 10


def mode_args(mode):
    return dict(use_ssl=mode == "ssl", use_tls=mode == "starttls")


class Side:
    """One side of a many-message row: `open()` and `close()` bracket a run
    (a connection held across it, or nothing), `send(first, n)` sends n
    messages; every call returns the seconds it took."""

    def __init__(self, open_, send, close):
        self._open, self._send, self._close = open_, send, close

    def _timed(self, step, *args):
        start = time.perf_counter()
        step(*args)
        return time.perf_counter() - start

    def open(self):
        return self._timed(self._open)

    def send(self, first, n):
        return self._timed(self._send, first, n)

    def close(self):
        return self._timed(self._close)


def nothing():
    pass


def session_side(mailer):
    held = []

    def open_():
        held.append(Session(mailer).__enter__())

    def send(first, n):
        session = held[0]
        for i in range(first, first + n):
            session.send(TO, f"Order {i}", body=SMALL_BODY)

    def close():
        held.pop().close()

    return Side(open_, send, close)


def mailer_side(mailer):
    def send(first, n):
        for i in range(first, first + n):
            mailer.send(TO, f"Order {i}", body=SMALL_BODY)

    return Side(nothing, send, nothing)


def alternate_runs(sides, count, runs):
    """Per side, the time per message of each run.  A run opens every side,
    sends `count` messages on each in alternating chunks (so that a busy
    spell of the machine falls on all), and closes them; opening and closing
    count with the messages."""
    for side in sides:  # one message each way first: all must reach the server
        side.open()
        side.send(0, 1)
        side.close()
    per_message = [[] for _ in sides]
    for _ in range(runs):
        totals = [side.open() for side in sides]
        for first in range(0, count, SESSION_CHUNK):
            for k, side in enumerate(sides):
                totals[k] += side.send(first, min(SESSION_CHUNK, count - first))
        for k, side in enumerate(sides):
            totals[k] += side.close()
            per_message[k].append(totals[k] / count)
    return per_message


def session_vs_send(name, runs, count, delay, target):
    with host_names_looked_up_once(), smtp_server("starttls", delay) as port:
        mailer = EasyMailer("127.0.0.1", port, USER, PASSWORD, **mode_args("starttls"))
        vs, bs = alternate_runs([session_side(mailer), mailer_side(mailer)], count, runs)
    row = Row(name, "ms/msg", to_unit(vs, 1e3), to_unit(bs, 1e3), target, kind="throughput")
    row.notes.append(
        f"{name}: {count} small messages per run over STARTTLS through one Session, against "
        f"one EasyMailer.send per message (a connection, TLS and login each)"
        + (f"; a relay adds {delay * 1e3:.0f} ms each way" if delay else ""))
    return row


def session_row(plan):
    return session_vs_send("session", plan.session_runs, plan.session_messages, 0.0, 6.0)


def latency_row(plan):
    row = session_vs_send("session 10ms", plan.latency_runs, plan.session_messages, 0.010, 3.0)
    # smtplib sends one command at a time and waits for its answer.
    row.notes.append("session 10ms: on the wire a message over the open connection is 4 round "
                     "trips (MAIL, RCPT, DATA, the text), one over a connection of its own 11 "
                     "(connect and greeting, EHLO, STARTTLS, TLS handshake, EHLO, AUTH, the 4, "
                     "QUIT); the round trips alone give 11/4 = 2.75, the rest of the ratio is "
                     "the TLS context and handshake of each connection")
    return row


def django_side(mode, port):
    from django.core.mail import EmailMessage, get_connection

    held = []

    def open_():
        connection = get_connection("django.core.mail.backends.smtp.EmailBackend",
                                    host="127.0.0.1", port=port, username=USER,
                                    password=PASSWORD, **mode_args(mode))
        connection.open()
        held.append(connection)

    def send(first, n):
        connection = held[0]
        connection.send_messages([
            EmailMessage(f"Order {i}", SMALL_BODY, USER, [TO], connection=connection)
            for i in range(first, first + n)])

    def close():
        held.pop().close()

    return Side(open_, send, close)


def configure_django():
    import django
    from django.conf import settings

    if not settings.configured:
        settings.configure(EMAIL_BACKEND="django.core.mail.backends.smtp.EmailBackend",
                           DEFAULT_CHARSET="utf-8")
        django.setup()
    return django.get_version()


def django_rows(plan):
    version = configure_django()
    rows = []
    for mode in ("ssl", "starttls", "plain"):
        with host_names_looked_up_once(), smtp_server(mode) as port:
            mailer = EasyMailer("127.0.0.1", port, USER, PASSWORD, **mode_args(mode))
            vs, bs = alternate_runs([session_side(mailer), django_side(mode, port)],
                                    plan.session_messages, plan.django_runs)
        rows.append(Row(f"django {mode}", "ms/msg", to_unit(vs, 1e3), to_unit(bs, 1e3), 1.0,
                        kind="throughput"))
    rows[-1].notes.append(
        f"django: {plan.session_messages} small messages per run through one Session against "
        f"Django {version}'s get_connection().send_messages() over one connection, per mode; "
        f"the baseline columns are Django's")
    return rows


# ---------------------------------------------------------------------------
# Rows measured in fresh processes


def fresh(args, cwd):
    done = subprocess.run([sys.executable, "-P", *args], cwd=cwd, capture_output=True, text=True)
    if done.returncode:
        raise SystemExit(f"{args}: exit status {done.returncode}\n{done.stderr}")
    return done.stdout


def memory(plan, scratch):
    probe = str(HERE / "memory_probe.py")

    def measure(side):
        peak_kib, length = fresh([probe, side], scratch).split()
        return int(peak_kib) / 1024

    vs, bs = alternate(lambda: measure("vantrel"), lambda: measure("baseline"), plan.memory_pairs,
                       warmup=0)
    return Row("memory", "MiB peak", vs, bs, 1.05)


BASELINE_IMPORTS = ("jinja2, email.mime.multipart, email.mime.text, email.mime.base, "
                    "email.encoders, email.utils, smtplib, ssl, mimetypes, pathlib, datetime, "
                    "typing")


def import_time(plan, scratch):
    template = ("import time\nstart = time.perf_counter()\nimport {}\n"
                "print(time.perf_counter() - start)\n")

    def measure(modules):
        return float(fresh(["-c", template.format(modules)], scratch)) * 1e3

    vs, bs = alternate(lambda: measure("vantrel.mailer"), lambda: measure(BASELINE_IMPORTS),
                       plan.import_pairs, warmup=2)
    return Row("import", "ms", vs, bs, 1.10)


ROWS = {
    "frame": lambda plan, scratch: frame_call(plan),
    "keyword": lambda plan, scratch: keyword_call(plan),
    "add_template_dir": lambda plan, scratch: add_template_dir(plan),
    "binding": lambda plan, scratch: binding_error(plan),
    "compose": compose,
    "render": render,
    "deliver": lambda plan, scratch: deliver(plan),
    "session": lambda plan, scratch: session_row(plan),
    "latency": lambda plan, scratch: latency_row(plan),
    "django": lambda plan, scratch: django_rows(plan),
    "workers": celery_workers,
    "memory": memory,
    "import": import_time,
}


def number(value):
    if value >= 100:
        return f"{value:.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def table(rows):
    header = ("row", "unit", "vantrel min", "median", "baseline min", "median", "ratio",
              "target", "")
    lines = [header]
    for row in rows:
        lines.append((row.name, row.unit, number(min(row.vantrel)),
                      number(statistics.median(row.vantrel)), number(min(row.baseline)),
                      number(statistics.median(row.baseline)), f"{row.ratio:.2f}",
                      row.target_text, row.verdict))
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    out = []
    for line in lines:
        cells = [line[0].ljust(widths[0]), line[1].ljust(widths[1])]
        cells += [cell.rjust(width) for cell, width in zip(line[2:7], widths[2:7])]
        cells += [line[7].ljust(widths[7]), line[8]]
        out.append("  ".join(cells).rstrip())
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="few repeats and 50 messages: a smoke run, not a measurement")
    parser.add_argument("--only", metavar="ROW,...",
                        help="measure only these rows: " + ", ".join(ROWS))
    options = parser.parse_args()
    names = options.only.split(",") if options.only else list(ROWS)
    unknown = [name for name in names if name not in ROWS]
    if unknown:
        parser.error(f"unknown rows: {', '.join(unknown)}")
    plan = QUICK if options.quick else Plan()

    started = time.perf_counter()
    rows = []
    with tempfile.TemporaryDirectory(prefix="vantrel-bench-") as scratch:
        for name in names:
            progress(f"measuring {name} ...")
            measured = ROWS[name](plan, Path(scratch))
            rows.extend(measured if isinstance(measured, list) else [measured])
    elapsed = time.perf_counter() - started

    print(f"vantrel benchmarks, {datetime.date.today().isoformat()}: Python "
          f"{platform.python_version()}, Jinja2 {jinja2.__version__}, {platform.machine()}, "
          f"{os.cpu_count()} CPUs{', --quick' if options.quick else ''}; "
          f"{elapsed:.0f} s")
    print(table(rows))
    for row in rows:
        for note in row.notes:
            print("note:", note)
    targets = [row for row in rows if row.met is not None]
    print(f"{sum(row.met for row in targets)} of {len(targets)} targets met")


if __name__ == "__main__":
    main()
