#!/usr/bin/env bash
# Line and branch coverage of the product code (everything but the GUI) by the tests: builds
# the coverage preset (gcc --coverage) in build/coverage, runs every test once and prints, per
# folder, the lines and branches the tests executed, then the functions no test entered. A
# developer's tool: scripts/test.sh does not run it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "$jobs"
find build/coverage -name '*.gcda' -delete
ctest --preset coverage -j "$jobs" >build/coverage/ctest.log 2>&1 ||
  { tail -30 build/coverage/ctest.log; echo "tests failed; coverage not counted"; exit 1; }

# Branches that only exceptions or the compiler's own checks take say nothing of the tests.
gcovr --root . --object-directory build/coverage --json build/coverage/coverage.json \
  --exclude-throw-branches --exclude-unreachable-branches \
  --filter '(build/coverage/layers/[a-z_]+/)?(cli|drivesim|image|job|link|platform|sim|tools)/' \
  --exclude '.*CompilerId.*' >/dev/null 2>build/coverage/gcovr.log
python3 - build/coverage/coverage.json <<'PY'
import json, re, sys
from collections import defaultdict
data = json.load(open(sys.argv[1]))
folders = defaultdict(lambda: [0, 0, 0, 0])
unentered = []
for f in data["files"]:
    # A library's headers are also reached through its include root in the build tree.
    f["file"] = re.sub(r"^build/[^/]+/layers/[^/]+/", "", f["file"])
    folder = f["file"].split("/")[0]
    counts = folders[folder]
    for line in f["lines"]:
        if line.get("gcovr/noncode"):
            continue
        counts[1] += 1
        counts[0] += line["count"] > 0
        for branch in line.get("branches", []):
            counts[3] += 1
            counts[2] += branch["count"] > 0
    for fn in f.get("functions", []):
        if fn.get("execution_count", 1) == 0:
            unentered.append("%s:%s %s" % (f["file"], fn.get("lineno", "?"), fn["name"]))
total = [0, 0, 0, 0]
print("%-10s %16s %18s" % ("folder", "lines", "branches"))
def row(name, c):
    pct = lambda a, b: 100.0 * a / b if b else 100.0
    print("%-10s %6.1f %% %7s %8.1f %% %7s" % (name, pct(c[0], c[1]), "%d/%d" % (c[0], c[1]) if c[1] < 10**6 else "",
                                          pct(c[2], c[3]), "%d/%d" % (c[2], c[3])))
for name in sorted(folders):
    row(name + "/", folders[name])
    total = [a + b for a, b in zip(total, folders[name])]
row("all", total)
print("functions no test enters: %d" % len(unentered))
for name in unentered:
    print("  " + name)
PY
