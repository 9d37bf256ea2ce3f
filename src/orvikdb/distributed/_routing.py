"""Which shard owns a key.

The owner must be the same in every process and every release, since saved
shards are found again through it, so it is a fixed integer mix (the
finaliser of splitmix64) of the key's 64 bits, reduced modulo the shard
count; Python's hash() of an int is the int itself, which would send keys
that share a stride to the same shard. The manifest records the hash's name,
and a load refuses any other.
"""

import numpy as np
import numpy.typing as npt

#: The name of the hash in the manifest.
HASH_NAME = "splitmix64"

_GOLDEN = np.uint64(0x9E3779B97F4A7C15)
_MIX_1 = np.uint64(0xBF58476D1CE4E5B9)
_MIX_2 = np.uint64(0x94D049BB133111EB)


def _splitmix64(keys: npt.NDArray[np.int64]) -> npt.NDArray[np.uint64]:
    # Array arithmetic on uint64 wraps modulo 2**64 without a warning, as the
    # mix needs.
    z = keys.astype(np.uint64) + _GOLDEN
    z = (z ^ (z >> np.uint64(30))) * _MIX_1
    z = (z ^ (z >> np.uint64(27))) * _MIX_2
    return z ^ (z >> np.uint64(31))


def shard_of(keys: npt.NDArray[np.int64], shards: int) -> npt.NDArray[np.int64]:
    """The shard (0 .. shards - 1) that owns each key."""
    return (_splitmix64(keys) % np.uint64(shards)).astype(np.int64)


def split(keys: npt.NDArray[np.int64], shards: int) -> list[npt.NDArray[np.int64]]:
    """For every shard, the positions in keys of the keys it owns, in their order in keys."""
    owners = shard_of(keys, shards)
    order = np.argsort(owners, kind="stable")
    bounds = np.searchsorted(owners[order], np.arange(shards + 1))
    return [order[bounds[s]:bounds[s + 1]] for s in range(shards)]
