"""korvane.exact_search against numpy's plain argpartition over one GEMM.

    PYTHONPATH=build/release/python /usr/bin/python3 python/bench/bench_exact.py [--count N] [--dim D]

Same data, same k; reports the best wall time of each and the peak memory
each adds (measured in a fresh child process, since the peak resident size
of a process never goes down). The plain version holds every score of a
query batch at once; exact_search holds a block of them.
"""
import argparse
import multiprocessing
import resource
import time

import numpy as np

import korvane


def data(count, queries, dim):
    rng = np.random.default_rng(3)
    return (rng.standard_normal((count, dim), dtype=np.float32),
            rng.standard_normal((queries, dim), dtype=np.float32))


def plain(vectors, queries, k, metric):
    scores = queries @ vectors.T
    if metric == "l2":
        scores *= 2
        scores -= np.einsum("ij,ij->i", vectors, vectors)[None, :]
    top = np.argpartition(scores, scores.shape[1] - k, axis=1)[:, -k:]
    return top


def exact(vectors, queries, k, metric):
    return korvane.exact_search(vectors, queries, k=k, metric=metric)[0]


def measure(name, args, out):
    vectors, queries = data(args.count, args.queries, args.dim)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    call = {"plain": plain, "exact_search": exact}[name]
    best = float("inf")
    for _ in range(args.rounds):
        start = time.perf_counter()
        call(vectors, queries, args.k, args.metric)
        best = min(best, time.perf_counter() - start)
    extra = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
    out.put((name, best, extra))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--dim", type=int, default=768)
    parser.add_argument("--metric", choices=korvane.METRICS, default="ip")
    parser.add_argument("-k", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    print(f"{args.count} x {args.queries} at {args.dim}-d, {args.metric}, k {args.k}, best of {args.rounds}")
    results = multiprocessing.get_context("spawn").Queue()
    for name in ("plain", "exact_search"):
        child = multiprocessing.get_context("spawn").Process(target=measure, args=(name, args, results))
        child.start()
        child.join()
        name, seconds, extra = results.get()
        print(f"{name:13s} {seconds:7.2f} s   peak memory beyond the data {extra:8.0f} MiB")


if __name__ == "__main__":
    main()
