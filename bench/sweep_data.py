"""The kinds of data the recall sweep runs on: each a function of (rng, n, n_queries) that returns
(metric, data, queries), float32, the queries held out from the data.

Graph indexes behave differently on each: uniform data has no structure to exploit, clusters and
low intrinsic dimension are what real embeddings look like, and queries that fall between the
clusters are where a greedy descent most easily ends in the wrong place.
"""

import numpy as np

CLUSTERS = 64
CLUSTER_SPREAD = 0.5  # per coordinate, against centres with unit variance per coordinate


def _centres(rng, dim, count=CLUSTERS):
    return rng.standard_normal((count, dim))


def _around(rng, centres, count):
    pick = rng.integers(0, len(centres), count)
    return centres[pick] + CLUSTER_SPREAD * rng.standard_normal((count, centres.shape[1]))


def _unit_rows(x):
    return x / np.linalg.norm(x, axis=1, keepdims=True)


def uniform32(rng, n, n_queries):
    x = rng.random((n + n_queries, 32))
    return "euclidean", x[:n], x[n:]


def clustered128(rng, n, n_queries):
    x = _around(rng, _centres(rng, 128), n + n_queries)
    return "euclidean", x[:n], x[n:]


def lowrank128(rng, n, n_queries):
    latent = rng.standard_normal((n + n_queries, 16))
    lift = rng.standard_normal((16, 128)) / np.sqrt(16)
    x = latent @ lift + 0.01 * rng.standard_normal((n + n_queries, 128))
    return "euclidean", x[:n], x[n:]


def cosine_clustered128(rng, n, n_queries):
    # Normalised here rather than by the engines, so that every engine stores the same vectors and
    # L2 on them orders neighbours exactly as cosine does.
    x = _unit_rows(_around(rng, _centres(rng, 128), n + n_queries))
    return "cosine", x[:n], x[n:]


def between_clusters128(rng, n, n_queries):
    centres = _centres(rng, 128)
    data = _around(rng, centres, n)
    # Midpoints of two different centres, blurred like a cluster: no data lies there. The true
    # neighbours then split between two clusters, and a beam narrower than one cluster's
    # population (n / CLUSTERS) rarely leaves the cluster the descent ended in, so recall jumps
    # only once ef exceeds it.
    a = rng.integers(0, CLUSTERS, n_queries)
    b = (a + rng.integers(1, CLUSTERS, n_queries)) % CLUSTERS
    queries = 0.5 * (centres[a] + centres[b])
    queries += CLUSTER_SPREAD * rng.standard_normal(queries.shape)
    return "euclidean", data, queries


KINDS = {
    "uniform32": uniform32,
    "clustered128": clustered128,
    "lowrank128": lowrank128,
    "cosine-clustered128": cosine_clustered128,
    "between-clusters128": between_clusters128,
}

DESCRIPTIONS = {
    "uniform32": "uniform in [0, 1)^32, L2",
    "clustered128": f"{CLUSTERS} Gaussian clusters in 128-d (spread {CLUSTER_SPREAD}), L2",
    "lowrank128": "16-d Gaussian latent mapped linearly to 128-d, noise 0.01, L2",
    "cosine-clustered128": "the clusters in 128-d, normalised, cosine",
    "between-clusters128": "data in the clusters, queries at midpoints of two centres, L2",
}


def make(kind, n, n_queries, seed):
    """(metric, data, queries) of one kind; each kind has its own stream from the seed."""
    rng = np.random.default_rng([seed, list(KINDS).index(kind)])
    metric, data, queries = KINDS[kind](rng, n, n_queries)
    return (metric, np.ascontiguousarray(data, dtype=np.float32),
            np.ascontiguousarray(queries, dtype=np.float32))
