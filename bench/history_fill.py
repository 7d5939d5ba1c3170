#!/usr/bin/python3
"""Fills a station's SQLite history with made-up runs, for the history query bench.

usage: history_fill.py VANTOR_CLI HISTORY_FILE [RUNS]

vantor-cli itself makes the file and its schema and records one real run of the demo image on
the simulated drive (virtual time); that run's record is the pattern of the others. RUNS
(100000 by default) runs in all: 8 stations of 4 ports each, a year of days, 20 firmware
images, 95 % success, 4 % failed and 1 % interrupted, each with one image; a failed run sent
nothing (sent_sha256 NULL). The same RUNS give the same rows (seeded), ids apart.
"""
import hashlib
import os
import random
import sqlite3
import subprocess
import sys
import tempfile
import uuid
from datetime import datetime, timedelta, timezone

DEMO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "demo.orb")


def first_run(cli, path):
    """Has vantor-cli make the history with one real run in it."""
    with tempfile.TemporaryDirectory() as folder:
        environment = dict(os.environ, VANTOR_REGISTRY=os.path.join(folder, "registry"),
                           XDG_DATA_HOME=folder)
        subprocess.run([cli, "download", DEMO, "--port", "sim", "--virtual-time", "--quiet",
                        "--history", path], env=environment, check=True)


def fill(path, runs):
    database = sqlite3.connect(path)
    columns = [row[1] for row in database.execute("PRAGMA table_info(runs)")]
    pattern = dict(zip(columns, database.execute("SELECT * FROM runs").fetchone()))
    image = database.execute("SELECT path, size_bytes, declared_packets FROM run_images").fetchone()
    random.seed(runs)
    images = [hashlib.sha256(b"firmware %d" % n).hexdigest() for n in range(20)]
    start = datetime(2026, 1, 1, tzinfo=timezone.utc)
    run_rows, image_rows = [], []
    for number in range(runs - 1):
        row = dict(pattern)
        row["id"] = str(uuid.UUID(int=random.getrandbits(128), version=4))
        began = start + timedelta(seconds=random.randrange(365 * 86400),
                                  milliseconds=random.randrange(1000))
        row["started"] = began.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (began.microsecond // 1000)
        ended = began + timedelta(seconds=7)
        row["ended"] = ended.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (ended.microsecond // 1000)
        row["host"] = "station-%d" % random.randrange(1, 9)
        row["port"] = "COM%d" % random.randrange(1, 5)
        draw = random.random()
        row["result"] = "success" if draw < 0.95 else "failed" if draw < 0.99 else "interrupted"
        row["exit_status"] = 0 if row["result"] == "success" else 106 if draw < 0.99 else 130
        row["record"] = pattern["record"].replace(pattern["id"], row["id"])
        run_rows.append(tuple(row[column] for column in columns))
        digest = images[min(int(random.expovariate(0.3)), 19)]
        sent = digest if row["result"] == "success" else None
        image_rows.append((row["id"], 1, image[0], image[1], digest, image[2],
                           image[2] if sent else 0, sent))
    marks = ", ".join("?" * len(columns))
    with database:
        database.executemany("INSERT INTO runs VALUES (%s)" % marks, run_rows)
        database.executemany("INSERT INTO run_images (run_id, position, path, size_bytes, sha256,"
                             " declared_packets, packets_sent, sent_sha256)"
                             " VALUES (?, ?, ?, ?, ?, ?, ?, ?)", image_rows)
    database.close()


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    cli, path = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) == 4 else 100000
    if os.path.exists(path):
        sys.exit("history_fill.py: %s is there already" % path)
    first_run(cli, path)
    fill(path, runs)
    print("%s: %d runs" % (path, runs))


if __name__ == "__main__":
    main()
