#!/bin/sh
# Compares korvane with hnswlib and FAISS (from Debian's packages) and USearch
# (from its npm package, fetched into the build directory once) on the demo's
# clustered data set, two generated sets of other shapes, or on .fvecs files:
#   bench/peers/run.sh                                  # 100,000 built-in vectors
#   bench/peers/run.sh --count 20000                    # a quicker look
#   bench/peers/run.sh --data features --count 50000 --only korvane,hnswlib     # 784-d, l2
#   bench/peers/run.sh --data embeddings --count 50000 --only korvane,hnswlib   # 768-d, cosine
#   bench/peers/run.sh --dim 128 --metric l2            # the clustered set at another shape
#   bench/peers/run.sh --base base.fvecs [--query-file queries.fvecs]
#   bench/peers/run.sh --only korvane,hnswlib,usearch   # some libraries
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

# USearch is header-only; its distance kernels come from the NumKong library
# bundled in the same package, whose run-time kernel choice is a small C
# library built here (a few minutes, once). Without NumKong USearch falls back
# to scalar loops an order of magnitude slower, which would not be USearch as
# it ships. Where npm, the package or that build fails, the comparison runs
# without it.
usearch_version=${USEARCH_VERSION:-2.26.2}
usearch="$out/usearch-$usearch_version"
fetch_usearch() {
    command -v npm >/dev/null && command -v node >/dev/null || return 1
    rm -rf "$usearch" && mkdir -p "$usearch/objects" && cd "$usearch" || return 1
    npm pack --silent "usearch@$usearch_version" >/dev/null 2>&1 &&
        tar xzf "usearch-$usearch_version.tgz" &&
        (cd package/numkong && node probes/probe.js >/dev/null) || return 1
    echo "building USearch's NumKong kernels ..." >&2
    ls package/numkong/c/*.c | grep -v /parallel.c | xargs -P2 -I{} sh -c \
        'gcc -std=c11 -O3 -w -DNK_NATIVE_F16=0 -DNK_NATIVE_BF16=0 -DNK_DYNAMIC_DISPATCH=1 \
             -include package/numkong/nk_probes.h -Ipackage/numkong/include -c {} -o objects/$(basename {} .c).o' &&
        ar rcs libnumkong.a objects/*.o
}
usearch_flags=""
if [ -f "$usearch/libnumkong.a" ] || (fetch_usearch); then
    usearch_flags="-DKORVANE_PEERS_USEARCH=1 -DUSEARCH_USE_NUMKONG=1 -DNK_DYNAMIC_DISPATCH=1 -DNK_NATIVE_F16=0
        -DNK_NATIVE_BF16=0 -isystem $usearch/package/include -isystem $usearch/package/numkong/include
        $usearch/libnumkong.a"
else
    rm -rf "$usearch"
    echo "USearch $usearch_version could not be fetched or built (npm, node and the npm registry are needed); comparing without it" >&2
fi

# hnswlib picks its distance kernels at compile time (USearch's NumKong picks
# at run time), so the program is built for this host, as bench/'s
# peer_hnswlib is: without it hnswlib would run its SSE kernels against
# USearch's widest. korvane is the ordinary portable library it links.
# shellcheck disable=SC2086  # usearch_flags is a list of words
g++ -std=c++20 -O3 -march=native -ffp-contract=off -fopenmp -Wall \
    -I"$root/include" -I"$root/tools" \
    "$here/compare.cpp" \
    "$root/tools/dataset.cpp" "$root/tools/ground_truth.cpp" "$root/tools/vector_io.cpp" \
    "$root/tools/binary_file.cpp" "$root/tools/npy_header.cpp" "$root/tools/args.cpp" \
    "$root/tools/parallel.cpp" "$root/tools/cli_error.cpp" \
    $usearch_flags \
    -L"$root/build/release" -lkorvane -Wl,-rpath,"$root/build/release" -lfaiss -llapack -lblas -pthread \
    -o "$out/compare"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')" >&2
# Idle OpenMP workers must not spin on a shared machine.
OMP_WAIT_POLICY=PASSIVE exec "$out/compare" "$@"
