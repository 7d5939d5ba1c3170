#!/usr/bin/python3
"""A line of four simulated stations under vantor-cli serve, run as a plant runs it: test
equipment starts station 2 for a unit over the command channel and waits for its result, an
operator scans a unit's serial into station 3's tile in a headless Chromium, and both runs
carry their unit, operator and order. The helpers are serve_test.py's.

usage: serve_scan_test.py VANTOR_CLI DEMO_IMAGE ARTEFACT_FOLDER
"""
import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serve_helpers import (ARTEFACTS, CLI, QUICK, Server, free_port,  # noqa: E402
                           request, run_tests, start_browser, wait_for)
from serve_api_test import Channel  # noqa: E402


class UnitsOfALine(unittest.TestCase):
    def setUp(self):
        self.ate = free_port()
        self.server = Server("--ate-listen", "127.0.0.1:%d" % self.ate, "--require-unit-serial",
                             ports=QUICK).wait_ready()
        self.browser = None

    def tearDown(self):
        if self.browser is not None:
            self.browser.quit()
        self.assertEqual(self.server.end(), 143)

    def equipment_runs_station_2(self):
        channel = Channel(self.ate)
        try:
            self.assertRegex(channel.ask("START 2 SN-ATE-0002 operator=ate-7 order=WO-118"),
                             r"^OK 2 run=[0-9a-f-]{36}$")
            self.assertRegex(channel.ask("WAIT 2"), r"^RESULT 2 0 success [0-9.]+s$")
        finally:
            channel.close()

    def test_equipment_and_a_scanner_start_their_stations(self):
        self.equipment_runs_station_2()
        self.browser = start_browser()
        if self.browser is None:
            self.skipTest("Chromium cannot run here")
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
        browser = self.browser
        browser.get(self.server.base + "/")
        wait_for(lambda: len(browser.find_elements(By.CSS_SELECTOR, ".tile")) == 4, "four tiles")
        # The operator's name is set once in this browser, and kept over a reload.
        browser.find_element(By.ID, "operator").send_keys("ana", Keys.ENTER)
        browser.refresh()
        wait_for(lambda: browser.find_element(By.ID, "operator").get_attribute("value") == "ana",
                 "the operator's name kept by the browser")
        wait_for(lambda: len(browser.find_elements(By.CSS_SELECTOR, ".tile")) == 4,
                 "the tiles again")
        # A start without a serial is refused on this line, and the page says why.
        browser.find_element(By.CSS_SELECTOR, "#station-4 button.start").click()
        wait_for(lambda: "--require-unit-serial" in browser.find_element(By.ID, "message").text,
                 "the page to say why station 4 did not start")
        # The scanner types the serial and Enter into station 3's field.
        field = browser.find_element(By.ID, "serial-3")
        field.send_keys("SN-SCAN-0003", Keys.ENTER)
        tile = browser.find_element(By.ID, "station-3")
        wait_for(lambda: tile.get_attribute("data-state") == "success", "station 3 to pass")
        self.assertEqual(field.get_attribute("value"), "")
        self.assertEqual(tile.find_element(By.CSS_SELECTOR, ".unit").text, "SN-SCAN-0003 · ana")
        browser.save_screenshot(os.path.join(ARTEFACTS, "serve_scanned.png"))
        stations = self.server.stations()
        self.assertEqual([(s["state"], s["unit_serial"], s["operator"]) for s in stations],
                         [("idle", None, None), ("success", "SN-ATE-0002", "ate-7"),
                          ("success", "SN-SCAN-0003", "ana"), ("idle", None, None)])
        status, run = request(self.server.base + "/api/runs/" + stations[2]["run_id"])
        self.assertEqual((status, run["done"], run["record"]["result"]), (200, True, "success"))
        # The history finds each unit's run, with who ran it and for which order.
        for serial, operator, order in (("SN-ATE-0002", "ate-7", "WO-118"),
                                        ("SN-SCAN-0003", "ana", None)):
            found = self.history("--unit-serial", serial)
            self.assertEqual([(r["port"], r["operator"], r["order"]) for r in found],
                             [(QUICK[1] if serial == "SN-ATE-0002" else QUICK[2], operator, order)])
        self.assertEqual(len(self.history("--operator", "ana")), 1)
        self.assertEqual(len(self.history("--order", "WO-118")), 1)
        status, runs = request(self.server.base + "/api/history")
        self.assertEqual(sorted(r["unit_serial"] for r in runs), ["SN-ATE-0002", "SN-SCAN-0003"])
        # Each station names its run's record: equipment finds the record of the run it started.
        self.assertEqual({s["record_id"]: s["unit_serial"] for s in stations if s["record_id"]},
                         {r["id"]: r["unit_serial"] for r in runs})

    def history(self, *filters):
        listing = subprocess.run([CLI, "history", "--history", self.server.history, "--json"] +
                                 list(filters), stdout=subprocess.PIPE, check=True, text=True)
        return [json.loads(line) for line in listing.stdout.splitlines()]


if __name__ == "__main__":
    sys.exit(run_tests())
