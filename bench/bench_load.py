"""What a saved index costs once loaded: orvikdb.Index.load against hnswlib's load_index.

    python bench/bench_load.py [--sizes 200000,1000000] [--dimension 96] [--rounds 5]

Builds one cosine index of random rows per size with each engine (M 16, the same
ef_construction), saves both, then loads each file in a fresh child process, the two engines in
turns, `--rounds` times. A child reports the growth of its RSS across the load (after the
imports, so the libraries themselves are not counted) and the load's wall time. Printed: the
medians, and orvikdb over hnswlib as the median of the ratios within each round (below 1 is
better for orvikdb). `--keep DIR` keeps the built files there and reuses them on the next run,
so that two versions of orvikdb can load the very same files.
"""

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import benchlib
from index_memory import current_rss

M = 16


def child(engine, path, dimension, max_elements):
    """Loads one file; prints its RSS growth and load time as JSON."""
    import numpy  # noqa: F401  (imported before the baseline, as orvikdb imports it)
    if engine == "orvikdb":
        import orvikdb
        before = current_rss()
        start = time.perf_counter()
        index = orvikdb.Index.load(path)
    else:
        import hnswlib
        before = current_rss()
        start = time.perf_counter()
        index = hnswlib.Index(space="cosine", dim=dimension)
        index.load_index(path, max_elements=max_elements)
    seconds = time.perf_counter() - start
    rows = len(index) if engine == "orvikdb" else index.get_current_count()
    print(json.dumps({"rss": current_rss() - before, "seconds": seconds, "rows": rows}))


def build(directory, rows, dimension, ef_construction):
    """Saves both engines' indexes of the same rows (once per directory); returns their paths."""
    paths = {e: directory / f"{e}-{rows}x{dimension}-ef{ef_construction}.idx"
             for e in ("orvikdb", "hnswlib")}
    if all(p.exists() for p in paths.values()):
        return paths
    import numpy as np

    import hnswlib
    import orvikdb
    data = np.random.default_rng(rows).standard_normal((rows, dimension), dtype=np.float32)
    keys = np.arange(rows, dtype=np.int64)
    print(f"building {rows} x {dimension} (ef_construction {ef_construction}) ...", flush=True)
    ours = orvikdb.Index(dimension, metric="cosine", M=M, ef_construction=ef_construction)
    ours.add(data, keys=keys)
    ours.save(paths["orvikdb"])
    del ours
    peer = hnswlib.Index(space="cosine", dim=dimension)
    peer.init_index(max_elements=rows, M=M, ef_construction=ef_construction)
    peer.add_items(data, keys)
    peer.save_index(str(paths["hnswlib"]))
    return paths


def load_in_child(engine, path, dimension, rows):
    out = subprocess.run([sys.executable, __file__, "--child", engine, str(path),
                          str(dimension), str(rows)], check=True, capture_output=True, text=True)
    result = json.loads(out.stdout.splitlines()[-1])
    assert result["rows"] == rows, result
    return result


def measure(paths, dimension, rows, rounds):
    runs = {"orvikdb": [], "hnswlib": []}
    for r in range(rounds):
        order = ("orvikdb", "hnswlib") if r % 2 == 0 else ("hnswlib", "orvikdb")
        for engine in order:
            runs[engine].append(load_in_child(engine, paths[engine], dimension, rows))
    mib = 1 << 20
    for engine, results in runs.items():
        rss = benchlib.median([x["rss"] for x in results])
        ms = benchlib.median([x["seconds"] for x in results]) * 1e3
        print(f"  {engine:8} RSS after load {rss / mib:7.1f} MiB ({rss / rows:5.0f} B/vector), "
              f"load {ms:7.1f} ms (median of {rounds})")
    for what in ("rss", "seconds"):
        ratios = [a[what] / b[what] for a, b in zip(runs["orvikdb"], runs["hnswlib"])]
        print(f"  orvikdb / hnswlib, {what}: median {benchlib.median(ratios):.3f}, "
              f"range {min(ratios):.3f}-{max(ratios):.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="200000")
    parser.add_argument("--dimension", type=int, default=96)
    parser.add_argument("--ef-construction", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--keep", type=Path, help="keep the built files here and reuse them")
    parser.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        engine, path, dimension, rows = args.child
        child(engine, path, int(dimension), int(rows))
        return
    benchlib.prepare_process()
    if benchlib.import_peer("hnswlib", "hnswlib") is None:
        sys.exit("bench_load.py measures orvikdb against hnswlib: pip install hnswlib")
    with tempfile.TemporaryDirectory(prefix="bench-load-") as scratch:
        directory = args.keep or Path(scratch)
        directory.mkdir(parents=True, exist_ok=True)
        for rows in (int(s) for s in args.sizes.split(",")):
            paths = build(directory, rows, args.dimension, args.ef_construction)
            print(f"{rows} x {args.dimension}, cosine, M {M}:")
            measure(paths, args.dimension, rows, args.rounds)


if __name__ == "__main__":
    main()
