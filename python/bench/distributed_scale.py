#!/usr/bin/python3
"""Build rate, queries/s and per-call overhead of korvane.distributed on a
local Dask cluster (1 and 2 worker processes, one thread each) against an
in-process korvane.Index. Clients talk to the workers directly
(direct_to_workers=True) except in the last row, where every call goes
through the scheduler, as it does by default. Prints rates and ratios to the in-process index
with one thread; take figures from one run, as the machine may be shared.

    PYTHONPATH=build/release/python /usr/bin/python3 python/bench/distributed_scale.py
"""

import argparse
import time

import numpy as np
from distributed import Client, LocalCluster

import korvane
from korvane.distributed import ShardedIndex


def timed(action):
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def per_call_seconds(index, query, calls):
    index.search(query, k=10)
    return timed(lambda: [index.search(query, k=10) for _ in range(calls)]) / calls


def measure(make_index, data, queries, calls, repeats, **threads):
    """Build rate, queries/s of one batch call and seconds per one-query
    call, each the best of ``repeats`` fresh builds (the machine is shared,
    and the best run is the one least disturbed). ``threads`` (in-process
    only) is passed to add and search."""
    ids = np.arange(len(data), dtype=np.uint64)
    best = {"build": 0.0, "qps": 0.0, "call": float("inf")}
    for _ in range(repeats):
        with make_index() as index:
            build = len(data) / timed(lambda: index.add(data, ids, **threads))
            qps = len(queries) / timed(
                lambda: index.search(queries, k=10, **threads))
            call = per_call_seconds(index, queries[0], calls)
        best = {"build": max(best["build"], build),
                "qps": max(best["qps"], qps), "call": min(best["call"], call)}
    return best


def in_process(threads, *workload):
    return measure(lambda: korvane.Index(seed=1), *workload, threads=threads)


def on_cluster(workers, *workload, direct=True):
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None, silence_logs=50) as cluster, \
            Client(cluster, direct_to_workers=direct) as client:
        client.wait_for_workers(workers)
        return measure(lambda: ShardedIndex(client, shards=workers, seed=1),
                       *workload)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--vectors", type=int, default=20000)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--calls", type=int, default=200,
                        help="single-query calls timed for the overhead")
    parser.add_argument("--repeats", type=int, default=3,
                        help="fresh builds per configuration; best is kept")
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    data = rng.standard_normal((args.vectors, 256)).astype(np.float32)
    queries = rng.standard_normal((args.queries, 256)).astype(np.float32)

    workload = (data, queries, args.calls, args.repeats)
    rows = [("in-process, 1 thread", in_process(1, *workload)),
            ("in-process, 2 threads", in_process(2, *workload)),
            ("1 worker, 1 shard", on_cluster(1, *workload)),
            ("2 workers, 2 shards", on_cluster(2, *workload)),
            ("2 workers, via scheduler",
             on_cluster(2, *workload, direct=False))]
    base = rows[0][1]
    print(f"{args.vectors} vectors, {args.queries} queries in one call, k=10, "
          f"ef=64; one-query calls: {args.calls}; best of {args.repeats}")
    print(f"{'':24} {'build/s':>9} {'ratio':>6} {'queries/s':>10} {'ratio':>6}"
          f" {'1-query call':>13} {'overhead':>9}")
    for name, r in rows:
        print(f"{name:24} {r['build']:9.0f} {r['build'] / base['build']:6.2f} "
              f"{r['qps']:10.0f} {r['qps'] / base['qps']:6.2f} "
              f"{r['call'] * 1e6:10.0f} us "
              f"{(r['call'] - base['call']) * 1e6:6.0f} us")


if __name__ == "__main__":
    main()
