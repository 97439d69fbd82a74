"""Approximate nearest-neighbour search over 256-float vectors with 64-bit ids.

    import numpy as np, korvane
    index = korvane.Index()
    index.add(np.random.rand(1000, 256).astype(np.float32))   # ids 0..999
    ids, scores = index.search(np.random.rand(256), k=5)

See help(korvane.Index) and help(korvane.Index.search).
"""
import os as _os
import tempfile as _tempfile

from ._korvane import _SEARCH_DOC, DIM, MAX_K, NO_ID, DuplicateIdError, Index, IndexFileError, __version__

__all__ = ["DIM", "MAX_K", "NO_ID", "DuplicateIdError", "Index", "IndexFileError", "__version__"]

for _name in ("Index", "DuplicateIdError", "IndexFileError"):
    globals()[_name].__module__ = __name__


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


def search(self, queries, k=10, ef=64, rerank=4, threads=None, filter=None):
    return _search_positional(self, queries, k, ef, rerank, threads, filter)


search.__doc__, search.__qualname__, search.__module__ = _SEARCH_DOC, "Index.search", __name__
Index.search = search
del search
