"""The batch calls: add_items builds what one insertion per row builds (on one thread) or an
equally good graph (on more), refuses bad rows before storing any, and stops cleanly; search
answers every row as the single-query methods do, with their distances."""

import _thread
import threading

import numpy as np
import pytest

import zelt_core
from conftest import DIMENSION_MISMATCH, METRICS, parse_index_file, random_vectors


def saved(index, path):
    index.save_index(str(path))
    return path.read_bytes()


def one_by_one(rows, metric, masks, *, linked, seed=7, M=8):
    index = zelt_core.HyperbolicIndex(rows.shape[1], 1.0, M, metric, seed=seed)
    for v, m in zip(rows, masks):
        if linked:
            index.add_item_and_link(v, int(m), 60)
        else:
            index.add_item_flat(v, int(m))
    return index


@pytest.mark.parametrize("linked", [True, False])
@pytest.mark.parametrize("metric", METRICS)
def test_one_thread_builds_exactly_what_one_insertion_per_row_builds(metric, linked, rng,
                                                                     tmp_path):
    rows = random_vectors(rng, 1500, 12, metric)
    masks = rng.integers(0, 2**63, size=len(rows), dtype=np.uint64)
    first = zelt_core.HyperbolicIndex(12, 1.0, 8, metric, seed=7)
    first.add_items(rows[:700], masks[:700], 60, num_threads=1, linked=linked)
    first.add_items(rows[700:], masks[700:], 60, num_threads=1, linked=linked)
    assert saved(first, tmp_path / "a") == saved(
        one_by_one(rows, metric, masks, linked=linked), tmp_path / "b")


def graph_of(index, path):
    return parse_index_file(saved(index, path))


@pytest.mark.parametrize("metric", METRICS)
def test_two_threads_keep_every_invariant_and_the_recall(metric, rng, tmp_path):
    rows = random_vectors(rng, 4000, 16, metric)
    queries = random_vectors(rng, 200, 16, metric)
    recalls = []
    for threads in (1, 2):
        index = zelt_core.HyperbolicIndex(16, 1.0, 8, metric, seed=3)
        index.add_items(rows, ef_construction=100, num_threads=threads)
        g = graph_of(index, tmp_path / f"{threads}.bin")
        levels = g["levels"]
        assert g["ep_layer"] == max(levels) == levels[g["ep_id"]]
        for node, layers in enumerate(g["links"]):
            for layer, ids in enumerate(layers):
                assert len(ids) <= (16 if layer == 0 else 8)
                assert len(set(ids)) == len(ids) and node not in ids
                assert all(levels[i] >= layer for i in ids)
        found, _ = index.search(queries, 10, ef_search=64)
        exact, _ = index.search(queries, 10, mode="exact")
        recalls.append(np.mean([len(set(f) & set(e)) / 10 for f, e in zip(found, exact)]))
    assert recalls[1] >= recalls[0] - 0.01


@pytest.mark.parametrize("bad, error, match", [
    (np.zeros((3, 5), np.float32), RuntimeError, DIMENSION_MISMATCH),
    (np.zeros(4, np.float32), RuntimeError, DIMENSION_MISMATCH),
    (np.array([[0, 0, 0, 0], [0, 1, np.nan, 0]], np.float32), ValueError,
     r"^Row 1 holds a non-finite value at position 2 \(nan\)$"),
    (np.zeros((2, 4)), TypeError, None),
])
def test_bad_rows_are_refused_before_any_is_stored(bad, error, match):
    index = zelt_core.HyperbolicIndex(4, metric="euclidean", seed=1)
    index.add_items(np.ones((3, 4), np.float32))
    with pytest.raises(error, match=match):
        index.add_items(bad)
    with pytest.raises(ValueError, match="one per row"):
        index.add_items(np.ones((2, 4), np.float32), masks=[1, 2, 3])
    with pytest.raises(TypeError):
        index.add_items(np.ones((2, 4), np.float32), masks=[1.5, 2])
    assert len(index) == 3


def test_a_refused_batch_stores_nothing_and_draws_no_level(rng, tmp_path):
    rows = random_vectors(rng, 200, 4, "euclidean")
    poisoned = rows.copy()
    poisoned[150, 1] = np.nan
    refused = zelt_core.HyperbolicIndex(4, metric="euclidean", seed=5)
    with pytest.raises(ValueError, match=r"^Row 150 holds a non-finite value at position 1"):
        refused.add_items(poisoned)
    refused.add_items(rows, num_threads=1)
    fresh = zelt_core.HyperbolicIndex(4, metric="euclidean", seed=5)
    fresh.add_items(rows, num_threads=1)
    assert saved(refused, tmp_path / "a") == saved(fresh, tmp_path / "b")


def test_progress_is_reported_and_can_stop_the_build(rng):
    rows = random_vectors(rng, 3000, 16, "euclidean")
    calls = []
    index = zelt_core.HyperbolicIndex(16, metric="euclidean", seed=2)
    index.add_items(rows, progress=lambda done, total: calls.append((done, total)))
    assert calls[-1] == (3000, 3000) and all(t == 3000 for _, t in calls)

    def refuse(done, total):
        raise LookupError("enough")
    stopped = zelt_core.HyperbolicIndex(16, metric="euclidean", seed=2)
    with pytest.raises(LookupError, match="enough"):
        stopped.add_items(np.tile(rows, (4, 1)), ef_construction=400, progress=refuse)
    assert 0 < len(stopped) < 12000
    # The rows kept are consistent: each finds itself.
    ids, _ = stopped.search(rows[:50], 1, mode="exact")
    assert ids[:, 0].tolist() == list(range(50))


def test_ctrl_c_stops_a_long_build_and_keeps_what_was_linked(rng):
    rows = np.tile(random_vectors(rng, 5000, 32, "cosine"), (6, 1))
    index = zelt_core.HyperbolicIndex(32, metric="cosine", seed=4)
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        index.add_items(rows, ef_construction=300, num_threads=2)
    timer.join()
    assert 0 < len(index) < len(rows)
    # A slow build (under a sanitizer) may have kept fewer than 20 rows.
    kept = min(20, len(index))
    # Row i and its copies (i + 5000, …) lie at the same distance. The exact scan finds each;
    # a walk of a graph built on two threads may miss a node it left out of reach.
    exact, _ = index.search(rows[:kept], 1, mode="exact")
    assert (exact[:, 0] % 5000).tolist() == list(range(kept))
    ids, _ = index.search(rows[:kept], 1, ef_search=100)
    assert np.mean(ids[:, 0] % 5000 == np.arange(kept)) >= 0.9


@pytest.mark.parametrize("metric", METRICS)
def test_search_answers_each_row_as_the_single_query_methods(metric, rng):
    rows = random_vectors(rng, 2000, 10, metric)
    masks = rng.integers(0, 4, size=len(rows), dtype=np.uint64)
    index = zelt_core.HyperbolicIndex(10, 1.0, 8, metric, seed=5)
    index.add_items(rows, masks)
    queries = random_vectors(rng, 60, 10, metric)
    per_query = rng.integers(0, 4, size=len(queries), dtype=np.uint64)
    single = {
        "graph": lambda q, m: index.custom_hnsw_search(q, 7, m, 30, -1.0, 0.2),
        "filtered": lambda q, m: index.filtered_search(q, 7, m, 2000, -1.0, 0.2),
        "exact": lambda q, m: index.hardware_flat_search(q, 7, m, -1.0, 0.2),
    }
    for mode, call in single.items():
        ef = 30 if mode == "graph" else None
        for threads in (1, 2):
            ids, distances = index.search(queries, 7, per_query, ef_search=ef, min_norm=0.2,
                                          mode=mode, num_threads=threads)
            assert ids.dtype == np.int64 and distances.dtype == np.float32
            for i, q in enumerate(queries):
                expected = call(q, int(per_query[i]))
                got = ids[i][ids[i] >= 0].tolist()
                assert got == expected, (mode, i)
                assert np.all(ids[i][len(got):] == -1)
                assert np.all(np.isinf(distances[i][len(got):]))
                assert [np.float32(index.compute_distance(q, n)) for n in got] == \
                    distances[i][:len(got)].tolist()


@pytest.mark.parametrize("metric", METRICS)
def test_exact_rows_measured_together_answer_as_one_query_at_a_time(metric, rng):
    # Rows go through the scan several at a time; 13 rows make groups of
    # 8, 4 and 1, and 1,000 records end in a partial block. Copies of rows
    # make ties that must fall as in the single-query scan. Bit 0 (most rows,
    # in runs) and bit 1 (every row) screen the scan or leave it whole.
    for dimension in (13, 16):
        rows = random_vectors(rng, 1000, dimension, metric)
        rows[500:520] = rows[:20]
        masks = (rng.random(1000) < 0.8).astype(np.uint64) | np.uint64(2)
        index = zelt_core.HyperbolicIndex(dimension, 1.0, 8, metric, seed=5)
        index.add_items(rows[:600], masks[:600])
        index.add_items(rows[600:], masks[600:], linked=False)
        queries = np.concatenate([random_vectors(rng, 10, dimension, metric), rows[:3]])
        for k, radius, mask in ((7, -1.0, 0), (1200, -1.0, 0), (5, 0.5, 0), (7, -1.0, 1),
                                (1200, -1.0, 3), (5, 0.5, 2)):
            for threads in (1, 2):
                ids, distances = index.search(queries, k, mask, max_radius=radius,
                                              mode="exact", num_threads=threads)
                for i, q in enumerate(queries):
                    expected = index.hardware_flat_search(q, k, mask, radius)
                    assert ids[i][ids[i] >= 0].tolist() == expected, (dimension, k, i)
                    assert [np.float32(index.compute_distance(q, n)) for n in expected] == \
                        distances[i][:len(expected)].tolist()


def test_search_refuses_what_it_cannot_answer():
    index = zelt_core.HyperbolicIndex(3, metric="euclidean", seed=1)
    index.add_items(np.eye(3, dtype=np.float32))
    for kwargs, error in (({"mode": "nearest"}, ValueError), ({"k": -1}, ValueError),
                          ({"filter_mask": [1, 2]}, ValueError),
                          ({"num_threads": -2}, ValueError)):
        args = dict({"k": 2}, **kwargs)
        with pytest.raises(error):
            index.search(np.eye(3, dtype=np.float32), **args)
    with pytest.raises(ValueError, match=r"^Query row 1 holds a non-finite value"):
        index.search(np.array([[0, 0, 0], [np.inf, 0, 0]], np.float32), 1)
    queries = np.zeros((400, 3), np.float32)
    queries[40::3, 1] = np.nan  # whichever thread meets a bad row first, the first is named
    with pytest.raises(ValueError, match=r"^Query row 40 holds a non-finite value at position 1"):
        index.search(queries, 1, num_threads=2)
    empty = zelt_core.HyperbolicIndex(3)
    ids, distances = empty.search(np.eye(3, dtype=np.float32), 2)
    assert ids.tolist() == [[-1, -1]] * 3 and np.isinf(distances).all()


def test_set_masks_changes_the_named_nodes_only_or_none():
    index = zelt_core.HyperbolicIndex(2, metric="euclidean", seed=1)
    index.add_items(np.arange(10, dtype=np.float32).reshape(5, 2), masks=1)
    index.set_masks(np.array([3, 1, 3]), np.array([2, 4, 8], np.uint64))
    assert index.get_masks().tolist() == [1, 4, 1, 8, 1]
    index.set_masks([0, 4], 2**64 - 1)
    assert index.get_masks().tolist() == [2**64 - 1, 4, 1, 8, 2**64 - 1]
    for ids, masks, error in (([0, 5], 1, IndexError), ([-1], 1, IndexError),
                              ([0, 1], [1], ValueError), ([0], -1, TypeError),
                              ([0], [1.5], TypeError)):
        with pytest.raises(error):
            index.set_masks(ids, masks)
    assert index.get_masks().tolist() == [2**64 - 1, 4, 1, 8, 2**64 - 1]
    assert index.custom_hnsw_search([6, 7], 1, 8) == [3]
