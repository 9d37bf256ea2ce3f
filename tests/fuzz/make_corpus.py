"""Writes the seed corpus of the index file fuzzer: small indexes saved by the module.

Run with zelt_core importable, e.g.

    PYTHONPATH=build/<dir> .venv/bin/python tests/fuzz/make_corpus.py

The files replace those in tests/fuzz/corpus/. Levels are drawn from the index's
own random source, so the seeds differ from run to run in their graphs; their
shapes (sizes, metrics, M, dimensions, the mix of flat and linked nodes) do not.
"""

import os
import pathlib
import struct
import sys

import numpy as np

import zelt_core

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"
TOP_BIT = 1 << 63
# libFuzzer is run with -max_len=4096; larger seeds would only be read in part.
MAX_SEED_BYTES = 4096


def ball_points(rng, count, dimension, radius=0.85):
    """Points strictly inside the unit ball, so every metric is defined on them."""
    points = rng.normal(size=(count, max(dimension, 1))).astype(np.float32)[:, :dimension]
    norms = np.linalg.norm(points, axis=1, keepdims=True)
    norms[norms == 0] = 1
    scale = rng.uniform(0.05, radius, size=(count, 1)).astype(np.float32)
    return (points / norms * scale).astype(np.float32)


def build(metric, dimension, m, pattern, seed):
    """pattern: a string of 'L' (linked) and 'F' (flat) nodes, in insertion order."""
    rng = np.random.default_rng(seed)
    index = zelt_core.HyperbolicIndex(dimension, 1.0, m, metric)
    points = ball_points(rng, len(pattern), dimension)
    for i, (kind, point) in enumerate(zip(pattern, points)):
        mask = int(rng.integers(0, 1 << 16)) | (TOP_BIT if i % 3 == 0 else 0)
        if kind == "L":
            index.add_item_and_link(point, mask, 32)
        else:
            index.add_item_flat(point, mask)
    return index


SEEDS = {
    "empty_d3": ("poincare", 3, 16, ""),
    "flat_only_d2": ("euclidean", 2, 16, "FFFFF"),
    "mixed_poincare_d3": ("poincare", 3, 4, "LLFLLLFLLLFL"),
    "mixed_euclidean_d3": ("euclidean", 3, 4, "LFLLFLLLLFLL"),
    "mixed_cosine_d3": ("cosine", 3, 4, "LLLFLLFLLLLF"),
    "linked_m0_d3": ("euclidean", 3, 0, "LLLLLL"),
    "linked_m2_d3": ("poincare", 3, 2, "LLLLLLLLLLLLLLLLLLLL"),
    "mixed_d0": ("euclidean", 0, 4, "LLFLF"),
    "mixed_d1": ("poincare", 1, 3, "LLLFLLLF"),
    "linked_d8": ("cosine", 8, 6, "LLLLFLLLLLLLLLLL"),
    "single_linked_d3": ("poincare", 3, 16, "L"),
}


def node_record(level, lists):
    return struct.pack("<i", level) + b"".join(
        struct.pack(f"<Q{len(ids)}i", len(ids), *ids) for ids in lists)


def edge_file(ep_id, ep_layer, nodes):
    """A file the module does not write but accepts: nodes are (vector, mask, level, lists)."""
    dimension = len(nodes[0][0])
    out = [struct.pack("<ifiiiQ", dimension, 1.0, 4, ep_id, ep_layer, len(nodes))]
    out += [struct.pack(f"<{dimension}ff", *v, sum(x * x for x in v)) for v, _, _, _ in nodes]
    out += [struct.pack("<Q", mask) for _, mask, _, _ in nodes]
    out += [node_record(level, lists) for _, _, level, lists in nodes]
    return b"".join(out)


# Shapes insertion never makes: nodes without layers (level -1), one of them the entry
# point, and overfull lists with repeated and self links.
EDGE_SEEDS = {
    "edge_entry_without_layers": edge_file(0, -1, [
        ((0.1, 0.2, 0.0), TOP_BIT, -1, []),
        ((0.2, 0.1, 0.0), 1, 1, [[2], [2]]),
        ((0.0, 0.1, 0.2), 2, 1, [[1], [1]]),
    ]),
    "edge_overfull_lists": edge_file(1, 2, [
        ((0.1, 0.0, 0.0), 1, 0, [[0, 1, 1, 2, 2, 1, 0, 2, 1]]),
        ((0.0, 0.1, 0.0), TOP_BIT, 2, [[0, 2], [2, 2], [1]]),
        ((0.0, 0.0, 0.1), 3, 1, [[0, 1], [1]]),
        ((0.1, 0.1, 0.1), 0, -1, []),
    ]),
}


def main():
    CORPUS.mkdir(exist_ok=True)
    for old in CORPUS.iterdir():
        old.unlink()
    for i, (name, (metric, dimension, m, pattern)) in enumerate(sorted(SEEDS.items())):
        path = CORPUS / f"{name}.idx"
        build(metric, dimension, m, pattern, seed=1000 + i).save_index(str(path))
        size = os.path.getsize(path)
        if size > MAX_SEED_BYTES:
            sys.exit(f"{path} is {size} bytes, more than the fuzzer reads")
        print(f"{path.name}: {size} bytes")
    for name, data in EDGE_SEEDS.items():
        path = CORPUS / f"{name}.idx"
        path.write_bytes(data)
        # A seed the loader refuses would only test the refusal.
        zelt_core.HyperbolicIndex(1).load_index(str(path))
        print(f"{path.name}: {len(data)} bytes")


if __name__ == "__main__":
    main()
