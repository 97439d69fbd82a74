"""korvane.distributed on a local Dask cluster of two worker processes."""

import faulthandler
import json
import os
import signal
import threading
import time

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")

import korvane  # noqa: E402
from conftest import assert_same_bits, clustered  # noqa: E402
from korvane import _manifest  # noqa: E402
from korvane.distributed import ShardedIndex, ShardLostError, shard_of  # noqa: E402

SEED = 7
EF_CONSTRUCTION = 64
CALL_TIMEOUT = 60


@pytest.fixture(autouse=True)
def watchdog():
    """A hung test dumps every thread's stack and ends the run."""
    faulthandler.dump_traceback_later(120, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True,
        dashboard_address=None, silence_logs=50)
    with cluster, distributed.Client(cluster, timeout=CALL_TIMEOUT) as c:
        c.wait_for_workers(2, timeout=CALL_TIMEOUT)
        yield c


def vectors(n, seed):
    return np.random.default_rng(seed).standard_normal((n, 256)).astype(
        np.float32)


def random_ids(n, seed):
    ids = np.random.default_rng(seed).integers(0, 2**64 - 1, size=n,
                                                dtype=np.uint64)
    assert len(np.unique(ids)) == n
    return ids


def make_sharded(client, shards, **settings):
    settings = {"ef_construction": EF_CONSTRUCTION, "seed": SEED, **settings}
    return ShardedIndex(client, shards, timeout=CALL_TIMEOUT, **settings)


def merged_by_brute_force(answers, k):
    """Best k of per-shard (ids, scores) rows, sorted in plain Python."""
    nq = answers[0][0].shape[0]
    ids = np.full((nq, k), korvane.NO_ID, dtype=np.uint64)
    scores = np.full((nq, k), -np.inf, dtype=np.float32)
    for q in range(nq):
        pool = sorted((-float(s), int(i)) for a_ids, a_scores in answers
                      for i, s in zip(a_ids[q], a_scores[q])
                      if i != korvane.NO_ID)[:k]
        ids[q, :len(pool)] = [i for _, i in pool]
        scores[q, :len(pool)] = [-s for s, _ in pool]
    return ids, scores


class LocalPartition:
    """The same shards built in this process with plain korvane.Index."""

    def __init__(self, shards, **shape):
        self.indexes = [korvane.Index(ef_construction=EF_CONSTRUCTION,
                                      seed=SEED, **shape) for _ in range(shards)]

    def owners(self, ids):
        return shard_of(ids, len(self.indexes))

    def add(self, data, ids):
        owners = self.owners(ids)
        for s, index in enumerate(self.indexes):
            if np.any(owners == s):
                index.add(data[owners == s], ids[owners == s])

    def remove(self, ids):
        owners = self.owners(ids)
        return sum(index.remove(ids[owners == s])
                   for s, index in enumerate(self.indexes))

    def search(self, queries, k, filter=None, walk="scored"):
        answers = []
        for s, index in enumerate(self.indexes):
            allowed = None if filter is None else filter[self.owners(filter) == s]
            answers.append(index.search(queries, k=k, filter=allowed, walk=walk))
        return merged_by_brute_force(answers, k)


def test_answers_equal_a_merge_of_the_same_partition_searched_locally(client):
    data, ids = vectors(1200, 1), random_ids(1200, 2)
    queries = vectors(12, 3)
    local = LocalPartition(4)
    with make_sharded(client, 4) as index:
        for part in (slice(0, 700), slice(700, 1200)):
            index.add(data[part], ids[part])
            local.add(data[part], ids[part])
        assert len(index) == 1200
        assert_same_bits(index.search(queries, k=10),
                            local.search(queries, k=10))
        assert_same_bits(index.search(queries, k=10, walk="hamming"),
                            local.search(queries, k=10, walk="hamming"))
        one_id, one_score = index.search(queries[0], k=10)
        assert one_id.shape == one_score.shape == (10,)
        assert_same_bits((one_id[None], one_score[None]),
                            local.search(queries[:1], k=10))

        allowed = np.append(ids[::37], np.uint64(12345))
        assert_same_bits(index.search(queries, k=20, filter=allowed),
                            local.search(queries, k=20, filter=allowed))

        gone = np.concatenate([ids[::3], ids[:5], np.array([42], np.uint64)])
        assert index.remove(gone) == local.remove(np.unique(gone)) == 403
        assert len(index) == 797 and ids[1] not in index and ids[5] in index
        assert_same_bits(index.search(queries, k=10),
                            local.search(queries, k=10))
        assert index.memory_bytes == sum(i.memory_bytes for i in local.indexes)


def test_a_784_d_euclidean_index_equals_its_shards_searched_and_merged(
        client, rng, tmp_path):
    data = clustered(rng, 500, dim=784)
    ids, queries = random_ids(500, 20), clustered(rng, 8, dim=784)
    local = LocalPartition(3, dim=784, metric="l2")
    with make_sharded(client, 3, dim=784, metric="l2") as index:
        for part in (slice(0, 200), slice(200, 500)):  # the first fixes the centres
            index.add(data[part], ids[part])
            local.add(data[part], ids[part])
        expected = local.search(queries, k=10)
        assert_same_bits(index.search(queries, k=10), expected)
        with pytest.raises(ValueError, match="256 components but the index's dimension is 784"):
            index.search(vectors(2, 1))
        index.save(tmp_path)
    manifest = json.loads((tmp_path / "manifest.json").read_text())
    assert (manifest["dim"], manifest["metric"]) == (784, "l2")
    with ShardedIndex.load(client, tmp_path, timeout=CALL_TIMEOUT) as loaded:
        assert (loaded.dim, loaded.metric, len(loaded)) == (784, "l2", 500)
        assert_same_bits(loaded.search(queries, k=10), expected)
    # A manifest without the fields is one of a 256-d inner-product index.
    # Files of this shape record their seed in place of the matrices.
    for change, message in ((lambda m: m.update(metric="cosine"),
                             "metric 'l2', manifest 'cosine'"),
                            (lambda m: m.update(seed=SEED + 1),
                             f"seed {SEED + 1}"),
                            (lambda m: m.pop("dim"),
                             "dimension 784, manifest 256")):
        change_manifest(tmp_path, change)
        with pytest.raises(korvane.IndexFileError, match=message):
            ShardedIndex.load(client, tmp_path, timeout=CALL_TIMEOUT)
        (tmp_path / "manifest.json").write_text(json.dumps(manifest))


def recall_at_10(found, truth):
    return np.mean([len(set(f) & set(t)) / 10 for f, t in zip(found, truth)])


def test_recall_of_four_shards_is_no_worse_than_one_index(client, rng):
    points = clustered(rng, 4100)  # queries from the same clusters
    data, queries = points[:4000], points[4000:]
    truth = np.argsort(-(queries @ data.T), axis=1, kind="stable")[:, :10]
    single = korvane.Index(ef_construction=EF_CONSTRUCTION, seed=SEED)
    single.add(data)
    with make_sharded(client, 4) as index:
        index.add(data, np.arange(4000))
        sharded = recall_at_10(index.search(queries, k=10)[0], truth)
    alone = recall_at_10(single.search(queries, k=10)[0], truth)
    assert sharded >= alone - 0.01, (sharded, alone)


def test_duplicate_ids_anywhere_are_refused_with_nothing_added(client):
    data, ids = vectors(400, 6), np.arange(400, dtype=np.uint64)
    with make_sharded(client, 4) as index:
        index.add(data[:200], ids[:200])
        # New ids for every shard plus one id that one shard already holds.
        batch = np.concatenate([ids[200:400], ids[150:151]])
        assert len(set(shard_of(batch, 4).tolist())) == 4
        with pytest.raises(korvane.DuplicateIdError, match="150"):
            index.add(data[199:400], batch)
        with pytest.raises(korvane.DuplicateIdError, match="300"):
            index.add(data[:3], [300, 301, 300])
        assert len(index) == 200
        assert not any(i in index for i in (200, 250, 300, 399))
        index.add(data[200:], ids[200:])
        assert len(index) == 400


def test_a_filter_is_sent_only_to_the_shards_that_own_its_ids(client):
    data, ids = vectors(600, 8), np.arange(600, dtype=np.uint64)
    with make_sharded(client, 4) as index:
        index.add(data, ids)
        allowed = ids[shard_of(ids, 4) == 2][:15]
        before = [s["searches"] for s in index.shard_info()]
        found, scores = index.search(data[:3], k=20, filter=allowed)
        after = [s["searches"] for s in index.shard_info()]
        assert [a - b for a, b in zip(after, before)] == [0, 0, 1, 0]
        assert set(found[:, :15].ravel().tolist()) == set(allowed.tolist())
        assert np.all(found[:, 15:] == korvane.NO_ID)
        assert np.all(scores[:, 15:] == -np.inf)
        found, _ = index.search(data[:3], k=5, filter=[])
        assert np.all(found == korvane.NO_ID)
        assert [s["searches"] for s in index.shard_info()] == after


def saved_index(client, directory):
    data, ids = vectors(500, 9), random_ids(500, 10)
    with make_sharded(client, 3) as index:
        index.add(data, ids)
        index.save(directory)
        index.remove(ids[:100])
        index.save(directory)  # the second save replaces the first
        return index.search(data[:10], k=10), len(index)


def test_save_then_load_gives_the_same_answers(client, tmp_path):
    answers, length = saved_index(client, tmp_path)
    files = sorted(os.listdir(tmp_path))
    assert len(files) == 4 and files[0] == "manifest.json"
    manifest = json.loads((tmp_path / "manifest.json").read_text())
    assert manifest["shard_count"] == 3 and manifest["store"] == "int8"
    assert sum(s["length"] for s in manifest["shards"]) == length == 400
    with ShardedIndex.load(client, tmp_path, timeout=CALL_TIMEOUT) as index:
        assert len(index) == 400 and index.seed == SEED
        assert_same_bits(index.search(vectors(500, 9)[:10], k=10), answers)


def change_manifest(path, change):
    manifest = json.loads((path / "manifest.json").read_text())
    change(manifest)
    (path / "manifest.json").write_text(json.dumps(manifest))


def flip_byte_of_shard_file(path):
    name = json.loads((path / "manifest.json").read_text())["shards"][1]["file"]
    with open(path / name, "r+b") as f:
        f.seek(5000)
        byte = f.read(1)
        f.seek(5000)
        f.write(bytes([byte[0] ^ 1]))


def swap_shard_entries(m):
    m["shards"][0], m["shards"][1] = m["shards"][1], m["shards"][0]


def set_shard_field(shard, field, value):
    return lambda m: m["shards"][shard].__setitem__(field, value)


def swap_shard_files_with_their_hashes(path):
    """Shards 0 and 1 trade contents; the manifest's hashes and lengths
    follow, so only the files' ids can tell."""
    manifest = json.loads((path / "manifest.json").read_text())
    a, b = manifest["shards"][0], manifest["shards"][1]
    data_a, data_b = (path / a["file"]).read_bytes(), (path / b["file"]).read_bytes()
    (path / a["file"]).write_bytes(data_b)
    (path / b["file"]).write_bytes(data_a)
    for field in ("sha256", "length"):
        a[field], b[field] = b[field], a[field]
    (path / "manifest.json").write_text(json.dumps(manifest))


def cut_to_two_shards(m):
    del m["shards"][2]
    m["shard_count"] = 2


TAMPERING = {
    "shard file changed": (flip_byte_of_shard_file, "shard 1 .*SHA-256"),
    "length changed": (lambda p: change_manifest(
        p, set_shard_field(2, "length", 7)), "shard 2 .*7"),
    "store changed": (lambda p: change_manifest(
        p, lambda m: m.update(store="f32")), "shard 0 .*store"),
    "ef_construction changed": (lambda p: change_manifest(
        p, lambda m: m.update(ef_construction=10)),  # a file would hold 32
        f"ef_construction {EF_CONSTRUCTION}, manifest 10"),
    "dimension changed": (lambda p: change_manifest(
        p, lambda m: m.update(dim=784)), "dimension 256, manifest 784"),
    "metric changed": (lambda p: change_manifest(
        p, lambda m: m.update(metric="l2")), "metric 'ip', manifest 'l2'"),
    "dimension out of range": (lambda p: change_manifest(
        p, lambda m: m.update(dim=5000)), "dim is not an integer"),
    "seed changed": (lambda p: change_manifest(
        p, lambda m: m.update(seed=SEED + 1)), f"seed {SEED + 1}"),
    "shard files swapped with their hashes": (
        swap_shard_files_with_their_hashes, "shard 0 .*belong to other shards"),
    "manifest cut to two shards": (lambda p: change_manifest(
        p, cut_to_two_shards), "belong to other shards"),
    "hash rule changed": (lambda p: change_manifest(
        p, lambda m: m.update(hash_rule="id mod shard_count")), "hash_rule"),
    "shard count changed": (lambda p: change_manifest(
        p, lambda m: m.update(shard_count=4)), "shard_count"),
    "shards swapped": (lambda p: change_manifest(p, swap_shard_entries),
                       "shard 0: file name"),
    "path outside": (lambda p: change_manifest(
        p, set_shard_field(0, "file", "../shard-00000-0123456789abcdef.kvx")),
        "shard 0: file name"),
    "format version": (lambda p: change_manifest(
        p, lambda m: m.update(format_version=2)), "format_version"),
    "not json": (lambda p: (p / "manifest.json").write_text("{"), "JSON"),
}


@pytest.mark.parametrize("tampering", TAMPERING)
def test_a_changed_manifest_or_shard_file_is_refused(client, tmp_path_factory,
                                                     saved_copy, tampering):
    directory = saved_copy(tmp_path_factory.mktemp("tampered"))
    change, message = TAMPERING[tampering]
    change(directory)
    with pytest.raises(korvane.IndexFileError, match=message):
        ShardedIndex.load(client, directory, timeout=CALL_TIMEOUT)


def test_a_missing_save_is_reported_as_missing(client, tmp_path, saved_copy):
    with pytest.raises(FileNotFoundError):
        ShardedIndex.load(client, tmp_path / "nothing", timeout=CALL_TIMEOUT)
    directory = saved_copy(tmp_path / "copy")
    name = json.loads((directory / "manifest.json").read_text())["shards"][2]
    os.remove(directory / name["file"])
    with pytest.raises(FileNotFoundError):
        ShardedIndex.load(client, directory, timeout=CALL_TIMEOUT)


@pytest.fixture(scope="module")
def saved_copy(client, tmp_path_factory):
    """Copies of one saved index, made without rebuilding it."""
    original = tmp_path_factory.mktemp("original")
    saved_index(client, original)

    def copy(target):
        target.mkdir(exist_ok=True)
        for name in os.listdir(original):
            (target / name).write_bytes((original / name).read_bytes())
        return target
    return copy


def test_concurrent_saves_leave_one_whole_save(client, tmp_path):
    contents = {}
    indexes = []
    for number, n in enumerate((300, 200)):
        index = make_sharded(client, 3)
        data = vectors(n, 20 + number)
        index.add(data, random_ids(n, 30 + number))
        contents[n] = index.search(data[:5], k=10)
        indexes.append(index)
    try:
        for _ in range(4):
            # The same index twice and another one, all into one directory.
            savers = [threading.Thread(target=index.save, args=(tmp_path,))
                      for index in (indexes[0], indexes[0], indexes[1])]
            for saver in savers:
                saver.start()
            for saver in savers:
                saver.join()
            assert len(os.listdir(tmp_path)) == 4  # nothing left behind
            with ShardedIndex.load(client, tmp_path, timeout=CALL_TIMEOUT) as loaded:
                length = len(loaded)
                assert_same_bits(loaded.search(vectors(length, 20 + (length == 200))[:5], k=10),
                                 contents[length])
    finally:
        for index in indexes:
            index.close()

    # Another process's save whose files vanished is refused, not written.
    before = (tmp_path / "manifest.json").read_text()
    ghost = json.loads(before)
    ghost["shards"][0]["file"] = _manifest.shard_file_name(0, "0" * 16)
    with pytest.raises(FileNotFoundError, match="previous save is kept"):
        _manifest.write_atomically(str(tmp_path), json.dumps(ghost))
    assert (tmp_path / "manifest.json").read_text() == before

    # Leftovers of a save that crashed before the current manifest go with
    # the next save; files of a save still being written stay.
    crashed = tmp_path / _manifest.shard_file_name(1, "1" * 16)
    in_progress = tmp_path / _manifest.shard_file_name(1, "2" * 16)
    crashed.write_bytes(b"x")
    in_progress.write_bytes(b"x")
    past = os.stat(tmp_path / "manifest.json").st_mtime - 60
    os.utime(crashed, (past, past))
    _manifest.write_atomically(str(tmp_path), before)
    assert not crashed.exists() and in_progress.exists()
    with ShardedIndex.load(client, tmp_path, timeout=CALL_TIMEOUT) as loaded:
        assert len(loaded) in contents


def test_settings_are_checked_and_round_trip(client, tmp_path):
    for bad in ({"ef_construction": 1.5}, {"ef_construction": -1},
                {"seed": 2**64}, {"seed": True}, {"dim": 0}, {"dim": 784.0},
                {"metric": "dot"}, {"metric": None}):
        with pytest.raises(ValueError):
            make_sharded(client, 2, **bad)
    with make_sharded(client, 2, ef_construction=0, seed=2**64 - 1) as index:
        index.add(vectors(50, 13))
        index.save(tmp_path)
    with ShardedIndex.load(client, tmp_path, timeout=CALL_TIMEOUT) as loaded:
        assert (loaded.ef_construction, loaded.seed, len(loaded)) == (0, 2**64 - 1, 50)


def test_arguments_are_taken_as_index_takes_them(client):
    data = vectors(20, 14)
    local = korvane.Index(ef_construction=EF_CONSTRUCTION, seed=SEED)
    local.add(data)
    calls = {
        "one vector, one id": lambda ix: ix.add(data[0], 100),
        "NO_ID": lambda ix: ix.add(data[:2], [5000, 2**64 - 1]),
        "bool ids": lambda ix: ix.add(data[:2], [True, False]),
        "NaN vector": lambda ix: ix.add(np.full(256, np.nan)),
        "None components": lambda ix: ix.add([[None] * 256]),
        "text components": lambda ix: ix.add([["1"] * 256]),
        "float k": lambda ix: ix.search(data[0], k=2.0),
        "huge ef": lambda ix: ix.search(data[0], ef=2**64),
        "NO_ID in a filter": lambda ix: ix.search(data[0], k=3, filter=[2**64 - 1, 3, 3, 3])[0].tolist(),
        "removing NO_ID": lambda ix: ix.remove([2**64 - 1, 2]),
        "2**64 in": lambda ix: 2**64 in ix,
        "-1 in": lambda ix: -1 in ix,
        "text in": lambda ix: "7" in ix,
        "default ids after a removal": lambda ix: (ix.add(data[:2]), 20 in ix, 21 in ix),
    }

    def outcome(call, index):
        try:
            return call(index)
        except Exception as e:  # noqa: BLE001 - the kind is what is compared
            return type(e)

    with make_sharded(client, 3) as sharded:
        sharded.add(data)
        for name, call in calls.items():
            assert outcome(call, sharded) == outcome(call, local), name
        assert len(sharded) == len(local) == 22


def patch_shards(client, method, replacement, workers=None):
    """Swaps a Shard method in the workers; returns what undoes it."""
    def swap(new):
        from korvane import _shard
        old = getattr(_shard.Shard, method)
        setattr(_shard.Shard, method, new)
        return old
    originals = client.run(swap, replacement, workers=workers)
    old = next(iter(originals.values()))
    return lambda: client.run(swap, old, workers=workers)


def test_a_failed_or_late_add_leaves_nothing(client):
    data, ids = vectors(900, 15), random_ids(900, 16)

    def half_then_out_of_memory(self, vectors, ids, threads):
        self.index.add(vectors[:len(ids) // 2], ids[:len(ids) // 2], threads=threads)
        raise MemoryError("out of memory after half the part")

    def slowly(self, vectors, ids, threads):
        time.sleep(2)
        self.index.add(vectors, ids, threads=threads)

    with make_sharded(client, 3) as index:
        index.add(data[:300], ids[:300])
        for replacement, error in ((half_then_out_of_memory, MemoryError),
                                   (slowly, TimeoutError)):
            undo = patch_shards(client, "_add", replacement)
            index._timeout = 0.5
            try:
                with pytest.raises(error):
                    index.add(data[300:], ids[300:])
            finally:
                index._timeout = CALL_TIMEOUT
                undo()
            assert len(index) == 300
            assert not any(i in index for i in ids[300::50].tolist())
        index.add(data[300:], ids[300:])  # the retry finds no duplicates
        assert len(index) == 900


def on_workers(rows, dim, chunks, seed):
    """Random float32 vectors as a Dask array whose blocks the workers make
    (each from its own seed, so any block computes to the same values)."""
    chunks = da.core.normalize_chunks(chunks, (rows, dim), dtype=np.float32)
    return da.map_blocks(random_block, seed=seed, chunks=chunks,
                         dtype=np.float32)


def random_block(seed, block_info=None):
    (top, bottom), (left, right) = block_info[None]["array-location"]
    rng = np.random.default_rng([seed, top, left])
    return rng.standard_normal((bottom - top, right - left), dtype=np.float32)


def shard_file_hashes(index, directory):
    index.save(directory)
    manifest = json.loads((directory / "manifest.json").read_text())
    return [shard["sha256"] for shard in manifest["shards"]]


def test_a_dask_add_builds_the_shards_a_numpy_add_builds_and_searches_alike(
        client, tmp_path):
    # Uneven blocks, a block of one row and a split width. Under l2 each
    # shard's first add fixes its centre, so a shard that took its part in
    # pieces, or out of order, would differ.
    data = on_workers(1500, 64, ((400, 1, 599, 500), (40, 24)), 21)
    ids = np.random.default_rng(22).permutation(1500).astype(np.uint64) * 2
    local = data.compute()
    with ShardedIndex.from_dask(
            client, data, da.from_array(ids, chunks=700), shards=3,
            ef_construction=EF_CONSTRUCTION, seed=SEED, metric="l2",
            timeout=CALL_TIMEOUT) as from_dask, \
            make_sharded(client, 3, dim=64, metric="l2") as from_numpy:
        from_numpy.add(local, ids)
        assert (shard_file_hashes(from_dask, tmp_path / "dask")
                == shard_file_hashes(from_numpy, tmp_path / "numpy"))

        # Default ids: after the removal the run from len(index) on meets
        # taken even ids, so both must move past them alike.
        more = on_workers(300, 64, 128, 23)
        from_dask.remove(ids[:10])
        from_dask.add(more)
        from_numpy.remove(ids[:10])
        from_numpy.add(more.compute())
        assert len(from_dask) == 1790 and 2999 in from_dask and 3298 in from_dask
        assert (shard_file_hashes(from_dask, tmp_path / "dask")
                == shard_file_hashes(from_numpy, tmp_path / "numpy"))

        queries = local[::60] + np.float32(0.05)
        for k, allowed in ((10, None), (20, ids[::7])):
            found = from_dask.search(da.from_array(queries, chunks=11), k=k,
                                     filter=allowed)
            assert all(isinstance(a, da.Array) for a in found)
            assert found[0].chunks == ((11, 11, 3), (k,))
            assert_same_bits(dask.compute(*found),
                             from_numpy.search(queries, k=k, filter=allowed))
        one = dask.compute(*from_dask.search(da.from_array(queries[3]), k=5))
        assert_same_bits(one, from_numpy.search(queries[3], k=5))


def test_a_refused_or_failed_dask_add_leaves_nothing(client):
    data = on_workers(900, 256, 300, 24)
    ids = np.arange(1000, 1900, dtype=np.uint64)
    rows = da.arange(900, chunks=300)[:, None]

    def half_then_out_of_memory(self, vectors, ids, threads):
        self.index.add(vectors[:len(ids) // 2], ids[:len(ids) // 2],
                       threads=threads)
        raise MemoryError("out of memory after half the part")

    with make_sharded(client, 3) as index:
        index.add(vectors(100, 25), np.arange(100))
        repeated, present, padding = ids.copy(), ids.copy(), ids.copy()
        repeated[850] = ids[10]
        present[500] = 42
        padding[[700, 880]] = korvane.NO_ID
        refusals = [
            (data, repeated, korvane.DuplicateIdError,
             r"repeated in the batch, nothing added: \[1010\]"),
            (data, present, korvane.DuplicateIdError,
             r"already in the index, nothing added: \[42\]"),
            (da.where((rows == 820) | (rows == 650), np.nan, data), ids,
             ValueError, "^vectors row 650 holds a value that is not a finite"),
            (data, padding, ValueError, "NO_ID"),
        ]
        for batch, batch_ids, error, message in refusals:
            with pytest.raises(error, match=message):
                index.add(batch, da.from_array(batch_ids, chunks=250))
            assert len(index) == 100
        undo = patch_shards(client, "_add", half_then_out_of_memory)
        try:
            with pytest.raises(MemoryError):
                index.add(data, ids)
        finally:
            undo()
        assert len(index) == 100
        assert not any(i in index for i in ids[::50].tolist())
        index.add(data, ids)
        assert len(index) == 1000


def peak_memory_growth(action):
    """How far this process's peak resident memory rose above what it held
    before ``action``, in bytes."""
    def peak_kib():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f
                        if line.startswith("VmHWM:"))
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # the peak restarts from the current size
    except OSError:
        pytest.skip("this kernel does not let a process reset its peak RSS")
    before = peak_kib()
    action()
    return (peak_kib() - before) * 1024


def test_the_client_never_holds_the_vectors_of_a_dask_add(client):
    # 65 MB of vectors against a client allowance of a fifth of that (a
    # correct add grows the client by about 1.5 MB, its task bookkeeping);
    # the same array computed into the client shows that the measure sees it.
    dim, rows = 4096, 4000
    data = on_workers(rows, dim, 500, 26)
    allowance = rows * dim * 4 // 5
    with make_sharded(client, 2, dim=dim, store="none") as index:
        index.add(on_workers(300, dim, 100, 27))  # first calls, not measured
        grew = peak_memory_growth(lambda: index.add(data))
        assert len(index) == rows + 300
        assert grew < allowance, (grew, allowance)
        found, _ = dask.compute(*index.search(data[:20], k=1))
        np.testing.assert_array_equal(found[:, 0], np.arange(300, 320))
    assert peak_memory_growth(data.compute) > rows * dim * 4


def test_a_killed_worker_is_reported_and_the_last_save_restores(client,
                                                                tmp_path):
    # Runs last: it kills one of the module's two workers (its nanny
    # starts a fresh one).
    data, ids = vectors(300, 11), np.arange(300, dtype=np.uint64)
    index = make_sharded(client, 2)
    index.add(data, ids)
    index.save(tmp_path)
    answers = index.search(data[:5], k=10)
    victim = index.shard_info()[1]["worker"]
    pid = client.run(os.getpid, workers=[victim])[victim]

    def slow_search(self, *args):
        time.sleep(30)
    patch_shards(client, "search", slow_search, workers=[victim])  # dies with it
    # Killed while it answers a search: the call may see the connection
    # drop before the scheduler sees the worker go.
    threading.Timer(1.0, os.kill, (pid, signal.SIGKILL)).start()
    started = time.monotonic()
    with pytest.raises(ShardLostError) as lost:
        index.search(data[:5], k=10)
    assert time.monotonic() - started < 30
    assert lost.value.shards == [1]
    with pytest.raises(ShardLostError):
        index.add(vectors(1, 12), [1000])
    index.close()
    with ShardedIndex.load(client, tmp_path, timeout=CALL_TIMEOUT) as restored:
        assert_same_bits(restored.search(data[:5], k=10), answers)
