"""The planned query: the exact count of matching nodes chooses between a scan of just them and a
walk that keeps only them; every query gets min(k, matches) answers, deletions included."""

import pickle

import numpy as np
import pytest

import orvikdb
import zelt_core

K = 10
N = 4000


def clustered(rng, n, dim=8, clusters=20):
    centres = 3 * rng.standard_normal((clusters, dim))
    label = rng.integers(0, clusters, n)
    return (centres[label] + rng.standard_normal((n, dim))).astype(np.float32), label


@pytest.fixture(scope="module")
def tagged():
    """An orvikdb index of clustered points with tags of every selectivity, and its queries.

    Bits 1 to 3 are set on 30 %, 3 % and 0.1 % of the points, bit 4 on half, bit 5 only on
    cluster 0, from which no query comes."""
    rng = np.random.default_rng(11)
    data, label = clustered(rng, N + 60)
    queries = data[N:][label[N:] != 0]
    data, label = data[:N], label[:N]
    tags = np.ones(N, np.int64)
    for bit, share in ((1, 0.3), (2, 0.03), (3, 0.001), (4, 0.5)):
        tags |= (rng.random(N) < share).astype(np.int64) << bit
    tags |= (label == 0).astype(np.int64) << 5
    index = orvikdb.Index(8, metric="l2", M=12, ef_construction=100, seed=2)
    index.add(data, tags=tags, num_threads=1)
    return index, queries, tags


def check_against_exact(index, queries, tags, ef=None):
    """Rows of min(k, matches) answers, holding at least 95 % of the exact scan's."""
    got = index.search(queries, K, tags=tags, ef=ef)
    truth = index.search(queries, K, tags=tags, exact=True)
    np.testing.assert_array_equal((got.keys >= 0).sum(1), (truth.keys >= 0).sum(1))
    found = sum(len(set(g[g >= 0]) & set(t[t >= 0])) for g, t in zip(got.keys, truth.keys))
    wanted = int((truth.keys >= 0).sum())
    assert found >= 0.95 * wanted, (tags, found, wanted)
    return wanted


@pytest.mark.parametrize("dead_share", [0.0, 0.5, 0.9])
def test_every_selectivity_and_deletion_share(tagged, dead_share):
    index, queries, tags = tagged
    if dead_share:
        index = pickle.loads(pickle.dumps(index))
        doomed = np.random.default_rng(3).permutation(N)[:int(dead_share * N)]
        index.delete(doomed)
    filters = [0, 1 << 1, 1 << 2, 1 << 3, (1 << 1) | (1 << 4), 1 << 4, 1 << 5, 1 << 6]
    wanted = [check_against_exact(index, queries, f) for f in filters]
    assert wanted[-1] == 0 and wanted[0] == K * len(queries)
    # A narrow walk is worth taking down to a lower selectivity (here about 22 %): the tags of
    # 30 and 50 % are walked, not scanned.
    for f in filters[:2] + filters[5:6]:
        check_against_exact(index, queries, f, ef=K)



def core_with(rows, masks, linked=True):
    index = zelt_core.HyperbolicIndex(rows.shape[1], metric="euclidean", seed=4)
    index.add_items(rows, masks, 100, num_threads=1, linked=linked)
    return index


def test_edges_of_the_plan(rng):
    rows, _ = clustered(rng, 600)
    masks = np.full(600, 1, np.uint64)
    masks[[5, 50, 500]] |= 2  # three nodes tagged 2
    masks[7] |= 4
    index = core_with(rows, masks)
    queries = rows[::40]

    def planned(filter_mask, k=K, **args):
        return index.search(queries, k, filter_mask, mode="planned", num_threads=1, **args)

    # No match: every row padded; exactly three matches: all three, as the scan orders them.
    ids, distances = planned(8)
    assert np.all(ids == -1) and np.all(np.isinf(distances))
    for k in (3, K):
        ids, _ = planned(2, k)
        exact, _ = index.search(queries, k, 2, mode="exact")
        np.testing.assert_array_equal(ids, exact)
        assert np.all(np.sort(ids[:, :3], axis=1) == [5, 50, 500])
    # Everything matches: the plain walk's answer and distances, bit for bit.
    for f in (0, 1):
        got = planned(f, ef_search=30)
        walk = index.search(queries, K, f, ef_search=30, mode="graph")
        np.testing.assert_array_equal(got[0], walk[0])
        np.testing.assert_array_equal(got[1], walk[1])
    # Distances are compute_distance's; a match the walk never meets is still found (bit 2: one
    # node, which may lie anywhere).
    ids, distances = planned(4, 1)
    assert np.all(ids[:, 0] == 7)
    assert [index.compute_distance(q, 7) for q in queries] == distances[:, 0].tolist()
    assert planned(1, 0)[0].shape == (len(queries), 0)


def test_tiny_and_flat_indexes(rng):
    one = core_with(rng.standard_normal((1, 3)).astype(np.float32), np.array([6], np.uint64))
    q = np.zeros((2, 3), np.float32)
    for f, expected in ((0, 0), (2, 0), (6, 0), (1, -1)):
        assert one.search(q, 2, f, mode="planned")[0].tolist() == [[expected, -1]] * 2
    # Without a graph the plan can only scan, and it does.
    rows = rng.standard_normal((100, 3)).astype(np.float32)
    flat = core_with(rows, np.arange(100, dtype=np.uint64) % 3, linked=False)
    for f in (0, 1, 2):
        np.testing.assert_array_equal(flat.search(rows[:5], 4, f, mode="planned")[0],
                                      flat.search(rows[:5], 4, f, mode="exact")[0])


def test_deleting_everything_and_the_retired_filtered_mode(rng):
    index = orvikdb.Index(4, metric="cosine", seed=1)
    rows = rng.standard_normal((300, 4))
    index.add(rows, tags=np.arange(300) % 2)
    plain = index.search(rows[:20], 5, tags=1)
    with pytest.warns(DeprecationWarning, match="applies tags and deletions exactly"):
        retired = index.search(rows[:20], 5, tags=1, filtered=True)
    np.testing.assert_array_equal(retired.keys, plain.keys)
    assert np.all(plain.keys % 2 == 1)
    index.delete(np.arange(300))
    assert np.all(index.search(rows[:20], 5).keys == -1)
    index.add(rows[:1], keys=[7])
    assert index.search(rows[:3], 5).keys[:, 0].tolist() == [7, 7, 7]
