"""The recall -> queries/s frontier of an ef sweep, and the speed it offers at a wanted recall.

A larger ef does not always buy recall (the curve flattens, noise reorders neighbours), so the
sweep points are first cut to those that no other point beats on both recall and speed.
"""

import math


def pareto(points):
    """The (recall, qps) points not dominated by another, by increasing recall."""
    best_qps = -math.inf
    keep = []
    for recall, qps in sorted(points, key=lambda p: (-p[0], -p[1])):
        if qps > best_qps:
            keep.append((recall, qps))
            best_qps = qps
    return keep[::-1]


def qps_at(points, target):
    """Queries/s at recall `target` on the frontier, linear in log q/s between the two frontier
    points around it; the fastest point's speed when even it reaches the target; None when no
    point does."""
    front = pareto(points)
    if not front or front[-1][0] < target:
        return None
    if front[0][0] >= target:
        return front[0][1]
    for (r0, q0), (r1, q1) in zip(front, front[1:]):
        if r0 < target <= r1:
            t = (target - r0) / (r1 - r0)
            return math.exp((1 - t) * math.log(q0) + t * math.log(q1))
    raise AssertionError("unreachable: the frontier spans the target")
