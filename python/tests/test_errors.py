"""Every failure is a Python exception of the documented kind, and leaves
the index as it was."""
import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import korvane
from conftest import clustered


@pytest.fixture
def index(rng):
    index = korvane.Index(seed=5)
    index.add(clustered(rng, 50))
    return index


def test_duplicate_ids_add_nothing(index, rng):
    assert issubclass(korvane.DuplicateIdError, ValueError)
    fresh = clustered(rng, 3)
    before = index.search(fresh, k=5)
    for ids, culprit in (([100, 101, 7], "7 is already"), ([100, 101, 100], "100 occurs more than once")):
        with pytest.raises(korvane.DuplicateIdError, match=culprit):
            index.add(fresh, ids)
        assert len(index) == 50 and 100 not in index and 101 not in index
    np.testing.assert_array_equal(index.search(fresh, k=5)[0], before[0])

def test_default_ids_skip_ids_still_taken_after_removals(index, rng):
    index.remove([0, 10])  # len 48, but 48 and 49 are taken
    index.add(clustered(rng, 3))
    assert len(index) == 51 and all(i in index for i in (50, 51, 52)) and 0 not in index
    index.add(clustered(rng, 2), ids=[53, 55])
    index.add(clustered(rng, 2))  # from len 53: 53 and 55 are taken, so 56 and 57
    assert len(index) == 55 and 54 not in index and 56 in index and 57 in index


def test_wrong_arguments_are_value_errors(index, rng):
    vectors = clustered(rng, 2)
    bad_calls = [
        lambda: index.add(np.zeros((2, 255), np.float32)),
        lambda: index.add(np.zeros((1, 2, 256), np.float32)),
        lambda: index.add(np.array([["a"] * 256])),
        lambda: index.add(vectors, ids=[1]),
        lambda: index.add(vectors, ids=[200, -1]),
        lambda: index.add(vectors, ids=np.array([200, 201.0])),
        lambda: index.add(vectors, ids=[200, 2**64]),
        lambda: index.add(vectors, threads=0),
        lambda: index.remove([-3]),
        lambda: index.search(vectors, k=0),
        lambda: index.search(vectors, k=257),
        lambda: index.search(vectors, ef=0),
        lambda: index.search(vectors, rerank=-1),
        lambda: index.search(np.zeros(257, np.float32)),
        lambda: index.search(vectors, filter=[-1]),
        lambda: index.save("bad\0name"),
        lambda: index.save("x" * 1024),
        lambda: korvane.Index.load("y" * 1024),
        lambda: korvane.Index(store="float16"),
        lambda: korvane.Index(seed=-1),
    ]
    for call in bad_calls:
        with pytest.raises(ValueError):
            call()
    assert len(index) == 50
    assert index.search(vectors, k=256)[0].shape == (2, 256)


def with_row(rng, row, value, count=3, dtype=np.float32):
    vectors = clustered(rng, count).astype(dtype)
    vectors[row, 5] = value
    return vectors


REFUSED = {
    "NaN": (lambda ix, rng: ix.add(with_row(rng, 1, np.nan)), "vectors row 1 .*not a finite"),
    "infinity": (lambda ix, rng: ix.add(with_row(rng, 2, -np.inf)), "vectors row 2 .*not a finite"),
    "overflowing length": (lambda ix, rng: ix.add(with_row(rng, 0, 2e19)), "vectors row 0 is too long"),
    "float64 beyond float32": (lambda ix, rng: ix.add(with_row(rng, 1, 1e39, dtype=np.float64)), "vectors row 1"),
    "None components": (lambda ix, rng: ix.add([[None] * 256]), "real numbers, got dtype object"),
    "text components": (lambda ix, rng: ix.add([["0.5"] * 256]), "real numbers"),
    "NaN query": (lambda ix, rng: ix.search(with_row(rng, 0, np.nan, 1)), "queries row 0"),
    "bool ids": (lambda ix, rng: ix.add(clustered(rng, 2), [True, False]), "ids must be an integer"),
    "numpy bool id": (lambda ix, rng: ix.add(clustered(rng, 1), np.True_), "ids must be an integer"),
    "NO_ID": (lambda ix, rng: ix.add(clustered(rng, 2), [300, korvane.NO_ID]), r"ids\[1\] is NO_ID"),
    "float k": (lambda ix, rng: ix.search(clustered(rng, 1), k=5.0), "k must be an integer"),
    "bool ef": (lambda ix, rng: ix.search(clustered(rng, 1), ef=True), "ef must be an integer"),
    "huge k": (lambda ix, rng: ix.search(clustered(rng, 1), k=2**64), "k must be in 1 .. 256"),
    "huge rerank": (lambda ix, rng: ix.search(clustered(rng, 1), rerank=2**80), "rerank must be in"),
    "huge threads": (lambda ix, rng: ix.search(clustered(rng, 1), threads=2**64), "threads must be in"),
    "float threads": (lambda ix, rng: ix.add(clustered(rng, 1), threads=2.0), "threads must be an integer"),
}


@pytest.mark.parametrize("case", REFUSED)
@pytest.mark.filterwarnings("ignore:overflow encountered in cast")  # numpy's, converting 1e39
def test_refused_input_says_why_and_changes_nothing(index, rng, case):
    call, message = REFUSED[case]
    with pytest.raises(ValueError, match=message):
        call(index, rng)
    assert len(index) == 50 and 300 not in index and 1 in index


def test_closed_index_raises_value_error(index, rng, tmp_path):
    query = clustered(rng, 1)
    with index:
        index.search(query)
    for call in (lambda: index.add(query), lambda: index.remove([1]), lambda: index.search(query),
                 lambda: index.save(tmp_path / "x.kvx"), lambda: len(index), lambda: 1 in index,
                 lambda: index.memory_bytes, lambda: index.store, lambda: pickle.dumps(index)):
        with pytest.raises(ValueError, match="closed"):
            call()
    index.close()
    assert repr(index) == "<korvane.Index (closed)>"


def test_file_errors(index, tmp_path):
    assert issubclass(korvane.IndexFileError, OSError)
    with pytest.raises(FileNotFoundError):
        korvane.Index.load(tmp_path / "missing.kvx")
    with pytest.raises(IsADirectoryError):
        korvane.Index.load(tmp_path)
    with pytest.raises(OSError):
        index.save(tmp_path / "no" / "such" / "folder.kvx")
    with pytest.raises(IsADirectoryError):
        index.save(tmp_path)
    good = tmp_path / "good.kvx"
    index.save(good)
    data = good.read_bytes()
    for name, content in (("empty", b""), ("text", b"not an index file\n" * 10), ("truncated", data[:-7]),
                          ("flipped", data[:5] + bytes([data[5] ^ 0x40]) + data[6:])):
        (tmp_path / name).write_bytes(content)
        with pytest.raises(korvane.IndexFileError, match=name):
            korvane.Index.load(os.fsencode(tmp_path / name))
    assert len(korvane.Index.load(good)) == 50


def test_out_of_memory_is_memory_error_and_leaves_a_usable_index():
    # In a child process: the address-space limit would hurt every other test.
    script = textwrap.dedent("""
        import resource, numpy as np, korvane
        index = korvane.Index()
        small = np.random.default_rng(1).standard_normal((100, 256)).astype(np.float32)
        index.add(small)
        big = np.random.default_rng(2).standard_normal((60000, 256)).astype(np.float32)
        used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (16 << 20), resource.RLIM_INFINITY))
        try:
            index.add(big, ids=np.arange(1000, 61000), threads=1)
        except MemoryError:
            live = len(index)
            assert 100 <= live < 60100, live
            ids, _ = index.search(small[:5], k=1)
            assert ids.ravel().tolist() == [0, 1, 2, 3, 4]
            print("MemoryError", live)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("MemoryError")
