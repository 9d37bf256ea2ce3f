"""Batch calls on every core: add_items and search against one thread, a Python loop and hnswlib.

orvikdb is measured as its engine, zelt_core, called directly: the batch calls orvikdb.Index.add
and search go through, against a loop of single-query calls.

    python bench/bench_batch.py [--kind clustered128] [--n 50000] [--queries 2000] [--reps 5]
                               [--query-reps 7]
    python bench/bench_batch.py --memory 1000000      # peak memory of both calls on n x 32

Builds the same data with add_items on 1 and on all threads (hnswlib's add_items beside them),
then answers the queries with search() on 1 and on all threads, with a Python loop of
custom_hnsw_search (the ids alone; and again with compute_distance for each id, which is what
search returns), and with hnswlib's knn_query on all threads, over a range of ef. Query speeds
are compared at equal recall@10 on each engine's recall -> queries/s frontier. Every timing is
the best of several runs taken in turns (--reps builds, --query-reps passes over the queries), so
a slow moment of the machine falls on all alike.
"""

import argparse
import os
import time

import benchlib

benchlib.prepare_process()

import numpy as np  # noqa: E402

import engines  # noqa: E402
import frontier  # noqa: E402
import sweep_data  # noqa: E402
from engines import EF_CONSTRUCTION, K, M  # noqa: E402

EFS = (16, 24, 32, 48, 64, 96, 128, 192, 256)
RECALLS = (0.90, 0.95, 0.99)


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--kind", default="clustered128", choices=sorted(sweep_data.KINDS))
    p.add_argument("--n", type=int, default=50000)
    p.add_argument("--queries", type=int, default=2000)
    p.add_argument("--reps", type=int, default=5, help="builds of each way (best taken)")
    p.add_argument("--query-reps", type=int, default=7,
                   help="passes over the queries per engine and ef (best taken)")
    p.add_argument("--seed", type=int, default=7)
    p.add_argument("--memory", type=int, metavar="N", default=0,
                   help="instead: peak memory of add_items and search on N x 32 vectors")
    return p.parse_args()


def rss_bytes():
    with open("/proc/self/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return int(fields["VmRSS"].split()[0]) * 1024, int(fields["VmHWM"].split()[0]) * 1024


def memory_report(zelt_core, n, cores, seed):
    """Peak RSS while both batch calls run on all cores, against the data plus the index: the
    threads share the index and the queries, so the peak should be the sum of those alone."""
    rng = np.random.default_rng(seed)
    data = rng.random((n, 32), dtype=np.float32)
    queries = data[: n // 10]
    index = zelt_core.HyperbolicIndex(32, 1.0, M, "euclidean", seed=seed)
    base, _ = rss_bytes()
    t0 = time.perf_counter()
    index.add_items(data, 0, EF_CONSTRUCTION, num_threads=cores)
    build_s = time.perf_counter() - t0
    after_build, peak_build = rss_bytes()
    t0 = time.perf_counter()
    ids, distances = index.search(queries, K, ef_search=64, num_threads=cores)
    search_s = time.perf_counter() - t0
    _, peak_search = rss_bytes()
    index_bytes = after_build - base
    answers = ids.nbytes + distances.nbytes
    print(f"{n:,} x 32 on {cores} threads: add_items {build_s:.1f} s, search of {len(queries):,} "
          f"queries {search_s:.1f} s")
    print(f"  data {data.nbytes / 2**20:,.0f} MiB (queries are a view of it); the index "
          f"{index_bytes / 2**20:,.0f} MiB ({index_bytes / n:.0f} B per vector); answers "
          f"{answers / 2**20:,.0f} MiB")
    print(f"  peak during add_items: {(peak_build - base) / 2**20:,.0f} MiB above the data; "
          f"during search: {(peak_search - base) / 2**20:,.0f} MiB above it (index + answers "
          f"+ {(peak_search - base - index_bytes - answers) / 2**20:,.0f} MiB)")


def build_times(own, hnswlib, metric, data, cores, args):
    """Every build time of each way, taken in turns round by round; the indexes of the last
    round."""
    ways = {"orvikdb 1 thread": lambda: own.build(metric, data, args.seed, 1),
            f"orvikdb {cores} threads": lambda: own.build(metric, data, args.seed, cores)}
    if hnswlib is not None:
        ways[f"hnswlib {cores} threads"] = lambda: hnswlib.build(metric, data, args.seed, cores)
    times = {name: [] for name in ways}
    built = {}
    for _ in range(args.reps):
        for name, build in ways.items():
            t0 = time.perf_counter()
            built[name] = build()
            times[name].append(time.perf_counter() - t0)
    return times, built


def query_points(searches, queries, truth, reps):
    """Per engine, the (recall, queries/s) of every ef, and the time of each pass. The engines
    take turns within every repetition: a pass over the queries takes well under a second, so a
    slow moment of the machine would otherwise fall on one engine's passes alone."""
    points = {name: [] for name in searches}
    times = {name: [] for name in searches}
    for ef in EFS:
        answers = {name: search(ef) for name, search in searches.items()}  # warm-up and recall
        passes = {name: [] for name in searches}
        for _ in range(reps):
            for name, search in searches.items():
                t0 = time.perf_counter()
                search(ef)
                passes[name].append(time.perf_counter() - t0)
        for name in searches:
            points[name].append((benchlib.recall_at_k(answers[name], truth, K),
                                 len(queries) / min(passes[name])))
            times[name].append(passes[name])
    return points, times


def paired_points(points, times, over, under):
    """The points of `over`, an engine that gives the same answers as `under` at every ef, as
    under's queries/s times the median over the repetitions of the two engines' speed ratio
    within one repetition. The speed of this shared machine drifts from one repetition to the
    next; taken pairwise, the drift falls out of the ratio."""
    return [(recall, qps * benchlib.median([u / o for u, o in zip(times[under][i], times[over][i])]))
            for i, (recall, qps) in enumerate(points[under])]


def loop_with_distances(index, queries, ef):
    """What search() returns, made by single-query calls: the ids and their distances in two
    padded arrays. The plain loop above gives the ids alone, in lists."""
    ids = np.full((len(queries), K), -1, dtype=np.int64)
    distances = np.full((len(queries), K), np.inf, dtype=np.float32)
    for i, q in enumerate(queries):
        found = index.custom_hnsw_search(q, K, 0, ef)
        ids[i, :len(found)] = found
        distances[i, :len(found)] = [index.compute_distance(q, j) for j in found]
    return ids


def main():
    args = parse_args()
    own = engines.one("orvikdb")
    hnswlib = engines.one("hnswlib")
    cores = os.cpu_count() or 1
    if args.memory:
        memory_report(own.lib, args.memory, cores, args.seed)
        return
    rng = np.random.default_rng(args.seed)
    metric, data, queries = sweep_data.KINDS[args.kind](rng, args.n, args.queries)
    data = np.ascontiguousarray(data, dtype=np.float32)
    queries = np.ascontiguousarray(queries, dtype=np.float32)
    print(f"{args.kind} ({metric}), {args.n} x {data.shape[1]}, {args.queries} queries, "
          f"M {M}, ef_construction {EF_CONSTRUCTION}, {cores} cores; "
          f"{benchlib.blas_description()}")

    build_runs, built = build_times(own, hnswlib, metric, data, cores, args)
    times = {name: min(runs) for name, runs in build_runs.items()}

    def build_ratio(slower, faster):
        """The ratio of the best times, and the median of the ratios within a round."""
        rounds = [s / f for s, f in zip(build_runs[slower], build_runs[faster])]
        return (f"{times[slower] / times[faster]:.2f} (median of the rounds' ratios "
                f"{benchlib.median(rounds):.2f})")
    print("\nbuild                     seconds")
    for name, seconds in times.items():
        print(f"  {name:<22}{seconds:8.2f}")
    print(f"  orvikdb {cores} threads over 1 thread: "
          f"{build_ratio('orvikdb 1 thread', f'orvikdb {cores} threads')}")
    if hnswlib is not None:
        print(f"  hnswlib {cores} threads' time over orvikdb's: "
              f"{build_ratio(f'hnswlib {cores} threads', f'orvikdb {cores} threads')}")

    index = built[f"orvikdb {cores} threads"]
    truth = benchlib.exact_top_k(metric, data, queries, K)
    searches = {
        "orvikdb search 1 thread": lambda ef: index.search(queries, K, ef_search=ef,
                                                       num_threads=1)[0],
        f"orvikdb search {cores} threads": lambda ef: index.search(queries, K, ef_search=ef,
                                                               num_threads=cores)[0],
        "orvikdb Python loop": lambda ef: [index.custom_hnsw_search(q, K, 0, ef) for q in queries],
        "orvikdb loop with distances": lambda ef: loop_with_distances(index, queries, ef),
    }
    if hnswlib is not None:
        peer = built[f"hnswlib {cores} threads"]

        def knn(ef, threads=cores):
            peer.set_ef(ef)
            return peer.knn_query(queries, k=K, num_threads=threads)[0]

        def knn_loop(ef):
            peer.set_ef(ef)
            return [peer.knn_query(q, k=K, num_threads=1)[0][0] for q in queries]
        searches[f"hnswlib knn_query {cores} threads"] = knn
        # The same batch-over-loop measure for the peer: how much a single-query call costs
        # beyond its search is the library's own, and it bounds what a batch can save.
        searches["hnswlib knn_query 1 thread"] = lambda ef: knn(ef, 1)
        searches["hnswlib Python loop"] = knn_loop
    points, times = query_points(searches, queries, truth, args.query_reps)

    print("\nqueries/s at recall@10   " + "".join(f"{r:>10.2f}" for r in RECALLS))
    at = {name: [frontier.qps_at(p, r) for r in RECALLS] for name, p in points.items()}
    for name, speeds in at.items():
        print(f"  {name:<30}" + "".join(f"{s:>10.0f}" if s else f"{'-':>10}" for s in speeds))

    def ratio(over, under, paired=False):
        over_at = at[over]
        if paired:
            pairs = paired_points(points, times, over, under)
            over_at = [frontier.qps_at(pairs, r) for r in RECALLS]
        return "".join(f"{a / b:>10.2f}" if a and b else f"{'-':>10}"
                       for a, b in zip(over_at, at[under]))
    # Ways that give the same answers at every ef, so that their ratio can also be taken pairwise.
    same_answers = [(f"{cores} threads over 1 thread", f"orvikdb search {cores} threads",
                     "orvikdb search 1 thread"),
                    ("1 thread over Python loop", "orvikdb search 1 thread", "orvikdb Python loop"),
                    ("1 thread over loop w/ dist", "orvikdb search 1 thread",
                     "orvikdb loop with distances")]
    if hnswlib is not None:
        same_answers.append(("hnswlib 1 thread over loop", "hnswlib knn_query 1 thread",
                             "hnswlib Python loop"))
    for label, over, under in same_answers:
        print(f"  {label:<28}" + ratio(over, under))
    if hnswlib is not None:
        print(f"  {f'orvikdb over hnswlib ({cores} thr)':<28}" +
              ratio(f"orvikdb search {cores} threads", f"hnswlib knn_query {cores} threads"))
    print("  the same-answer ratios again, each the median of the ratios within a repetition:")
    for label, over, under in same_answers:
        print(f"  {label:<28}" + ratio(over, under, paired=True))


if __name__ == "__main__":
    main()
