#!/bin/sh
# Checks that every C and C++ source is formatted as .clang-format says, so
# that a newcomer's editor and CI agree. With --fix, formats them in place.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
files=$(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
    echo "$files" | xargs clang-format -i
    exit 0
fi
log=$(mktemp)
if ! echo "$files" | xargs clang-format --dry-run -Werror 2>"$log"; then
    # One line a file: how many of its places differ.
    sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: error:.*/\1/p' "$log" | sort | uniq -c
    rm -f "$log"
    echo "format: the files above differ from .clang-format; ./scripts/check-format.sh --fix formats them"
    exit 1
fi
rm -f "$log"
echo "format: $(echo "$files" | wc -l) files as .clang-format says"
