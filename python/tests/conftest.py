"""Shared fixtures: seeded data and a ctypes view of the C library as the
reference every Python result is compared with."""
import ctypes
import os
import pathlib

import numpy as np
import pytest

import korvane

U64 = ctypes.c_uint64
U64P = ctypes.POINTER(ctypes.c_uint64)
F32P = ctypes.POINTER(ctypes.c_float)


def _library_path():
    given = os.environ.get("KORVANE_LIBRARY")
    if given:
        return given
    build = pathlib.Path(korvane.__file__).resolve().parents[2]
    return str(next(build.glob("libkorvane.so*")))


class CLibrary:
    """The exported functions, called directly: what any C program gets."""

    def __init__(self, path):
        lib = ctypes.CDLL(path)
        signatures = {
            "korvane_index_create": (ctypes.c_void_p, [U64, U64]),
            "korvane_index_create_with_store": (ctypes.c_void_p, [U64, U64, ctypes.c_uint32]),
            "korvane_context_set_rerank": (ctypes.c_int32, [ctypes.c_void_p, U64]),
            "korvane_context_set_walk": (ctypes.c_int32, [ctypes.c_void_p, ctypes.c_uint32]),
            "korvane_index_destroy": (None, [ctypes.c_void_p]),
            "korvane_index_add": (ctypes.c_int32, [ctypes.c_void_p, U64, F32P]),
            "korvane_index_add_batch": (ctypes.c_int32, [ctypes.c_void_p, U64P, F32P, U64, U64]),
            "korvane_index_remove": (ctypes.c_int32, [ctypes.c_void_p, U64]),
            "korvane_index_compact": (ctypes.c_int32, [ctypes.c_void_p]),
            "korvane_context_create": (ctypes.c_void_p, [ctypes.c_void_p, U64]),
            "korvane_context_destroy": (None, [ctypes.c_void_p]),
            "korvane_search": (U64, [ctypes.c_void_p, ctypes.c_void_p, F32P, U64, U64P, F32P]),
            "korvane_search_filtered": (U64, [ctypes.c_void_p, ctypes.c_void_p, F32P, U64P, U64, U64, U64P, F32P]),
            "korvane_index_save": (ctypes.c_int32, [ctypes.c_void_p, ctypes.c_char_p]),
            "korvane_index_load": (ctypes.c_void_p, [ctypes.c_char_p]),
            "korvane_index_create_with_options": (ctypes.c_void_p, [ctypes.c_uint32, ctypes.c_uint32,
                                                                    ctypes.c_uint32, U64, U64]),
            "korvane_index_load_any": (ctypes.c_void_p, [ctypes.c_char_p]),
            "korvane_index_dim": (ctypes.c_uint32, [ctypes.c_void_p]),
            "korvane_index_metric": (ctypes.c_uint32, [ctypes.c_void_p]),
        }
        for name, (result, arguments) in signatures.items():
            if hasattr(lib, name):
                function = getattr(lib, name)
                function.restype, function.argtypes = result, arguments
        self.lib = lib
        self.has_stores = hasattr(lib, "korvane_index_create_with_store")


class CIndex:
    STORES = {"none": 0, "f32": 1, "int8": 2}
    METRICS = {"ip": 0, "cosine": 1, "l2": 2}

    def __init__(self, clib, ef_construction=200, seed=0, store="int8", dim=None, metric=None):
        self.lib = clib.lib
        if dim is not None or metric is not None:
            self.handle = self.lib.korvane_index_create_with_options(
                dim or korvane.DIM, self.METRICS[metric or "ip"], self.STORES[store], ef_construction, seed)
        elif clib.has_stores:
            self.handle = self.lib.korvane_index_create_with_store(ef_construction, seed, self.STORES[store])
        else:
            assert store == "int8"
            self.handle = self.lib.korvane_index_create(ef_construction, seed)
        assert self.handle

    def add_batch(self, vectors, ids, threads):
        vectors = np.ascontiguousarray(vectors, dtype=np.float32)
        ids = np.ascontiguousarray(ids, dtype=np.uint64)
        status = self.lib.korvane_index_add_batch(self.handle, _u64(ids), _f32(vectors), len(ids), threads)
        assert status == 0

    def add(self, vector, id_):
        assert self.lib.korvane_index_add(self.handle, id_, _f32(np.ascontiguousarray(vector, np.float32))) == 0

    def remove(self, id_):
        return self.lib.korvane_index_remove(self.handle, id_)

    def compact(self):
        return self.lib.korvane_index_compact(self.handle)

    WALKS = {"hamming": 0, "scored": 1}

    def search(self, queries, k, ef, allowed=None, rerank=4, walk="scored"):
        """Every query through korvane_search (or _filtered) on one context,
        padded as the Python package promises; the walk is the package's
        default unless given."""
        queries = np.ascontiguousarray(np.atleast_2d(queries), dtype=np.float32)
        ids = np.full((len(queries), k), korvane.NO_ID, dtype=np.uint64)
        scores = np.full((len(queries), k), -np.inf, dtype=np.float32)
        context = self.lib.korvane_context_create(self.handle, ef)
        if hasattr(self.lib, "korvane_context_set_rerank"):
            assert self.lib.korvane_context_set_rerank(context, rerank) == 0
        else:
            assert rerank == 4
        assert self.lib.korvane_context_set_walk(context, self.WALKS[walk]) == 0
        try:
            for q, query in enumerate(queries):
                if allowed is None:
                    self.lib.korvane_search(self.handle, context, _f32(query), k, _u64(ids[q]), _f32(scores[q]))
                else:
                    allowed = np.ascontiguousarray(allowed, dtype=np.uint64)
                    self.lib.korvane_search_filtered(self.handle, context, _f32(query), _u64(allowed),
                                                     len(allowed), k, _u64(ids[q]), _f32(scores[q]))
        finally:
            self.lib.korvane_context_destroy(context)
        return ids, scores

    def save(self, path):
        assert self.lib.korvane_index_save(self.handle, os.fsencode(path)) == 0

    def close(self):
        self.lib.korvane_index_destroy(self.handle)

    @classmethod
    def load_any(cls, clib, path):
        index = cls.__new__(cls)
        index.lib = clib.lib
        index.handle = clib.lib.korvane_index_load_any(os.fsencode(path))
        assert index.handle
        return index


def _u64(array):
    return array.ctypes.data_as(U64P)


def _f32(array):
    return array.ctypes.data_as(F32P)


def assert_same_bits(python_result, c_result):
    """Ids equal and scores equal bit for bit (so -0.0, NaN and padding count)."""
    (py_ids, py_scores), (c_ids, c_scores) = python_result, c_result
    assert py_ids.dtype == np.uint64 and py_scores.dtype == np.float32
    np.testing.assert_array_equal(py_ids, c_ids)
    np.testing.assert_array_equal(py_scores.view(np.uint32), c_scores.view(np.uint32))


@pytest.fixture(scope="session")
def clib():
    return CLibrary(_library_path())


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


def clustered(rng, count, centres=16, dim=korvane.DIM):
    """Vectors around a few centres, so searches have real neighbours."""
    centre = rng.standard_normal((centres, dim)).astype(np.float32)
    pick = rng.integers(0, centres, count)
    return (centre[pick] + 0.3 * rng.standard_normal((count, dim))).astype(np.float32)
