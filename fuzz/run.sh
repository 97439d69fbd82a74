#!/usr/bin/env bash
# Builds the fuzz preset and runs the loader fuzzer for a bounded time
# (seconds, default 75) from the committed seed corpus. New inputs go to
# build/fuzz/corpus-load; a crash leaves its input in build/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-75}
jobs=${JOBS:-2}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$jobs" --target fuzz_load
mkdir -p build/fuzz/corpus-load
./build/fuzz/fuzz/fuzz_load build/fuzz/corpus-load fuzz/corpus/load \
    -max_total_time="$seconds" -max_len=2000000 -rss_limit_mb=4096 -timeout=30 \
    -artifact_prefix=build/fuzz/ -print_final_stats=1
