"""Recall against speed of orvikdb's HNSW beside hnswlib, faiss and usearch, on several kinds
of data.

For each kind of data (sweep_data) every engine (engines) builds with M 16 and ef_construction
200, single-threaded, then answers the same queries one per call at each ef; recall@10 is against
exact float64 answers. orvikdb is measured as its engine, zelt_core, called directly (see
engines). From each engine's recall -> q/s frontier the speed at recall 0.90, 0.95
and 0.99 is read off and set against the peers' in the same process. Then the memory per vector
of a 50k x 128 index (each built in a fresh process) and the cost of the Poincaré exact scan
against the Euclidean one. Writes the tables to sweep.md and the curves to recall_qps.png.
Engines that are not installed are left out, and so is the plot without matplotlib: the run
reports what it has.

    python bench/bench_sweep.py [--n 20000] [--queries 1000] [--datasets clustered128,...] [--quick]
"""

import argparse
import importlib.metadata
import os
import subprocess
import sys
import time

import benchlib

ENV_NOTE = benchlib.prepare_process(keep_openblas_env="--keep-openblas-env" in sys.argv)

# These import NumPy, so they come after the thread pools are pinned.
import engines  # noqa: E402
import flat_poincare  # noqa: E402
import frontier  # noqa: E402
import index_memory  # noqa: E402
import sweep_data  # noqa: E402

EF_VALUES = (10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512)
QUICK_EF_VALUES = (10, 32, 128, 512)
TARGETS = (0.90, 0.95, 0.99)
HERE = os.path.dirname(os.path.abspath(__file__))
# The distribution the engine is installed from: named orvikdb, once zelt_core.
OWN_DISTRIBUTIONS = ("orvikdb", "zelt_core")


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0].replace("\n", " "))
    p.add_argument("--n", type=int, default=20_000, help="stored vectors per kind of data")
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--seed", type=int, default=4321)
    p.add_argument("--datasets", default=",".join(sweep_data.KINDS),
                   help="comma-separated subset of: " + ", ".join(sweep_data.KINDS))
    p.add_argument("--engines", default=",".join(engines.ENGINES),
                   help="comma-separated subset of: " + ", ".join(engines.ENGINES))
    p.add_argument("--reps", type=int, default=5, help="timed passes per ef (median is kept)")
    p.add_argument("--build-reps", type=int, default=2,
                   help="builds per engine and kind of data (the best time is kept)")
    p.add_argument("--mem-n", type=int, default=50_000, help="vectors of the memory measurement")
    p.add_argument("--flat-scale", type=float, default=1.0,
                   help="shrinks the sizes of the Poincaré / Euclidean exact-scan comparison")
    p.add_argument("--skip-memory", action="store_true")
    p.add_argument("--skip-flat", action="store_true")
    p.add_argument("--quick", action="store_true",
                   help="small smoke run (2000 points, 100 queries, 4 ef values, small memory "
                        "and scan sizes), written to bench/results/quick/")
    p.add_argument("--out-dir", default=None, help="default bench/results (quick: .../quick)")
    p.add_argument("--keep-openblas-env", action="store_true",
                   help="do not drop OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE")
    args = p.parse_args()
    args.datasets = [d for d in args.datasets.split(",") if d]
    args.engines = [e for e in args.engines.split(",") if e]
    for name, known in ((args.datasets, sweep_data.KINDS), (args.engines, engines.ENGINES)):
        unknown = [x for x in name if x not in known]
        if unknown:
            p.error(f"unknown: {', '.join(unknown)}")
    args.ef_values = EF_VALUES
    if args.quick:
        args.n, args.queries, args.reps, args.build_reps = 2000, 100, 1, 1
        args.mem_n, args.flat_scale = 5000, 0.02
        args.ef_values = QUICK_EF_VALUES
    if args.out_dir is None:
        args.out_dir = os.path.join(HERE, "results", "quick" if args.quick else "")
    return args


def sweep_kind(kind, sweepers, args):
    """{engine: (build seconds, [(ef, recall, qps)])} on one kind of data."""
    metric, data, queries = sweep_data.make(kind, args.n, args.queries, args.seed)
    truth = benchlib.exact_top_k(metric, data, queries)
    # Each engine builds --build-reps times, the engines taking turns, and keeps its best time, so
    # a slow moment of the shared machine falls on all alike; the last index of each is searched.
    indexes, builds = {}, {}
    for _ in range(args.build_reps):
        for e in sweepers:
            indexes.pop(e.name, None)
            t0 = time.perf_counter()
            indexes[e.name] = e.build(metric, data, args.seed)
            seconds = time.perf_counter() - t0
            builds[e.name] = min(seconds, builds.get(e.name, seconds))
    for e in sweepers:
        print(f"  {e.name:<8} built in {builds[e.name]:6.2f} s", flush=True)
    qlist = list(queries)
    points = {e.name: [] for e in sweepers}
    for ef in args.ef_values:
        searches = {e.name: e.searcher(indexes[e.name], ef) for e in sweepers}
        recalls = {name: benchlib.recall_at_k([s(q) for q in qlist], truth)
                   for name, s in searches.items()}  # this pass also warms the caches
        seconds = benchlib.time_engines(searches, qlist, args.reps, warmup=0)
        for name in searches:
            points[name].append((ef, recalls[name], len(qlist) / seconds[name]))
        print("  ef " + f"{ef:>4}: " + "  ".join(
            f"{name} {recalls[name]:.4f} @ {len(qlist) / seconds[name]:7.0f} q/s"
            for name in searches), flush=True)
    return {name: (builds[name], points[name]) for name in points}


def fmt_qps(qps):
    return "n/a" if qps is None else f"{qps:,.0f}"


def fmt_ratio(a, b):
    return "n/a" if a is None or b is None else f"{a / b:.2f}"


def kind_table(kind, result):
    """Markdown lines: each engine's build time and speed at the target recalls, then orvikdb's
    ratios to each peer."""
    at = {name: [frontier.qps_at([(r, q) for _, r, q in pts], t) for t in TARGETS]
          for name, (_, pts) in result.items()}
    heads = " | ".join(f"q/s @{t:.2f}" for t in TARGETS)
    lines = [f"### {kind}: {sweep_data.DESCRIPTIONS[kind]}", "",
             f"| engine | build s | {heads} | best recall |",
             "|---" * (3 + len(TARGETS)) + "|"]
    for name, (build, pts) in result.items():
        cells = " | ".join(fmt_qps(q) for q in at[name])
        lines.append(f"| {name} | {build:.2f} | {cells} | {max(r for _, r, _ in pts):.4f} |")
    own = engines.OrvikDB.name
    if own in result:
        for peer in result:
            if peer == own:
                continue
            cells = " | ".join(fmt_ratio(z, p) for z, p in zip(at[own], at[peer]))
            build_ratio = result[peer][0] / result[own][0]
            lines.append(f"| {own}/{peer} q/s; {peer}/{own} build | {build_ratio:.2f} | {cells} "
                         f"| |")
    return lines


def sweep_points_table(result):
    names = list(result)
    lines = ["| ef | " + " | ".join(f"{n} recall | {n} q/s" for n in names) + " |",
             "|---" * (1 + 2 * len(names)) + "|"]
    for i, (ef, _, _) in enumerate(result[names[0]][1]):
        cells = " | ".join(f"{result[n][1][i][1]:.4f} | {result[n][1][i][2]:,.0f}" for n in names)
        lines.append(f"| {ef} | {cells} |")
    return lines


def memory_table(n, dim, seed):
    lines = [f"### Memory per vector: {n} x {dim}, M {engines.M}, each index built in a fresh "
             "process",
             "", "RSS growth across generating the data and building, less the NumPy data "
             f"array ({4 * dim} bytes per vector).", "",
             "| index | current bytes/vector | peak bytes/vector |", "|---|---|---|"]
    for engine in index_memory.ENGINES:
        m = index_memory.measure(engine, n, dim, seed)
        if m is None:
            print(f"[skip] {engine}: not installed, left out of the memory table")
            continue
        lines.append(f"| {engine} | {m['current_per_vector']:,.0f} | "
                     f"{m['peak_per_vector']:,.0f} |")
    raw = 4 * dim + 4 + 8 + 4 + 8
    lines += ["", f"Raw data of a flat record: vector 4·{dim} + norm 4 + mask 8 + level 4 + one "
              f"empty neighbour list 8 = {raw} bytes."]
    return lines


def flat_table(zelt_core, scale, seed, reps):
    lines = ["### Exact scan: Poincaré against Euclidean (hardware_flat_search, k 10)", "",
             "| data | poincare q/s | euclidean q/s | poincare/euclidean |", "|---|---|---|---|"]
    for label, qp, qe in flat_poincare.compare(zelt_core, scale, seed, reps):
        lines.append(f"| {label} | {qp:,.0f} | {qe:,.0f} | {qp / qe:.2f} |")
    return lines


def plot(results, path):
    """Draws the curves to path; False, having drawn nothing, without matplotlib."""
    try:
        import matplotlib
    except ImportError:
        print("[skip] matplotlib is not installed: no plot (pip install matplotlib to draw it)")
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cols = min(3, len(results))
    rows = -(-len(results) // cols)
    fig, axes = plt.subplots(rows, cols, figsize=(5 * cols, 4 * rows), squeeze=False)
    for ax, (kind, result) in zip(axes.flat, results.items()):
        for name, (_, pts) in result.items():
            ax.plot([r for _, r, _ in pts], [q for _, _, q in pts], marker="o", ms=3, label=name)
        for t in TARGETS:
            ax.axvline(t, color="0.85", lw=0.8, zorder=0)
        ax.set_yscale("log")
        ax.set_title(kind, fontsize=10)
        ax.set_xlabel("recall@10")
        ax.set_ylabel("queries/s (one per call)")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    for ax in list(axes.flat)[len(results):]:
        ax.set_visible(False)
    fig.suptitle(f"HNSW, M {engines.M}, ef_construction {engines.EF_CONSTRUCTION}, "
                 "single-threaded, ef swept", fontsize=11)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def installed_version(dists):
    for dist in dists:
        try:
            return importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            pass
    return "(not installed)"  # a build directory on PYTHONPATH


def header(args, sweepers):
    try:
        # The last commit that changed the module's source, so a before / after pair names both.
        commit = subprocess.run(["git", "-C", HERE, "log", "-1", "--format=%h", "--", "../src",
                                 "../CMakeLists.txt"],
                                capture_output=True, text=True).stdout.strip() or "?"
    except OSError:
        commit = "?"
    versions = []
    for e in sweepers:
        dists = [engines.ENGINES[e.name][2]] if engines.ENGINES[e.name][2] else OWN_DISTRIBUTIONS
        versions.append(f"{e.name} {installed_version(dists)}")
    command = " ".join(["python", "bench/bench_sweep.py"] + sys.argv[1:])
    lines = [f"Command: `{command}`",
             "", f"Module source at {commit}; {', '.join(versions)}; "
             f"{benchlib.blas_description()}.",
             f"{args.n} points and {args.queries} queries per kind, k {engines.K}, "
             f"seed {args.seed}, "
             f"build time the best of {args.build_reps}, median of {args.reps} timed passes per "
             f"ef, engines timed in alternating turns. "
             f"ef: {', '.join(map(str, args.ef_values))}.",
             "q/s at a recall is read off each engine's recall -> q/s Pareto frontier, linear in "
             "log q/s between frontier points; n/a where the frontier never reaches it. faiss "
             "runs the cosine kind as L2 on the (normalised) data."]
    if ENV_NOTE:
        lines.append(ENV_NOTE)
    return lines


def main():
    args = parse_args()
    sweepers = engines.load(args.engines)
    os.makedirs(args.out_dir, exist_ok=True)
    started = time.perf_counter()
    report = ["# HNSW recall sweep", ""] + header(args, sweepers) + [""]
    print("\n".join(report), flush=True)

    results, raw = {}, ["## Sweep points", ""]
    for kind in args.datasets:
        print(f"== {kind}: {sweep_data.DESCRIPTIONS[kind]}", flush=True)
        results[kind] = sweep_kind(kind, sweepers, args)
        table = kind_table(kind, results[kind])
        print("\n".join(table) + "\n", flush=True)
        report += table + [""]
        raw += [f"### {kind}", ""] + sweep_points_table(results[kind]) + [""]

    if not args.skip_memory:
        print("== memory", flush=True)
        table = memory_table(args.mem_n, 128, args.seed)
        print("\n".join(table) + "\n", flush=True)
        report += table + [""]
    if not args.skip_flat:
        print("== exact scan, Poincaré against Euclidean", flush=True)
        table = flat_table(benchlib.import_zelt(), args.flat_scale, args.seed, args.reps)
        print("\n".join(table) + "\n", flush=True)
        report += table + [""]

    report += raw + [f"Total run time {time.perf_counter() - started:.0f} s.", ""]
    md_path = os.path.join(args.out_dir, "sweep.md")
    png_path = os.path.join(args.out_dir, "recall_qps.png")
    with open(md_path, "w") as f:
        f.write("\n".join(report))
    written = [md_path] + ([png_path] if results and plot(results, png_path) else [])
    print(f"wrote {' and '.join(written)} in {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
