"""Headless Chromium driven over the DevTools protocol on a pipe
(--remote-debugging-pipe: commands go in on fd 3, answers and events come
out on fd 4, each a JSON text ended by a NUL byte), with nothing but the
standard library. It records what a page logs and fetches."""

from __future__ import annotations

import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

# Generous: a loaded CI machine may take a while to start a browser.
DEADLINE = 90.0


def find_chromium() -> str | None:
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


class BrowserError(Exception):
    pass


class Chromium:
    def __init__(self, binary: str) -> None:
        self.profile = tempfile.mkdtemp(prefix="report-chromium-")
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()
        # Above fd 10 first, so that moving them to 3 and 4 in the child
        # cannot overwrite one with the other.
        child_r = fcntl.fcntl(to_browser_r, fcntl.F_DUPFD_CLOEXEC, 10)
        child_w = fcntl.fcntl(from_browser_w, fcntl.F_DUPFD_CLOEXEC, 10)
        os.close(to_browser_r)
        os.close(from_browser_w)

        def child_fds() -> None:  # dup2 leaves 3 and 4 open across exec
            os.dup2(child_r, 3)
            os.dup2(child_w, 4)

        args = [binary, "--headless", "--remote-debugging-pipe", f"--user-data-dir={self.profile}",
                "--disable-gpu", "--no-first-run", "--no-default-browser-check", "--disable-extensions",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--hide-scrollbars", "--mute-audio", "about:blank"]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")
        # Every other descriptor of this process is close-on-exec already.
        self.proc = subprocess.Popen(args, preexec_fn=child_fds, close_fds=False, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(child_r)
        os.close(child_w)
        self._buffer = b""
        self._next_id = 0
        self.events: list[dict] = []

    def close(self) -> None:
        try:
            self.send("Browser.close")
        except (BrowserError, OSError):
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        os.close(self._to_browser)
        os.close(self._from_browser)
        shutil.rmtree(self.profile, ignore_errors=True)

    def _read_message(self, deadline: float) -> dict:
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise BrowserError("no answer from Chromium in time")
            ready, _, _ = select.select([self._from_browser], [], [], left)
            if ready:
                chunk = os.read(self._from_browser, 1 << 20)
                if not chunk:
                    raise BrowserError(f"Chromium closed the pipe (exit {self.proc.poll()})")
                self._buffer += chunk
        raw, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(raw)

    def send(self, method: str, params: dict | None = None, session: str | None = None) -> dict:
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + DEADLINE
        while True:
            answer = self._read_message(deadline)
            if answer.get("id") == self._next_id:
                if "error" in answer:
                    raise BrowserError(f"{method}: {answer['error']}")
                return answer.get("result", {})
            self.events.append(answer)

    def wait_for(self, method: str, session: str) -> dict:
        deadline = time.monotonic() + DEADLINE
        for event in self.events:
            if event.get("method") == method and event.get("sessionId") == session:
                return event
        while True:
            event = self._read_message(deadline)
            self.events.append(event)
            if event.get("method") == method and event.get("sessionId") == session:
                return event


class Page:
    """One tab with a page loaded, and what it logged and requested."""

    def __init__(self, browser: Chromium, url: str, width: int = 1000, height: int = 1400) -> None:
        self.browser = browser
        target = browser.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = browser.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Runtime", "Log", "Network", "Page"):
            self.send(f"{domain}.enable")
        self.send("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
        self.url = url
        self.send("Page.navigate", {"url": url})
        browser.wait_for("Page.loadEventFired", self.session)

    def send(self, method: str, params: dict | None = None) -> dict:
        return self.browser.send(method, params, self.session)

    def _events(self, *methods: str) -> list[dict]:
        return [e for e in self.browser.events if e.get("sessionId") == self.session and e.get("method") in methods]

    def console(self) -> list[str]:
        """Console calls, uncaught exceptions and browser log entries of the page."""
        out = []
        for e in self._events("Runtime.consoleAPICalled", "Runtime.exceptionThrown", "Log.entryAdded"):
            p = e["params"]
            if e["method"] == "Log.entryAdded":
                out.append(f"{p['entry']['level']}: {p['entry'].get('text', '')}")
            elif e["method"] == "Runtime.exceptionThrown":
                out.append(f"exception: {p['exceptionDetails'].get('text', '')}")
            else:
                out.append(f"{p['type']}: {' '.join(str(a.get('value', a.get('description'))) for a in p['args'])}")
        return out

    def requests(self) -> list[str]:
        """Every URL the page asked for, itself included."""
        return [e["params"]["request"]["url"] for e in self._events("Network.requestWillBeSent")]

    def evaluate(self, expression: str):
        result = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in result:
            raise BrowserError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def screenshot(self, out: Path, full: bool = False) -> None:
        # A tab behind another draws no frames, and the capture would wait for one.
        self.send("Page.bringToFront")
        params = {"format": "png", "captureBeyondViewport": full}
        if full:
            size = self.evaluate("[document.documentElement.scrollWidth, document.documentElement.scrollHeight]")
            params["clip"] = {"x": 0, "y": 0, "width": size[0], "height": size[1], "scale": 1}
        out.write_bytes(base64.b64decode(self.send("Page.captureScreenshot", params)["data"]))

    def pdf(self, out: Path) -> None:
        self.send("Page.bringToFront")
        # A4 in inches; margins come from the page's own @page rule.
        data = self.send("Page.printToPDF", {"paperWidth": 8.27, "paperHeight": 11.69, "printBackground": True,
                                             "preferCSSPageSize": True})["data"]
        out.write_bytes(base64.b64decode(data))
