"""The answer of a sharded search: the shards' answers merged by distance.

A key lives in exactly one shard, so the shards' answers never share a key
and the merge needs no deduplication: the k nearest of the union are the
answer. Each shard pads its rows with key -1 at distance +inf, which sorts
after every real answer and so pads the merged rows the same way.
"""

import numpy as np
import numpy.typing as npt

Part = tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]


def merge(parts: list[Part], k: int) -> Part:
    """The k nearest per query row of the shards' (queries, k) answers, nearest first.

    Equal distances keep the shards' order, and within a shard their order in
    its answer.
    """
    keys = np.concatenate([p[0] for p in parts], axis=1)
    distances = np.concatenate([p[1] for p in parts], axis=1)
    order = np.argsort(distances, axis=1, kind="stable")[:, :k]
    return (np.take_along_axis(keys, order, axis=1),
            np.take_along_axis(distances, order, axis=1))
