"""Arguments that used to crash, hang, exhaust memory or slip past the rules: an instance without
its index, a second __init__, masks that are not masks, and file names that are not UTF-8."""

import numpy as np
import pytest

import zelt_core
from conftest import MASK_SIZE_MISMATCH, built, read_masks

N = 6
OLD = [1, 2, 3, 1, 2, 3]


@pytest.fixture
def tagged():
    return built([(i, 0) for i in range(N)], masks=OLD, linked=True)


def test_instance_without_index_refuses_every_method():
    blank = zelt_core.HyperbolicIndex.__new__(zelt_core.HyperbolicIndex)
    for call in (blank.get_stats, blank.get_metric, lambda: len(blank),
                 lambda: blank.add_item_flat([0.0, 0.0]), lambda: blank.get_stored_norm(0)):
        with pytest.raises(TypeError, match="never initialised"):
            call()
    blank.__init__(2)  # the first __init__ makes it a working index
    assert blank.get_stats()["dimension"] == 2


def test_second_init_is_refused_and_keeps_the_index(tagged):
    with pytest.raises(TypeError, match="already initialised"):
        tagged.__init__(8)
    assert tagged.get_stats()["dimension"] == 2 and len(tagged) == N


class Endless:
    """Claims five items and answers every index, past the end too."""
    def __len__(self):
        return N

    def __getitem__(self, i):
        return 5


class Interrupting:
    def __len__(self):
        return N

    def __getitem__(self, i):
        raise KeyboardInterrupt


class ExportsArray:
    def __init__(self, values, dtype):
        self.values = np.array(values, dtype=dtype)

    def __array__(self, dtype=None, copy=None):
        return self.values


VALUES = [7, 0, 2**31, 1, 9, 4]


@pytest.mark.parametrize("arg, expected", [
    (Endless(), [5] * N),
    (ExportsArray(VALUES, np.uint64), VALUES),
    ([ExportsArray(x, np.uint32) for x in VALUES], VALUES),
    ([np.int64(x) for x in VALUES], VALUES),
    ([np.array(x) for x in VALUES], VALUES),
    (range(N), list(range(N))),
], ids=["bounded-sequence", "array-method", "list-of-array-likes", "numpy-signed-scalars",
        "zero-d-arrays", "range"])
def test_mask_arrays_numpy_converts_safely_are_taken(tagged, arg, expected):
    tagged.update_masks(arg)
    assert read_masks(tagged) == expected


@pytest.mark.parametrize("bad", [
    [np.int64(-1)] * N,
    [np.array(1.5)] * N,
    [[1, 2], [3], [4, 5], [6]],
    ExportsArray(range(N), np.int64),
    [ExportsArray(1.0, np.float32)] * N,
    [ExportsArray([1], np.uint32)] * N,
], ids=["negative-numpy", "zero-d-float", "ragged", "signed-array-like", "float-array-likes",
        "nested-array-likes"])
def test_mask_arrays_that_are_not_masks_are_type_errors(tagged, bad):
    with pytest.raises(TypeError):
        tagged.update_masks(bad)
    assert read_masks(tagged) == OLD


def test_mask_sequences_are_read_within_their_length(tagged):
    with pytest.raises(KeyboardInterrupt):
        tagged.update_masks(Interrupting())
    class Huge(Endless):
        def __len__(self):
            return 10**15
    with pytest.raises(RuntimeError, match=MASK_SIZE_MISMATCH):
        tagged.update_masks(Huge())
    assert read_masks(tagged) == OLD


@pytest.mark.parametrize("mask, stored", [
    (np.int64(5), 5), (np.uint64(2**64 - 1), 2**64 - 1), (np.array(3), 3), (True, 1),
])
def test_mask_scalars_of_integer_kinds_are_taken(mask, stored):
    index = built([(0, 0)], linked=False)
    index.add_item_flat([1, 0], mask)
    assert index.hardware_flat_search([1, 0], 1, stored) == [1]


@pytest.mark.parametrize("mask", [np.int64(-1), np.array(1.5), np.float32(1), 1.0, -1, 2**64])
def test_mask_scalars_that_are_not_masks_are_type_errors(mask):
    index = built([(0, 0)], linked=False)
    for call in (lambda: index.add_item_flat([1, 0], mask),
                 lambda: index.add_item_and_link([1, 0], mask),
                 lambda: index.custom_hnsw_search([1, 0], 1, mask),
                 lambda: index.hardware_flat_search([1, 0], 1, mask)):
        with pytest.raises(TypeError):
            call()
    assert len(index) == 1


def test_file_names_that_are_not_utf8_are_shown_escaped(tmp_path):
    index = built([(0, 0)], linked=False)
    missing = bytes(tmp_path) + b"/no-such-dir/\xff\xfe.idx"
    with pytest.raises(RuntimeError, match=r"^Cannot open file for saving: .*\\xff\\xfe\.idx$"):
        index.save_index(missing)
    with pytest.raises(RuntimeError, match=r"^Cannot open file for loading: .*\\xff\\xfe\.idx$"):
        index.load_index(missing)
    name = bytes(tmp_path) + b"/\xff.idx"
    index.save_index(name)
    again = built([(5, 5)], linked=False)
    again.load_index(name)
    assert again.hardware_flat_search([0, 0], 1, 0) == [0]
