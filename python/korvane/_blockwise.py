"""What runs on the workers when a sharded index takes a Dask array: each
block of vectors is checked and split by owning shard on the worker that
holds it, each shard's pieces are joined into one part on the shard's own
worker, and each block of queries is searched from the worker that holds
it. Nothing here runs in the client.

A shard must add its part in one call, in the order of the whole array:
an index builds a batch in fixed-size chunks and takes a Euclidean
centre from its first add, so two adds of halves do not give the index
that one add of the whole gives. Joining the pieces in block order on
the shard's worker is what makes an add from a Dask array give the same
index, bit for bit, as an add of the same NumPy array."""

import re

import numpy as np

import korvane

from ._korvane import _to_ids, _to_rows
from ._routing import merge_results, split_by_shard

_ROW = re.compile(r"(\w+ row )(\d+)(.*)", re.S)
# Refusals rank as the NumPy path meets them: every vector is checked
# before any id.
_VECTORS, _IDS = 0, 1


def _shifted(message, offset):
    """A row-checking message about a block, renumbered to the row of the
    whole array."""
    match = _ROW.fullmatch(message)
    if not match:
        return message, offset
    row = offset + int(match.group(2))
    return f"{match.group(1)}{row}{match.group(3)}", row


def _refusal(kind, message, offset):
    message, row = _shifted(message, offset)
    return (kind, row, message)


class RoutedBlock:
    """One block split by owning shard: ``pieces[s]`` is (vectors, ids) or
    None, or, for a refused block, ``refusals`` says why."""

    def __init__(self, pieces, refusals):
        self.pieces = pieces
        self.refusals = refusals


class StagedPart:
    """A shard's whole part of one add, in the order of the array, on the
    shard's worker; or only the first refusal of any block."""

    def __init__(self, vectors, ids, refusals):
        self.vectors = vectors
        self.ids = ids
        self.refusals = refusals


def route_block(vectors, ids, offset, first_id, dim, metric, shard_count):
    """Checks a block by the rules of ``korvane.Index.add`` and splits it
    by owning shard. ``ids`` None: the block's default ids, ``first_id``
    plus the rows' positions in the array. A refusal is returned rather
    than raised, so that the client can report the first one in the
    array whatever order the blocks ran in."""
    try:
        rows, _ = _to_rows(vectors, "vectors", dim, metric, True)
    except ValueError as e:
        return RoutedBlock(None, [_refusal(_VECTORS, str(e), offset)])
    if ids is None:
        ids = np.uint64(first_id + offset) + np.arange(len(rows),
                                                       dtype=np.uint64)
    else:
        try:
            ids = np.array(_to_ids(ids, "ids"), dtype=np.uint64, copy=False,
                           ndmin=1)
        except ValueError as e:
            return RoutedBlock(None, [_refusal(_IDS, str(e), offset)])
        padding = np.flatnonzero(ids == np.uint64(korvane.NO_ID))
        if len(padding):
            return RoutedBlock(None, [(
                _IDS, offset + int(padding[0]),
                "ids holds NO_ID (2**64 - 1), which marks padding in search "
                "results and cannot be added")])
    parts = split_by_shard(ids, shard_count)
    return RoutedBlock([(rows[parts[s]], ids[parts[s]]) if s in parts
                        else None for s in range(shard_count)], [])


def piece_of(block, shard):
    """The shard's piece of a routed block, with the block's refusals; a
    task of its own so that only this piece travels to the shard."""
    return (None if block.pieces is None else block.pieces[shard],
            block.refusals)


def stage(dim, *pieces):
    """Joins a shard's pieces, given in block order, into its part. Runs on
    the shard's worker and stays there until the shard adds it."""
    refusals = [r for _, block_refusals in pieces for r in block_refusals]
    if refusals:
        return StagedPart(None, None, [min(refusals)])
    held = [piece for piece, _ in pieces if piece is not None]
    if not held:
        return StagedPart(np.empty((0, dim), np.float32),
                          np.empty(0, np.uint64), [])
    vectors = np.concatenate([v for v, _ in held]) if len(held) > 1 else held[0][0]
    ids = np.concatenate([i for _, i in held]) if len(held) > 1 else held[0][1]
    return StagedPart(vectors, ids, [])


def staged_part(key):
    """The part a staging task left in this worker's memory."""
    from distributed import get_worker
    return get_worker().data[key]


def search_block(queries, offset, dim, metric, targets, k, ef, rerank,
                 walk):
    """Searches one block of queries on the shards in ``targets`` ((actor,
    allowed ids or None) pairs) and merges their answers as
    ``ShardedIndex.search`` does; returns (ids, scores)."""
    try:
        queries, _ = _to_rows(queries, "queries", dim, metric, False)
    except ValueError as e:
        raise ValueError(_shifted(str(e), offset)[0]) from None
    calls = [actor.search(queries, k, ef, rerank, allowed, walk)
             for actor, allowed in targets]
    return merge_answers([call.result() for call in calls], len(queries), k)


def merge_answers(answers, nq, k):
    """One answer from the shards' (ids, scores) answers, in shard order."""
    if not answers:
        return (np.full((nq, k), korvane.NO_ID, dtype=np.uint64),
                np.full((nq, k), -np.inf, dtype=np.float32))
    return merge_results([ids.reshape(nq, k) for ids, _ in answers],
                         [scores.reshape(nq, k) for _, scores in answers], k)
