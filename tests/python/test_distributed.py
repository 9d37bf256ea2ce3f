"""orvikdb.distributed.ShardedIndex on a local Ray: sharded answers against one index's, replicas
killed or restarted mid-run, what a shard that comes back from its save reports lost, and the
saved directory."""

import json
import threading
import time

import numpy as np
import pytest

ray = pytest.importorskip("ray", reason="orvikdb.distributed needs Ray, the distributed extra: "
                                        "pip install '.[distributed]'")

import orvikdb  # noqa: E402
from orvikdb.distributed import LostRowsWarning, ShardedIndex  # noqa: E402
from orvikdb.distributed import _group, _manifest  # noqa: E402

DIMENSION = 16
ROWS = 2000
K = 10


@pytest.fixture(scope="module", autouse=True)
def local_ray():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield
    ray.shutdown()


def rows(count, seed):
    return np.random.default_rng(seed).standard_normal((count, DIMENSION), dtype=np.float32)


QUERIES = rows(40, 99)


def both(shards=2, replicas=1, count=ROWS, **options):
    """A sharded index and one plain index holding the same rows under the same keys."""
    sharded = ShardedIndex(DIMENSION, shards=shards, replicas=replicas, metric="euclidean",
                           **options)
    single = orvikdb.Index(DIMENSION, metric="euclidean")
    for index in (sharded, single):
        index.add(rows(count, 1), tags=np.arange(count) % 4)
    return sharded, single


def assert_same_answers(sharded, single, queries=QUERIES, **search):
    got = sharded.search(queries, K, exact=True, **search)
    want = single.search(queries, K, exact=True, **search)
    np.testing.assert_array_equal(got.keys, want.keys)
    np.testing.assert_array_equal(got.distances, want.distances)
    assert len(sharded) == len(single)


def kill(actor, restart=False):
    """Kills a replica's actor and waits until it is gone, or back empty after Ray restarted
    it: ray.kill only asks, and calls may still reach the old actor for a while."""
    ray.kill(actor, no_restart=not restart)
    for _ in range(600):
        try:
            if ray.get(actor.version.remote()) == -1:
                return
        except ray.exceptions.RayActorError as error:  # died, or restarting
            if not restart and isinstance(error, ray.exceptions.ActorDiedError):
                return
        time.sleep(0.05)
    pytest.fail(f"{actor} outlived ray.kill")


@pytest.fixture(scope="module")
def pair():
    sharded, single = both()
    yield sharded, single
    sharded.close()


@pytest.fixture
def fresh(request):
    sharded, single = both(**getattr(request, "param", {}))
    yield sharded, single
    sharded.close()


# ------------------------------------------------------------ answers


@pytest.mark.parametrize("search", [{}, {"tags": 2}, {"tags": np.arange(len(QUERIES)) % 3}],
                         ids=["plain", "one-tag", "tag-per-query"])
def test_exact_answers_equal_one_index(pair, search):
    assert_same_answers(*pair, **search)


def test_short_rows_and_single_queries_merge_like_one_index(pair):
    sharded, single = pair
    # A tight radius leaves each shard fewer than k answers: the padding must
    # sort after every real answer of the other shard.
    for k in (1, 50):
        got = sharded.search(QUERIES[0], k, exact=True, max_radius=12.0)
        want = single.search(QUERIES[0], k, exact=True, max_radius=12.0)
        assert got.keys.shape == (k,)
        np.testing.assert_array_equal(got.keys, want.keys)
        np.testing.assert_array_equal(got.distances, want.distances)
    assert -1 in got.keys and got.keys[0] != -1


def test_graph_recall_of_two_shards_keeps_up_with_one_index(pair):
    sharded, single = pair
    truth = single.search(QUERIES, K, exact=True).keys

    def recall(index):
        found = index.search(QUERIES, K, ef=12).keys
        return np.mean([len(set(a) & set(b)) / K for a, b in zip(found, truth)])

    assert recall(sharded) >= recall(single) - 0.02


# ------------------------------------------------------------ changes


def test_delete_and_replace_route_like_add(fresh):
    sharded, single = fresh
    doomed = np.arange(0, ROWS, 7)
    replaced = np.arange(3, ROWS, 11)
    for index in (sharded, single):
        index.delete(doomed)
        index.add(rows(len(replaced), 2), keys=replaced)
        index.add(rows(5, 3))  # default keys go on after the largest
    assert_same_answers(sharded, single)
    assert doomed[1] not in sharded and replaced[0] in sharded and ROWS + 4 in sharded


def test_a_refused_delete_deletes_nothing(pair):
    sharded, single = pair
    before = len(sharded)
    with pytest.raises(KeyError, match=str(10 * ROWS)):
        sharded.delete([1, 2, 10 * ROWS])
    assert len(sharded) == before and 1 in sharded
    with pytest.raises(ValueError, match="distinct"):
        sharded.add(rows(2, 4), keys=[5, 5])
    assert_same_answers(sharded, single)


def test_a_change_cut_off_on_this_side_is_kept_where_it_landed(fresh, monkeypatch):
    sharded, single = fresh
    settle = _group.ShardGroup.settle
    calls = []

    def interrupted(group, flight):
        calls.append(group.shard)
        if len(calls) == 1:
            raise KeyboardInterrupt
        return settle(group, flight)

    monkeypatch.setattr(_group.ShardGroup, "settle", interrupted)
    with pytest.raises(KeyboardInterrupt):
        sharded.add(rows(50, 5))
    # The replicas went on and took it; the next change must land on top of it,
    # not be taken for it.
    single.add(rows(50, 5))
    for index in (sharded, single):
        index.add(rows(30, 6))
    assert_same_answers(sharded, single)


# ------------------------------------------------------------ faults


@pytest.mark.parametrize("fresh", [{"replicas": 2}], indirect=True)
def test_killed_replicas_leave_searches_answering(fresh):
    sharded, single = fresh
    want = single.search(QUERIES, K, exact=True).keys
    before, after, errors = [], [], []
    running, killed = threading.Event(), threading.Event()

    def search_on():
        try:
            while len(after) < 10:
                keys = sharded.search(QUERIES, K, exact=True).keys
                (after if killed.is_set() else before).append(keys)
                running.set()
        except Exception as error:  # reported below, not lost in the thread
            errors.append(error)
        finally:
            running.set()

    searcher = threading.Thread(target=search_on)
    searcher.start()
    running.wait()
    dead = sharded.actors[0][0]
    kill(dead)  # gone for good: no restart
    killed.set()
    searcher.join()
    assert not errors
    for keys in before + after:
        np.testing.assert_array_equal(keys, want)
    # A change meanwhile replaces the dead actor with a copy of its sibling and
    # reaches both, so the sibling can die next without a loss (which would warn,
    # an error here).
    for index in (sharded, single):
        index.add(rows(20, 7))
    assert sharded.actors[0][0]._actor_id != dead._actor_id
    kill(sharded.actors[0][1], restart=True)
    assert_same_answers(sharded, single)
    assert not sharded.lost


def test_a_restarted_shard_reloads_its_save_and_reports_the_rest(fresh, tmp_path):
    sharded, single = fresh
    sharded.save(tmp_path)
    later = np.arange(ROWS, ROWS + 40)
    sharded.add(rows(40, 8), keys=later)
    sharded.delete([0, 1, 2, 3])
    kill(sharded.actors[0][0], restart=True)
    with pytest.warns(LostRowsWarning, match="shard 0 lost every replica"):
        sharded.search(QUERIES, K)
    (loss,) = sharded.lost
    gone = [k for k in later if k not in sharded]
    assert loss.shard == 0 and loss.source.startswith(str(tmp_path))
    assert 0 < len(gone) < len(later) and loss.added.tolist() == gone
    back = [k for k in range(4) if k in sharded]
    assert back and loss.undeleted.tolist() == back
    # What is left is the save for shard 0 and everything for shard 1.
    single.add(rows(40, 8), keys=later)
    single.delete([k for k in range(4) if k not in back] + gone)
    assert_same_answers(sharded, single)


def test_a_shard_never_saved_comes_back_empty_and_says_so(fresh):
    sharded, _ = fresh
    kill(sharded.actors[1][0], restart=True)
    with pytest.warns(LostRowsWarning, match="never been saved"):
        count = len(sharded)
    assert 0 < count < ROWS and len(sharded.lost[0].added) == ROWS - count


# ------------------------------------------------------------ files


def test_save_and_load_give_the_same_answers(pair, tmp_path):
    sharded, single = pair
    sharded.save(tmp_path)
    first = sorted(p.name for p in tmp_path.iterdir())
    sharded.save(tmp_path)  # the second save replaces the first one's files
    assert len(list(tmp_path.iterdir())) == len(first)
    with ShardedIndex.load(tmp_path) as loaded:
        assert_same_answers(loaded, single)
        graph = loaded.search(QUERIES, K, ef=12)
        np.testing.assert_array_equal(graph.keys, sharded.search(QUERIES, K, ef=12).keys)


def test_a_failed_save_leaves_the_previous_one(fresh, tmp_path, monkeypatch):
    sharded, single = fresh
    sharded.save(tmp_path)
    before = sorted(p.name for p in tmp_path.iterdir())
    sharded.delete([5, 6])

    def broken(directory, manifest):
        raise OSError("disk full")

    monkeypatch.setattr(_manifest, "write", broken)
    with pytest.raises(OSError, match="disk full"):
        sharded.save(tmp_path)
    assert sorted(p.name for p in tmp_path.iterdir()) == before
    with ShardedIndex.load(tmp_path) as loaded:
        assert_same_answers(loaded, single)


def test_a_manifest_that_does_not_match_its_shards_is_refused(pair, tmp_path):
    sharded, _ = pair
    sharded.save(tmp_path)
    path = tmp_path / _manifest.MANIFEST_NAME
    manifest = json.loads(path.read_text())
    manifest["rows"][0] += 1
    path.write_text(json.dumps(manifest))
    with pytest.raises(orvikdb.IndexFileError, match="shard 0's files hold"):
        ShardedIndex.load(tmp_path)
