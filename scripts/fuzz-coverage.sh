#!/bin/sh
# Runs the fuzzer's corpus once through a build with clang's source coverage
# and prints how much of the driver it reaches, file by file.
# Usage: fuzz-coverage.sh [-v]   (-v also lists the lines never run)
# The corpus is the one ./scripts/fuzz.sh grows in build/fuzz/corpus.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
dir="$root/build/fuzz-coverage"
corpus="$root/build/fuzz/corpus"
if [ ! -d "$corpus" ]; then
    echo "fuzz-coverage: no corpus yet; run ./scripts/fuzz.sh first"
    exit 1
fi
CC=clang CXX=clang++ CXXFLAGS="-fprofile-instr-generate -fcoverage-mapping" \
    LDFLAGS="-fprofile-instr-generate" \
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DVK_FUZZ=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null
rm -f "$dir/corpus.profraw"
LLVM_PROFILE_FILE="$dir/corpus.profraw" "$dir/tests/fuzz/driver_fuzzer" -runs=0 \
    "$corpus" >"$dir/run.log" 2>&1
llvm-profdata merge -o "$dir/corpus.profdata" "$dir/corpus.profraw"
coverage() {
    llvm-cov "$1" "$dir/tests/fuzz/driver_fuzzer" -instr-profile="$dir/corpus.profdata" \
        "$root"/sys/*.cpp
}
coverage report | sed "s|$root/||"
if [ "$1" = "-v" ]; then
    coverage show | grep -E "^/|^ +[0-9]+\| +0\|" | sed "s|$root/||"
fi
