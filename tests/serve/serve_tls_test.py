#!/usr/bin/python3
"""vantor-cli serve over HTTPS and behind a TLS proxy, started for real against simulated
drives: a certificate made at test time, real TLS clients (curl and Python's ssl), the same
bounds on requests and on the live stream as over plain HTTP, the origins a proxy presents,
and the token kept off plain HTTP beyond this machine.

usage: serve_tls_test.py VANTOR_CLI DEMO_IMAGE ARTEFACT_FOLDER
"""
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

from serve_helpers import (CLI, IMAGE, WAIT_S, Server, free_port, raw_status, request,
                           run_tests, wait_for)

TOKEN = "k3y-of-the-line-0123456789"


def make_certificate(folder, name):
    """A self-signed certificate for 127.0.0.1 and localhost, and its key, the owner's only."""
    certificate = os.path.join(folder, name + ".pem")
    key = os.path.join(folder, name + ".key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out",
                    certificate, "-days", "2", "-subj", "/CN=localhost", "-addext",
                    "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                   check=True, capture_output=True, timeout=WAIT_S)
    os.chmod(key, 0o600)
    return certificate, key


def https_server(certificate, key, *options, host="127.0.0.1"):
    """A server of one simulated station on HTTPS at `host`, with the TLS context that trusts
    it; its clients reach it on 127.0.0.1."""
    port = free_port()
    server = Server("--tls-cert", certificate, "--tls-key", key,
                    "--listen", "%s:%d" % (host, port), *options, ports=["sim"])
    server.port = port
    server.base = "https://127.0.0.1:%d" % port
    server.context = ssl.create_default_context(cafile=certificate)
    return server


def refusal(*options):
    """The exit status and the message of a serve that is not to start."""
    run = subprocess.run([CLI, "serve", IMAGE, "--port", "sim", "--no-history"] + list(options),
                         stdin=subprocess.DEVNULL, capture_output=True, timeout=WAIT_S)
    return run.returncode, run.stderr.decode(errors="replace")


class WithCertificates(unittest.TestCase):
    """A folder of certificates made for the test, removed after it."""

    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.certificate, self.key = make_certificate(self.folder, "line-pc")
        self.token = os.path.join(self.folder, "token")
        with open(self.token, "w") as file:
            file.write(TOKEN + "\n")
        os.chmod(self.token, 0o600)

    def tearDown(self):
        shutil.rmtree(self.folder)


class OverTls(WithCertificates):
    """HTTPS as a client that checks the certificate sees it, under the rules of plain HTTP."""

    def test_a_checking_client_reads_and_runs_the_line(self):
        server = https_server(self.certificate, self.key).wait_ready()
        port = server.port
        try:
            curl = subprocess.run(["curl", "-sS", "--fail", "--cacert", self.certificate,
                                   "https://localhost:%d/api/stations" % port],
                                  capture_output=True, timeout=WAIT_S)
            self.assertEqual(curl.returncode, 0, curl.stderr)
            self.assertIn(b'"port":"sim"', curl.stdout)
            # The page's own origin is https: a page of the same host served on plain HTTP is
            # another origin.
            plain_page = {"Origin": "http://127.0.0.1:%d" % port}
            self.assertEqual(request(server.base + "/api/start", "POST", plain_page,
                                     context=server.context)[0], 403)
            own_page = {"Origin": "https://127.0.0.1:%d" % port}
            status, body = request(server.base + "/api/start", "POST", own_page,
                                   context=server.context)
            self.assertEqual(status, 200, body)
            wait_for(lambda: server.stations()[0]["state"] == "success", "the station to pass")
            head = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port
            self.assertEqual(raw_status(port, head, server.context)[0], 200)
            # A plain HTTP client gets no answer of HTTP from the HTTPS port.
            with socket.create_connection(("127.0.0.1", port), timeout=WAIT_S) as plain:
                plain.sendall(head.encode())
                try:
                    answer = plain.recv(64)
                except ConnectionResetError:
                    answer = b""
                self.assertFalse(answer.startswith(b"HTTP/"), answer)
        finally:
            self.assertEqual(server.end(), 143)

    def test_the_door_holds_slow_and_hostile_clients_over_tls(self):
        server = https_server(self.certificate, self.key).wait_ready()
        port, context = server.port, server.context
        host = "Host: 127.0.0.1:%d\r\n" % port
        held = []
        try:
            # Sixteen clients through their handshake, then a byte a second of their head.
            slow = [context.wrap_socket(socket.create_connection(("127.0.0.1", port)),
                                        server_hostname="127.0.0.1") for _ in range(16)]
            held += slow
            # And some that never begin their handshake.
            held += [socket.create_connection(("127.0.0.1", port)) for _ in range(4)]
            head = "GET /api/stations HTTP/1.1\r\n" + host + "X-Slow: "
            took = []
            for second in range(2):
                for connection in slow:
                    connection.send(head[second].encode())
                started = time.monotonic()
                self.assertEqual(len(server.stations()), 1)
                took.append(time.monotonic() - started)
                time.sleep(1)
            print("GET /api/stations over TLS beside 16 slow clients: %s s" %
                  ", ".join("%.3f" % t for t in took), file=sys.stderr)
            # The deadline holds for the whole head, handshake included.
            for connection in slow:
                connection.settimeout(WAIT_S)
                self.assertTrue(connection.recv(64).startswith(b"HTTP/1.1 408 "))
            for connection in held[16:]:
                connection.settimeout(WAIT_S)
                self.assertEqual(connection.recv(64), b"")
            self.assert_hostile_requests_refused(port, host, context)
        finally:
            for connection in held:
                connection.close()
            self.assertEqual(server.end(), 143)

    def assert_hostile_requests_refused(self, port, host, context):
        twice = "GET /api/stations HTTP/1.1\r\n%sHost: evil.example\r\n\r\n" % host
        self.assertEqual(raw_status(port, twice, context)[0], 400)
        big = "GET / HTTP/1.1\r\n%sX-Big: %s\r\n\r\n" % (host, "b" * 8192)
        self.assertEqual(raw_status(port, big, context)[0], 431)
        many = "GET / HTTP/1.1\r\n%s%s\r\n" % (host, "X-N: 1\r\n" * 2000)
        self.assertEqual(raw_status(port, many, context)[0], 431)
        foreign = "GET /api/events HTTP/1.1\r\n%sSec-Fetch-Site: cross-site\r\n\r\n" % host
        self.assertEqual(raw_status(port, foreign, context)[0], 403)
        # Four streams of one address; the fifth is turned away, the own page's is not.
        streams = []
        try:
            for _ in range(4):
                stream = context.wrap_socket(socket.create_connection(("127.0.0.1", port)),
                                             server_hostname="127.0.0.1")
                stream.sendall(("GET /api/events HTTP/1.1\r\n" + host + "\r\n").encode())
                self.assertTrue(stream.recv(64).startswith(b"HTTP/1.1 200 "))
                streams.append(stream)
            fifth = "GET /api/events HTTP/1.1\r\n" + host + "\r\n"
            self.assertEqual(raw_status(port, fifth, context)[0], 503)
            own = "GET /api/events HTTP/1.1\r\n%sSec-Fetch-Site: same-origin\r\n\r\n" % host
            self.assertEqual(raw_status(port, own, context)[0], 200)
        finally:
            for stream in streams:
                stream.close()

    def test_a_certificate_or_key_that_cannot_serve_is_a_usage_error(self):
        listen = ["--listen", "127.0.0.1:%d" % free_port()]
        other_certificate, other_key = make_certificate(self.folder, "other")
        missing = os.path.join(self.folder, "missing.pem")
        cases = [
            (["--tls-cert", missing, "--tls-key", self.key], "--tls-cert"),
            (["--tls-cert", IMAGE, "--tls-key", self.key], "not a certificate in PEM form"),
            (["--tls-cert", self.certificate, "--tls-key", other_key], "not the private key"),
            (["--tls-cert", self.certificate], "--tls-cert needs --tls-key"),
            (["--tls-key", self.key], "--tls-key needs --tls-cert"),
        ]
        for options, said in cases:
            with self.subTest(options=options):
                status, message = refusal(*(listen + options))
                self.assertEqual(status, 64, message)
                self.assertIn(said, message)
        os.chmod(other_key, 0o644)
        status, message = refusal(*(listen + ["--tls-cert", other_certificate,
                                              "--tls-key", other_key]))
        self.assertEqual(status, 64, message)
        self.assertIn("chmod 600", message)


class BehindAProxy(unittest.TestCase):
    """A proxy presents the server under an origin of its own; only the origins it is told of
    may act through it."""

    def test_the_presented_origin_may_act_and_no_other(self):
        told = Server("--public-origin", "https://Proxy-Name:443/", ports=["sim"]).wait_ready()
        untold = Server(ports=["sim"]).wait_ready()
        proxy = {"Origin": "https://proxy-name"}
        try:
            self.assertEqual(request(untold.base + "/api/start", "POST", proxy)[0], 403)
            other = {"Origin": "https://other-name"}
            self.assertEqual(request(told.base + "/api/start", "POST", other)[0], 403)
            status, body = request(told.base + "/api/start", "POST", proxy)
            self.assertEqual(status, 200, body)
            # The proxy may pass its own host on: it names this server too.
            named = {"Host": "proxy-name", "Origin": "https://proxy-name"}
            self.assertEqual(request(told.base + "/api/stations", headers=named)[0], 200)
            self.assertEqual(request(untold.base + "/api/stations", headers=named)[0], 403)
            stream = ("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                      "Origin: https://proxy-name\r\n\r\n")
            self.assertEqual(raw_status(told.port, stream % told.port)[0], 200)
            self.assertEqual(raw_status(untold.port, stream % untold.port)[0], 403)
        finally:
            self.assertEqual(told.end(), 143)
            self.assertEqual(untold.end(), 143)

    def test_an_origin_that_is_not_one_is_a_usage_error(self):
        for wrong in ("line-pc", "ftp://line-pc", "https://line-pc/dashboard",
                      "https://user@line-pc", "https://line-pc:0", "https://"):
            with self.subTest(origin=wrong):
                status, message = refusal("--public-origin", wrong)
                self.assertEqual(status, 64, message)
                self.assertIn("--public-origin", message)


class TokenOffPlainHttp(WithCertificates):
    """Beyond this machine the token travels only inside TLS, unless the operator says
    otherwise."""

    def test_plain_http_beyond_loopback_needs_the_operators_word(self):
        status, message = refusal("--listen", "0.0.0.0:%d" % free_port(),
                                  "--token-file", self.token)
        self.assertEqual(status, 64, message)
        self.assertIn("--allow-plain-token", message)

    def test_https_beyond_loopback_asks_for_the_token(self):
        server = https_server(self.certificate, self.key, "--token-file", self.token,
                              host="0.0.0.0")
        try:
            server.wait_ready()
            self.assertEqual(request(server.base + "/api/stations",
                                     context=server.context)[0], 401)
            right = {"Authorization": "Bearer " + TOKEN}
            status, stations = request(server.base + "/api/stations", headers=right,
                                       context=server.context)
            self.assertEqual(status, 200)
            self.assertEqual(stations[0]["port"], "sim")
        finally:
            self.assertEqual(server.end(signal.SIGINT), 130)


if __name__ == "__main__":
    sys.exit(run_tests())
