"""One shard of a sharded index: a ``korvane.Index`` that lives inside a
Dask worker as an actor. Every method runs on that worker."""

import os
import struct

import korvane

from . import _manifest

# Offset of ef_construction in an index file's header (u64, little-endian).
_EF_CONSTRUCTION_OFFSET = 24
_MIN_EF_CONSTRUCTION = 32


class Shard:
    """Holds one ``korvane.Index``. ``threads`` is the worker's thread
    count, so that a shard never uses more cores than its worker was given.
    """

    def __init__(self, number, threads, settings, saved=None):
        self.number = number
        self.threads = threads
        self.searches = 0
        if saved is None:
            self.index = korvane.Index(
                ef_construction=settings["ef_construction"],
                seed=settings["seed"], store=settings["store"])
        else:
            self.index = self._load_checked(settings, **saved)

    def _load_checked(self, settings, path, length, sha256):
        where = f"shard {self.number} ({os.path.basename(path)})"
        actual = _manifest.file_sha256(path)
        if actual != sha256:
            raise korvane.IndexFileError(
                f"{where}: SHA-256 {actual} differs from the manifest's "
                f"{sha256}; the file was changed or belongs to another save")
        with open(path, "rb") as f:
            header = f.read(_EF_CONSTRUCTION_OFFSET + 8)
        stored_ef = struct.unpack_from("<Q", header, _EF_CONSTRUCTION_OFFSET)[0]
        wanted_ef = max(settings["ef_construction"], _MIN_EF_CONSTRUCTION)
        index = korvane.Index.load(path)
        problems = []
        if stored_ef != wanted_ef:
            problems.append(f"ef_construction {stored_ef}, manifest "
                            f"{wanted_ef}")
        if index.store != settings["store"]:
            problems.append(f"store {index.store!r}, manifest "
                            f"{settings['store']!r}")
        if len(index) != length:
            problems.append(f"{len(index)} vectors, manifest {length}")
        if problems:
            index.close()
            raise korvane.IndexFileError(
                f"{where} does not match the manifest: " + "; ".join(problems))
        return index

    def present(self, ids):
        """The ids of ``ids`` that this shard already holds."""
        return [i for i in ids.tolist() if i in self.index]

    def add(self, vectors, ids, threads):
        self.index.add(vectors, ids, threads=threads or self.threads)

    def remove(self, ids):
        return self.index.remove(ids)

    def search(self, queries, k, ef, rerank, filter):
        self.searches += 1
        return self.index.search(queries, k=k, ef=ef, rerank=rerank,
                                 threads=self.threads, filter=filter)

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
