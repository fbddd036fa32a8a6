"""Headless Chromium driven over its DevTools pipe, with the standard library only.

Used by tools/screenshots (pictures of the built-in templates) and by the
test that loads each built-in template and watches what the page does.

    with Browser() as browser, browser.open_page(width=1024, height=800) as page:
        visit = page.load(Path("notification.html").as_uri())
        visit.requests, visit.errors      # every URL asked for; console errors
        page.screenshot(Path("notification.png"))

Chromium is started with --remote-debugging-pipe: it reads commands from
descriptor 3 and writes answers and events to descriptor 4, one JSON object
per message, each ended by a NUL byte.
"""

import base64
import contextlib
import fcntl
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile

# Nothing of Chromium's own should go to the network or the screen.
FLAGS = [
    "--headless",
    "--no-sandbox",  # run as root in the development root
    "--disable-gpu",
    "--hide-scrollbars",
    "--no-first-run",
    "--no-default-browser-check",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-default-apps",
    "--disable-extensions",
    "--disable-sync",
    "--metrics-recording-only",
    "--no-pings",
    "--remote-debugging-pipe",
]

WAIT = 60  # seconds before a browser that stopped answering counts as hung


class BrowserError(Exception):
    pass


def executable():
    """The chromium program, or None where there is none."""
    return shutil.which("chromium")


ON_3_AND_4 = ("import os, sys; os.dup2(int(sys.argv[1]), 3); os.dup2(int(sys.argv[2]), 4); "
              "os.closerange(5, 4096); os.execv(sys.argv[3], sys.argv[3:])")


def _above_4(fd):
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 5)
    os.close(fd)
    return moved


class Visit:
    """What one page load did: the URLs it asked for and its console errors."""

    def __init__(self):
        self.requests = []
        self.errors = []


class Page:
    """One tab; closed at the end of a with block."""

    def __init__(self, browser, target, session, width, height, mobile, scale):
        self._browser = browser
        self._target = target
        self._session = session
        self._viewport = dict(width=width, deviceScaleFactor=scale, mobile=mobile)
        for domain in ("Page", "Network", "Runtime", "Log"):
            self._send(f"{domain}.enable")
        self._send("Page.setLifecycleEventsEnabled", enabled=True)
        self._set_size(height)

    def _send(self, method, **params):
        return self._browser.command(method, params, self._session)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._browser.command("Target.closeTarget", {"targetId": self._target})

    def _set_size(self, height):
        self._send("Emulation.setDeviceMetricsOverride", height=height, **self._viewport)

    def load(self, url):
        """Navigates to url and returns the Visit once the page has loaded."""
        visit = Visit()
        loaded = set()  # the navigations (loader ids) whose load event came

        def watch(method, params):
            match method:
                case "Network.requestWillBeSent":
                    visit.requests.append(params["request"]["url"])
                case "Runtime.consoleAPICalled" if params["type"] in ("error", "assert"):
                    text = " ".join(str(a.get("value", a.get("description", "")))
                                    for a in params["args"])
                    visit.errors.append(f"console.{params['type']}: {text}")
                case "Runtime.exceptionThrown":
                    details = params["exceptionDetails"]
                    thrown = details.get("exception", {}).get("description", "")
                    first_line = thrown.partition("\n")[0]
                    visit.errors.append(f"{details['text']} {first_line}")
                case "Log.entryAdded" if params["entry"]["level"] == "error":
                    visit.errors.append(params["entry"]["text"])
                case "Page.lifecycleEvent" if params["name"] == "load":
                    loaded.add(params["loaderId"])

        with self._browser.watching(self._session, watch):
            navigated = self._send("Page.navigate", url=url)
            if "errorText" in navigated:
                raise BrowserError(f"cannot load {url}: {navigated['errorText']}")
            self._browser.wait_for(lambda: navigated["loaderId"] in loaded)
        return visit

    def screenshot(self, path):
        """A PNG of the page at its width, as tall as its content."""
        bottom = self._send("Runtime.evaluate", returnByValue=True,
                            expression="Math.ceil(document.body.getBoundingClientRect().bottom)")
        self._set_size(max(1, bottom["result"]["value"]))
        shot = self._send("Page.captureScreenshot", format="png")
        path.write_bytes(base64.b64decode(shot["data"]))


def browser_environment():
    """This process's environment without what instruments it: the browser
    is not ours to check, and a sanitizer runtime preloaded into it (as
    tools/sanitize does for the test run) stops it at start-up."""
    return {name: value for name, value in os.environ.items()
            if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}


class Browser:
    def __init__(self, program=None):
        program = program or executable()
        if program is None:
            raise BrowserError("no chromium here")
        self._profile = tempfile.TemporaryDirectory(prefix="vantrel-chromium-")
        commands_read, self._commands = os.pipe()
        self._answers, answers_write = os.pipe()
        # A small Python step puts Chromium's two pipe ends on descriptors 3 and
        # 4; moved above those first, neither can be one of them already.
        commands_read, answers_write = (_above_4(fd) for fd in (commands_read, answers_write))
        self._process = subprocess.Popen(
            [sys.executable, "-c", ON_3_AND_4, str(commands_read), str(answers_write),
             program, *FLAGS, f"--user-data-dir={self._profile.name}", "about:blank"],
            pass_fds=(commands_read, answers_write),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=browser_environment(),
        )
        os.close(commands_read)
        os.close(answers_write)
        self._buffer = b""
        self._next_id = 0
        self._watchers = {}

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self._process.poll() is None:
            try:
                self.command("Browser.close")
            except (BrowserError, OSError):
                pass
            try:
                self._process.wait(WAIT)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        for fd in (self._commands, self._answers):
            try:
                os.close(fd)
            except OSError:
                pass
        self._commands = self._answers = -1
        self._profile.cleanup()

    def open_page(self, width, height, mobile=False, scale=1):
        """A new tab of the given viewport, attached for commands."""
        target = self.command("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.command("Target.attachToTarget",
                               {"targetId": target, "flatten": True})["sessionId"]
        return Page(self, target, session, width, height, mobile, scale)

    def command(self, method, params=None, session=None):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session is not None:
            message["sessionId"] = session
        data = json.dumps(message).encode() + b"\0"
        while data:
            data = data[os.write(self._commands, data):]
        while True:
            answer = self._receive()
            if answer.get("id") == message["id"]:
                if "error" in answer:
                    raise BrowserError(f"{method}: {answer['error'].get('message')}")
                return answer.get("result", {})

    @contextlib.contextmanager
    def watching(self, session, watcher):
        """watcher(method, params) sees every event of the session inside
        the with block."""
        self._watchers[session] = watcher
        try:
            yield
        finally:
            del self._watchers[session]

    def wait_for(self, condition):
        """Reads messages (and so hands out events) until condition() holds."""
        while not condition():
            self._receive()

    def _receive(self):
        """The next message; events go to their session's watcher."""
        while b"\0" not in self._buffer:
            ready, _, _ = select.select([self._answers], [], [], WAIT)
            chunk = os.read(self._answers, 1 << 16) if ready else b""
            if not chunk:
                raise BrowserError("chromium stopped answering" if not ready else
                                   "chromium closed its pipe")
            self._buffer += chunk
        raw, self._buffer = self._buffer.split(b"\0", 1)
        message = json.loads(raw)
        watcher = self._watchers.get(message.get("sessionId"))
        if "method" in message and watcher is not None:
            watcher(message["method"], message.get("params", {}))
        return message
