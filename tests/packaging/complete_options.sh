#!/usr/bin/env bash
# Prints, one a line, what the bash completion offers for the last word of a command line.
# usage: complete_options.sh COMPLETION_FILE WORD...
# Exits with 77 when bash-completion is not installed.
set -uo pipefail
framework=/usr/share/bash-completion/bash_completion
[ -r "$framework" ] || exit 77
# shellcheck source=/dev/null
source "$framework"
# shellcheck source=/dev/null
source "$1"
shift
COMP_WORDS=("$@")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
COMP_LINE="$*"
COMP_POINT=${#COMP_LINE}
COMPREPLY=()
function=$(complete -p "$1" | sed -E 's/.*-F ([^ ]+) .*/\1/')
"$function" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
printf '%s\n' "${COMPREPLY[@]}"
