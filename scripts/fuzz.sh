#!/bin/sh
# Fuzzes the driver on the host kernel bench with libFuzzer (clang, ASan,
# UBSan) and prints how many inputs ran clean.
# Usage: fuzz.sh [executions] (default 200000; the long run is 10000000).
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-200000}
dir="$root/build/fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DVK_FUZZ=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null
mkdir -p "$dir/corpus"
log="$dir/fuzz-$runs.log"
# A long run's resident size grows by about 15 MB every 100,000 executions
# while one input run over and over stays flat, so the 10-million run needs
# more than libFuzzer's default limit of 2 GB.
if ! "$dir/tests/fuzz/driver_fuzzer" -runs="$runs" -max_len=512 -timeout=30 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix="$dir/" "$dir/corpus" >"$log" 2>&1; then
    tail -60 "$log"
    echo "fuzz: FAILED, see $log"
    exit 1
fi
done_line=$(grep -E '^Done [0-9]+ runs' "$log" | tail -1)
cov=$(grep -E '^#[0-9]+.*cov:' "$log" | tail -1 | sed -E 's/.*cov: ([0-9]+).*/\1/')
echo "fuzz: $done_line, coverage $cov edges, no crash, leak or rule violation"
