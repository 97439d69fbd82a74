"""Results of the Python package equal the C library's, bit for bit."""
import pickle
import time

import numpy as np
import pytest

import korvane
from conftest import CIndex, assert_same_bits, clustered

SEED = 7


@pytest.fixture
def data(rng):
    vectors = clustered(rng, 1500)
    ids = rng.choice(10**12, size=len(vectors), replace=False).astype(np.uint64) + np.uint64(2**63)
    queries = clustered(rng, 40)
    return vectors, ids, queries


@pytest.fixture
def pair(clib, data):
    """The same index built through Python and through C."""
    vectors, ids, _ = data
    py_index = korvane.Index(ef_construction=100, seed=SEED)
    py_index.add(vectors, ids, threads=2)
    c_index = CIndex(clib, 100, SEED)
    c_index.add_batch(vectors, ids, threads=2)
    yield py_index, c_index
    c_index.close()


def test_single_batch_and_filtered_searches_equal_c(pair, data):
    py_index, c_index = pair
    _, ids, queries = data
    for walk in ("hamming", "scored"):
        expected = c_index.search(queries, 10, 48, walk=walk)
        for threads in (1, 2, 3):
            assert_same_bits(py_index.search(queries, k=10, ef=48, threads=threads, walk=walk), expected)
    with pytest.raises(ValueError, match="walk"):
        py_index.search(queries, walk="exact")
    expected = c_index.search(queries, 10, 48)
    one_ids, one_scores = py_index.search(queries[5], k=10, ef=48)
    assert one_ids.shape == one_scores.shape == (10,)
    assert_same_bits((one_ids, one_scores), (expected[0][5], expected[1][5]))

    allowed = np.append(ids[::7], np.uint64(12345))  # one id that is not in the index
    expected = c_index.search(queries, 12, 1, allowed=allowed)
    for threads in (1, 2, 5):
        assert_same_bits(py_index.search(queries, k=12, filter=allowed, threads=threads), expected)
    assert set(expected[0].ravel()) <= set(allowed.tolist())


def test_removal_save_load_and_pickle_keep_results(pair, data, tmp_path):
    py_index, c_index = pair
    _, ids, queries = data
    gone = ids[::3]
    assert py_index.remove(np.concatenate([gone, np.array([1, 2], np.uint64)])) == len(gone)
    for id_ in gone:
        assert c_index.remove(int(id_)) == 0
    assert len(py_index) == len(ids) - len(gone)
    assert int(gone[0]) not in py_index and int(ids[1]) in py_index

    py_index.save(tmp_path / "py.kvx")
    c_index.save(tmp_path / "c.kvx")
    assert (tmp_path / "py.kvx").read_bytes() == (tmp_path / "c.kvx").read_bytes()

    expected = c_index.search(queries, 10, 64)
    reloaded = korvane.Index.load(str(tmp_path / "py.kvx"))
    unpickled = pickle.loads(pickle.dumps(py_index))
    for index in (py_index, reloaded, unpickled):
        assert_same_bits(index.search(queries, k=10, ef=64), expected)
        assert len(index) == len(py_index) and index.store == "int8"
    assert not np.isin(expected[0], gone).any()

    # Compaction rebuilds the graph without the removed vectors, as C does.
    py_index.compact()
    assert c_index.compact() == 0
    assert len(py_index) == len(ids) - len(gone)
    assert_same_bits(py_index.search(queries, k=10, ef=64), c_index.search(queries, 10, 64))
    py_index.save(tmp_path / "py.kvx")
    c_index.save(tmp_path / "c.kvx")
    assert (tmp_path / "py.kvx").read_bytes() == (tmp_path / "c.kvx").read_bytes()


@pytest.mark.parametrize("store", ["f32", "none"])
def test_other_stores_and_rerank_factors_equal_c(clib, rng, tmp_path, store):
    if not clib.has_stores:
        pytest.skip("the library has no store or re-rank choice yet")
    vectors, queries = clustered(rng, 800), clustered(rng, 20)
    py_index = korvane.Index(ef_construction=64, seed=4, store=store)
    py_index.add(vectors, threads=2)
    c_index = CIndex(clib, 64, 4, store=store)
    c_index.add_batch(vectors, np.arange(len(vectors)), threads=2)
    assert py_index.store == store
    for rerank in (0, 1, 4, 9):
        expected = c_index.search(queries, 10, 40, rerank=rerank)
        assert_same_bits(py_index.search(queries, k=10, ef=40, rerank=rerank, threads=1), expected)
        assert_same_bits(py_index.search(queries, k=10, ef=40, rerank=rerank, threads=2), expected)
    py_index.save(tmp_path / "index.kvx")
    reloaded = korvane.Index.load(tmp_path / "index.kvx")
    assert reloaded.store == store
    assert_same_bits(reloaded.search(queries, k=10, ef=40, rerank=0), c_index.search(queries, 10, 40, rerank=0))
    c_index.close()


def test_one_by_one_adds_equal_c_single_adds(clib, rng):
    vectors = clustered(rng, 300)
    py_index = korvane.Index(seed=3)
    c_index = CIndex(clib, 200, 3)
    for i, vector in enumerate(vectors):
        py_index.add(vector, i)
        c_index.add(vector, i)
    assert_same_bits(py_index.search(vectors[:20], k=5), c_index.search(vectors[:20], 5, 64))
    c_index.close()


def test_default_ids_continue_from_len(rng):
    index = korvane.Index()
    vectors = clustered(rng, 20)
    index.add(vectors[:5])
    index.add(vectors[5:])
    ids, _ = index.search(vectors, k=1, ef=64)
    np.testing.assert_array_equal(ids, np.arange(20).reshape(20, 1))


def test_filter_repeats_count_once_and_ef_is_at_least_k(clib, rng):
    vectors = clustered(rng, 300)
    py_index = korvane.Index(seed=3)
    py_index.add(vectors)
    c_index = CIndex(clib, seed=3)
    c_index.add_batch(vectors, np.arange(300), 1)
    allowed = [5, 5, 7, 5, 9, 7, 2**64 - 1]
    ids, _ = py_index.search(vectors[:4], k=6, filter=allowed)
    assert_same_bits((ids, _), c_index.search(vectors[:4], 6, 64, allowed=[5, 7, 9, 2**64 - 1]))
    assert sorted(ids[0, :3].tolist()) == [5, 7, 9] and (ids[:, 3:] == korvane.NO_ID).all()
    for threads in (1, 4):  # one query at a time, and the batch call
        assert_same_bits(py_index.search(vectors[:8], k=20, ef=2, threads=threads),
                         c_index.search(vectors[:8], 20, 20))
    c_index.close()


def test_thread_counts_are_capped_by_the_work(rng):
    vectors = clustered(rng, 8)
    index = korvane.Index()
    started = time.monotonic()
    index.add(vectors, threads=100_000)
    index.search(vectors, k=3, threads=100_000)
    index.search(vectors, k=3, threads=100_000, filter=range(8))
    assert time.monotonic() - started < 2 and len(index) == 8


def test_short_rows_are_padded(rng):
    vectors = clustered(rng, 3)
    index = korvane.Index()
    ids, scores = index.search(vectors, k=4)
    assert (ids == korvane.NO_ID).all() and np.isneginf(scores).all()
    index.add(vectors)
    ids, scores = index.search(vectors[0], k=5)
    assert sorted(ids[:3].tolist()) == [0, 1, 2] and np.isfinite(scores[:3]).all()
    assert (ids[3:] == korvane.NO_ID).all() and np.isneginf(scores[3:]).all()
    ids, scores = index.search(vectors[:2], k=3, filter=[2, 99])
    assert ids.tolist() == [[2, korvane.NO_ID, korvane.NO_ID]] * 2
    ids, _ = index.search(vectors[:2], k=2, filter=[])
    assert (ids == korvane.NO_ID).all()


def test_inputs_are_converted_like_float32_arrays(rng):
    base = clustered(rng, 200)
    wide = np.zeros((200, 512), dtype=np.float32)
    wide[:, ::2] = base  # a strided, non-contiguous view
    integer = np.round(base * 4).astype(np.int32)
    forms = {
        "float32": (base, base),
        "strided": (wide[:, ::2], base),
        "fortran": (np.asfortranarray(base), base),
        "float64": (base.astype(np.float64), base),
        "int32": (integer, integer.astype(np.float32)),
        "lists": (base[:50].tolist(), base[:50]),
    }
    results = {}
    for name, (given, as_float32) in forms.items():
        index = korvane.Index(seed=11)
        index.add(given, threads=1)
        reference = korvane.Index(seed=11)
        reference.add(as_float32, threads=1)
        assert_same_bits(index.search(given, k=5), reference.search(as_float32, k=5))
        results[name] = index.search(base[:10], k=5)
    assert_same_bits(results["strided"], results["float32"])
    assert_same_bits(results["float64"], results["float32"])


def test_ids_of_every_integer_kind(rng):
    vectors = clustered(rng, 4)
    for ids in ([1, 2, 3, 2**64 - 2], np.array([1, 2, 3, 2**64 - 2], dtype=np.uint64),
                np.array([1, 2, 3, 4], dtype=np.int8), [np.uint16(1), 2, np.int64(3), 4]):
        index = korvane.Index()
        index.add(vectors, ids)
        found, _ = index.search(vectors, k=1)
        assert found.ravel().tolist() == [int(i) for i in ids]
