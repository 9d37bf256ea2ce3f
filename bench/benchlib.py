"""Shared set-up of the benchmark scripts.

Import this module before NumPy: it pins the BLAS and OpenMP thread pools to one thread (every
engine in these benchmarks is measured single-threaded) and, where the machine sets the OpenBLAS
core-type overrides that slow a current NumPy down, re-executes the script without them.
"""

import os
import sys
import time

_OPENBLAS_OVERRIDES = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
_REEXEC_MARK = "_ZELT_BENCH_OPENBLAS_UNSET"
_prepared = []  # the note of the first call, once it has run


def prepare_process(keep_openblas_env=False):
    """Pins thread pools to one thread; drops the OpenBLAS overrides by re-executing.

    Must run before NumPy is imported. Returns a line describing what was done to the environment
    (or None), for the report.
    """
    if _prepared:
        return _prepared[0]
    if "numpy" in sys.modules:
        raise RuntimeError("benchlib.prepare_process() must run before numpy is imported")
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
                "BLIS_NUM_THREADS", "VECLIB_MAXIMUM_THREADS", "NUMEXPR_NUM_THREADS"):
        os.environ[var] = "1"
    present = {v: os.environ[v] for v in _OPENBLAS_OVERRIDES if v in os.environ}
    if present and not keep_openblas_env:
        env = {k: v for k, v in os.environ.items() if k not in _OPENBLAS_OVERRIDES}
        env[_REEXEC_MARK] = ", ".join(f"{k}={v}" for k, v in present.items())
        sys.stdout.flush()
        sys.stderr.flush()
        os.execve(sys.executable, [sys.executable] + sys.argv, env)
    note = None
    if _REEXEC_MARK in os.environ:
        unset = os.environ.pop(_REEXEC_MARK)
        note = (f"note: re-executed without {unset} (those overrides slow a current NumPy's "
                "OpenBLAS; NumPy runs with the kernel its OpenBLAS picks for this processor)")
    elif present:
        note = "note: keeping " + ", ".join(f"{k}={v}" for k, v in present.items())
    _prepared.append(note)
    return note


def blas_description():
    """One line naming NumPy's BLAS and, where threadpoolctl is there, the kernel it runs."""
    import numpy as np

    name = "unknown BLAS"
    try:
        cfg = np.show_config(mode="dicts")
        blas = cfg["Build Dependencies"]["blas"]
        name = f"{blas.get('name', '?')} {blas.get('version', '')}".strip()
    except Exception:  # older NumPy without mode="dicts"
        pass
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return f"numpy {np.__version__}, {name} (threads pinned to 1 by environment)"
    pools = [p for p in threadpool_info() if p.get("user_api") == "blas"]
    details = "; ".join(f"{p.get('internal_api')} {p.get('version')} kernel "
                        f"{p.get('architecture')}, {p.get('num_threads')} thread(s)"
                        for p in pools)
    return f"numpy {np.__version__}, {details or name}"


def import_zelt():
    try:
        import zelt_core
    except ImportError as exc:
        sys.exit(f"zelt_core cannot be imported ({exc}). Install it with bash bench/run.sh "
                 "(or scripts/demo.sh), or put a build directory on PYTHONPATH.")
    return zelt_core


def import_peer(name, pip_name):
    """Returns the peer module, or None after saying why it is skipped."""
    try:
        return __import__(name)
    except ImportError:
        print(f"[skip] {pip_name} is not installed: its columns are left out "
              f"(pip install {pip_name} to compare against it)")
        return None


def median(values):
    s = sorted(values)
    mid = len(s) // 2
    return s[mid] if len(s) % 2 else 0.5 * (s[mid - 1] + s[mid])


def time_engines(searches, queries, reps, warmup):
    """Median wall time of one pass over the queries for each engine. The engines take turns
    within every repetition, so that a drift in the machine's speed (another process, the clock)
    falls on all of them alike instead of on whichever ran last."""
    for search in searches.values():
        for q in queries[:warmup]:
            search(q)
    times = {name: [] for name in searches}
    for _ in range(reps):
        for name, search in searches.items():
            t0 = time.perf_counter()
            for q in queries:
                search(q)
            times[name].append(time.perf_counter() - t0)
    return {name: median(ts) for name, ts in times.items()}


def exact_top_k(metric, data, queries, k=10):
    """Exact k nearest ids per query by float64 NumPy, in blocks of queries, nearest first."""
    import numpy as np

    x = data.astype(np.float64)
    xn = (x * x).sum(axis=1)
    out = []
    for start in range(0, len(queries), 256):
        q = queries[start:start + 256].astype(np.float64)
        qn = (q * q).sum(axis=1)
        if metric == "cosine":
            d = 1.0 - (q @ x.T) / np.sqrt(np.outer(qn, xn))
        else:
            sq = np.maximum(qn[:, None] + xn[None, :] - 2.0 * (q @ x.T), 0.0)
            if metric == "poincare":
                d = np.arccosh(1.0 + 2.0 * sq / np.outer(1.0 - qn, 1.0 - xn))
            else:
                d = sq
        part = np.argpartition(d, k - 1, axis=1)[:, :k]
        rows = np.arange(len(q))[:, None]
        order = np.argsort(d[rows, part], axis=1, kind="stable")
        out.extend(part[rows, order])
    return out


def recall_at_k(found, truth, k=10):
    """Share of the exact top-k ids that the answers hold, over all queries."""
    hits = sum(len(set(int(i) for i in f[:k]) & set(int(t) for t in tr[:k]))
               for f, tr in zip(found, truth))
    return hits / (k * len(truth))


def mammals_path():
    """The Poincaré mammal embeddings beside the repository, or None."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    path = os.path.join(root, "..", "shared", "data", "poincare-mammals", "poincare_vectors.bin")
    return os.path.normpath(path) if os.path.isfile(path) else None


def read_word2vec_binary(path):
    """Reads a word2vec binary file: returns (names, float32 array of shape (count, dim))."""
    import numpy as np

    with open(path, "rb") as f:
        count, dim = (int(x) for x in f.readline().split())
        names = []
        vectors = np.empty((count, dim), dtype=np.float32)
        for i in range(count):
            name = bytearray()
            while True:
                ch = f.read(1)
                if not ch:
                    raise ValueError(f"{path}: file ends inside entry {i}")
                if ch == b" ":
                    break
                if ch != b"\n" or name:
                    name += ch
            raw = f.read(4 * dim)
            if len(raw) != 4 * dim:
                raise ValueError(f"{path}: file ends inside the vector of entry {i}")
            vectors[i] = np.frombuffer(raw, dtype="<f4")
            names.append(name.decode("utf-8"))
    return names, vectors
