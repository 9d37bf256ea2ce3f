"""Rows stored without links, found by an exact scan beside the graph.

Reopening a durable index replays the journal's additions as rows stored
without links: linking them is the whole cost of an insertion, and a journal
of a tenth of the snapshot's rows took many times as long to link as the
snapshot took to load. They are nodes of the core like any other (their keys,
tags and deletions work as ever), but no walk of the graph reaches them, so a
copy of them in a core of their own is scanned exactly for every graph query
and its answers merged in. The next checkpoint links them.
"""

from typing import NamedTuple

import numpy as np
import numpy.typing as npt

import zelt_core

Nodes = npt.NDArray[np.int64]
Distances = npt.NDArray[np.float32]


class Unlinked(NamedTuple):
    """Nodes first .. first + len(copy) - 1 of core, stored without links, and their copy
    (node i of copy is node first + i of core, with the same mask)."""

    core: zelt_core.HyperbolicIndex
    first: int
    copy: zelt_core.HyperbolicIndex

    @property
    def end(self) -> int:
        """One past the last of the nodes."""
        return self.first + len(self.copy)


def copy_unlinked(core: zelt_core.HyperbolicIndex, first: int,
                  copy: zelt_core.HyperbolicIndex) -> Unlinked | None:
    """The nodes of core from first on, all stored without links, copied into the empty
    core `copy` (of core's settings); None when there are none."""
    if len(core) == first:
        return None
    nodes = np.arange(first, len(core), dtype=np.int64)
    copy.add_items(core.get_vectors(nodes), core.get_masks()[first:], linked=False)
    return Unlinked(core, first, copy)


def sync_masks(unlinked: Unlinked) -> None:
    """Gives the copy the masks its nodes have now in the core (tags, deletions)."""
    masks = unlinked.core.get_masks()[unlinked.first:unlinked.end]
    unlinked.copy.set_masks(np.arange(len(unlinked.copy), dtype=np.int64), masks)


def merged(unlinked: Unlinked, nodes: Nodes, distances: Distances, queries: npt.NDArray[np.float32],
           k: int, masks: npt.NDArray[np.uint64], radius: float,
           num_threads: int) -> tuple[Nodes, Distances]:
    """The k nearest of a graph query's answers and the exact ones among the unlinked
    nodes, nearest first (the graph's first where distances tie)."""
    more, more_distances = unlinked.copy.search(queries, k, masks, None, radius, mode="exact",
                                                num_threads=num_threads)
    more = np.where(more >= 0, more + unlinked.first, -1)
    # A query that scanned every matching node found unlinked ones too; the exact
    # answers among them hold every one of those.
    seen = (nodes >= unlinked.first) & (nodes < unlinked.end)
    nodes = np.where(seen, -1, nodes)
    distances = np.where(seen, np.float32(np.inf), distances)
    both = np.concatenate([nodes, more], axis=1)
    both_distances = np.concatenate([distances, more_distances], axis=1)
    order = np.argsort(both_distances, axis=1, kind="stable")[:, :k]
    return (np.take_along_axis(both, order, axis=1),
            np.take_along_axis(both_distances, order, axis=1))
