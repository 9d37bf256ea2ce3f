"""At scale on all cores: orvikdb's engine against hnswlib on a million clustered vectors.

Both engines build the same index (M 16, the same ef_construction) on every core, then answer
the held-out queries as batch calls on every core over an ef sweep; recall@10 is against the
exact answers (orvikdb's exact batch search, checked against NumPy on a sample). Reported: the
build times and their ratio, and queries/s at recall 0.90 / 0.95 / 0.99 read off each engine's
recall -> q/s frontier. The memory of the same size after a load, orvikdb's keys included, is
bench/bench_load.py's.

    python bench/bench_million.py [--n 1000000] [--dim 96] [--queries 2000]
                                  [--ef-construction 200] [--reps 3]
"""

import argparse
import os
import time

import benchlib

benchlib.prepare_process()

import numpy as np  # noqa: E402

import frontier  # noqa: E402
from engines import M  # noqa: E402
from sweep_data import CLUSTER_SPREAD  # noqa: E402

EFS = (10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384)
TARGETS = (0.90, 0.95, 0.99)
K = 10


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--n", type=int, default=1_000_000)
    p.add_argument("--dim", type=int, default=96)
    p.add_argument("--queries", type=int, default=2000)
    p.add_argument("--ef-construction", type=int, default=200)
    p.add_argument("--reps", type=int, default=3, help="timed passes per ef (median is kept)")
    p.add_argument("--seed", type=int, default=2024)
    return p.parse_args()


def clustered(rng, n, n_queries, dim, clusters=256):
    """Gaussian clusters, normalised (cosine); the queries drawn like the data, held out."""
    centres = rng.standard_normal((clusters, dim), dtype=np.float32)
    pick = rng.integers(0, clusters, n + n_queries)
    x = centres[pick] + np.float32(CLUSTER_SPREAD) * rng.standard_normal((n + n_queries, dim),
                                                                       dtype=np.float32)
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    return x[:n], x[n:]


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, out


def median_time(fn, reps):
    fn()
    return float(np.median([timed(fn)[0] for _ in range(reps)]))


def recall(found, truth):
    return float(np.mean([len(set(f[:K]) & set(t[:K])) / K for f, t in zip(found, truth)]))


def main():
    args = parse_args()
    zelt_core = benchlib.import_zelt()
    hnswlib = benchlib.import_peer("hnswlib", "hnswlib")
    cores = os.cpu_count() or 1
    rng = np.random.default_rng(args.seed)
    data, queries = clustered(rng, args.n, args.queries, args.dim)
    print(f"{args.n} x {args.dim} clustered, cosine, {args.queries} queries, M {M}, "
          f"ef_construction {args.ef_construction}, {cores} cores, batch calls")

    own = zelt_core.HyperbolicIndex(args.dim, 1.0, M, "cosine", seed=args.seed)
    own_build, _ = timed(lambda: own.add_items(data, 0, args.ef_construction, num_threads=0))
    truth, _ = own.search(queries, K, mode="exact", num_threads=0)
    sample = slice(0, 20)
    check = np.argsort(-(queries[sample] @ data.T), axis=1, kind="stable")[:, :K]
    print(f"exact answers agree with NumPy on {recall(truth[sample], check):.4f} of a sample")
    engines = {"orvikdb": (own, lambda ef: (lambda: own.search(queries, K, ef_search=ef,
                                                                num_threads=0)[0]))}
    builds = {"orvikdb": own_build}
    if hnswlib is not None:
        theirs = hnswlib.Index(space="cosine", dim=args.dim)
        theirs.init_index(max_elements=args.n, M=M, ef_construction=args.ef_construction,
                          random_seed=args.seed)
        builds["hnswlib"], _ = timed(lambda: theirs.add_items(data, num_threads=cores))

        def hnsw_search(ef):
            theirs.set_ef(ef)
            return lambda: theirs.knn_query(queries, k=K, num_threads=cores)[0]

        engines["hnswlib"] = (theirs, hnsw_search)
    for name, seconds in builds.items():
        print(f"  build {name:<8} {seconds:8.1f} s ({args.n / seconds:,.0f} inserts/s)")
    if "hnswlib" in builds:
        print(f"  build time ratio hnswlib/orvikdb: {builds['hnswlib'] / own_build:.2f}")

    points = {name: [] for name in engines}
    print("  ef  " + "  ".join(f"{name:>8} recall {name:>8} q/s" for name in engines))
    for ef in EFS:
        row = []
        for name, (_, search_at) in engines.items():
            search = search_at(ef)
            found = search()
            seconds = median_time(search, args.reps)
            r, qps = recall(found, truth), args.queries / seconds
            points[name].append((r, qps))
            row.append(f"{r:15.4f} {qps:12,.0f}")
        print(f"{ef:4d}  " + "  ".join(row))
    for target in TARGETS:
        at = {name: frontier.qps_at(p, target) for name, p in points.items()}
        line = ", ".join(f"{name} {q:,.0f}" if q else f"{name} n/a" for name, q in at.items())
        ratio = (f", ratio {at['orvikdb'] / at['hnswlib']:.2f}"
                 if at.get("hnswlib") and at.get("orvikdb") else "")
        print(f"  q/s at recall {target:.2f}: {line}{ratio}")


if __name__ == "__main__":
    main()
