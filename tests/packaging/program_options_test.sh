#!/usr/bin/env bash
# A program answers --help, -h and --version, ends a usage error with 64, and its manual page
# names every option its help names.
# usage: program_options_test.sh PROGRAM MANPAGE VERSION [COMMAND...]
#   COMMANDs are subcommands whose own --help is checked as well. With NO_USAGE_ERRORS=1 the
#   program takes every argument (the window does), so no usage error is tried.
set -euo pipefail
program=$1 page=$2 version=$3
shift 3
name=$(basename "$program")
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# The page's text with the roff font changes and escaped hyphens undone.
page_text=$(sed -e 's/\\f[BIRP]//g' -e 's/\\-/-/g' -e 's/\\&//g' "$page")

check_help() {
    local help short status=0
    help=$("$program" "$@" --help) || status=$?
    [ "$status" -eq 0 ] || fail "$name $* --help exits with $status"
    short=$("$program" "$@" -h) || true
    [ "$short" = "$help" ] || fail "$name $* -h does not show the --help text"
    # Options stand after a blank, a bracket, a comma or a bar: "vantor-cli" and "0-9" do not.
    local option
    for option in $(grep -oE '(^|[][ ,|(])--?[A-Za-z][A-Za-z0-9-]*' <<<"$help" |
                    sed -E 's/^[][ ,|(]//' | sort -u); do
        grep -qFw -- "$option" <<<"$page_text" || fail "$name $* --help names $option, $page does not"
    done
}

check_help
for command in "$@"; do
    check_help "$command"
done

status=0
shown=$("$program" --version) || status=$?
[ "$status" -eq 0 ] && [[ $shown == "$name "*"$version"* ]] ||
    fail "$name --version shows \"$shown\" with status $status"

if [ "${NO_USAGE_ERRORS:-0}" != 1 ]; then
    status=0
    "$program" --no-such-option >/dev/null 2>&1 || status=$?
    [ "$status" -eq 64 ] || fail "$name --no-such-option exits with $status, not 64"
fi

[ "$failures" -eq 0 ] && echo "$name: help, version, usage status and manual page agree"
exit $((failures > 0))
