"""OrvikDB — multi-metric HNSW vector index (Poincaré / Euclidean / Cosine)"""

# The types of the bindings in bindings.cpp, kept by hand: change both
# together. Installed as the zelt_core-stubs package, since a top-level
# extension module has no folder for a py.typed marker. Integers are
# SupportsIndex because the bindings refuse floats where they want an
# integer; reals are SupportsFloat (ints and NumPy scalars pass).

from collections.abc import Callable
from typing import Literal, SupportsFloat, SupportsIndex, TypedDict, overload, type_check_only

import numpy as np
import numpy.typing as npt

@type_check_only
class _Stats(TypedDict):
    num_nodes: int
    ep_id: int
    ep_layer: int
    max_m: int
    max_m_0: int
    dimension: int
    avg_degree_layer0: float
    layer_distribution: list[int]

# A mask: an integer from 0 to 2**64 - 1 (Python int, NumPy integer scalar).
_Mask = SupportsIndex
# One mask for every row, or an array (or sequence) of one per row.
_Masks = SupportsIndex | npt.ArrayLike

class HyperbolicIndex:
    def __init__(
        self,
        dimension: SupportsIndex,
        curvature: SupportsFloat = 1.0,
        M: SupportsIndex = 16,
        metric: str = "poincare",
        *,
        seed: SupportsIndex | None = None,
        reach_all: bool = False,
    ) -> None: ...
    def add_item_flat(self, vector: npt.ArrayLike, mask: _Mask = 0) -> None: ...
    def add_item_and_link(
        self, vector: npt.ArrayLike, mask: _Mask = 0, ef_construction: SupportsIndex = 200
    ) -> None: ...
    def custom_hnsw_search(
        self,
        query: npt.ArrayLike,
        k: SupportsIndex,
        filter_mask: _Mask = 0,
        ef_search: SupportsIndex = 50,
        max_radius: SupportsFloat = -1.0,
        min_norm: SupportsFloat = -1.0,
    ) -> list[int]: ...
    def filtered_search(
        self,
        query: npt.ArrayLike,
        k: SupportsIndex,
        filter_mask: _Mask = 0,
        ef_search: SupportsIndex = 2000,
        max_radius: SupportsFloat = -1.0,
        min_norm: SupportsFloat = -1.0,
    ) -> list[int]: ...
    def hardware_flat_search(
        self,
        query: npt.ArrayLike,
        k: SupportsIndex,
        filter_mask: _Mask,
        max_radius: SupportsFloat = -1.0,
        min_norm_sq: SupportsFloat = -1.0,
    ) -> list[int]: ...
    # checksum=True: the CRC-32C of the file written or read, taken in the same pass.
    @overload
    def save_index(self, filename: str, *, checksum: Literal[True]) -> int: ...
    @overload
    def save_index(self, filename: str, *, checksum: Literal[False] = False) -> None: ...
    @overload
    def load_index(self, filename: str, *, checksum: Literal[True]) -> int: ...
    @overload
    def load_index(self, filename: str, *, checksum: Literal[False] = False) -> None: ...
    def get_stats(self) -> _Stats: ...
    def get_metric(self) -> str: ...
    def compute_distance(self, query: npt.ArrayLike, node_id: SupportsIndex) -> float: ...
    def get_stored_norm(self, node_id: SupportsIndex) -> float: ...
    def update_masks(self, new_masks: npt.ArrayLike) -> None: ...
    def __len__(self) -> int: ...
    def add_items(
        self,
        vectors: npt.ArrayLike,
        masks: _Masks = 0,
        ef_construction: SupportsIndex = 200,
        num_threads: SupportsIndex = 0,
        linked: bool = True,
        progress: Callable[[int, int], object] | None = None,
    ) -> None: ...
    def search(
        self,
        queries: npt.ArrayLike,
        k: SupportsIndex,
        filter_mask: _Masks = 0,
        ef_search: SupportsIndex | None = None,
        max_radius: SupportsFloat = -1.0,
        min_norm: SupportsFloat = -1.0,
        mode: str = "graph",
        num_threads: SupportsIndex = 0,
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]: ...
    def get_vectors(self, node_ids: npt.ArrayLike) -> npt.NDArray[np.float32]: ...
    def get_masks(self) -> npt.NDArray[np.uint64]: ...
    def set_masks(self, node_ids: npt.ArrayLike, masks: _Masks) -> None: ...
    def unreachable_nodes(self) -> list[int]: ...
    # Stores rows at drawn levels without linking them (a scan finds them, no
    # walk does) until link_stored; returns the first new node's id.
    def store_items(self, vectors: npt.ArrayLike, masks: _Masks = 0) -> int: ...
    def link_stored(
        self,
        first: SupportsIndex,
        ef_construction: SupportsIndex = 200,
        num_threads: SupportsIndex = 0,
        progress: Callable[[int, int], object] | None = None,
    ) -> None: ...
    # The CRC-32C of a whole file, as save_index(..., checksum=True) reports it.
    @staticmethod
    def file_checksum(filename: str) -> int: ...
