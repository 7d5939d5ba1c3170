#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset: clang, ASan and UBSan) and runs each for
# SECONDS (default 60) on a scratch copy of its committed corpus. Fails on the first target that
# finds a crash, a sanitizer report, a broken promise, a leak or an input that runs too long;
# the input is left in build/fuzz/findings/. Prints the executions of each target.
#
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [SECONDS]  (SECONDS: a whole number above 0, default 60)" >&2
  exit 64
fi

targets=$(sed -n 's/^set(VANTOR_FUZZ_TARGETS \(.*\))$/\1/p' fuzz/CMakeLists.txt)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target $(printf 'fuzz_%s ' $targets)

findings="$PWD/build/fuzz/findings"
scratch=$(mktemp -d /tmp/vantor-fuzz-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$findings"

failed=0
for target in $targets; do
  mkdir -p "$scratch/$target"
  cp fuzz/corpus/"$target"/* "$scratch/$target/"
  log="$scratch/$target.log"
  echo "=== fuzz_$target: $seconds s"
  # -timeout: an input that takes more than 10 s is a hang; -rss_limit_mb: the targets' memory
  # is bounded, so 2 GiB is a finding.
  if ! (cd "$findings" && "$OLDPWD/build/fuzz/fuzz/fuzz_$target" "$scratch/$target" \
          -max_total_time="$seconds" -max_len=20000 -timeout=10 -rss_limit_mb=2048 \
          -print_final_stats=1 >"$log" 2>&1); then
    failed=1
    tail -n 30 "$log"
    echo "=== fuzz_$target: FINDING (input in $findings)"
    continue
  fi
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "=== fuzz_$target: clean, $executions executions"
done
exit "$failed"
