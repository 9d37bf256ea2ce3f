"""HNSW graph benchmark: orvikdb against hnswlib, single-threaded, same M / ef_construction / ef.

Reports build time, and queries per second with recall@10 for a range of ef_search values, both
measured against the exact answers; then a Poincaré run for orvikdb alone (hnswlib has no such
metric), and a run on the Poincaré mammal embeddings when they are beside the repository.
orvikdb is measured as its engine, zelt_core, called directly: one add_item_and_link per vector
and one custom_hnsw_search per query.

    python bench/bench_graph.py [--n 20000] [--dim 32] [--queries 500] [--metric l2|cosine]
"""

import argparse
import sys
import time

import benchlib

ENV_NOTE = benchlib.prepare_process(keep_openblas_env="--keep-openblas-env" in sys.argv)

import numpy as np  # noqa: E402  (after the thread pools are pinned)

from engines import EF_CONSTRUCTION, K, M  # noqa: E402
import engines  # noqa: E402

EF_VALUES = (10, 20, 40, 80, 100, 200, 400)
BOUNDARY_SQ_NORM = 0.995  # Poincaré graph searches never measure nodes at or beyond it


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--n", type=int, default=20_000)
    p.add_argument("--dim", type=int, default=32)
    p.add_argument("--queries", type=int, default=500)
    p.add_argument("--metric", choices=("l2", "cosine"), default="l2")
    p.add_argument("--reps", type=int, default=3, help="timed repetitions (median is reported)")
    p.add_argument("--seed", type=int, default=4321)
    p.add_argument("--skip-poincare", action="store_true", help="skip the orvikdb-only runs")
    p.add_argument("--keep-openblas-env", action="store_true",
                   help="do not drop OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE")
    return p.parse_args()


def median_time(run, queries, reps):
    for q in queries[: min(50, len(queries))]:
        run(q)
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        for q in queries:
            run(q)
        times.append(time.perf_counter() - t0)
    return benchlib.median(times)


def build_own(zelt_core, metric, data):
    index = zelt_core.HyperbolicIndex(data.shape[1], 1.0, M, metric)
    t0 = time.perf_counter()
    for v in data:
        index.add_item_and_link(v, 0, EF_CONSTRUCTION)
    return index, time.perf_counter() - t0


def build_hnswlib(hnswlib, metric, data):
    t0 = time.perf_counter()
    index = hnswlib.build(metric, data, 100)
    return index, time.perf_counter() - t0


def own_sweep(index, queries, truth, reps, ef_values=EF_VALUES):
    """[(ef, recall, qps)] of custom_hnsw_search."""
    rows = []
    for ef in ef_values:
        def run(q, ef=ef):
            return index.custom_hnsw_search(q, K, 0, ef)
        found = [run(q) for q in queries]
        rows.append((ef, benchlib.recall_at_k(found, truth),
                     len(queries) / median_time(run, queries, reps)))
    return rows


def hnswlib_sweep(hnswlib, index, queries, truth, reps):
    rows = []
    for ef in EF_VALUES:
        run = hnswlib.searcher(index, ef)
        found = [[int(i) for i in run(q)] for q in queries]
        rows.append((ef, benchlib.recall_at_k(found, truth),
                     len(queries) / median_time(run, queries, reps)))
    return rows


def print_stats(name, index):
    st = index.get_stats()
    print(f"  {name}: {st['num_nodes']} nodes, ep_layer {st['ep_layer']}, "
          f"avg layer-0 degree {st['avg_degree_layer0']:.2f}, "
          f"nodes by top layer 0, 1, ...: {st['layer_distribution'][1:]}")


def compare_run(args, zelt_core, hnswlib, rng):
    metric = "euclidean" if args.metric == "l2" else "cosine"
    data = rng.standard_normal((args.n, args.dim), dtype=np.float32)
    queries = rng.standard_normal((args.queries, args.dim), dtype=np.float32)
    print(f"\n== {args.metric}: {args.n} x {args.dim} standard-normal data, {args.queries} "
          f"queries, M={M}, ef_construction={EF_CONSTRUCTION}, k={K}, single-threaded ==")

    truth = benchlib.exact_top_k(metric, data, queries)
    zi, own_build = build_own(zelt_core, metric, data)
    flat = [zi.hardware_flat_search(q, K, 0) for q in queries]
    print(f"  ground truth: float64 NumPy; orvikdb hardware_flat_search agrees with it at recall "
          f"{benchlib.recall_at_k(flat, truth):.4f}")
    print_stats("orvikdb", zi)
    z_rows = own_sweep(zi, queries, truth, args.reps)

    h_rows, h_build = None, None
    if hnswlib is not None:
        hi, h_build = build_hnswlib(hnswlib, metric, data)
        h_rows = hnswlib_sweep(hnswlib, hi, queries, truth, args.reps)

    peer_note = "; hnswlib one add_items batch, num_threads=1" if hnswlib is not None else ""
    print(f"\n  build (one insertion per Python call for orvikdb{peer_note}):")
    print(f"    orvikdb {own_build:7.2f} s  ({args.n / own_build:,.0f} inserts/s)")
    if h_build is not None:
        print(f"    hnswlib {h_build:7.2f} s  ({args.n / h_build:,.0f} inserts/s)")
        print(f"    build time ratio orvikdb/hnswlib: {own_build / h_build:.2f}")
    print()
    head = f"  {'ef':>5} {'orvikdb recall':>15} {'orvikdb qps':>12}"
    if h_rows:
        head += f" {'hnswlib recall':>15} {'hnswlib qps':>12} {'qps ratio':>10}"
    print(head)
    for i, (ef, rec, qps) in enumerate(z_rows):
        line = f"  {ef:>5} {rec:>15.4f} {qps:>12.0f}"
        if h_rows:
            _, hrec, hqps = h_rows[i]
            line += f" {hrec:>15.4f} {hqps:>12.0f} {qps / hqps:>10.2f}"
        print(line)
    if h_rows:
        print("  (qps ratio = orvikdb qps / hnswlib qps; each query is one Python call for both)")


def poincare_ball_run(args, zelt_core, hnswlib, rng):
    n, dim = args.n, args.dim

    def ball(count):
        v = rng.standard_normal((count, dim)).astype(np.float32)
        v /= np.linalg.norm(v, axis=1, keepdims=True)
        return (v * rng.uniform(0.0, 0.9, (count, 1))).astype(np.float32)

    data, queries = ball(n), ball(args.queries)
    print(f"\n== poincaré (no such metric in hnswlib; L2 columns for scale): {n} x {dim} "
          f"points in the unit ball (norms uniform in [0, 0.9)), {args.queries} queries ==")
    truth = benchlib.exact_top_k("poincare", data, queries)
    zi, build = build_own(zelt_core, "poincare", data)
    flat = [zi.hardware_flat_search(q, K, 0) for q in queries]
    print(f"  build {build:.2f} s ({n / build:,.0f} inserts/s); hardware_flat_search vs float64 "
          f"NumPy: recall {benchlib.recall_at_k(flat, truth):.4f}")
    print_stats("orvikdb", zi)
    rows = own_sweep(zi, queries, truth, args.reps)
    del zi
    # For scale: the same points under squared L2, for orvikdb and hnswlib alike. Points whose
    # norms spread uniformly in a 32-dimensional ball crowd around the origin, which makes
    # these sets harder than standard-normal data for any graph index.
    truth_l2 = benchlib.exact_top_k("euclidean", data, queries)
    zl, _ = build_own(zelt_core, "euclidean", data)
    l2_rows = own_sweep(zl, queries, truth_l2, args.reps)
    del zl
    h_rows = None
    if hnswlib is not None:
        hl, _ = build_hnswlib(hnswlib, "euclidean", data)
        h_rows = hnswlib_sweep(hnswlib, hl, queries, truth_l2, args.reps)
    head = (f"  {'ef':>5} {'poincaré recall':>16} {'qps':>8}   "
            f"{'same points, L2: orvikdb recall':>32}")
    if h_rows:
        head += f" {'hnswlib recall':>15}"
    print(head)
    for i, (ef, rec, qps) in enumerate(rows):
        line = f"  {ef:>5} {rec:>16.4f} {qps:>8.0f}   {l2_rows[i][1]:>32.4f}"
        if h_rows:
            line += f" {h_rows[i][1]:>15.4f}"
        print(line)


def mammals_run(args, zelt_core):
    path = benchlib.mammals_path()
    if path is None:
        print("\n[skip] mammal embeddings not found at "
              "../shared/data/poincare-mammals/poincare_vectors.bin (relative to the repo root)")
        return
    names, data = benchlib.read_word2vec_binary(path)
    sq = np.einsum("ij,ij->i", data.astype(np.float64), data.astype(np.float64))
    boundary = sq >= BOUNDARY_SQ_NORM
    print(f"\n== poincaré mammals (orvikdb alone): {len(names)} x {data.shape[1]} trained "
          f"embeddings, every point as a query ==")
    print(f"  {int(boundary.sum())} of {len(names)} points have squared norm >= "
          f"{BOUNDARY_SQ_NORM} (the graph queries never measure those, by design)")
    zi, build = build_own(zelt_core, "poincare", data)
    print(f"  build {build:.3f} s")
    print_stats("orvikdb", zi)
    flat = [zi.hardware_flat_search(q, K, 0) for q in data]
    truth_np = benchlib.exact_top_k("poincare", data, data)
    print(f"  hardware_flat_search vs float64 NumPy: recall "
          f"{benchlib.recall_at_k(flat, truth_np):.4f}")
    gt_boundary = np.mean([boundary[f].mean() for f in flat])
    print(f"  share of the exact top-{K} ids that lie at the boundary: {gt_boundary:.3f}")
    print(f"  {'ef':>5} {'recall vs flat':>15} {'recall, interior ids only':>26} {'qps':>8}")
    # The second recall compares with the exact answers among the interior points only: the
    # nodes that the graph search can reach at all.
    interior = np.flatnonzero(~boundary)
    sub_truth = [interior[t] for t in benchlib.exact_top_k("poincare", data[interior], data)]
    for ef, rec, qps in own_sweep(zi, list(data), flat, args.reps):
        found = [zi.custom_hnsw_search(q, K, 0, ef) for q in data]
        rec_int = benchlib.recall_at_k(found, sub_truth)
        print(f"  {ef:>5} {rec:>15.4f} {rec_int:>26.4f} {qps:>8.0f}")
    print(f"  The flat scan measures every node; the graph searches skip nodes with squared norm "
          f">= {BOUNDARY_SQ_NORM},\n  so ids at the boundary come back only as the descent's end "
          f"node: recall against the full\n  answer is capped near the interior share, while "
          f"recall against the reachable (interior) answer\n  shows how well the graph itself "
          f"works.")


def main():
    args = parse_args()
    zelt_core = benchlib.import_zelt()
    hnswlib = engines.one("hnswlib")
    print("graph benchmark, single-threaded, one query per call")
    if ENV_NOTE:
        print(ENV_NOTE)
    rng = np.random.default_rng(args.seed)
    compare_run(args, zelt_core, hnswlib, rng)
    if not args.skip_poincare:
        poincare_ball_run(args, zelt_core, hnswlib, rng)
        mammals_run(args, zelt_core)


if __name__ == "__main__":
    main()
