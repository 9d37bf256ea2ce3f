"""One replica of one shard: the body of the Ray actor that holds an orvikdb.Index.

The caller keeps, for every shard, a version: a number that names the shard's
contents, new for every change and never used twice (a count would give two
different contents the same number when a change is cut off half-way and the
next one is sent). A replica holds the version of what it holds, and every
answer carries it, so the caller can tell a replica that is in step from one
that restarted (Ray runs __init__ again, which holds nothing the caller
vouched for: UNASSIGNED) or missed a change. A change names the version it
applies to and the version it makes, and a replica at any other version
ignores it, so a replica never takes a change on top of the wrong contents.

Actors are threaded: the core releases the interpreter lock, so one replica
serves several searches at once. Changes come from one caller, one at a time.
"""

import pickle
import threading
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import ray

from orvikdb.distributed._merge import Part
from orvikdb.index import Index, Metric

#: The version of a replica that holds nothing the caller put there.
UNASSIGNED = -1

Batch = tuple[npt.NDArray[np.float32], npt.NDArray[np.int64], npt.NDArray[np.uint64]]


@dataclass(frozen=True)
class ShardSettings:
    """What every shard's index is made with."""

    dimension: int
    metric: Metric
    M: int
    ef_construction: int

    def new_index(self) -> Index:
        """An empty index with these settings."""
        return Index(self.dimension, metric=self.metric, M=self.M,
                     ef_construction=self.ef_construction)


@dataclass(frozen=True)
class ActorOptions:
    """How the replicas' actors are placed and restarted."""

    num_cpus: float | None
    max_concurrency: int
    max_restarts: int


class Replica:
    """The state of one replica's actor: its shard's index and that index's version."""

    def __init__(self, settings: ShardSettings) -> None:
        self._settings = settings
        self._index = settings.new_index()
        self._version = UNASSIGNED
        # The actor runs calls on several threads: a change's check of the version and
        # its work must be one step, or two changes sent on top of the same version
        # (the second after the caller stopped waiting for the first) would both land.
        # Searches do not take it.
        self._changing = threading.Lock()

    def version(self) -> int:
        """The version of the shard this replica holds."""
        return self._version

    def start(self, path: str | None, version: int) -> int:
        """Starts over with the shard saved at path (empty for None) as this version."""
        index = Index.load(path) if path is not None else self._settings.new_index()
        with self._changing:
            self._index, self._version = index, version
        return version

    def snapshot(self) -> tuple[int, bytes]:
        """The version and the pickled index, for a sibling to adopt."""
        with self._changing:
            return self._version, pickle.dumps(self._index)

    def adopt(self, expected: int, snapshot: tuple[int, bytes]) -> int:
        """Takes a sibling's snapshot if it is of the expected version; returns the version held."""
        version, data = snapshot
        if version == expected:
            index = pickle.loads(data)
            with self._changing:
                self._index, self._version = index, version
        return self._version

    def add(self, expected: int, version: int, batch: Batch, num_threads: int) -> int:
        """Adds a batch of checked rows on top of the expected version, making the given one;
        returns the version held."""
        with self._changing:
            if self._version == expected:
                rows, keys, tags = batch
                self._index.add(rows, keys, tags, num_threads=num_threads)
                self._version = version
            return self._version

    def delete(self, expected: int, version: int, keys: npt.NDArray[np.int64]) -> int:
        """Deletes those of the keys that are present on top of the expected version, making
        the given one; returns the version held.

        The caller checked the keys against an in-step replica; a delete sent again after
        the shard came back from its last save may name keys that the save never had.
        """
        with self._changing:
            if self._version == expected:
                index = self._index
                index.delete(np.array([k for k in keys.tolist() if k in index], dtype=np.int64))
                self._version = version
            return self._version

    def search(self, queries: npt.NDArray[np.float32], k: int,
               options: dict[str, Any]) -> tuple[int, Part]:
        """The version, and orvikdb.Index.search's keys and distances for (n, dimension) rows."""
        version = self._version
        keys, distances = self._index.search(queries, k, **options)
        return version, (keys, distances)

    def count(self) -> tuple[int, int]:
        """The version and the number of live rows."""
        version = self._version
        return version, len(self._index)

    def missing(self, keys: npt.NDArray[np.int64]) -> tuple[int, npt.NDArray[np.int64]]:
        """The version and those of the keys that are not live here."""
        version, index = self._version, self._index
        absent = [key for key in keys.tolist() if key not in index]
        return version, np.array(absent, dtype=np.int64)

    def save(self, path: str) -> tuple[int, int]:
        """Saves the index to path (with its sidecar); the version and live rows saved."""
        with self._changing:
            self._index.save(path)
            return self._version, len(self._index)


_Actor: Any = ray.remote(Replica)


def spawn(settings: ShardSettings, options: ActorOptions) -> Any:
    """A new replica actor (UNASSIGNED until the caller starts it).

    Ray restarts it up to max_restarts times after a failure, but retries no
    call on the restarted actor (max_task_retries=0): a change replayed there
    would land on the wrong contents, so the caller retries on a sibling or
    brings the replica back in step itself. SPREAD places the replicas on as
    many nodes as the cluster has.
    """
    return _Actor.options(num_cpus=options.num_cpus, max_concurrency=options.max_concurrency,
                          max_restarts=options.max_restarts, max_task_retries=0,
                          scheduling_strategy="SPREAD").remote(settings)
