"""Each built-in template's HTML body in a real browser, as tools/screenshots
draws it: the page asks for nothing but its own file and logs no error.
Skipped where there is no Chromium (the development root has it)."""

import importlib.util
import socket
from pathlib import Path

import pytest

TOOLS = Path(__file__).resolve().parent.parent / "tools"
_spec = importlib.util.spec_from_file_location("screenshots", TOOLS / "screenshots.py")
screenshots = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(screenshots)
chromium = screenshots.chromium

pytestmark = pytest.mark.skipif(chromium.executable() is None, reason="no chromium here")


@pytest.fixture(scope="module")
def browser():
    with chromium.Browser() as running:
        yield running


@pytest.mark.parametrize("size", sorted(screenshots.SIZES))
@pytest.mark.parametrize("name", screenshots.builtin_templates())
def test_builtin_template_asks_for_nothing_and_logs_no_error(browser, tmp_path, name, size):
    url = screenshots.example_page(name, tmp_path).as_uri()
    with browser.open_page(**screenshots.SIZES[size]) as page:
        visit = page.load(url)
    assert visit.requests == [url]
    assert visit.errors == []


def test_the_watch_sees_requests_and_errors(browser, tmp_path):
    # What the test above relies on: a page that reaches out and fails is seen.
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    page = tmp_path / "noisy.html"
    page.write_text(f'<img src="http://127.0.0.1:{port}/pixel.png">'
                    '<script>console.error("boom"); null.x;</script>')
    with browser.open_page(width=400, height=300) as tab:
        visit = tab.load(page.as_uri())
    assert screenshots.outside_requests(visit) == [f"http://127.0.0.1:{port}/pixel.png"]
    errors = sorted(visit.errors)
    assert len(errors) == 3, errors
    assert errors[0].startswith("Failed to load resource")  # the refused image
    assert errors[1].startswith("Uncaught TypeError")
    assert errors[2] == "console.error: boom"
