#!/usr/bin/python3
"""Ingest and search from Dask arrays on a local cluster of 2 worker
processes (one thread each), against one in-process korvane.Index on the
same machine. The vectors and queries are made on the workers, block by
block; the in-process index gets the same array, made in this process.

Prints the ingest rate and its ratio to Index.add (1 and 2 threads), where
the ingest's time goes (block making, routing, transfers, joining, the
shards' adds), the client's peak memory growth during the ingest and the
search, and queries/s of a Dask array of queries against Index.search.
The client process also runs the cluster's scheduler, so its figures
include the scheduler's. Take figures from one run: the machine may be
shared.

    PYTHONPATH=build/release/python /usr/bin/python3 python/bench/dask_ingest.py
"""

import argparse
import collections
import time

import dask
import dask.array as da
import numpy as np
from dask.utils import key_split
from distributed import Client, LocalCluster, get_task_stream

import korvane
from korvane.distributed import ShardedIndex


def random_block(seed, block_info=None):
    (top, bottom), (left, right) = block_info[None]["array-location"]
    rng = np.random.default_rng([seed, top, left])
    return rng.standard_normal((bottom - top, right - left), dtype=np.float32)


def on_workers(rows, dim, chunk, seed):
    return da.map_blocks(random_block, seed=seed, dtype=np.float32,
                         chunks=da.core.normalize_chunks((chunk, dim),
                                                         (rows, dim)))


def in_process(rows, dim, chunk, seed):
    return np.concatenate([
        random_block(seed, {None: {"array-location": [(top, min(rows, top + chunk)),
                                                       (0, dim)]}})
        for top in range(0, rows, chunk)])


def status_kib(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f
                    if line.startswith(field + ":"))


class PeakMemory:
    """Growth of this process's peak resident memory over a block."""

    def __enter__(self):
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        self.before = status_kib("VmRSS")
        return self

    def __exit__(self, *exc):
        self.grew = (status_kib("VmHWM") - self.before) * 1024


def timed(action):
    start = time.perf_counter()
    result = action()
    return time.perf_counter() - start, result


def phase_timer(index, name, log):
    """Wraps one of the index's steps so that its wall time is logged."""
    step = getattr(index, name)

    def wrapped(*args, **kwargs):
        seconds, result = timed(lambda: step(*args, **kwargs))
        log[name] += seconds
        return result
    setattr(index, name, wrapped)


def task_seconds(stream):
    """Compute seconds per kind of task and transfer seconds, summed over
    the workers, from a task stream."""
    compute = collections.Counter()
    transfer_seconds = 0.0
    for record in stream:
        kind = key_split(record["key"])
        for part in record["startstops"]:
            seconds = part["stop"] - part["start"]
            if part["action"] == "compute":
                compute[kind] += seconds
            elif part["action"] == "transfer":
                transfer_seconds += seconds
    return compute, transfer_seconds


def on_cluster(args):
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None, silence_logs=50) as cluster, \
            Client(cluster, direct_to_workers=True) as client:
        client.wait_for_workers(2)
        vectors = on_workers(args.vectors, args.dim, args.chunk, 1)
        queries = on_workers(args.queries, args.dim, args.query_chunk, 2)
        making, _ = timed(lambda: vectors.sum(axis=1).sum().compute())
        index = ShardedIndex(client, 2, args.ef_construction, seed=1,
                             dim=args.dim)
        steps = collections.Counter()
        for name in ("_first_free_id", "_stage", "_call",
                     "_add_all_or_nothing"):
            phase_timer(index, name, steps)
        with get_task_stream(client) as stream, PeakMemory() as add_memory:
            add_seconds, _ = timed(lambda: index.add(vectors))
        assert len(index) == args.vectors
        compute, transfer_seconds = task_seconds(stream.data)
        with PeakMemory() as search_memory:
            search_seconds, (found, _) = timed(
                lambda: dask.compute(*index.search(queries, k=10)))
        assert found.shape == (args.queries, 10)
        index.close()
        return {"add": add_seconds, "making": making, "steps": steps,
                "compute": compute, "transfer": transfer_seconds,
                "add_memory": add_memory.grew, "search": search_seconds,
                "search_memory": search_memory.grew,
                "client_peak": status_kib("VmHWM") * 1024}


def alone(args, threads):
    data = in_process(args.vectors, args.dim, args.chunk, 1)
    queries = in_process(args.queries, args.dim, args.query_chunk, 2)
    with korvane.Index(args.ef_construction, seed=1, dim=args.dim) as index:
        add, _ = timed(lambda: index.add(data, threads=threads))
        search, _ = timed(lambda: index.search(queries, k=10,
                                               threads=threads))
    return add, search


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--vectors", type=int, default=1_000_000)
    parser.add_argument("--queries", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=256)
    parser.add_argument("--chunk", type=int, default=50_000,
                        help="rows per block of the vectors")
    parser.add_argument("--query-chunk", type=int, default=10_000)
    parser.add_argument("--ef-construction", type=int, default=200)
    args = parser.parse_args()

    cluster = on_cluster(args)
    single = {threads: alone(args, threads) for threads in (1, 2)}

    n, nq = args.vectors, args.queries
    mib = 1 << 20
    print(f"{n} x {args.dim} float32 ({n * args.dim * 4 / mib:.0f} MiB) in "
          f"blocks of {args.chunk}, ef_construction {args.ef_construction}; "
          f"{nq} queries in blocks of {args.query_chunk}, k 10, ef 64")
    print(f"{'':34} {'seconds':>8} {'per s':>9} {'ratio':>6}")
    base_add = n / single[1][0]
    for name, seconds in (("Index.add, 1 thread", single[1][0]),
                          ("Index.add, 2 threads", single[2][0]),
                          ("Dask ingest, 2 workers x 1 thread", cluster["add"])):
        print(f"{name:34} {seconds:8.1f} {n / seconds:9.0f} "
              f"{n / seconds / base_add:6.2f}")
    base_search = nq / single[1][1]
    for name, seconds in (("Index.search, 1 thread", single[1][1]),
                          ("Index.search, 2 threads", single[2][1]),
                          ("Dask search, 2 workers", cluster["search"])):
        print(f"{name:34} {seconds:8.1f} {nq / seconds:9.0f} "
              f"{nq / seconds / base_search:6.2f}")
    print("Where the ingest's time goes (wall seconds in the client):")
    steps = cluster["steps"]
    print(f"  default ids looked up on the shards {steps['_first_free_id']:7.2f}")
    print(f"  blocks made, routed, moved, joined  {steps['_stage']:7.2f}")
    print(f"  parts checked for repeats, present  "
          f"{steps['_call'] - steps['_first_free_id']:7.2f}")
    print(f"  the shards' adds                    "
          f"{steps['_add_all_or_nothing']:7.2f}")
    print("  worker seconds by task (summed over both workers): " + ", ".join(
        f"{kind} {seconds:.2f}" for kind, seconds in
        sorted(cluster["compute"].items(), key=lambda kv: -kv[1])))
    print(f"  transfers between workers: {cluster['transfer']:.2f} s; "
          f"making the blocks alone: {cluster['making']:.2f} s")
    print(f"Client peak memory growth: ingest {cluster['add_memory'] / mib:.1f} "
          f"MiB, search {cluster['search_memory'] / mib:.1f} MiB; client "
          f"peak RSS {cluster['client_peak'] / mib:.0f} MiB; data "
          f"{n * args.dim * 4 / mib:.0f} MiB")


if __name__ == "__main__":
    main()
