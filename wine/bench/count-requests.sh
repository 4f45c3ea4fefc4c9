#!/bin/sh
# Counts the wineserver requests (of every process: the program, the driver
# host, wineserver's own) between keybench's landmarks in a -d2 trace, per call.
# A request and its reply count once.
#   count-requests.sh <server-trace.log> <calls per method>
trace=$1
calls=$2
for method in a b; do
    echo "($method) requests per call, by request:"
    awk -v begin="keybench-$method-begin" -v end="keybench-$method-end" -v calls="$calls" '
        index($0, begin) { on = 1; next }
        index($0, end) { on = 0 }
        on && / [a-z_]+\(/ && !/[a-z_]+\(\) = / {
            match($0, / [a-z_]+\(/)
            name = substr($0, RSTART + 1, RLENGTH - 2)
            count[name]++
            total++
        }
        END {
            for (name in count) printf "  %-28s %6.2f\n", name, count[name] / calls
            printf "  %-28s %6.2f\n", "total", total / calls
        }' "$trace" | sort -k2 -n -r
done
