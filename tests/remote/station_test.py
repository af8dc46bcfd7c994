#!/usr/bin/python3
"""The program with --http against a card host emulator, over loopback.

    station_test.py STATION CARDHOST page       the live page in headless Chromium follows a
                                                card into a session and tells the station's stop
    station_test.py STATION CARDHOST hostile    1,000 malformed, slow and oversized requests
                                                leave the server answering and the cards alone
    station_test.py STATION CARDHOST port-in-use  a port in use ends the start with status 1

Each run takes addresses of its own below 127.0.0.0/8. Exit status 0 when the
checks hold; the failures on standard error otherwise.
"""
import http.client
import json
import os
import random
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

SERIALS = [1001, 1002]
HEADINGS = ["Number", "SAT Mode", "Computer Name or IP Address", "Device", "Serial #",
            "Op Status", "MESId", "Service", "Time in state"]
failures = []


def check(condition, text):
    if not condition:
        failures.append(text)
        print("FAILED: " + text, file=sys.stderr)
    return condition


class Lines:
    """The lines a process writes, collected on a thread of their own."""

    def __init__(self, stream):
        self.lines = []
        self._lock = threading.Lock()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in iter(stream.readline, b""):
            with self._lock:
                self.lines.append(line.decode(errors="replace").rstrip("\n"))

    def wait_for(self, text, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            with self._lock:
                for line in self.lines:
                    if text in line:
                        return line
            time.sleep(0.05)
        return None

    def all(self):
        with self._lock:
            return "\n".join(self.lines)


def network():
    return "127.%d.%d" % (random.randint(1, 250), random.randint(1, 250))


class Station:
    def __init__(self, station, cardhost, net):
        self.dir = tempfile.mkdtemp(prefix="orvane-http-")
        os.mkdir(os.path.join(self.dir, "data"))
        host = net + ".1"
        with open(os.path.join(self.dir, "OrvaneSystemDx.ini"), "w") as f:
            for number, serial in enumerate(SERIALS, 1):
                f.write("[card_%d]\naddress = %s;\nserialno = %d;\nmode = sat-b;\n"
                        "device = corax;\n\n" % (number, host, serial))
        arguments = [cardhost, "--listen", host, "--device", "corax"]
        for serial in SERIALS:
            arguments += ["--card", str(serial)]
        self.cardhost = subprocess.Popen(arguments, stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.cardhost_lines = Lines(self.cardhost.stdout)
        if not self.cardhost_lines.wait_for("listening", 20):
            raise RuntimeError("the card host did not start: " + self.cardhost_lines.all())
        environment = dict(os.environ, ORVANESYSTEM_CONFIG_DIR=self.dir,
                           ORVANESYSTEM_DATA_DIR=os.path.join(self.dir, "data"))
        self.process = subprocess.Popen([station, "--console", "--http", net + ".2:0"],
                                        env=environment, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.stderr = Lines(self.process.stderr)
        line = self.stderr.wait_for("status page at http://", 30)
        if not line:
            raise RuntimeError("no status page: " + self.stderr.all())
        self.url = line[line.index("http://"):]
        self.address, port = self.url[len("http://"):].rstrip("/").split(":")
        self.port = int(port)

    def get(self, path, timeout=10):
        connection = http.client.HTTPConnection(self.address, self.port, timeout=timeout)
        try:
            connection.request("GET", path)
            response = connection.getresponse()
            return response.status, response.read()
        finally:
            connection.close()

    def cards(self):
        status, body = self.get("/api/status")
        return json.loads(body)["cards"] if status == 200 else []

    def wait_cards(self, status_text, seconds=60):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            cards = self.cards()
            if cards and all(card["status"] == status_text for card in cards):
                return cards
            time.sleep(0.2)
        return None

    def script(self, line):
        self.cardhost.stdin.write((line + "\n").encode())
        self.cardhost.stdin.flush()

    def stop(self):
        """The station's exit status after SIGTERM."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        if self.cardhost.poll() is None:
            self.cardhost.terminate()
            self.cardhost.wait(timeout=30)
        return status


def page_test(station):
    import browser as headless
    check(station.wait_cards("Mode Running") is not None, "the cards run their mode")
    chromium = headless.Browser()
    try:
        chromium.open(station.url)
        chromium.wait_for("document.querySelector('#row-1').dataset.status === 'Mode Running'", 30)
        headings = chromium.evaluate("[...document.querySelectorAll('th')].map(t => t.textContent)")
        check(headings == HEADINGS, "the designed headings: %s" % headings)
        rows = chromium.evaluate("document.querySelectorAll('#rows tr').length")
        check(rows == 10, "ten rows: %s" % rows)
        row3 = chromium.evaluate("document.querySelector('#row-3').textContent")
        check(row3 == "", "a row without a card stays empty: %r" % row3)
        mark = chromium.evaluate(
            "getComputedStyle(document.querySelector('#row-1 .status'), '::before').content")
        check(mark not in (None, "", "none", "normal"), "the status has a mark besides its colour")
        cells = "[...document.querySelectorAll('#row-1 td')].map(t => t.textContent)"
        first = chromium.evaluate(cells)
        check(first[:7] == ["1", "sat-b", station.address[:-1] + "1", "corax", "1001",
                            "Mode Running", "0"], "card 1's row: %s" % first)

        station.script("start 1001 12345678 data")
        took = chromium.wait_for(
            "(() => { const c = %s; return c[5] === 'Busy Session' && c[6] === '12345678' && "
            "c[7] === 'Data'; })()" % cells, 20)
        print("page_change_seconds: %.2f" % took)

        check(station.stop() == 0, "the station ends with status 0")
        chromium.wait_for("document.querySelector('#banner').textContent.includes('stopped') || "
                          "document.querySelector('#banner').textContent.includes('not answering')",
                          20)
    finally:
        chromium.close()


def hostile_requests(address, port, count):
    big = b"x" * 100000
    kinds = [
        lambda s: s.sendall(b"\x16\x03\x01garbage\r\n\r\n"),
        lambda s: s.sendall(b"GET / HTTP/1.1\r\nHost: a\r\nX-Big: " + big + b"\r\n\r\n"),
        lambda s: s.sendall(b"GET /" + big + b" HTTP/1.1\r\n\r\n"),
        lambda s: s.sendall(b"POST /api/status HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + big),
        lambda s: s.sendall(b"GET /../../etc/passwd HTTP/1.1\r\n\r\n"),
        lambda s: [s.sendall(b"GET / HTTP/1.1\r\n" + b"X-Slow: 1\r\n" * 10 * (i + 1))
                   or time.sleep(0.1) for i in range(3)],  # slow, and never ends
    ]
    for i in range(count):
        try:
            with socket.create_connection((address, port), timeout=5) as s:
                kinds[i % len(kinds)](s)
                s.settimeout(0.05)
                try:
                    s.recv(256)
                except OSError:
                    pass
        except OSError:
            pass  # refused, reset or turned away: the point is what follows


def hostile_test(station):
    before = station.wait_cards("Mode Running")
    check(before is not None, "the cards run their mode")
    if before is None:
        return
    threads = [threading.Thread(target=hostile_requests, args=(station.address, station.port, 125))
               for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    deadline = time.monotonic() + 30
    status = None
    while time.monotonic() < deadline and status != 200:
        try:
            status, _ = station.get("/api/status", timeout=5)
        except OSError:
            time.sleep(0.2)
    check(status == 200, "the server answers after 1,000 hostile requests")
    after = station.cards()
    for old, new in zip(before, after):
        check(new["status"] == "Mode Running", "card %d still runs" % old["number"])
        check((new["link_ups"], new["link_downs"]) == (old["link_ups"], old["link_downs"]),
              "card %d kept its link" % old["number"])
    check(station.get("/metrics")[0] == 200, "the metrics answer")
    check(station.process.poll() is None, "the station runs")
    check(station.stop() == 0, "the station ends with status 0")


def port_in_use_test(station_binary, net):
    holder = socket.socket()
    holder.bind((net + ".3", 0))
    holder.listen()
    port = holder.getsockname()[1]
    directory = tempfile.mkdtemp(prefix="orvane-http-")
    environment = dict(os.environ, ORVANESYSTEM_CONFIG_DIR=directory,
                       ORVANESYSTEM_DATA_DIR=directory)
    result = subprocess.run([station_binary, "--console", "--http", "%s.3:%d" % (net, port)],
                            env=environment, stdin=subprocess.DEVNULL, capture_output=True,
                            timeout=60)
    holder.close()
    # Off a terminal console mode writes event lines: the refusal is an error
    # line on standard output then; on a terminal it goes to standard error.
    message = (result.stdout + result.stderr).decode(errors="replace")
    check(result.returncode == 1, "exit status 1, not %d" % result.returncode)
    check("cannot listen on %s.3:%d: Address already in use" % (net, port) in message,
          "a clear message: %r" % message)


def main():
    station_binary, cardhost_binary, which = sys.argv[1:4]
    net = network()
    if which == "port-in-use":
        port_in_use_test(station_binary, net)
    else:
        station = Station(station_binary, cardhost_binary, net)
        try:
            {"page": page_test, "hostile": hostile_test}[which](station)
        finally:
            station.stop()
            if station.stderr.all():
                print(station.stderr.all(), file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
