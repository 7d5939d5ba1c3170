#!/usr/bin/python3
"""How long each vantor-cli history command takes against the same question put to sqlite3.

usage: history_queries.py VANTOR_CLI HISTORY_FILE [REPEATS]

HISTORY_FILE is a history filled by history_fill.py (100,000 runs). Each command runs REPEATS
times (5 by default), its output thrown away, and the median wall time is shown with the
peak memory of the run; the sqlite3 shell then answers the same question with the SQL a
person would write (the same rows, in the same order, in its own -json, -csv or list output)
and the ratio of the two is shown.
"""
import os
import statistics
import subprocess
import sys
import time

NEVER = "0" * 64

COLUMNS = ("r.id, r.started, r.ended, r.host, r.user_name, r.tool_version, r.command, r.port,"
           " r.device, r.usb_serial, r.baud, r.result, r.exit_status, r.ident_word,"
           " r.hardware_revision, r.drive_version, r.address, r.packets_sent,"
           " r.protected_memory_warnings, r.missing_responses, r.unrecognised_responses,"
           " r.invalid_command_responses, r.resynchronisations, r.origin")
IMAGES = "i.path, i.size_bytes, i.sha256, i.declared_packets, i.packets_sent, i.sent_sha256"


def runs_sql(where="", limit=""):
    return ("SELECT %s, %s FROM runs r LEFT JOIN run_images i ON i.run_id = r.id %s"
            " ORDER BY r.started DESC, r.id, i.position %s;" % (COLUMNS, IMAGES, where, limit))


def stats_sql(where=""):
    return ("SELECT host, port, count(*), sum(result = 'success'), sum(result = 'interrupted')"
            " FROM runs r %s GROUP BY host, port ORDER BY host, port;"
            " SELECT i.sha256, count(*), sum(r.result = 'success'), sum(r.result = 'interrupted')"
            " FROM run_images i"
            " JOIN runs r ON r.id = i.run_id %s GROUP BY i.sha256 ORDER BY i.sha256;"
            % (where, where))


def cases(sent):
    image = ("WHERE r.id IN (SELECT run_id FROM run_images WHERE sha256 = '%s'"
             " UNION SELECT run_id FROM run_images WHERE sent_sha256 = '%s')")
    june = "WHERE r.started >= '2026-06-01' AND r.started < '2026-07-01'"
    return [
        ("history (latest 20, table)", [], [], runs_sql(limit="LIMIT 20")),
        ("history --json (all)", ["--json"], ["-json"], runs_sql()),
        ("history --csv (all)", ["--csv"], ["-csv", "-header"], runs_sql()),
        ("history --image-sha256 NEVER-SENT --json", ["--image-sha256", NEVER, "--json"],
         ["-json"], runs_sql(image % (NEVER, NEVER))),
        ("history --image-sha256 SENT --json", ["--image-sha256", sent, "--json"], ["-json"],
         runs_sql(image % (sent, sent))),
        ("history --port COM3 --json", ["--port", "COM3", "--json"], ["-json"],
         runs_sql("WHERE r.port = 'COM3'")),
        ("history --result failure --json", ["--result", "failure", "--json"], ["-json"],
         runs_sql("WHERE r.result IN ('failed', 'interrupted')")),
        ("history --since/--until (June) --csv",
         ["--since", "2026-06-01", "--until", "2026-06-30", "--csv"], ["-csv"], runs_sql(june)),
        ("history stats", ["stats"], [], stats_sql()),
        ("history stats --since/--until (June)",
         ["stats", "--since", "2026-06-01", "--until", "2026-06-30"], [], stats_sql(june)),
    ]


def timed(argv):
    """Wall seconds and peak memory (MiB) of one run, its output thrown away."""
    start = time.monotonic()
    with open(os.devnull, "wb") as null:
        child = subprocess.Popen(argv, stdout=null, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        error = child.stderr.read().decode()
        child.stderr.close()
    if child.returncode != 0:
        sys.exit("%s failed: %s" % (" ".join(argv), error))
    return time.monotonic() - start, usage.ru_maxrss / 1024


def median(argv, repeats):
    runs = [timed(argv) for _ in range(repeats)]
    return statistics.median(t for t, _ in runs), max(m for _, m in runs)


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    cli, path = sys.argv[1], sys.argv[2]
    repeats = int(sys.argv[3]) if len(sys.argv) == 4 else 5
    sent = subprocess.run(["sqlite3", path, "SELECT sent_sha256 FROM run_images WHERE"
                           " sent_sha256 IS NOT NULL GROUP BY sent_sha256 ORDER BY count(*)"
                           " LIMIT 1"], stdout=subprocess.PIPE, text=True, check=True).stdout
    runs = subprocess.run(["sqlite3", path, "SELECT count(*) FROM runs"], stdout=subprocess.PIPE,
                          text=True, check=True).stdout.strip()
    print("%s: %s runs; median of %d, peak memory the largest\n" % (path, runs, repeats))
    print("%-42s %10s %8s %10s %7s" % ("command", "vantor-cli", "memory", "sqlite3", "ratio"))
    for name, options, shell, sql in cases(sent.strip()):
        ours, memory = median([cli, "history", "--history", path] + options, repeats)
        theirs, _ = median(["sqlite3", "-readonly"] + shell + [path, sql], repeats)
        print("%-42s %8.0f ms %5.0f MiB %7.0f ms %6.2fx" % (name, ours * 1e3, memory,
                                                             theirs * 1e3, ours / theirs))


if __name__ == "__main__":
    main()
