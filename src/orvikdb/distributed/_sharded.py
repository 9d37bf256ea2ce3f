"""ShardedIndex: orvikdb indexes spread over Ray actors, one shard per key range of a hash.

Every key lives in exactly one shard (see _routing); a shard is held by R
replica actors that take the same changes in the same order. Changes go
through one lock on the caller's side and wait for every replica, so the
order is the caller's; searches take no lock and ask one replica of every
shard at once.
"""

import functools
import itertools
import operator
import os
import secrets
import threading
import warnings
from collections.abc import Callable
from pathlib import Path
from types import TracebackType
from typing import Any, Self

import numpy as np
import numpy.typing as npt
import ray

from orvikdb._keys import as_keys, new_keys
from orvikdb._result import SearchResult
from orvikdb._rows import as_rows
from orvikdb._sidecar import IndexFileError
from orvikdb._tags import LIVE_BIT, tag_masks
from orvikdb.index import warn_filtered_retired
from orvikdb.distributed import _manifest
from orvikdb.distributed._group import ShardGroup, ShardUnavailableError, ask_each, fetch
from orvikdb.distributed._losses import Journal, LostRowsWarning, ShardLoss
from orvikdb.distributed._merge import Part, merge
from orvikdb.distributed._replica import ActorOptions, ShardSettings, spawn
from orvikdb.distributed._routing import split
from orvikdb.index import Metric

#: How long new actors may take to start before the cluster is deemed too small for them.
START_TIMEOUT_SECONDS = 300.0

Calls = dict[int, tuple[str, tuple[Any, ...]]]


def connect(address: str | None) -> None:
    """Joins Ray: the instance this process already joined, else the cluster at address
    ("auto", "ray://host:10001", ...), else a new local instance without a dashboard."""
    if ray.is_initialized():
        return
    if address is None:
        ray.init(include_dashboard=False)
    else:
        ray.init(address=address)


def _actor_options(num_cpus: float | None, max_concurrency: int,
                   max_restarts: int) -> ActorOptions:
    # Ray takes fractions of one CPU, or whole CPUs.
    whole = num_cpus is not None and num_cpus > 1 and float(num_cpus).is_integer()
    if num_cpus is not None and not (0 <= num_cpus <= 1 or whole):
        raise ValueError(f"num_cpus must be from 0 to 1 or a whole number, got {num_cpus!r}")
    return ActorOptions(num_cpus, _count(max_concurrency, "max_concurrency"),
                        operator.index(max_restarts))


def _count(value: int, name: str) -> int:
    number = operator.index(value)
    if number < 1:
        raise ValueError(f"{name} must be at least 1, got {number}")
    return number


class ShardedIndex:
    """An orvikdb.Index split by key over `shards` shards, each held by `replicas` Ray actors.

    dimension, metric, M and ef_construction are orvikdb.Index's, for every
    shard. address: the Ray cluster to join when this process has not joined
    one yet (None starts a local one; "auto" finds the local node's cluster;
    "ray://host:10001" goes through Ray Client). num_cpus: the CPUs each
    actor reserves (by default none: Ray then places it on any node with CPUs,
    and the replicas share them with whatever else runs there).
    max_concurrency: the searches one replica runs at once. max_restarts:
    how often Ray restarts a replica's actor after it fails.

    A replica that restarts is brought back from an in-step sibling; a shard
    that has none left starts over from its last save, and what changed
    after that is reported as lost (a LostRowsWarning, and `lost`).
    """

    def __init__(self, dimension: int, shards: int = 2, replicas: int = 1,
                 metric: Metric = "poincare", M: int = 16, ef_construction: int = 200,
                 address: str | None = None, *, num_cpus: float | None = None,
                 max_concurrency: int = 4, max_restarts: int = 4) -> None:
        settings = ShardSettings(dimension, metric, M, ef_construction)
        probe = settings.new_index()  # bad settings fail here, before any actor starts
        settings = ShardSettings(probe.dimension, probe.metric, probe.M, probe.ef_construction)
        shards, replicas = _count(shards, "shards"), _count(replicas, "replicas")
        options = _actor_options(num_cpus, max_concurrency, max_restarts)
        connect(address)
        self._start(settings, options, replicas, [None] * shards, next_key=0)

    def _start(self, settings: ShardSettings, options: ActorOptions, replicas: int,
               saved: list[str | None], next_key: int) -> None:
        self._settings = settings
        self._next_key = next_key
        self._lock = threading.RLock()
        self._journal = Journal(len(saved))
        self._lost: list[ShardLoss] = []
        self._closed = False
        handles = [[spawn(settings, options) for _ in range(replicas)] for _ in saved]
        refs = [h.start.remote(path, 0) for path, row in zip(saved, handles) for h in row]
        respawn = functools.partial(spawn, settings, options)
        versions = itertools.count(1)
        self._groups = [ShardGroup(s, row, 0, path, respawn, versions)
                        for s, (path, row) in enumerate(zip(saved, handles))]
        try:
            _, waiting = ray.wait(refs, num_returns=len(refs), timeout=START_TIMEOUT_SECONDS)
            if waiting:
                raise RuntimeError(f"the Ray cluster did not start {len(waiting)} of "
                                   f"{len(refs)} actors within {START_TIMEOUT_SECONDS:.0f} s "
                                   f"(num_cpus={options.num_cpus} each); give it more CPUs "
                                   "or ask for fewer")
            for ref in refs:
                fetch(ref)
        except BaseException:
            self.close()
            raise

    # ------------------------------------------------------------ settings

    @property
    def dimension(self) -> int:
        """The length of every vector."""
        return self._settings.dimension

    @property
    def metric(self) -> Metric:
        """"poincare", "euclidean" or "cosine"."""
        return self._settings.metric

    @property
    def M(self) -> int:
        """The links per node and layer of every shard's graph."""
        return self._settings.M

    @property
    def ef_construction(self) -> int:
        """The candidate list of every insertion."""
        return self._settings.ef_construction

    @property
    def shards(self) -> int:
        """The number of shards."""
        return len(self._groups)

    @property
    def replicas(self) -> int:
        """The number of replicas of every shard."""
        return len(self._groups[0].handles)

    @property
    def actors(self) -> list[list[Any]]:
        """The replicas' Ray actor handles: actors[shard][replica]."""
        return [list(group.handles) for group in self._groups]

    @property
    def lost(self) -> list[ShardLoss]:
        """Every loss so far: the changes shards lost when they had to start over from
        their last save, oldest first."""
        return list(self._lost)

    def __repr__(self) -> str:
        return (f"<orvikdb.distributed.ShardedIndex metric={self.metric!r} "
                f"dimension={self.dimension} shards={self.shards} replicas={self.replicas}"
                f"{' closed' if self._closed else ''}>")

    # ------------------------------------------------------------- contents

    def __len__(self) -> int:
        """The number of live vectors over all shards."""
        answers = self._ask({s: ("count", ()) for s in range(self.shards)})
        return sum(answers.values())

    def __contains__(self, key: object) -> bool:
        """Whether a live vector has this key."""
        try:
            keys = as_keys(operator.index(key))  # type: ignore[arg-type]
        except (TypeError, ValueError):
            return False
        return not len(self._missing(keys))

    def _missing(self, keys: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        """Those of the keys that are not live, ascending."""
        calls: Calls = {s: ("missing", (keys[positions],))
                        for s, positions in enumerate(split(keys, self.shards))
                        if len(positions)}
        absent = list(self._ask(calls).values())
        return np.sort(np.concatenate(absent)) if absent else keys[:0]

    # ------------------------------------------------------------- changes

    def add(self, vectors: npt.ArrayLike, keys: npt.ArrayLike | None = None,
            tags: npt.ArrayLike = 0, *, num_threads: int = 0) -> None:
        """Adds the rows of an (n, dimension) array (or one 1-d vector), as orvikdb.Index.add.

        Every row goes to the shard that owns its key, and each shard takes its
        rows with one batch insertion on each of its replicas. keys: n distinct
        int64 keys from 0 on, by default consecutive from one past the largest
        key ever added; a key already present is replaced. tags: one int or n
        ints of tag bits 0 to 62. num_threads: each replica's threads (0 for
        all its cores). Bad input raises before any shard changes. Unlike
        orvikdb.Index.add, an add cut off on this side (Ctrl-C) goes on in the
        replicas it reached, and the next call keeps it there.
        """
        rows, _ = as_rows(vectors, self.dimension)
        masks = tag_masks(tags, len(rows)) & ~LIVE_BIT
        with self._lock:
            self._check_open()
            fresh = new_keys(keys, len(rows), self._next_key)
            if not len(fresh):
                return
            self._next_key = max(self._next_key, int(fresh.max()) + 1)
            self._heal()
            parts = {s: positions for s, positions in enumerate(split(fresh, self.shards))
                     if len(positions)}
            batches = {s: ray.put((rows[p], fresh[p], masks[p])) for s, p in parts.items()}
            self._change({s: ("add", (batches[s], num_threads)) for s in parts},
                         lambda s: self._journal.added(s, fresh[parts[s]]))

    def delete(self, keys: npt.ArrayLike) -> None:
        """Deletes the vectors of these keys (one int or a sequence). KeyError, and nothing
        deleted in any shard, if a key is not in the index."""
        doomed = np.unique(as_keys(keys))
        with self._lock:
            self._check_open()
            self._heal()
            absent = self._missing(doomed)
            if len(absent):
                raise KeyError(f"key {int(absent[0])} is not in the index")
            parts = {s: doomed[p] for s, p in enumerate(split(doomed, self.shards)) if len(p)}
            self._change({s: ("delete", (part,)) for s, part in parts.items()},
                         lambda s: self._journal.deleted(s, parts[s]))

    def _change(self, calls: Calls, note: Callable[[int], None]) -> None:
        """Makes a change on every in-step replica of the shards in calls; a shard none of
        whose replicas took it is healed, or starts over from its last save (the loss
        reported), and is sent the change once more. note(shard) records the change for
        every shard that took it."""
        done: set[int] = set()

        def took(shard: int) -> None:
            note(shard)
            done.add(shard)

        self._send(calls, took)
        if len(done) < len(calls):
            self._restore([s for s in calls if s not in done])
            self._send({s: calls[s] for s in calls if s not in done}, took)
        failed = [s for s in calls if s not in done]
        if failed:
            raise ShardUnavailableError(f"shards {failed} did not take the change: their "
                                        "replicas keep failing; the other shards took it")

    def _send(self, calls: Calls, took: Callable[[int], None]) -> None:
        flights = {s: self._groups[s].submit(method, *args, took=functools.partial(took, s))
                   for s, (method, args) in calls.items()}
        error = None
        for shard, flight in flights.items():
            try:
                self._groups[shard].settle(flight)
            except Exception as raised:  # every shard settles before it propagates
                error = error or raised
        if error is not None:
            raise error

    # ------------------------------------------------------------ searching

    def search(self, queries: npt.ArrayLike, k: int, tags: npt.ArrayLike = 0,
               ef: int | None = None, exact: bool = False, filtered: bool = False,
               max_radius: float | None = None, num_threads: int = 0) -> SearchResult:
        """The k nearest live vectors of every query row (or of one 1-d query), with the
        arguments and the answer of orvikdb.Index.search.

        The queries go into Ray's object store once and to one replica of every
        shard (round robin over the replicas, and on to the next one where a
        replica fails); the shards' k nearest are merged by distance. With
        exact=True the answer is exactly that of one index holding every row.
        """
        if exact and filtered:
            raise ValueError("choose exact=True or filtered=True, not both")
        if filtered:
            warn_filtered_retired()
        rows, single = as_rows(queries, self.dimension, "queries")
        count = operator.index(k)
        if count < 0:
            raise ValueError(f"k must not be negative, got {count}")
        options = {"tags": tag_masks(tags, len(rows)) & ~LIVE_BIT, "ef": ef, "exact": exact,
                   "max_radius": max_radius, "num_threads": num_threads}
        shared = ray.put(rows)
        answers: dict[int, Part] = self._ask({s: ("search", (shared, count, options))
                                              for s in range(self.shards)})
        keys, distances = merge([answers[s] for s in range(self.shards)], count)
        return SearchResult(keys[0], distances[0]) if single else SearchResult(keys, distances)

    def _ask(self, calls: Calls) -> dict[int, Any]:
        """One in-step replica's answer for each shard in calls; a shard that has none left
        starts over from its last save (the loss reported) and is asked again."""
        self._check_open()
        answers, unanswered = ask_each(self._groups, calls)
        if unanswered:
            with self._lock:
                self._restore(unanswered)
            more, unanswered = ask_each(self._groups, {s: calls[s] for s in unanswered})
            if unanswered:
                raise ShardUnavailableError(f"no replica of shards {unanswered} answers")
            answers.update(more)
        return answers

    # -------------------------------------------------------------- faults

    def heal(self) -> None:
        """Brings replicas that restarted or missed a change back in step now (changes and
        saves do it first anyway): from an in-step sibling where the shard has one, else
        from the shard's last save, with the loss reported."""
        with self._lock:
            self._check_open()
            self._heal()

    def _heal(self) -> None:
        self._restore([g.shard for g in self._groups if g.needs_healing])

    def _restore(self, shards: list[int]) -> None:
        """Heals the shards; those with no in-step replica left start over from their last
        save, and what they lose is reported."""
        with self._lock:
            for shard in shards:
                group = self._groups[shard]
                if group.heal():
                    continue
                added, deleted = self._journal.changes(shard)
                group.restore()
                self._journal.forget(shard)
                back = np.setdiff1d(deleted, self._missing(deleted)) if len(deleted) else deleted
                self._report(ShardLoss(shard, added, back, group.saved))

    def _report(self, loss: ShardLoss) -> None:
        self._lost.append(loss)
        warnings.warn(str(loss), LostRowsWarning, stacklevel=2)

    # ---------------------------------------------------------------- files

    def save(self, directory: str | os.PathLike[str]) -> None:
        """Saves every shard into directory (made if missing) through orvikdb.Index.save, one
        replica each, then the manifest; a load needs nothing else.

        The directory must be seen at the same path by this process and by every
        node that runs a replica (one machine, or a shared file system). Each save
        writes its shard files under new names and the manifest last, so an
        interrupted save leaves the previous one whole; the files that the
        previous manifest named are removed after. From now on a shard that
        loses every replica starts over from these files.
        """
        path = Path(os.path.abspath(directory))
        with self._lock:
            self._check_open()
            self._heal()
            path.mkdir(parents=True, exist_ok=True)
            before = self._saved_files(path)
            token = secrets.token_hex(6)
            names = [f"shard-{s:04d}-{token}.idx" for s in range(self.shards)]
            try:
                answers = self._ask({s: ("save", (str(path / names[s]),))
                                     for s in range(self.shards)})
                _manifest.write(path, _manifest.Manifest(
                    shards=self.shards, replicas=self.replicas, dimension=self.dimension,
                    metric=self.metric, M=self.M, ef_construction=self.ef_construction,
                    next_key=self._next_key, files=tuple(names),
                    rows=tuple(answers[s] for s in range(self.shards))))
            except BaseException:
                if self._saved_files(path) != tuple(names):
                    # No manifest names them: the previous save stands without them.
                    for leftover in path.glob(f"*-{token}.idx*"):
                        leftover.unlink(missing_ok=True)
                raise
            for shard, group in enumerate(self._groups):
                group.saved = str(path / names[shard])
                self._journal.forget(shard)
            for name in sorted(set(before) - set(names)):
                for stale in (path / name, path / (name + ".orvikdb")):
                    stale.unlink(missing_ok=True)

    @staticmethod
    def _saved_files(directory: Path) -> tuple[str, ...]:
        try:
            return _manifest.read(directory).files
        except IndexFileError:
            return ()

    @classmethod
    def load(cls, directory: str | os.PathLike[str], address: str | None = None, *,
             num_cpus: float | None = None, max_concurrency: int = 4,
             max_restarts: int = 4) -> Self:
        """The sharded index saved in directory, on new actors that each load their own
        shard's files; the other arguments are the constructor's.

        IndexFileError for a manifest or a shard's files that are missing,
        damaged or do not agree with each other.
        """
        path = Path(os.path.abspath(directory))
        manifest = _manifest.read(path)
        options = _actor_options(num_cpus, max_concurrency, max_restarts)
        connect(address)
        settings = ShardSettings(manifest.dimension, manifest.metric, manifest.M,
                                 manifest.ef_construction)
        index = cls.__new__(cls)
        index._start(settings, options, manifest.replicas,
                     [str(path / name) for name in manifest.files], manifest.next_key)
        index._check_rows(path, manifest.rows)
        return index

    def _check_rows(self, path: Path, rows: tuple[int, ...]) -> None:
        counts = self._ask({s: ("count", ()) for s in range(self.shards)})
        wrong = [s for s in range(self.shards) if counts[s] != rows[s]]
        if wrong:
            self.close()
            shard = wrong[0]
            raise IndexFileError(f"{path}: shard {shard}'s files hold {counts[shard]} rows but "
                                 f"the manifest says {rows[shard]}")

    # ------------------------------------------------------------ lifetime

    def close(self) -> None:
        """Stops every replica's actor; the index cannot be used after."""
        self._closed = True
        for group in self._groups:
            for handle in group.handles:
                ray.kill(handle, no_restart=True)

    def _check_open(self) -> None:
        if self._closed:
            raise RuntimeError("this ShardedIndex is closed")

    def __enter__(self) -> Self:
        """The index itself; leaving the block closes it."""
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        """Closes the index."""
        self.close()
