"""The recipe's moving parts on one machine: a Redis broker, workers and a
local SMTP server, for trying the recipe out and for its test and benchmark.

    python local_stack.py [--messages 1000] [--concurrency 2] [--max-per-connection N]
                          [--delay SECONDS]

starts redis-server on a free port of 127.0.0.1, the benchmarks' local SMTP
server (bench/smtp_server.py: plain SMTP, any login accepted, every message
accepted and dropped) and a worker, sends the messages through it and prints
how fast they went, the processor time each process took per message and
the memory of a pool process; then it stops everything it started.

Every process started here is stopped by its process id, or by the process
group it leads, never by name.
"""

import argparse
import contextlib
import gc
import os
import runpy
import signal
import socket
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path

HERE = Path(__file__).resolve().parent
CHECKOUT = HERE.parent.parent
# Variables that instrument this process (a preloaded sanitizer runtime, say)
# and that a program of someone else's has no use for.
INSTRUMENTATION = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _wait_until(ready, timeout, what, alive=lambda: True):
    deadline = time.monotonic() + timeout
    while not ready():
        if not alive():
            raise RuntimeError(f"{what} exited while starting")
        if time.monotonic() > deadline:
            raise TimeoutError(f"{what} not ready after {timeout} s")
        time.sleep(0.05)


def _stop(process, timeout):
    """SIGTERM, then SIGKILL if it does not end in time; reaps it."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
    process.wait()


def _answers_ping(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1) as connection:
            connection.sendall(b"PING\r\n")
            return connection.recv(64).startswith(b"+PONG")
    except OSError:
        return False


@contextlib.contextmanager
def redis_server():
    """A throwaway redis-server on 127.0.0.1 (nothing saved to disk); yields
    the process, with its URL as `url`."""
    port = free_port()
    environment = {k: v for k, v in os.environ.items() if k not in INSTRUMENTATION}
    with tempfile.TemporaryDirectory(prefix="vantrel-redis-") as scratch:
        process = subprocess.Popen(
            ["redis-server", "--bind", "127.0.0.1", "--port", str(port), "--save", "",
             "--appendonly", "no", "--dir", scratch, "--loglevel", "warning"],
            env=environment, stdout=subprocess.DEVNULL)
        try:
            _wait_until(lambda: _answers_ping(port), 30, "redis-server",
                        lambda: process.poll() is None)
            process.url = f"redis://127.0.0.1:{port}/0"
            yield process
        finally:
            _stop(process, 30)


def smtp_sink(delay=0.0):
    """The benchmarks' SMTP server in a process of its own, in plain mode and,
    with a delay, behind a relay that holds everything for that many seconds
    each way (a context manager that yields the process, with the port to
    use as `port`)."""
    running = runpy.run_path(str(CHECKOUT / "bench" / "smtp_server.py"))["running"]
    return running("--mode", "plain", "--delay", delay)


@contextlib.contextmanager
def client(broker_url):
    """The mailapp module, its app talking to broker_url, for enqueuing and
    waiting from this process; its connections are closed afterwards."""
    sys.path.insert(0, str(HERE))
    try:
        import mailapp
    finally:
        sys.path.remove(str(HERE))
    mailapp.app.conf.update(broker_url=broker_url, result_backend=broker_url)
    try:
        yield mailapp
    finally:
        gc.collect()  # results pending in reference cycles unsubscribe now, not later
        mailapp.app.backend.result_consumer.stop()
        mailapp.app.backend.client.close()
        mailapp.app.close()


class Worker:
    """`python -m celery -A mailapp worker` with a prefork pool, as a process
    group of its own, consuming one queue of its own.

    smtp is the VANTREL_SMTP_* settings (without the prefix); the worker's
    output goes to `log_path`.
    """

    def __init__(self, app, broker_url, smtp, log_path, concurrency=2, queue=None,
                 extra_environment=None):
        self.app = app
        self.queue = queue or f"mail-{uuid.uuid4().hex[:8]}"
        self.node = f"{self.queue}@vantrel"
        self.log_path = Path(log_path)
        environment = dict(os.environ, VANTREL_BROKER_URL=broker_url,
                           VANTREL_RESULT_BACKEND=broker_url, **(extra_environment or {}))
        environment.update({f"VANTREL_SMTP_{key.upper()}": str(value)
                            for key, value in smtp.items()})
        with open(self.log_path, "ab") as log:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "celery", "-A", "mailapp", "worker", "--pool", "prefork",
                 "--concurrency", str(concurrency), "--hostname", self.node,
                 "--queues", self.queue, "--without-gossip", "--without-mingle",
                 "--without-heartbeat", "--loglevel", "INFO"],
                cwd=HERE, env=environment, stdin=subprocess.DEVNULL, stdout=log,
                stderr=subprocess.STDOUT, start_new_session=True)
        try:
            _wait_until(self._answers, 60, f"worker {self.node}",
                        lambda: self.process.poll() is None)
        except BaseException:
            self.stop()
            raise RuntimeError(f"worker {self.node} did not start:\n{self.log_tail()}") from None

    def _answers(self):
        return bool(self.app.control.ping(destination=[self.node], timeout=0.5))

    def pool_processes(self):
        """Process ids of the pool's processes (the worker's children)."""
        children = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            with contextlib.suppress(OSError):
                stat = Path(f"/proc/{entry}/stat").read_text()
                if int(stat.rpartition(")")[2].split()[1]) == self.process.pid:
                    children.append(int(entry))
        return sorted(children)

    def running(self):
        """Whether any process of the worker's group is left."""
        try:
            os.killpg(self.process.pid, 0)
        except ProcessLookupError:
            return False
        return True

    def stop(self, timeout=60):
        """Warm shutdown: the running tasks finish and every pool process
        closes its connection.  Whatever is left of the group after
        `timeout` seconds is killed."""
        _stop(self.process, timeout)
        with contextlib.suppress(ProcessLookupError):
            os.killpg(self.process.pid, signal.SIGKILL)

    def log_tail(self, lines=40):
        with contextlib.suppress(OSError):
            return "\n".join(self.log_path.read_text(errors="replace").splitlines()[-lines:])
        return ""

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()


def message(index, to):
    """The arguments of send_templated for the index-th message of a run."""
    return (to, "[vantrel] {{ title }}", "notification",
            {"title": f"Message {index}", "message": f"This is message {index}."})


def sending_rate(mailapp, worker, messages, to="rate@example.com"):
    """Messages per second that `worker` sends, once it is busy.

    The messages are queued first, on a queue the worker is not consuming
    yet, and then handed to it all at once.  The rate is taken between the
    first and the last message done, by the times the worker gave their
    results: the worker only looks at a new queue after up to a second, and
    that wait is not its sending."""
    from celery.result import ResultSet

    queue = f"rate-{uuid.uuid4().hex[:8]}"
    results = ResultSet(
        [mailapp.send_templated.apply_async(message(i, to), queue=queue)
         for i in range(messages)])
    control = mailapp.app.control
    backend = mailapp.app.backend
    last = backend.get_key_for_task(results.results[-1].id)
    control.add_consumer(queue, destination=[worker.node], reply=True)
    try:
        # Waiting on every result would take this process's share of the
        # processors while the worker runs; the last message's result, looked
        # for now and then, says that the run is at its end.
        _wait_until(lambda: backend.client.exists(last), 600, f"the last of {messages} messages")
        results.join_native(timeout=600)
    finally:
        control.cancel_consumer(queue, destination=[worker.node], reply=True)
    done = sorted(result.date_done for result in results.results)
    return (messages - 1) / (done[-1] - done[0]).total_seconds()


def processor_seconds(pid):
    """User and system time the process has used so far."""
    fields = Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def resident_mib(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--messages", type=int, default=1000, help="messages to send (1000)")
    parser.add_argument("--concurrency", type=int, default=2, help="worker processes (2)")
    parser.add_argument("--max-per-connection", type=int, metavar="N",
                        help="messages per SMTP connection (default: no limit)")
    parser.add_argument("--delay", type=float, default=0.0, metavar="SECONDS",
                        help="put the SMTP server that far away: everything to and from it "
                             "is held this long each way (0)")
    options = parser.parse_args()
    extra = {}
    if options.max_per_connection:
        extra["VANTREL_MAX_PER_CONNECTION"] = str(options.max_per_connection)
    with (redis_server() as redis, smtp_sink(options.delay) as sink, client(redis.url) as mailapp,
          tempfile.TemporaryDirectory(prefix="vantrel-worker-") as scratch):
        smtp = dict(host="127.0.0.1", port=sink.port, mode="plain", user="demo@example.com",
                    password="any password")
        print(f"broker {redis.url}, SMTP server 127.0.0.1:{sink.port}")
        with Worker(mailapp.app, redis.url, smtp, Path(scratch) / "worker.log",
                    options.concurrency, extra_environment=extra) as worker:
            sending_rate(mailapp, worker, 50)  # connections opened, everything loaded
            processes = {"worker's main process": [worker.process.pid],
                         "pool processes": worker.pool_processes(),
                         "redis-server": [redis.pid], "SMTP server": [sink.pid]}

            def used():
                return {name: sum(map(processor_seconds, pids))
                        for name, pids in processes.items()}

            before = used()
            rate = sending_rate(mailapp, worker, options.messages)
            after = used()
            memory = [resident_mib(pid) for pid in processes["pool processes"]]
    print(f"{options.messages} messages sent by {options.concurrency} worker processes: "
          f"{rate:.0f} messages per second")
    print("processor time per message, queuing included:")
    for name in processes:
        print(f"  {name:22} {(after[name] - before[name]) / options.messages * 1e3:5.2f} ms")
    print(f"resident memory of each pool process: {max(memory):.0f} MiB at most")


if __name__ == "__main__":
    main()
