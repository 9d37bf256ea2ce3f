"""Threads: the long calls let other Python threads run, and calls from several threads on one
index give the answers they would give alone."""

import random
import sys
import threading

import numpy as np
import pytest

from conftest import (as_f32, built, fill, index_file_bytes, loaded, new_index, parse_index_file,
                      uniform_graph_section)

RING = 600_000


def ran_meanwhile(call):
    """Whether another thread, woken just before call, finished its work before call returned.

    A long switch interval keeps the interpreter from taking the lock away from this thread,
    so the other thread can run only if call itself gives the lock up.
    """
    ready, go = threading.Event(), threading.Event()
    steps = [0]

    def count():
        ready.set()
        go.wait()
        for _ in range(1000):
            steps[0] += 1

    other = threading.Thread(target=count)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(5.0)
    try:
        other.start()
        ready.wait()
        go.set()
        call()
        seen = steps[0]
    finally:
        sys.setswitchinterval(interval)
        other.join()
    return seen == 1000


@pytest.fixture(scope="module")
def ring_file(tmp_path_factory):
    """600k Poincare nodes on a ring: each node linked to its two neighbours on layer 0."""
    rng = np.random.default_rng(5)
    points = rng.random((RING, 8), dtype=np.float32) * np.float32(0.1)
    ids = np.arange(RING)
    graph = uniform_graph_section(np.column_stack([(ids - 1) % RING, (ids + 1) % RING]))
    path = tmp_path_factory.mktemp("ring") / "ring.bin"
    path.write_bytes(index_file_bytes(points, ep_id=0, ep_layer=0, graph=graph))
    return path


@pytest.fixture(scope="module")
def ring(ring_file):
    index = new_index(8, "poincare")
    index.load_index(str(ring_file))
    return index


@pytest.mark.parametrize("name", ["hardware_flat_search", "custom_hnsw_search", "filtered_search"])
def test_queries_release_the_interpreter_lock(ring, name):
    q = np.full(8, 0.05, dtype=np.float32)
    calls = {
        "hardware_flat_search": lambda: ring.hardware_flat_search(q, RING, 0),
        "custom_hnsw_search": lambda: ring.custom_hnsw_search(q, 10, ef_search=RING),
        "filtered_search": lambda: ring.filtered_search(q, RING, 0, RING),
    }
    assert ran_meanwhile(calls[name])


def test_linked_insertion_releases_the_interpreter_lock(ring_file):
    index = new_index(8, "poincare")
    index.load_index(str(ring_file))
    v = np.full(8, 0.05, dtype=np.float32)
    assert ran_meanwhile(lambda: index.add_item_and_link(v, 0, RING))
    assert index.get_stats()["num_nodes"] == RING + 1


def run_threads(targets):
    """Runs each target on its own thread; re-raises the first error any of them raised."""
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as error:
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


@pytest.fixture(scope="module")
def graph16():
    rng = np.random.default_rng(6)
    points = rng.standard_normal((2000, 16)).astype(np.float32)
    masks = [1 + (i % 3) for i in range(2000)]
    index = built(points, masks=masks, linked=True, ef_construction=64)
    queries = rng.standard_normal((40, 16)).astype(np.float32)
    return index, queries


def all_answers(index, queries, order):
    out = {}
    for i in order:
        q = queries[i]
        out[i] = (index.hardware_flat_search(q, 10, 2), index.custom_hnsw_search(q, 10),
                  index.custom_hnsw_search(q, 5, 1, 20), index.filtered_search(q, 10, 3))
    return out


def test_concurrent_queries_answer_as_alone(graph16):
    index, queries = graph16
    alone = all_answers(index, queries, range(len(queries)))
    results = []

    def worker(seed):
        order = list(range(len(queries)))
        random.Random(seed).shuffle(order)
        results.append(all_answers(index, queries, order))

    run_threads([lambda s=s: worker(s) for s in range(4)])
    assert len(results) == 4
    for result in results:
        assert result == alone


def test_insertion_overlapping_queries(tmp_path):
    rng = np.random.default_rng(7)
    points = rng.random((1500, 8), dtype=np.float32)
    index = built(points[:300], linked=True, ef_construction=50)
    done = threading.Event()
    counts = {"flat": 0, "graph": 0, "stats": 0, "save": 0}

    def insert():
        try:
            fill(index, points[300:], linked=True, ef_construction=50)
        finally:
            done.set()

    def flat():
        q = as_f32([0.5] * 8)
        while not done.is_set():
            before = index.get_stats()["num_nodes"]
            found = index.hardware_flat_search(q, 10**6, 0)
            after = index.get_stats()["num_nodes"]
            # One consistent snapshot: exactly the first len(found) nodes.
            assert before <= len(found) <= after
            assert sorted(found) == list(range(len(found)))
            counts["flat"] += 1

    def graph():
        while not done.is_set():
            q = rng.random(8, dtype=np.float32)
            for found in (index.custom_hnsw_search(q, 20), index.filtered_search(q, 20, 0, 200)):
                after = index.get_stats()["num_nodes"]
                assert found and len(set(found)) == len(found)
                assert max(found) < after
            counts["graph"] += 1

    def stats():
        while not done.is_set():
            s = index.get_stats()
            assert sum(s["layer_distribution"]) == s["num_nodes"]
            assert len(s["layer_distribution"]) == s["ep_layer"] + 2
            counts["stats"] += 1

    def save():
        path = tmp_path / "during.bin"
        while not done.is_set():
            index.save_index(str(path))
            saved = parse_index_file(path.read_bytes())
            n = len(saved["levels"])
            assert saved["levels"][saved["ep_id"]] == saved["ep_layer"]
            assert all(i < n for layers in saved["links"] for ids in layers for i in ids)
            loaded(tmp_path / "copy.bin", path.read_bytes())
            counts["save"] += 1

    run_threads([insert, flat, graph, stats, save])
    assert min(counts.values()) >= 1, counts
    assert index.get_stats()["num_nodes"] == 1500
    assert sorted(index.hardware_flat_search(as_f32([0] * 8), 2000, 0)) == list(range(1500))


def test_mask_update_is_seen_whole(graph16):
    index, _ = graph16
    n = index.get_stats()["num_nodes"]
    original = [1 + (i % 3) for i in range(n)]
    done = threading.Event()
    sizes = set()

    def flip():
        try:
            for i in range(200):
                index.update_masks(np.full(n, 1 << (i % 2), dtype=np.uint64))
        finally:
            done.set()

    def look():
        q = np.zeros(16, dtype=np.float32)
        while not done.is_set():
            sizes.add(len(index.hardware_flat_search(q, n, 1)))

    try:
        index.update_masks(np.ones(n, dtype=np.uint64))
        run_threads([flip, look, look])
    finally:
        index.update_masks(np.array(original, dtype=np.uint64))
    # Every query saw all masks old or all new, never a mix.
    assert sizes <= {0, n}


def test_one_thread_searching_indexes_of_different_sizes(graph16):
    big, queries = graph16
    small = built([(i, 0) for i in range(10)], linked=True)
    small_q = as_f32([3.3, 0])
    want = (big.custom_hnsw_search(queries[0], 10), small.custom_hnsw_search(small_q, 10))
    got = []

    def search():
        for _ in range(2):
            got.append((big.custom_hnsw_search(queries[0], 10),
                        small.custom_hnsw_search(small_q, 10)))

    run_threads([search])
    assert got == [want, want]


def test_visit_epochs_wrap_around(tmp_path):
    # With every node at level 0 each graph query runs exactly one layer search, so this
    # thread's 16-bit visit epoch wraps after 65535 queries.
    points = as_f32([(i, 0) for i in range(6)])
    links = [[[j for j in range(6) if j != i]] for i in range(6)]
    index = loaded(tmp_path / "six.bin",
                   index_file_bytes(points, ep_id=0, ep_layer=0, levels=[0] * 6, links=links))
    q = as_f32([2.2, 0])
    want = [2, 3, 1, 4, 0, 5]
    wrong = []

    def search():
        for i in range(65540):
            found = index.custom_hnsw_search(q, 6)
            if found != want:
                wrong.append((i, found))

    run_threads([search])
    assert wrong == []
