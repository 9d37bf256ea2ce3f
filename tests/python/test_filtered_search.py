"""filtered_search: filters applied while layer 0 is walked, and the cut at the first large gap
in distance."""

import numpy as np
import pytest

from conftest import as_f32, built, index_file_bytes, loaded, ref_distances

NAN = float("nan")


def on_a_line(squared_distances, masks=None):
    """A linked 1-d Euclidean index whose node i lies at squared distance d[i] from 0.

    The nodes are inserted in reverse, so that ids and ranks differ; returns the index and
    the ids of the given distances.
    """
    xs = np.sqrt(np.asarray(squared_distances, dtype=np.float64))[::-1]
    index = built(xs.astype(np.float32).reshape(-1, 1), linked=True,
                  masks=None if masks is None else masks[::-1])
    n = len(squared_distances)
    return index, [n - 1 - i for i in range(n)]


@pytest.mark.parametrize("distances, kept", [
    ([0.005, 0.7], 2),           # the first step starts at or below 0.01
    ([0.02, 0.7], 1),            # 0.68 > 0.6 from above 0.01
    ([1.5, 1.9, 2.1], 2),        # 2.1 lies beyond 2.0
    ([3.0], 1),                  # a lone match is returned however far
    ([3.0, 3.1], 1),
    ([0.3, 0.8, 1.3, 1.8, 2.3], 4),
    ([0.0, 0.9, 1.6], 2),        # 0.0 -> 0.9 passes, 0.9 -> 1.6 does not
    ([0.1, 0.65, 1.2, 1.75], 4),
])
def test_gap_cut_off(distances, kept):
    index, ids = on_a_line(distances)
    assert index.filtered_search(as_f32([0]), 10) == ids[:kept]


def test_k_bounds_the_matches_before_the_cut():
    index, ids = on_a_line([0.005, 0.7, 1.0, 1.2])
    assert index.filtered_search(as_f32([0]), 1) == ids[:1]
    assert index.filtered_search(as_f32([0]), 3) == ids[:3]
    assert index.filtered_search(as_f32([0]), 30) == ids


def test_poincare_nearest_beyond_two_is_returned_alone():
    index = built([(0.9, 0), (0.95, 0), (0.93, 0.1)], "poincare", linked=True)
    q = as_f32([-0.9, 0])
    d = ref_distances("poincare", q, [(0.9, 0), (0.95, 0), (0.93, 0.1)])
    assert d.min() > 2.0
    assert index.filtered_search(q, 3) == [int(np.argmin(d))]


def chain_file():
    """Nodes 0, 1, 2 at x = 0, 1, 2, all linked; the entry 0 has mask 0, the others mask 1."""
    links = [[[1, 2]], [[0, 2]], [[0, 1]]]
    return index_file_bytes(as_f32([[0], [1], [2]]), ep_id=0, ep_layer=0, masks=[0, 1, 1],
                            levels=[0, 0, 0], links=links)


@pytest.mark.parametrize("filter_mask, k, expected", [
    (0, 5, [1, 0, 2]),
    (0, 0, [1]),      # the nearest measured node that passes
    (0, -1, [1]),
    (0, -2**31, [1]),
    (1, 5, [1, 2]),
    (1, 1, [1]),
    (1, 0, []),       # the entry fails the filter, and every later hit is trimmed at once
    (1, -1, []),
    (2, 5, []),       # nobody passes
])
def test_small_and_negative_k(filter_mask, k, expected, tmp_path):
    index = loaded(tmp_path / "chain.bin", chain_file())
    assert index.filtered_search(as_f32([0.95]), k, filter_mask) == expected


@pytest.mark.parametrize("k", [0, -1])
def test_small_k_on_a_built_graph(k, rng):
    points = rng.random((200, 3), dtype=np.float32)
    index = built(points, linked=True)
    for q in rng.random((5, 3), dtype=np.float32):
        assert index.filtered_search(q, k) == index.hardware_flat_search(q, 1, 0)


def test_filter_nobody_passes(rng):
    index = built(rng.random((300, 4), dtype=np.float32), masks=[1] * 300, linked=True)
    q = as_f32([0.5] * 4)
    for filter_mask in (2, 3, 2**63):
        assert index.filtered_search(q, 10, filter_mask) == []
    assert index.filtered_search(q, 10, min_norm=5.0) == []
    assert index.filtered_search(q, 10, max_radius=0.0) == []


@pytest.mark.parametrize("min_norm, expected", [
    (0.5, [3, 4]),          # compared unsquared: rejects 0.3, accepts 0.5
    (0.25, [1, 2, 3, 4]),
    (0.26, [2, 3, 4]),
    (-1.0, [0, 1, 2, 3, 4]),
    (NAN, [0, 1, 2, 3, 4]),
    (0.0, [0, 1, 2, 3, 4]),
])
def test_min_norm_is_unsquared(min_norm, expected):
    # Stored squared norms 0.2, 0.25, 0.3, 0.5, 0.52.
    points = [(0.2**0.5, 0), (0.5, 0), (0.3**0.5, 0), (0.5, 0.5), (0.52**0.5, 0)]
    index = built(points, linked=True)
    assert index.filtered_search(as_f32([0, 0]), 5, min_norm=min_norm) == expected
    if min_norm == 0.5:
        # The graph search squares its bound and so accepts the node at 0.3.
        assert index.custom_hnsw_search(as_f32([0, 0]), 5, min_norm=min_norm) == [1, 2, 3, 4]


@pytest.mark.parametrize("max_radius, expected", [
    (0.0, [12]), (0.011, [12, 13, 11]), (-1.0, [12, 13, 11, 14]), (NAN, [12, 13, 11, 14])])
def test_radius_bound(max_radius, expected):
    index = built([(i * 0.1, 0) for i in range(40)], linked=True)
    assert index.filtered_search(as_f32([1.2, 0]), 4, max_radius=max_radius) == expected


@pytest.fixture(scope="module")
def sparse_tags():
    """2000 points in a small 8-d box (all squared distances below 0.72); one in 100 tagged."""
    rng = np.random.default_rng(77)
    points = rng.random((2000, 8), dtype=np.float32) * np.float32(0.3)
    masks = [1 | (2 if i % 100 == 0 else 0) for i in range(2000)]
    return built(points, masks=masks, linked=True, ef_construction=100), points, masks


def test_strict_mask_finds_what_the_post_filter_misses(sparse_tags):
    index, points, masks = sparse_tags
    tagged = [i for i, m in enumerate(masks) if m & 2]
    rng = np.random.default_rng(78)
    for q in rng.random((5, 8), dtype=np.float32) * np.float32(0.3):
        exact = index.hardware_flat_search(q, 10, 2)
        assert len(index.custom_hnsw_search(q, 10, 2)) < 10
        assert index.filtered_search(q, 10, 2) == exact
        # A narrow beam may run out of frontier before k matches; what it finds still passes.
        narrow = index.filtered_search(q, 10, 2, ef_search=64)
        assert set(narrow) <= set(tagged)
        d = ref_distances("euclidean", q, points[narrow])
        assert np.all(np.diff(d) >= 0)


def test_default_width_is_2000(sparse_tags):
    index, _, _ = sparse_tags
    q = as_f32([0.15] * 8)
    assert index.filtered_search(q, 10, 2) == index.filtered_search(q, 10, 2, 2000, -1.0, -1.0)


def test_unfiltered_matches_the_exact_nearest(sparse_tags):
    index, _, _ = sparse_tags
    rng = np.random.default_rng(79)
    for q in rng.random((5, 8), dtype=np.float32) * np.float32(0.3):
        assert index.filtered_search(q, 10) == index.hardware_flat_search(q, 10, 0)
        assert index.filtered_search(q, 10, 1) == index.hardware_flat_search(q, 10, 1)
