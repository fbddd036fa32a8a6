"""Queue messages for the mailapp workers and wait for the outcome.

    python enqueue.py --to you@example.com [--count 10] [--no-wait]

Each message is the built-in "notification" template, numbered.  The broker
and result store come from VANTREL_BROKER_URL and VANTREL_RESULT_BACKEND, as
for the workers; no SMTP setting is needed here.  The exit status is 1 when a
message failed for good.
"""

import argparse
import sys

from mailapp import send_templated

SUBJECT = "[vantrel] {{ title }}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--to", required=True, help="recipient address")
    parser.add_argument("--count", type=int, default=10, help="messages to queue (10)")
    parser.add_argument("--no-wait", action="store_true",
                        help="queue the messages and exit without waiting for them")
    parser.add_argument("--timeout", type=float, default=600,
                        help="seconds to wait for each outcome (600)")
    options = parser.parse_args()

    results = [
        send_templated.delay(options.to, SUBJECT, "notification", {
            "title": f"Message {i + 1} of {options.count}",
            "message": f"Sent through a Celery worker with vantrel, message {i + 1}.",
        })
        for i in range(options.count)
    ]
    print(f"queued {len(results)} messages")
    if options.no_wait:
        return 0

    failed = 0
    for i, result in enumerate(results, 1):
        # A retried message stays pending until its last attempt.
        result.get(timeout=options.timeout, propagate=False)
        if result.failed():
            failed += 1
            print(f"message {i}: failed: {type(result.result).__name__}: {result.result}")
    print(f"{len(results) - failed} sent, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
