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


def measure(index, data, queries, calls, **threads):
    """Build rate, queries/s of one batch call, seconds per one-query call.
    ``threads`` (in-process only) is passed to add and search."""
    ids = np.arange(len(data), dtype=np.uint64)
    build = timed(lambda: index.add(data, ids, **threads))
    search = timed(lambda: index.search(queries, k=10, **threads))
    return {"build": len(data) / build, "qps": len(queries) / search,
            "call": per_call_seconds(index, queries[0], calls)}


def in_process(data, queries, calls, threads):
    with korvane.Index(seed=1) as index:
        return measure(index, data, queries, calls, threads=threads)


def on_cluster(workers, data, queries, calls, direct=True):
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None, silence_logs=50) as cluster, \
            Client(cluster, direct_to_workers=direct) as client:
        with ShardedIndex(client, shards=workers, seed=1) as index:
            return measure(index, data, queries, calls)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--vectors", type=int, default=20000)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--calls", type=int, default=200,
                        help="single-query calls timed for the overhead")
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    data = rng.standard_normal((args.vectors, 256)).astype(np.float32)
    queries = rng.standard_normal((args.queries, 256)).astype(np.float32)

    rows = [("in-process, 1 thread", in_process(data, queries, args.calls, 1)),
            ("in-process, 2 threads", in_process(data, queries, args.calls, 2)),
            ("1 worker, 1 shard", on_cluster(1, data, queries, args.calls)),
            ("2 workers, 2 shards", on_cluster(2, data, queries, args.calls)),
            ("2 workers, via scheduler",
             on_cluster(2, data, queries, args.calls, direct=False))]
    base = rows[0][1]
    print(f"{args.vectors} vectors, {args.queries} queries in one call, k=10, "
          f"ef=64; one-query calls: {args.calls}")
    print(f"{'':24} {'build/s':>9} {'ratio':>6} {'queries/s':>10} {'ratio':>6}"
          f" {'1-query call':>13} {'overhead':>9}")
    for name, r in rows:
        print(f"{name:24} {r['build']:9.0f} {r['build'] / base['build']:6.2f} "
              f"{r['qps']:10.0f} {r['qps'] / base['qps']:6.2f} "
              f"{r['call'] * 1e6:10.0f} us "
              f"{(r['call'] - base['call']) * 1e6:6.0f} us")


if __name__ == "__main__":
    main()
