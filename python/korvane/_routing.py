"""Which shard owns an id, and how per-shard answers become one answer.

The owner of an id is ``mix64(id) % shard_count``, where ``mix64`` is the
SplitMix64 finaliser:

    z = id + 0x9E3779B97F4A7C15            (mod 2**64)
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9 (mod 2**64)
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB (mod 2**64)
    mix64(id) = z ^ (z >> 31)

The rule never changes for a given manifest format version: saved sharded
indexes record it by name and are refused if it differs, because every
add, remove and filter relies on finding an id in the shard that owns it.
"""

import numpy as np

HASH_RULE = "splitmix64(id) mod shard_count"

_GOLDEN = np.uint64(0x9E3779B97F4A7C15)
_MUL1 = np.uint64(0xBF58476D1CE4E5B9)
_MUL2 = np.uint64(0x94D049BB133111EB)


def mix64(ids):
    """The 64-bit mixer of the routing rule, applied element-wise."""
    z = np.array(ids, dtype=np.uint64, copy=True, ndmin=1)
    with np.errstate(over="ignore"):
        z += _GOLDEN
        z ^= z >> np.uint64(30)
        z *= _MUL1
        z ^= z >> np.uint64(27)
        z *= _MUL2
        z ^= z >> np.uint64(31)
    return z


def shard_of(ids, shard_count):
    """Owning shard of each id (an int64 array shaped like ``ids``)."""
    if shard_count < 1:
        raise ValueError("shard_count must be at least 1")
    return (mix64(ids) % np.uint64(shard_count)).astype(np.int64)


def split_by_shard(ids, shard_count):
    """Positions of the ids each shard owns: {shard: index array}, only
    for shards that own at least one id, positions in input order."""
    owners = shard_of(ids, shard_count)
    order = np.argsort(owners, kind="stable")
    shards, starts = np.unique(owners[order], return_index=True)
    bounds = list(starts[1:]) + [len(order)]
    return {int(s): order[b:e] for s, b, e in zip(shards, starts, bounds)}


def merge_results(id_blocks, score_blocks, k):
    """Best k of several (nq, k) answers: score descending, ties by id
    ascending, so the merged answer does not depend on shard order."""
    ids = np.concatenate(id_blocks, axis=1)
    scores = np.concatenate(score_blocks, axis=1)
    order = np.lexsort((ids, -scores), axis=1)[:, :k]
    return (np.take_along_axis(ids, order, axis=1),
            np.take_along_axis(scores, order, axis=1))
