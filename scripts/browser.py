#!/usr/bin/python3
"""Headless Chromium (Debian's package) driven over its DevTools pipe, with the
Python standard library alone: open a page, evaluate script in it, wait for a
condition, save what it shows.

    browser.py screenshot URL FILE.png [--wait EXPRESSION] [--timeout SECONDS]

As a module: Browser().open(url), .evaluate(expression), .wait_for(expression,
seconds), .screenshot(path), .close(). Each browser gets a fresh profile that is
removed when it closes, and none of the browser's own background connections.
"""
import argparse
import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-extensions", "--disable-default-apps", "--mute-audio", "--hide-scrollbars",
    "--remote-debugging-pipe",
]
WIDTH, HEIGHT = 1100, 640
REPLY_TIMEOUT = 60


class Browser:
    def __init__(self, chromium=None):
        chromium = chromium or shutil.which("chromium") or "chromium"
        self.profile = tempfile.mkdtemp(prefix="orvane-browser-")
        self._id = 0
        self._buffer = b""
        self.session = None
        to_browser, self._to_browser = os.pipe()
        self._from_browser, from_browser = os.pipe()

        def child():
            # The browser reads commands on descriptor 3 and answers on 4.
            reads = fcntl.fcntl(to_browser, fcntl.F_DUPFD, 10)
            writes = fcntl.fcntl(from_browser, fcntl.F_DUPFD, 10)
            os.dup2(reads, 3)
            os.dup2(writes, 4)

        self._log = open(os.path.join(self.profile, "browser.log"), "wb")
        self.process = subprocess.Popen(
            [chromium, *FLAGS, "--user-data-dir=" + self.profile, "about:blank"],
            stdin=subprocess.DEVNULL, stdout=self._log, stderr=self._log,
            preexec_fn=child, close_fds=False)
        os.close(to_browser)
        os.close(from_browser)

    def send(self, method, params=None, session=None):
        self._id += 1
        message = {"id": self._id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        while True:
            reply = self._read()
            if reply.get("id") == self._id:
                if "error" in reply:
                    raise RuntimeError("%s: %s" % (method, reply["error"]))
                return reply.get("result", {})

    def _read(self):
        deadline = time.monotonic() + REPLY_TIMEOUT
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([self._from_browser], [], [], max(0, left))
            if not ready:
                raise TimeoutError("the browser did not answer")
            chunk = os.read(self._from_browser, 65536)
            if not chunk:
                raise EOFError("the browser has gone")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def open(self, url):
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.send("Target.attachToTarget",
                                 {"targetId": target, "flatten": True})["sessionId"]
        self.send("Emulation.setDeviceMetricsOverride",
                  {"width": WIDTH, "height": HEIGHT, "deviceScaleFactor": 1, "mobile": False},
                  self.session)
        self.send("Page.navigate", {"url": url}, self.session)

    def evaluate(self, expression):
        result = self.send("Runtime.evaluate",
                           {"expression": expression, "returnByValue": True}, self.session)
        return result.get("result", {}).get("value")

    def wait_for(self, expression, seconds):
        """Seconds it took until `expression` was true; TimeoutError if it never was."""
        start = time.monotonic()
        while True:
            if self.evaluate(expression):
                return time.monotonic() - start
            if time.monotonic() - start > seconds:
                raise TimeoutError("never true: " + expression)
            time.sleep(0.05)

    def screenshot(self, path):
        data = self.send("Page.captureScreenshot", {"format": "png"}, self.session)["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        try:
            self.send("Browser.close")
        except (OSError, RuntimeError, TimeoutError, EOFError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self._to_browser)
        os.close(self._from_browser)
        self._log.close()
        shutil.rmtree(self.profile, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description="Save what headless Chromium shows of a page.")
    parser.add_argument("command", choices=["screenshot"])
    parser.add_argument("url")
    parser.add_argument("file")
    parser.add_argument("--wait", default="document.readyState === 'complete'",
                        help="a script expression to wait for before the picture")
    parser.add_argument("--timeout", type=float, default=30)
    arguments = parser.parse_args()
    browser = Browser()
    try:
        browser.open(arguments.url)
        browser.wait_for(arguments.wait, arguments.timeout)
        time.sleep(0.3)  # the last paint
        browser.screenshot(arguments.file)
    finally:
        browser.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
