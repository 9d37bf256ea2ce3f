"""orvikdb.Index in memory: keys and their replacement, deletion through the reserved mask
bit, the conversions and refusals of its arguments, interrupted adds and compaction."""

import numpy as np
import pytest

import orvikdb
from conftest import random_vectors

ALL_MODES = [{}, {"exact": True}]


@pytest.fixture
def index(rng):
    """200 Euclidean points under keys 0, 10, ..., 1990; tag 1 on even rows, 2 on odd rows."""
    index = orvikdb.Index(8, metric="l2", M=8, seed=5)
    index.add(random_vectors(rng, 200, 8, "euclidean"), keys=np.arange(200) * 10,
              tags=1 + np.arange(200) % 2)
    return index


def every_key(index, query, tags=0, **mode):
    keys, _ = index.search(query, 1000, tags=tags, ef=1000, **mode)
    return set(keys[keys >= 0].tolist())


def state(index):
    return repr(index), len(index), every_key(index, np.zeros(8), exact=True)


def test_defaults_shapes_and_padding(rng):
    index = orvikdb.Index(3, metric="cosine")
    assert index.metric == "cosine" and (index.dimension, index.M) == (3, 16)
    index.add(rng.standard_normal((4, 3)))  # float64, converted here
    index.delete(3)
    index.add(rng.standard_normal((2, 3)))
    # Defaults continue past the largest key held, so they never replace one.
    assert sorted(every_key(index, np.ones(3), exact=True)) == [0, 1, 2, 4, 5]
    one = index.search(np.ones(3), 7)
    assert one.keys.shape == one.distances.shape == (7,)
    assert one.keys.dtype == np.int64 and one.distances.dtype == np.float32
    assert list(one.keys[5:]) == [-1, -1] and np.all(np.isinf(one.distances[5:]))
    keys, distances = index.search(np.ones((2, 3), np.float16), 2)
    assert keys.shape == distances.shape == (2, 2)


def test_replacing_a_key_deletes_its_old_vector(index):
    old = index.get_vectors(50)
    index.add(np.full(8, 40.0), keys=[50], tags=4)
    assert len(index) == 200 and "dead=1" in repr(index)
    np.testing.assert_array_equal(index.get_vectors([50]), np.full((1, 8), 40.0, np.float32))
    for mode in ALL_MODES:
        assert index.search(old, 1, **mode).keys[0] != 50
        assert index.search(np.full(8, 40.0), 1, tags=4, **mode).keys[0] == 50
    assert every_key(index, old, tags=4, exact=True) == {50}


def test_deleted_keys_never_come_back(index):
    doomed = np.arange(0, 2000, 20)  # every even row: all the vectors tagged 1
    index.delete(doomed)
    assert len(index) == 100 and 0 not in index and 10 in index
    for mode in ALL_MODES:
        assert every_key(index, np.zeros(8), **mode).isdisjoint(doomed)
        assert every_key(index, np.zeros(8), tags=1, **mode) == set()
    with pytest.raises(KeyError, match="key 0 is not in the index"):
        index.get_vectors([10, 0])


def test_a_bad_delete_deletes_nothing(index):
    before = state(index)
    with pytest.raises(KeyError, match="key 5 is not"):
        index.delete([10, 5])
    with pytest.raises(ValueError):
        index.delete(-1)
    with pytest.raises(TypeError):
        index.delete(1.0)
    assert state(index) == before


@pytest.mark.parametrize("tags", [1 << 63, np.uint64(2**64 - 1), np.full(3, 1 << 63, np.uint64)])
def test_tag_bit_63_is_refused(index, tags):
    before = state(index)
    with pytest.raises(ValueError, match="bit 63"):
        index.add(np.zeros((3, 8)), keys=[1, 2, 3], tags=tags)
    with pytest.raises(ValueError, match="bit 63"):
        index.search(np.zeros((3, 8)), 1, tags=tags)
    assert state(index) == before


@pytest.mark.parametrize("call, error", [
    (dict(vectors=[[0.0] * 8, [np.nan] + [0.0] * 7], keys=[7, 10]), ValueError),
    (dict(vectors=[[0.0] * 8, [1e300] + [0.0] * 7], keys=[7, 10]), ValueError),
    (dict(vectors=np.zeros((2, 7)), keys=[7, 10]), ValueError),
    (dict(vectors=np.zeros((2, 8), complex), keys=[7, 10]), TypeError),
    (dict(vectors=np.zeros((2, 8)), keys=[7, 7]), ValueError),
    (dict(vectors=np.zeros((2, 8)), keys=[7, -1]), ValueError),
    (dict(vectors=np.zeros((2, 8)), keys=[7, 10, 20]), ValueError),
    (dict(vectors=np.zeros((2, 8)), keys=[7.0, 10.0]), TypeError),
    (dict(vectors=np.zeros((2, 8)), keys=[7, 10], tags=[1, 2, 3]), ValueError),
    (dict(vectors=np.zeros((2, 8)), keys=[7, 10], tags=-1), ValueError),
    (dict(vectors=np.zeros((2, 8)), keys=[7, 10], tags=1.0), TypeError),
])
def test_keys_are_never_half_added(index, call, error):
    before = state(index)
    old = index.get_vectors(10)
    with pytest.raises(error):
        index.add(**call)
    assert state(index) == before and 7 not in index
    np.testing.assert_array_equal(index.get_vectors(10), old)


def test_an_interrupted_add_adds_no_key(index, monkeypatch):
    class StoppedBar:
        n = 0

        def __init__(self, **_):
            pass

        def __enter__(self):
            return self

        def __exit__(self, *_):
            return False

        def update(self, _):
            raise KeyboardInterrupt

    monkeypatch.setattr("orvikdb._progress.tqdm", StoppedBar)
    with pytest.raises(KeyboardInterrupt):
        index.add(np.zeros((5, 8)), keys=[10, 20, 7, 8, 9], progress=True)
    # Every row was stored before the last report stopped the call; none is live.
    assert len(index) == 200 and "dead=5" in repr(index) and 7 not in index
    assert every_key(index, np.zeros(8), exact=True) == set(range(0, 2000, 10))
    index.compact()
    assert "dead=0" in repr(index)


def test_progress_bar(index, capsys):
    index.add(np.zeros((3, 8)), keys=[1, 2, 3], progress=True)
    assert "adding: 100%" in capsys.readouterr().err
    index.add(np.zeros((3, 8)), keys=[4, 5, 6])
    assert capsys.readouterr().err == ""


def test_compact_keeps_answers_and_drops_the_dead(index, rng):
    index.delete(np.arange(0, 1000, 10))
    assert "compact()" in repr(index)
    queries = rng.standard_normal((20, 8))
    before = index.search(queries, 5, tags=2, exact=True)
    index.compact()
    assert "dead=0" in repr(index) and "compact()" not in repr(index) and len(index) == 100
    after = index.search(queries, 5, tags=2, exact=True)
    np.testing.assert_array_equal(after.keys, before.keys)
    np.testing.assert_array_equal(after.distances, before.distances)
    index.add(np.zeros(8), keys=0)
    assert index.search(np.zeros(8), 1).keys[0] == 0


def test_argument_refusals(index):
    with pytest.raises(ValueError, match="metric"):
        orvikdb.Index(3, metric="hyperbolic")
    with pytest.raises(ValueError, match="not both"):
        index.search(np.zeros(8), 1, exact=True, filtered=True)
    with pytest.raises(ValueError, match="shape"):
        index.search(np.zeros((2, 2, 8)), 1)
    with pytest.raises(ValueError):
        index.search(np.zeros(8), -1)
    assert "10" not in index and 10.0 not in index and np.int64(10) in index
