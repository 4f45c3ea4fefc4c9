#!/bin/sh
# Instructions per line change on the host kernel bench (valgrind's
# callgrind): a keying program raises and drops DTR N times on one handle;
# only the changes are counted (--toggle-collect), not the set-up.
#   bench/callgrind.sh [changes, default 2000]
# The driver is built -O2 -g, as the real one is optimised; the bench's own
# emulation (IRP building, completion, the simulated collection) is shown apart.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-2000}
dir="$root/build/host-bench"
cmake -S "$root/bench" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null
out="$dir/callgrind.out"
# callgrind_annotate names files relative to the current folder.
cd "$root"
valgrind --tool=callgrind --toggle-collect='*ChangeLines*' --callgrind-out-file="$out" \
    "$dir/line_changes" "$count" 2>"$dir/valgrind.log" ||
    { cat "$dir/valgrind.log"; exit 1; }

# printf, not echo: dash's echo would act on backslashes in the symbols.
inclusive=$(callgrind_annotate --auto=no --inclusive=yes "$out")
exclusive=$(callgrind_annotate --auto=no --inclusive=no --threshold=100 "$out")
total=$(printf "%s\n" "$inclusive" | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }')
dispatch=$(printf "%s\n" "$inclusive" | awk '/sys\/dispatch_general.cpp:DispatchGeneral/ { gsub(",", "", $1); print $1; exit }')
own=$(printf "%s\n" "$exclusive" | awk '/ sys\/[a-z_]+\.cpp:/ { gsub(",", "", $1); sum += $1 } END { print sum + 0 }')
echo "Host bench, $count line changes (SETDTR/CLRDTR alternating), instructions per change:"
awk -v n="$count" -v t="$total" -v d="$dispatch" -v o="$own" 'BEGIN {
    printf "  whole request (user DeviceControl to completion):  %7.0f\n", t / n
    printf "  in the driver'"'"'s dispatch routine, inclusive:       %7.0f\n", d / n
    printf "  in the driver'"'"'s own code (sys/), exclusive:         %7.0f\n", o / n
}'
echo "Where they go (exclusive, per change, top 12; the bench's emulation of the kernel included):"
printf "%s\n" "$exclusive" | awk -v n="$count" '/^ *[0-9,]+ .*:/ && !/PROGRAM TOTALS/ {
    ir = $1; gsub(",", "", ir)
    name = $0; sub(/^[^)]*\) +/, "", name); sub(/ \[.*$/, "", name); sub(/\(.*$/, "", name)
    if (shown++ < 12) printf "  %7.0f  %s\n", ir / n, name
}'
echo "(callgrind output: $out; callgrind_annotate $out)"
