"""The package itself: its version agrees with the installed distribution."""

import importlib.metadata

import vantrel


def test_version_is_the_distributions():
    assert vantrel.__version__ == importlib.metadata.version("vantrel")
