"""Tags and deletions at every selectivity: recall@10, answers and queries/s of the planned query
(mode="planned", what orvikdb.Index.search runs) beside our exact scan with the same tags, our
graph walk with the tags applied afterwards at the ef reaching the same recall, faiss
(IndexHNSWFlat M 16 with an IDSelectorBitmap, and IndexFlatL2 with the same selector) and
hnswlib's filter callable. One thread everywhere; every engine's passes take turns within each
repetition, and q/s is the median over the repetitions.

    python bench/bench_filters.py                  # 50,000 x 32 clustered, 300 queries
    python bench/bench_filters.py --n 10000 --queries 100 --plot ''
    python bench/bench_filters.py --data cosine    # the same points normalised, cosine
    python bench/bench_filters.py --data mammals   # the Poincaré mammals, every point a query

With --data cosine faiss measures inner products (IndexHNSWFlat and IndexFlatIP) and hnswlib
"cosine" on the normalised points. The mammals (1,182 x 10, trained Poincaré embeddings, most of
them at the ball's boundary) are indexed as orvikdb.Index indexes "poincare" (reach_all=True);
no peer has that metric. Their distant tag is the points inside the boundary (squared norm below
0.995), asked for from the points on it.

Recall is measured against our exact scan with the same tags (the same distance bits), over
min(k, matches) answers per query. "ours" is the planned query at its default ef (50); every
engine with an ef (ours included) is also swept and read at the fastest setting that reaches
recall 0.95; where none does, its best recall is shown with a '*'. hnswlib runs 100 of the
queries (its filter is a Python callable).
"""

import benchlib

benchlib.prepare_process()

import argparse  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

zelt_core = benchlib.import_zelt()
faiss = benchlib.import_peer("faiss", "faiss-cpu")
hnswlib = benchlib.import_peer("hnswlib", "hnswlib")

K = 10
EFS = (10, 20, 50, 100, 200, 400, 800, 1600, 3200)
OWN_EFS = (10, 20, 50, 100)
HNSWLIB_EFS = (50, 400, 3200)
HNSWLIB_QUERIES = 100  # its filter calls back into Python for every node it measures
TARGET = 0.95


def clustered(rng, n, nq, dim, clusters=64):
    centres = rng.standard_normal((clusters, dim))
    label = rng.integers(0, clusters, n + nq)
    x = (centres[label] + 0.5 * rng.standard_normal((n + nq, dim))).astype(np.float32)
    return x[:n], label[:n], x[n:], label[n:]


def mammals(rng, nq):
    """(data, label, queries, query label): the embeddings, labelled by whether they lie inside the
    boundary (1) or on it (0), and up to nq of them as queries."""
    path = benchlib.mammals_path()
    if path is None:
        raise SystemExit("[skip] mammal embeddings not found at "
                         "../shared/data/poincare-mammals/poincare_vectors.bin (relative to the "
                         "repo root)")
    _, data = benchlib.read_word2vec_binary(path)
    sq = np.einsum("ij,ij->i", data, data)
    label = (sq < 0.995).astype(np.int64)
    pick = rng.permutation(len(data))[:nq]
    return data, label, np.ascontiguousarray(data[pick]), label[pick]


def unit_rows(x):
    return (x / np.linalg.norm(x, axis=1, keepdims=True)).astype(np.float32)


def cases(rng, n, label, q_label, far_label=0, far_name="far tag (1 cluster)"):
    """(name, which nodes match, which queries run): single bits from 100 % down to 0.01 %, an
    AND of two bits, a tag that only lies away from the queries, and deletions."""
    def share(p):
        return rng.random(n) < p
    every = np.ones(len(q_label), bool)
    out = [(f"{p:g} %", share(p / 100), every) for p in (100, 50, 10, 1, 0.1, 0.01)]
    out.append(("AND 10 % x 10 %", share(0.1) & share(0.1), every))
    out.append((far_name, label == far_label, q_label != far_label))
    live = ~share(0.9)
    out.append(("90 % deleted", live, every))
    out.append(("90 % deleted, 10 % tag", live & share(0.1), every))
    return out


def recall_and_answers(ids, truth):
    hits = wanted = 0
    for got, want in zip(ids, truth):
        want = want[want >= 0]
        hits += len(set(got[got >= 0].tolist()) & set(want.tolist()))
        wanted += len(want)
    answers = float(np.mean([(row >= 0).sum() for row in ids]))
    return (hits / wanted if wanted else 1.0), answers


def timed(runs, reps):
    """Median q/s of each run (a callable answering every query), taking turns."""
    times = {name: [] for name in runs}
    for _ in range(reps):
        for name, run in runs.items():
            t0 = time.perf_counter()
            run()
            times[name].append(time.perf_counter() - t0)
    return {name: benchlib.median(ts) for name, ts in times.items()}


def pick(sweep, target):
    """The fastest (ef, recall, answers, q/s) of a sweep reaching target, else the best recall."""
    good = [s for s in sweep if s[1] >= target]
    if good:
        return max(good, key=lambda s: s[3]), True
    return max(sweep, key=lambda s: (s[1], s[3])), False


def sweep_engine(answer, efs, truth, nq, reps):
    """answer(ef) -> ids; each ef once for recall, then timed."""
    points = []
    for ef in efs:
        ids = answer(ef)
        recall, answers = recall_and_answers(ids, truth)
        points.append([ef, recall, answers, 0.0])
    runs = {ef: (lambda ef=ef: answer(ef)) for ef in efs}
    seconds = timed(runs, reps)
    for p in points:
        p[3] = nq / seconds[p[0]]
    return points


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--n", type=int, default=50_000)
    ap.add_argument("--dim", type=int, default=32)
    ap.add_argument("--queries", type=int, default=300)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--data", choices=("clustered", "cosine", "mammals"), default="clustered")
    ap.add_argument("--plot", default=None,
                    help="default bench/results/filters.png (filters-<data>.png); '' for none")
    args = ap.parse_args()
    if args.plot is None:
        suffix = "" if args.data == "clustered" else f"-{args.data}"
        args.plot = f"bench/results/filters{suffix}.png"
    print(benchlib.blas_description())
    rng = np.random.default_rng(args.seed)
    metric, space, reach_all = "euclidean", "l2", False
    if args.data == "mammals":
        global faiss, hnswlib
        faiss = hnswlib = None  # neither has the Poincaré metric
        data, label, queries, q_label = mammals(rng, args.queries)
        args.n, args.dim = data.shape
        metric, reach_all = "poincare", True
        all_cases = cases(rng, args.n, label, q_label, far_label=1,
                          far_name="inside tag (from boundary)")
    else:
        data, label, queries, q_label = clustered(rng, args.n, args.queries, args.dim)
        if args.data == "cosine":
            data, queries = unit_rows(data), unit_rows(queries)
            metric, space = "cosine", "cosine"
        all_cases = cases(rng, args.n, label, q_label)
    print(f"{args.data}: {args.n} x {args.dim}, {metric}, {len(queries)} queries", flush=True)

    # One mask bit per case on our side; the peers get the same nodes as a bitmap or callable.
    masks = np.zeros(args.n, np.uint64)
    for bit, (_, members, _) in enumerate(all_cases):
        masks |= members.astype(np.uint64) << np.uint64(bit)
    ours = zelt_core.HyperbolicIndex(args.dim, metric=metric, seed=args.seed,
                                     reach_all=reach_all)
    t0 = time.perf_counter()
    ours.add_items(data, masks, 200, num_threads=1)
    print(f"built ours in {time.perf_counter() - t0:.1f} s", flush=True)
    if faiss is not None:
        faiss.omp_set_num_threads(1)
        # On unit vectors the inner product orders as cosine does.
        inner = faiss.METRIC_INNER_PRODUCT if metric == "cosine" else faiss.METRIC_L2
        f_hnsw = faiss.IndexHNSWFlat(args.dim, 16, inner)
        f_hnsw.hnsw.efConstruction = 200
        t0 = time.perf_counter()
        f_hnsw.add(data)
        print(f"built faiss in {time.perf_counter() - t0:.1f} s", flush=True)
        f_flat = faiss.IndexFlat(args.dim, inner)
        f_flat.add(data)
    if hnswlib is not None:
        h = hnswlib.Index(space=space, dim=args.dim)
        h.init_index(max_elements=args.n, M=16, ef_construction=200, random_seed=args.seed)
        t0 = time.perf_counter()
        h.add_items(data, np.arange(args.n), num_threads=1)
        print(f"built hnswlib in {time.perf_counter() - t0:.1f} s", flush=True)

    rows = []
    for bit, (name, members, asked) in enumerate(all_cases):
        q = np.ascontiguousarray(queries[asked])
        nq = len(q)
        f = np.uint64(1) << np.uint64(bit)
        truth, _ = ours.search(q, K, f, mode="exact", num_threads=1)

        def planned():
            return ours.search(q, K, f, mode="planned", num_threads=1)[0]

        def exact():
            return ours.search(q, K, f, mode="exact", num_threads=1)[0]

        recall, answers = recall_and_answers(planned(), truth)
        own = sweep_engine(lambda ef: ours.search(q, K, f, ef_search=ef, mode="planned",
                                                  num_threads=1)[0], OWN_EFS, truth, nq, args.reps)
        runs = {"planned": planned, "exact": exact}
        if faiss is not None:
            bitmap = np.packbits(members.astype(np.uint8), bitorder="little")
            selector = faiss.IDSelectorBitmap(args.n, faiss.swig_ptr(bitmap))
            flat_params = faiss.SearchParameters(sel=selector)
            runs["faiss flat"] = lambda: f_flat.search(q, K, params=flat_params)[1]
        seconds = timed(runs, args.reps)
        row = {"case": name, "matches": int(members.sum()), "recall": recall,
               "answers": answers, "ours": nq / seconds["planned"],
               "exact": nq / seconds["exact"]}
        walk = sweep_engine(lambda ef: ours.search(q, K, f, ef_search=ef, mode="graph",
                                                   num_threads=1)[0], EFS, truth, nq, args.reps)
        row["walk"] = pick(walk, TARGET)
        row["ours at target"] = pick(own, TARGET)
        if faiss is not None:
            row["faiss flat"] = nq / seconds["faiss flat"]

            def faiss_hnsw(ef):
                params = faiss.SearchParametersHNSW(sel=selector, efSearch=ef)
                return f_hnsw.search(q, K, params=params)[1]
            row["faiss hnsw"] = pick(sweep_engine(faiss_hnsw, EFS, truth, nq, args.reps), TARGET)
        if hnswlib is not None:
            allowed = set(np.flatnonzero(members).tolist())

            def hnswlib_filter(ef, q):
                h.set_ef(ef)
                keep = lambda i: i in allowed  # noqa: E731
                try:
                    return h.knn_query(q, k=K, num_threads=1, filter=keep)[0].astype(np.int64)
                except RuntimeError:  # a query met fewer than k matches: one at a time
                    return np.array([one_by_one(h, row, keep) for row in q])
            few = min(nq, HNSWLIB_QUERIES)
            row["hnswlib"] = pick(sweep_engine(lambda ef: hnswlib_filter(ef, q[:few]),
                                               HNSWLIB_EFS, truth[:few], few, 1), TARGET)
        rows.append(row)
        print_row(row, flush=True)
    print()
    print_table(rows)
    if args.plot:
        plot(rows, args.plot)


def one_by_one(h, query, keep):
    """hnswlib's answer to one query, padded with -1: it refuses a k above what it found."""
    for k in range(K, 0, -1):
        try:
            labels = h.knn_query(query, k=k, num_threads=1, filter=keep)[0][0]
            return np.concatenate([labels.astype(np.int64), np.full(K - k, -1)])
        except RuntimeError:
            continue
    return np.full(K, -1)


def peer_text(entry):
    if entry is None:
        return "—"
    (ef, recall, _, qps), reached = entry
    return f"{qps:,.0f} (ef {ef}, R {recall:.3f}{'' if reached else '*'})"


def reached(entry):
    """The q/s of an engine at the target recall, 0 where it never reaches it."""
    return entry[0][3] if entry is not None and entry[1] else 0.0


def print_row(row, flush=False):
    print(f"{row['case']:>24}  matches {row['matches']:6d}  R {row['recall']:.3f}  "
          f"answers {row['answers']:.1f}  ours {row['ours']:,.0f}  "
          f"ours@{TARGET} {peer_text(row['ours at target'])}  exact {row['exact']:,.0f}  "
          f"walk {peer_text(row['walk'])}" + peers_text(row), flush=flush)


def peers_text(row):
    out = ""
    if "faiss flat" in row:
        out += (f"  faiss {peer_text(row['faiss hnsw'])} / flat {row['faiss flat']:,.0f}")
    if "hnswlib" in row:
        out += f"  hnswlib {peer_text(row['hnswlib'])}"
    return out


def print_table(rows):
    print(f"Columns after 'answers' are q/s; (ef, R) where an ef was swept, read at R >= {TARGET}.")
    print("| case | matches | recall@10 | answers | ours | ours at 0.95 | exact | walk + post-filter "
          "| faiss HNSW + bitmap | faiss flat + bitmap | hnswlib filter | ours / best own "
          "| ours / best faiss |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        ours = reached(r["ours at target"])
        best_own = max(r["exact"], reached(r["walk"]))
        best_faiss = max(r.get("faiss flat", 0.0), reached(r.get("faiss hnsw")))
        print(f"| {r['case']} | {r['matches']} | {r['recall']:.3f} | {r['answers']:.1f} "
              f"| {r['ours']:,.0f} | {peer_text(r['ours at target'])} | {r['exact']:,.0f} "
              f"| {peer_text(r['walk'])} | {peer_text(r.get('faiss hnsw'))} "
              f"| {r.get('faiss flat', 0):,.0f} | {peer_text(r.get('hnswlib'))} "
              f"| {ours / best_own:.2f} | {ours / best_faiss if best_faiss else float('nan'):.2f} |")


def plot(rows, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = [r["case"] for r in rows]
    series = {"ours (planned, ef 50)": [r["ours"] for r in rows],
              "ours, exact scan": [r["exact"] for r in rows],
              "ours, walk + post-filter": [reached(r["walk"]) for r in rows]}
    if "faiss hnsw" in rows[0]:
        series["faiss HNSW + IDSelectorBitmap"] = [reached(r["faiss hnsw"]) for r in rows]
        series["faiss flat + IDSelectorBitmap"] = [r["faiss flat"] for r in rows]
    if "hnswlib" in rows[0]:
        series["hnswlib filter"] = [reached(r["hnswlib"]) for r in rows]
    fig, ax = plt.subplots(figsize=(11, 4.5))
    width = 0.8 / len(series)
    x = np.arange(len(names))
    for i, (label, values) in enumerate(series.items()):
        ax.bar(x + i * width, [v if v > 0 else np.nan for v in values], width, label=label)
    ax.set_yscale("log")
    ax.set_xticks(x + 0.4 - width / 2, names, rotation=20, ha="right", fontsize=8)
    ax.set_ylabel("queries/s, one thread (log)")
    ax.set_title(f"queries/s at recall@10 >= {TARGET} (missing bar: never reaches it)",
                 fontsize=10)
    ax.legend(fontsize=7, ncol=3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot: {path}")


if __name__ == "__main__":
    main()
