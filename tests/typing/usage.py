"""Typical use of orvikdb and zelt_core, for mypy --strict: it must type-check without a
single ignore, and the annotations say what each call gives back."""

import pickle

import numpy as np
import numpy.typing as npt

import orvikdb
import zelt_core
from orvikdb.hyperbolic import BoundaryReport, boundary_report, from_lorentz, to_lorentz


def build(vectors: npt.NDArray[np.float64]) -> orvikdb.Index:
    index = orvikdb.Index(vectors.shape[1], metric="poincare", M=16, seed=7)
    index.add(vectors, keys=np.arange(len(vectors)) * 10, tags=1, progress=False)
    index.delete([0, 10])
    index.set_tags([20, 30], [2, 4])
    one: int = index.get_tags(20)
    some: npt.NDArray[np.int64] = index.get_tags([20, 30])
    index.set_tags(40, one | int(some[0]))
    return index


def query(index: orvikdb.Index, queries: npt.NDArray[np.float32]) -> list[int]:
    result: orvikdb.SearchResult = index.search(queries, 5, tags=1, exact=True)
    keys, distances = result
    found: npt.NDArray[np.int64] = keys
    far: npt.NDArray[np.float32] = distances
    return [int(k) for k in found.ravel() if k >= 0 and far.size]


def round_trip(index: orvikdb.Index, path: str) -> orvikdb.Index:
    index.save(path)
    try:
        loaded = orvikdb.Index.load(path)
    except orvikdb.IndexFileError as e:
        raise SystemExit(str(e)) from e
    copy: orvikdb.Index = pickle.loads(pickle.dumps(loaded))
    return copy


def hyperbolic(points: npt.NDArray[np.float64]) -> str:
    ball: npt.NDArray[np.float64] = from_lorentz(to_lorentz(points))
    report: BoundaryReport = boundary_report(ball)
    return report.advice if report.fraction > 0.1 else str(report)


def engine(rows: npt.NDArray[np.float32]) -> int:
    core = zelt_core.HyperbolicIndex(rows.shape[1], metric="cosine", seed=1)
    core.add_items(rows, masks=1, progress=lambda done, total: None)
    ids, distances = core.search(rows, 3, mode="exact")
    nearest: list[int] = core.hardware_flat_search(rows[0], 3, 0)
    dimension: int = core.get_stats()["dimension"]
    masks: npt.NDArray[np.uint64] = core.get_masks()
    core.set_masks(ids[:, 0], masks[:3])
    return len(nearest) + dimension + int(ids[0, 0]) + len(masks) + len(distances)
