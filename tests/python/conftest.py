"""Shared helpers for the tests of the zelt_core module.

Reference distance formulas in NumPy float32, a reader and a writer of the index
file, index builders, a mask reader that works through the public queries, the
loader of the mammal embeddings and a runner for code that could crash the
interpreter.
"""

import os
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import zelt_core

REPO_ROOT = Path(__file__).resolve().parents[2]
MAMMALS_PATH = REPO_ROOT.parent / "shared/data/poincare-mammals/poincare_vectors.bin"

METRICS = ("poincare", "euclidean", "cosine")
HEADER = struct.Struct("<ifiiiQ")  # dimension, curvature, M, ep_id, ep_layer, node count
HEADER_BYTES = HEADER.size  # 28

# The self distance of the Poincare formula: arcosh of its lower bound 1.000001.
POINCARE_FLOOR = 0.0013810392701998353
DIMENSION_MISMATCH = "^Vector dimension mismatch$"
MASK_SIZE_MISMATCH = "^Mask array size does not match graph size!$"

f32 = np.float32


# ---------------------------------------------------------------- building


def new_index(dimension, metric="euclidean", M=16, curvature=1.0):
    return zelt_core.HyperbolicIndex(dimension, curvature, M, metric)


def as_f32(rows):
    return np.ascontiguousarray(np.asarray(rows, dtype=np.float32))


def fill(index, vectors, masks=None, *, linked, ef_construction=200):
    """Adds every row of vectors, with links or without; returns the rows as float32."""
    vectors = as_f32(vectors)
    if vectors.ndim == 1:
        vectors = vectors.reshape(-1, 1)
    for i, v in enumerate(vectors):
        mask = 0 if masks is None else int(masks[i])
        if linked:
            index.add_item_and_link(v, mask, ef_construction)
        else:
            index.add_item_flat(v, mask)
    return vectors


def built(vectors, metric="euclidean", masks=None, *, linked, M=16, ef_construction=200):
    vectors = as_f32(vectors)
    if vectors.ndim == 1:
        vectors = vectors.reshape(-1, 1)
    index = new_index(vectors.shape[1], metric, M)
    fill(index, vectors, masks, linked=linked, ef_construction=ef_construction)
    return index


def random_vectors(rng, n, dimension, metric):
    """Gaussian points; for the Poincare metric uniform in the ball of radius 0.9."""
    x = rng.standard_normal((n, dimension))
    if metric == "poincare":
        x /= np.linalg.norm(x, axis=1, keepdims=True)
        x *= 0.9 * rng.random((n, 1)) ** (1.0 / dimension)
    return x.astype(np.float32)


def num_nodes(index):
    return index.get_stats()["num_nodes"]


def read_masks(index):
    """Every node's mask, rebuilt bit by bit from filtered flat scans."""
    stats = index.get_stats()
    n = stats["num_nodes"]
    if n == 0:
        return []
    query = np.zeros(stats["dimension"], dtype=np.float32)
    masks = [0] * n
    for bit in range(64):
        for node in index.hardware_flat_search(query, n, 1 << bit):
            masks[node] |= 1 << bit
    return masks


# ------------------------------------------------------ reference formulas


def ref_squared_norms(x):
    x = np.atleast_2d(as_f32(x))
    return np.sum(x * x, axis=1, dtype=np.float32)


def ref_distances(metric, query, vectors, norms=None):
    """Distances from query to every row, with the index's float32 formulas."""
    q = as_f32(query).reshape(-1)
    x = np.atleast_2d(as_f32(vectors))
    vn = ref_squared_norms(x) if norms is None else as_f32(norms)
    qn = np.sum(q * q, dtype=np.float32)
    diff = q - x
    d = np.sum(diff * diff, axis=1, dtype=np.float32)
    if metric in ("euclidean", "l2"):
        return d
    if metric == "cosine":
        dot = np.sum(x * q, axis=1, dtype=np.float32)
        scale = np.sqrt(qn * vn)
        with np.errstate(divide="ignore", invalid="ignore"):
            cos = f32(1) - dot / scale
        return np.where(scale >= f32(1e-8), cos, f32(1)).astype(np.float32)
    a = np.minimum(vn, f32(0.999999))
    b = np.minimum(qn, f32(0.999999))
    den = np.maximum((f32(1) - a) * (f32(1) - b), f32(1e-6))
    arg = np.maximum((d + d) / den + f32(1), f32(1.000001))
    return np.log(arg + np.sqrt(arg * arg - f32(1))).astype(np.float32)


def assert_nearest(got, ref, k, candidates=None, exact_ids=True):
    """got must be the k nearest of candidates (all rows by default) under ref, nearest first.

    With exact_ids the ids themselves must match; otherwise only their distances, so that
    ties may come out in any order.
    """
    assert type(got) is list
    pool = np.arange(len(ref)) if candidates is None else np.asarray(sorted(candidates), dtype=int)
    want = pool[np.argsort(ref[pool], kind="stable")][:k]
    assert len(got) == len(want)
    assert len(set(got)) == len(got)
    assert set(got) <= set(pool.tolist())
    np.testing.assert_allclose(ref[got], ref[want], rtol=1e-5, atol=1e-6)
    if exact_ids:
        assert got == want.tolist()


# ------------------------------------------------------------- index file


def parse_index_file(data):
    """Splits an index file into its fields; fails on a file that does not add up."""
    dimension, curvature, max_m, ep_id, ep_layer, n = HEADER.unpack_from(data, 0)
    at = HEADER_BYTES
    records = np.frombuffer(data, dtype="<f4", count=n * (dimension + 1), offset=at)
    records = records.reshape(n, dimension + 1)
    at += records.nbytes
    masks = np.frombuffer(data, dtype="<u8", count=n, offset=at)
    at += masks.nbytes
    levels, links = [], []
    for _ in range(n):
        (level,) = struct.unpack_from("<i", data, at)
        at += 4
        layers = []
        for _ in range(level + 1):
            (count,) = struct.unpack_from("<Q", data, at)
            at += 8
            layers.append(list(struct.unpack_from(f"<{count}i", data, at)))
            at += 4 * count
        levels.append(level)
        links.append(layers)
    assert at == len(data), "bytes left after the last node record"
    return {
        "dimension": dimension,
        "curvature": curvature,
        "max_m": max_m,
        "ep_id": ep_id,
        "ep_layer": ep_layer,
        "vectors": records[:, :dimension].copy(),
        "norms": records[:, dimension].copy(),
        "masks": [int(m) for m in masks],
        "levels": levels,
        "links": links,
    }


def index_file_bytes(vectors, *, curvature=1.0, max_m=16, ep_id=-1, ep_layer=-1, norms=None,
                     masks=None, levels=None, links=None, graph=None):
    """An index file with the given contents.

    links[i][j] lists node i's neighbours on layer j; by default every node has level 0
    and no links. graph, if given, is the raw graph section and replaces levels and links.
    """
    vectors = np.atleast_2d(as_f32(vectors))
    n, dimension = vectors.shape
    norms = ref_squared_norms(vectors) if norms is None else as_f32(norms)
    masks = np.zeros(n, dtype="<u8") if masks is None else np.asarray(masks, dtype="<u8")
    parts = [
        HEADER.pack(dimension, curvature, max_m, ep_id, ep_layer, n),
        np.column_stack([vectors, norms]).astype("<f4").tobytes(),
        masks.tobytes(),
    ]
    if graph is not None:
        parts.append(graph)
    else:
        levels = [0] * n if levels is None else levels
        links = [[[] for _ in range(lv + 1)] for lv in levels] if links is None else links
        for level, layers in zip(levels, links):
            parts.append(struct.pack("<i", level))
            assert len(layers) == level + 1
            for ids in layers:
                parts.append(struct.pack(f"<Q{len(ids)}i", len(ids), *ids))
    return b"".join(parts)


def uniform_graph_section(neighbours):
    """Graph section where every node has level 0 and the row of neighbours as its list."""
    neighbours = np.asarray(neighbours, dtype="<i4")
    n, c = neighbours.shape
    record = np.dtype([("level", "<i4"), ("count", "<u8"), ("ids", "<i4", (c,))])
    section = np.zeros(n, dtype=record)
    section["count"] = c
    section["ids"] = neighbours
    return section.tobytes()


def loaded(path, data, metric="euclidean"):
    """A new index of the given metric holding the contents of an index file."""
    Path(path).write_bytes(data)
    index = zelt_core.HyperbolicIndex(1, 1.0, 16, metric)
    index.load_index(str(path))
    return index


# ----------------------------------------------------------- child process


def run_python(code, timeout=120):
    """Runs code in a fresh interpreter that imports the same zelt_core as this one."""
    env = dict(os.environ)
    module_dir = str(Path(zelt_core.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)


# ----------------------------------------------------------- mammal data


def load_word2vec_binary(path):
    """Names and float32 rows of a word2vec binary file."""
    data = Path(path).read_bytes()
    header_end = data.index(b"\n")
    count, dimension = map(int, data[:header_end].split())
    at = header_end + 1
    names, rows = [], np.empty((count, dimension), dtype=np.float32)
    for i in range(count):
        space = data.index(b" ", at)
        names.append(data[at:space].decode("utf-8").strip())
        at = space + 1
        rows[i] = np.frombuffer(data, dtype="<f4", count=dimension, offset=at)
        at += 4 * dimension
        if at < len(data) and data[at:at + 1] == b"\n":
            at += 1
    return names, rows


@pytest.fixture(scope="session")
def mammals():
    if not MAMMALS_PATH.is_file():
        pytest.skip(f"the mammal embeddings are not at {MAMMALS_PATH}")
    return load_word2vec_binary(MAMMALS_PATH)


@pytest.fixture
def rng():
    return np.random.default_rng(20240611)
