"""The key table: the caller's key of every node of the core, and which node
holds each live key.

Node ids are the core's insertion order. A node keeps its key after it is
deleted, and so do the rows an interrupted add stored before it stopped (dead
from the start), so the table always has exactly one entry per node of the
core.

Everything is held in NumPy arrays, about 25 bytes per node, and every
lookup is one searchsorted over a whole batch of keys: a dict of Python ints
took some 190 bytes per node and most of the time of a load.
"""

import math
import operator
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

from orvikdb._rows import row_count_error

_INT64_MAX = np.iinfo(np.int64).max


def as_keys(keys: npt.ArrayLike, name: str = "keys") -> npt.NDArray[np.int64]:
    """Keys as a 1-d int64 array: one int, or a sequence or array of ints, from 0 to 2**63 - 1.

    Negative keys are refused because -1 marks a missing answer in search results.
    """
    if isinstance(keys, int) or np.ndim(keys) == 0:
        try:
            keys = [operator.index(keys)]  # type: ignore[arg-type]
        except TypeError:
            raise TypeError(f"{name} must be ints, not {type(keys).__name__}") from None
    array = np.asarray(keys)
    if array.size == 0:
        return np.zeros(0, dtype=np.int64)
    if array.dtype.kind not in "iu":
        raise TypeError(f"{name} must be integers, got an array of {array.dtype}")
    if array.ndim != 1:
        raise ValueError(f"{name} must be one key or a 1-d sequence of keys, got shape "
                         f"{array.shape}")
    if array.min() < 0 or array.max() > _INT64_MAX:
        worst = array.min() if array.min() < 0 else array.max()
        raise ValueError(f"{name} must be from 0 to 2**63 - 1 (-1 marks a missing answer), "
                         f"got {int(worst)}")
    return array.astype(np.int64)


def new_keys(keys: npt.ArrayLike | None, rows: int, next_key: int) -> npt.NDArray[np.int64]:
    """The keys of `rows` new rows: the given ones, distinct, or by default consecutive
    from next_key."""
    if keys is None:
        return np.arange(next_key, next_key + rows, dtype=np.int64)
    array = as_keys(keys)
    if array.shape != (rows,):
        raise row_count_error("keys", array.shape, rows)
    if len(np.unique(array)) != rows:
        raise ValueError("keys must be distinct within one call")
    return array


class _Run(NamedTuple):
    """Keys in ascending order and the node of each."""

    keys: npt.NDArray[np.int64]
    nodes: npt.NDArray[np.int64]


_NO_RUN = _Run(np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64))


def _sorted_run(keys: npt.NDArray[np.int64], nodes: npt.NDArray[np.int64]) -> _Run:
    order = np.argsort(keys, kind="stable")
    return _Run(keys[order], nodes[order])


def _merged(run: _Run, more: _Run) -> _Run:
    """Both runs in one; np.insert moves the bulk once instead of sorting it again."""
    at = np.searchsorted(run.keys, more.keys)
    return _Run(np.insert(run.keys, at, more.keys), np.insert(run.nodes, at, more.nodes))


class KeyTable:
    """Keys of the nodes, in node order, and the node of every live key.

    The live keys are found through two sorted runs: a main one and a small
    recent one that takes the keys added since the main one was made, so that
    adding a few rows moves a few entries, not all of them. Deleting only
    clears a node's live flag, so a run may still hold keys that died since:
    every hit is checked against the flags. A key is live at one node at most,
    and each run holds a key once.
    """

    def __init__(self, node_keys: npt.NDArray[np.int64], dead: npt.NDArray[np.int64]) -> None:
        """ValueError if the live nodes' keys are not distinct."""
        count = len(node_keys)
        self._buffer = np.array(node_keys, dtype=np.int64)
        self._live = np.ones(count, dtype=bool)
        self._live[dead] = False
        self._count = count
        live = np.flatnonzero(self._live).astype(np.int64)
        self._live_count = len(live)
        self._main = _sorted_run(self._buffer[live], live)
        self._recent = _NO_RUN
        if np.any(self._main.keys[1:] == self._main.keys[:-1]):
            raise ValueError("the live nodes' keys are not distinct keys")
        self._next_key = int(node_keys.max()) + 1 if count else 0

    @property
    def node_keys(self) -> npt.NDArray[np.int64]:
        """Every node's key (a view that later additions never change)."""
        return self._buffer[:self._count]

    @property
    def live_count(self) -> int:
        """How many nodes are live."""
        return self._live_count

    @property
    def dead_count(self) -> int:
        """How many nodes are deleted (or were never finished)."""
        return self._count - self._live_count

    def __contains__(self, key: int) -> bool:
        return 0 <= key <= _INT64_MAX and self._lookup(np.array([key], dtype=np.int64))[0] >= 0

    def live_nodes(self) -> npt.NDArray[np.int64]:
        """The live nodes' ids, in ascending order."""
        return np.flatnonzero(self._live[:self._count]).astype(np.int64)

    def dead_nodes(self) -> npt.NDArray[np.int64]:
        """The dead nodes' ids, in ascending order."""
        return np.flatnonzero(~self._live[:self._count]).astype(np.int64)

    def _found(self, run: _Run, keys: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        if not len(run.keys):
            return np.full(len(keys), -1, dtype=np.int64)
        at = np.minimum(np.searchsorted(run.keys, keys), len(run.keys) - 1)
        nodes = run.nodes[at]
        return np.where((run.keys[at] == keys) & self._live[nodes], nodes, -1)

    def _lookup(self, keys: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        """The live node of every key, -1 for a key that is not live."""
        nodes = self._found(self._main, keys)
        if len(self._recent.keys):
            recent = self._found(self._recent, keys)
            nodes = np.where(recent >= 0, recent, nodes)
        return nodes

    def live_mask(self, keys: npt.NDArray[np.int64]) -> npt.NDArray[np.bool_]:
        """Whether each of these keys is live."""
        return self._lookup(keys) >= 0

    def nodes_of(self, keys: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        """The node of every key; KeyError for the first key that is not live."""
        nodes = self._lookup(keys)
        missing = np.flatnonzero(nodes < 0)
        if len(missing):
            raise KeyError(f"key {int(keys[missing[0]])} is not in the index")
        return nodes

    def present(self, keys: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        """The nodes that hold any of these keys now."""
        nodes = self._lookup(keys)
        return nodes[nodes >= 0]

    def keys_for(self, keys: npt.ArrayLike | None, rows: int) -> npt.NDArray[np.int64]:
        """The keys of `rows` new rows (see new_keys), the default ones from one past the
        largest key the table holds."""
        return new_keys(keys, rows, self._next_key)

    def keys_of(self, nodes: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        """The keys of the nodes a query returned, -1 where it returned -1."""
        node_keys = self.node_keys
        out = np.full(nodes.shape, -1, dtype=np.int64)
        found = nodes >= 0
        out[found] = node_keys[nodes[found]]
        return out

    def append(self, keys: npt.NDArray[np.int64]) -> int:
        """Gives the next nodes these keys (not yet live); returns the first new node's id."""
        first, end = self._count, self._count + len(keys)
        if end > len(self._buffer):
            size = max(end, 2 * len(self._buffer))
            grown = np.empty(size, dtype=np.int64)
            grown[:first] = self._buffer[:first]
            self._buffer = grown
            live = np.zeros(size, dtype=bool)
            live[:first] = self._live[:first]
            self._live = live
        self._buffer[first:end] = keys
        self._live[first:end] = False
        self._count = end
        if len(keys):
            self._next_key = max(self._next_key, int(keys.max()) + 1)
        return first

    def truncate(self, count: int) -> None:
        """Forgets the nodes from `count` on, which the core never stored."""
        self._count = count

    def bind(self, first: int, count: int) -> None:
        """Makes the keys of nodes first .. first+count-1 live at those nodes, and dead at
        the nodes that held them until now."""
        nodes = np.arange(first, first + count, dtype=np.int64)
        keys = self._buffer[first:first + count]
        self._set_dead(self.present(keys))
        self._live[first:first + count] = True
        self._live_count += count
        self._recent = _merged(self._live_part(self._recent), _sorted_run(keys, nodes))
        # Merging the recent run into the main one moves every entry, so it waits
        # until the recent run is a fair share of the main one.
        if len(self._recent.keys) > max(4096, 16 * math.isqrt(len(self._main.keys))):
            self._main, self._recent = _merged(self._live_part(self._main), self._recent), _NO_RUN

    def _live_part(self, run: _Run) -> _Run:
        kept = self._live[run.nodes]
        return _Run(run.keys[kept], run.nodes[kept])

    def _set_dead(self, nodes: npt.NDArray[np.int64]) -> None:
        self._live[nodes] = False
        self._live_count -= len(nodes)

    def unbind(self, keys: npt.NDArray[np.int64]) -> None:
        """Makes these live keys dead."""
        self._set_dead(np.unique(self.nodes_of(keys)))
