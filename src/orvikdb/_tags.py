"""Tag bits and the one bit orvikdb keeps for itself.

A node's mask in the core is its tags plus LIVE_BIT while the node is live.
Every query adds LIVE_BIT to its filter, and the core passes a node only when
every bit of the filter is set in its mask, so clearing the bit is all a
deletion takes.
"""

import operator

import numpy as np
import numpy.typing as npt

from orvikdb._rows import row_count_error

#: The mask bit that marks a node as live; users' tags use bits 0 to 62.
LIVE_BIT = np.uint64(1 << 63)
_TAG_LIMIT = 1 << 63


def _bad_tag(value: object, name: str) -> ValueError:
    if isinstance(value, int) and _TAG_LIMIT <= value < 2 * _TAG_LIMIT:
        return ValueError(f"{name} may not use bit 63 ({value:#x}): orvikdb keeps that bit to "
                          "mark deleted nodes; tags use bits 0 to 62")
    return ValueError(f"{name} must be integers from 0 to 2**63 - 1, got {value!r}")


def _one_tag(tags: object, name: str) -> int:
    try:
        value = operator.index(tags)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an int or a sequence of ints, "
                        f"not {type(tags).__name__}") from None
    if not 0 <= value < _TAG_LIMIT:
        raise _bad_tag(value, name)
    return value


def tag_masks(tags: object, rows: int, name: str = "tags") -> npt.NDArray[np.uint64]:
    """The core masks of `rows` live rows: one tag for all of them or one per row."""
    array = np.asarray(tags) if not isinstance(tags, int) else None
    if array is None or array.ndim == 0:
        return np.full(rows, _one_tag(tags, name), dtype=np.uint64) | LIVE_BIT
    if array.dtype.kind not in "iu":
        raise TypeError(f"{name} must be integers, got an array of {array.dtype}")
    if array.shape != (rows,):
        raise row_count_error(name, array.shape, rows)
    if array.size and (array.min() < 0 or array.max() >= _TAG_LIMIT):
        worst = array.min() if array.min() < 0 else array.max()
        raise _bad_tag(int(worst), name)
    return array.astype(np.uint64) | LIVE_BIT
