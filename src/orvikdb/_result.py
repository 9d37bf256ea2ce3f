"""The answer of a search."""

from typing import NamedTuple

import numpy as np
import numpy.typing as npt


class SearchResult(NamedTuple):
    """Keys and distances of the nearest nodes, nearest first.

    Both arrays have shape (queries, k), or (k,) for a single 1-d query; rows
    with fewer than k answers are padded with key -1 and distance +inf.
    Unpacks as ``keys, distances = index.search(...)``.
    """

    keys: npt.NDArray[np.int64]
    """The keys of the answers, -1 where there is none."""
    distances: npt.NDArray[np.float32]
    """The distances of the answers, +inf where there is none."""
