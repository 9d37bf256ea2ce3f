"""zelt_core at work on built-in data: exact search, graph search per metric, filters, persistence,
with the batch calls (add_items, search) on every core beside the one-vector ones.

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

# zelt_core runs each query on the calling thread; the NumPy reference below does the same, so
# that the two numbers compare (a multi-threaded BLAS on a busy two-core machine mostly waits).
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import numpy as np  # noqa: E402

try:
    import zelt_core
except ImportError as exc:
    sys.exit(f"zelt_core cannot be imported ({exc}); scripts/demo.sh builds and installs it first")

K = 10
M = 16
EF_CONSTRUCTION = 200
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


def recall(found, truth):
    hits = sum(len(set(f) & set(int(x) for x in t)) for f, t in zip(found, truth))
    total = sum(len(t) for t in truth)
    return hits / total if total else 1.0


# -- (a) exact search over a large flat index -------------------------------------------------

def flat_demo(n, dim, n_queries, rng):
    section(f"(a) exact search: {n:,} x {dim} float32 vectors, Euclidean, flat index")
    data = rng.standard_normal((n, dim), dtype=np.float32)
    queries = rng.standard_normal((n_queries, dim), dtype=np.float32)
    index = zelt_core.HyperbolicIndex(dim, 1.0, M, "euclidean")

    _, fill_s = timed(lambda: index.add_items(data, linked=False))
    print(f"stored {n:,} vectors with add_items(linked=False) in {fill_s:.2f} s")

    index.hardware_flat_search(queries[0], K, 0)  # warm-up
    found, zelt_s = timed(lambda: [index.hardware_flat_search(q, K, 0) for q in queries])

    # NumPy brute force: squared distances by the expansion, top k by argpartition.
    norms = np.einsum("ij,ij->i", data, data)

    def numpy_top_k(q):
        d = norms - 2.0 * (data @ q) + np.dot(q, q)
        part = np.argpartition(d, K - 1)[:K]
        return part[np.argsort(d[part])]

    expected, numpy_s = timed(lambda: [numpy_top_k(q) for q in queries])
    same_order = sum(list(f) == [int(x) for x in e] for f, e in zip(found, expected))
    # Where the id sets differ, check in double precision whether the difference is a tie.
    unexplained = 0
    for q, f, e in zip(queries, found, expected):
        if set(f) != set(int(x) for x in e):
            exact = ((data.astype(np.float64) - q.astype(np.float64)) ** 2).sum(axis=1)
            if not np.allclose(np.sort(exact[f]), np.sort(exact[e]), rtol=1e-6):
                unexplained += 1
    print(f"hardware_flat_search: {n_queries / zelt_s:,.0f} queries/s "
          f"({1e3 * zelt_s / n_queries:.2f} ms each, {n * dim * 4 * n_queries / zelt_s / 1e9:.1f} "
          f"GB/s scanned)")
    print(f"NumPy brute force:    {n_queries / numpy_s:,.0f} queries/s (single-threaded BLAS, for "
          "reference)")
    print(f"agreement with NumPy: recall@{K} {recall(found, expected):.4f}; same ids in the same "
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


def graph_demo(metric, data, queries, masks):
    n, dim = data.shape
    index = zelt_core.HyperbolicIndex(dim, 1.0, M, metric)

    def progress(done, total):
        if sys.stdout.isatty():  # a line that rewrites itself; a log gets the table alone
            print(f"\r  {metric}: linked {done:,} of {total:,} rows", end="", flush=True)

    # Every core links rows at once; the graph then depends on the threads' timing, its recall
    # does not.
    _, build_s = timed(lambda: index.add_items(data, masks, EF_CONSTRUCTION, progress=progress))
    if sys.stdout.isatty():
        print("\r" + " " * 60 + "\r", end="")
    stats = index.get_stats()
    truth = [index.hardware_flat_search(q, K, 0) for q in queries]
    found, graph_s = timed(lambda: [index.custom_hnsw_search(q, K, 0, EF_SEARCH) for q in queries])
    # One call for the whole batch, on every core: the same ids as one call per query.
    (batch_ids, _), batch_s = timed(lambda: index.search(queries, K, ef_search=EF_SEARCH))
    assert all(list(row[row >= 0]) == one for row, one in zip(batch_ids, found)), metric
    row = {
        "metric": metric, "build_s": build_s, "recall": recall(found, truth),
        "qps": len(queries) / graph_s, "batch_qps": len(queries) / batch_s,
        "ep_layer": stats["ep_layer"],
        "degree": stats["avg_degree_layer0"],
    }

    # The same query restricted to nodes carrying TAG.
    exact_f, exact_s = timed(lambda: [index.hardware_flat_search(q, K, TAG) for q in queries])
    post_f, post_s = timed(
        lambda: [index.custom_hnsw_search(q, K, TAG, EF_SEARCH) for q in queries])
    during_f, during_s = timed(lambda: [index.filtered_search(q, K, TAG) for q in queries])
    for name, answers in (("post", post_f), ("during", during_f)):
        assert all(int(masks[i]) & TAG for a in answers for i in a), name
    row.update({
        "post_len": np.mean([len(a) for a in post_f]),
        "post_full": sum(len(a) == K for a in post_f),
        "during_len": np.mean([len(a) for a in during_f]),
        "during_full": sum(len(a) == K for a in during_f),
        "during_recall": recall(during_f, exact_f),
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
    # Bit 0 marks about half of the nodes, bit 1 (TAG) about one in twenty.
    masks = ((rng.random(n) < 0.5).astype(np.uint64)
             | ((rng.random(n) < TAG_SHARE).astype(np.uint64) << np.uint64(1)))
    print(f"{n_clusters} clusters; every node carries a 64-bit mask: bit 0 on ~50% of the nodes,\n"
          f"bit 1 (the tag filtered for below) on ~{TAG_SHARE:.0%}")
    print(f"{n_queries} queries near the cluster centres; truth = hardware_flat_search (exact)\n")

    rows, indexes = [], {}
    print(f"custom_hnsw_search with ef_search {EF_SEARCH}:")
    print(f"  {'metric':<10} {'build':>7} {'entry layer':>12} {'layer-0 degree':>15} "
          f"{'recall@' + str(K):>10} {'queries/s':>10} {'batch search':>13}")
    for metric in ("euclidean", "cosine", "poincare"):
        index, row = graph_demo(metric, data, queries, masks)
        rows.append(row)
        indexes[metric] = index
        print(f"  {metric:<10} {row['build_s']:6.1f}s {row['ep_layer']:>12} {row['degree']:>15.1f} "
              f"{row['recall']:>10.4f} {row['qps']:>10,.0f} {row['batch_qps']:>13,.0f}")

    print(f"\nfilter_mask = {TAG:#b} (only tagged nodes), k = {K}: ids returned on average, "
          f"queries\nanswered with all {K}")
    print(f"  {'metric':<10} {'custom_hnsw_search':>30}   {'filtered_search':>42}")
    for r in rows:
        print(f"  {r['metric']:<10} {r['post_len']:8.1f} ids {r['post_full']:4d}/{n_queries} "
              f"{r['post_qps']:7,.0f} q/s   {r['during_len']:8.1f} ids {r['during_full']:4d}/"
              f"{n_queries} recall {r['during_recall']:.3f} {r['during_qps']:6,.0f} q/s")
    print(f"  custom_hnsw_search filters the ~{EF_SEARCH} candidates its beam found, so a tag on "
          f"~{TAG_SHARE:.0%} of the\n  nodes leaves only a few; filtered_search tests the filter "
          f"while it walks and goes on until\n  it has k matches (its recall is against "
          f"hardware_flat_search with the same filter).")
    print("  For scale, the exact hardware_flat_search with the same filter (it skips untagged "
          "nodes\n  before measuring them): " + ", ".join(
              f"{r['metric']} {r['exact_qps']:,.0f} q/s" for r in rows))
    return indexes, queries


# -- (c) persistence ----------------------------------------------------------------------------

def persistence_demo(index, metric, dim, queries):
    section(f"(c) save_index / load_index round trip ({metric} graph index)")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, f"demo-{metric}.zelt")
        _, save_s = timed(lambda: index.save_index(path))
        size = os.path.getsize(path)
        # The file does not record the metric: the receiving index is built with the same one.
        loaded = zelt_core.HyperbolicIndex(dim, 1.0, M, metric)
        _, load_s = timed(lambda: loaded.load_index(path))
    print(f"saved {size / 2**20:.1f} MiB in {save_s * 1e3:.0f} ms, loaded in {load_s * 1e3:.0f} ms")
    checks = {
        "get_stats": index.get_stats() == loaded.get_stats(),
        "custom_hnsw_search": all(index.custom_hnsw_search(q, K, 0, EF_SEARCH)
                                  == loaded.custom_hnsw_search(q, K, 0, EF_SEARCH)
                                  for q in queries),
        "filtered_search (tag)": all(index.filtered_search(q, K, TAG)
                                     == loaded.filtered_search(q, K, TAG) for q in queries),
        "hardware_flat_search": all(index.hardware_flat_search(q, K, 0)
                                    == loaded.hardware_flat_search(q, K, 0) for q in queries),
        "compute_distance": all(index.compute_distance(queries[0], i)
                                == loaded.compute_distance(queries[0], i)
                                for i in range(0, index.get_stats()["num_nodes"], 97)),
    }
    for name, same in checks.items():
        print(f"  {name:<22} {'identical' if same else 'DIFFERENT'}")
    return all(checks.values())


def main():
    p = argparse.ArgumentParser(description="zelt_core demo on built-in data")
    p.add_argument("--quick", action="store_true", help="smaller data for a run of seconds")
    args = p.parse_args()
    if args.quick:
        flat_n, graph_n, flat_q, graph_q = 50_000, 4_000, 50, 100
    else:
        flat_n, graph_n, flat_q, graph_q = 300_000, 20_000, 100, 300
    print(zelt_core.__doc__)
    t0 = time.perf_counter()
    rng = np.random.default_rng(2024)
    ok = flat_demo(flat_n, 64, flat_q, rng)
    indexes, queries = graph_section(graph_n, 32, graph_q, rng)
    ok = persistence_demo(indexes["poincare"], "poincare", 32, queries) and ok
    print(f"\ndone in {time.perf_counter() - t0:.0f} s" + ("" if ok else " -- WITH MISMATCHES"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
