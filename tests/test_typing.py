"""Type checkers see the installed stubs: mypy --strict accepts a program that
uses every public method, and stubtest finds the stubs true to the modules."""

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

USAGE = Path(__file__).parent / "typing" / "usage.py"


def run(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", *args], capture_output=True, text=True, cwd=USAGE.parent, timeout=600
    )


def test_stubs_are_installed_with_the_package():
    import vantrel

    package = Path(vantrel.__file__).parent
    for name in ("mailer.pyi", "session.pyi", "template.pyi", "testing.pyi", "dkim.pyi",
                 "py.typed"):
        assert (package / name).is_file(), name


def test_mypy_strict_accepts_a_program_using_every_public_method():
    result = run("mypy", "--strict", "--no-incremental", str(USAGE))
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_rejects_wrong_argument_types():
    bad = "from vantrel.mailer import EasyMailer\nEasyMailer('h', 1, 'u', 'p').send('a', None)\n"
    result = run("mypy", "--strict", "--no-incremental", "-c", bad)
    assert result.returncode == 1 and "send" in result.stdout, result.stdout


def test_stubtest_finds_the_stubs_true_to_the_modules():
    result = run("mypy.stubtest", "vantrel.mailer", "vantrel.session", "vantrel.template",
                 "vantrel.testing", "vantrel.dkim", "vantrel.aio")
    assert result.returncode == 0, result.stdout + result.stderr
