#!/usr/bin/env bash
# Installs what is needed, builds Vantor and downloads the demo image to the built-in
# simulated drive in real time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset ci >/dev/null
cmake --build --preset ci --target vantor-cli
exec build/ci/cli/vantor-cli download examples/demo.orb --port sim "$@"
