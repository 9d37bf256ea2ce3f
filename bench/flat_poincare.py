"""What the Poincaré distance costs in orvikdb's exact scan: its engine's hardware_flat_search
over the same points under "poincare" and under "euclidean", timed in alternating turns, one
query per call.

The points lie inside the unit ball (uniformly in the ball of radius 0.9), so that both metrics
are defined on them; the trained mammal embeddings, tiled, show the cost on a real low dimension.
"""

import numpy as np

import benchlib
from engines import K, M


def ball(rng, count, dim):
    v = rng.standard_normal((count, dim))
    v /= np.linalg.norm(v, axis=1, keepdims=True)
    return (v * 0.9 * rng.random((count, 1)) ** (1.0 / dim)).astype(np.float32)


def cases(scale, seed):
    """(label, data, queries) of each measured shape; `scale` shrinks the sizes."""
    rng = np.random.default_rng([seed, 99])
    out = []
    for n, dim, n_queries in ((500_000, 32, 100), (20_000, 128, 1000)):
        n = max(1000, int(n * scale))
        out.append((f"ball {n} x {dim}", ball(rng, n, dim), ball(rng, n_queries, dim)))
    path = benchlib.mammals_path()
    if path is None:
        print("[skip] mammal embeddings not found at "
              "../shared/data/poincare-mammals/poincare_vectors.bin (relative to the repo root)")
    else:
        _, mammals = benchlib.read_word2vec_binary(path)
        tiles = max(1, int(70 * scale))
        data = np.tile(mammals, (tiles, 1))
        queries = mammals[rng.permutation(len(mammals))[:1000]]
        out.append((f"mammals x {tiles} = {len(data)} x {data.shape[1]}", data, queries))
    return out


def flat_index(zelt_core, metric, data):
    index = zelt_core.HyperbolicIndex(data.shape[1], 1.0, M, metric)
    for v in data:
        index.add_item_flat(v)
    return index


def compare(zelt_core, scale, seed, reps):
    """[(label, poincare q/s, euclidean q/s)]."""
    rows = []
    for label, data, queries in cases(scale, seed):
        poincare = flat_index(zelt_core, "poincare", data)
        euclidean = flat_index(zelt_core, "euclidean", data)
        seconds = benchlib.time_engines({
            "poincare": lambda q: poincare.hardware_flat_search(q, K, 0),
            "euclidean": lambda q: euclidean.hardware_flat_search(q, K, 0),
        }, list(queries), reps, warmup=min(10, len(queries)))
        rows.append((label, len(queries) / seconds["poincare"],
                     len(queries) / seconds["euclidean"]))
    return rows
