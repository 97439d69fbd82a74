#!/bin/sh
# Compares korvane with hnswlib and FAISS (from Debian's packages) on the
# demo's clustered data set, two generated sets of other shapes, or on .fvecs
# files:
#   bench/peers/run.sh                                  # 100,000 built-in vectors
#   bench/peers/run.sh --count 20000                    # a quicker look
#   bench/peers/run.sh --data features --count 50000 --only korvane,hnswlib     # 784-d, l2
#   bench/peers/run.sh --data embeddings --count 50000 --only korvane,hnswlib   # 768-d, cosine
#   bench/peers/run.sh --dim 128 --metric l2            # the clustered set at another shape
#   bench/peers/run.sh --base base.fvecs [--query-file queries.fvecs]
#   bench/peers/run.sh --only korvane,hnswlib           # some libraries
# Prints one Markdown table. Not part of CI.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

if ! dpkg -s libhnswlib-dev libfaiss-dev >/dev/null 2>&1; then
    sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update
    $sudo apt-get install -y libhnswlib-dev libfaiss-dev
fi

cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target korvane >/dev/null
out="$root/build/peers"
mkdir -p "$out"
g++ -std=c++20 -O3 -ffp-contract=off -fopenmp -Wall \
    -I"$root/include" -I"$root/tools" \
    "$here/compare.cpp" \
    "$root/tools/dataset.cpp" "$root/tools/ground_truth.cpp" "$root/tools/vector_io.cpp" \
    "$root/tools/binary_file.cpp" "$root/tools/npy_header.cpp" "$root/tools/args.cpp" \
    "$root/tools/parallel.cpp" "$root/tools/cli_error.cpp" \
    -L"$root/build/release" -lkorvane -Wl,-rpath,"$root/build/release" -lfaiss -llapack -lblas -pthread \
    -o "$out/compare"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')" >&2
# Idle OpenMP workers must not spin on a shared machine.
OMP_WAIT_POLICY=PASSIVE exec "$out/compare" "$@"
