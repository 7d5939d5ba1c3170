#!/usr/bin/python3
"""vantor-cli serve as test equipment meets it: one station at a time, a start that names the
unit and answers its run's id, and that run's result waited for. The real program against
simulated drives, over real HTTP; the helpers are serve_test.py's.

usage: serve_api_test.py VANTOR_CLI DEMO_IMAGE ARTEFACT_FOLDER
"""
import json
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serve_test import QUICK, Server, request  # noqa: E402

UNIT = {"unit_serial": "SN12345", "operator": "ana", "order": "WO-118"}


def start(base, number, body=None):
    data = None if body is None else (body if isinstance(body, bytes) else json.dumps(body).encode())
    return request(base + "/api/stations/%d/start" % number, "POST",
                   {"Content-Type": "application/json"}, data)


class OneUnitAtATime(unittest.TestCase):
    """A station's object, a start for one unit, and its run waited for."""

    def setUp(self):
        self.server = Server(ports=QUICK).wait_ready()
        self.base = self.server.base

    def tearDown(self):
        self.assertEqual(self.server.end(), 143)

    def test_a_start_with_a_wrong_body_starts_nothing(self):
        for body, words in ((b"SN1", "JSON object"), ({"unit": "SN1"}, '"unit" is not a field'),
                            ({"unit_serial": 12345}, "unit_serial: a string"),
                            ({"operator": "x" * 65}, "operator: 1 to 64"),
                            ({"order": "WO\n1"}, "control character"),
                            ([UNIT], "JSON object")):
            status, answer = start(self.base, 2, body)
            self.assertEqual(status, 400, body)
            self.assertIn(words, answer["error"])
        status, answer = request(self.base + "/api/start", "POST", data=b'{"unit_serial":"A"}')
        self.assertEqual(status, 400, answer)
        self.assertIn("names one unit", answer["error"])
        self.assertEqual([s["state"] for s in self.server.stations()], ["idle"] * 4)
        self.assertEqual(request(self.base + "/api/stations/5")[0], 404)
        self.assertEqual(request(self.base + "/api/stations/0")[0], 404)
        self.assertEqual(request(self.base + "/api/runs/0000")[0], 404)
        self.assertEqual(request(self.base + "/api/runs/0000?wait=301")[0], 400)

    def test_start_one_unit_and_wait_for_its_result(self):
        status, station = request(self.base + "/api/stations/2")
        self.assertEqual(status, 200, station)
        self.assertEqual((station["number"], station["state"], station["run_id"]), (2, "idle", None))
        runs = []
        for serial in ("SN12345", "SN12346"):
            status, run = start(self.base, 2, dict(UNIT, unit_serial=serial))
            self.assertEqual(status, 200, run)
            # The new run alone: its station, nothing of the run before.
            self.assertEqual((run["done"], run["record"]), (False, None))
            self.assertEqual(run["station"]["number"], 2)
            self.assertEqual(run["station"]["bytes_sent"], 0)
            self.assertEqual(run["station"]["unit_serial"], serial)
            status, ended = request(self.base + "/api/runs/%s?wait=120" % run["id"])
            self.assertEqual(status, 200, ended)
            self.assertTrue(ended["done"], ended)
            self.assertEqual(ended["station"]["state"], "success")
            self.assertEqual(ended["record"]["result"], "success")
            self.assertEqual((ended["station"]["operator"], ended["station"]["order"]),
                             ("ana", "WO-118"))
            runs.append(run["id"])
        self.assertNotEqual(runs[0], runs[1])
        # The first run is still there, as it ended; the station names its last.
        status, first = request(self.base + "/api/runs/" + runs[0])
        self.assertEqual((status, first["station"]["unit_serial"]), (200, "SN12345"))
        stations = self.server.stations()
        self.assertEqual(stations[1]["run_id"], runs[1])
        self.assertEqual([s["state"] for s in stations], ["idle", "success", "idle", "idle"])
        # A start without a body is still one.
        status, run = request(self.base + "/api/stations/3/start", "POST")
        self.assertEqual((status, run["station"]["unit_serial"]), (200, None))
        self.assertTrue(request(self.base + "/api/runs/%s?wait=120" % run["id"])[1]["done"])
        status, history = request(self.base + "/api/history")
        self.assertEqual(status, 200, history)
        self.assertEqual(len(history), 3)
        for record in history:
            self.assertIn("download", record["command"])
            self.assertTrue(record["user"])
            self.assertEqual(record["hardware_revision"], 2)
            self.assertEqual(record["warnings"]["missing_responses"], 0)


class WithoutHistory(unittest.TestCase):
    def test_no_history_is_shown(self):
        server = Server("--no-history", ports=["sim"]).wait_ready()
        try:
            status, run = start(server.base, 1)
            self.assertEqual(status, 200, run)
            status, ended = request(server.base + "/api/runs/%s?wait=120" % run["id"])
            self.assertEqual((status, ended["station"]["state"]), (200, "success"))
            status, answer = request(server.base + "/api/history")
            self.assertEqual(status, 404, answer)
            self.assertIn("--no-history", answer["error"])
        finally:
            self.assertEqual(server.end(), 143)


if __name__ == "__main__":
    scratch = tempfile.mkdtemp(prefix="vantor-serve-test-")
    os.environ["TMPDIR"] = scratch
    tempfile.tempdir = scratch
    try:
        result = unittest.main(argv=sys.argv[:1] + sys.argv[4:], verbosity=2, exit=False).result
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    sys.exit(0 if result.wasSuccessful() else 1)
