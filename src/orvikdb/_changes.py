"""The changes a journal holds, as bytes, and their replay onto an index.

Payloads (little-endian):

    ADDED      uint64 n, int64 keys[n], uint64 tags[n], float32 rows[n * dimension]
    DELETED    int64 keys[n]
    TAGS_SET   uint64 n, int64 keys[n], uint64 tags[n]

An add is journaled with the keys it gave its rows (the default ones too) and
the float32 rows the core was handed, so replaying it stores the same bits
under the same keys.
"""

import struct
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

from orvikdb._journal import Record
from orvikdb._sidecar import IndexFileError

ADDED, DELETED, TAGS_SET = 1, 2, 3
_COUNT = struct.Struct("<Q")

Keys = npt.NDArray[np.int64]
Tags = npt.NDArray[np.uint64]
Rows = npt.NDArray[np.float32]


def added(keys: Keys, tags: Tags, rows: Rows) -> tuple[int, bytes]:
    """The record of an add."""
    return ADDED, b"".join([_COUNT.pack(len(keys)), keys.astype("<i8").tobytes(),
                            tags.astype("<u8").tobytes(), rows.astype("<f4").tobytes()])


def deleted(keys: Keys) -> tuple[int, bytes]:
    """The record of a deletion."""
    return DELETED, keys.astype("<i8").tobytes()


def tags_set(keys: Keys, tags: Tags) -> tuple[int, bytes]:
    """The record of a change of tags."""
    return TAGS_SET, b"".join([_COUNT.pack(len(keys)), keys.astype("<i8").tobytes(),
                               tags.astype("<u8").tobytes()])


def _split(payload: memoryview, widths: tuple[int, ...], label: str) -> list[memoryview]:
    """The counted payload's arrays, of n * width bytes each."""
    if len(payload) < _COUNT.size:
        raise IndexFileError(f"{label}: a record too short for its row count")
    (count,) = _COUNT.unpack_from(payload)
    if len(payload) != _COUNT.size + count * sum(widths):
        raise IndexFileError(f"{label}: a record of {len(payload)} bytes for {count} rows")
    parts, at = [], _COUNT.size
    for width in widths:
        parts.append(payload[at:at + count * width])
        at += count * width
    return parts


class Replay:
    """Applies journaled changes, in order, through the index's own methods (given
    unbound, so that a durable index does not journal them again)."""

    def __init__(self, index: Any, dimension: int, label: str,
                 methods: dict[int, Callable[..., Any]],
                 live: Callable[[Keys], npt.NDArray[np.bool_]]) -> None:
        self._index = index
        self._live = live
        self._dimension = dimension
        self._label = label
        self._methods = methods

    def apply(self, records: list[Record]) -> None:
        """Replays every record; IndexFileError for one that does not make sense."""
        for number, record in enumerate(records):
            label = f"{self._label}, record {number}"
            try:
                self._apply(record, label)
            except (ValueError, TypeError, KeyError) as error:
                if isinstance(error, IndexFileError):
                    raise
                raise IndexFileError(f"{label} cannot be replayed: {error}") from error

    def _apply(self, record: Record, label: str) -> None:
        kind, payload = record
        if kind == ADDED:
            keys, tags, rows = _split(payload, (8, 8, 4 * self._dimension), label)
            vectors = np.frombuffer(rows, "<f4").reshape(-1, self._dimension)
            self._methods[ADDED](self._index, vectors, keys=np.frombuffer(keys, "<i8"),
                                 tags=np.frombuffer(tags, "<u8"))
        elif kind == DELETED:
            if len(payload) % 8:
                raise IndexFileError(f"{label}: a deletion of {len(payload)} bytes")
            self._delete_present(np.frombuffer(payload, "<i8"))
        elif kind == TAGS_SET and TAGS_SET in self._methods:
            keys, tags = _split(payload, (8, 8), label)
            present = self._present(np.frombuffer(keys, "<i8"))
            self._methods[TAGS_SET](self._index, np.frombuffer(keys, "<i8")[present],
                                    np.frombuffer(tags, "<u8")[present])
        else:
            raise IndexFileError(f"{label}: unknown kind of change {kind}")

    def _present(self, keys: Keys) -> npt.NDArray[np.bool_]:
        # A key can be missing here only where a change was made in memory but
        # never reached the journal (its call raised on the way): what was not
        # acknowledged is not replayed, and the later changes of that key
        # apply as far as they can.
        return self._live(keys)

    def _delete_present(self, keys: Keys) -> None:
        self._methods[DELETED](self._index, keys[self._present(keys)])

