#!/bin/sh
# The driver's concurrency stress under ThreadSanitizer: four handles toggle
# lines, wait, cancel and reopen while Plug and Play stops, starts and
# surprise-removes the port. Prints what it did; fails on any TSan report,
# broken kernel rule or leftover. Usage: stress.sh [seconds] (default 3).
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-3}
dir="$root/build/host-tsan"
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DVK_TSAN=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    "$dir/tests/stress/concurrency_stress" "$seconds"
echo "no ThreadSanitizer report"
