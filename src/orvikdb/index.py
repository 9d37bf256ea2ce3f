"""orvikdb.Index: the core's index with the caller's keys, deletion and self-describing files."""

import operator
import os
import tempfile
import threading
import warnings
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, Self, cast, overload

import numpy as np
import numpy.typing as npt

import zelt_core

from orvikdb._ball import Ball, checked_curvature
from orvikdb._keys import KeyTable, as_keys
from orvikdb._progress import progress_bar
from orvikdb._result import SearchResult
from orvikdb._rows import as_rows
from orvikdb._saving import load_pair, save_pair, sidecar_path
from orvikdb._sidecar import IndexFileError, Sidecar, encode
from orvikdb._tags import LIVE_BIT, tag_masks
from orvikdb._unlinked import Unlinked, merged

if TYPE_CHECKING:
    from orvikdb._durable import DurableIndex

#: The metric names Index takes; "l2" is another name for "euclidean".
Metric = Literal["poincare", "euclidean", "l2", "cosine"]
_METRIC_NAMES = {"poincare": "poincare", "euclidean": "euclidean", "l2": "euclidean",
                 "cosine": "cosine"}
_NO_KEYS = np.zeros(0, dtype=np.int64)


def warn_filtered_retired(stacklevel: int = 3) -> None:
    """The DeprecationWarning of search(filtered=True), which does what the plain search does."""
    warnings.warn("filtered=True is deprecated and will be removed: the plain search now "
                  "applies tags and deletions exactly, with min(k, matches) answers",
                  DeprecationWarning, stacklevel=stacklevel)


class _Store(NamedTuple):
    # The core and its key table change together (compact, load); a search
    # reads both from one attribute so that it never pairs one with the other's
    # successor.
    core: zelt_core.HyperbolicIndex
    keys: KeyTable


class Index:
    """An HNSW index of float32 vectors under the caller's int64 keys.

    dimension: the length of every vector. metric: "poincare" (the hyperbolic
    distance of the unit ball), "euclidean" (or "l2", squared Euclidean) or
    "cosine". M: the links per node and layer (twice that on the bottom layer).
    ef_construction: the candidate list of every insertion. seed: fixes the
    generator of node levels, so a build can be repeated exactly.
    curvature: c > 0 of a "poincare" index, whose points lie in the ball of
    radius 1/sqrt(c) with d_c(x, y) = d_1(sqrt(c) x, sqrt(c) y) / sqrt(c).
    reach_all: keep every node in reach of the graph's walks and walk through
    every node (see README, "Hyperbolic embeddings"); by default on for
    "poincare" and off for the other metrics.

    Searches may run from several threads at once; add, delete, compact and
    save are serialised with each other.
    """

    # Rows a durable index's reopening stored without links (see _unlinked).
    _unlinked: Unlinked | None = None

    def __init__(self, dimension: int, metric: Metric = "poincare", M: int = 16,
                 ef_construction: int = 200, seed: int | None = None, *,
                 curvature: float = 1.0, reach_all: bool | None = None) -> None:
        if not isinstance(metric, str) or metric not in _METRIC_NAMES:
            raise ValueError(f"metric must be one of {sorted(_METRIC_NAMES)}, got {metric!r}")
        if operator.index(dimension) < 1:
            raise ValueError(f"dimension must be at least 1, got {dimension}")
        name = _METRIC_NAMES[metric]
        curvature = checked_curvature(name, curvature)
        reach = name == "poincare" if reach_all is None else bool(reach_all)
        core = zelt_core.HyperbolicIndex(dimension, curvature, M, name, seed=seed,
                                         reach_all=reach)
        self._setup(core, KeyTable(_NO_KEYS, _NO_KEYS), ef_construction, seed, curvature, reach)

    def _setup(self, core: zelt_core.HyperbolicIndex, keys: KeyTable, ef_construction: int,
               seed: int | None, curvature: float, reach_all: bool) -> None:
        self._store = _Store(core, keys)
        self._ef_construction = operator.index(ef_construction)
        self._seed = seed
        self._curvature = curvature
        self._reach_all = reach_all
        self._ball = Ball(core.get_metric(), curvature)
        stats = core.get_stats()
        self._dimension: int = stats["dimension"]
        self._M: int = stats["max_m"]
        self._lock = threading.Lock()

    # ------------------------------------------------------------ settings

    @property
    def dimension(self) -> int:
        """The length of every vector."""
        return self._dimension

    @property
    def metric(self) -> Literal["poincare", "euclidean", "cosine"]:
        """"poincare", "euclidean" or "cosine"."""
        return cast(Literal["poincare", "euclidean", "cosine"], self._store.core.get_metric())

    @property
    def M(self) -> int:
        """The links per node and layer above the bottom one."""
        return self._M

    @property
    def curvature(self) -> float:
        """c of the ball of radius 1/sqrt(c) ("poincare"); 1.0 for the other metrics."""
        return self._curvature

    @property
    def reach_all(self) -> bool:
        """Whether the graph keeps every node in reach and its walks go through every node."""
        return self._reach_all

    @property
    def unreachable(self) -> int:
        """How many live vectors no graph search can reach (exact=True still finds them)."""
        core, table = self._store
        nodes = np.asarray(core.unreachable_nodes(), dtype=np.int64)
        return len(np.setdiff1d(nodes, table.dead_nodes()))

    @property
    def ef_construction(self) -> int:
        """The candidate list of every insertion."""
        return self._ef_construction

    # ------------------------------------------------------------- contents

    def __len__(self) -> int:
        """The number of live (not deleted) vectors."""
        return self._store.keys.live_count

    def __contains__(self, key: object) -> bool:
        """Whether a live vector has this key."""
        try:
            return operator.index(key) in self._store.keys  # type: ignore[arg-type]
        except TypeError:
            return False

    def __repr__(self) -> str:
        keys = self._store.keys
        text = (f"<orvikdb.Index metric={self.metric!r} dimension={self.dimension} "
                f"live={keys.live_count} dead={keys.dead_count}")
        if 4 * keys.dead_count > keys.live_count + keys.dead_count:
            text += "; more than a quarter of the nodes are dead: compact() drops them"
        unreachable = self.unreachable
        if unreachable:
            text += (f"; {unreachable} unreachable by graph searches (reach_all=True keeps "
                     "every node in reach)")
        return text + ">"

    def get_vectors(self, keys: npt.ArrayLike) -> npt.NDArray[np.float32]:
        """The stored float32 vectors of these keys: (len(keys), dimension), or (dimension,)
        for one int key. KeyError for a key that is not in the index."""
        wanted = as_keys(keys)
        with self._lock:
            core, table = self._store
            vectors = self._ball.vectors_out(core.get_vectors(table.nodes_of(wanted)))
        return vectors[0] if isinstance(keys, int) or np.ndim(keys) == 0 else vectors

    # ----------------------------------------------------------------- tags

    @overload
    def get_tags(self, keys: int) -> int: ...
    @overload
    def get_tags(self, keys: npt.ArrayLike) -> npt.NDArray[np.int64]: ...

    def get_tags(self, keys: npt.ArrayLike) -> int | npt.NDArray[np.int64]:
        """The tags of these keys, as an int64 array (an int for one int key). KeyError for a
        key that is not in the index."""
        wanted = as_keys(keys)
        with self._lock:
            core, table = self._store
            masks = core.get_masks()[table.nodes_of(wanted)]
        tags = (masks & ~LIVE_BIT).astype(np.int64)
        return int(tags[0]) if isinstance(keys, int) or np.ndim(keys) == 0 else tags

    def set_tags(self, keys: npt.ArrayLike, tags: npt.ArrayLike) -> None:
        """Gives these keys new tags in place: one int for all of them or one per key (bits 0
        to 62). KeyError for a key that is not in the index, and then no tag changes."""
        wanted = as_keys(keys)
        masks = tag_masks(tags, len(wanted))
        if np.ndim(tags) > 0 and len(np.unique(wanted)) != len(wanted):
            raise ValueError("keys must be distinct when tags gives one per key")
        with self._lock:
            core, table = self._store
            core.set_masks(table.nodes_of(wanted), masks)

    # --------------------------------------------------------------- adding

    def add(self, vectors: npt.ArrayLike, keys: npt.ArrayLike | None = None,
            tags: npt.ArrayLike = 0, *, num_threads: int = 0,
            progress: bool = False) -> npt.NDArray[np.int64]:
        """Adds the rows of an (n, dimension) array (or one 1-d vector); returns their keys.

        Any real dtype is converted to float32 here (the core itself refuses
        anything but float32); a value beyond float32's range is refused.
        keys: n distinct int64 keys from 0 on, by default consecutive from one
        past the largest key among the nodes (deleted ones too, until
        compact() drops them). A key already present is replaced: its old
        vector is deleted. tags: one int or n ints of tag bits 0 to 62.
        num_threads: 0 for every core. progress: show a tqdm progress bar.

        Bad input raises before anything changes. An add stopped part-way
        (Ctrl-C, an error of the progress bar) raises with none of its keys
        added; the rows it stored count as dead until compact().
        """
        return self._add(vectors, keys, tags, num_threads, progress, linked=True)

    def _add(self, vectors: npt.ArrayLike, keys: npt.ArrayLike | None, tags: npt.ArrayLike,
             num_threads: int, progress: bool, linked: bool) -> npt.NDArray[np.int64]:
        with self._lock:
            table = self._store.keys
            rows = self._ball.inward(as_rows(vectors, self._dimension)[0], "vectors")
            new_keys = table.keys_for(keys, len(rows))
            self._store_rows(rows, new_keys, tag_masks(tags, len(rows)), num_threads, progress,
                             linked)
        return new_keys

    def _store_rows(self, rows: npt.NDArray[np.float32], keys: npt.NDArray[np.int64],
                    masks: npt.NDArray[np.uint64], num_threads: int, progress: bool,
                    linked: bool) -> None:
        """Stores rows as the core holds them under these keys, replacing the nodes that
        held the keys; rows stored without links no walk of the graph reaches until
        the core's link_stored."""
        core, table = self._store
        replaced = table.present(keys)
        first = table.append(keys)
        try:
            if linked:
                with progress_bar(progress, len(rows), "adding") as report:
                    core.add_items(rows, masks, self._ef_construction, num_threads,
                                   progress=report)
            else:
                core.store_items(rows, masks)
        except BaseException:
            stored = len(core) - first
            table.truncate(first + stored)
            self._kill(np.arange(first, first + stored, dtype=np.int64))
            raise
        self._kill(replaced)
        table.bind(first, len(rows))

    def _kill(self, nodes: npt.NDArray[np.int64]) -> None:
        if len(nodes):
            core = self._store.core
            core.set_masks(nodes, core.get_masks()[nodes] & ~LIVE_BIT)

    # ------------------------------------------------------------- deleting

    def delete(self, keys: npt.ArrayLike) -> None:
        """Deletes the vectors of these keys (one int or a sequence); searches never return
        them again. KeyError, and nothing deleted, if any key is not in the index."""
        doomed = np.unique(as_keys(keys))
        with self._lock:
            table = self._store.keys
            self._kill(table.nodes_of(doomed))
            table.unbind(doomed)

    def compact(self, *, num_threads: int = 0, progress: bool = False) -> None:
        """Rebuilds the index from its live vectors, dropping the deleted ones.

        Keys, tags and settings stay; the new graph is built afresh, so
        approximate answers may differ slightly. Stopped part-way, the index
        stays as it was.
        """
        with self._lock:
            core, table = self._store
            live = table.live_nodes()
            rows = core.get_vectors(live)
            fresh = self._new_core()
            with progress_bar(progress, len(live), "compacting") as report:
                fresh.add_items(rows, core.get_masks()[live], self._ef_construction, num_threads,
                                progress=report)
            self._store = _Store(fresh, KeyTable(table.node_keys[live], _NO_KEYS))

    def _new_core(self) -> zelt_core.HyperbolicIndex:
        return zelt_core.HyperbolicIndex(self._dimension, self._curvature, self._M, self.metric,
                                         seed=self._seed, reach_all=self._reach_all)

    # ------------------------------------------------------------ searching

    def search(self, queries: npt.ArrayLike, k: int, tags: npt.ArrayLike = 0,
               ef: int | None = None, exact: bool = False, filtered: bool = False,
               max_radius: float | None = None, num_threads: int = 0) -> SearchResult:
        """The k nearest live vectors of every query row (or of one 1-d query).

        Queries of any real dtype are converted to float32. tags: one int or
        one per query; only vectors having every one of those tag bits answer,
        and every query gets min(k, matching live vectors) answers. Each query
        counts its matches exactly and then either scans just them (few
        matches) or walks the graph with a candidate list of ef (50) through
        every vector, keeping only matching ones. exact=True scans every
        vector. max_radius drops answers farther than it. num_threads: 0 for
        every core. filtered=True is deprecated and does what the plain
        search does.
        """
        if exact and filtered:
            raise ValueError("choose exact=True or filtered=True, not both")
        if filtered:
            warn_filtered_retired()
        store = self._store
        rows, single = as_rows(queries, self._dimension, "queries")
        rows = self._ball.inward(rows, "queries")
        radius = -1.0 if max_radius is None else self._ball.radius_in(max_radius)
        masks = tag_masks(tags, len(rows))
        nodes, distances = store.core.search(rows, k, masks, ef, radius,
                                             mode="exact" if exact else "planned",
                                             num_threads=num_threads)
        unlinked = self._unlinked
        if not exact and unlinked is not None and unlinked.core is store.core:
            nodes, distances = merged(unlinked, nodes, distances, rows, k, masks, radius,
                                      num_threads)
        keys = store.keys.keys_of(nodes)
        distances = self._ball.distances_out(distances)
        return SearchResult(keys[0], distances[0]) if single else SearchResult(keys, distances)

    # ---------------------------------------------------------------- files

    def save(self, path: str | os.PathLike[str]) -> None:
        """Saves the index to path (the core's index file) and path + ".orvikdb" (its sidecar:
        settings, keys and deletions).

        Both files are replaced so that an interrupted save leaves either the
        old pair or the new one, never a mix (see orvikdb._saving). A directory
        that does not exist raises FileNotFoundError naming path.
        """
        with self._lock:
            core, table = self._store
            save_pair(core, lambda size, checksum: encode(self._sidecar(table, size, checksum)),
                      Path(path))

    def _sidecar(self, table: KeyTable, size: int, checksum: int) -> Sidecar:
        return Sidecar(metric=self.metric, dimension=self._dimension, M=self._M,
                       curvature=self._curvature, ef_construction=self._ef_construction,
                       reach_all=self._reach_all,
                       node_keys=table.node_keys, dead=table.dead_nodes(), index_size=size,
                       index_sha256=None, index_crc32c=checksum)

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Self:
        """The index saved at path, settings and keys included.

        Raises orvikdb.IndexFileError when the sidecar is missing, damaged or
        does not belong to the index file, and FileNotFoundError (whose
        filename is path) when there is no index file. The level generator starts afresh
        (files do not hold its state), whatever seed the saved index had.
        """
        core, sidecar = load_pair(Path(path))
        try:
            keys = KeyTable(sidecar.node_keys, sidecar.dead)
        except ValueError as fault:
            raise IndexFileError(f"{sidecar_path(Path(path))}: {fault}") from None
        index = cls.__new__(cls)
        index._setup(core, keys, sidecar.ef_construction, None, sidecar.curvature,
                     sidecar.reach_all)
        return index

    @classmethod
    def open(cls, directory: str | os.PathLike[str], dimension: int | None = None, *,
             checkpoint_bytes: int = 16 << 20, **settings: Any) -> "DurableIndex":
        """The index kept in directory, where every change is on the disk once its call
        returns: an orvikdb.DurableIndex, to close() (or use in a with block).

        A new or empty directory gets an index of this dimension and these
        settings (the constructor's keywords: metric, M, ...); otherwise the
        directory's own are used, and a setting given that contradicts them
        raises ValueError. add, delete, set_tags and compact append their change to a
        journal and flush it before they return; checkpoint() saves a
        snapshot and drops the journal before it, as happens by itself once
        the journal passes checkpoint_bytes. Opening replays the journal
        after the newest snapshot; the rows it adds are linked into the graph at
        the next checkpoint, and searches scan them exactly until then. One
        process at a time may have the directory open: another one gets
        BlockingIOError.
        """
        from orvikdb._durable import DurableIndex

        return DurableIndex.open_directory(directory, dimension, checkpoint_bytes, settings)

    def __getstate__(self) -> dict[str, bytes]:
        """The bytes of both files, as save writes them."""
        with tempfile.TemporaryDirectory(prefix="orvikdb-pickle-") as directory:
            path = Path(directory) / "index"
            self.save(path)
            return {"index": path.read_bytes(), "sidecar": sidecar_path(path).read_bytes()}

    def __setstate__(self, state: dict[str, bytes]) -> None:
        """Restores the index from the bytes of __getstate__."""
        with tempfile.TemporaryDirectory(prefix="orvikdb-pickle-") as directory:
            path = Path(directory) / "index"
            path.write_bytes(state["index"])
            sidecar_path(path).write_bytes(state["sidecar"])
            loaded = self.load(path)
        store = loaded._store
        self._setup(store.core, store.keys, loaded._ef_construction, None, loaded._curvature,
                    loaded._reach_all)
