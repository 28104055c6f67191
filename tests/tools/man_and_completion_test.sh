#!/bin/bash
# The man pages render without a warning from groff, and the bash completion script parses,
# registers itself and completes subcommands, options and the values of --encoding.
# Usage: man_and_completion_test.sh MAN_PAGE... -- BASH_COMPLETION
set -u
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

while [[ $# -gt 0 && $1 != -- ]]; do
    warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$1" 2>&1)
    [[ -z $warnings ]] || fail "$1: $warnings"
    shift
done
shift
script=$1

bash -n "$script" || fail "$script does not parse"
# Rows: the words typed (the last one being completed) and a word the answer must hold.
check() {
    local expected=$1
    shift
    local result
    result=$(bash -c 'source "$0" && COMP_WORDS=("${@}") && COMP_CWORD=$(($# - 1)) &&
        _marrowzip && printf "%s\n" "${COMPREPLY[@]}"' "$script" "$@")
    grep -qx -- "$expected" <<<"$result" || fail "'$*' completes to [$result], not $expected"
}
[[ $(bash -c 'source "$0" && complete -p marrowzip' "$script") == *"-F _marrowzip marrowzip"* ]] ||
    fail "the script does not register a completion for marrowzip"
check extract marrowzip ex
check repair marrowzip -q re
check --comment marrowzip create --co
check --no-wait marrowzip remove --no
check cp866 marrowzip extract --encoding cp8
check --skip-existing marrowzip extract --sk
check --quiet marrowzip --q
check --workers marrowzip test --wo
check 0 marrowzip --workers ''
check - marrowzip test -
exit $status
