"""update_masks, which replaces every mask at once, and the get_stats report."""

import numpy as np
import pytest

from conftest import (HEADER_BYTES, MASK_SIZE_MISMATCH, as_f32, built, index_file_bytes, loaded,
                      new_index, read_masks)

N = 12
OLD = [(1 << (i % 5)) | (2**63 if i % 4 == 0 else 0) for i in range(N)]
NEW = [(i * 0x9E3779B97F4A7C15) % 2**64 | 1 for i in range(N)]


@pytest.fixture
def tagged():
    return built([(i, i % 3) for i in range(N)], masks=OLD, linked=True)


@pytest.mark.parametrize("shape", [(N,), (N, 1), (1, N), (3, 4), (2, 3, 2)])
def test_shapes_are_read_in_c_order(tagged, shape):
    tagged.update_masks(np.array(NEW, dtype=np.uint64).reshape(shape))
    assert read_masks(tagged) == NEW


def test_fortran_order_array_is_taken_in_c_order(tagged):
    grid = np.asfortranarray(np.array(NEW, dtype=np.uint64).reshape(3, 4))
    tagged.update_masks(grid)
    assert read_masks(tagged) == grid.ravel(order="C").tolist()


@pytest.mark.parametrize("make", [
    lambda v: np.repeat(np.array(v, dtype=np.uint64), 2)[::2],
    lambda v: [int(x) for x in v],
    lambda v: np.array(v, dtype=np.uint64).astype(object).tolist(),
    lambda v: [np.array(x, dtype=np.uint64) for x in v],
    lambda v: tuple(int(x) for x in v),
], ids=["strided", "list", "list-of-uint64", "0-d-arrays", "tuple"])
def test_accepted_conversions(tagged, make):
    tagged.update_masks(make(NEW))
    assert read_masks(tagged) == NEW


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.uint32])
def test_narrow_unsigned_arrays_are_widened(tagged, dtype):
    values = [i * 7 % 200 for i in range(N)]
    tagged.update_masks(np.array(values, dtype=dtype))
    assert read_masks(tagged) == values


@pytest.mark.parametrize("bad", [
    np.arange(N, dtype=np.int64),
    np.arange(N, dtype=np.int32),
    np.arange(N, dtype=np.float64),
    [-1] + [1] * (N - 1),
    [2**64] + [1] * (N - 1),
    "x" * N,
    # NumPy alone would truncate these to integers without a word.
    [1.5] + [1] * (N - 1),
    [np.float32(1)] + [1] * (N - 1),
    [[1.0]] + [[1]] * (N - 1),
    # NumPy would flatten these; a sequence holds masks, not sequences.
    [[1]] * N,
    [[np.uint64(1)]] * N,
    [np.ones(1, np.uint64)] * N,
    [[1] * 4] * 3,
    ["1"] * N,
    [None] * N,
], ids=["int64", "int32", "float64", "negative", "2**64", "str", "float-in-list", "numpy-float",
        "nested-float", "nested", "nested-numpy-scalars", "list-of-arrays", "nested-3x4",
        "strings", "none"])
def test_unsafe_conversions_are_type_errors(tagged, bad):
    with pytest.raises(TypeError):
        tagged.update_masks(bad)
    assert read_masks(tagged) == OLD


@pytest.mark.parametrize("count", [N - 1, N + 1, 0, 1])
def test_size_mismatch_changes_nothing(tagged, count):
    with pytest.raises(RuntimeError, match=MASK_SIZE_MISMATCH):
        tagged.update_masks(np.full(count, 7, dtype=np.uint64))
    assert read_masks(tagged) == OLD


def test_empty_index():
    index = new_index(3)
    index.update_masks(np.empty(0, dtype=np.uint64))
    index.update_masks([])
    assert index.get_stats()["num_nodes"] == 0
    with pytest.raises(RuntimeError, match=MASK_SIZE_MISMATCH):
        index.update_masks(np.ones(1, dtype=np.uint64))


def test_queries_follow_the_new_masks(tagged, tmp_path):
    q = as_f32([5.2, 1])
    unfiltered = [tagged.hardware_flat_search(q, 6, 0), tagged.custom_hnsw_search(q, 6),
                  tagged.filtered_search(q, 6)]
    tagged.save_index(str(tmp_path / "old.bin"))
    old_bit = 1 << 2  # carried by nodes 2 and 7
    assert sorted(tagged.hardware_flat_search(q, N, old_bit)) == [2, 7]
    new = [m & ~old_bit for m in OLD]
    new[3] |= old_bit
    tagged.update_masks(np.array(new, dtype=np.uint64))
    for query in ("custom_hnsw_search", "filtered_search"):
        assert getattr(tagged, query)(q, N, old_bit) == [3]
    assert tagged.hardware_flat_search(q, N, old_bit) == [3]
    assert sorted(tagged.hardware_flat_search(q, N, 2**63)) == [0, 4, 8]
    assert unfiltered == [tagged.hardware_flat_search(q, 6, 0), tagged.custom_hnsw_search(q, 6),
                          tagged.filtered_search(q, 6)]
    # Only the mask section of the file changes, and the top bit is written unchanged.
    tagged.save_index(str(tmp_path / "new.bin"))
    old_file, new_file = (tmp_path / "old.bin").read_bytes(), (tmp_path / "new.bin").read_bytes()
    masks_at = HEADER_BYTES + N * 4 * 3
    assert old_file[:masks_at] == new_file[:masks_at]
    assert old_file[masks_at + 8 * N:] == new_file[masks_at + 8 * N:]
    assert np.frombuffer(new_file, "<u8", N, masks_at).tolist() == new


# -------------------------------------------------------------------- stats

KEYS = ["num_nodes", "ep_id", "ep_layer", "max_m", "max_m_0", "dimension", "avg_degree_layer0",
        "layer_distribution"]


def test_fresh_index_report():
    stats = new_index(9, "cosine", M=6).get_stats()
    assert list(stats) == KEYS
    assert stats == {"num_nodes": 0, "ep_id": -1, "ep_layer": -1, "max_m": 6, "max_m_0": 12,
                     "dimension": 9, "avg_degree_layer0": 0.0, "layer_distribution": [0]}
    assert type(stats["avg_degree_layer0"]) is float


def test_report_types(tagged):
    stats = tagged.get_stats()
    assert list(stats) == KEYS
    for key in KEYS[:6]:
        assert type(stats[key]) is int
    assert type(stats["avg_degree_layer0"]) is float
    assert type(stats["layer_distribution"]) is list
    assert all(type(c) is int for c in stats["layer_distribution"])
    assert sum(stats["layer_distribution"]) == N


def test_flat_only_report():
    stats = built([(i, 0) for i in range(7)], linked=False).get_stats()
    assert stats["num_nodes"] == 7
    assert (stats["ep_id"], stats["ep_layer"]) == (-1, -1)
    assert stats["avg_degree_layer0"] == 0.0
    # Level-0 nodes are not counted: without an entry point the list has entry 0 only.
    assert stats["layer_distribution"] == [0]


def test_each_call_builds_a_new_dict(tagged):
    first, second = tagged.get_stats(), tagged.get_stats()
    assert first == second
    assert first is not second
    assert first["layer_distribution"] is not second["layer_distribution"]
    first["layer_distribution"].append(99)
    first["num_nodes"] = -5
    assert tagged.get_stats() == second


def test_distribution_of_a_three_layer_graph(tmp_path):
    levels = [0] * 90 + [1] * 9 + [2]
    points = as_f32([(i, 0) for i in range(100)])
    links = [[[] for _ in range(lv + 1)] for lv in levels]
    index = loaded(tmp_path / "tall.bin",
                   index_file_bytes(points, ep_id=99, ep_layer=2, levels=levels, links=links))
    stats = index.get_stats()
    assert stats["layer_distribution"] == [0, 90, 9, 1]
    assert (stats["ep_id"], stats["ep_layer"], stats["num_nodes"]) == (99, 2, 100)


@pytest.mark.parametrize("links, degree", [
    ([[[1]], [[0]]], 1.0),
    ([[[1]], [[]]], 0.5),
    ([[[]], [[]]], 0.0),
])
def test_mean_layer0_degree(links, degree, tmp_path):
    data = index_file_bytes(as_f32([(0, 0), (1, 0)]), ep_id=0, ep_layer=0, links=links,
                            levels=[0, 0])
    assert loaded(tmp_path / "d.bin", data).get_stats()["avg_degree_layer0"] == degree


def test_nodes_without_layers_count_in_entry_zero(tmp_path):
    # A node of level -1 (only a file can hold one) has no lists at all.
    data = index_file_bytes(as_f32([(0, 0), (1, 0), (2, 0)]), ep_id=0, ep_layer=0,
                            levels=[0, 0, -1], links=[[[1]], [[0]], []])
    index = loaded(tmp_path / "minus.bin", data)
    stats = index.get_stats()
    assert stats["layer_distribution"] == [1, 2]
    assert stats["avg_degree_layer0"] == pytest.approx(2 / 3)
    assert index.hardware_flat_search(as_f32([2, 0]), 1, 0) == [2]
    assert index.custom_hnsw_search(as_f32([2, 0]), 3) == [1, 0]


def test_report_survives_a_round_trip(tagged, tmp_path):
    tagged.save_index(str(tmp_path / "s.bin"))
    copy = new_index(2)
    copy.load_index(str(tmp_path / "s.bin"))
    assert copy.get_stats() == tagged.get_stats()
