"""Hyperbolic embeddings of hierarchies: reach_all keeps every node in reach of the graph's
walks and finds the nearest; orvikdb enforces the ball and honours the curvature."""

import numpy as np
import pytest

import orvikdb
import zelt_core
from conftest import MAMMALS_PATH, load_word2vec_binary
from orvikdb import _saving, _sidecar, hyperbolic


def tree_points(n=3000, dim=8, seed=0):
    """A random tree laid out as trained embeddings are: children further out than their parent
    and near its direction, most points by the boundary."""
    rng = np.random.default_rng(seed)
    directions, depths = [rng.standard_normal(dim)], [0]
    parent = 0
    while len(directions) < n:
        for _ in range(rng.integers(1, 12)):
            directions.append(directions[parent] + rng.standard_normal(dim) * 0.6 / (1 + depths[parent]))
            depths.append(depths[parent] + 1)
        parent += 1
    u = np.array(directions[:n])
    u /= np.linalg.norm(u, axis=1, keepdims=True)
    radius = np.tanh(0.5 * (1.0 + 2.2 * np.array(depths[:n], dtype=np.float64)))
    return (u * radius[:, None]).astype(np.float32)


def core_index(points, reach_all, threads=1, M=8):
    index = zelt_core.HyperbolicIndex(points.shape[1], 1.0, M, "poincare", seed=5,
                                      reach_all=reach_all)
    index.add_items(points, ef_construction=100, num_threads=threads)
    return index


def near_queries(points, count=300):
    return (points[:count].astype(np.float64) * (1 - 1e-4)).astype(np.float32)


@pytest.fixture(scope="module")
def tree():
    return tree_points()


def test_default_rules_strand_nodes_that_reach_all_keeps(tree):
    assert len(core_index(tree, False).unreachable_nodes()) > len(tree) // 10
    for threads in (1, 2):
        index = core_index(tree, True, threads)
        assert index.unreachable_nodes() == []
        q = near_queries(tree)
        ids, _ = index.search(q, 10, num_threads=threads)
        assert np.mean(ids[:, 0] == np.arange(len(q))) >= 0.99
        # The single-query methods follow the same rules.
        assert np.mean([index.custom_hnsw_search(v, 1) == [i] for i, v in enumerate(q)]) >= 0.99
        assert np.mean([index.filtered_search(v, 1)[:1] == [i] for i, v in enumerate(q)]) >= 0.99


def test_reach_all_walks_through_the_boundary():
    points = np.array([(0.0, 0.0), (0.998, 0.0), (0.5, 0.3), (0.9, 0.2)], dtype=np.float32)
    found = []
    for reach_all in (False, True):
        index = core_index(points, reach_all)
        found.append(index.custom_hnsw_search(points[1], 1, ef_search=1))
    assert found[1] == [1] and index.search(points[1:2], 1)[0][0, 0] == 1


def test_a_loaded_graph_is_put_in_reach(tmp_path, tree):
    path = str(tmp_path / "tree.idx")
    stranded = core_index(tree, False)
    stranded.save_index(path)
    for reach_all, left in ((False, len(stranded.unreachable_nodes())), (True, 0)):
        again = zelt_core.HyperbolicIndex(tree.shape[1], 1.0, 8, "poincare", reach_all=reach_all)
        again.load_index(path)
        assert len(again.unreachable_nodes()) == left
    # What the repair changes stays within every list's cap and survives a save.
    again.save_index(path)
    fresh = zelt_core.HyperbolicIndex(tree.shape[1], 1.0, 8, "poincare")
    fresh.load_index(path)
    assert fresh.unreachable_nodes() == [] and fresh.get_stats()["num_nodes"] == len(tree)


@pytest.mark.skipif(not MAMMALS_PATH.is_file(), reason="mammal embeddings not beside the repo")
def test_mammals_at_orvikdb_defaults():
    _, vectors = load_word2vec_binary(MAMMALS_PATH)
    index = orvikdb.Index(vectors.shape[1], seed=1)
    index.add(vectors, num_threads=1)
    assert index.reach_all and index.unreachable == 0
    keys, _ = index.search(near_queries(vectors, len(vectors)), 10)
    assert np.mean(keys[:, 0] == np.arange(len(vectors))) >= 0.99


def test_orvikdb_refuses_points_off_the_ball():
    index = orvikdb.Index(3, curvature=4.0)
    index.add([[0.1, 0.2, 0.3]])
    for bad in ([[0.5, 0.0, 0.0]], [[0.0, np.float32(0.4999999), 0.3]]):
        with pytest.raises(ValueError, match=r"row 0 .*outside the Poincaré ball.*\"euclidean\""):
            index.add(bad)
        with pytest.raises(ValueError, match="outside the Poincaré ball"):
            index.search(bad, 1)
    assert len(index) == 1
    with pytest.raises(ValueError, match="outside the Poincaré ball"):
        orvikdb.Index(96).add(np.random.default_rng(0).standard_normal((10, 96)))
    orvikdb.Index(2, metric="euclidean").add([[5.0, 5.0]])  # no ball there
    for metric, curvature in (("poincare", 0.0), ("poincare", float("nan")), ("cosine", 2.0)):
        with pytest.raises(ValueError, match="curvature"):
            orvikdb.Index(2, metric=metric, curvature=curvature)


def test_orvikdb_curvature_scales_distances_and_survives_files(tmp_path, tree):
    c = 2.5
    points = tree[:400] / np.float32(np.sqrt(c)) * np.float32(0.9999)
    curved = orvikdb.Index(8, curvature=c, seed=3)
    curved.add(points, num_threads=1)
    unit = orvikdb.Index(8, seed=3)
    unit.add(points * np.float32(np.sqrt(c)), num_threads=1)
    q = points[:20] * np.float32(0.99)
    got, want = curved.search(q, 5, exact=True), unit.search(q * np.float32(np.sqrt(c)), 5,
                                                            exact=True)
    np.testing.assert_array_equal(got.keys, want.keys)
    np.testing.assert_allclose(got.distances, want.distances / np.sqrt(c), rtol=1e-6)
    np.testing.assert_allclose(curved.get_vectors([0, 1]), points[:2], rtol=1e-6)
    radius = float(got.distances[0, 2])
    assert (curved.search(q[0], 5, max_radius=radius, exact=True).keys >= 0).sum() == 3
    curved.save(tmp_path / "c.idx")
    again = orvikdb.Index.load(tmp_path / "c.idx")
    assert (again.curvature, again.reach_all) == (c, True)
    np.testing.assert_array_equal(again.search(q, 5).keys, curved.search(q, 5).keys)


def test_reach_all_defaults_and_older_sidecars(tmp_path):
    assert orvikdb.Index(2).reach_all and not orvikdb.Index(2, metric="cosine").reach_all
    assert not orvikdb.Index(2, reach_all=False).reach_all
    index = orvikdb.Index(2, reach_all=False)
    index.add([[0.1, 0.2], [0.3, 0.1]])
    path = tmp_path / "old.idx"
    index.save(path)
    # A sidecar written before reach_all existed loads with the rules it was built with.
    sidecar = _sidecar.decode(_saving.sidecar_path(path).read_bytes(), "old")
    data = _sidecar.encode(sidecar)
    assert b'"reach_all": false' in data
    old = data[:-32].replace(b', "reach_all": false', b"")
    fixed = bytearray(old)
    fixed[12:16] = (int.from_bytes(fixed[12:16], "little") - 20).to_bytes(4, "little")
    import hashlib
    _saving.sidecar_path(path).write_bytes(bytes(fixed) + hashlib.sha256(bytes(fixed)).digest())
    assert not orvikdb.Index.load(path).reach_all
    assert "unreachable" not in repr(index)


@pytest.mark.parametrize("c", [1.0, 0.3, 4.0])
def test_lorentz_maps_at_any_curvature(c):
    ball = np.random.default_rng(2).uniform(-0.3, 0.3, (6, 4)) / np.sqrt(c)
    lorentz = hyperbolic.to_lorentz(ball, curvature=c)
    np.testing.assert_allclose(-lorentz[:, 0] ** 2 + (lorentz[:, 1:] ** 2).sum(1), -1 / c)
    np.testing.assert_allclose(hyperbolic.from_lorentz(lorentz, curvature=c), ball)
    np.testing.assert_allclose(hyperbolic.from_lorentz_space(lorentz[:, 1:], curvature=c), ball)
    with pytest.raises(ValueError, match="point 0"):
        hyperbolic.from_lorentz(hyperbolic.to_lorentz(ball, curvature=1.0), curvature=c * 2)
    with pytest.raises(ValueError, match="curvature"):
        hyperbolic.from_lorentz_space(ball, curvature=-1.0)


def test_seeded_walk_at_a_narrow_beam_and_after_a_load(tmp_path, tree):
    index = core_index(tree, True)
    other = tree_points(seed=1)
    core_index(other, True).save_index(str(tmp_path / "other.idx"))
    for points in (tree, other):
        q = near_queries(points[1000:])
        truth, _ = index.search(q, 10, mode="exact", num_threads=1)
        ids, _ = index.search(q, 10, ef_search=10, num_threads=1)
        assert np.mean(ids[:, 0] == truth[:, 0]) >= 0.99
        assert np.mean([len(set(a) & set(b)) / 10 for a, b in zip(ids, truth)]) >= 0.9
        # The same number of nodes in another place: the seeds follow the file.
        index.load_index(str(tmp_path / "other.idx"))
