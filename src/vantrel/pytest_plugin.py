"""vantrel's pytest plugin: the mail_outbox fixture.

pytest loads it by itself wherever vantrel is installed (entry point pytest11).
"""

import pytest


@pytest.fixture
def mail_outbox():
    """A vantrel.testing.capture() around the test: what vantrel sends lands in
    this Outbox instead of reaching a server.

    The capture is process-wide: it also receives what other threads send
    while the test runs.  A Session opened before the test, or in an earlier
    one, moves to this capture at its next message, and away from it after.
    """
    from vantrel.testing import capture

    with capture() as outbox:
        yield outbox
