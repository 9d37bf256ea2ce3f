"""What a shard loses when it has to come back from its last save, and how that is said.

A shard none of whose replicas holds its current contents any more (every
one of them restarted, or the only one did) comes back from the files of
its last save, or empty where there was none, and everything changed after
that save is gone. The caller keeps, for every shard, the keys that its adds
and deletes named since the save, so that the loss can be reported key by
key, as a LostRowsWarning and in ShardedIndex.lost; it is never silent.
"""

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

_NO_KEYS = np.zeros(0, dtype=np.int64)


class LostRowsWarning(UserWarning):
    """A shard came back from its last save without the changes made after it."""


@dataclass(frozen=True)
class ShardLoss:
    """The changes one shard lost when it came back from its last save."""

    shard: int
    """The shard that lost them."""
    added: npt.NDArray[np.int64]
    """Keys added (or replaced) after the save: each is now absent, or holds its saved vector."""
    undeleted: npt.NDArray[np.int64]
    """Keys deleted after the save that the shard holds again."""
    source: str | None
    """The index file the shard came back from; None where it had never been saved and
    came back empty."""

    def __str__(self) -> str:
        origin = (f"its last save ({self.source})" if self.source is not None
                  else "nothing (it had never been saved)")
        return (f"shard {self.shard} lost every replica and came back from {origin}: "
                f"{len(self.added)} keys added after that are lost "
                f"{_sample(self.added)} and {len(self.undeleted)} keys deleted after it are "
                f"back {_sample(self.undeleted)}")


def _sample(keys: npt.NDArray[np.int64], shown: int = 10) -> str:
    text = ", ".join(str(k) for k in keys[:shown].tolist())
    return f"[{text}{', ...' if len(keys) > shown else ''}]"


class Journal:
    """Per shard, the keys changed since the last save."""

    def __init__(self, shards: int) -> None:
        self._added: list[list[npt.NDArray[np.int64]]] = [[] for _ in range(shards)]
        self._deleted: list[list[npt.NDArray[np.int64]]] = [[] for _ in range(shards)]

    def added(self, shard: int, keys: npt.NDArray[np.int64]) -> None:
        """Notes keys that an add put into the shard."""
        self._added[shard].append(keys)

    def deleted(self, shard: int, keys: npt.NDArray[np.int64]) -> None:
        """Notes keys that a delete took out of the shard."""
        self._deleted[shard].append(keys)

    def changes(self, shard: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
        """The distinct keys added and deleted in the shard since the last save, ascending."""
        return _distinct(self._added[shard]), _distinct(self._deleted[shard])

    def forget(self, shard: int) -> None:
        """Starts the shard's record afresh: it was saved, or its changes were reported lost."""
        self._added[shard].clear()
        self._deleted[shard].clear()


def _distinct(parts: list[npt.NDArray[np.int64]]) -> npt.NDArray[np.int64]:
    return np.unique(np.concatenate(parts)) if parts else _NO_KEYS
