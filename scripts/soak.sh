#!/usr/bin/env bash
# The seeded soak at scale: RUNS seeds (default 100000) from FIRST_SEED (default 1000), in blocks
# of 1000 spread over one process per core. Prints the runs per second as blocks finish and, at
# the end, per noise level, the successful jobs in which the drive accepted a packet that the
# 16-bit additive checksum could not tell from the image's. Stops at the first failing block
# and shows its report, which names the seed to reproduce with.
#
#   scripts/soak.sh [RUNS] [FIRST_SEED]      VANTOR_SOAK_JOBS=N sets the number of processes
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-100000}
first_seed=${2:-1000}
processes=${VANTOR_SOAK_JOBS:-$(nproc)}
block=1000

# The soak program of the ci build when it has one, else a build of the soak alone.
binary=build/ci/tests/soak/vantor_soak_tests
if [ ! -x "$binary" ]; then
  binary=build/soak/tests/soak/vantor_soak_tests
  cmake --preset ci -B build/soak -DVANTOR_TEST_AREAS=soak -DVANTOR_BUILD_UI=OFF \
    -DVANTOR_BUILD_BENCH=OFF >/dev/null
  cmake --build build/soak --target vantor_soak_tests -j "$processes"
fi

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
started=$(date +%s.%N)

run_block() {  # first seed, number of seeds
  if ! VANTOR_SOAK_FIRST_SEED=$1 VANTOR_SOAK_RUNS=$2 "$binary" >"$logs/$1.log" 2>&1; then
    touch "$logs/$1.failed"
  fi
}

progress() {
  local done_runs
  done_runs=$(cat "$logs"/*.log 2>/dev/null | awk '$1 == "soak-runs" { n += $2 } END { print n + 0 }')
  awk -v n="$done_runs" -v t0="$started" -v t1="$(date +%s.%N)" -v total="$runs" \
    'BEGIN { printf "\r%d of %d runs, %.0f runs/s ", n, total, n / (t1 - t0) }'
}

failed() { compgen -G "$logs/*.failed" >/dev/null; }

seed=$first_seed
end=$((first_seed + runs))
while [ "$seed" -lt "$end" ] && ! failed; do
  while [ "$(jobs -rp | wc -l)" -ge "$processes" ]; do
    wait -n || true
    progress
  done
  count=$((end - seed < block ? end - seed : block))
  run_block "$seed" "$count" &
  seed=$((seed + count))
done
wait
progress
echo

if failed; then
  for mark in "$logs"/*.failed; do
    echo "=== soak failed in the block from seed $(basename "$mark" .failed):"
    grep -v '^soak-' "${mark%.failed}.log" | head -40
  done
  exit 1
fi

cat "$logs"/*.log | awk -v t0="$started" -v t1="$(date +%s.%N)" '
  $1 == "soak-runs" { runs += $2; successes += $4 }
  END {
    printf "%d runs (%d successful) in %.0f s: %.0f runs/s\n", runs, successes, t1 - t0,
           runs / (t1 - t0)
  }'
echo "undetectable corruptions (successful jobs in which the drive accepted a packet that"
echo "differs from the image's only in a way its checksum cannot see), per noise level:"
printf '  %-8s %8s %13s\n' noise runs undetectable
cat "$logs"/*.log | awk '
  $1 == "soak-noise" { runs[$2] += $4; blind[$2] += $6 }
  END { for (level in runs) printf "  %-8s %8d %13d\n", level, runs[level], blind[level] }' |
  sort -g
cat "$logs"/*.log | awk '
  $1 == "soak-noise" { runs += $4; blind += $6 }
  END { printf "  %-8s %8d %13d\n", "all", runs, blind }'
