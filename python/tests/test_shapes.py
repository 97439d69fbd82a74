"""Indexes of other dimensions and metrics: the Python results equal the C
library's bit for bit, vectors of the wrong width are refused, and
exact_search finds what a float64 brute force finds."""
import pickle

import numpy as np
import pytest

import korvane
from korvane import _exact
from conftest import CIndex, assert_same_bits, clustered

SHAPES = [(dim, metric) for metric in korvane.METRICS for dim in (3, 256, 784)]


@pytest.mark.parametrize("dim, metric", SHAPES)
def test_results_files_and_reloads_equal_c(clib, rng, tmp_path, dim, metric):
    vectors, queries = clustered(rng, 900, dim=dim), clustered(rng, 25, dim=dim)
    ids = rng.choice(10**12, size=len(vectors), replace=False).astype(np.uint64)
    py_index = korvane.Index(64, 3, dim=dim, metric=metric)
    c_index = CIndex(clib, 64, 3, dim=dim, metric=metric)
    # Two batches: under l2 the first one fixes the centre.
    for part in (slice(0, 300), slice(300, None)):
        py_index.add(vectors[part], ids[part], threads=2)
        c_index.add_batch(vectors[part], ids[part], threads=2)
    gone = ids[::5]
    assert py_index.remove(gone) == len(gone)
    for id_ in gone:
        assert c_index.remove(int(id_)) == 0
    assert (py_index.dim, py_index.metric) == (dim, metric)

    expected = c_index.search(queries, 10, 40)
    allowed = ids[1::3]
    expected_filtered = c_index.search(queries, 7, 1, allowed=allowed)
    py_index.save(tmp_path / "py.kvx")
    c_index.save(tmp_path / "c.kvx")
    assert (tmp_path / "py.kvx").read_bytes() == (tmp_path / "c.kvx").read_bytes()
    c_loaded = CIndex.load_any(clib, tmp_path / "c.kvx")
    try:
        assert_same_bits(c_loaded.search(queries, 10, 40), expected)
    finally:
        c_loaded.close()
        c_index.close()

    for index in (py_index, korvane.Index.load(tmp_path / "py.kvx"), pickle.loads(pickle.dumps(py_index))):
        assert (index.dim, index.metric, len(index)) == (dim, metric, len(ids) - len(gone))
        for threads in (1, 2):
            assert_same_bits(index.search(queries, k=10, ef=40, threads=threads), expected)
        assert_same_bits(index.search(queries, k=7, filter=allowed), expected_filtered)
        assert int(ids[1]) in index and int(gone[1]) not in index
    assert not np.isin(expected[0], gone).any()


def test_the_default_shape_is_the_index_of_before(clib, rng, tmp_path):
    vectors = clustered(rng, 300)
    plain = CIndex(clib, 100, 9)  # korvane_index_create_with_store, as Index() always was
    plain.add_batch(vectors, np.arange(300, dtype=np.uint64), threads=1)
    plain.save(tmp_path / "c.kvx")
    plain.close()
    for index in (korvane.Index(100, 9), korvane.Index(100, 9, dim=256, metric="ip")):
        index.add(vectors, threads=1)
        index.save(tmp_path / "py.kvx")
        assert (tmp_path / "py.kvx").read_bytes() == (tmp_path / "c.kvx").read_bytes()
        assert repr(index) == '<korvane.Index: 300 vectors, store="int8">'


REFUSED = {
    "dim 0": (lambda: korvane.Index(dim=0), r"dim must be in 1 \.\. 4096, got 0"),
    "dim too large": (lambda: korvane.Index(dim=4097), r"dim must be in 1 \.\. 4096"),
    "dim as text": (lambda: korvane.Index(dim="784"), "dim must be an integer"),
    "dim as bool": (lambda: korvane.Index(dim=True), "dim must be an integer"),
    "unknown metric": (lambda: korvane.Index(metric="euclidean"), 'metric must be "ip", "cosine" or "l2"'),
    "metric not text": (lambda: korvane.Index(metric=2), 'metric must be "ip", "cosine" or "l2"'),
    "store not text": (lambda: korvane.Index(store=None), 'store must be "int8", "f32" or "none"'),
}


@pytest.mark.parametrize("case", REFUSED)
def test_bad_shapes_are_value_errors_naming_what_is_allowed(case):
    call, message = REFUSED[case]
    with pytest.raises(ValueError, match=message):
        call()


@pytest.mark.parametrize("metric", korvane.METRICS)
def test_vectors_of_another_width_are_refused_and_change_nothing(rng, metric):
    index = korvane.Index(dim=784, metric=metric)
    index.add(clustered(rng, 20, dim=784))
    narrow = clustered(rng, 3)
    calls = {
        "add": lambda: index.add(narrow),
        "add one": lambda: index.add(narrow[0], ids=99),
        "search": lambda: index.search(narrow),
        "filtered search": lambda: index.search(narrow[0], filter=[1, 2]),
    }
    for name, call in calls.items():
        with pytest.raises(ValueError, match="256 components but the index's dimension is 784"):
            call()
    assert len(index) == 20 and 99 not in index


def test_cosine_refuses_zero_vectors_and_a_zero_query_finds_nothing(rng):
    index = korvane.Index(dim=5, metric="cosine")
    vectors = clustered(rng, 10, dim=5)
    vectors[4] = 0
    with pytest.raises(ValueError, match="vectors row 4 is all zeros"):
        index.add(vectors)
    assert len(index) == 0
    index.add(vectors[:4])
    ids, scores = index.search(np.zeros(5), k=3)
    assert (ids == korvane.NO_ID).all() and (scores == -np.inf).all()
    # Cosine ignores length, so a vector too long for the other metrics is fine.
    index.add(np.full(5, 1e19), ids=[50])
    assert 50 in index and index.search(np.ones(5), k=1)[0][0] == 50


def brute_force(vectors, queries, metric):
    v, q = vectors.astype(np.float64), queries.astype(np.float64)
    if metric == "l2":
        return -((q[:, None, :] - v[None, :, :]) ** 2).sum(axis=2)
    scores = q @ v.T
    if metric == "cosine":
        with np.errstate(divide="ignore", invalid="ignore"):
            scores /= np.linalg.norm(q, axis=1)[:, None] * np.linalg.norm(v, axis=1)[None, :]
    return scores


@pytest.mark.parametrize("metric", korvane.METRICS)
@pytest.mark.parametrize("dim", [3, 784])
def test_exact_search_equals_a_float64_brute_force(rng, monkeypatch, metric, dim):
    # Small blocks, so that candidates are merged across many base blocks
    # and query blocks.
    monkeypatch.setattr(_exact, "_BLOCK_SCORES", 4096)
    monkeypatch.setattr(_exact, "_QUERY_BLOCK", 16)
    monkeypatch.setattr(_exact, "_RESCORE_VALUES", 50_000)
    vectors = clustered(rng, 1500, dim=dim) + np.float32(3)  # off the origin: l2 is not ip
    queries = clustered(rng, 40, dim=dim) + np.float32(3)
    labels = rng.choice(10**12, size=len(vectors), replace=False).astype(np.uint64) + np.uint64(2**63)
    truth = brute_force(vectors, queries, metric)
    order = np.argsort(-truth, axis=1, kind="stable")[:, :25]

    ids, scores = korvane.exact_search(vectors, queries, k=25, metric=metric, ids=labels)
    assert ids.dtype == np.uint64 and scores.dtype == np.float32 and ids.shape == (40, 25)
    np.testing.assert_array_equal(ids, labels[order])
    np.testing.assert_allclose(scores, np.take_along_axis(truth, order, axis=1), rtol=1e-5, atol=1e-5)

    one_ids, one_scores = korvane.exact_search(vectors.astype(np.float64), queries[7], k=25, metric=metric)
    np.testing.assert_array_equal(one_ids, order[7])
    # Fewer vectors than k: padded as Index.search pads.
    few_ids, few_scores = korvane.exact_search(vectors[:4], queries[:2], k=6, metric=metric)
    assert (few_ids[:, 4:] == korvane.NO_ID).all() and (few_scores[:, 4:] == -np.inf).all()
    np.testing.assert_array_equal(np.sort(few_ids[:, :4], axis=1), [[0, 1, 2, 3]] * 2)
    if metric == "cosine":
        zero_ids, _ = korvane.exact_search(vectors, np.zeros(dim), k=5, metric=metric)
        assert (zero_ids == korvane.NO_ID).all()


def test_exact_search_ranks_as_the_index_does(rng):
    """Same scale and sign as an index with exact copies, so recall can be
    read straight off the two results."""
    vectors, queries = clustered(rng, 500, dim=40), clustered(rng, 10, dim=40)
    for metric in korvane.METRICS:
        index = korvane.Index(store="f32", dim=40, metric=metric)
        index.add(vectors)
        found, found_scores = index.search(queries, k=5, ef=500, rerank=0)
        truth, truth_scores = korvane.exact_search(vectors, queries, k=5, metric=metric)
        assert (found == truth).mean() > 0.95
        np.testing.assert_allclose(found_scores[found == truth], truth_scores[found == truth], rtol=1e-3, atol=1e-3)


EXACT_REFUSED = {
    "metric": (dict(metric="dot"), 'metric must be "ip", "cosine" or "l2"'),
    "k 0": (dict(k=0), r"k must be in 1 \.\. 256"),
    "k float": (dict(k=2.0), "k must be an integer"),
    "query width": (dict(queries=np.ones((2, 5))), "5 components but the dimension of vectors is 4"),
    "ids count": (dict(ids=[1, 2]), "ids has 2 entries for 6 vectors"),
    "ids repeated": (dict(ids=[1, 2, 3, 4, 5, 5]), "repeats"),
    "ids NO_ID": (dict(ids=[1, 2, 3, 4, 5, korvane.NO_ID]), "NO_ID"),
    "NaN vector": (dict(vectors=np.full((6, 4), np.nan)), "vectors row 0"),
    "zero vector under cosine": (dict(vectors=np.zeros((6, 4)), metric="cosine"), "all zeros"),
}


@pytest.mark.parametrize("case", EXACT_REFUSED)
def test_exact_search_refuses_what_an_index_refuses(case):
    arguments = {"vectors": np.arange(24.0).reshape(6, 4), "queries": np.ones(4), **EXACT_REFUSED[case][0]}
    with pytest.raises(ValueError, match=EXACT_REFUSED[case][1]):
        korvane.exact_search(**arguments)
