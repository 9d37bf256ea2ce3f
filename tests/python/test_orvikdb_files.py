"""orvikdb's files: the index file and its sidecar save, load and pickle to equal answers;
a sidecar that is damaged or belongs to another file is refused; an interrupted save leaves
the old pair or the new one."""

import dataclasses
import os
import pickle

import numpy as np
import pytest

import orvikdb
import zelt_core
from conftest import METRICS, random_vectors
from orvikdb import _saving, _sidecar
from orvikdb._saving import sidecar_path

QUERIES = np.random.default_rng(1).standard_normal((30, 6)) * 0.1


def made(rng, metric="poincare", n=300):
    index = orvikdb.Index(6, metric=metric, M=6, ef_construction=80, seed=2)
    index.add(random_vectors(rng, n, 6, metric), keys=np.arange(n) * 3 + 1,
              tags=np.arange(n) % 4)
    index.add(np.zeros((2, 6)), keys=[4, 7])  # replaces two keys
    index.delete([10, 13, 16])
    return index


def answers(index):
    return [index.search(QUERIES, 8, tags=tags, **mode)
            for tags in (0, 2) for mode in ({}, {"ef": 10}, {"exact": True})]


def assert_same(a, b):
    assert repr(a) == repr(b) and len(a) == len(b)
    assert (a.metric, a.dimension, a.M, a.ef_construction) == (
        b.metric, b.dimension, b.M, b.ef_construction)
    for x, y in zip(answers(a), answers(b)):
        np.testing.assert_array_equal(x.keys, y.keys)
        np.testing.assert_array_equal(x.distances, y.distances)


@pytest.mark.parametrize("metric", METRICS)
def test_save_load_and_pickle_answer_alike(metric, rng, tmp_path):
    index = made(rng, metric)
    index.save(tmp_path / "a.idx")
    assert sorted(os.listdir(tmp_path)) == ["a.idx", "a.idx.orvikdb"]
    loaded = orvikdb.Index.load(str(tmp_path / "a.idx"))
    assert_same(loaded, index)
    assert_same(pickle.loads(pickle.dumps(index)), index)
    # The loaded index goes on like the original, replacement and deletion included (exact
    # answers only: the level generator's state is not saved, so new links may differ).
    for copy in (index, loaded):
        copy.add(np.full(6, 0.01), keys=1)
        copy.delete(19)
    assert repr(loaded) == repr(index)
    exact = [i.search(QUERIES, 8, exact=True) for i in (index, loaded)]
    np.testing.assert_array_equal(exact[0].keys, exact[1].keys)


def test_saving_over_a_pair_replaces_both(rng, tmp_path):
    path = tmp_path / "a.idx"
    made(rng).save(path)
    other = orvikdb.Index(6, metric="cosine")
    other.add([[1.0] * 6], keys=[99])
    other.save(path)
    assert_same(orvikdb.Index.load(path), other)


@pytest.fixture
def pair(rng, tmp_path):
    """A saved pair, a second one beside it, and the first one loaded."""
    made(rng).save(tmp_path / "a.idx")
    made(rng, n=100).save(tmp_path / "b.idx")
    return tmp_path / "a.idx", orvikdb.Index.load(tmp_path / "a.idx")


def damage(path, at, data=b"\xff"):
    raw = bytearray(path.read_bytes())
    raw[at:at + len(data)] = data
    path.write_bytes(bytes(raw))


@pytest.mark.parametrize("harm, match", [
    (lambda d: os.replace(d / "b.idx.orvikdb", d / "a.idx.orvikdb"), "does not belong to"),
    (lambda d: damage(d / "a.idx", 40), "does not belong to"),
    (lambda d: damage(d / "a.idx.orvikdb", 60), "checksum"),
    (lambda d: damage(d / "a.idx.orvikdb", 8, b"\x02"), "format version 2"),
    (lambda d: damage(d / "a.idx.orvikdb", 0, b"x"), "not an orvikdb sidecar"),
    (lambda d: (d / "a.idx.orvikdb").write_bytes(b""), "not an orvikdb sidecar"),
    (lambda d: (d / "a.idx.orvikdb").unlink(), "has no sidecar"),
])
def test_a_sidecar_that_does_not_fit_is_refused(pair, rng, harm, match):
    path, loaded = pair
    before = answers(loaded)
    harm(path.parent)
    with pytest.raises(orvikdb.IndexFileError, match=match) as error:
        orvikdb.Index.load(path)
    assert "a.idx" in str(error.value)
    if match == "does not belong to":
        assert f"{path}.orvikdb" in str(error.value) and f"{path} " in str(error.value)
    for x, y in zip(answers(loaded), before):
        np.testing.assert_array_equal(x.keys, y.keys)


def test_missing_files_and_damaged_pickles(tmp_path, rng):
    index = made(rng)
    for call, path in [(orvikdb.Index.load, tmp_path / "none.idx"),
                       (index.save, tmp_path / "no-such-directory" / "a.idx")]:
        with pytest.raises(FileNotFoundError) as error:
            call(str(path))
        assert error.value.filename == str(path)
    assert os.listdir(tmp_path) == []
    index.save(tmp_path / "a.idx")
    (tmp_path / "a.idx").unlink()
    with pytest.raises(FileNotFoundError) as error:
        orvikdb.Index.load(str(tmp_path / "a.idx"))
    assert error.value.filename == str(tmp_path / "a.idx")
    state = made(rng).__getstate__()
    state["sidecar"] = state["sidecar"][:-1]
    with pytest.raises(orvikdb.IndexFileError, match="checksum"):
        orvikdb.Index.__new__(orvikdb.Index).__setstate__(state)


def test_a_sidecar_whose_live_keys_repeat_is_refused(rng, tmp_path):
    path = tmp_path / "a.idx"
    made(rng).save(path)
    side = _sidecar.decode(sidecar_path(path).read_bytes(), "")
    keys = side.node_keys.copy()
    first, second = np.setdiff1d(np.arange(len(keys)), side.dead)[:2]
    keys[second] = keys[first]
    sidecar_path(path).write_bytes(_sidecar.encode(dataclasses.replace(side, node_keys=keys)))
    with pytest.raises(orvikdb.IndexFileError, match="not distinct"):
        orvikdb.Index.load(path)


class Crash(Exception):
    pass


def crashing_save(index, path, monkeypatch, crash_at):
    """Saves with the crash_at-th rename failing: the sidecar's (the moment a save takes
    effect) is the first, the index file's the second."""
    renames, real_replace = [], os.replace

    def replace(src, dst):
        renames.append(dst)
        if len(renames) == crash_at:
            raise Crash
        real_replace(src, dst)

    with monkeypatch.context() as patch:
        patch.setattr(_saving.os, "replace", replace)
        with pytest.raises(Crash):
            index.save(path)


@pytest.mark.parametrize("crash_at, survivor", [(1, "old"), (2, "new")])
def test_an_interrupted_save_leaves_one_whole_pair(rng, tmp_path, monkeypatch, crash_at,
                                                   survivor):
    path = tmp_path / "a.idx"
    old, new = made(rng, n=50), made(rng, n=80)
    old.save(path)
    crashing_save(new, path, monkeypatch, crash_at)
    assert_same(orvikdb.Index.load(path), old if survivor == "old" else new)
    # After the sidecar's rename, loading finished the save; before it, the staged file is
    # left for the next save to overwrite.
    staged = [".a.idx.orvikdb-staged"] if survivor == "old" else []
    assert sorted(p.name for p in tmp_path.iterdir()) == staged + ["a.idx", "a.idx.orvikdb"]


def test_a_save_after_an_interrupted_one_keeps_the_pair_that_took_effect(rng, tmp_path,
                                                                        monkeypatch):
    path = tmp_path / "a.idx"
    made(rng, n=50).save(path)
    second = made(rng, n=80)
    crashing_save(second, path, monkeypatch, 2)
    # The next save first finishes the rename the second one left (its first rename), so
    # that its own staged file cannot overwrite the index the sidecar names; it then fails
    # at its sidecar's rename.
    crashing_save(made(rng, n=90), path, monkeypatch, 2)
    assert_same(orvikdb.Index.load(path), second)



def test_a_sidecar_of_another_save_of_the_same_size_is_refused(rng, tmp_path):
    index = made(rng)
    index.save(tmp_path / "a.idx")
    index.set_tags(1, 3)  # the same file but for one mask
    index.save(tmp_path / "b.idx")
    assert (tmp_path / "a.idx").stat().st_size == (tmp_path / "b.idx").stat().st_size
    os.replace(tmp_path / "b.idx.orvikdb", tmp_path / "a.idx.orvikdb")
    with pytest.raises(orvikdb.IndexFileError, match="does not belong to"):
        orvikdb.Index.load(tmp_path / "a.idx")


def test_sidecars_naming_the_file_by_sha256_still_load(rng, tmp_path):
    import hashlib
    path, index = tmp_path / "a.idx", made(rng)
    index.save(path)
    side = _sidecar.decode(sidecar_path(path).read_bytes(), "")
    assert side.index_sha256 is None
    assert side.index_crc32c == zelt_core.HyperbolicIndex.file_checksum(str(path))
    digest = hashlib.sha256(path.read_bytes()).hexdigest()
    for sha256, fits in [(digest, True), ("0" * 64, False)]:
        old = dataclasses.replace(side, index_sha256=sha256, index_crc32c=None)
        sidecar_path(path).write_bytes(_sidecar.encode(old))
        assert b"index_crc32c" not in sidecar_path(path).read_bytes()
        if fits:
            assert_same(orvikdb.Index.load(path), index)
        else:
            with pytest.raises(orvikdb.IndexFileError, match="does not belong to"):
                orvikdb.Index.load(path)


def test_the_core_reports_the_checksum_of_what_it_saves_and_loads(rng, tmp_path):
    core = made(rng)._store.core
    path = str(tmp_path / "a.idx")
    assert core.save_index(path) is None and core.load_index(path) is None
    saved = core.save_index(path, checksum=True)
    assert saved == core.load_index(path, checksum=True) == core.file_checksum(path)
    with pytest.raises(RuntimeError, match="Cannot open file for loading"):
        core.file_checksum(str(tmp_path / "none"))
