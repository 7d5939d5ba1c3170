#!/usr/bin/python3
"""What the tests of vantor-cli serve share: a server started for real against simulated drives,
plain and TLS clients of its API, and the runner that keeps the temporary folder clean.

The test scripts that import it take VANTOR_CLI DEMO_IMAGE ARTEFACT_FOLDER.
"""
import itertools
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

CLI, IMAGE, ARTEFACTS = sys.argv[1:4]
# Every bound below is a bound on a wait, never a measured time.
WAIT_S = 90
# Four quick stations and one slow one (each packet takes 4 s), to be stopped halfway.
QUICK = ["sim", "sim:ident=0x2083", "sim:address=2", "sim:address=3"]
SLOW = "sim:address=4,process-ms=4000"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def request(url, method="GET", headers=None, data=None, context=None):
    """The status and the JSON (or text) body, an error status included; `context` is the TLS
    context of an https URL."""
    if method == "POST" and data is None:
        data = b""
    call = urllib.request.Request(url, method=method, headers=headers or {}, data=data)
    try:
        with urllib.request.urlopen(call, timeout=WAIT_S, context=context) as answer:
            status, body, kind = answer.status, answer.read(), answer.headers.get_content_type()
    except urllib.error.HTTPError as error:
        status, body, kind = error.code, error.read(), error.headers.get_content_type()
    return status, json.loads(body) if kind == "application/json" else body.decode()


def stream_status(port):
    """The status a new client of the live stream gets; it leaves at once."""
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT_S) as client:
        client.sendall(("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port)
                       .encode())
        status_line = client.makefile("rb").readline().decode()
    return int(status_line.split()[1])


def first_state(port, headers=None):
    """The id and the data of the live stream's first event, its retry, and its name."""
    call = urllib.request.Request("http://127.0.0.1:%d/api/events" % port, headers=headers or {})
    fields = {}
    with urllib.request.urlopen(call, timeout=WAIT_S) as stream:
        assert stream.headers.get_content_type() == "text/event-stream"
        for line in iter(lambda: stream.readline().decode().rstrip("\n"), ""):
            name, _, value = line.partition(": ")
            fields[name] = value
    fields["data"] = json.loads(fields["data"])
    return fields


def wait_for(condition, what):
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("gave up waiting for " + what)


class Server:
    def __init__(self, *options, ports=None):
        self.port = free_port()
        arguments = [CLI, "serve", IMAGE]
        for port in ports or QUICK + [SLOW]:
            arguments += ["--port", port]
        arguments += list(options)
        if not any(option.startswith("--listen") for option in options):
            arguments += ["--listen", "127.0.0.1:%d" % self.port]
        # The stations record their runs in a history of this test's own.
        self.history = os.path.join(tempfile.mkdtemp(), "history.sqlite")
        environment = dict(os.environ, VANTOR_HISTORY=self.history)
        self.process = subprocess.Popen(arguments, stdin=subprocess.DEVNULL, env=environment,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.base = "http://127.0.0.1:%d" % self.port
        self.context = None  # an HTTPS server's: the TLS context its clients trust it by

    def wait_ready(self, headers=None):
        def answers():
            if self.process.poll() is not None:
                raise AssertionError("serve ended: " + self.process.stderr.read().decode())
            try:
                return request(self.base + "/api/stations", headers=headers,
                               context=self.context)[0] in (200, 401)
            except OSError:
                return False
        wait_for(answers, "the server to listen")
        return self

    def stations(self):
        status, body = request(self.base + "/api/stations", context=self.context)
        assert status == 200, body
        return body

    def end(self, sig=signal.SIGTERM):
        """The exit status, after `sig` (None: the server is to end by itself)."""
        if sig is not None and self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            status = self.process.wait(timeout=WAIT_S)
            # What it said, for a failure's sake (a sanitizer's report among it).
            sys.stderr.write(self.process.stderr.read().decode(errors="replace"))
            return status
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
            self.process.stdout.close()
            self.process.stderr.close()
            shutil.rmtree(os.path.dirname(self.history), ignore_errors=True)


def start_browser():
    """A headless Chromium, or None where it cannot run here."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return None
    driver = shutil.which("chromedriver")
    if driver is None:
        return None
    options = webdriver.ChromeOptions()
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--window-size=1600,1000", "--no-proxy-server"):
        options.add_argument(flag)
    if shutil.which("chromium"):
        options.binary_location = shutil.which("chromium")
    try:
        return webdriver.Chrome(service=Service(driver), options=options)
    except Exception as error:  # Chromium missing or unable to start here
        print("no browser: %s" % error, file=sys.stderr)
        return None


def raw_status(port, text, context=None):
    """The status line's code and the head of what the server answers `text`, sent at once
    (through TLS with `context`)."""
    plain = socket.create_connection(("127.0.0.1", port), timeout=WAIT_S)
    with context.wrap_socket(plain, server_hostname="127.0.0.1") if context else plain as client:
        client.sendall(text.encode())
        answer = client.makefile("rb")
        lines = iter(lambda: answer.readline().decode(errors="replace"), "")
        head = "".join(itertools.takewhile(lambda line: line.strip(), lines))
    return int(head.split()[1]), head


def run_tests():
    """Runs the calling script's tests; its exit status."""
    import __main__
    # Chromium leaves folders of its own in the temporary folder; this test's go with it.
    scratch = tempfile.mkdtemp(prefix="vantor-serve-test-")
    os.environ["TMPDIR"] = scratch
    tempfile.tempdir = scratch
    try:
        result = unittest.main(module=__main__, argv=sys.argv[:1] + sys.argv[4:], verbosity=2,
                               exit=False).result
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0 if result.wasSuccessful() else 1
