"""The Celery recipe (examples/celery) run for real: redis-server on a free
local port, a worker with two prefork processes, and an SMTP server that
requires STARTTLS and AUTH.

Every process started here is stopped by its process id (the worker by the
process group it leads), also when a test fails: the fixtures are context
managers from examples/celery/local_stack.py.
"""

import collections
import email
import os
import shutil
import signal
import smtplib
import sys
import time
from pathlib import Path

import pytest

from conftest import PASSWORD, USER, Server

celery = pytest.importorskip("celery")
if shutil.which("redis-server") is None:
    pytest.skip("no redis-server", allow_module_level=True)

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples" / "celery"))
import local_stack  # noqa: E402

CONCURRENCY = 2
WAIT = 180  # seconds any wait for results may take before the test fails


@pytest.fixture(scope="module")
def broker():
    with local_stack.redis_server() as redis:
        yield redis.url


@pytest.fixture(scope="module")
def mailapp(broker):
    with local_stack.client(broker) as module:
        yield module


def smtp_settings(server):
    return dict(host=server.host, port=server.port, mode=server.mode, user=USER,
                password=PASSWORD, timeout=30)


def start_worker(mailapp, broker, server, log_path):
    # Retries after 0 to 1 second, then 0 to 3, and so on, rather than minutes.
    return local_stack.Worker(mailapp.app, broker, smtp_settings(server), log_path,
                              concurrency=CONCURRENCY,
                              extra_environment={"VANTREL_RETRY_BACKOFF": "1"})


@pytest.fixture(scope="module")
def server(server_contexts):
    """One server for the module's worker; the tests give it addresses of their own."""
    server = Server("starttls", server_contexts["good"])
    yield server
    server.stop()


@pytest.fixture(scope="module")
def worker(mailapp, broker, server, trust_test_ca, tmp_path_factory):
    with start_worker(mailapp, broker, server,
                      tmp_path_factory.mktemp("celery") / "worker.log") as worker:
        yield worker


def enqueue(mailapp, worker, addresses, **options):
    return [mailapp.send_templated.apply_async(local_stack.message(i, to), options,
                                               queue=worker.queue)
            for i, to in enumerate(addresses)]


def outcomes(results, worker):
    """Every result's value, or its exception, once all are done."""
    done = []
    for result in results:
        try:
            result.get(timeout=WAIT, propagate=False)
        except TimeoutError:
            pytest.fail(f"no result after {WAIT} s; the worker's log ends with:\n"
                        f"{worker.log_tail()}")
        done.append(result.result)
    return done


def process_running(mailapp, worker, task_id):
    """The id of the pool process running the task, as the worker tells it."""
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        replies = mailapp.app.control.inspect(destination=[worker.node]).active() or {}
        for task in replies.get(worker.node, []):
            if task["id"] == task_id:
                return task["worker_pid"]
    pytest.fail(f"the worker never reported task {task_id} as running")


def deliveries(server, addresses):
    """How many messages each address received."""
    wanted = set(addresses)
    return collections.Counter(address for message in server.messages
                               for address in message.rcpt_tos if address in wanted)


def test_every_message_arrives_exactly_once(mailapp, worker, server):
    addresses = [f"bulk{i}@example.test" for i in range(500)]
    retries = outcomes(enqueue(mailapp, worker, addresses), worker)
    assert retries == [0] * 500
    assert deliveries(server, addresses) == {address: 1 for address in addresses}
    index = {address: i for i, address in enumerate(addresses)}
    for message in server.messages:
        if message.rcpt_tos[0] in index:
            parsed = email.message_from_bytes(message.data)
            assert parsed["Subject"] == f"[vantrel] Message {index[parsed['To']]}"
            assert message.rcpt_tos == [parsed["To"]]


@pytest.mark.parametrize("failure", ["451-rcpt", "451-data-command", "451-data", "drop-data"])
def test_transient_failures_are_retried_and_delivered_once(mailapp, worker, server, failure):
    addresses = [f"{failure}-{i}@example.test" for i in range(10)]
    server.first_attempt.update(dict.fromkeys(addresses, failure))
    assert outcomes(enqueue(mailapp, worker, addresses), worker) == [1] * 10
    assert deliveries(server, addresses) == {address: 1 for address in addresses}
    assert {address: server.attempts[address] for address in addresses} == \
        {address: 2 for address in addresses}


def test_a_421_to_a_later_rcpt_is_sent_again_at_once(mailapp, worker, server):
    # The server accepts the first RCPT, answers the second with 421 and
    # closes: nothing was delivered, so the session sends it again itself.
    pairs = [(f"421-to-{i}@example.test", f"421-cc-{i}@example.test") for i in range(10)]
    server.first_attempt.update({cc: "421-rcpt" for _, cc in pairs})
    results = [mailapp.send_templated.apply_async(local_stack.message(i, to), {"cc": [cc]},
                                                  queue=worker.queue)
               for i, (to, cc) in enumerate(pairs)]
    assert outcomes(results, worker) == [0] * 10
    everyone = [address for pair in pairs for address in pair]
    assert deliveries(server, everyone) == dict.fromkeys(everyone, 1)


@pytest.mark.parametrize("refused, kind", [
    # Refused while the others were accepted: they have the message.
    ({"a@example.test": (550, b"5.1.1 no such user")}, "PermanentFailure"),
    # The server was closing before the text: nobody has it.
    ({"a@example.test": (421, b"4.7.0 closing")}, "TransientFailure"),
    (dict.fromkeys(["a@example.test", "b@example.test"], (421, b"4.7.0 closing")),
     "TransientFailure"),
    (dict.fromkeys(["a@example.test", "b@example.test"], (550, b"5.1.1 no such user")),
     "PermanentFailure"),
], ids=["partial", "421-partly-named", "421-all-named", "all-refused"])
def test_classification_of_refused_recipients(mailapp, refused, kind):
    error = smtplib.SMTPRecipientsRefused(refused)
    if kind == "PermanentFailure" and len(refused) == 1:
        error.add_note("The message was accepted for the other recipients; only those in "
                       ".recipients were refused.")  # as a session reports a partial refusal
    failure = mailapp.classify(error)
    assert type(failure).__name__ == kind
    assert failure.refused == {address: [code, reply.decode()]
                               for address, (code, reply) in refused.items()}


@pytest.mark.parametrize("accepted", [[], ["accepted@example.test"]], ids=["alone", "with-cc"])
def test_a_refused_recipient_fails_the_task_without_retry(mailapp, worker, server, accepted):
    refused = f"refused-{len(accepted)}@example.test"
    server.refuse_rcpt.add(refused)
    (failure,) = outcomes(enqueue(mailapp, worker, [refused], cc=accepted), worker)
    assert isinstance(failure, mailapp.PermanentFailure)
    assert (failure.code, failure.refused) == (550, {refused: [550, "5.1.1 no such user"]})
    assert "5.1.1 no such user" in failure.reply
    assert server.attempts[refused] == 1
    # Beside an accepted recipient the message went out: once, and not again.
    assert deliveries(server, [refused, *accepted]) == dict.fromkeys(accepted, 1)


def test_a_message_whose_process_is_killed_mid_task_is_sent_again(mailapp, worker, server):
    address = "killed@example.test"
    server.first_attempt[address] = "hold-data"
    (result,) = enqueue(mailapp, worker, [address])
    assert server.holding.wait(WAIT), worker.log_tail()
    pid = process_running(mailapp, worker, result.id)
    os.kill(pid, signal.SIGKILL)
    assert outcomes([result], worker) == [0]  # sent again, not retried
    assert deliveries(server, [address]) == {address: 1}
    assert server.attempts[address] == 2
    assert pid not in worker.pool_processes()


def test_each_process_keeps_one_connection_and_quits_at_shutdown(
        mailapp, broker, smtp_server, trust_test_ca, tmp_path):
    server = smtp_server("starttls")
    addresses = [f"shutdown{i}@example.test" for i in range(20)]
    with start_worker(mailapp, broker, server, tmp_path / "worker.log") as worker:
        processes = worker.pool_processes()
        assert len(processes) == CONCURRENCY
        assert outcomes(enqueue(mailapp, worker, addresses), worker) == [0] * 20
    assert not worker.running()
    assert [pid for pid in processes if Path(f"/proc/{pid}").exists()] == []
    assert server.wait_idle()
    assert deliveries(server, addresses) == {address: 1 for address in addresses}
    assert (server.connections, server.quits) == (CONCURRENCY, CONCURRENCY)
