"""orvikdb.hyperbolic: the maps between the hyperboloid and the Poincaré ball keep the
distance the index computes, bad points are refused, and the boundary report counts what
the index's graph searches leave out."""

import numpy as np
import pytest

import zelt_core
from orvikdb.hyperbolic import boundary_report, from_lorentz, to_lorentz


def hyperboloid(rng, n, d, spread):
    space = rng.standard_normal((n, d)) * spread
    return np.column_stack([np.sqrt(1 + np.sum(space**2, axis=1)), space])


def test_the_maps_keep_the_poincare_distance(rng):
    x = hyperboloid(rng, 50, 5, 1.5)
    ball = from_lorentz(x)
    np.testing.assert_allclose(to_lorentz(ball), x, rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(from_lorentz(x[0]), ball[0])
    index = zelt_core.HyperbolicIndex(5)
    index.add_items(ball.astype(np.float32), linked=False)
    lorentz = np.arccosh(np.maximum(x[:, 0] * x[0, 0] - x[:, 1:] @ x[0, 1:], 1.0))
    core = [index.compute_distance(ball[0].astype(np.float32), i) for i in range(1, 50)]
    np.testing.assert_allclose(core, lorentz[1:], rtol=2e-3)


def test_points_off_the_hyperboloid_or_the_ball_are_refused(rng):
    x = hyperboloid(rng, 4, 3, 1.0)
    with pytest.raises(ValueError, match="point 0 .* time coordinate first"):
        from_lorentz(np.roll(x, -1, axis=1))  # time coordinate last
    lower = x.copy()
    lower[2, 0] *= -1
    with pytest.raises(ValueError, match="point 2"):
        from_lorentz(lower)
    with pytest.raises(ValueError, match="point 1 is not inside the unit ball"):
        to_lorentz([[0.1, 0.2], [0.6, 0.8]])
    with pytest.raises(ValueError):
        from_lorentz(np.ones((2, 2, 2)))


def test_boundary_report_agrees_with_the_index():
    points = np.array([[0.5, 0.0], [0.9974, 0.0], [0.99749, 0.0], [0.9975, 0.0], [0.3, 0.95],
                       [1.0, 0.0], [2.0, 1.0]], dtype=np.float32)
    index = zelt_core.HyperbolicIndex(2)
    index.add_items(points, linked=False)
    stored = [index.get_stored_norm(i) for i in range(len(points))]
    report = boundary_report(points)
    assert report.beyond == sum(n >= np.float32(0.995) for n in stored) == 3
    assert (report.total, report.outside) == (7, 2)
    assert "exact=True" in report.advice and "outside the unit sphere" in str(report)
    clear = boundary_report(points[:2])
    assert (clear.beyond, clear.fraction) == (0, 0.0) and "exact=True" not in clear.advice
