"""Exact k-nearest throughput: orvikdb's exact scan against NumPy and faiss.

Every engine scans the same seeded random float32 data, one query per call as a user would issue
it, single-threaded, Euclidean metric. Reported: queries per second, GB/s of vector data scanned
(n * dim * 4 bytes per query), the throughput ratios, and how far the answers agree. orvikdb is
measured as its engine, zelt_core, called directly (hardware_flat_search, one query per call).

    python bench/bench_flat.py [--n 100000] [--dim 128] [--queries 100] [--k 10] [--all-metrics]
                               [--linked]

Then the same queries as one batch call each (orvikdb's search(mode="exact") against faiss's
search, one thread), and with --linked the scan of an index whose nodes are linked into a graph,
which must not be slower than that of flat nodes.
"""

import argparse
import sys
import time

import benchlib

ENV_NOTE = benchlib.prepare_process(keep_openblas_env="--keep-openblas-env" in sys.argv)

import numpy as np  # noqa: E402  (after the thread pools are pinned)

from engines import M  # noqa: E402


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--n", type=int, default=100_000, help="number of stored vectors")
    p.add_argument("--dim", type=int, default=128, help="vector dimension")
    p.add_argument("--queries", type=int, default=100, help="queries per repetition")
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--reps", type=int, default=5, help="timed repetitions (median is reported)")
    p.add_argument("--seed", type=int, default=1234)
    p.add_argument("--all-metrics", action="store_true",
                   help="also time orvikdb alone on the cosine and Poincaré metrics")
    p.add_argument("--linked", action="store_true",
                   help="also scan an index of linked nodes (built on all cores, ef_construction 40)")
    p.add_argument("--keep-openblas-env", action="store_true",
                   help="do not drop OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE")
    return p.parse_args()


def time_engine(search, queries, reps, warmup):
    """Median wall time of one pass over the queries, after a warm-up pass over a few of them."""
    return benchlib.time_engines({"": search}, queries, reps, warmup)[""]


def batch_ratio(index, flat, queries, k, reps):
    """orvikdb's batch exact search over faiss's, one thread each: the median of the per-turn
    ratios of queries/s, and orvikdb's median queries/s."""
    def own():
        index.search(queries, k, mode="exact", num_threads=1)

    def theirs():
        flat.search(queries, k)

    own(), theirs()
    own_s, their_s = [], []
    for _ in range(reps):
        for fn, acc in ((own, own_s), (theirs, their_s)):
            t0 = time.perf_counter()
            fn()
            acc.append(time.perf_counter() - t0)
    ratios = [t / o for o, t in zip(own_s, their_s)]
    return float(np.median(ratios)), len(queries) / float(np.median(own_s))


def numpy_searcher(data, k):
    # ||x - q||^2 = ||x||^2 - 2 x.q + ||q||^2; the last term does not change the order but is kept
    # so that the distances are real ones.
    norms = np.einsum("ij,ij->i", data, data)

    def search(q):
        d = norms - 2.0 * (data @ q) + np.dot(q, q)
        part = np.argpartition(d, k - 1)[:k]
        return part[np.argsort(d[part], kind="stable")]

    return search


def exact_distances(metric, data, q):
    """Float64 reference distances of q to every row (Euclidean squared, cosine, Poincaré)."""
    x = data.astype(np.float64)
    q = q.astype(np.float64)
    if metric == "euclidean":
        return ((x - q) ** 2).sum(axis=1)
    if metric == "cosine":
        return 1.0 - (x @ q) / np.sqrt((x * x).sum(axis=1) * (q @ q))
    xn = (x * x).sum(axis=1)
    arg = 1.0 + 2.0 * ((x - q) ** 2).sum(axis=1) / ((1.0 - xn) * (1.0 - q @ q))
    return np.arccosh(arg)


def agreement(ids_a, ids_b, dist_rows, k, rel_tol=1e-5):
    """Plain recall of a against b, and the number of queries whose differing ids are not ties.

    A differing id counts as a tie when its reference distance equals (within rel_tol) that of
    the k-th id of b.
    """
    hits, unexplained = 0, 0
    for a, b, d in zip(ids_a, ids_b, dist_rows):
        sa, sb = set(int(i) for i in a), set(int(i) for i in b)
        hits += len(sa & sb)
        kth = max(d[list(sb)]) if sb else 0.0
        extra = [i for i in sa - sb if abs(d[i] - kth) > rel_tol * max(abs(kth), 1e-12)]
        if extra or len(sa) != len(sb):
            unexplained += 1
    return hits / (k * len(ids_a)), unexplained


def make_data(metric, n, dim, n_queries, rng):
    if metric == "poincare":
        # Points inside the unit ball, norms spread uniformly over [0, 0.9).
        def ball(count):
            v = rng.standard_normal((count, dim)).astype(np.float32)
            v /= np.linalg.norm(v, axis=1, keepdims=True)
            return (v * rng.uniform(0.0, 0.9, (count, 1))).astype(np.float32)
        return ball(n), ball(n_queries)
    return (rng.standard_normal((n, dim), dtype=np.float32),
            rng.standard_normal((n_queries, dim), dtype=np.float32))


def build_flat(zelt_core, metric, data):
    index = zelt_core.HyperbolicIndex(data.shape[1], 1.0, M, metric)
    t0 = time.perf_counter()
    for v in data:
        index.add_item_flat(v)
    return index, time.perf_counter() - t0


def report_line(name, seconds, n_queries, bytes_per_query):
    qps = n_queries / seconds
    gbs = bytes_per_query * qps / 1e9
    print(f"  {name:<28} {qps:10.1f} q/s {1e3 / qps:9.3f} ms/query {gbs:8.2f} GB/s")
    return qps


def read_bandwidth(megabytes=512, reps=5):
    """The machine's single-threaded read bandwidth, for scale: the best of a few NumPy sums
    over an array far larger than the caches."""
    block = np.ones(megabytes * (1 << 20) // 4, dtype=np.float32)
    block.sum()
    best = min(timed(block.sum) for _ in range(reps))
    return block.nbytes / best / 1e9


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def main():
    args = parse_args()
    zelt_core = benchlib.import_zelt()
    faiss = benchlib.import_peer("faiss", "faiss-cpu")
    if faiss is not None:
        faiss.omp_set_num_threads(1)

    print(f"flat search benchmark: n={args.n} dim={args.dim} k={args.k} "
          f"queries={args.queries} reps={args.reps} (median), single-threaded, one query per call")
    if ENV_NOTE:
        print(ENV_NOTE)
    print(benchlib.blas_description())
    print(f"memory read bandwidth (NumPy sum over 512 MB, one thread): {read_bandwidth():.1f} GB/s")
    if faiss is not None:
        print(f"faiss {getattr(faiss, '__version__', '?')}")

    rng = np.random.default_rng(args.seed)
    data, queries = make_data("euclidean", args.n, args.dim, args.queries, rng)
    bytes_per_query = args.n * args.dim * 4
    warmup = min(10, args.queries)
    k = args.k

    index, build_s = build_flat(zelt_core, "euclidean", data)
    print(f"orvikdb add_item_flat: {args.n} vectors in {build_s:.2f} s "
          f"({args.n / build_s:,.0f} inserts/s, Python call per vector)")

    print("\nEuclidean (squared L2):")

    def own_search(q):
        return index.hardware_flat_search(q, k, 0)

    np_search = numpy_searcher(data, k)
    searches = {"orvikdb": own_search, "numpy": np_search}
    if faiss is not None:
        flat = faiss.IndexFlatL2(args.dim)
        flat.add(data)

        def faiss_search(q):
            return flat.search(q.reshape(1, -1), k)[1][0]

        searches["faiss"] = faiss_search
    seconds = benchlib.time_engines(searches, queries, args.reps, warmup)
    qps_own = report_line("orvikdb hardware_flat_search", seconds["orvikdb"], args.queries,
                          bytes_per_query)
    qps_np = report_line("numpy (gemv + argpartition)", seconds["numpy"], args.queries,
                         bytes_per_query)
    qps_faiss = None
    if faiss is not None:
        qps_faiss = report_line("faiss IndexFlatL2", seconds["faiss"], args.queries,
                                bytes_per_query)

    print(f"  ratio orvikdb/numpy: {qps_own / qps_np:.2f}x")
    if qps_faiss is not None:
        print(f"  ratio orvikdb/faiss: {qps_own / qps_faiss:.2f}x")

    own_ids = [own_search(q) for q in queries]
    ref_d = [exact_distances("euclidean", data, q) for q in queries]
    rec, bad = agreement(own_ids, [np_search(q) for q in queries], ref_d, k)
    print(f"  agreement orvikdb vs numpy: recall {rec:.4f}, queries differing beyond ties: {bad}")
    if faiss is not None:
        rec, bad = agreement(own_ids, [faiss_search(q) for q in queries], ref_d, k)
        print(f"  agreement orvikdb vs faiss: recall {rec:.4f}, "
              f"queries differing beyond ties: {bad}")
    exact = [np.argsort(d, kind="stable")[:k] for d in ref_d]
    rec, bad = agreement(own_ids, exact, ref_d, k)
    print(f"  agreement orvikdb vs float64 exact: recall {rec:.4f}, "
          f"queries differing beyond ties: {bad}")
    if faiss is not None:
        ratio, qps = batch_ratio(index, flat, queries, k, args.reps)
        print(f"  batch of {args.queries}: orvikdb search(mode=\"exact\") {qps:10.1f} q/s, "
              f"ratio orvikdb/faiss {ratio:.2f}x")
    del index

    if args.linked:
        linked = zelt_core.HyperbolicIndex(args.dim, 1.0, M, "euclidean", seed=args.seed)
        t0 = time.perf_counter()
        linked.add_items(data, ef_construction=40, num_threads=0)
        print(f"\nEuclidean, linked nodes (built in {time.perf_counter() - t0:.1f} s):")

        def linked_search(q):
            return linked.hardware_flat_search(q, k, 0)

        turns = {"orvikdb": linked_search}
        if faiss is not None:
            turns["faiss"] = faiss_search
        seconds = benchlib.time_engines(turns, queries, args.reps, warmup)
        qps_linked = report_line("orvikdb hardware_flat_search", seconds["orvikdb"], args.queries,
                                 bytes_per_query)
        if faiss is not None:
            qps_f = report_line("faiss IndexFlatL2", seconds["faiss"], args.queries,
                                bytes_per_query)
            print(f"  ratio orvikdb/faiss: {qps_linked / qps_f:.2f}x")
            ratio, qps = batch_ratio(linked, flat, queries, k, args.reps)
            print(f"  batch of {args.queries}: orvikdb search(mode=\"exact\") {qps:10.1f} q/s, "
                  f"ratio orvikdb/faiss {ratio:.2f}x")
        del linked

    if args.all_metrics:
        for metric in ("cosine", "poincare"):
            data_m, queries_m = make_data(metric, args.n, args.dim, args.queries, rng)
            index_m, _ = build_flat(zelt_core, metric, data_m)
            note = " (points with norms in [0, 0.9))" if metric == "poincare" else ""
            print(f"\n{metric}{note}, orvikdb alone:")

            def search_m(q, index_m=index_m):
                return index_m.hardware_flat_search(q, k, 0)

            qps_m = report_line("orvikdb hardware_flat_search",
                                time_engine(search_m, queries_m, args.reps, warmup),
                                args.queries, bytes_per_query)
            print(f"  relative to orvikdb Euclidean: {qps_m / qps_own:.2f}x")
            ref_m = [exact_distances(metric, data_m, q) for q in queries_m]
            exact_m = [np.argsort(d, kind="stable")[:k] for d in ref_m]
            rec, bad = agreement([search_m(q) for q in queries_m], exact_m, ref_m, k)
            print(f"  agreement vs float64 exact: recall {rec:.4f}, "
                  f"queries differing beyond ties: {bad}")
            del index_m


if __name__ == "__main__":
    main()
