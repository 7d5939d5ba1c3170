#!/usr/bin/env bash
# Captures vantor-cli's terminal view as an operator sees it, in tmux: a download at 120 and at
# 40 columns and under TERM=dumb, and a production line with a failing station at 120 columns.
# For each it keeps the screen at the end (NAME.screen) and every state of the live line in the
# order drawn (NAME.frames: the output split at its carriage returns, escape sequences shown as
# ESC), and checks what an operator relies on:
#   - the seek is shown as addresses tried, never as bytes or as a bar;
#   - a closing line with the bytes, the time and the average rate follows "result: 0 success";
#   - at 40 columns every live line fits and keeps the packet count, without the bar;
#   - under TERM=dumb no carriage return (but before a line feed) and no escape sequence;
#   - in a line's table a station that failed before its packets shows none.
# Every drive is simulated and runs in virtual time.
#
#   scripts/capture-terminal-view.sh VANTOR_CLI OUTPUT_DIR [IMAGE]
#
# Exit status 0 when every check holds, 1 when one fails (named on stderr), 77 without tmux.
set -euo pipefail

[ $# -ge 2 ] || { echo "usage: $0 VANTOR_CLI OUTPUT_DIR [IMAGE]" >&2; exit 2; }
cli=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
out=$2
image=${3:-$(cd "$(dirname "$0")/.." && pwd)/examples/demo.orb}
command -v tmux >/dev/null || { echo "tmux missing (scripts/install-deps.sh)"; exit 77; }
mkdir -p "$out"
out=$(cd "$out" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/vantor-capture-XXXXXX")
export TMUX_TMPDIR=$work
socket=capture
trap 'tmux -L $socket kill-server 2>/dev/null || true; rm -rf "$work"' EXIT
# The run's own settings store and history: no device of this machine is opened or named.
for port in COM1 COM2 COM3 COM4; do
  VANTOR_REGISTRY=$work/registry "$cli" ports set $port sim >/dev/null
done
end_mark="vantor-capture-end-of-run"
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# One server for every capture: a session that stays keeps it from exiting between them (a
# client that came while it exited would find it gone).
tmux -L $socket -f /dev/null new-session -d -s keep "sleep 600"

# capture NAME COLUMNS TERM ARGUMENT...: runs vantor-cli ARGUMENT... in a tmux pane of COLUMNS
# columns with TERM, and keeps NAME.screen, NAME.raw and NAME.frames.
capture() {
  local name=$1 columns=$2 term=$3
  shift 3
  local run="env TERM=$term VANTOR_REGISTRY=$work/registry XDG_DATA_HOME=$work/data"
  run+=" $(printf '%q ' "$cli" "$@")"
  tmux -L $socket new-session -d -s "$name" -x "$columns" -y 40 \
    "tmux -L $socket wait-for go-$name; $run; echo '$end_mark'; tmux -L $socket wait-for -S done-$name; sleep 600"
  tmux -L $socket pipe-pane -o -t "$name" "cat > '$out/$name.raw'"
  tmux -L $socket wait-for -S "go-$name"
  timeout 60 tmux -L $socket wait-for "done-$name" || fail "$name: the run did not end in 60 s"
  # The run's last bytes may still be on their way to the pane and its pipe when it ends: the
  # mark written after it says when both have everything.
  local tries=0
  until tmux -L $socket capture-pane -p -t "$name" -S - | grep -qF "$end_mark" &&
    grep -qF "$end_mark" "$out/$name.raw" 2>/dev/null; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || { fail "$name: the run's output did not reach tmux in 10 s"; break; }
    sleep 0.1
  done
  tmux -L $socket capture-pane -p -t "$name" -S - | { grep -vF "$end_mark" || true; } |
    sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' >"$out/$name.screen"
  tmux -L $socket kill-session -t "$name"
  sed -i "/$end_mark/d" "$out/$name.raw"
  # The erase and cursor-up sequences that redraw a line are left out; any other stays as ESC.
  tr '\r' '\n' <"$out/$name.raw" | sed -e 's/\x1b\[[0-9]*[KA]//g' -e 's/\x1b/ESC/g' |
    grep -v '^$' >"$out/$name.frames" || true
}

download=(download "$image" --port sim:address=5 --virtual-time --no-tone --baud 9600)
capture download-120 120 xterm "${download[@]}"
capture download-40 40 xterm "${download[@]}"
capture download-dumb 120 dumb "${download[@]}"
capture line-120 120 xterm download "$image" --port sim:address=3,ident=0x1083 \
  --port sim:address=4 --virtual-time --baud 9600

for name in download-120 download-40 download-dumb; do
  grep -q '^result: 0 success$' "$out/$name.screen" || fail "$name: no success"
  grep -A1 '^result: 0 success$' "$out/$name.screen" |
    grep -Eq '^(sent )?[0-9]+ bytes(,| in) [0-9]+:[0-9]{2}, [0-9]+ B/s( on average)?$' ||
    fail "$name: no closing line with bytes, time and rate after the result"
done
for name in download-120 download-40; do
  grep -q 'addresses tried, drive at address 5' "$out/$name.frames" ||
    fail "$name: the seek is not shown as addresses tried"
  ! grep -E 'Seeking drives.*(B/s|\[#)' "$out/$name.frames" >/dev/null ||
    fail "$name: the seek is shown with bytes or a bar"
done
grep -Eq '\[#+\.*\] [0-9]+/[0-9]+  [0-9]+ B/s  ETA [0-9]+:[0-9]{2}' "$out/download-120.frames" ||
  fail "download-120: no live line with bar, count, rate and time left"
awk 'length > 39 { bad = 1 } END { exit bad }' "$out/download-40.frames" ||
  fail "download-40: a line is wider than the terminal"
grep -Eq '^[0-9]+/[0-9]+  [0-9]+ B/s  ETA ' "$out/download-40.frames" ||
  fail "download-40: the packet count, the rate or the time left is missing"
! grep -q $'\x1b' "$out/download-dumb.raw" || fail "download-dumb: escape sequences"
! LC_ALL=C grep -q $'\r.' "$out/download-dumb.raw" || fail "download-dumb: a carriage return"
grep -q 'failed 106' "$out/line-120.screen" || fail "line-120: the revision-1 station did not fail 106"
! grep -E '^ +1  sim:address=3.* 31/31 ' "$out/line-120.frames" >/dev/null ||
  fail "line-120: the station that sent no packet shows the seek's 31/31 as packets"

[ "$failures" -eq 0 ] && echo "terminal view captured in $out: every check holds"
exit $((failures > 0))
