#!/usr/bin/env python3
"""The reports that the built vantor-cli writes against docs/report.schema.json, validated with
Debian's python3-jsonschema: a single run that succeeds, one that fails on the drive's hardware
revision, and a production line of two stations. Each report must name the image by the
SHA-256 of the file's bytes, and a report with that digest taken out must fail the schema.

usage: report_schema_test.py VANTOR_CLI SCHEMA IMAGE
Exits 77 (skipped) when python3-jsonschema is not installed."""
import copy
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

try:
    import jsonschema
except ImportError:
    print("python3-jsonschema is not installed (scripts/install-deps.sh)")
    sys.exit(77)

RUN_DEADLINE_S = 120


def run_cli(cli, arguments, folder):
    # A settings store that does not exist: the port map is the default one, and every run
    # here names a simulated drive.
    environment = dict(os.environ, VANTOR_REGISTRY=os.path.join(folder, "no-registry"))
    return subprocess.run([cli] + arguments, env=environment, capture_output=True,
                          timeout=RUN_DEADLINE_S, check=False).returncode


def last_event(cli, arguments, folder):
    """The last JSON event of a run with --json: its summary, or a line's line-summary."""
    environment = dict(os.environ, VANTOR_REGISTRY=os.path.join(folder, "no-registry"))
    run = subprocess.run([cli] + arguments + ["--json"], env=environment, capture_output=True,
                         timeout=RUN_DEADLINE_S, check=False)
    events = [json.loads(line) for line in run.stdout.decode().splitlines() if line]
    records = [event for event in events if event["event"] in ("summary", "line-summary")]
    return records[-1] if records else {}


def read_report(path):
    with open(path, encoding="utf-8") as report:
        return json.load(report)


def main():
    cli, schema_path, source_image = sys.argv[1:4]
    with open(schema_path, encoding="utf-8") as schema_file:
        schema = json.load(schema_file)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    failures = []

    def expect(condition, text):
        if not condition:
            failures.append(text)

    def valid(name, report):
        errors = sorted(validator.iter_errors(report), key=lambda error: list(error.path))
        for error in errors:
            # Under oneOf the cause is in the context: what each alternative missed.
            for cause in error.context or [error]:
                failures.append(f"{name}: {list(cause.absolute_path)}: {cause.message[:200]}")
        return not errors

    folder = tempfile.mkdtemp(prefix="vantor-report-schema-")
    try:
        image = os.path.join(folder, "fw.orb")
        shutil.copyfile(source_image, image)
        with open(image, "rb") as image_file:
            digest = hashlib.sha256(image_file.read()).hexdigest()
        size = os.path.getsize(image)

        cases = [
            ("single run", ["--port", "sim"], 0),
            ("revision mismatch", ["--port", "sim:ident=0x1083"], 106),
            ("unit named", ["--port", "sim", "--unit-serial", "SN 12345", "--operator", "Jane Doe",
                            "--order", "WO-7", "--station-label", "bench 4"], 0),
            ("line", ["--port", "sim", "--port", "sim:ident=0x2083"], 0),
        ]
        for name, ports, expected_status in cases:
            report_path = os.path.join(folder, name.replace(" ", "-") + ".json")
            status = run_cli(cli, ["download", image] + ports +
                             ["--virtual-time", "--quiet", "--report", report_path], folder)
            expect(status == expected_status, f"{name}: exit status {status}")
            report = read_report(report_path)
            # The closing event of --json is the same record: summary, or line-summary.
            event = last_event(cli, ["download", image] + ports + ["--virtual-time"], folder)
            expect(event.get("event") == ("line-summary" if "stations" in report else "summary"),
                   f"{name}: closing event {event.get('event')}")
            valid(name + " --json", event)
            if not valid(name, report):
                continue
            records = ([attempt["record"] for station in report["stations"]
                        for attempt in station["attempts"]] if "stations" in report else [report])
            images = [record["images"][0] for record in records]
            if "stations" in report:
                images.append(report["images"][0])
                expect(report["host"] != "", f"{name}: no host")
            for entry in images:
                expect(entry["sha256"] == digest, f"{name}: sha256 {entry['sha256']}")
                expect(entry["size_bytes"] == size, f"{name}: size {entry['size_bytes']}")
                expect(entry["path"] == image, f"{name}: path {entry['path']}")
            for record in records:
                expect(record["tool"] == "vantor-cli" and record["baud"] == 9600,
                       f"{name}: tool or baud")
                expect(record["host"] != "" and record["device"] is not None,
                       f"{name}: no host or device")

            # The schema holds the digest to be there: taken out, the report no longer passes.
            damaged = copy.deepcopy(report)
            target = damaged["stations"][0]["attempts"][0]["record"] if "stations" in damaged \
                else damaged
            del target["images"][0]["sha256"]
            expect(not validator.is_valid(damaged), f"{name}: passes without its sha256")
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
