"""Addresses on this machine for the tests and the leak hunt: a plain module
with no test dependencies, so that tests/refleak/run.py can import it too."""

import socket


def closed_port():
    """A port on 127.0.0.1 that nothing listens on: bound once by the
    kernel's choice and released, so that a connection to it is refused."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
