"""A sharded index whose shards live on the workers of a Dask cluster.

    from distributed import Client
    from korvane.distributed import ShardedIndex

    client = Client("tcp://scheduler:8786")      # any Dask cluster
    index = ShardedIndex(client, shards=8, dim=784, metric="l2")
    index.add(vectors, ids)
    ids, scores = index.search(queries, k=10)

Vectors and queries may be NumPy arrays in the client or Dask arrays
whose blocks the workers hold (read from Parquet, Zarr or HDF5 there):

    vectors = da.from_zarr("/shared/vectors.zarr")   # (n, 784) on the workers
    index = ShardedIndex.from_dask(client, vectors, shards=8, metric="l2")
    ids, scores = index.search(queries_on_workers, k=10)   # Dask arrays
    index.save("/shared/index")                  # visible to every worker
    index = ShardedIndex.load(client, "/shared/index")

Each shard is a ``korvane.Index`` held in one worker's memory as a Dask
actor; shards are spread round-robin over the workers. An id belongs to
shard ``mix64(id) % shards`` (see ``shard_of`` for the rule), so adds,
removes, membership tests and filters go only to the shards that own the
ids; an unfiltered search goes to every shard. Every shard uses the same
seed, dimension and metric, so their scores are comparable and merge into
one answer. The blocks of a Dask array go from the workers that hold them
straight to the shards' workers; the client only sends the task graph.

A worker that dies takes its shards with it: the next call raises
``ShardLostError`` naming them, and ``ShardedIndex.load`` from the last
save restores the index.
"""

from __future__ import annotations

import itertools
import operator
import os
import secrets
import threading
import time
from typing import TYPE_CHECKING, Iterable

import dask
import dask.array as da
import numpy as np
from distributed import wait

import korvane

from . import _blockwise, _manifest
from ._routing import HASH_RULE, shard_of, split_by_shard
from ._korvane import _to_ids, _to_rows
from ._shard import Shard

if TYPE_CHECKING:
    from distributed import Client
    from numpy.typing import ArrayLike

__all__ = ["ShardedIndex", "ShardLostError", "shard_of", "HASH_RULE"]

# How often a call that has not answered checks that its workers live.
_POLL_SECONDS = 0.5
# How long a call that could not reach a worker waits for the scheduler to
# confirm that the worker left, before reporting the shard lost anyway.
_LOSS_GRACE_SECONDS = 10.0

# Saves to one directory from this process run one at a time (saves from
# other processes are ordered by a lock on the directory itself).
_save_locks = {}
_save_locks_guard = threading.Lock()


def _save_lock(directory):
    with _save_locks_guard:
        return _save_locks.setdefault(directory, threading.Lock())


class ShardLostError(RuntimeError):
    """Shards are gone because the workers that held them left the
    cluster. ``shards`` lists their numbers. Load the last save to
    recover."""

    def __init__(self, shards: Iterable[int], detail: str = "") -> None:
        self.shards = sorted(shards)
        self.detail = detail
        super().__init__(
            f"shards {self.shards} of the sharded index are lost: their "
            f"worker left the cluster{detail}; restore the index with "
            f"ShardedIndex.load from its last save")

    def __reduce__(self):
        return type(self), (self.shards, self.detail)


def _cluster_workers(client):
    """Worker addresses with their thread counts, in a stable order."""
    workers = client.scheduler_info()["workers"]
    if not workers:
        raise RuntimeError("the Dask cluster has no workers")
    return sorted((address, info.get("nthreads", 1))
                  for address, info in workers.items())


# The argument rules of korvane.Index, applied here before anything is
# routed, so that both refuse and accept the same things.
def _as_ids(ids, what="ids"):
    return np.array(_to_ids(ids, what), dtype=np.uint64, copy=False, ndmin=1)


def _as_vectors(vectors, what, settings, stored):
    return _to_rows(vectors, what, settings["dim"],
                    _manifest.METRICS.index(settings["metric"]), stored)


def _dask_rows(array, what, dim):
    """A Dask array of vectors as (n, dim) in blocks of whole rows, and
    whether it was one (dim,) vector. The shape is checked in the client,
    so a wrong width fails before anything is computed."""
    shape = tuple(array.shape)
    if array.ndim not in (1, 2):
        raise ValueError(f"{what} must have shape (n, {dim}) or ({dim},), "
                         f"got {shape}")
    if shape[-1] != dim:
        raise ValueError(
            f"{what} have {shape[-1]} components but the index's dimension "
            f"is {dim}: expected shape (n, {dim}) or ({dim},), got {shape}")
    single = array.ndim == 1
    if single:
        array = array[None, :]
    if any(np.isnan(rows) for rows in array.chunks[0]):
        raise ValueError(f"{what} has blocks of unknown length; call "
                         f"{what}.compute_chunk_sizes() first")
    if len(array.chunks[1]) > 1:
        array = array.rechunk({1: -1})
    return array, single


def _dask_ids(ids, rows):
    """Ids as a Dask array in the blocks of the vectors (``rows`` per
    block). Ids given in the client are checked there."""
    if not isinstance(ids, da.Array):
        ids = _as_ids(ids)
    elif ids.ndim != 1:
        raise ValueError("ids must be one-dimensional")
    elif any(np.isnan(n) for n in ids.chunks[0]):
        raise ValueError("ids has blocks of unknown length; call "
                         "ids.compute_chunk_sizes() first")
    if ids.shape[0] != sum(rows):
        raise ValueError(f"{ids.shape[0]} ids for {sum(rows)} vectors")
    if not isinstance(ids, da.Array):
        return da.from_array(ids, chunks=(rows,))
    return ids if ids.chunks[0] == rows else ids.rechunk((rows,))


def _offsets(rows):
    """The position in the array of each block's first row."""
    return [0, *itertools.accumulate(rows)][:-1]


def _as_count(value, what, low, high=2**64 - 1):
    if isinstance(value, (bool, np.bool_)):
        raise ValueError(f"{what} must be an integer, got {value!r}")
    try:
        value = operator.index(value)
    except TypeError:
        raise ValueError(f"{what} must be an integer, got {value!r}") from None
    if not low <= value <= high:
        raise ValueError(f"{what} must be in {low} .. {high}, got {value}")
    return value


class ShardedIndex:
    """An index split into ``shards`` parts held by the workers of the
    cluster that ``client`` is connected to; it answers like one
    ``korvane.Index``. ``dim`` and ``metric`` (keyword only) are those of
    ``korvane.Index``: 1 .. 4096 floats per vector, ranked by "ip", "cosine"
    or "l2".

    ``timeout`` (seconds, None for no limit) bounds every call; a call
    whose worker dies fails with ``ShardLostError`` within about a second
    of the scheduler noticing, whatever the timeout.
    """

    def __init__(self, client: Client, shards: int,
                 ef_construction: int = 200, seed: int = 0,
                 store: str = "int8", *, dim: int = 256, metric: str = "ip",
                 timeout: float | None = None) -> None:
        shards = operator.index(shards)
        if shards < 1:
            raise ValueError("shards must be a positive integer")
        if not isinstance(store, str) or store not in _manifest.STORES:
            raise ValueError(f"store must be one of {_manifest.STORES}, "
                             f"got {store!r}")
        if not isinstance(metric, str) or metric not in _manifest.METRICS:
            raise ValueError(f"metric must be one of {_manifest.METRICS}, "
                             f"got {metric!r}")
        settings = {"ef_construction": _as_count(ef_construction,
                                                 "ef_construction", 0),
                    "seed": _as_count(seed, "seed", 0), "store": store,
                    "dim": _as_count(dim, "dim", 1, _manifest.MAX_DIM),
                    "metric": metric}
        self._start(client, settings, [None] * shards, timeout)

    @classmethod
    def load(cls, client: Client, directory: str | os.PathLike, *,
             timeout: float | None = None) -> ShardedIndex:
        """Loads a sharded index saved by ``save``. The manifest and every
        shard file (its SHA-256, length, dimension, metric and other
        settings) are checked before
        the index is returned; a mismatch raises ``korvane.IndexFileError``
        naming the shard, a missing manifest ``FileNotFoundError``. The
        directory is read by the workers, so it must be visible to them."""
        directory = os.path.abspath(os.fspath(directory))
        _cluster_workers(client)  # refuse an empty cluster rather than wait
        text = client.submit(_manifest.read, directory,
                             pure=False).result(timeout=timeout)
        try:
            manifest = _manifest.check(text)
        except _manifest.ManifestError as e:
            raise korvane.IndexFileError(
                f"{os.path.join(directory, _manifest.MANIFEST_NAME)}: {e}"
            ) from None
        settings = {key: manifest[key]
                    for key in ("ef_construction", "seed", "store", "dim",
                                "metric")}
        saved = [{"path": os.path.join(directory, entry["file"]),
                  "length": entry["length"], "sha256": entry["sha256"],
                  "shard_count": len(manifest["shards"])}
                 for entry in manifest["shards"]]
        self = cls.__new__(cls)
        self._start(client, settings, saved, timeout)
        return self

    @classmethod
    def from_dask(cls, client: Client, vectors: da.Array,
                  ids: ArrayLike | da.Array | None = None, *, shards: int,
                  ef_construction: int = 200, seed: int = 0,
                  store: str = "int8", metric: str = "ip",
                  timeout: float | None = None,
                  threads: int | None = None) -> ShardedIndex:
        """A sharded index of ``shards`` shards over a Dask array of (n, d)
        vectors, of dimension d: ``ShardedIndex(client, shards, ...,
        dim=d)`` followed by ``add(vectors, ids, threads)``, whose
        blocks go from the workers that hold them to the shards without
        passing through the client. If the add fails, the shards are
        released and the error is raised."""
        if not isinstance(vectors, da.Array):
            raise TypeError(f"vectors must be a dask.array.Array, got "
                            f"{type(vectors).__name__}")
        index = cls(client, shards, ef_construction, seed, store,
                    dim=vectors.shape[-1], metric=metric, timeout=timeout)
        try:
            index.add(vectors, ids, threads)
        except BaseException:
            index.close()
            raise
        return index

    def _start(self, client, settings, saved, timeout):
        self._client = client
        self._settings = settings
        self._timeout = timeout
        self._lost = set()
        self._write_lock = threading.Lock()
        self._futures = []
        workers = _cluster_workers(client)
        self._workers = [workers[i % len(workers)][0]
                         for i in range(len(saved))]
        self._futures = [
            client.submit(Shard, number, workers[number % len(workers)][1],
                          settings, saved[number], actor=True, pure=False,
                          workers=[self._workers[number]],
                          allow_other_workers=False)
            for number in range(len(saved))]
        try:
            self._actors = self._gather_futures(self._futures)
        except BaseException:
            self.close()
            raise

    # -- waiting with a bounded time and a liveness check ------------------

    def _gather_futures(self, futures):
        """Results of the actor-creating futures, in shard order. A shard
        that fails to start (for example a refused file) fails the whole
        call, with the lowest-numbered failure reported."""
        self._await(futures)
        return [future.result() for future in futures]

    def _await(self, futures):
        """Waits until the futures (one per shard, in shard order, each to
        run on its shard's worker) have finished, without fetching their
        results; raises the failure of the lowest-numbered one that failed.
        Checks every half second that the shards' workers live."""
        deadline = self._deadline()
        pending = list(futures)
        while pending:
            try:
                wait(pending, timeout=_POLL_SECONDS)
            except TimeoutError:
                pass
            for future in futures:
                if future.status in ("error", "cancelled"):
                    future.result()  # raises; fetches only the exception
            pending = [future for future in pending if not future.done()]
            if pending:
                self._raise_if_lost(range(len(futures)))
                self._raise_if_late(deadline)

    def _deadline(self):
        if self._timeout is None:
            return None
        return time.monotonic() + self._timeout

    def _raise_if_late(self, deadline):
        if deadline is not None and time.monotonic() > deadline:
            raise TimeoutError(
                f"the sharded index did not answer within {self._timeout} s")

    def _raise_if_lost(self, shards, detail=""):
        """Raises ShardLostError if any shard's worker has left, asking the
        scheduler which workers are alive."""
        try:
            alive = set(self._client.scheduler_info()["workers"])
        except OSError as e:
            raise ConnectionError(
                f"the Dask scheduler does not answer: {e}") from e
        lost = {s for s in shards if self._workers[s] not in alive}
        self._lost |= lost
        if lost:
            raise ShardLostError(self._lost, detail)

    def _check_usable(self, shards):
        if not hasattr(self, "_actors"):
            raise ValueError("the sharded index is closed")
        known = self._lost | {s for s in shards
                              if self._futures[s].status != "finished"}
        if known:
            self._lost |= known
            raise ShardLostError(self._lost)

    def _call(self, requests):
        """Runs {shard: (method, args)} on the shards at once; returns
        {shard: result}. A shard method's own exception is re-raised once
        every shard has answered (the lowest shard number first)."""
        self._check_usable(requests)
        futures = {s: getattr(self._actors[s], method)(*args)
                   for s, (method, args) in requests.items()}
        outcomes = self._collect(futures)
        for s in sorted(outcomes):
            if isinstance(outcomes[s], BaseException):
                raise outcomes[s]
        return outcomes

    def _collect(self, futures):
        """{shard: result or the exception its method raised}. While a
        shard has not answered, checks every half second that its worker
        is alive, so a dead worker is reported instead of waited for."""
        deadline = self._deadline()
        outcomes = {}
        for s, future in futures.items():
            while s not in outcomes:
                try:
                    outcomes[s] = future.result(timeout=_POLL_SECONDS)
                except Exception:
                    if future.done():  # it may have finished just now
                        outcomes[s] = self._outcome(s, future, futures)
                    else:
                        self._raise_if_lost(futures)
                        self._raise_if_late(deadline)
        return outcomes

    def _outcome(self, s, future, futures):
        """The result of a finished actor call, or the exception it raised.
        A failure to reach the worker becomes ShardLostError: the worker
        may be gone before the scheduler has noticed, so the scheduler is
        given a little time to confirm it, and the shard counts as lost
        either way (its actor cannot be reached)."""
        try:
            return future.result()
        except Exception as e:
            if not isinstance(e, OSError):
                return e
            detail = f" ({e})"
            grace = time.monotonic() + _LOSS_GRACE_SECONDS
            while time.monotonic() < grace:
                self._raise_if_lost(futures, detail)
                time.sleep(0.1)
            self._lost.add(s)
            raise ShardLostError(self._lost, detail) from e

    # -- the index operations ----------------------------------------------

    def add(self, vectors: ArrayLike | da.Array,
            ids: ArrayLike | da.Array | None = None,
            threads: int | None = None) -> None:
        """Adds vectors ((n, dim) or (dim,)) under ids, with the checks of
        ``korvane.Index.add`` (finite vectors; integer ids, not NO_ID; by
        default the first n consecutive free ids from len(self) on). Ids
        already present anywhere, or repeated, raise
        ``korvane.DuplicateIdError`` with nothing added. Each shard adds
        its part on its worker with ``threads`` threads (None: as many as
        the worker has).

        ``vectors`` (and ``ids``) may be Dask arrays: each block is checked
        and split by owning shard on the worker that holds it, and the
        pieces go from there to the shards' workers, never through the
        client. Each shard joins its pieces in the order of the array and
        adds them in one call, so the index is the one an add of the same
        NumPy array gives, bit for bit; meanwhile a shard's worker holds
        its part as float32 as well as the index. A refused row is named by
        its row in the whole array. The blocks' lengths must be known.

        An add that fails, or that does not finish within the timeout,
        leaves nothing: what the shards added is taken out again before the
        error is raised (after a timeout, the shards still busy with the
        add undo it as soon as it ends), so the same add can be retried."""
        if threads is not None:
            threads = _as_count(threads, "threads", 1)
        if isinstance(vectors, da.Array) or isinstance(ids, da.Array):
            self._add_blocks(vectors, ids, threads)
            return
        vectors, _ = _as_vectors(vectors, "vectors", self._settings, True)
        with self._write_lock:
            if ids is None:
                ids = np.uint64(self._first_free_id(len(vectors))) + \
                    np.arange(len(vectors), dtype=np.uint64)
            else:
                ids = _as_ids(ids)
                if len(ids) != len(vectors):
                    raise ValueError(
                        f"{len(ids)} ids for {len(vectors)} vectors")
                if np.any(ids == np.uint64(korvane.NO_ID)):
                    raise ValueError(
                        "ids holds NO_ID (2**64 - 1), which marks padding "
                        "in search results and cannot be added")
                self._refuse_duplicates(ids)
            parts = split_by_shard(ids, self.shards)
            self._add_all_or_nothing(
                {s: ("add", (vectors[p], ids[p], threads))
                 for s, p in parts.items()})

    def _first_free_id(self, count):
        """The first of the first ``count`` consecutive ids from len(self)
        on that no shard holds (after removals, len(self) + i may be
        taken). The shards look up the ids they own themselves, so no id
        list is sent."""
        first = len(self)
        while True:
            if count > korvane.NO_ID - first:
                raise OverflowError(
                    "no run of free default ids is left below NO_ID")
            taken = self._call({s: ("highest_taken",
                                    (first, count, self.shards))
                                for s in range(self.shards)})
            highest = [t for t in taken.values() if t is not None]
            if not highest:
                return first
            first = max(highest) + 1

    def _add_blocks(self, vectors, ids, threads):
        if not isinstance(vectors, da.Array):
            vectors = da.from_array(
                _as_vectors(vectors, "vectors", self._settings, True)[0])
        vectors, _ = _dask_rows(vectors, "vectors", self.dim)
        rows = vectors.chunks[0]
        if ids is not None:
            ids = _dask_ids(ids, rows)
        with self._write_lock:
            first = self._first_free_id(sum(rows)) if ids is None else 0
            staged = self._stage(vectors, ids, first)
            try:
                checks = self._call({s: ("check_staged", (staged[s].key,))
                                     for s in range(self.shards)})
                self._refuse_staged(checks)
                self._add_all_or_nothing(
                    {s: ("add_staged", (staged[s].key, threads))
                     for s in sorted(checks) if checks[s]["count"]})
            finally:
                for future in staged:
                    future.release()

    def _stage(self, vectors, ids, first_id):
        """Routes every block on the worker that computes it and joins each
        shard's pieces, in block order, on the shard's worker. Returns one
        future per shard; its result (a ``_blockwise.StagedPart``) stays on
        that worker until the shard adds it, and is never fetched here."""
        self._check_usable(range(self.shards))
        metric = _manifest.METRICS.index(self.metric)
        blocks = vectors.to_delayed().ravel()
        id_blocks = ([None] * len(blocks) if ids is None
                     else ids.to_delayed().ravel())
        route = dask.delayed(_blockwise.route_block, pure=False)
        routed = self._client.compute([
            route(block, block_ids, offset, first_id, self.dim, metric,
                  self.shards)
            for block, block_ids, offset in zip(
                blocks, id_blocks, _offsets(vectors.chunks[0]))])
        staged = []
        try:
            for s in range(self.shards):
                pieces = self._client.map(_blockwise.piece_of, routed,
                                          [s] * len(routed), pure=False)
                staged.append(self._client.submit(
                    _blockwise.stage, self.dim, *pieces, pure=False,
                    workers=[self._workers[s]], allow_other_workers=False))
            del routed, pieces  # the scheduler keeps them while needed
            self._await(staged)
        except BaseException:
            for future in staged:
                future.release()
            raise
        return staged

    @staticmethod
    def _refuse_staged(checks):
        """Raises what an add of the same NumPy array would raise: the
        first refused row of the array, else repeated ids, else ids
        already present, each sorted and at most ten."""
        refusals = [r for check in checks.values() for r in check["refusals"]]
        if refusals:
            raise ValueError(min(refusals)[2])
        repeated = sorted(i for check in checks.values()
                          for i in check["repeated"])
        if repeated:
            raise korvane.DuplicateIdError(
                f"ids repeated in the batch, nothing added: {repeated[:10]}")
        present = sorted(i for check in checks.values()
                         for i in check["present"])
        if present:
            raise korvane.DuplicateIdError(
                f"ids already in the index, nothing added: {present[:10]}")

    def _refuse_duplicates(self, ids):
        unique, counts = np.unique(ids, return_counts=True)
        repeated = unique[counts > 1]
        if len(repeated):
            raise korvane.DuplicateIdError(
                f"ids repeated in the batch, nothing added: "
                f"{repeated[:10].tolist()}")
        parts = split_by_shard(ids, self.shards)
        present = self._call({s: ("present", (ids[p],))
                              for s, p in parts.items()})
        found = sorted(i for found in present.values() for i in found)
        if found:
            raise korvane.DuplicateIdError(
                f"ids already in the index, nothing added: {found[:10]}")

    def _add_all_or_nothing(self, parts):
        """Runs every shard's add ({shard: (method, args)}, the method
        taking the add's token last), or, if any shard fails or the time
        runs out, takes back every part (a failing shard may have kept
        some of its part) and re-raises the failure."""
        self._check_usable(parts)
        token = secrets.token_hex(8)
        futures = {s: getattr(self._actors[s], method)(*args, token)
                   for s, (method, args) in parts.items()}
        try:
            outcomes = self._collect(futures)
        except TimeoutError:
            try:
                self._call({s: ("cancel", (token,)) for s in parts})
            except TimeoutError:
                raise TimeoutError(
                    f"the sharded index did not finish the add within "
                    f"{self._timeout} s; the shards will take it back as "
                    f"soon as they finish it, so it can be retried") from None
            raise TimeoutError(
                f"the sharded index did not finish the add within "
                f"{self._timeout} s; it was taken back, nothing was "
                f"added") from None
        failed = sorted(s for s, o in outcomes.items()
                        if isinstance(o, BaseException))
        if failed:
            self._call({s: ("cancel", (token,)) for s in parts})
            raise outcomes[failed[0]]

    def remove(self, ids: ArrayLike) -> int:
        """Removes ids; returns how many were present. Absent ids are
        skipped."""
        ids = np.unique(_as_ids(ids))
        with self._write_lock:
            parts = split_by_shard(ids, self.shards)
            removed = self._call({s: ("remove", (ids[p],))
                                  for s, p in parts.items()})
        return sum(removed.values())

    def search(self, queries: ArrayLike | da.Array, k: int = 10,
               ef: int = 64, rerank: int = 4,
               filter: ArrayLike | None = None, walk: str = "scored"
               ) -> tuple[np.ndarray, np.ndarray] | tuple[da.Array, da.Array]:
        """The k best ids and scores per query, best first, ties by id
        ascending: (nq, k) arrays for (nq, dim) queries, (k,) for one
        (dim,) query, padded with ``korvane.NO_ID`` and -inf; scores by the
        index's metric, larger is better. A ``filter``
        (array of allowed ids) searches exactly over those ids and is sent
        only to the shards that own them. ``walk`` as for
        ``korvane.Index.search``.

        For a Dask array of queries, returns Dask arrays of ids and scores
        in the queries' blocks of rows: each block is searched from the
        worker that holds it, when the result is computed, against the
        index as it is then (compute before changing or closing the index
        if that matters). Each block's answer equals what this call gives
        for the same rows as a NumPy array."""
        k = _as_count(k, "k", 1, korvane.MAX_K)
        ef = max(_as_count(ef, "ef", 1, 2**63 - 1), k)
        rerank = _as_count(rerank, "rerank", 0, 2**63 - 1)
        if walk not in ("scored", "hamming"):
            raise ValueError(
                f"walk must be 'scored' or 'hamming', not {walk!r}")
        allowed = None if filter is None else _as_ids(filter, "filter")
        if isinstance(queries, da.Array):
            return self._search_blocks(queries, k, ef, rerank, allowed, walk)
        queries, single = _as_vectors(queries, "queries", self._settings,
                                      False)
        answers = self._call({s: ("search", (queries, k, ef, rerank, part,
                                             walk))
                              for s, part in self._targets(allowed).items()})
        ids, scores = _blockwise.merge_answers(
            [answers[s] for s in sorted(answers)], len(queries), k)
        return (ids[0], scores[0]) if single else (ids, scores)

    def _targets(self, allowed):
        """{shard: its part of the filter}: every shard with no filter
        (None), else only the shards that own an allowed id."""
        if allowed is None:
            return {s: None for s in range(self.shards)}
        return {s: allowed[p]
                for s, p in split_by_shard(allowed, self.shards).items()}

    def _search_blocks(self, queries, k, ef, rerank, allowed, walk):
        queries, single = _dask_rows(queries, "queries", self.dim)
        targets = self._targets(allowed)
        self._check_usable(targets)
        # One graph node holds the filter's parts, so that they travel to
        # each worker once rather than with every block.
        targets = dask.delayed([(self._actors[s], part)
                                for s, part in sorted(targets.items())],
                               traverse=False)
        metric = _manifest.METRICS.index(self.metric)
        search = dask.delayed(_blockwise.search_block, pure=False, nout=2)
        answers = [search(block, offset, self.dim, metric, targets, k, ef,
                          rerank, walk)
                   for block, offset in zip(queries.to_delayed().ravel(),
                                            _offsets(queries.chunks[0]))]
        ids, scores = (
            da.concatenate([da.from_delayed(answer[part], (rows, k), dtype)
                            for answer, rows in zip(answers,
                                                    queries.chunks[0])])
            for part, dtype in ((0, np.uint64), (1, np.float32)))
        return (ids[0], scores[0]) if single else (ids, scores)

    def __contains__(self, id: int) -> bool:
        try:  # as korvane.Index: anything that is not an id is not in it
            ids = _as_ids([id])
        except ValueError:
            return False
        shard = int(shard_of(ids, self.shards)[0])
        return bool(self._call({shard: ("present", (ids,))})[shard])

    def shard_info(self) -> list[dict]:
        """Per shard: number, worker address, length, memory_bytes and
        the number of searches it has served."""
        stats = self._call({s: ("stats", ())
                            for s in range(self.shards)})
        return [dict(stats[s], worker=self._workers[s])
                for s in range(self.shards)]

    def __len__(self) -> int:
        return sum(info["length"] for info in self.shard_info())

    @property
    def memory_bytes(self) -> int:
        """Sum of the shards' memory estimates, in bytes."""
        return sum(info["memory_bytes"] for info in self.shard_info())

    @property
    def shards(self) -> int:
        """The number of shards."""
        return len(self._workers)

    @property
    def store(self) -> str:
        return self._settings["store"]

    @property
    def dim(self) -> int:
        """Floats per vector."""
        return self._settings["dim"]

    @property
    def metric(self) -> str:
        """"ip", "cosine" or "l2"."""
        return self._settings["metric"]

    @property
    def seed(self) -> int:
        return self._settings["seed"]

    @property
    def ef_construction(self) -> int:
        return self._settings["ef_construction"]

    def save(self, directory: str | os.PathLike) -> None:
        """Writes one index file per shard (each through the library's
        atomic save) and then ``manifest.json`` into ``directory``, which
        the workers must see (a shared file system or object store mount).
        A crash part-way leaves the previous save intact; the previous
        save's shard files are deleted once the new manifest is in place.
        Saves to one directory are serialised (with a lock on the
        directory across processes); whatever the interleaving, the
        directory holds one whole, loadable save. A relative path is taken
        relative to this process's directory."""
        directory = os.path.abspath(os.fspath(directory))
        token = secrets.token_hex(8)
        with self._write_lock, _save_lock(directory):
            try:
                records = self._call(
                    {s: ("save", (directory,
                                  _manifest.shard_file_name(s, token)))
                     for s in range(self.shards)})
                text = _manifest.build(self._settings,
                                       [records[s] for s in sorted(records)])
                self._client.submit(_manifest.write_atomically, directory,
                                    text, pure=False
                                    ).result(timeout=self._timeout)
            except BaseException:
                self._forget_save(directory, token)
                raise

    def _forget_save(self, directory, token):
        """Best effort: delete the shard files a failed save wrote (a later
        save deletes any that remain)."""
        try:
            self._client.submit(_manifest.remove_files_of_save, directory,
                                token, pure=False).result(timeout=self._timeout)
        except Exception:
            pass

    def close(self) -> None:
        """Releases the shards (their workers free the memory)."""
        for future in self._futures:
            future.release()
        self._futures = []
        self.__dict__.pop("_actors", None)

    def __repr__(self):
        state = "closed" if "_actors" not in self.__dict__ else \
            f"on {len(set(self._workers))} workers"
        return (f"<ShardedIndex {self.shards} shards {state}, "
                f"dim {self.dim}, metric {self.metric!r}, "
                f"store {self.store!r}, seed {self.seed}>")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
