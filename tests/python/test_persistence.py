"""save_index and load_index: the file's bytes, round trips, what a load replaces, file names
and the failures to open or write."""

import os
import struct

import numpy as np
import pytest

import zelt_core
from conftest import (HEADER, HEADER_BYTES, METRICS, as_f32, built, fill, index_file_bytes,
                      new_index, num_nodes, parse_index_file, random_vectors, read_masks)


def saved_bytes(index, path):
    index.save_index(str(path))
    return path.read_bytes()


def expected_length(saved):
    n, d = len(saved["levels"]), saved["dimension"]
    graph = sum(4 + sum(8 + 4 * len(ids) for ids in layers) for layers in saved["links"])
    return HEADER_BYTES + n * (4 * d + 12) + graph


def test_empty_index_is_28_bytes(tmp_path):
    data = saved_bytes(zelt_core.HyperbolicIndex(5, 0.25, 7, "cosine"), tmp_path / "e.bin")
    assert data == HEADER.pack(5, 0.25, 7, -1, -1, 0)
    assert len(data) == 28


def test_loading_an_empty_file_empties_an_index(tmp_path):
    (tmp_path / "e.bin").write_bytes(HEADER.pack(2, 1.0, 16, -1, -1, 0))
    index = built([(i, 0) for i in range(10)], linked=True)
    index.load_index(str(tmp_path / "e.bin"))
    stats = index.get_stats()
    assert (stats["num_nodes"], stats["ep_id"], stats["ep_layer"]) == (0, -1, -1)
    assert stats["layer_distribution"] == [0]
    assert index.hardware_flat_search(as_f32([0, 0]), 5, 0) == []


def test_two_node_example_is_116_bytes(tmp_path):
    # Node 0 at level 0 with one link; node 1 at level 1, one link on layer 0, none above.
    data = index_file_bytes(as_f32([(0.1, 0.2, 0.3), (0.3, 0.2, 0.1)]), ep_id=1, ep_layer=1,
                            levels=[0, 1], links=[[[1]], [[0], []]])
    assert len(data) == 116
    (tmp_path / "two.bin").write_bytes(data)
    index = new_index(3, "poincare")
    index.load_index(str(tmp_path / "two.bin"))
    assert saved_bytes(index, tmp_path / "again.bin") == data
    stats = index.get_stats()
    assert stats["layer_distribution"] == [0, 1, 1]
    assert stats["avg_degree_layer0"] == 1.0


def test_flat_node_record(tmp_path):
    index = new_index(2, "euclidean")
    index.add_item_flat(as_f32([3, 4]), 2**63 + 5)
    data = saved_bytes(index, tmp_path / "flat.bin")
    assert data == (HEADER.pack(2, 1.0, 16, -1, -1, 1) + struct.pack("<3f", 3, 4, 25)
                    + struct.pack("<Q", 2**63 + 5) + struct.pack("<iQ", 0, 0))


@pytest.fixture(params=METRICS)
def mixed(request, rng):
    """Linked and flat nodes, masks with bit 63 set, a curvature of 0.5."""
    metric = request.param
    points = random_vectors(rng, 300, 6, metric)
    index = zelt_core.HyperbolicIndex(6, 0.5, 8, metric)
    masks = [(i % 7) | (2**63 if i % 3 == 0 else 0) for i in range(300)]
    fill(index, points[:200], masks[:200], linked=True, ef_construction=50)
    fill(index, points[200:250], masks[200:250], linked=False)
    fill(index, points[250:], masks[250:], linked=True, ef_construction=50)
    return metric, index, points, masks


def answers(index, queries):
    out = []
    for q in queries:
        out.append(index.hardware_flat_search(q, 12, 0))
        out.append(index.hardware_flat_search(q, 12, 2**63 | 1, -1.0, 0.1))
        out.append(index.custom_hnsw_search(q, 12))
        out.append(index.custom_hnsw_search(q, 12, 2, 30))
        out.append(index.filtered_search(q, 12))
        out.append(index.filtered_search(q, 5, 2**63 | 4, 100))
    return out


def test_round_trip(mixed, tmp_path, rng):
    metric, index, points, masks = mixed
    first = saved_bytes(index, tmp_path / "first.bin")
    saved = parse_index_file(first)
    assert len(first) == expected_length(saved)
    assert (saved["dimension"], saved["curvature"], saved["max_m"]) == (6, 0.5, 8)
    np.testing.assert_array_equal(saved["vectors"], points)
    assert saved["masks"] == masks
    assert saved["levels"][200:250] == [0] * 50
    assert all(layers == [[]] for layers in saved["links"][200:250])

    copy = zelt_core.HyperbolicIndex(6, 1.0, 16, metric)
    copy.load_index(str(tmp_path / "first.bin"))
    assert saved_bytes(copy, tmp_path / "second.bin") == first
    assert copy.get_metric() == metric
    assert copy.get_stats() == index.get_stats()
    assert read_masks(copy) == masks
    assert [copy.get_stored_norm(i) for i in range(300)] == [
        index.get_stored_norm(i) for i in range(300)]
    queries = random_vectors(rng, 8, 6, metric)
    assert answers(copy, queries) == answers(index, queries)
    for node in (0, 201, 299):
        assert copy.compute_distance(queries[0], node) == index.compute_distance(queries[0], node)


def test_save_leaves_the_index_alone(mixed, tmp_path):
    _, index, _, _ = mixed
    first = saved_bytes(index, tmp_path / "a.bin")
    assert saved_bytes(index, tmp_path / "b.bin") == first


def test_load_takes_the_file_header(tmp_path, rng):
    source = zelt_core.HyperbolicIndex(3, 0.5, 5, "euclidean")
    fill(source, rng.random((40, 3), dtype=np.float32), linked=True)
    before = saved_bytes(source, tmp_path / "src.bin")

    target = zelt_core.HyperbolicIndex(7, 2.0, 12, "euclidean")
    fill(target, rng.random((60, 7), dtype=np.float32), linked=True)
    target.load_index(str(tmp_path / "src.bin"))
    stats = target.get_stats()
    assert (stats["num_nodes"], stats["dimension"], stats["max_m"], stats["max_m_0"]) == (
        40, 3, 5, 10)
    assert saved_bytes(target, tmp_path / "again.bin") == before  # curvature 0.5 included

    # Later insertions need the file's dimension and continue with id 40.
    with pytest.raises(RuntimeError, match="^Vector dimension mismatch$"):
        target.add_item_and_link(np.zeros(7, dtype=np.float32))
    target.add_item_and_link(as_f32([5, 5, 5]), 8)
    target.add_item_flat(as_f32([6, 6, 6]), 8)
    assert num_nodes(target) == 42
    assert target.hardware_flat_search(as_f32([5, 5, 5]), 5, 8) == [40, 41]
    assert target.custom_hnsw_search(as_f32([5, 5, 5]), 1) == [40]


def test_load_keeps_the_metric(tmp_path):
    source = built([(2, 0), (0, 5), (-1, 0)], "euclidean", linked=True)
    source.save_index(str(tmp_path / "e.bin"))
    target = new_index(2, "cosine")
    target.load_index(str(tmp_path / "e.bin"))
    assert target.get_metric() == "cosine"
    q = as_f32([1, 0])
    assert [target.compute_distance(q, i) for i in range(3)] == [0.0, 1.0, 2.0]
    assert [source.compute_distance(q, i) for i in range(3)] == [1.0, 26.0, 4.0]


def test_loaded_index_keeps_growing(mixed, tmp_path, rng):
    metric, index, _, _ = mixed
    index.save_index(str(tmp_path / "m.bin"))
    copy = new_index(6, metric)
    copy.load_index(str(tmp_path / "m.bin"))
    extra = random_vectors(rng, 50, 6, metric)
    fill(copy, extra, [1 << 40] * 50, linked=True)
    assert num_nodes(copy) == 350
    saved = parse_index_file(saved_bytes(copy, tmp_path / "grown.bin"))
    assert all(i < 350 for layers in saved["links"] for ids in layers for i in ids)
    assert sorted(copy.hardware_flat_search(extra[0], 100, 1 << 40)) == list(range(300, 350))
    assert copy.custom_hnsw_search(extra[7], 1) == [307]


# ------------------------------------------------------------ file names


@pytest.mark.parametrize("kind", [str, os.fsencode, lambda p: bytearray(os.fsencode(p))],
                         ids=["str", "bytes", "bytearray"])
def test_file_name_kinds(kind, tmp_path):
    index = built([(1, 2), (3, 4)], linked=True)
    name = kind(str(tmp_path / "named.bin"))
    index.save_index(name)
    copy = new_index(2)
    copy.load_index(name)
    assert copy.get_stats() == index.get_stats()


def test_bytes_name_is_used_unchanged(tmp_path):
    index = built([(1, 2)], linked=False)
    name = os.fsencode(tmp_path) + b"/caf\xe9-\xff.bin"  # not valid UTF-8
    index.save_index(name)
    assert b"caf\xe9-\xff.bin" in os.listdir(os.fsencode(tmp_path))
    copy = new_index(2)
    copy.load_index(name)
    assert num_nodes(copy) == 1


def test_str_name_is_utf8(tmp_path):
    index = built([(1, 2)], linked=False)
    index.save_index(str(tmp_path / "Poincar\u00e9.bin"))
    assert "Poincar\u00e9.bin".encode() in os.listdir(os.fsencode(tmp_path))


@pytest.mark.parametrize("name", [None, 5, ["x.bin"]])
def test_other_name_types_are_type_errors(name, tmp_path):
    index = built([(1, 2)], linked=False)
    with pytest.raises(TypeError):
        index.save_index(name)
    with pytest.raises(TypeError):
        index.load_index(name)


def test_path_objects_are_type_errors(tmp_path):
    index = built([(1, 2)], linked=False)
    with pytest.raises(TypeError):
        index.save_index(tmp_path / "p.bin")
    assert not (tmp_path / "p.bin").exists()


# -------------------------------------------------------------- failures


def test_missing_file(tmp_path):
    index = built([(i, 0) for i in range(8)], masks=[3] * 8, linked=True)
    before = saved_bytes(index, tmp_path / "before.bin")
    name = str(tmp_path / "missing.bin")
    with pytest.raises(RuntimeError) as error:
        index.load_index(name)
    assert str(error.value) == "Cannot open file for loading: " + name
    assert saved_bytes(index, tmp_path / "after.bin") == before


def test_save_into_missing_directory(tmp_path):
    index = built([(1, 2)], linked=False)
    name = str(tmp_path / "no" / "such" / "dir.bin")
    with pytest.raises(RuntimeError) as error:
        index.save_index(name)
    assert str(error.value) == "Cannot open file for saving: " + name
    assert not (tmp_path / "no").exists()


def test_names_with_a_nul_byte_cannot_be_opened(tmp_path):
    index = built([(1, 2)], linked=False)
    name = str(tmp_path / "cut") + "\0tail.bin"
    with pytest.raises(RuntimeError, match="^Cannot open file for saving: "):
        index.save_index(name)
    with pytest.raises(RuntimeError, match="^Cannot open file for loading: "):
        index.load_index(name)
    assert os.listdir(tmp_path) == []
    assert num_nodes(index) == 1


def test_loading_a_directory_is_refused(tmp_path):
    index = built([(1, 2)], linked=False)
    with pytest.raises(RuntimeError):
        index.load_index(str(tmp_path))
    assert num_nodes(index) == 1


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="this system has no /dev/full")
def test_failed_write_is_reported():
    index = built(np.zeros((10, 4), dtype=np.float32), linked=True)
    with pytest.raises(RuntimeError, match="^Cannot write file for saving: /dev/full"):
        index.save_index("/dev/full")
    assert num_nodes(index) == 10
