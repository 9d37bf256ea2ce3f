"""Insertion without links, the exact flat scan, and the single-value reads compute_distance
and get_stored_norm."""

import json
import math

import numpy as np
import pytest

from conftest import (DIMENSION_MISMATCH, METRICS, POINCARE_FLOOR, as_f32, assert_nearest, built,
                      fill, index_file_bytes, loaded, new_index, num_nodes, random_vectors,
                      ref_distances, ref_squared_norms, run_python)

QUERIES = ("custom_hnsw_search", "filtered_search", "hardware_flat_search")
NAN = float("nan")


def run_query(index, name, query, k, **kwargs):
    if name == "hardware_flat_search":
        kwargs.setdefault("filter_mask", 0)
    return getattr(index, name)(query, k, **kwargs)


def single(metric, stored):
    index = new_index(len(stored), metric)
    index.add_item_flat(as_f32(stored))
    return index


# ------------------------------------------------------------------ kernels


@pytest.mark.parametrize("metric, query, stored, expected", [
    ("euclidean", (0, 0), (3, 4), 25.0),
    ("euclidean", (1, -1), (1, -1), 0.0),
    ("cosine", (1, 0), (2, 0), 0.0),
    ("cosine", (1, 0), (0, 5), 1.0),
    ("cosine", (1, 0), (-1, 0), 2.0),
    ("cosine", (0, 0), (2, 0), 1.0),
    ("cosine", (3, 1), (0, 0), 1.0),
    ("poincare", (0, 0), (0.5, 0), math.log(3)),
    ("poincare", (0.3, 0.4), (0.3, 0.4), POINCARE_FLOOR),
    ("poincare", (0, 0), (0, 0), POINCARE_FLOOR),
])
def test_kernel_values(metric, query, stored, expected):
    got = single(metric, stored).compute_distance(as_f32(query), 0)
    assert type(got) is float
    assert got == pytest.approx(expected, rel=1e-6, abs=1e-7)


def test_poincare_self_distance_is_never_zero():
    assert single("poincare", (0.1, 0.2)).compute_distance(as_f32([0.1, 0.2]), 0) == (
        pytest.approx(0.0013810, abs=1e-7))


@pytest.mark.parametrize("query, stored", [((0, 0), (2, 0)), ((2, 0), (0.1, 0)), ((0, 1), (1, 0))])
def test_poincare_outside_the_ball_is_finite(query, stored):
    # Points on or outside the unit sphere count as if their squared norm were 0.999999.
    got = single("poincare", stored).compute_distance(as_f32(query), 0)
    assert math.isfinite(got)
    assert got == pytest.approx(float(ref_distances("poincare", query, [stored])[0]), rel=1e-5)


@pytest.mark.parametrize("dimension", [1, 7, 8, 9, 13, 97])
@pytest.mark.parametrize("metric", METRICS)
def test_compute_distance_matches_reference(metric, dimension, rng):
    points = random_vectors(rng, 30, dimension, metric)
    queries = random_vectors(rng, 4, dimension, metric)
    index = built(points, metric, linked=False)
    for q in queries:
        got = np.array([index.compute_distance(q, i) for i in range(30)])
        np.testing.assert_allclose(got, ref_distances(metric, q, points), rtol=2e-5, atol=2e-6)
    norms = np.array([index.get_stored_norm(i) for i in range(30)])
    np.testing.assert_allclose(norms, ref_squared_norms(points), rtol=1e-6)


@pytest.mark.parametrize("metric", METRICS)
def test_stored_norm_is_squared(metric):
    assert single(metric, (3, 4)).get_stored_norm(0) == 25.0


def test_poincare_keeps_vectors_outside_the_ball():
    index = single("poincare", (2, 0))
    assert index.get_stored_norm(0) == 4.0
    assert index.hardware_flat_search(as_f32([0, 0]), 1, 0) == [0]


@pytest.mark.parametrize("metric", ["cosine", "poincare"])
def test_negative_stored_norm_is_recomputed_for_distances(metric, tmp_path):
    points = as_f32([(0.3, 0.1), (0.2, -0.4)])
    good = loaded(tmp_path / "good.bin", index_file_bytes(points), metric)
    absent = loaded(tmp_path / "absent.bin", index_file_bytes(points, norms=[-1.0, NAN]), metric)
    q = as_f32([0.1, 0.25])
    for node in (0, 1):
        assert absent.compute_distance(q, node) == good.compute_distance(q, node)
    assert absent.get_stored_norm(0) == -1.0
    assert math.isnan(absent.get_stored_norm(1))


# ------------------------------------------------------------ out of range


@pytest.fixture(scope="module")
def out_of_range_outcomes():
    """What each out-of-range read raises, run in a child process in case one crashes it."""
    result = run_python("""
        import json
        import numpy as np
        import zelt_core
        empty = zelt_core.HyperbolicIndex(2, metric="euclidean")
        three = zelt_core.HyperbolicIndex(2, metric="euclidean")
        for i in range(3):
            three.add_item_flat(np.float32([i, 0]))
        q = np.float32([0, 0])
        outcomes = {}
        for label, index in (("empty", empty), ("three", three)):
            for node in (-1, 0, 3, 2**31 - 1, -2**31):
                for name, call in (("distance", lambda: index.compute_distance(q, node)),
                                   ("norm", lambda: index.get_stored_norm(node))):
                    try:
                        outcomes[f"{label} {name} {node}"] = repr(call())
                    except Exception as error:
                        outcomes[f"{label} {name} {node}"] = type(error).__name__
        print(json.dumps(outcomes))
    """)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.mark.parametrize("label, node", [("empty", 0), ("empty", -1), ("three", -1),
                                         ("three", 3), ("three", 2**31 - 1), ("three", -2**31)])
@pytest.mark.parametrize("name", ["distance", "norm"])
def test_node_id_out_of_range_is_index_error(out_of_range_outcomes, label, node, name):
    assert out_of_range_outcomes[f"{label} {name} {node}"] == "IndexError"


def test_node_id_in_range_answers(out_of_range_outcomes):
    assert out_of_range_outcomes["three distance 0"] == "0.0"
    assert out_of_range_outcomes["three norm 0"] == "0.0"


# ------------------------------------------------------------------- shapes


@pytest.mark.parametrize("shape", [(1, 3), (3, 1), (4,), (2,), (0,), ()],
                         ids=["1xd", "dx1", "d+1", "d-1", "empty", "scalar"])
@pytest.mark.parametrize("insert", ["add_item_flat", "add_item_and_link"])
def test_insertion_refuses_wrong_shapes(insert, shape):
    index = built([(0, 0, 0), (1, 1, 1)], linked=True)
    before = index.get_stats()
    with pytest.raises(RuntimeError, match=DIMENSION_MISMATCH):
        getattr(index, insert)(np.full(shape, 0.5, dtype=np.float32))
    assert index.get_stats() == before
    assert num_nodes(index) == 2


@pytest.mark.parametrize("shape", [(), (1, 1), (2,)])
def test_one_dimensional_index_refuses_other_shapes(shape):
    index = new_index(1)
    with pytest.raises(RuntimeError, match=DIMENSION_MISMATCH):
        index.add_item_flat(np.full(shape, 0.5, dtype=np.float32))
    index.add_item_flat(np.float32([0.5]))
    assert num_nodes(index) == 1
    if shape != (2,):
        # A query needs only the right number of values, whatever its shape.
        assert index.hardware_flat_search(np.full(shape, 0.5, dtype=np.float32), 1, 0) == [0]


@pytest.fixture(scope="module")
def cube():
    points = as_f32([(x, y, z) for x in range(3) for y in range(3) for z in range(3)]) * 0.3
    index = built(points[:14], linked=True)
    fill(index, points[14:], linked=False)
    return index


@pytest.mark.parametrize("shape", [(2,), (4,), (2, 3), (0,), (1, 4)])
@pytest.mark.parametrize("name", QUERIES + ("compute_distance",))
def test_queries_refuse_wrong_element_counts(cube, name, shape):
    q = np.full(shape, 0.1, dtype=np.float32)
    with pytest.raises(RuntimeError, match=DIMENSION_MISMATCH):
        if name == "compute_distance":
            cube.compute_distance(q, 0)
        else:
            run_query(cube, name, q, 3)


@pytest.mark.parametrize("shape", [(1, 3), (3, 1), (1, 1, 3)])
@pytest.mark.parametrize("name", QUERIES)
def test_queries_take_any_shape_with_d_values(cube, name, shape):
    q = as_f32([0.31, 0.29, 0.6])
    assert run_query(cube, name, q.reshape(shape), 4) == run_query(cube, name, q, 4)


def test_compute_distance_takes_any_shape_with_d_values(cube):
    q = as_f32([0.31, 0.29, 0.6])
    for node in (0, 20):
        assert cube.compute_distance(q.reshape(1, 3), node) == cube.compute_distance(q, node)


# ------------------------------------------------------------ early answers


@pytest.mark.parametrize("k", [5, 1, 0, -1, -2**31])
@pytest.mark.parametrize("name", QUERIES)
def test_empty_index_answers_empty(name, k):
    index = new_index(3, "poincare")
    for q in (as_f32([0.1, 0.2, 0.3]), as_f32([0.1])):
        assert run_query(index, name, q, k) == []


@pytest.mark.parametrize("k", [5, 0, -1])
@pytest.mark.parametrize("name", ["custom_hnsw_search", "filtered_search"])
def test_graph_queries_on_a_flat_only_index_answer_empty(name, k):
    index = built([(i, 0, 0) for i in range(10)], linked=False)
    assert index.get_stats()["ep_id"] == -1
    for q in (as_f32([1, 0, 0]), as_f32([1, 0])):
        assert run_query(index, name, q, k) == []
    found = index.hardware_flat_search(as_f32([1, 0, 0]), 20, 0)
    assert found[0] == 1 and sorted(found) == list(range(10))


# ---------------------------------------------------------------- the scan


@pytest.mark.parametrize("metric", METRICS)
def test_flat_search_is_exact(metric, rng):
    points = random_vectors(rng, 400, 12, metric)
    queries = random_vectors(rng, 6, 12, metric)
    # Linked and flat nodes alike, the entry point included.
    index = built(points[:150], metric, linked=True, ef_construction=40)
    fill(index, points[150:], linked=False)
    for q in queries:
        ref = ref_distances(metric, q, points)
        for k in (1, 10, 400, 1000):
            assert_nearest(index.hardware_flat_search(q, k, 0), ref, k)


def test_flat_search_with_ties(rng):
    # Integer grid points: many nodes at exactly equal squared distances.
    grid = as_f32([(x, y, z) for x in range(-3, 4) for y in range(-3, 4) for z in range(-3, 4)])
    grid = grid[rng.permutation(len(grid))]
    index = built(grid, linked=False)
    for q in ([0, 0, 0], [1, -2, 0], [0.5, 0.5, 0.5]):
        ref = ref_distances("euclidean", q, grid)
        for k in (1, 7, 30, 343):
            assert_nearest(index.hardware_flat_search(as_f32(q), k, 0), ref, k, exact_ids=False)


def test_node_ids_follow_insertion_order():
    index = new_index(2)
    points = [(i, i * i) for i in range(6)]
    for i, p in enumerate(points):
        (index.add_item_flat if i % 2 else index.add_item_and_link)(as_f32(p))
    for i, p in enumerate(points):
        assert index.hardware_flat_search(as_f32(p), 1, 0) == [i]


MASKS = [0b111, 0b101, 0b100, 0, 0b1101, 2**63 | 0b101, 2**64 - 1, 0b1]


@pytest.mark.parametrize("filter_mask, passing", [
    (0, range(8)),
    (0b101, [0, 1, 4, 5, 6]),
    (0b100, [0, 1, 2, 4, 5, 6]),
    (2**63, [5, 6]),
    (2**64 - 1, [6]),
    (0b10000, [6]),
])
def test_flat_search_mask_filter(filter_mask, passing):
    points = as_f32([(i, 0) for i in range(8)])
    index = built(points, masks=MASKS, linked=False)
    q = as_f32([3.4, 0])
    ref = ref_distances("euclidean", q, points)
    for k in (1, 3, 8):
        assert_nearest(index.hardware_flat_search(q, k, filter_mask), ref, k, candidates=passing)


@pytest.mark.parametrize("min_norm_sq, passing", [
    (-1.0, [0, 1, 2, 3, 4, 5]),
    (NAN, [0, 1, 2, 3, 4, 5]),
    (0.0, [0, 1, 2, 3, 4, 5]),
    (0.1, [0, 1, 2, 3, 4, 5]),
    (0.2, [1, 2, 3, 4, 5]),
    (1.0, [3, 4, 5]),
    (1.2, [5]),
])
def test_flat_search_norm_bound(min_norm_sq, passing):
    # Stored squared norms 0, 0.06, 0.8, 0.8501, 0.9, 1.2; the bound is lowered by 0.15.
    points = as_f32([(0, 0), (0.06**0.5, 0), (0.8**0.5, 0), (0, 0.8501**0.5), (0.9**0.5, 0),
                     (1.2**0.5, 0)])
    index = built(points, linked=False)
    q = as_f32([0.5, 0.5])
    ref = ref_distances("euclidean", q, points)
    assert_nearest(index.hardware_flat_search(q, 10, 0, -1.0, min_norm_sq), ref, 10,
                   candidates=passing)


def test_flat_search_norm_bound_uses_the_stored_value(tmp_path):
    # A negative (absent) stored norm is not recomputed for the bound.
    points = as_f32([(0.5, 0), (0.6, 0)])
    index = loaded(tmp_path / "n.bin", index_file_bytes(points, norms=[-1.0, 0.36]))
    q = as_f32([0, 0])
    assert index.hardware_flat_search(q, 5, 0, -1.0, 0.1) == [1]
    assert index.hardware_flat_search(q, 5, 0) == [0, 1]


@pytest.mark.parametrize("metric, max_radius, passing", [
    ("euclidean", 0.0, [2, 5]),
    ("euclidean", 0.1, [2, 5, 1, 3]),
    ("euclidean", -0.5, range(6)),
    ("euclidean", NAN, range(6)),
    ("poincare", 0.0, []),
    ("poincare", POINCARE_FLOOR, [2, 5]),
])
def test_flat_search_radius_bound(metric, max_radius, passing):
    points = as_f32([(0, 0), (0.1, 0.3), (0.2, 0.4), (0.2, 0.2), (0.7, 0.4), (0.2, 0.4)])
    index = built(points, metric, linked=False)
    q = points[2]
    ref = ref_distances(metric, q, points)
    got = index.hardware_flat_search(q, 10, 0, max_radius)
    assert_nearest(got, ref, 10, candidates=passing, exact_ids=False)


def test_flat_search_radius_equality_passes():
    index = built([(3, 4), (3, 4.001)], linked=False)
    assert index.hardware_flat_search(as_f32([0, 0]), 5, 0, 25.0) == [0]


@pytest.mark.parametrize("k, expected", [(0, []), (1, [1]), (3, [1, 2, 0]), (100, [1, 2, 0, 3])])
def test_flat_search_k(k, expected):
    index = built([(0, 0), (2, 0), (3, 0), (7, 0)], linked=False)
    assert index.hardware_flat_search(as_f32([2.1, 0]), k, 0) == expected


@pytest.mark.parametrize("k", [-1, -2**31])
def test_flat_search_negative_k_is_value_error(k):
    index = built([(0, 0), (2, 0), (3, 0)], linked=True)
    before = index.get_stats()
    with pytest.raises(ValueError):
        index.hardware_flat_search(as_f32([0, 0]), k, 0)
    assert index.get_stats() == before
    assert index.hardware_flat_search(as_f32([0, 0]), 5, 0) == [0, 1, 2]


def test_default_mask_passes_only_an_unfiltered_query():
    index = built([(0, 0), (1, 1)], linked=False)
    assert index.hardware_flat_search(as_f32([0, 0]), 5, 0) == [0, 1]
    for bit in (0, 17, 63):
        assert index.hardware_flat_search(as_f32([0, 0]), 5, 1 << bit) == []


@pytest.mark.parametrize("metric", METRICS)
def test_a_filter_every_node_holds_answers_as_no_filter_until_one_node_drops_it(metric, rng):
    # Such a filter skips the per-record mask test; the answers must not tell.
    points = random_vectors(rng, 300, 6, metric)
    everyone = np.uint64(0b1001)
    index = built(points, masks=np.full(300, everyone), linked=False)
    queries = random_vectors(rng, 11, 6, metric)
    plain_ids, plain_d = index.search(queries, 7, 0, mode="exact")
    ids, d = index.search(queries, 7, everyone, mode="exact")
    np.testing.assert_array_equal(ids, plain_ids)
    np.testing.assert_array_equal(d, plain_d)
    assert index.hardware_flat_search(queries[0], 7, int(everyone)) == \
        index.hardware_flat_search(queries[0], 7, 0)
    dropped = int(plain_ids[0, 0])
    index.set_masks(np.array([dropped]), np.uint64(0b1000))
    ids, _ = index.search(queries, 7, everyone, mode="exact")
    assert dropped not in ids
    assert dropped not in index.hardware_flat_search(queries[0], 7, int(everyone))
