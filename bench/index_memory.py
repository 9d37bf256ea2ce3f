"""Memory one index takes per vector, measured in a process of its own so that nothing built
before it (allocator caches, other indexes) is counted.

    python bench/index_memory.py ENGINE N DIM SEED   # ENGINE: orvikdb-linked, orvikdb-flat,
                                                     #         hnswlib

Prints one JSON line: the growth of current RSS (/proc/self/statm) and of peak RSS across
generating the data and building the index, less the bytes of the NumPy data array, per vector.
`measure()` runs it from another script. orvikdb is its engine, zelt_core, filled one vector per
call (add_item_and_link or add_item_flat); hnswlib builds as in the other benchmarks (engines).

The peak is the memory map's high-water mark (VmHWM), reset once the libraries are imported.
ru_maxrss would not do: Linux carries it across fork and exec, so a child started by a large
benchmark process reports the parent's peak and shows no growth at all.
"""

import importlib.util
import json
import os
import resource
import subprocess
import sys

import benchlib

ENGINES = ("orvikdb-linked", "orvikdb-flat", "hnswlib")


def current_rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def reset_peak():
    """Makes the high-water mark the current RSS (Linux 4.0 on); False where it cannot."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def build(engine, data, seed):
    import engines  # it imports NumPy, which the thread pools must be pinned for first

    if engine == "hnswlib":
        return engines.one("hnswlib").build("euclidean", data, seed)
    zelt_core = benchlib.import_zelt()
    index = zelt_core.HyperbolicIndex(data.shape[1], 1.0, engines.M, "euclidean", seed=seed)
    for v in data:
        if engine == "orvikdb-linked":
            index.add_item_and_link(v, 0, engines.EF_CONSTRUCTION)
        else:
            index.add_item_flat(v)
    return index


def child(engine, n, dim, seed):
    import numpy as np
    if engine == "hnswlib":
        import hnswlib  # noqa: F401  (the library's own pages are not the index's)
    else:
        benchlib.import_zelt()
    rng = np.random.default_rng(seed)
    peak_was_reset = reset_peak()
    rss0, peak0 = current_rss(), peak_rss()
    data = rng.standard_normal((n, dim), dtype=np.float32)
    index = build(engine, data, seed)
    rss1, peak1 = current_rss(), peak_rss()
    print(json.dumps({
        "engine": engine, "n": n, "dim": dim,
        "current_per_vector": (rss1 - rss0 - data.nbytes) / n,
        "peak_per_vector": (peak1 - (rss0 if peak_was_reset else peak0) - data.nbytes) / n,
        "peak_was_reset": peak_was_reset,
        "ru_maxrss_bytes": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
    }))
    del index


def measure(engine, n, dim, seed):
    """The child's report as a dict; None where the engine's library is not installed."""
    if engine == "hnswlib" and importlib.util.find_spec("hnswlib") is None:
        return None
    out = subprocess.run([sys.executable, os.path.abspath(__file__), engine, str(n), str(dim),
                          str(seed)], check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


if __name__ == "__main__":
    benchlib.prepare_process()
    engine, n, dim, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    if engine not in ENGINES:
        sys.exit(f"engine must be one of {', '.join(ENGINES)}")
    child(engine, n, dim, seed)
