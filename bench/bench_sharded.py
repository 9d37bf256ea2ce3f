"""Sharded index benchmark: orvikdb.distributed.ShardedIndex with 1 and 2 shards on a local Ray.

Reports build time, queries per second and recall@10 (against the exact answers of one plain
orvikdb.Index, which is also measured in this process as the peer), with the query rows sent in
batches from one caller and, to keep the threaded replicas busy, from several callers at once.
Ray is started here on the given CPUs (2 by default, the machine's size).

    python bench/bench_sharded.py [--n 20000] [--dim 32] [--queries 2000] [--batch 100]
                                  [--callers 4] [--cpus 2] [--replicas 1] [--reps 3]
"""

import argparse
import sys
import threading
import time

import benchlib

ENV_NOTE = benchlib.prepare_process(keep_openblas_env="--keep-openblas-env" in sys.argv)

import numpy as np  # noqa: E402  (after the thread pools are pinned)

from engines import EF_CONSTRUCTION, K, M  # noqa: E402

EF = 50


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--n", type=int, default=20_000)
    p.add_argument("--dim", type=int, default=32)
    p.add_argument("--queries", type=int, default=2000)
    p.add_argument("--batch", type=int, default=100, help="query rows per search call")
    p.add_argument("--callers", type=int, default=4, help="threads searching at once")
    p.add_argument("--cpus", type=int, default=2, help="the CPUs of the local Ray")
    p.add_argument("--replicas", type=int, default=1)
    p.add_argument("--reps", type=int, default=3, help="timed repetitions (median is reported)")
    p.add_argument("--seed", type=int, default=4321)
    p.add_argument("--keep-openblas-env", action="store_true",
                   help="do not drop OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE")
    return p.parse_args()


def queries_per_second(index, queries, batch, callers, reps):
    """The median rate over reps of every query row searched once, split over callers."""
    batches = [queries[i:i + batch] for i in range(0, len(queries), batch)]
    shares = [batches[c::callers] for c in range(callers)]

    def run(share):
        for rows in share:
            index.search(rows, K, ef=EF)

    run(batches[:2])  # warm-up
    times = []
    for _ in range(reps):
        threads = [threading.Thread(target=run, args=(s,)) for s in shares]
        t0 = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        times.append(time.perf_counter() - t0)
    return len(queries) / benchlib.median(times)


def measure(name, index, data, queries, truth, args):
    t0 = time.perf_counter()
    index.add(data)
    build = time.perf_counter() - t0
    found = index.search(queries, K, ef=EF).keys
    recall = benchlib.recall_at_k(found, truth, K)
    one = queries_per_second(index, queries, args.batch, 1, args.reps)
    many = queries_per_second(index, queries, args.batch, args.callers, args.reps)
    return name, build, one, many, recall


def main():
    args = parse_args()
    import ray

    import orvikdb
    from orvikdb.distributed import ShardedIndex

    rng = np.random.default_rng(args.seed)
    data = rng.standard_normal((args.n, args.dim), dtype=np.float32)
    queries = rng.standard_normal((args.queries, args.dim), dtype=np.float32)
    print(f"n={args.n} dim={args.dim} queries={args.queries} batch={args.batch} k={K} ef={EF} "
          f"M={M} ef_construction={EF_CONSTRUCTION} metric=euclidean, Ray on {args.cpus} CPUs, "
          f"replicas={args.replicas}")
    if ENV_NOTE:
        print(ENV_NOTE)

    settings = {"metric": "euclidean", "M": M, "ef_construction": EF_CONSTRUCTION}
    plain = orvikdb.Index(args.dim, **settings)
    plain.add(data)
    truth = plain.search(queries, K, exact=True).keys
    rows = [measure("orvikdb.Index (this process)", orvikdb.Index(args.dim, **settings),
                    data, queries, truth, args)]
    ray.init(num_cpus=args.cpus, include_dashboard=False, log_to_driver=False)
    try:
        for shards in (1, 2):
            with ShardedIndex(args.dim, shards=shards, replicas=args.replicas,
                              **settings) as index:
                rows.append(measure(f"ShardedIndex, {shards} shard{'s' * (shards > 1)}", index,
                                    data, queries, truth, args))
    finally:
        ray.shutdown()

    many_head = f"q/s, {args.callers} callers"
    print()
    print(f"| {'index':<30} | build s | q/s, 1 caller | {many_head} | recall@10 |")
    print(f"|{'-' * 32}|--------:|--------------:|{'-' * (len(many_head) + 1)}:|----------:|")
    for name, build, one, many, recall in rows:
        print(f"| {name:<30} | {build:7.2f} | {one:13.0f} | {many:{len(many_head)}.0f} "
              f"| {recall:9.3f} |")

if __name__ == "__main__":
    main()
