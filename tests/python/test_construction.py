"""Constructing an index: metric names, refused and degenerate sizes, the curvature value and
the seeding of the level generator."""

import math

import numpy as np
import pytest

import zelt_core
from conftest import METRICS, POINCARE_FLOOR, as_f32, built, fill, new_index, num_nodes


@pytest.mark.parametrize("name, reported", [
    ("poincare", "poincare"),
    ("euclidean", "euclidean"),
    ("l2", "euclidean"),
    ("cosine", "cosine"),
    (b"cosine", "cosine"),
    (bytearray(b"l2"), "euclidean"),
    ("", "poincare"),
    ("Euclidean", "poincare"),
    ("COSINE", "poincare"),
    ("L2", "poincare"),
    ("cosine ", "poincare"),
    ("euclidean\0", "poincare"),
    ("hyperbolic", "poincare"),
])
def test_metric_names(name, reported):
    index = zelt_core.HyperbolicIndex(2, metric=name)
    assert index.get_metric() == reported
    # The name decides the distance, not only the label: origin against (0.5, 0).
    index.add_item_flat(as_f32([0.5, 0]))
    expected = {"poincare": math.log(3), "euclidean": 0.25, "cosine": 1.0}[reported]
    assert index.compute_distance(as_f32([0, 0]), 0) == pytest.approx(expected, rel=1e-6)


def test_fresh_index_defaults():
    index = zelt_core.HyperbolicIndex(8)
    assert index.get_metric() == "poincare"
    stats = index.get_stats()
    assert (stats["ep_id"], stats["ep_layer"], stats["max_m"], stats["max_m_0"]) == (-1, -1, 16, 32)
    assert stats["dimension"] == 8


@pytest.mark.parametrize("M, max_m_0", [(2, 4), (5, 10), (16, 32), (2**30 - 1, 2**31 - 2)])
def test_layer0_cap_is_twice_m(M, max_m_0):
    stats = zelt_core.HyperbolicIndex(3, M=M).get_stats()
    assert (stats["max_m"], stats["max_m_0"]) == (M, max_m_0)


@pytest.mark.parametrize("kwargs", [
    {"M": 1}, {"M": -1}, {"M": -16}, {"M": -2**31}, {"M": 2**30}, {"M": 2**31 - 1},
    {"dimension": -1}, {"dimension": -2**31},
], ids=lambda kw: "-".join(f"{k}={v}" for k, v in kw.items()))
def test_refused_sizes(kwargs):
    args = {"dimension": 4, "M": 16, **kwargs}
    with pytest.raises(ValueError):
        zelt_core.HyperbolicIndex(**args)


@pytest.mark.parametrize("metric", METRICS)
def test_m_zero_builds_an_unlinked_graph(metric):
    index = new_index(2, metric, M=0)
    stats = index.get_stats()
    assert (stats["max_m"], stats["max_m_0"]) == (0, 0)
    points = as_f32([(0.1 * i, 0.05) for i in range(1, 31)])
    fill(index, points, linked=True)
    stats = index.get_stats()
    # Every level is 0 and every cap is 0: no links at all, node 0 stays the entry.
    assert stats["ep_id"] == 0 and stats["ep_layer"] == 0
    assert stats["layer_distribution"] == [0, 30]
    assert stats["avg_degree_layer0"] == 0.0
    q = points[20]
    assert index.custom_hnsw_search(q, 5) == [0]
    assert index.filtered_search(q, 5) == [0]
    assert index.hardware_flat_search(q, 5, 0)[0] == 20


@pytest.mark.parametrize("metric, distance", [
    ("euclidean", 0.0), ("cosine", 1.0), ("poincare", POINCARE_FLOOR)])
def test_dimension_zero(metric, distance, tmp_path):
    index = new_index(0, metric)
    empty = np.empty(0, dtype=np.float32)
    index.add_item_flat(empty, 1)
    index.add_item_and_link([], 2)
    index.add_item_and_link(empty, 3)
    assert num_nodes(index) == 3
    assert index.get_stored_norm(0) == 0.0
    assert index.compute_distance(empty, 2) == pytest.approx(distance, abs=1e-7)
    assert sorted(index.hardware_flat_search(empty, 5, 0)) == [0, 1, 2]
    assert sorted(index.hardware_flat_search(empty, 5, 2)) == [1, 2]
    assert set(index.custom_hnsw_search(empty, 5)) <= {1, 2}
    assert set(index.filtered_search(empty, 5)) <= {1, 2}
    with pytest.raises(RuntimeError, match="^Vector dimension mismatch$"):
        index.add_item_flat(as_f32([1]))
    with pytest.raises(RuntimeError, match="^Vector dimension mismatch$"):
        index.hardware_flat_search(as_f32([1]), 5, 0)
    path = tmp_path / "zero.bin"
    index.save_index(str(path))
    again = new_index(5, metric)
    again.load_index(str(path))
    assert again.get_stats() == index.get_stats()


@pytest.mark.parametrize("metric", METRICS)
def test_curvature_changes_no_distance(metric, rng):
    points = rng.random((40, 5), dtype=np.float32) * 0.4
    queries = rng.random((5, 5), dtype=np.float32) * 0.4
    indexes = []
    for curvature in (1.0, 0.5, 3.0, -1.0, float("nan")):
        index = zelt_core.HyperbolicIndex(5, curvature, 16, metric)
        fill(index, points, linked=False)
        indexes.append(index)
    for q in queries:
        first = [indexes[0].compute_distance(q, i) for i in range(40)]
        for other in indexes[1:]:
            assert [other.compute_distance(q, i) for i in range(40)] == first
            assert other.hardware_flat_search(q, 10, 0) == indexes[0].hardware_flat_search(
                q, 10, 0)


def test_each_index_draws_its_own_levels(tmp_path, rng):
    # Two indexes built alike from the same data: their random levels, and with them the
    # saved files, differ (equal files would need 300 equal level draws).
    points = rng.random((300, 2), dtype=np.float32)
    files = []
    for name in ("a.bin", "b.bin"):
        index = built(points, linked=True, ef_construction=10)
        index.save_index(str(tmp_path / name))
        files.append((tmp_path / name).read_bytes())
    assert files[0] != files[1]
