#!/usr/bin/env bash
# Installs what is needed, builds Vantor from nothing and runs every test: the optimised build
# with warnings as errors (GUI included, offscreen), then the core under AddressSanitizer with
# UndefinedBehaviorSanitizer and under ThreadSanitizer; last, the Debian package from the
# optimised build, checked with lintian, installed, run and removed again. Between them, the
# Windows build under Wine (scripts/test-windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
# Most tests wait on real sockets, processes and clocks rather than compute: three per core
# keep the cores busy (the ci tests take about 80 s so, against 200 s one per core).
test_jobs=$((jobs * 3))
for preset in ci asan tsan; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: test"
  ctest --preset "$preset" -j "$test_jobs"
done

# The Windows build, cross-compiled and run under Wine (skipped when those are missing).
scripts/test-windows.sh

echo "=== package: build, lintian, install, run and remove"
scripts/package.sh
scripts/check-package.sh
