"""The FastAPI example's own tests (examples/fastapi), run in a pytest of their
own so that its app module is imported from its folder."""

import shutil
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "fastapi"


def test_fastapi_example(pytester):
    pytest.importorskip("fastapi")
    pytest.importorskip("httpx")
    for name in ("app.py", "test_app.py"):
        shutil.copy(EXAMPLE / name, pytester.path / name)
    result = pytester.runpytest_subprocess("-q", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=2)
