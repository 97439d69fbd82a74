"""What the Python binding adds to a search, against the same C calls.

    PYTHONPATH=build/release/python /usr/bin/python3 python/bench/bench_overhead.py [--count N] [--dim D] [--metric M]

Single queries: index.search(q) per query in a Python loop against
korvane_search per query in a C loop (same index, same pooled context).
Batches: index.search(queries) against one korvane_search_batch call over
the same queries. Rounds alternate between the two so that load on the
machine hits both alike; the best round of each is reported.
"""
import argparse
import time

import numpy as np

import korvane
from korvane import _korvane


def clustered(rng, count, dim, centres=64):
    centre = rng.standard_normal((centres, dim)).astype(np.float32)
    pick = rng.integers(0, centres, count)
    return (centre[pick] + 0.3 * rng.standard_normal((count, dim))).astype(np.float32)


def best_of(rounds, python_call, c_call):
    """Best (wall, CPU) seconds of each side; CPU is the process's, all threads."""
    python_best = c_best = (float("inf"), float("inf"))
    for _ in range(rounds):
        wall, cpu = time.perf_counter(), time.process_time()
        python_call()
        python_times = (time.perf_counter() - wall, time.process_time() - cpu)
        python_best = tuple(map(min, python_best, python_times))
        c_best = tuple(map(min, c_best, c_call()))
    return python_best, c_best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=20000)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--ef", type=int, default=64)
    parser.add_argument("-k", type=int, default=10)
    parser.add_argument("--dim", type=int, default=korvane.DIM)
    parser.add_argument("--metric", choices=korvane.METRICS, default="ip")
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    index = korvane.Index(seed=1, dim=args.dim, metric=args.metric)
    index.add(clustered(rng, args.count, args.dim))
    queries = clustered(rng, args.queries, args.dim)
    k, ef = args.k, args.ef
    print(f"{args.count} vectors of {args.dim} ({args.metric}), {args.queries} queries, k {k}, ef {ef}, "
          f"best of {args.rounds} rounds")

    def python_singles():
        for query in queries:
            index.search(query, k=k, ef=ef)

    python, c = best_of(args.rounds, python_singles, lambda: _korvane._c_search_loop(index, queries, k, ef, 4, 1))
    for clock, p, q in (("wall", python[0], c[0]), ("CPU", python[1], c[1])):
        per_python, per_c = p / len(queries) * 1e6, q / len(queries) * 1e6
        print(f"one query per call, {clock:4s}  Python {per_python:8.2f} us  C {per_c:8.2f} us  "
              f"overhead {per_python - per_c:6.2f} us/call  ratio {per_python / per_c:.3f}")

    for threads in (1, 2):
        python, c = best_of(args.rounds, lambda: index.search(queries, k=k, ef=ef, threads=threads),
                            lambda: _korvane._c_search_batch(index, queries, k, ef, 4, 1, threads))
        for clock, p, q in (("wall", python[0], c[0]), ("CPU", python[1], c[1])):
            print(f"{len(queries)} queries in one call, {threads} thr, {clock:4s}  Python {p * 1e3:8.2f} ms  "
                  f"C {q * 1e3:8.2f} ms  ratio {p / q:.3f}")


if __name__ == "__main__":
    main()
