"""The module as Python sees it: its attributes, the methods' parameters and defaults, and
the rules by which arguments are converted and results returned."""

import numpy as np
import pytest

import zelt_core
from conftest import as_f32, built, num_nodes, read_masks, run_python

METHODS = (
    "add_item_flat", "add_item_and_link", "custom_hnsw_search", "filtered_search",
    "hardware_flat_search", "save_index", "load_index", "get_stats", "get_metric",
    "compute_distance", "get_stored_norm", "update_masks",
    # The batch calls and accessors come after the thirteen entries above.
    "add_items", "search", "get_vectors", "get_masks", "set_masks",
    "unreachable_nodes", "store_items", "link_stored", "file_checksum",
)
QUERIES = ("custom_hnsw_search", "filtered_search", "hardware_flat_search")


def run_query(index, name, query, k, **kwargs):
    if name == "hardware_flat_search":
        kwargs.setdefault("filter_mask", 0)
    return getattr(index, name)(query, k, **kwargs)


@pytest.fixture
def small():
    """A linked 2-d Euclidean index of 20 points on a line, masks alternating 1 and 2."""
    points = [(i, 0) for i in range(20)]
    return built(points, masks=[1 + i % 2 for i in range(20)], linked=True)


def test_docstring():
    assert zelt_core.__doc__ == (
        "OrvikDB \u2014 multi-metric HNSW vector index (Poincar\u00e9 / Euclidean / Cosine)")


def test_only_public_attribute_is_the_class():
    assert [name for name in dir(zelt_core) if not name.startswith("_")] == ["HyperbolicIndex"]
    assert isinstance(zelt_core.HyperbolicIndex, type)
    assert zelt_core.HyperbolicIndex.__doc__ is None


def test_methods_in_order_without_own_docstrings():
    cls = zelt_core.HyperbolicIndex
    public = [name for name in vars(cls) if not name.startswith("_")]
    assert public == list(METHODS)
    for name in METHODS:
        doc = getattr(cls, name).__doc__
        # Only the generated signature line, nothing written by hand.
        assert doc.startswith(name + "(") and doc.strip().count("\n") == 0


def test_numpy_is_imported_on_first_array_argument():
    result = run_python("""
        import sys
        import zelt_core
        index = zelt_core.HyperbolicIndex(2)
        index.get_stats()
        print("numpy" in sys.modules)
        index.add_item_flat([0.1, 0.2])
        print("numpy" in sys.modules)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "True"]


def test_constructor_defaults_and_keywords(tmp_path):
    default = zelt_core.HyperbolicIndex(4)
    assert default.get_metric() == "poincare"
    stats = default.get_stats()
    assert (stats["dimension"], stats["max_m"], stats["max_m_0"]) == (4, 16, 32)
    default.save_index(str(tmp_path / "d.bin"))
    assert np.frombuffer((tmp_path / "d.bin").read_bytes()[4:8], "<f4")[0] == 1.0

    by_keyword = zelt_core.HyperbolicIndex(metric="euclidean", dimension=3, M=5, curvature=0.5)
    by_position = zelt_core.HyperbolicIndex(3, 0.5, 5, "euclidean")
    assert by_keyword.get_metric() == by_position.get_metric() == "euclidean"
    assert by_keyword.get_stats() == by_position.get_stats()


def test_every_parameter_by_keyword(small, tmp_path):
    q = as_f32([3.2, 0])
    assert small.custom_hnsw_search(query=q, k=3, filter_mask=1, ef_search=20, max_radius=9.0,
                                    min_norm=0.5) == small.custom_hnsw_search(q, 3, 1, 20, 9.0, 0.5)
    assert small.filtered_search(query=q, k=3, filter_mask=1, ef_search=20, max_radius=9.0,
                                 min_norm=0.5) == small.filtered_search(q, 3, 1, 20, 9.0, 0.5)
    assert small.hardware_flat_search(query=q, k=3, filter_mask=1, max_radius=9.0,
                                      min_norm_sq=0.5) == small.hardware_flat_search(
                                          q, 3, 1, 9.0, 0.5)
    assert small.compute_distance(query=q, node_id=3) == small.compute_distance(q, 3)
    assert small.get_stored_norm(node_id=3) == 9.0
    small.add_item_flat(vector=as_f32([0, 1]), mask=4)
    small.add_item_and_link(vector=as_f32([0, 2]), mask=4, ef_construction=10)
    assert small.hardware_flat_search(q, 5, 4) == [20, 21]
    small.update_masks(new_masks=np.full(22, 8, dtype=np.uint64))
    small.save_index(filename=str(tmp_path / "k.bin"))
    small.load_index(filename=str(tmp_path / "k.bin"))
    assert read_masks(small) == [8] * 22


def test_query_defaults(small):
    q = as_f32([7.6, 0.1])
    assert small.custom_hnsw_search(q, 5) == small.custom_hnsw_search(q, 5, 0, 50, -1.0, -1.0)
    assert small.filtered_search(q, 5) == small.filtered_search(q, 5, 0, 2000, -1.0, -1.0)
    assert small.hardware_flat_search(q, 5, 0) == small.hardware_flat_search(q, 5, 0, -1.0, -1.0)
    assert small.custom_hnsw_search(q, 5) == [8, 7, 9, 6, 10]


def test_flat_search_requires_filter_mask(small):
    with pytest.raises(TypeError):
        small.hardware_flat_search(as_f32([0, 0]), 5)


def test_insertion_mask_defaults_to_zero():
    index = built([(0, 0)], linked=False)
    index.add_item_flat(as_f32([1, 0]))
    index.add_item_and_link(as_f32([2, 0]))
    assert read_masks(index) == [0, 0, 0]


@pytest.mark.parametrize("name", QUERIES)
def test_queries_return_plain_int_lists(small, name):
    result = run_query(small, name, np.float32([4, 0]), 3)
    assert type(result) is list
    assert result and all(type(i) is int for i in result)


# ------------------------------------------------------------ vector arrays


@pytest.mark.parametrize("dtype", ["float64", "int64", "int32", "uint32", "complex64"])
@pytest.mark.parametrize("insert", ["add_item_flat", "add_item_and_link"])
def test_insertion_refuses_unsafe_casts(small, insert, dtype):
    before = small.get_stats()
    with pytest.raises(TypeError):
        getattr(small, insert)(np.ones(2, dtype=dtype))
    assert small.get_stats() == before


@pytest.mark.parametrize("name", QUERIES + ("compute_distance",))
@pytest.mark.parametrize("dtype", ["float64", "int64"])
def test_queries_refuse_unsafe_casts(small, name, dtype):
    with pytest.raises(TypeError):
        if name == "compute_distance":
            small.compute_distance(np.ones(2, dtype=dtype), 0)
        else:
            run_query(small, name, np.ones(2, dtype=dtype), 3)


@pytest.mark.parametrize("vector", [
    pytest.param([0.25, -1.5], id="list-of-floats"),
    pytest.param((1, 2), id="tuple-of-ints"),
    pytest.param(np.arange(4, dtype=np.float32)[::2] * 0.5, id="float32-stride-2"),
    pytest.param(np.array([0.5, 3], dtype=np.float16), id="float16"),
    pytest.param(np.array([7, 200], dtype=np.uint8), id="uint8"),
    pytest.param(np.array([-3, 9], dtype=np.int16), id="int16"),
])
@pytest.mark.parametrize("insert", ["add_item_flat", "add_item_and_link"])
def test_insertion_accepts_safe_conversions(insert, vector):
    index = built([(100, 100)], linked=False)
    getattr(index, insert)(vector)
    want = np.asarray(vector, dtype=np.float32)
    assert num_nodes(index) == 2
    # The node holds the given values, not the memory around a strided view.
    assert index.compute_distance(want, 1) == 0.0
    assert index.get_stored_norm(1) == pytest.approx(float(np.sum(want.astype(np.float64) ** 2)))


def test_query_accepts_list_and_strided_array(small):
    strided = np.array([5, 99, 0, 99], dtype=np.float32)[::2]
    want = small.hardware_flat_search(as_f32([5, 0]), 4, 0)
    assert small.hardware_flat_search(strided, 4, 0) == want
    assert small.hardware_flat_search([5.0, 0.0], 4, 0) == want
    assert small.compute_distance(strided, 0) == 25.0


# -------------------------------------------------------------------- masks


MASK_TAKERS = ("add_item_flat", "add_item_and_link") + QUERIES


def call_with_mask(index, name, mask):
    q = as_f32([1, 0])
    if name.startswith("add_"):
        return getattr(index, name)(q, mask)
    return getattr(index, name)(q, 3, mask)


@pytest.mark.parametrize("mask", [-1, 2**64, 1.0, "1", None],
                         ids=["negative", "2**64", "float", "str", "None"])
@pytest.mark.parametrize("name", MASK_TAKERS)
def test_bad_masks_are_type_errors(small, name, mask):
    before = small.get_stats()
    with pytest.raises(TypeError):
        call_with_mask(small, name, mask)
    assert small.get_stats() == before


@pytest.mark.parametrize("mask", [2**64 - 1, np.uint64(2**64 - 1), 2**63],
                         ids=["int", "uint64-scalar", "top-bit"])
@pytest.mark.parametrize("insert", ["add_item_flat", "add_item_and_link"])
def test_full_width_masks(insert, mask):
    index = built([(0, 0)], masks=[1], linked=True)
    getattr(index, insert)(as_f32([1, 0]), mask)
    assert read_masks(index) == [1, int(mask)]
    assert index.hardware_flat_search(as_f32([0, 0]), 5, int(mask)) == [1]
    assert index.hardware_flat_search(as_f32([0, 0]), 5, np.uint64(1)) == [0, 1][:1 + int(mask) % 2]


# ----------------------------------------------------------------- integers


@pytest.mark.parametrize("k", [10.0, np.float64(3), "3", 2**31, -2**31 - 1],
                         ids=["float", "np-float64", "str", "2**31", "below-int32"])
@pytest.mark.parametrize("name", QUERIES)
def test_bad_k_is_type_error(small, name, k):
    with pytest.raises(TypeError):
        run_query(small, name, as_f32([0, 0]), k)


@pytest.mark.parametrize("name", ["custom_hnsw_search", "filtered_search"])
def test_bad_ef_search_is_type_error(small, name):
    with pytest.raises(TypeError):
        getattr(small, name)(as_f32([0, 0]), 3, ef_search=50.0)


@pytest.mark.parametrize("integer", [np.int64, np.int32, np.uint8, np.int16])
def test_numpy_integer_scalars_convert(integer):
    index = zelt_core.HyperbolicIndex(integer(2), 1.0, integer(4), "euclidean")
    assert index.get_stats()["max_m"] == 4
    for i in range(4):
        index.add_item_and_link(as_f32([i, 0]), integer(1), integer(10))
    q = as_f32([0, 0])
    assert index.hardware_flat_search(q, integer(2), integer(1)) == [0, 1]
    assert index.custom_hnsw_search(q, integer(2), ef_search=integer(5)) == [0, 1]
    assert index.filtered_search(q, integer(2), ef_search=integer(5)) == [0, 1]
    assert index.compute_distance(q, integer(3)) == 9.0
    assert index.get_stored_norm(integer(2)) == 4.0


@pytest.mark.parametrize("args", [(2.0,), (2, 1.0, 16.0), (2**31,), ("2",), (2, "x")],
                         ids=["float-dimension", "float-M", "big-dimension", "str-dimension",
                              "str-curvature"])
def test_constructor_type_errors(args):
    with pytest.raises(TypeError):
        zelt_core.HyperbolicIndex(*args)


@pytest.mark.parametrize("metric", [5, None, ["cosine"]])
def test_metric_must_be_a_string(metric):
    with pytest.raises(TypeError):
        zelt_core.HyperbolicIndex(2, metric=metric)


@pytest.mark.parametrize("node_id", [1.0, "0", None])
def test_node_id_must_be_an_integer(small, node_id):
    with pytest.raises(TypeError):
        small.get_stored_norm(node_id)
    with pytest.raises(TypeError):
        small.compute_distance(as_f32([0, 0]), node_id)


# -------------------------------------------------------------------- reals


@pytest.fixture
def near():
    """Euclidean nodes at squared distances 0.5, 1, 1.25 and 5 from the origin."""
    return built([(0.5, 0.5), (1, 0), (1, 0.5), (2, 1)], linked=True)


@pytest.mark.parametrize("name", QUERIES)
def test_int_radius_is_accepted(near, name):
    assert run_query(near, name, as_f32([0, 0]), 4, max_radius=1) == [0, 1]
    assert run_query(near, name, as_f32([0, 0]), 4, max_radius=np.int8(2)) == [0, 1, 2]


@pytest.mark.parametrize("name", QUERIES)
def test_radius_is_rounded_to_single_precision(near, name):
    # 0.99999999 rounds to 1.0 in single precision, so the node at distance 1 passes.
    assert np.float32(0.99999999) == 1.0
    q = as_f32([0, 0])
    assert run_query(near, name, q, 4, max_radius=0.99999999) == [0, 1]
    assert run_query(near, name, q, 4, max_radius=0.9999) == [0]


@pytest.mark.parametrize("value", ["1", None, [1.0]])
@pytest.mark.parametrize("name", QUERIES)
def test_reals_without_float_conversion_are_type_errors(near, name, value):
    with pytest.raises(TypeError):
        run_query(near, name, as_f32([0, 0]), 4, max_radius=value)
