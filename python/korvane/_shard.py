"""One shard of a sharded index: a ``korvane.Index`` that lives inside a
Dask worker as an actor. Every method runs on that worker."""

import functools
import os
import struct
import tempfile
import threading

import numpy as np

import korvane

from . import _manifest
from ._blockwise import staged_part
from ._routing import shard_of

# Index file header fields (little-endian; see docs/file-format.md).
_DEFAULT_SHAPE_MAGIC = b"TQX5"
_DIM_OFFSET = 4
_NODE_COUNT_OFFSET = 16
_EF_CONSTRUCTION_OFFSET = 24
_CALIBRATION_FLAG_OFFSET = 45
_HEADER_BYTES = 46
_CALIBRATION_BYTES = 2048
_MATRIX_BYTES = 1310720
_PAYLOAD_RECORD = np.dtype([("id", "<u8"), ("rest", "V108")])
# Files of other shapes: a shape block (metric, seed, centred flag, then the
# centre when set) in place of the calibration and matrices, and payload
# records of 20 bytes plus 3 per group of 8 components.
_SHAPE_BYTES = 13
_MIN_EF_CONSTRUCTION = 32
_IDS_PER_CHECK = 1 << 20


@functools.lru_cache(maxsize=4)
def _matrices_of_seed(seed):
    """The rotation and projection bytes an index made with ``seed`` holds:
    the file keeps the matrices, not the seed, so this is how a shard file
    shows which seed made it."""
    with tempfile.TemporaryDirectory(prefix="korvane-") as folder:
        path = os.path.join(folder, "empty.kvx")
        with korvane.Index(seed=seed) as index:
            index.save(path)
        with open(path, "rb") as f:
            return f.read()[_HEADER_BYTES:_HEADER_BYTES + _MATRIX_BYTES]


class _FileFacts:
    """What a shard file's header and payload say about where it belongs.
    Read only once the library has accepted the file, so the fields are
    known to be there."""

    def __init__(self, path):
        with open(path, "rb") as f:
            header = f.read(_HEADER_BYTES)
            self.dim = struct.unpack_from("<I", header, _DIM_OFFSET)[0]
            self.ef_construction = struct.unpack_from(
                "<Q", header, _EF_CONSTRUCTION_OFFSET)[0]
            self.nodes = struct.unpack_from("<Q", header, _NODE_COUNT_OFFSET)[0]
            if header[:4] == _DEFAULT_SHAPE_MAGIC:
                matrices = _HEADER_BYTES + (
                    _CALIBRATION_BYTES if header[_CALIBRATION_FLAG_OFFSET] else 0)
                f.seek(matrices)
                self.matrices = f.read(_MATRIX_BYTES)
                self.seed = None
                self.payload = matrices + _MATRIX_BYTES
                self.record = _PAYLOAD_RECORD
            else:
                # The file keeps the seed itself rather than the matrices.
                _, self.seed, centred = struct.unpack(
                    "<IQB", f.read(_SHAPE_BYTES))
                self.matrices = None
                self.payload = (_HEADER_BYTES + _SHAPE_BYTES
                                + (4 * self.dim if centred else 0))
                self.record = np.dtype(
                    [("id", "<u8"), ("rest", f"V{12 + 3 * -(-self.dim // 8)}")])
        self.path = path

    def made_with_seed(self, seed):
        if self.matrices is None:
            return self.seed == seed
        return self.matrices == _matrices_of_seed(seed)

    def misrouted(self, number, shard_count):
        """How many stored ids (removed ones too) another shard owns."""
        if self.nodes == 0:
            return 0
        records = np.memmap(self.path, dtype=self.record, mode="r",
                            offset=self.payload, shape=(self.nodes,))
        wrong = 0
        for start in range(0, self.nodes, _IDS_PER_CHECK):
            ids = np.array(records["id"][start:start + _IDS_PER_CHECK])
            wrong += int(np.count_nonzero(shard_of(ids, shard_count) != number))
        return wrong


class Shard:
    """Holds one ``korvane.Index``. ``threads`` is the worker's thread count,
    so that a shard never uses more cores than its worker was given.

    Adds carry a token so that the client can take an add back even when
    it gave up waiting for it: ``cancel`` removes what the add put in, or,
    if the add has not started yet, makes it do nothing."""

    def __init__(self, number, threads, settings, saved=None):
        self.number = number
        self.threads = threads
        self.searches = 0
        # Orders adds, cancels and the lookups made before an add.
        self._lock = threading.Lock()
        self._started = {}
        self._cancelled = set()
        if saved is None:
            self.index = korvane.Index(
                ef_construction=settings["ef_construction"],
                seed=settings["seed"], store=settings["store"],
                dim=settings["dim"], metric=settings["metric"])
        else:
            self.index = self._load_checked(settings, **saved)

    def _load_checked(self, settings, path, length, sha256, shard_count):
        where = f"shard {self.number} ({os.path.basename(path)})"
        actual = _manifest.file_sha256(path)
        if actual != sha256:
            raise korvane.IndexFileError(
                f"{where}: SHA-256 {actual} differs from the manifest's "
                f"{sha256}; the file was changed or belongs to another save")
        index = korvane.Index.load(path)
        try:
            problems = self._mismatches(index, _FileFacts(path), settings,
                                        length, shard_count)
        except BaseException:
            index.close()
            raise
        if problems:
            index.close()
            raise korvane.IndexFileError(
                f"{where} does not match the manifest: " + "; ".join(problems))
        return index

    def _mismatches(self, index, facts, settings, length, shard_count):
        problems = []
        # A shard of another shape would take queries of another width, or
        # give scores that do not merge with the others'.
        if index.dim != settings["dim"]:
            problems.append(f"dimension {index.dim}, manifest {settings['dim']}")
        if index.metric != settings["metric"]:
            problems.append(f"metric {index.metric!r}, manifest "
                            f"{settings['metric']!r}")
        wanted_ef = max(settings["ef_construction"], _MIN_EF_CONSTRUCTION)
        if facts.ef_construction != wanted_ef:
            problems.append(f"ef_construction {facts.ef_construction}, "
                            f"manifest {settings['ef_construction']}")
        if not facts.made_with_seed(settings["seed"]):
            problems.append(f"not made with the manifest's seed "
                            f"{settings['seed']}")
        misrouted = facts.misrouted(self.number, shard_count)
        if misrouted:
            problems.append(f"{misrouted} of its ids belong to other shards "
                            f"of {shard_count} (a shard file moved, or the "
                            f"manifest's shard count changed)")
        if index.store != settings["store"]:
            problems.append(f"store {index.store!r}, manifest "
                            f"{settings['store']!r}")
        if len(index) != length:
            problems.append(f"{len(index)} vectors, manifest {length}")
        return problems

    def present(self, ids):
        """The ids of ``ids`` that this shard already holds."""
        with self._lock:
            return self._present(ids)

    def _present(self, ids):
        if len(self.index) == 0:  # the usual first ingest: nothing to look up
            return []
        return [i for i in ids.tolist() if i in self.index]

    def highest_taken(self, first, count, shard_count):
        """The largest id of first .. first + count - 1 that this shard
        holds, or None. Only the ids this shard owns are looked up, a
        bounded run at a time, so a long range costs no memory."""
        with self._lock:
            highest = None
            for start in range(0, count, _IDS_PER_CHECK):
                run = np.uint64(first) + np.arange(
                    start, min(count, start + _IDS_PER_CHECK), dtype=np.uint64)
                taken = self._present(
                    run[shard_of(run, shard_count) == self.number])
                if taken:
                    highest = max(taken)
            return highest

    def check_staged(self, key):
        """What the client needs to know before the staged part under
        ``key`` is added: its length, the refusals its blocks reported
        (see ``_blockwise.route_block``), and the first ten ids it repeats
        or that this shard already holds, each sorted."""
        part = staged_part(key)
        with self._lock:
            if part.refusals:
                return {"count": 0, "refusals": part.refusals,
                        "repeated": [], "present": []}
            unique, counts = np.unique(part.ids, return_counts=True)
            return {"count": len(part.ids), "refusals": [],
                    "repeated": unique[counts > 1][:10].tolist(),
                    "present": sorted(self._present(part.ids))[:10]}

    def add(self, vectors, ids, threads, token):
        with self._lock:
            if token in self._cancelled:
                self._cancelled.discard(token)
                return
            # Kept for cancel; only the latest add can still be taken back,
            # as the client adds one batch at a time.
            self._started = {token: ids}
            self._add(vectors, ids, threads or self.threads)

    def add_staged(self, key, threads, token):
        """Adds the part that a staging task left in this worker's memory
        under ``key``, in one call, as ``add`` would add it."""
        part = staged_part(key)
        self.add(part.vectors, part.ids, threads, token)

    def _add(self, vectors, ids, threads):
        self.index.add(vectors, ids, threads=threads)

    def cancel(self, token):
        """Takes back the add with this token, whether it ran (completely,
        partly or not at all) or is still to come. Its ids were checked
        absent before that add, so every one of them present is its."""
        with self._lock:
            if token in self._started:
                return self.index.remove(self._started.pop(token))
            self._cancelled.add(token)
            return 0

    def remove(self, ids):
        return self.index.remove(ids)

    def search(self, queries, k, ef, rerank, filter, walk="scored"):
        self.searches += 1
        return self.index.search(queries, k=k, ef=ef, rerank=rerank,
                                 threads=self.threads, filter=filter,
                                 walk=walk)

    def stats(self):
        return {"shard": self.number, "length": len(self.index),
                "memory_bytes": self.index.memory_bytes,
                "searches": self.searches}

    def save(self, directory, name):
        """Saves through the library's atomic save; returns what the
        manifest records about the file."""
        os.makedirs(directory, exist_ok=True)
        path = os.path.join(directory, name)
        self.index.save(path)
        return name, len(self.index), _manifest.file_sha256(path)

    def close(self):
        self.index.close()
