#!/usr/bin/env bash
# Builds the fuzz preset and runs the fuzzers for bounded times from their
# committed seed corpora:
#   fuzz/run.sh [loader seconds, default 75] [ops [ops seconds, default 75]]
# The routing-code fuzzer runs for ROUTING_SECONDS (default 30).
# New inputs go to build/fuzz/corpus-*; a crash leaves its input in build/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
load_seconds=${1:-75}
ops_seconds=0
[ "${2:-}" = ops ] && ops_seconds=${3:-75}
jobs=${JOBS:-2}

cmake --preset fuzz >/dev/null
routing_seconds=${ROUTING_SECONDS:-30}
targets=(fuzz_load fuzz_routing)
[ "$ops_seconds" -gt 0 ] && targets+=(fuzz_ops)
cmake --build --preset fuzz -j"$jobs" --target "${targets[@]}"

mkdir -p build/fuzz/corpus-load
echo "-- loader fuzzer, $load_seconds s"
./build/fuzz/fuzz/fuzz_load build/fuzz/corpus-load fuzz/corpus/load \
    -max_total_time="$load_seconds" -max_len=2000000 -rss_limit_mb=4096 -timeout=30 \
    -artifact_prefix=build/fuzz/ -print_final_stats=1

mkdir -p build/fuzz/corpus-routing
echo "-- routing-code fuzzer, $routing_seconds s"
./build/fuzz/fuzz/fuzz_routing build/fuzz/corpus-routing fuzz/corpus/routing \
    -max_total_time="$routing_seconds" -max_len=8192 -rss_limit_mb=2048 -timeout=30 \
    -artifact_prefix=build/fuzz/ -print_final_stats=1

if [ "$ops_seconds" -gt 0 ]; then
    mkdir -p build/fuzz/corpus-ops
    echo "-- operation-sequence fuzzer, $ops_seconds s"
    ./build/fuzz/fuzz/fuzz_ops build/fuzz/corpus-ops fuzz/corpus/ops \
        -max_total_time="$ops_seconds" -max_len=4096 -rss_limit_mb=4096 -timeout=60 \
        -artifact_prefix=build/fuzz/ -print_final_stats=1
fi
