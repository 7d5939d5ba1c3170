#!/usr/bin/env bash
# The bash completion offers the commands, the port names and the simulated drive where a user
# would press Tab.
# usage: completion_test.sh COMPLETION_FILE
set -uo pipefail
completion=$1
complete_options="$(dirname "$0")/complete_options.sh"
if [ ! -r /usr/share/bash-completion/bash_completion ]; then
    echo "bash-completion missing (scripts/install-deps.sh)"
    exit 77
fi
failures=0

# expect "WANTED" WORD... : completes the last word of the command line WORD...
expect() {
    local wanted=$1
    shift
    local got
    got=$("$complete_options" "$completion" "$@" | paste -sd ' ')
    if [ "$got" != "$wanted" ]; then
        echo "FAIL: $* <Tab> gives \"$got\", not \"$wanted\"" >&2
        failures=$((failures + 1))
    fi
}

expect "download" vantor-cli d
expect "set" vantor-cli ports s
expect "COM1 COM2 COM3 COM4" vantor-cli ports set C
expect "sim sim:" vantor-cli download demo.orb --port s
expect "auto" vantor-cli identify --port a
expect "9600 19200" vantor-cli download demo.orb --baud ""
expect "--skip-seeking" vantor-cli download demo.orb --sk
expect "COM1 COM2 COM3 COM4" vantor demo.orb -c ""
expect "--erase" vantor-make-image --er
[ "$failures" -eq 0 ] && echo "bash completion offers what it should"
exit $((failures > 0))
