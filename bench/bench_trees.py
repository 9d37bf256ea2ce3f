"""Graph search on Poincaré embeddings of hierarchies: reachability, recall and speed.

Builds each embedding (the WordNet mammals and verbs beside the repository, and a synthetic tree
of the same shape) twice on one thread, M 16 and ef_construction 200: with the core's default
rules and with reach_all=True (every node walked and kept in reach, what orvikdb.Index uses for
the Poincaré metric). Reports the share of nodes a walk from the entry point can reach, then
recall@1 and recall@10 against the exact scan, and queries/s over an ef sweep (one thread, batch
search; the exact scan's speed in the same process, each timed by the best of REPS runs of the
calling thread's CPU time, so that other work on a shared machine does not count), for two kinds
of query: points a hair inward of data points (x * (1 - 1e-4), whose nearest point is x) and
data points moved 0.2 to 1.0 in hyperbolic distance in a random direction.

    python bench/bench_trees.py [--queries 1000] [--plot bench/results/trees.png]
"""

import argparse
import os
import sys
import time

import benchlib

benchlib.prepare_process()

import numpy as np  # noqa: E402

EFS = (10, 20, 50, 100, 200, 400)
REPS = 5


def verbs_path():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    path = os.path.join(root, "..", "shared", "data", "poincare-verbs", "verbs_poincare10.npz")
    return os.path.normpath(path) if os.path.isfile(path) else None


def synthetic_tree(rng, n=20_000, dim=10, branching=6):
    """Points of a random tree laid out like a trained embedding: children further out than their
    parent, near its direction, leaves crowding the boundary."""
    directions = [rng.standard_normal(dim)]
    depths = [0]
    parents = [-1]
    frontier = [0]
    while len(directions) < n and frontier:
        nxt = []
        for p in frontier:
            for _ in range(rng.integers(1, 2 * branching)):
                if len(directions) >= n:
                    break
                d = directions[p] + rng.standard_normal(dim) * 0.6 / (1 + depths[p])
                directions.append(d)
                depths.append(depths[p] + 1)
                parents.append(p)
                nxt.append(len(directions) - 1)
        frontier = nxt
    u = np.array(directions)
    u /= np.linalg.norm(u, axis=1, keepdims=True)
    depth = np.array(depths, dtype=np.float64)
    radius = np.tanh(0.5 * (1.0 + 2.2 * depth))  # hyperbolic radius 1 + 2.2 per level
    return (u * radius[:, None]).astype(np.float32)


def datasets(rng):
    path = benchlib.mammals_path()
    if path is None:
        print("[skip] mammal embeddings not found beside the repository")
    else:
        yield "mammals", benchlib.read_word2vec_binary(path)[1]
    path = verbs_path()
    if path is None:
        print("[skip] verb embeddings not found beside the repository")
    else:
        yield "verbs", np.load(path)["vectors"].astype(np.float32)
    yield "synthetic tree", synthetic_tree(rng)


def mobius_add(x, y):
    xy = np.sum(x * y, axis=1, keepdims=True)
    xx = np.sum(x * x, axis=1, keepdims=True)
    yy = np.sum(y * y, axis=1, keepdims=True)
    return ((1 + 2 * xy + yy) * x + (1 - xx) * y) / (1 + 2 * xy + xx * yy)


def query_sets(rng, data, count):
    """The two kinds of query, each from `count` data points drawn at random."""
    base = data[rng.choice(len(data), count, replace=False)].astype(np.float64)
    near = (base * (1 - 1e-4)).astype(np.float32)
    step = rng.standard_normal(base.shape)
    step /= np.linalg.norm(step, axis=1, keepdims=True)
    step *= np.tanh(0.5 * rng.uniform(0.2, 1.0, (count, 1)))  # hyperbolic length 0.2 to 1.0
    moved = mobius_add(base, step).astype(np.float32)
    inside = np.sum(moved.astype(np.float32) ** 2, axis=1, dtype=np.float32) < np.float32(1.0)
    return {"near": near, "moved": moved[inside]}


def build(zelt_core, data, reach_all):
    index = zelt_core.HyperbolicIndex(data.shape[1], 1.0, 16, "poincare", seed=7,
                                      reach_all=reach_all)
    t0 = time.perf_counter()
    index.add_items(data, ef_construction=200, num_threads=1)
    return index, time.perf_counter() - t0


def recall(found, truth, k):
    hits = sum(len(set(f[:k].tolist()) & set(t[:k].tolist())) for f, t in zip(found, truth))
    return hits / (k * len(truth))


def timed(search, reps=REPS):
    best = float("inf")
    for _ in range(reps):
        t0 = time.thread_time()
        search()
        best = min(best, time.thread_time() - t0)
    return best


def sweep(index, queries, truth, exact_time):
    rows = []
    for ef in EFS:
        found = index.search(queries, 10, ef_search=ef, num_threads=1)[0]
        graph_time = timed(lambda: index.search(queries, 10, ef_search=ef, num_threads=1))
        rows.append({"ef": ef, "r1": recall(found, truth, 1), "r10": recall(found, truth, 10),
                     "qps": len(queries) / graph_time, "speedup": exact_time / graph_time})
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--plot", default=None, help="write a recall-q/s plot here")
    args = parser.parse_args()
    zelt_core = benchlib.import_zelt()
    rng = np.random.default_rng(0)
    curves = []
    for name, data in datasets(rng):
        print(f"\n## {name}: {len(data)} x {data.shape[1]}, "
              f"{np.mean(np.sum(data ** 2, axis=1) >= 0.995):.1%} at squared norm >= 0.995")
        sets = query_sets(rng, data, min(args.queries, len(data)))
        for rules in (False, True):
            index, seconds = build(zelt_core, data, rules)
            label = "reach_all" if rules else "default rules"
            reach = 1 - len(index.unreachable_nodes()) / len(data)
            print(f"\n{label}: build {seconds:.2f} s, reachable {reach:.2%}")
            print("| queries | ef | recall@1 | recall@10 | q/s | × exact |")
            print("|---|---|---|---|---|---|")
            for kind, queries in sets.items():
                truth = index.search(queries, 10, mode="exact", num_threads=1)[0]
                exact_time = timed(lambda: index.search(queries, 10, mode="exact", num_threads=1))
                rows = sweep(index, queries, truth, exact_time)
                for r in rows:
                    print(f"| {kind} | {r['ef']} | {r['r1']:.3f} | {r['r10']:.3f} | "
                          f"{r['qps']:.0f} | {r['speedup']:.1f} |")
                print(f"| {kind} | exact | 1 | 1 | {len(queries) / exact_time:.0f} | 1 |")
                curves.append((name, label, kind, rows))
            sys.stdout.flush()
    if args.plot:
        plot(curves, args.plot)


def plot(curves, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = sorted({c[0] for c in curves}, key=[c[0] for c in curves].index)
    fig, axes = plt.subplots(1, len(names), figsize=(5 * len(names), 4), squeeze=False)
    for ax, name in zip(axes[0], names):
        for _, label, kind, rows in (c for c in curves if c[0] == name):
            ax.plot([r["r10"] for r in rows], [r["qps"] for r in rows], marker="o",
                    linestyle="-" if label == "reach_all" else "--", label=f"{label}, {kind}")
        ax.set_title(name)
        ax.set_xlabel("recall@10")
        ax.set_ylabel("queries/s (one thread)")
        ax.set_yscale("log")
        ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print(f"\nplot: {path}")


if __name__ == "__main__":
    main()
