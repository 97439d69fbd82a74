"""Threads: searches run side by side, adds wait for them, and the GIL is
released while the library works."""
import threading
import time

import numpy as np

import korvane
from conftest import assert_same_bits, clustered


def test_searches_during_adds_each_see_one_whole_state(rng):
    batches = [clustered(rng, 400) for _ in range(5)]
    queries = clustered(rng, 6)
    # The states the searching threads may observe, from an identical index.
    reference = korvane.Index(ef_construction=64, seed=9)
    expected = []
    for batch in batches:
        reference.add(batch, threads=1)
        expected.append((reference.search(queries, k=8, ef=40), reference.search(queries[0], k=8, ef=40)))

    index = korvane.Index(ef_construction=64, seed=9)
    index.add(batches[0], threads=1)
    failures, seen = [], set()
    writer_done = threading.Event()

    def matches(result, state, single):
        try:
            assert_same_bits(result, expected[state][1 if single else 0])
            return True
        except AssertionError:
            return False

    def search_until_done(single, threads):
        while not writer_done.is_set():
            result = index.search(queries[0] if single else queries, k=8, ef=40, threads=threads)
            state = next((s for s in range(len(batches)) if matches(result, s, single)), None)
            if state is None:
                failures.append(result)
                return
            seen.add(state)

    searchers = [threading.Thread(target=search_until_done, args=args)
                 for args in ((True, 1), (False, 1), (False, 2), (True, None))]
    for thread in searchers:
        thread.start()
    for batch in batches[1:]:
        index.add(batch, threads=1)
        time.sleep(0.02)
    writer_done.set()
    for thread in searchers:
        thread.join()
    assert not failures
    assert len(seen) >= 2  # the searches really overlapped the adds
    assert_same_bits(index.search(queries, k=8, ef=40), expected[-1][0])


def test_a_python_thread_runs_during_a_long_add(rng):
    vectors = clustered(rng, 3000)
    index = korvane.Index(seed=2)
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.monotonic())
            for _ in range(200):
                pass

    ticker = threading.Thread(target=tick)
    ticker.start()
    time.sleep(0.05)
    start = time.monotonic()
    index.add(vectors, threads=1)
    end = time.monotonic()
    stop.set()
    ticker.join()
    # Holding the GIL would leave the ticker stuck for the whole add; only
    # the switch interval at either end could show ticks.
    middle = [t for t in ticks if start + 0.25 * (end - start) < t < end - 0.25 * (end - start)]
    assert end - start > 0.1
    assert len(middle) > 100
