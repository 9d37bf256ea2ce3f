"""The HNSW graph that add_item_and_link builds, and custom_hnsw_search over it."""

import numpy as np
import pytest

from conftest import (METRICS, as_f32, built, fill, index_file_bytes, loaded, new_index, num_nodes,
                      parse_index_file, random_vectors, ref_distances,
                      ref_squared_norms)

N_RECALL = 10_000
DIM_RECALL = 32


@pytest.fixture(scope="module", params=METRICS)
def big(request, tmp_path_factory):
    """10k random 32-d points linked with M 16 and ef_construction 200, one build per metric."""
    metric = request.param
    rng = np.random.default_rng({"poincare": 11, "euclidean": 12, "cosine": 13}[metric])
    points = random_vectors(rng, N_RECALL, DIM_RECALL, metric)
    queries = random_vectors(rng, 100, DIM_RECALL, metric)
    index = new_index(DIM_RECALL, metric, M=16)
    fill(index, points, linked=True, ef_construction=200)
    path = tmp_path_factory.mktemp("big") / f"{metric}.bin"
    index.save_index(str(path))
    return metric, index, points, queries, parse_index_file(path.read_bytes())


@pytest.mark.slow
def test_recall_at_10(big):
    metric, index, _, queries, _ = big
    hits = 0
    for q in queries:
        exact = index.hardware_flat_search(q, 10, 0)
        found = index.custom_hnsw_search(q, 10, ef_search=100)
        assert len(found) == 10 and len(set(found)) == 10
        hits += len(set(exact) & set(found))
    assert hits / (10 * len(queries)) >= 0.95, metric


@pytest.mark.slow
def test_answers_nearest_first(big):
    metric, index, points, queries, _ = big
    for q in queries[:10]:
        found = index.custom_hnsw_search(q, 30, ef_search=60)
        d = ref_distances(metric, q, points[found])
        assert np.all(np.diff(d) >= -1e-6)


@pytest.mark.slow
def test_graph_shape(big):
    _, index, _, _, saved = big
    stats = index.get_stats()
    levels = np.array(saved["levels"])
    assert stats["num_nodes"] == N_RECALL
    assert stats["ep_layer"] == levels.max() <= 8
    # The entry point is the first node that reached the top level.
    assert stats["ep_id"] == int(np.argmax(levels == levels.max()))
    dist = stats["layer_distribution"]
    assert len(dist) == stats["ep_layer"] + 2
    assert dist[0] == 0 and sum(dist) == N_RECALL
    assert dist[1:] == [int(np.sum(levels == lv)) for lv in range(stats["ep_layer"] + 1)]
    # Probability 1/16 of reaching layer 1: 625 expected, standard deviation about 24.
    assert 500 < np.sum(levels >= 1) < 750
    layer0 = [len(layers[0]) for layers in saved["links"]]
    assert stats["avg_degree_layer0"] == pytest.approx(sum(layer0) / N_RECALL, rel=1e-12)


@pytest.mark.slow
def test_link_caps_and_targets(big):
    _, index, _, _, saved = big
    levels = saved["levels"]
    longest = {0: 0, 1: 0}
    for node, layers in enumerate(saved["links"]):
        for layer, ids in enumerate(layers):
            cap = 32 if layer == 0 else 16
            assert len(ids) <= cap
            assert node not in ids and len(set(ids)) == len(ids)
            assert all(levels[i] >= layer for i in ids)
            longest[min(layer, 1)] = max(longest[min(layer, 1)], len(ids))
    # Overfull lists are trimmed back to exactly their cap.
    assert longest == {0: 32, 1: 16}


@pytest.mark.slow
def test_k_above_ef_search_widens_the_search(big):
    _, index, _, queries, _ = big
    q = queries[0]
    assert len(index.custom_hnsw_search(q, 150, ef_search=10)) == 150
    assert len(index.custom_hnsw_search(q, 5, ef_search=1)) == 5


@pytest.mark.parametrize("M", [2, 5])
def test_level_distribution_follows_m(M, rng):
    # A node reaches layer l with probability M**-l.
    n = 3000
    index = built(rng.random((n, 2), dtype=np.float32), M=M, linked=True, ef_construction=4)
    dist = index.get_stats()["layer_distribution"]
    for layer in (1, 2):
        p = float(M) ** -layer
        reached = sum(dist[layer + 1:])
        assert abs(reached - n * p) < 5 * (n * p * (1 - p)) ** 0.5


def test_first_linked_node_is_the_entry(tmp_path):
    index = new_index(3, "cosine")
    index.add_item_and_link(as_f32([1, 2, 3]), 7)
    stats = index.get_stats()
    index.save_index(str(tmp_path / "one.bin"))
    saved = parse_index_file((tmp_path / "one.bin").read_bytes())
    level = saved["levels"][0]
    assert (stats["num_nodes"], stats["ep_id"], stats["ep_layer"]) == (1, 0, level)
    assert stats["avg_degree_layer0"] == 0.0
    assert stats["layer_distribution"] == [0] * (level + 1) + [1]
    assert saved["links"][0] == [[]] * (level + 1)


def test_two_linked_nodes_link_each_other(tmp_path):
    index = built([(0, 0), (1, 0)], linked=True)
    assert index.get_stats()["avg_degree_layer0"] == 1.0
    index.save_index(str(tmp_path / "two.bin"))
    links = parse_index_file((tmp_path / "two.bin").read_bytes())["links"]
    assert (links[0][0], links[1][0]) == ([1], [0])


def test_linking_after_flat_nodes(tmp_path):
    index = built([(i, 0) for i in range(5)], linked=False)
    index.add_item_and_link(as_f32([10, 0]))
    stats = index.get_stats()
    assert (stats["ep_id"], stats["avg_degree_layer0"]) == (5, 0.0)
    for i in range(6, 40):
        index.add_item_and_link(as_f32([i, 1]))
    index.save_index(str(tmp_path / "mixed.bin"))
    saved = parse_index_file((tmp_path / "mixed.bin").read_bytes())
    # The flat nodes stay unlinked for good: no lists of their own, nobody links to them.
    assert saved["levels"][:5] == [0] * 5
    assert all(layers == [[]] for layers in saved["links"][:5])
    assert all(i >= 5 for layers in saved["links"] for ids in layers for i in ids)
    assert sorted(index.custom_hnsw_search(as_f32([0, 0]), 50)) == list(range(5, 40))
    assert index.hardware_flat_search(as_f32([0, 0]), 1, 0) == [0]


@pytest.mark.parametrize("ef_construction", [1, 0, -5])
def test_narrow_construction_gives_one_neighbour(ef_construction, rng, tmp_path):
    index = built(rng.random((60, 3), dtype=np.float32), linked=True, ef_construction=200)
    index.add_item_and_link(as_f32([0.5, 0.5, 0.5]), 0, ef_construction)
    index.save_index(str(tmp_path / "narrow.bin"))
    saved = parse_index_file((tmp_path / "narrow.bin").read_bytes())
    linked_layers = min(saved["levels"][60], max(saved["levels"][:60])) + 1
    assert [len(ids) for ids in saved["links"][60][:linked_layers]] == [1] * linked_layers


# ------------------------------------------------------------------ k rules


@pytest.fixture(scope="module")
def line():
    """A linked Euclidean index of 40 points on a line, masks 1 and 2 alternating."""
    return built([(i * 0.1, 0) for i in range(40)], masks=[1 + i % 2 for i in range(40)],
                 linked=True)


@pytest.mark.parametrize("k", [-1, -2**31])
def test_negative_k_is_value_error(line, k):
    before = line.get_stats()
    with pytest.raises(ValueError):
        line.custom_hnsw_search(as_f32([0.5, 0]), k)
    assert line.get_stats() == before


@pytest.mark.parametrize("filter_mask", [0, 1, 2])
def test_k_zero_gives_the_nearest_passing_node(line, filter_mask):
    # The stop test follows the append, so k = 0 behaves like k = 1.
    q = as_f32([1.21, 0])
    assert line.custom_hnsw_search(q, 0, filter_mask) == line.custom_hnsw_search(q, 1, filter_mask)
    assert line.custom_hnsw_search(q, 0, filter_mask) == [{0: 12, 1: 12, 2: 13}[filter_mask]]


def test_k_and_mask_filter(line):
    q = as_f32([1.21, 0])
    assert line.custom_hnsw_search(q, 5) == [12, 13, 11, 14, 10]
    assert line.custom_hnsw_search(q, 3, 1) == [12, 14, 10]
    assert line.custom_hnsw_search(q, 3, 2) == [13, 11, 15]
    assert line.custom_hnsw_search(q, 3, 4) == []
    assert len(line.custom_hnsw_search(q, 100)) == 40


def test_post_filter_can_leave_fewer_than_k(line):
    # Filters apply to the ef_search nearest candidates only; the search is not widened.
    q = as_f32([0, 0])
    assert line.custom_hnsw_search(q, 5, 1, ef_search=6) == [0, 2, 4]
    assert line.custom_hnsw_search(q, 5, 1, ef_search=10) == [0, 2, 4, 6, 8]


@pytest.mark.parametrize("max_radius, expected", [
    (0.0, [12]), (0.011, [12, 13, 11]), (-1.0, [12, 13, 11, 14]), (float("nan"), [12, 13, 11, 14])])
def test_radius_bound(line, max_radius, expected):
    assert line.custom_hnsw_search(as_f32([1.2, 0]), 4, max_radius=max_radius) == expected


@pytest.mark.parametrize("min_norm, expected", [
    (0.5, [1, 2, 3]),  # compared squared: 0.25 rejects 0.2, accepts 0.25
    (0.0, [0, 1, 2, 3]),
    (-1.0, [0, 1, 2, 3]),
    (float("nan"), [0, 1, 2, 3]),
    (0.6, [2, 3]),
    (0.71, []),
])
def test_min_norm_is_squared(min_norm, expected):
    # Stored squared norms 0.2, 0.25, 0.36, 0.5.
    index = built([(0.2**0.5, 0), (0.5, 0), (0, 0.6), (0.5, 0.5)], linked=True)
    assert index.custom_hnsw_search(as_f32([0, 0]), 4, min_norm=min_norm) == expected


# ------------------------------------------------------------ the boundary


BOUNDARY = (0.998, 0.0)  # squared norm 0.996004, beyond 0.995
BOUNDARY_POINTS = as_f32([(0, 0), BOUNDARY, (0.5, 0.3), (0.95, 0.2)])


def boundary_file(ep_id, boundary_norm=None):
    """Node 0 at the origin, node 1 beyond the boundary, nodes 2 and 3 inside; all linked."""
    norms = ref_squared_norms(BOUNDARY_POINTS)
    if boundary_norm is not None:
        norms[1] = boundary_norm
    links = [[[j for j in range(4) if j != i]] for i in range(4)]
    return index_file_bytes(BOUNDARY_POINTS, ep_id=ep_id, ep_layer=0, links=links,
                            levels=[0] * 4, norms=norms)


@pytest.mark.parametrize("name", ["custom_hnsw_search", "filtered_search"])
def test_poincare_boundary_node_found_only_as_entry(name, tmp_path):
    q = as_f32(BOUNDARY)
    order = np.argsort(ref_distances("poincare", q, BOUNDARY_POINTS)).tolist()
    assert order[0] == 1
    behind = loaded(tmp_path / "behind.bin", boundary_file(ep_id=0), "poincare")
    assert behind.hardware_flat_search(q, 4, 0) == order
    found = getattr(behind, name)(q, 4)
    assert 1 not in found and found[0] == order[1]
    entry = loaded(tmp_path / "entry.bin", boundary_file(ep_id=1), "poincare")
    assert getattr(entry, name)(q, 4)[0] == 1


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
@pytest.mark.parametrize("name", ["custom_hnsw_search", "filtered_search"])
def test_boundary_rule_is_poincare_only(metric, name, tmp_path):
    index = loaded(tmp_path / "b.bin", boundary_file(ep_id=0), metric)
    assert getattr(index, name)(as_f32(BOUNDARY), 1) == [1]


@pytest.mark.parametrize("norm, found", [(-1.0, True), (float("nan"), False), (0.5, True),
                                         (0.995, False)])
def test_boundary_rule_reads_the_stored_norm(norm, found, tmp_path):
    # A negative stored norm counts as below 0.995, a NaN one as not below.
    index = loaded(tmp_path / "n.bin", boundary_file(ep_id=0, boundary_norm=norm), "poincare")
    assert (1 in index.custom_hnsw_search(as_f32(BOUNDARY), 4)) == found


@pytest.mark.parametrize("metric", METRICS)
def test_boundary_node_in_a_built_graph(metric, rng):
    inside = random_vectors(rng, 80, 2, "poincare") * np.float32(0.7)
    points = np.vstack([inside[:40], [BOUNDARY], inside[40:]]).astype(np.float32)
    index = built(points, metric, linked=True)
    q = as_f32(BOUNDARY)
    assert index.hardware_flat_search(q, 1, 0) == [40]
    expect_found = metric != "poincare" or index.get_stats()["ep_id"] == 40
    for name in ("custom_hnsw_search", "filtered_search"):
        assert (40 in getattr(index, name)(q, 5)) == expect_found, name
    if expect_found:
        assert index.custom_hnsw_search(q, 5)[0] == 40


def test_boundary_nodes_of_real_data(mammals):
    names, vectors = mammals
    index = built(vectors[:400], "poincare", linked=True, ef_construction=100)
    norms = np.array([index.get_stored_norm(i) for i in range(400)])
    ep = index.get_stats()["ep_id"]
    for q in vectors[400:440]:
        found = index.custom_hnsw_search(q, 10)
        assert all(norms[i] < np.float32(0.995) or i == ep for i in found)
    assert num_nodes(index) == 400


def test_entry_point_moves_only_upwards(rng, tmp_path):
    index = new_index(2, "euclidean", M=4)
    path = tmp_path / "ep.bin"
    entry, entry_layer = -1, -1
    for i, v in enumerate(rng.random((300, 2), dtype=np.float32)):
        index.add_item_and_link(v, 0, 10)
        stats = index.get_stats()
        if stats["ep_id"] == entry:
            assert stats["ep_layer"] == entry_layer
            continue
        # Only a node that reaches above the old entry layer takes over, at once.
        assert stats["ep_id"] == i and stats["ep_layer"] > entry_layer
        index.save_index(str(path))
        saved = parse_index_file(path.read_bytes())
        assert saved["levels"][i] == stats["ep_layer"]
        assert all(ids == [] for ids in saved["links"][i][entry_layer + 1:])
        if entry_layer >= 0:
            assert saved["links"][i][0]
        entry, entry_layer = i, stats["ep_layer"]
    assert entry_layer >= 1


def test_poincare_boundary_node_is_linked_but_not_chosen_later(rng, tmp_path):
    inside = random_vectors(rng, 80, 2, "poincare") * np.float32(0.7)
    index = new_index(2, "poincare")
    fill(index, inside[:30], linked=True)
    index.add_item_and_link(as_f32(BOUNDARY))
    index.save_index(str(tmp_path / "at.bin"))
    at = parse_index_file((tmp_path / "at.bin").read_bytes())
    # Linked both ways when it is inserted.
    assert at["links"][30][0]
    assert all(30 in at["links"][n][0] for n in at["links"][30][0])
    was_entry = index.get_stats()["ep_id"] == 30
    for v in inside[30:]:
        index.add_item_and_link(v)
        was_entry |= index.get_stats()["ep_id"] == 30
    index.save_index(str(tmp_path / "after.bin"))
    after = parse_index_file((tmp_path / "after.bin").read_bytes())
    if not was_entry:
        # Never evaluated by a later insertion's search, so never chosen by one.
        assert all(30 not in layers[0] for layers in after["links"][31:])
        assert all(i < 30 for i in after["links"][30][0])


@pytest.mark.parametrize("ef_search", [-2**31, -10, 0, 1, 7, 2**31 - 1])
@pytest.mark.parametrize("name", ["custom_hnsw_search", "filtered_search"])
def test_any_search_width_gives_valid_answers(name, ef_search, rng):
    points = rng.random((300, 3), dtype=np.float32)
    index = built(points, linked=True, ef_construction=40)
    for q in rng.random((5, 3), dtype=np.float32):
        found = getattr(index, name)(q, 5, ef_search=ef_search)
        assert 1 <= len(found) <= 5 and len(set(found)) == len(found)
        assert all(0 <= i < 300 for i in found)
        if ef_search == 2**31 - 1:
            assert found == index.hardware_flat_search(q, 5, 0)[:len(found)]


@pytest.mark.parametrize("ef_construction", [-2**31, 0, 2**31 - 1])
def test_any_construction_width_links(ef_construction, rng):
    index = built(rng.random((50, 3), dtype=np.float32), linked=True,
                  ef_construction=ef_construction)
    assert index.get_stats()["avg_degree_layer0"] >= 1.0
    assert index.custom_hnsw_search(as_f32([0.5, 0.5, 0.5]), 3)
