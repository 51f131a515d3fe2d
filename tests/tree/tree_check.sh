#!/usr/bin/env bash
# The source tree before and after the whole suite: a file or link that a test leaves there,
# rather than in a temporary directory of its own, fails the check.
#   tree_check.sh record|compare SOURCE_DIR STATE_FILE
set -euo pipefail
mode=$1 source=$2 state=$3
if ! git -C "$source" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    echo "not a git checkout that git may read here: nothing to compare"
    exit 77
fi
untracked() {
    git -C "$source" status --porcelain --untracked-files=all | sed -n 's/^?? //p' | sort
}
case $mode in
record) untracked >"$state" ;;
compare)
    [ -f "$state" ] || { echo "nothing recorded before the tests"; exit 77; }
    left=$(comm -13 "$state" <(untracked))
    if [ -n "$left" ]; then
        echo "left in the source tree by a test:"
        echo "$left"
        exit 1
    fi
    ;;
esac
