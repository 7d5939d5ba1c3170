#!/usr/bin/env bash
# The bash completion offers the commands, the port names and the simulated drive where a user
# would press Tab.
# usage: completion_test.sh COMPLETION_FILE
set -uo pipefail
framework=/usr/share/bash-completion/bash_completion
if [ ! -r "$framework" ]; then
    echo "bash-completion missing (scripts/install-deps.sh)"
    exit 77
fi
# shellcheck source=/dev/null
source "$framework"
# shellcheck source=/dev/null
source "$1"
failures=0

# expect "WANTED" WORD... : completes the last word of the command line WORD...
expect() {
    local wanted=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    local function
    function=$(complete -p "$1" | sed -E 's/.*-F ([^ ]+) .*/\1/')
    "$function" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    local got="${COMPREPLY[*]}"
    if [ "$got" != "$wanted" ]; then
        echo "FAIL: $* <Tab> gives \"$got\", not \"$wanted\"" >&2
        failures=$((failures + 1))
    fi
}

expect "download" vantor-cli d
expect "set" vantor-cli ports s
expect "COM1 COM2 COM3 COM4" vantor-cli ports set C
expect "sim sim:" vantor-cli download demo.orb --port s
expect "9600 19200" vantor-cli download demo.orb --baud ""
expect "--skip-seeking" vantor-cli download demo.orb --sk
expect "COM1 COM2 COM3 COM4" vantor demo.orb -c ""
expect "--erase" vantor-make-image --er
[ "$failures" -eq 0 ] && echo "bash completion offers what it should"
exit $((failures > 0))
