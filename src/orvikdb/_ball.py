"""The Poincaré ball of an index: its curvature and its boundary.

The core measures the hyperbolic distance of the unit ball (curvature -1).
An index of curvature -c holds the ball of radius 1/sqrt(c), where
d_c(x, y) = d_1(sqrt(c) x, sqrt(c) y) / sqrt(c): so the core stores sqrt(c) x,
and distances come back divided by sqrt(c). Points on or outside the ball
have no hyperbolic distance at all, so they are refused rather than stored.
"""

import math

import numpy as np
import numpy.typing as npt


def checked_curvature(metric: str, curvature: float) -> float:
    """The curvature as a float; ValueError unless it is a finite number above 0 (and 1 for a
    metric other than "poincare", which has no curvature)."""
    value = float(curvature)
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"curvature must be a finite number above 0, got {curvature!r}")
    if metric != "poincare" and value != 1.0:
        raise ValueError(f"curvature applies to metric=\"poincare\" only, not {metric!r}")
    return value


class Ball:
    """What an index of this metric and curvature does to vectors, radii and distances."""

    def __init__(self, metric: str, curvature: float) -> None:
        self.hyperbolic = metric == "poincare"
        self.curvature = curvature
        self._scale = math.sqrt(curvature)

    def inward(self, rows: npt.NDArray[np.float32], name: str) -> npt.NDArray[np.float32]:
        """Rows as the core takes them; ValueError naming the first row on or outside the
        ball."""
        if not self.hyperbolic:
            return rows
        if self._scale != 1.0:
            rows = np.ascontiguousarray(rows * np.float32(self._scale), dtype=np.float32)
        with np.errstate(over="ignore", invalid="ignore"):
            norms = np.einsum("ij,ij->i", rows, rows, dtype=np.float32)
        outside = ~(norms < np.float32(1.0))
        if outside.any():
            row = int(np.flatnonzero(outside)[0])
            raise ValueError(
                f"{name}: row {row} lies on or outside the Poincaré ball of radius "
                f"{1 / self._scale:g} (curvature {self.curvature:g}), where hyperbolic "
                "distance has no meaning; for ordinary vectors use metric=\"euclidean\" or "
                "\"cosine\"")
        return rows

    def radius_in(self, radius: float) -> float:
        """A caller's distance bound in the core's units."""
        return radius * self._scale if radius >= 0 and self.hyperbolic else radius

    def distances_out(self, distances: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
        """The core's distances in the caller's units."""
        if not self.hyperbolic or self._scale == 1.0:
            return distances
        return (distances / np.float32(self._scale)).astype(np.float32)

    def vectors_out(self, vectors: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
        """The core's stored vectors in the caller's units."""
        if not self.hyperbolic or self._scale == 1.0:
            return vectors
        return (vectors / np.float32(self._scale)).astype(np.float32)
