"""vantrel's benchmarks: each row measures vantrel and a baseline (the same
work in plain Python, or a program people use instead) in the same run and
prints one table with the targets.

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
from sides import (  # noqa: E402
    PASSWORD,
    REALISTIC,
    SMALL,
    TO,
    USER,
    Server,
    aiosmtplib_clients,
    async_session,
    configure_django,
    django_connection,
    mailer_send,
    session_send,
    session_send_many,
    signed_session_send,
    smtplib_nodelay,
)
from smtp_server import accepted_turns  # noqa: E402
from smtp_server import running as server_process  # noqa: E402

from vantrel.mailer import EasyMailer  # noqa: E402
from vantrel.template import TemplateEngine  # noqa: E402


@dataclass(frozen=True)
class Load:
    """Runs of a many-message row, and messages per run and side."""

    runs: int
    messages: int


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
    send: Load = Load(5, 100)  # realistic messages, local server
    relay: Load = Load(3, 50)  # realistic messages through the 10 ms relay
    turn_messages: int = 20  # counted, after the first five of a connection
    async_batch: Load = Load(3, 400)


QUICK = Plan(micro_pairs=7, keyword_pairs=31, compose_pairs=5, render_pairs=5, deliver_runs=2,
             deliver_messages=50, session_runs=2, session_messages=40, django_runs=2, latency_runs=1,
             memory_pairs=1, import_pairs=3, worker_pairs=1, worker_messages=50,
             worker_latency_messages=30, send=Load(2, 20), relay=Load(1, 10), turn_messages=5,
             async_batch=Load(1, 40))


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
    # "count": samples are counts per item (client turns per message); the
    # ratio column shows vantrel's median count itself, met when <= target.
    kind: str = "time"
    notes: list = field(default_factory=list)

    @property
    def ratio(self):
        v, b = statistics.median(self.vantrel), statistics.median(self.baseline)
        if self.kind == "count":
            return v
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


CC = ["b@example.com", "c@example.com"]
BCC = "d@example.com"


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
    and optionally behind a latency relay; yields it as a sides.Server.

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
                yield Server(mode, server.port, server)
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
    with host_names_looked_up_once(), smtp_server() as server:
        port = server.port
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
            with smtp_server(delay=delay) as server:
                smtp = dict(host="127.0.0.1", port=server.port, mode="plain",
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
# Many messages over connections held for a run: vantrel's sessions and
# the programs they are measured against (the sides are in sides.py)


MODES = ("ssl", "starttls", "plain")
RELAY_DELAY = 0.010  # seconds each way: a provider 20 ms away
BATCH = 10  # messages one side sends before the next side's turn
SETTLING = 5  # messages whose client turns are not counted: the connection's set-up is theirs

SEND = session_send(REALISTIC)
SEND_MANY = session_send_many(REALISTIC)
AIOSMTPLIB = aiosmtplib_clients(REALISTIC)
PEERS = (AIOSMTPLIB, django_connection(REALISTIC))


@dataclass
class Unavailable:
    """A row that cannot be measured yet; the table says why."""

    name: str
    reason: str
    notes: list = field(default_factory=list)


class Servers:
    """The SMTP servers of a group of rows, each started when a row first
    needs it and all stopped at the end; meanwhile smtplib's lookups of this
    host's name are answered once (host_names_looked_up_once)."""

    def __enter__(self):
        self._stack = contextlib.ExitStack()
        self._stack.enter_context(host_names_looked_up_once())
        self._running = {}
        return self

    def __exit__(self, *exc):
        return self._stack.__exit__(*exc)

    def at(self, mode, delay=0.0):
        """A function that gives the server in `mode`, behind a relay of
        `delay` seconds each way when delay is not 0."""

        def get():
            if (mode, delay) not in self._running:
                self._running[mode, delay] = self._stack.enter_context(smtp_server(mode, delay))
            return self._running[mode, delay]

        return get


def alternate_runs(sides, count, runs, batch=BATCH):
    """Per side, the time per message of each run.  A run opens every side,
    sends `count` messages on each in alternating batches (so that a busy
    spell of the machine falls on all), and closes them; opening and closing
    count with the messages."""
    for side in sides:  # one message each way first: all must reach the server
        side.open()
        side.send(0, 1)
        side.close()
    per_message = [[] for _ in sides]
    for _ in range(runs):
        totals = [side.open() for side in sides]
        for first in range(0, count, batch):
            for k, side in enumerate(sides):
                totals[k] += side.send(first, min(batch, count - first))
        for k, side in enumerate(sides):
            totals[k] += side.close()
            per_message[k].append(totals[k] / count)
    return per_message


def unavailable(name, contenders):
    for contender in contenders:
        if reason := contender.missing():
            return Unavailable(name, reason)
    return None


def contest(name, server, contender, baselines, target, load, batch=BATCH):
    """A throughput row: `contender` against the fastest of `baselines` (by
    median time per message), over the server that server() gives, in runs
    that take turns (alternate_runs)."""
    if skipped := unavailable(name, (contender, *baselines)):
        return skipped
    progress(f"  {name} ...")
    sides = [each.make(server()) for each in (contender, *baselines)]
    times, *baseline_times = alternate_runs(sides, load.messages, load.runs, batch)
    medians = [statistics.median(each) for each in baseline_times]
    best = medians.index(min(medians))
    row = Row(name, "ms/msg", to_unit(times, 1e3), to_unit(baseline_times[best], 1e3), target,
              kind="throughput")
    if len(baselines) > 1:
        every = ", ".join(f"{each.label} {median * 1e3:.2f}"
                          for each, median in zip(baselines, medians))
        row.notes.append(f"{name}: {contender.label} against {baselines[best].label}, the faster "
                         f"of {every} ms/msg (medians)")
    return row


def turns(name, server, contender, baseline, target, messages):
    """Client turns per message through the relay of server() over one
    connection, counted after its first SETTLING messages: `contender`'s,
    with `baseline`'s beside them.  The count does not depend on timing, so
    one run of each tells."""
    if skipped := unavailable(name, (contender, baseline)):
        return skipped
    progress(f"  {name} ...")
    running = server()
    per_message = []
    for side in (contender.make(running), baseline.make(running)):
        accepted_turns(running.process)  # forget the messages before
        side.open()
        side.send(0, SETTLING + messages)
        side.close()
        notes = accepted_turns(running.process)
        if len(notes) != SETTLING + messages:
            raise SystemExit(f"{name}: the server accepted {len(notes)} messages of "
                             f"{SETTLING + messages}")
        per_message.append((notes[-1] - notes[SETTLING - 1]) / messages)
    return Row(name, "turns/msg", per_message[:1], per_message[1:], target, kind="count")


def session_vs_send(name, load, delay, target):
    with Servers() as servers:
        row = contest(name, servers.at("starttls", delay), session_send(SMALL),
                      [mailer_send(SMALL)], target, load)
    row.notes.append(
        f"{name}: {load.messages} small messages per run over STARTTLS through one Session, "
        f"against one EasyMailer.send per message (a connection, TLS and login each)"
        + (f"; a relay adds {delay * 1e3:.0f} ms each way" if delay else ""))
    return row


def session_row(plan):
    return session_vs_send("session", Load(plan.session_runs, plan.session_messages), 0.0, 6.0)


def latency_row(plan):
    row = session_vs_send("session 10ms", Load(plan.latency_runs, plan.session_messages),
                          RELAY_DELAY, 3.0)
    # smtplib sends one command at a time and waits for its answer.
    row.notes.append("session 10ms: on the wire a message over the open connection is 4 round "
                     "trips (MAIL, RCPT, DATA, the text), one over a connection of its own 11 "
                     "(connect and greeting, EHLO, STARTTLS, TLS handshake, EHLO, AUTH, the 4, "
                     "QUIT); the round trips alone give 11/4 = 2.75, the rest of the ratio is "
                     "the TLS context and handshake of each connection")
    return row


def django_rows(plan):
    load = Load(plan.django_runs, plan.session_messages)
    with Servers() as servers:
        rows = [contest(f"django {mode}", servers.at(mode), session_send(SMALL),
                        [django_connection(SMALL)], 1.0, load) for mode in MODES]
    rows[-1].notes.append(
        f"django: {load.messages} small messages per run through one Session against "
        f"Django {configure_django()}'s get_connection().send_messages() over one connection, "
        f"per mode; the baseline columns are Django's")
    return rows


REALISTIC_NOTE = ("a text part, an HTML part and a 50 KB in-memory attachment, one recipient, "
                  f"{len(REALISTIC.email(0).as_bytes()) // 1024} KB on the wire")


def send_rows(plan):
    """Session.send of realistic messages in a loop against the faster of
    aiosmtplib and Django, each over one connection, per mode."""
    with Servers() as servers:
        rows = [contest(f"send {mode}", servers.at(mode), SEND, PEERS, 1.1, plan.send)
                for mode in MODES]
    rows[0].notes.insert(0, f"send: {plan.send.messages} messages per run and side, each "
                            f"{REALISTIC_NOTE}; the baseline is the faster of aiosmtplib's "
                            f"send_message in a loop and Django's send_messages")
    return rows


def relay_rows(plan):
    """The same messages through a relay 10 ms away each way: send and
    send_many against the peers, and the client turns the relay counts."""
    with Servers() as servers:
        relays = [(mode, servers.at(mode, RELAY_DELAY)) for mode in MODES]
        rows = [contest(f"send 10ms {mode}", relay, SEND, PEERS, 1.8, plan.relay)
                for mode, relay in relays]
        rows += [contest(f"send_many 10ms {mode}", relay, SEND_MANY, PEERS, 3.0, plan.relay,
                         batch=plan.relay.messages) for mode, relay in relays]
        rows += [turns(f"turns send {mode}", relay, SEND, AIOSMTPLIB, 2.1, plan.turn_messages)
                 for mode, relay in relays]
        rows += [turns(f"turns send_many {mode}", relay, SEND_MANY, AIOSMTPLIB, 1.15,
                       plan.turn_messages) for mode, relay in relays]
    rows[0].notes.insert(0, f"send 10ms: {plan.relay.messages} messages per run and side, as in "
                            f"the send rows, through a relay that holds every chunk "
                            f"{RELAY_DELAY * 1e3:.0f} ms each way; send_many sends a run's "
                            f"messages in one call, the peers as in the send rows")
    rows[len(MODES) * 2].notes.insert(
        0, f"turns: client turns per message (writes that follow a reply of the server, up to "
           f"the next reply, counted by the relay) over messages {SETTLING + 1} to "
           f"{SETTLING + plan.turn_messages} of one connection; the vantrel columns are "
           f"Session's, the baseline columns aiosmtplib's, and the ratio column is Session's "
           f"count itself; the server offers PIPELINING, not CHUNKING")
    return rows


def tls_stall_row(plan):
    """Realistic messages over STARTTLS through one Session against smtplib
    with TCP_NODELAY: the 40 ms that Nagle's algorithm and the server's
    delayed ACK add to each message shows as a ratio near 0.1."""
    with Servers() as servers:
        row = contest("session 50KB starttls", servers.at("starttls"), SEND,
                      [smtplib_nodelay(REALISTIC)], 0.90, plan.send)
    row.notes.append(
        f"session 50KB starttls: Session.send of the send rows' messages against smtplib over "
        f"one connection with TCP_NODELAY set, messages from the email package; over TLS the "
        f"last short record of a message waits for the server's delayed ACK (about 40 ms) "
        f"where TCP_NODELAY is not set")
    return row


def async_rows(plan):
    """vantrel.aio's AsyncSession: many connections against as many
    aiosmtplib clients and against one connection, through the relay, and
    one connection against aiosmtplib's one, per mode."""
    many = async_session(REALISTIC, connections=8)
    with Servers() as servers:
        relay, batch = servers.at("starttls", RELAY_DELAY), plan.async_batch.messages
        rows = [contest("async 8 conns 10ms", relay, many, [aiosmtplib_clients(REALISTIC, 8)],
                        2.5, plan.async_batch, batch=batch),
                contest("async 8 vs 1 conn 10ms", relay, many, [async_session(REALISTIC)], 4.0,
                        plan.async_batch, batch=batch)]
        rows += [contest(f"async {mode}", servers.at(mode), async_session(REALISTIC),
                         [AIOSMTPLIB], 1.1, plan.send) for mode in MODES]
    rows[0].notes.append(
        f"async: the send rows' messages; AsyncSession's sends of a batch awaited together "
        f"(asyncio.gather), aiosmtplib's clients each sending their share in a loop, all at "
        f"once; the 10ms rows send {batch} messages per run in one batch, over STARTTLS")
    return rows


def dkim_rows(plan):
    """A session that DKIM-signs every message against the same session
    unsigned, realistic messages over STARTTLS to the local server."""
    with Servers() as servers:
        rows = [contest(f"dkim {algorithm}", servers.at("starttls"),
                        signed_session_send(REALISTIC, algorithm), [SEND], target, plan.send)
                for algorithm, target in (("rsa-sha256", 0.80), ("ed25519-sha256", 0.90))]
    rows[0].notes.append("dkim: the send rows' messages, each signed with a key made for the run "
                         "(2048-bit RSA, ed25519), against the same session unsigned")
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
    "send": lambda plan, scratch: send_rows(plan),
    "send10ms": lambda plan, scratch: relay_rows(plan),
    "stall": lambda plan, scratch: tls_stall_row(plan),
    "async": lambda plan, scratch: async_rows(plan),
    "dkim": lambda plan, scratch: dkim_rows(plan),
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
        if isinstance(row, Unavailable):
            lines.append((row.name, f"not available: {row.reason}"))
            continue
        lines.append((row.name, row.unit, number(min(row.vantrel)),
                      number(statistics.median(row.vantrel)), number(min(row.baseline)),
                      number(statistics.median(row.baseline)), f"{row.ratio:.2f}",
                      row.target_text, row.verdict))
    measured = [line for line in lines if len(line) == len(header)]
    widths = [max(len(line[0]) for line in lines)]
    widths += [max(len(line[i]) for line in measured) for i in range(1, len(header))]
    out = []
    for line in lines:
        if len(line) != len(header):
            out.append(f"{line[0].ljust(widths[0])}  {line[1]}")
            continue
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
        for note in row.notes if isinstance(row, Row) else ():
            print("note:", note)
    targets = [row for row in rows if isinstance(row, Row) and row.met is not None]
    missing = sum(isinstance(row, Unavailable) for row in rows)
    print(f"{sum(row.met for row in targets)} of {len(targets)} targets met"
          + (f"; {missing} rows not available yet" if missing else ""))


if __name__ == "__main__":
    main()
