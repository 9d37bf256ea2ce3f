"""Helpers for hyperbolic embeddings: the Lorentz (hyperboloid) model and the
boundary of the Poincaré ball.

Many hyperbolic embedding models output points of the hyperboloid
-x0**2 + x1**2 + ... + xd**2 = -1/c, x0 > 0 (time coordinate first); the index
takes points of the Poincaré ball of radius 1/sqrt(c) (orvikdb.Index(...,
curvature=c)). The maps between them are the usual ones of curvature -c;
some models (MERU, HyCoCLIP) output the space coordinates x1 … xd alone,
which from_lorentz_space maps.
"""

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

#: Points of the ball whose squared norm (as the index stores it, in float32)
#: reaches this are stored and found by exact search, but the graph searches
#: of an index built with reach_all=False do not walk through them.
BOUNDARY_SQUARED_NORM = 0.995
#: How far a point's Minkowski norm may stray from -1, relative to x0**2.
LORENTZ_TOLERANCE = 1e-3


def _points(points: npt.ArrayLike, name: str) -> npt.NDArray[np.float64]:
    array = np.asarray(points, dtype=np.float64)
    if array.ndim not in (1, 2) or array.shape[-1] < 1:
        raise ValueError(f"{name} must be a 1-d point or a 2-d array of points, got shape "
                         f"{array.shape}")
    return array


def _curvature(curvature: float) -> float:
    value = float(curvature)
    if not (np.isfinite(value) and value > 0):
        raise ValueError(f"curvature must be a finite number above 0, got {curvature!r}")
    return value


def from_lorentz_space(space: npt.ArrayLike, curvature: float = 1.0) -> npt.NDArray[np.float64]:
    """Space coordinates x1 … xd of hyperboloid points (the time coordinate left out, as MERU
    and HyCoCLIP output them) as points of the Poincaré ball of radius 1/sqrt(curvature).

    (n, d) -> (n, d), or (d,) -> (d,). Every finite point is a point of the
    hyperboloid (x0 = sqrt(1/c + |x|**2)), so only non-finite ones are
    refused.
    """
    c = _curvature(curvature)
    x = _points(space, "space")
    space_sq = np.sum(x * x, axis=-1)
    bad = np.atleast_1d(~np.isfinite(space_sq))
    if bad.any():
        raise ValueError(f"point {int(np.flatnonzero(bad)[0])} is not finite")
    result: npt.NDArray[np.float64] = x / (1.0 + np.sqrt(1.0 + c * space_sq))[..., None]
    return result


def from_lorentz(points: npt.ArrayLike, curvature: float = 1.0) -> npt.NDArray[np.float64]:
    """Points of the hyperboloid -x0**2 + x1**2 + ... = -1/curvature (time coordinate first) as
    points of the Poincaré ball of radius 1/sqrt(curvature).

    (n, d + 1) -> (n, d), or (d + 1,) -> (d,). The ball point is computed from
    the space coordinates alone, which is exact on the hyperboloid and stable
    far from the origin; a point whose Minkowski norm is not -1/curvature
    within LORENTZ_TOLERANCE (relative to x0**2), or whose time coordinate is
    not positive, is refused with the first bad row named, since it usually
    means the coordinates come in another order (or another curvature).
    """
    c = _curvature(curvature)
    x = _points(points, "points")
    time, space = x[..., 0], x[..., 1:]
    space_sq = np.sum(space * space, axis=-1)
    off = (np.abs(space_sq - time * time + 1.0 / c)
           > LORENTZ_TOLERANCE * np.maximum(time * time, 1.0 / c))
    bad = np.atleast_1d((time <= 0) | off | ~np.isfinite(space_sq))
    if bad.any():
        row = int(np.flatnonzero(bad)[0])
        raise ValueError(f"point {row} is not on the upper sheet of the hyperboloid "
                         f"-x0**2 + x1**2 + ... = -1/{c:g} (is the time coordinate first?)")
    return from_lorentz_space(space, c)


def to_lorentz(points: npt.ArrayLike, curvature: float = 1.0) -> npt.NDArray[np.float64]:
    """Points of the Poincaré ball of radius 1/sqrt(curvature) as points of the hyperboloid
    -x0**2 + x1**2 + ... = -1/curvature, time coordinate first.

    (n, d) -> (n, d + 1), or (d,) -> (d + 1,); a point on or beyond the
    ball's sphere is refused.
    """
    c = _curvature(curvature)
    p = _points(points, "points")
    raw_sq = np.sum(p * p, axis=-1)
    norm_sq = c * raw_sq
    bad = np.atleast_1d(~(norm_sq < 1.0))
    if bad.any():
        row = int(np.flatnonzero(bad)[0])
        ball = "the unit ball" if c == 1.0 else f"the ball of radius {1 / np.sqrt(c):g}"
        raise ValueError(f"point {row} is not inside {ball} (squared norm "
                         f"{np.atleast_1d(raw_sq)[row]!r})")
    scale = 1.0 / (1.0 - norm_sq)
    result: npt.NDArray[np.float64] = np.concatenate(
        [((1.0 + norm_sq) * scale / np.sqrt(c))[..., None], 2.0 * p * scale[..., None]],
        axis=-1)
    return result


@dataclass(frozen=True)
class BoundaryReport:
    """How many points of the Poincaré ball lie where graph searches do not walk."""

    total: int
    """The number of points looked at."""
    beyond: int
    """How many have a squared norm of BOUNDARY_SQUARED_NORM or more."""
    outside: int
    """How many of those are on or outside the unit sphere (not points of the ball at all)."""

    @property
    def fraction(self) -> float:
        """beyond / total (0.0 for no points)."""
        return self.beyond / self.total if self.total else 0.0

    @property
    def advice(self) -> str:
        """What to do about them, in a sentence or two."""
        if not self.beyond:
            return "Every point lies inside the boundary; graph searches reach them all."
        text = (f"{self.beyond} of {self.total} points ({self.fraction:.1%}) have a squared "
                f"norm of {BOUNDARY_SQUARED_NORM} or more: the graph searches of an index built "
                "with reach_all=False do not walk through them, so build it with "
                "reach_all=True (orvikdb's default for \"poincare\") or search with "
                "exact=True.")
        if self.outside:
            text += (f" {self.outside} lie on or outside the unit sphere, where the Poincaré "
                     "distance has no meaning.")
        return text

    def __str__(self) -> str:
        return self.advice


def boundary_report(points: npt.ArrayLike) -> BoundaryReport:
    """Counts the points (rows of an array, or one 1-d point) beyond the boundary that the
    graph searches keep to, with their squared norms taken in float32 as the index does."""
    with np.errstate(over="ignore"):
        p = np.atleast_2d(_points(points, "points")).astype(np.float32)
        norm_sq = np.sum(p * p, axis=1, dtype=np.float32)
    beyond = ~(norm_sq < np.float32(BOUNDARY_SQUARED_NORM))
    outside = ~(norm_sq < np.float32(1.0))
    return BoundaryReport(total=len(p), beyond=int(beyond.sum()), outside=int(outside.sum()))
