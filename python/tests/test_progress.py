"""Progress and Ctrl-C: add reports at the library's chunk boundaries, a
stopped add keeps exactly the batch's first vectors, and SIGINT stops a long
add or search soon, leaving a valid index."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import korvane
from conftest import clustered


def file_bytes(index, path):
    index.save(path)
    return path.read_bytes()


class Stop(Exception):
    pass


def test_the_callable_sees_every_chunk_and_a_raise_keeps_the_prefix(rng, tmp_path):
    n = 3000
    vectors, ids = clustered(rng, n), rng.permutation(10 * n)[:n].astype(np.uint64)
    index, seen = korvane.Index(64, seed=3), []

    def stop_halfway(done, total):
        seen.append((done, total))
        if done >= total // 2:
            raise Stop
    with pytest.raises(Stop):
        index.add(vectors, ids, threads=2, progress=stop_halfway)
    done, m = [d for d, _ in seen], seen[-1][0]
    assert done[0] == 0 and all(a < b for a, b in zip(done, done[1:])) and {t for _, t in seen} == {n}
    assert 0 < m < n and len(index) == m and ids[m - 1] in index and ids[m] not in index
    prefix = korvane.Index(64, seed=3)
    prefix.add(vectors[:m], ids[:m])
    assert file_bytes(index, tmp_path / "a") == file_bytes(prefix, tmp_path / "b")
    rest = []
    index.add(vectors[m:], ids[m:], progress=lambda done, total: rest.append(done))
    assert rest[-1] == n - m and len(index) == n

    # A long search runs in pieces (checking for Ctrl-C between them); the rows come out as from short batches.
    queries = clustered(rng, 1500)
    whole = index.search(queries, k=5, threads=1)
    parts = [index.search(queries[i:i + 100], k=5, threads=1) for i in range(0, 1500, 100)]
    for got, expected in zip(whole, map(np.concatenate, zip(*parts))):
        np.testing.assert_array_equal(got, expected)

    # The callable cannot use its own index (the add holds it); nothing is added then.
    other = korvane.Index(64, seed=3)
    with pytest.raises(RuntimeError, match="progress callable"):
        other.add(vectors, progress=lambda done, total: len(other))
    assert len(other) == 0
    with pytest.raises(ValueError, match="progress"):
        other.add(vectors, progress="yes")


@pytest.mark.parametrize("tqdm", [True, False], ids=["tqdm", "plain"])
def test_progress_true_draws_a_bar_on_stderr(rng, capsys, monkeypatch, tqdm):
    if tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)  # import tqdm fails
    index = korvane.Index(64)
    index.add(clustered(rng, 1500), progress=True)
    index.add(clustered(rng, 0), progress=True)  # nothing to add draws nothing
    captured = capsys.readouterr()
    assert captured.out == "" and "100%" in captured.err and captured.err.endswith("\n")
    assert ("1500/1500" in captured.err) == (not tqdm)
    assert len(index) == 1500


CHILD = textwrap.dedent("""
    import signal, sys, time
    import numpy as np, korvane
    signal.signal(signal.SIGINT, signal.default_int_handler)  # even where the test runner ignores SIGINT
    n = int(sys.argv[1])
    vectors = np.random.default_rng(5).standard_normal((n, 64), dtype=np.float32)
    index = korvane.Index(64, seed=1, dim=64)
    for what, call in (("add", lambda: index.add(vectors)),
                       ("search", lambda: index.search(np.tile(vectors[:500], (400, 1)), k=10, ef=2000))):
        print(what, flush=True)
        try:
            call()
            print("finished", flush=True)
        except KeyboardInterrupt:
            print("interrupted", time.monotonic(), len(index), flush=True)
    # Still valid: it answers as an index of the first len(index) vectors.
    m = len(index)
    prefix = korvane.Index(64, seed=1, dim=64)
    prefix.add(vectors[:m])
    same = all((a == b).all() for a, b in zip(index.search(vectors[:50], k=10), prefix.search(vectors[:50], k=10)))
    print("same", same, flush=True)
""")


def test_ctrl_c_stops_a_long_add_and_a_long_search(tmp_path):
    """Each call would take many seconds; SIGINT a second in raises KeyboardInterrupt."""
    package = os.path.dirname(os.path.dirname(os.path.abspath(korvane.__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([package] + os.environ.get("PYTHONPATH", "").split(os.pathsep)))
    child = subprocess.Popen([sys.executable, "-c", CHILD, "300000"], stdout=subprocess.PIPE, text=True,
                             cwd=tmp_path, env=env)
    try:
        latencies = []
        for what in ("add", "search"):
            assert child.stdout.readline().split() == [what]
            time.sleep(1.0)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            reply = child.stdout.readline().split()
            assert reply[0] == "interrupted", reply
            latencies.append(float(reply[1]) - sent)
            added = int(reply[2])
            assert 0 < added < 300000
        assert child.stdout.readline().split() == ["same", "True"]
        assert child.wait(timeout=60) == 0
        print(f"KeyboardInterrupt {latencies[0]:.3f} s after SIGINT in add, {latencies[1]:.3f} s in search")
    finally:
        child.kill()
        child.wait()
