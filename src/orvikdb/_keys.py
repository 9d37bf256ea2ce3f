"""The key table: the caller's key of every node of the core, and which node
holds each live key.

Node ids are the core's insertion order. A node keeps its key after it is
deleted, and so do the rows an interrupted add stored before it stopped (dead
from the start), so the table always has exactly one entry per node of the
core.
"""

import operator

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


class KeyTable:
    """Keys of the nodes, in node order, and the node of every live key."""

    def __init__(self, node_keys: npt.NDArray[np.int64], dead: npt.NDArray[np.int64]) -> None:
        count = len(node_keys)
        self._buffer = np.array(node_keys, dtype=np.int64)
        self._count = count
        live = np.ones(count, dtype=bool)
        live[dead] = False
        self._nodes: dict[int, int] = dict(zip(node_keys[live].tolist(),
                                               np.flatnonzero(live).tolist()))
        self._next_key = int(node_keys.max()) + 1 if count else 0

    @property
    def node_keys(self) -> npt.NDArray[np.int64]:
        """Every node's key (a view that later additions never change)."""
        return self._buffer[:self._count]

    @property
    def live_count(self) -> int:
        """How many nodes are live."""
        return len(self._nodes)

    @property
    def dead_count(self) -> int:
        """How many nodes are deleted (or were never finished)."""
        return self._count - len(self._nodes)

    def __contains__(self, key: int) -> bool:
        return key in self._nodes

    def live_nodes(self) -> npt.NDArray[np.int64]:
        """The live nodes' ids, in ascending order."""
        return np.sort(np.fromiter(self._nodes.values(), dtype=np.int64, count=len(self._nodes)))

    def dead_nodes(self) -> npt.NDArray[np.int64]:
        """The dead nodes' ids, in ascending order."""
        live = np.zeros(self._count, dtype=bool)
        live[self.live_nodes()] = True
        return np.flatnonzero(~live).astype(np.int64)

    def nodes_of(self, keys: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        """The node of every key; KeyError for the first key that is not live."""
        try:
            return np.fromiter((self._nodes[k] for k in keys.tolist()), dtype=np.int64,
                               count=len(keys))
        except KeyError as missing:
            raise KeyError(f"key {missing.args[0]} is not in the index") from None

    def present(self, keys: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        """The nodes that hold any of these keys now."""
        found = [self._nodes[k] for k in keys.tolist() if k in self._nodes]
        return np.array(found, dtype=np.int64)

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
            grown = np.empty(max(end, 2 * len(self._buffer)), dtype=np.int64)
            grown[:first] = self._buffer[:first]
            self._buffer = grown
        self._buffer[first:end] = keys
        self._count = end
        if len(keys):
            self._next_key = max(self._next_key, int(keys.max()) + 1)
        return first

    def truncate(self, count: int) -> None:
        """Forgets the nodes from `count` on, which the core never stored."""
        self._count = count

    def bind(self, first: int, count: int) -> None:
        """Makes the keys of nodes first .. first+count-1 live at those nodes."""
        keys = self._buffer[first:first + count].tolist()
        self._nodes.update(zip(keys, range(first, first + count)))

    def unbind(self, keys: npt.NDArray[np.int64]) -> None:
        """Makes these live keys dead."""
        for key in keys.tolist():
            del self._nodes[key]
