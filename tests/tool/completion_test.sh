#!/usr/bin/env bash
# The bash completion offers exactly the subcommands the tool's help lists,
# and the options and option values of one subcommand.
#   completion_test.sh TOOL COMPLETION_FILE
set -euo pipefail
tool=$1
# shellcheck source=/dev/null
source "$2"

offer() { # the words typed so far, the last one being completed
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _tavlin
    echo "${COMPREPLY[*]}"
}
expect() { # what, expected, got
    [ "$2" = "$3" ] || { echo "$1: expected [$2], got [$3]"; exit 1; }
}

listed=$("$tool" --help | sed -n '/^subcommands:/,/^$/p' | awk 'NF > 1 {print $1}' | sort -u | xargs)
offered=$(offer tavlin "" | tr ' ' '\n' | grep -v -e '^-' -e '^help$' | sort -u | xargs)
expect "subcommands" "$listed" "$offered"
expect "index subcommands" "prepare drop" "$(offer tavlin index "")"
expect "export --t" "--to" "$(offer tavlin export f --t)"
expect "--to values" "csv tsv jsonl" "$(offer tavlin export f --to "")"
expect "show --mode i" "indexed" "$(offer tavlin show f --mode i)"
expect "import options" "--from --force" "$(offer tavlin import --f)"
echo "the completion offers every subcommand of the help"
