"""Approximate nearest-neighbour search over float vectors with 64-bit ids.

    import numpy as np, korvane
    vectors = np.random.rand(1000, 784).astype(np.float32)
    queries = np.random.rand(20, 784).astype(np.float32)
    index = korvane.Index(dim=784, metric="l2")      # default: dim=256, metric="ip"
    index.add(vectors)                                # ids 0..999
    ids, scores = index.search(queries, k=5)
    true_ids, _ = korvane.exact_search(vectors, queries, k=5, metric="l2")
    recall = np.mean([len(set(a) & set(b)) / 5 for a, b in zip(ids, true_ids)])

Scores are larger-is-better: the inner product ("ip"), the cosine
similarity ("cosine") or minus the squared Euclidean distance ("l2").
See help(korvane.Index), help(korvane.Index.search) and
help(korvane.exact_search).
"""
import os as _os
import tempfile as _tempfile

from ._exact import exact_search
from ._korvane import (_SEARCH_DOC, DIM, MAX_DIM, MAX_K, METRICS, NO_ID, DuplicateIdError, Index, IndexFileError,
                       __version__)

__all__ = ["DIM", "MAX_DIM", "MAX_K", "METRICS", "NO_ID", "DuplicateIdError", "Index", "IndexFileError",
           "exact_search", "__version__"]

for _name in ("Index", "DuplicateIdError", "IndexFileError"):
    globals()[_name].__module__ = __name__
exact_search.__module__ = __name__


def _index_from_file_bytes(data):
    """Rebuild an Index from the bytes of its file (the pickle format)."""
    with _tempfile.TemporaryDirectory(prefix="korvane-") as folder:
        path = _os.path.join(folder, "index.kvx")
        with open(path, "wb") as file:
            file.write(data)
        return Index.load(path)


def _reduce_index(index):
    with _tempfile.TemporaryDirectory(prefix="korvane-") as folder:
        path = _os.path.join(folder, "index.kvx")
        index.save(path)
        with open(path, "rb") as file:
            return _index_from_file_bytes, (file.read(),)


Index.__reduce__ = _reduce_index

_search_positional = Index._search


def search(self, queries, k=10, ef=64, rerank=4, threads=None, filter=None, walk="scored"):
    return _search_positional(self, queries, k, ef, rerank, threads, filter, walk)


search.__doc__, search.__qualname__, search.__module__ = _SEARCH_DOC, "Index.search", __name__
Index.search = search
del search
