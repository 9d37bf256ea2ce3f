"""Vectors from the caller as the core takes them: C-contiguous float32 rows.

The core never casts (it refuses float64 so that no precision goes unnoticed);
this layer converts every real dtype on purpose and says so, but refuses a
value that float32 cannot hold rather than letting it turn into infinity.
"""

import numpy as np
import numpy.typing as npt


def row_count_error(name: str, shape: tuple[int, ...], rows: int) -> ValueError:
    """The error for an argument that should hold one entry per row."""
    return ValueError(f"{name} must hold one entry per row ({rows}), got shape {shape}")


def _checked_cast(array: npt.NDArray[np.generic], name: str) -> npt.NDArray[np.float32]:
    with np.errstate(over="ignore", invalid="ignore"):
        rows = np.ascontiguousarray(array, dtype=np.float32)
    if array.dtype.kind == "f" and array.dtype.itemsize > 4:
        lost = np.isinf(rows) & np.isfinite(array)
        if lost.any():
            row, column = (int(i) for i in np.argwhere(lost)[0])
            raise ValueError(f"{name}: row {row} holds {array[row, column]!r} at position "
                             f"{column}, beyond the range of float32")
    return rows


def as_rows(vectors: npt.ArrayLike, dimension: int,
            name: str = "vectors") -> tuple[npt.NDArray[np.float32], bool]:
    """The rows of an (n, dimension) array, or of one 1-d vector (then True is returned)."""
    array = np.asarray(vectors)
    if array.dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold real numbers, got an array of {array.dtype}")
    single = array.ndim == 1
    if single:
        array = array.reshape(1, -1)
    if array.ndim != 2 or array.shape[1] != dimension:
        raise ValueError(f"{name} must have shape (n, {dimension}) or ({dimension},), "
                         f"got {np.shape(vectors)}")
    return _checked_cast(array, name), single
