"""orvikdb at work on built-in data: exact search, graph search per metric, tags and filters,
deletion and files, with searches of one query per call beside one call for all queries.

    python demo/demo.py            # full run (about half a minute on two cores)
    python demo/demo.py --quick    # smaller data, a few seconds

Everything is generated from fixed seeds, so two runs print the same answers (the graph's levels
are drawn from the system's random source, so graph recall varies a little between runs).
"""

import argparse
import os
import sys
import tempfile
import time

# A search of one query runs on the calling thread; the NumPy reference below does the same, so
# that the two numbers compare (a multi-threaded BLAS on a busy two-core machine mostly waits).
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import numpy as np  # noqa: E402

try:
    import orvikdb
except ImportError as exc:
    sys.exit(f"orvikdb cannot be imported ({exc}); scripts/demo.sh builds and installs it first")

# The settings the benchmarks build with, so that the demo's figures compare with theirs.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
from engines import EF_CONSTRUCTION, K, M  # noqa: E402

EF_SEARCH = 100
TAG = 1 << 1  # the rare tag that the filter asks for
TAG_SHARE = 0.05
CLUSTER_SIZE = 2000  # points per cluster, on average
SPREAD = 0.02  # standard deviation of every coordinate around the cluster's centre


def section(title):
    print(f"\n{title}\n{'-' * len(title)}")


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t0


def answered(row):
    """The keys of one answer row, without the padding of a short answer."""
    return [int(key) for key in row if key >= 0]


def recall(found, truth):
    hits = sum(len(set(answered(f)) & set(answered(t))) for f, t in zip(found, truth))
    total = sum(len(answered(t)) for t in truth)
    return hits / total if total else 1.0


# -- (a) exact search over a large index without links ----------------------------------------

def flat_demo(n, dim, n_queries, rng):
    section(f"(a) exact search: {n:,} x {dim} float32 vectors, Euclidean, no graph links")
    data = rng.standard_normal((n, dim), dtype=np.float32)
    queries = rng.standard_normal((n_queries, dim), dtype=np.float32)
    # M=0 keeps no links: only the exact scan answers such an index, and adding a row costs one
    # copy of it and its norm.
    index = orvikdb.Index(dim, metric="euclidean", M=0)

    _, fill_s = timed(lambda: index.add(data))
    print(f"stored {n:,} vectors (keys 0 to {n - 1:,}) with add in {fill_s:.2f} s")

    index.search(queries[0], K, exact=True)  # warm-up
    found, scan_s = timed(lambda: [index.search(q, K, exact=True).keys for q in queries])

    # NumPy brute force: squared distances by the expansion, top k by argpartition.
    norms = np.einsum("ij,ij->i", data, data)

    def numpy_top_k(q):
        d = norms - 2.0 * (data @ q) + np.dot(q, q)
        part = np.argpartition(d, K - 1)[:K]
        return part[np.argsort(d[part])]

    expected, numpy_s = timed(lambda: [numpy_top_k(q) for q in queries])
    same_order = sum(answered(f) == answered(e) for f, e in zip(found, expected))
    # Where the key sets differ, check in double precision whether the difference is a tie.
    unexplained = 0
    for q, f, e in zip(queries, found, expected):
        if set(answered(f)) != set(answered(e)):
            exact = ((data.astype(np.float64) - q.astype(np.float64)) ** 2).sum(axis=1)
            if not np.allclose(np.sort(exact[f]), np.sort(exact[e]), rtol=1e-6):
                unexplained += 1
    print(f"search(exact=True):   {n_queries / scan_s:,.0f} queries/s "
          f"({1e3 * scan_s / n_queries:.2f} ms each, {n * dim * 4 * n_queries / scan_s / 1e9:.1f} "
          f"GB/s scanned)")
    print(f"NumPy brute force:    {n_queries / numpy_s:,.0f} queries/s (single-threaded BLAS, for "
          "reference)")
    print(f"agreement with NumPy: recall@{K} {recall(found, expected):.4f}; same keys in the same "
          f"order for {same_order}/{n_queries} queries;\n                      differences beyond "
          f"ties: {unexplained}")
    return unexplained == 0


# -- (b) graph indexes, one per metric ---------------------------------------------------------

def clustered_points(n, dim, n_clusters, rng, spread):
    """Gaussian clusters around centres inside the unit ball (norms 0.3 to 0.8): valid points
    for every metric, Poincaré included. Returns points and, to draw queries, the centres."""
    dirs = rng.standard_normal((n_clusters, dim))
    dirs /= np.linalg.norm(dirs, axis=1, keepdims=True)
    centres = dirs * rng.uniform(0.3, 0.8, (n_clusters, 1))
    owner = rng.integers(0, n_clusters, n)
    pts = centres[owner] + spread * rng.standard_normal((n, dim))
    return pts.astype(np.float32), centres


def graph_demo(metric, data, queries, tags):
    index = orvikdb.Index(data.shape[1], metric=metric, M=M, ef_construction=EF_CONSTRUCTION)
    # Every core links rows at once; the graph then depends on the threads' timing, its recall
    # does not. The progress bar only where someone watches.
    _, build_s = timed(lambda: index.add(data, tags=tags, progress=sys.stderr.isatty()))
    truth = index.search(queries, K, exact=True).keys
    found, one_s = timed(lambda: [index.search(q, K, ef=EF_SEARCH).keys for q in queries])
    # One call for all the queries, on every core: the same keys as one call per query.
    batch, batch_s = timed(lambda: index.search(queries, K, ef=EF_SEARCH).keys)
    assert all(answered(row) == answered(one) for row, one in zip(batch, found)), metric
    row = {"metric": metric, "build_s": build_s, "recall": recall(found, truth),
           "qps": len(queries) / one_s, "batch_qps": len(queries) / batch_s}

    # The same queries restricted to vectors tagged TAG: the plain search (which counts the
    # matches and scans or walks them) at ef EF_SEARCH and at its default, and the exact scan.
    post, post_s = timed(lambda: index.search(queries, K, tags=TAG, ef=EF_SEARCH).keys)
    during, during_s = timed(lambda: index.search(queries, K, tags=TAG).keys)
    exact, exact_s = timed(lambda: index.search(queries, K, tags=TAG, exact=True).keys)
    for name, answers in (("post", post), ("during", during)):
        assert all(int(tags[key]) & TAG for a in answers for key in answered(a)), name
    row.update({
        "post_len": np.mean([len(answered(a)) for a in post]),
        "post_full": sum(len(answered(a)) == K for a in post),
        "during_len": np.mean([len(answered(a)) for a in during]),
        "during_full": sum(len(answered(a)) == K for a in during),
        "during_recall": recall(during, exact),
        "post_qps": len(queries) / post_s, "during_qps": len(queries) / during_s,
        "exact_qps": len(queries) / exact_s,
    })
    return index, row


def graph_section(n, dim, n_queries, rng):
    section(f"(b) graph indexes: {n:,} x {dim} clustered points, M={M}, "
            f"ef_construction={EF_CONSTRUCTION}, one per metric")
    n_clusters = max(1, n // CLUSTER_SIZE)
    data, centres = clustered_points(n, dim, n_clusters, rng, SPREAD)
    pick = rng.integers(0, n_clusters, n_queries)
    queries = (centres[pick] + SPREAD * rng.standard_normal((n_queries, dim))).astype(np.float32)
    # Bit 0 tags about half of the vectors, bit 1 (TAG) about one in twenty.
    tags = ((rng.random(n) < 0.5).astype(np.uint64)
            | ((rng.random(n) < TAG_SHARE).astype(np.uint64) << np.uint64(1)))
    print(f"{n_clusters} clusters; every vector carries tags: bit 0 on ~50% of the vectors,\n"
          f"bit 1 (the tag filtered for below) on ~{TAG_SHARE:.0%}")
    print(f"{n_queries} queries near the cluster centres; truth = search(exact=True)\n")

    rows, indexes = [], {}
    print(f"search with ef {EF_SEARCH}, one query per call and one call for all:")
    print(f"  {'metric':<10} {'build':>7} {'recall@' + str(K):>10} {'queries/s':>10} "
          f"{'one call':>10}")
    for metric in ("euclidean", "cosine", "poincare"):
        index, row = graph_demo(metric, data, queries, tags)
        rows.append(row)
        indexes[metric] = index
        print(f"  {metric:<10} {row['build_s']:6.1f}s {row['recall']:>10.4f} {row['qps']:>10,.0f} "
              f"{row['batch_qps']:>10,.0f}")

    print(f"\ntags = {TAG:#b} (only tagged vectors), k = {K}: keys returned on average, queries\n"
          f"answered with all {K}")
    print(f"  {'metric':<10} {'ef ' + str(EF_SEARCH):>30}   {'default ef':>42}")
    for r in rows:
        print(f"  {r['metric']:<10} {r['post_len']:8.1f} keys {r['post_full']:4d}/{n_queries} "
              f"{r['post_qps']:7,.0f} q/s   {r['during_len']:8.1f} keys {r['during_full']:4d}/"
              f"{n_queries} recall {r['during_recall']:.3f} {r['during_qps']:6,.0f} q/s")
    print(f"  The search counts the vectors tagged {TAG:#b} exactly, then scans just them or walks "
          f"the graph\n  keeping only them, so every query gets min(k, matches) keys (recall "
          f"against exact=True\n  with the same tags).")
    print("  For scale, exact=True with the same tags (it skips untagged vectors before "
          "measuring\n  them): " + ", ".join(f"{r['metric']} {r['exact_qps']:,.0f} q/s"
                                           for r in rows))
    return indexes, queries


# -- (c) deletion and files ---------------------------------------------------------------------

def persistence_demo(index, metric, queries):
    section(f"(c) delete, save and load ({metric} graph index)")
    doomed = np.unique(index.search(queries, 1, exact=True).keys[:, 0])
    index.delete(doomed)
    print(f"deleted the {len(doomed)} keys nearest to some query; {len(index):,} vectors live")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, f"demo-{metric}.idx")
        _, save_s = timed(lambda: index.save(path))
        size = os.path.getsize(path) + os.path.getsize(path + ".orvikdb")
        # The files hold the metric, the settings, the keys and the deletions.
        loaded, load_s = timed(lambda: orvikdb.Index.load(path))
    print(f"saved {size / 2**20:.1f} MiB (index file and sidecar) in {save_s * 1e3:.0f} ms, "
          f"loaded in {load_s * 1e3:.0f} ms")

    def same(**kwargs):
        a, b = index.search(queries, K, **kwargs), loaded.search(queries, K, **kwargs)
        return np.array_equal(a.keys, b.keys) and np.array_equal(a.distances, b.distances)

    exact = loaded.search(queries, K, exact=True).keys
    checks = {
        "metric, M and live count as saved":
            (loaded.metric, loaded.M, len(loaded)) == (metric, M, len(index)),
        "search: same keys and distances": same(ef=EF_SEARCH),
        "tagged search (tag): the same": same(tags=TAG),
        "exact search: the same": same(exact=True),
        "stored vectors: the same": np.array_equal(index.get_vectors(exact[:, 0]),
                                                   loaded.get_vectors(exact[:, 0])),
        "deleted keys: never returned": not np.isin(exact, doomed).any(),
    }
    for name, passed in checks.items():
        print(f"  {name:<36} {'yes' if passed else 'NO'}")
    return all(checks.values())


def main():
    p = argparse.ArgumentParser(description="orvikdb demo on built-in data")
    p.add_argument("--quick", action="store_true", help="smaller data for a run of seconds")
    args = p.parse_args()
    if args.quick:
        flat_n, graph_n, flat_q, graph_q = 50_000, 4_000, 50, 100
    else:
        flat_n, graph_n, flat_q, graph_q = 300_000, 20_000, 100, 300
    print(orvikdb.__doc__.split("\n\n")[0].replace("\n", " "))
    t0 = time.perf_counter()
    rng = np.random.default_rng(2024)
    ok = flat_demo(flat_n, 64, flat_q, rng)
    indexes, queries = graph_section(graph_n, 32, graph_q, rng)
    ok = persistence_demo(indexes["poincare"], "poincare", queries) and ok
    print(f"\ndone in {time.perf_counter() - t0:.0f} s" + ("" if ok else " -- WITH MISMATCHES"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
