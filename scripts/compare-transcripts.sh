#!/usr/bin/env bash
# Runs one set of scenarios against the simulated drive with two builds of vantor-cli and
# compares everything each left behind: what it wrote on stdout and stderr and its exit status,
# the --json streams, the reports, the traffic logs, the history's rows and the settings store.
# A reshaping of the code must leave all of it byte for byte as it was; only what differs
# between any two runs of one build is normalised (wall-clock times and durations, process ids,
# CPU time and memory of the stations).
#
#   scripts/compare-transcripts.sh [--keep DIR] OLD_BUILD NEW_BUILD
#
# OLD_BUILD and NEW_BUILD are build folders (such as build/ci, holding cli/vantor-cli) or the
# vantor-cli programs themselves. --keep DIR keeps each build's normalised results in DIR/old
# and DIR/new. Exit status 0 when both left the same, 1 when not (the differences are shown), 2
# on a usage error. Every port is a simulated drive: the settings store of each scenario maps
# COM1 to COM4 to simulated drives before anything runs, so no device of this machine is opened.
set -euo pipefail

usage() {
  echo "usage: scripts/compare-transcripts.sh [--keep DIR] OLD_BUILD NEW_BUILD" >&2
  exit 2
}

keep=""
if [ "${1:-}" = "--keep" ]; then
  [ $# -ge 2 ] || usage
  keep=$2
  shift 2
fi
[ $# -eq 2 ] || usage

program_of() {  # a build folder or a program
  if [ -d "$1" ]; then
    echo "$(cd "$1" && pwd)/cli/vantor-cli"
  else
    echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
  fi
}
old_cli=$(program_of "$1")
new_cli=$(program_of "$2")
for cli in "$old_cli" "$new_cli"; do
  [ -x "$cli" ] || { echo "compare-transcripts: no program at $cli" >&2; exit 2; }
done

source_dir=$(cd "$(dirname "$0")/.." && pwd)
demo=$source_dir/examples/demo.orb
work=$(mktemp -d "${TMPDIR:-/tmp}/vantor-compare-XXXXXX")
trap 'rm -rf "$work"' EXIT

# --- the scenarios -------------------------------------------------------------------------
# Each runs in a fresh folder of its own (its current directory) with its own settings store,
# data and configuration folders; `cli` runs the build under test and records the command, its
# output and its exit status in the transcript.

step=0
cli() {
  step=$((step + 1))
  local status=0
  "$program" "$@" >"out.$step" 2>"err.$step" </dev/null || status=$?
  {
    echo "\$ vantor-cli $*"
    sed 's/^/  out| /' "out.$step"
    sed 's/^/  err| /' "err.$step"
    echo "  exit $status"
  } >>transcript
  rm -f "out.$step" "err.$step"
}

map_ports() {
  cli ports set COM1 sim
  cli ports set COM2 sim:address=2
  cli ports set COM3 sim:noise=0.002,seed=7
  cli ports set COM4 sim:no-break-answer
}

scenario_download_ok() {
  cli download "$demo" --port sim --virtual-time
  cli download "$demo" --port sim:address=5 --virtual-time --quiet
  cli download "$demo" --port COM1 --virtual-time --reset-after
  cli download "$demo" --port COM2 --address 2 --virtual-time
  cli download "$demo" --port sim:addresses=3+7 --virtual-time
  cli download "$demo" --virtual-time --no-history
}

scenario_download_json_report() {
  cli download "$demo" --port sim:address=4 --virtual-time --json --report report.json
  cli download "$demo" --port COM3 --virtual-time --json --report noisy.json
  cli download "$demo" --port sim:status=0x0080 --virtual-time --strict --json --report strict.json
}

scenario_download_failures() {
  cli download "$demo" --port COM4 --virtual-time --skip-seeking
  cli download "$demo" --port sim:no-break-answer --skip-seeking --virtual-time --json --report a.json
  cli download "$demo" --port sim:address=5 --address 7 --virtual-time
  cli download "$demo" --port sim:refuse-first,ack-on-send=4 --virtual-time --report b.json
  cli download "$demo" --port sim:response=?? --virtual-time --json
  cli download "$demo" --port sim:no-response --virtual-time
  cli download "$demo" --port sim:unplug-at=900 --virtual-time --json --report c.json
  cli download "$demo" --port sim:ident=0x1AC5 --virtual-time
  cli download "$demo" --port sim:address=1,password=secret --virtual-time
  cli download "$demo" --port sim:address=1,stay-in-command-mode --virtual-time
  cli download "$demo" --port sim:endless-break --skip-seeking --virtual-time
  cli download "$demo" --port COM0 --virtual-time
  cli download "$demo" --port sim --report no/such/folder/r.json --virtual-time
  cli download missing.orb --port sim --virtual-time
  head -c 1000 "$demo" >cut.orb
  cli download cut.orb --port sim --virtual-time --json
}

scenario_files_list() {
  cp "$demo" one.orb
  cp "$demo" two.orb
  printf 'one    %s/one.orb\ntwo    %s/two.orb\n' "$PWD" "$PWD" >list.txt
  cli download --files-list list.txt --port sim --virtual-time --json --report list.json
  printf 'one    %s/one.orb\nbad    %s/none.orb\n' "$PWD" "$PWD" >bad.txt
  cli download --files-list bad.txt --port sim --virtual-time
  cli download --files-list bad.txt --port sim --virtual-time --strict
  cli download --files-list nowhere.txt --port sim --virtual-time
}

scenario_traffic_log() {
  cli download "$demo" --port sim:address=3 --virtual-time --traffic-log traffic.log
  cli download "$demo" --port sim:noise=0.01,seed=3 --virtual-time --traffic-log noisy.log --quiet
  cli download "$demo" --port sim --skip-seeking --virtual-time --traffic-log - --quiet
}

scenario_identify() {
  cli identify --port sim --virtual-time
  cli identify --port sim:address=9 --virtual-time --json
  cli identify --port sim:addresses=1+2 --virtual-time
  cli identify --port COM4 --skip-seeking --virtual-time
}

scenario_image_info() {
  cli image-info "$demo"
  cli image-info "$demo" --json
  cli image-info "$demo" --revision 1
  head -c 1000 "$demo" >cut.orb
  cli image-info cut.orb
  printf 'not an image' >text.orb
  cli image-info text.orb --json
  cli image-info
}

scenario_line() {
  cli download "$demo" --port sim --port sim:address=2 --port COM4 --skip-seeking \
    --max-parallel 1 --virtual-time --report line.json
  cli download "$demo" --port sim:address=1 --port sim:address=2 --max-parallel 1 \
    --virtual-time --json
  printf 'sim:address=3\n# a comment\nsim:no-break-answer\n' >ports.txt
  cli download "$demo" --ports-from ports.txt --max-parallel 1 --retry 1 --skip-seeking \
    --virtual-time --quiet
  cli download "$demo" --port sim --port sim --virtual-time
  cli download "$demo" --port sim --port sim:address=1 --traffic-log t.log --virtual-time
}

scenario_history() {
  cli download "$demo" --port sim --virtual-time --quiet
  cli download "$demo" --port sim:no-break-answer --skip-seeking --virtual-time --quiet
  cli history list --limit 5
  cli history stats
  cli history list --result failed --json
}

scenario_ports_and_usage() {
  cli ports unset COM3
  cli ports set COM5 sim
  cli ports set COM2 ''
  cli --help
  cli --version
  cli frobnicate
  cli download --help
  cli identify --help
  cli image-info --help
  cli ports --help
  cli history --help
  cli serve --help
  cli download "$demo" --port sim --baud 4800
  cli download "$demo" --port sim --json --quiet
  cli download "$demo" --port /dev/null/x --virtual-time
  cli serve
  cli serve "$demo" --port sim --listen 0.0.0.0:1
}

scenarios="download_ok download_json_report download_failures files_list traffic_log identify
  image_info line history ports_and_usage"

# --- running and normalising ---------------------------------------------------------------

# What differs between any two runs of one build: wall-clock times and durations, the
# stations' process ids, CPU time and memory, the live view's elapsed times, the history's
# record ids (drawn at random for each run), and the folder of this comparison.
normalise() {
  sed -E \
    -e "s#$work#<work>#g" \
    -e 's/[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\.[0-9]+)?Z/<time>/g' \
    -e 's/"(duration_s|cpu_s|max_rss_kib|pid|duration_ms)":[0-9.]+/"\1":<n>/g' \
    -e 's/"id":"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}"/"id":"<id>"/g' \
    -e '/"event":"(station-start|station-end|line-summary)"/s/"time_ms":[0-9.]+/"time_ms":<n>/' \
    -e 's/(station [0-9]+ .*: attempt [0-9]+ on .*) \(pid [0-9]+\)/\1 (pid <n>)/' \
    -e 's/ [0-9]+:[0-9]{2}( +)(success|failed|interrupted|killed|not-started)/ <m:ss>\1\2/' \
    -e 's/^(  out\| +[0-9]+  .{22} [a-z-]+ +[0-9-]+ +[0-9]+) +[0-9]+:[0-9]{2}/\1 <m:ss>/' \
    "$1"
}

# Everything a scenario left in its folder, normalised, into `into`.
collect() {  # scenario folder, into
  local from=$1 into=$2 file name
  mkdir -p "$into"
  for file in "$from"/*; do
    name=$(basename "$file")
    [ -f "$file" ] || continue
    case "$name" in
      *.orb | list.txt | bad.txt | ports.txt) ;;
      *) normalise "$file" >"$into/$name" ;;
    esac
  done
  local history=$from/data/vantor/history.sqlite
  if [ -f "$history" ]; then
    # A run's id is drawn at random; its rows are shown without it, in a fixed order.
    sqlite3 "$history" "SELECT started, ended, host, user_name, tool, tool_version, command,
        port, device, usb_serial, baud, result, exit_status, ident_word, hardware_revision,
        drive_version, address, packets_sent, protected_memory_warnings, missing_responses,
        unrecognised_responses, invalid_command_responses, resynchronisations, origin, record
        FROM runs" \
      "SELECT r.port, r.result, i.position, i.path, i.size_bytes, i.sha256, i.declared_packets,
        i.packets_sent, i.sent_sha256 FROM run_images i JOIN runs r ON r.id = i.run_id" \
      "SELECT count(*) FROM pending" 2>&1 | normalise /dev/stdin | LC_ALL=C sort >"$into/history-rows"
  fi
}

run_side() {  # program, results folder
  program=$1
  local results=$2 scenario dir
  for scenario in $scenarios; do
    # Both builds run in the same folder, so that paths in their output are the same.
    dir=$work/run/$scenario
    rm -rf "$dir"
    mkdir -p "$dir/home" "$dir/data" "$dir/config" "$dir/tmp"
    (
      cd "$dir"
      export HOME=$dir/home XDG_DATA_HOME=$dir/data XDG_CONFIG_HOME=$dir/config \
        TMPDIR=$dir/tmp VANTOR_REGISTRY=$dir/registry TERM=dumb
      unset VANTOR_HISTORY
      step=0
      map_ports
      "scenario_$scenario"
    )
    collect "$dir" "$results/$scenario"
  done
}

run_side "$old_cli" "$work/old"
run_side "$new_cli" "$work/new"

status=0
if ! diff -r -u "$work/old" "$work/new" | head -c 20000; then
  status=1
elif ! diff -r -q "$work/old" "$work/new" >/dev/null; then
  status=1
fi
count=$(find "$work/old" -type f | wc -l)
if [ -n "$keep" ]; then
  mkdir -p "$keep"
  rm -rf "$keep/old" "$keep/new"
  cp -r "$work/old" "$work/new" "$keep/"
fi
if [ "$status" -eq 0 ]; then
  echo "compare-transcripts: the same ($(echo $scenarios | wc -w) scenarios, $count files)"
else
  echo "compare-transcripts: the builds differ (above)" >&2
fi
exit "$status"
