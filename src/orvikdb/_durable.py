"""orvikdb.DurableIndex: an index kept in a directory, every acknowledged change on the disk.

The index lives in memory as ever; a change is made there first, then
appended to the journal under the same lock (so the journal's order is the
order of the changes), and the call returns once the journal is flushed up to
it. A checkpoint saves a snapshot and starts an empty journal; opening loads
the newest snapshot and replays its journal.
"""

import operator
import os
import threading
from collections.abc import Callable
from pathlib import Path
from types import TracebackType
from typing import Any, Self, TypeVar

import numpy as np
import numpy.typing as npt

from orvikdb import _changes
from orvikdb._directory import (DirectoryLock, journal_path, newest_snapshot, remove_before,
                                snapshot_path)
from orvikdb._journal import Journal, Record, read_journal
from orvikdb._keys import as_keys
from orvikdb._rows import as_rows
from orvikdb._tags import LIVE_BIT, tag_masks
from orvikdb._unlinked import copy_unlinked, sync_masks
from orvikdb.index import Index

T = TypeVar("T")


class DurableIndex(Index):
    """An orvikdb.Index kept in a directory, made by Index.open: add, delete and compact
    return only once their change is on the disk."""

    _directory: Path
    _lock_file: DirectoryLock
    _journal: Journal
    _generation: int
    _checkpoint_bytes: int
    _change_lock: threading.Lock
    _closed: bool

    @classmethod
    def open_directory(cls, directory: str | os.PathLike[str], dimension: int | None,
                       checkpoint_bytes: int, settings: dict[str, Any]) -> Self:
        """See Index.open."""
        if operator.index(checkpoint_bytes) <= 0:
            raise ValueError(f"checkpoint_bytes must be positive, got {checkpoint_bytes}")
        path = Path(directory)
        path.mkdir(parents=True, exist_ok=True)
        lock = DirectoryLock(path)
        try:
            index, generation, journal = cls._recover(path, dimension, settings)
        except BaseException:
            lock.release()
            raise
        index._attach(path, lock, journal, generation, checkpoint_bytes)
        return index

    @classmethod
    def _recover(cls, directory: Path, dimension: int | None,
                 settings: dict[str, Any]) -> tuple[Self, int, Journal]:
        generation = newest_snapshot(directory)
        if generation is None:
            if dimension is None:
                raise ValueError(f"{directory} holds no index yet: give its dimension to "
                                 "create one")
            index = cls(dimension, **settings)
            remove_before(directory, 0)
            Index.save(index, snapshot_path(directory, 0))
            return index, 0, Journal.create(journal_path(directory, 0), dimension, 0)
        index = cls.load(snapshot_path(directory, generation))
        index._refuse_contradictions(directory, dimension, settings)
        journal = journal_path(directory, generation)
        records, end = read_journal(journal, index.dimension, generation) \
            if journal.exists() else ([], 0)
        first = len(index._store.core)
        index._replay(records, f"the journal {journal}")
        index._unlinked = copy_unlinked(index._store.core, first, index._new_core())
        remove_before(directory, generation)
        if end == 0:
            return index, generation, Journal.create(journal, index.dimension, generation)
        return index, generation, Journal.reopen(journal, end)

    def _refuse_contradictions(self, directory: Path, dimension: int | None,
                               settings: dict[str, Any]) -> None:
        # An index made with the caller's settings says what they mean ("l2"
        # is "euclidean"); settings the index does not report (seed) cannot
        # contradict the directory.
        asked = Index(self.dimension if dimension is None else dimension, **settings)
        for name in ["dimension", *settings]:
            if isinstance(getattr(Index, name, None), property):
                have, want = getattr(self, name), getattr(asked, name)
                if have != want:
                    raise ValueError(f"{directory} holds an index with {name}={have!r}, "
                                     f"not {want!r}")

    def _replay(self, records: list[Record], label: str) -> None:
        # Added rows are stored without links (see orvikdb._unlinked).
        def add_unlinked(index: Index, vectors: npt.NDArray[np.float32], keys: npt.ArrayLike,
                         tags: npt.ArrayLike) -> npt.NDArray[np.int64]:
            return Index._add(index, vectors, keys, tags, 0, False, linked=False)

        methods: dict[int, Callable[..., Any]] = {_changes.ADDED: add_unlinked,
                                                  _changes.DELETED: Index.delete,
                                                  _changes.TAGS_SET: Index.set_tags}
        _changes.Replay(self, self.dimension, label, methods,
                        lambda keys: self._store.keys.live_mask(keys)).apply(records)

    def _attach(self, directory: Path, lock: DirectoryLock, journal: Journal, generation: int,
                checkpoint_bytes: int) -> None:
        self._directory = directory
        self._lock_file = lock
        self._journal = journal
        self._generation = generation
        self._checkpoint_bytes = checkpoint_bytes
        self._change_lock = threading.Lock()
        self._closed = False

    # -------------------------------------------------------------- changes

    def _change(self, apply: Callable[[], T], record: Callable[[T], tuple[int, bytes]]) -> T:
        """Makes a change in memory, journals it and waits until the journal is flushed.

        A change whose call raised before its record was written is
        not journaled: the call did not return, so nothing was promised.
        """
        with self._change_lock:
            if self._writable().size > self._checkpoint_bytes:
                self._checkpoint_locked()  # before the change: if it fails, nothing changed
            journal = self._journal
            try:
                result = apply()
            finally:
                if self._unlinked is not None:
                    sync_masks(self._unlinked)
            try:
                end = journal.append(*record(result))
            except BaseException as error:
                journal.stop(error)  # the change is in memory only: take no more
                raise
        journal.sync_through(end)
        return result

    def _writable(self) -> Journal:
        if self._closed:
            raise ValueError(f"the index of {self._directory} is closed")
        if self._journal.failure is not None:
            raise OSError(f"the journal of {self._directory} failed earlier; checkpoint() "
                          "saves the index as it is in memory and starts a new "
                          "one") from self._journal.failure
        return self._journal

    def add(self, vectors: npt.ArrayLike, keys: npt.ArrayLike | None = None,
            tags: npt.ArrayLike = 0, *, num_threads: int = 0,
            progress: bool = False) -> npt.NDArray[np.int64]:
        """As Index.add; returns once the rows are on the disk."""
        rows, _ = as_rows(vectors, self.dimension)

        def apply() -> npt.NDArray[np.int64]:
            return super(DurableIndex, self).add(rows, keys, tags, num_threads=num_threads,
                                                 progress=progress)

        def record(assigned: npt.NDArray[np.int64]) -> tuple[int, bytes]:
            return _changes.added(assigned, tag_masks(tags, len(rows)) & ~LIVE_BIT, rows)

        return self._change(apply, record)

    def delete(self, keys: npt.ArrayLike) -> None:
        """As Index.delete; returns once the deletion is on the disk."""
        doomed = np.unique(as_keys(keys))
        self._change(lambda: super(DurableIndex, self).delete(doomed),
                     lambda _: _changes.deleted(doomed))

    def set_tags(self, keys: npt.ArrayLike, tags: npt.ArrayLike) -> None:
        """As Index.set_tags; returns once the new tags are on the disk."""
        wanted = as_keys(keys)
        if np.ndim(tags) == 0:
            # One tag for all: the journal holds one per key, and a key named
            # twice would make that record refused on replay.
            wanted = np.unique(wanted)
        masks = tag_masks(tags, len(wanted)) & ~LIVE_BIT
        self._change(lambda: super(DurableIndex, self).set_tags(wanted, tags),
                     lambda _: _changes.tags_set(wanted, masks))

    def compact(self, *, num_threads: int = 0, progress: bool = False) -> None:
        """As Index.compact, followed by a checkpoint: replaying a compaction would
        rebuild the whole graph at every opening, a snapshot of it costs less."""
        with self._change_lock:
            self._writable()
            super().compact(num_threads=num_threads, progress=progress)
            self._unlinked = None  # the new core linked them
            self._checkpoint_locked()

    # ---------------------------------------------------------- checkpoints

    def checkpoint(self) -> None:
        """Saves a snapshot of the index and starts an empty journal.

        Opening then loads the snapshot instead of replaying the changes. An
        interrupted checkpoint leaves the previous snapshot and journal.
        """
        with self._change_lock:
            if self._closed:
                raise ValueError(f"the index of {self._directory} is closed")
            self._checkpoint_locked()

    def save(self, path: str | os.PathLike[str]) -> None:
        """As Index.save; rows that the reopening stored without links are linked first,
        so that the file answers graph queries as the index does."""
        with self._change_lock:
            self._link_unlinked()
        super().save(path)

    def _link_unlinked(self) -> None:
        # Linking changes no key, vector or tag, so it needs no record; a link
        # stopped part-way leaves the rest for the next checkpoint.
        unlinked = self._unlinked
        if unlinked is None:
            return
        with self._lock:
            if unlinked.core is self._store.core:
                unlinked.core.link_stored(unlinked.first, self._ef_construction)
            self._unlinked = None

    def _checkpoint_locked(self) -> None:
        generation = self._generation + 1
        self._link_unlinked()
        Index.save(self, snapshot_path(self._directory, generation))
        old, self._generation = self._journal, generation
        try:
            self._journal = Journal.create(journal_path(self._directory, generation),
                                           self.dimension, generation)
        except BaseException as error:
            # Opening would replay nothing after the new snapshot: appending to
            # the old journal now would lose the change.
            old.stop(error)
            raise
        old.close(flush=False)  # the snapshot holds its records
        remove_before(self._directory, generation)

    # -------------------------------------------------------------- closing

    def close(self) -> None:
        """Flushes the journal and gives up the directory; later changes raise ValueError.
        Searches still work. Closing twice does nothing."""
        with self._change_lock:
            if self._closed:
                return
            self._closed = True
            try:
                self._journal.close(flush=True)
            finally:
                self._lock_file.release()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __reduce__(self) -> tuple[Callable[[dict[str, bytes]], Index], tuple[dict[str, bytes]]]:
        """A pickle of a durable index unpickles as a plain in-memory Index."""
        return _plain_index, (self.__getstate__(),)


def _plain_index(state: dict[str, bytes]) -> Index:
    index = Index.__new__(Index)
    index.__setstate__(state)
    return index
