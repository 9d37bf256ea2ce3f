"""Builds, queries, saves and loads a small index of each metric and prints every answer as JSON.

Run once natively and once under an emulated processor without AVX2 and FMA
(scripts/older_cpu.sh): the two outputs must be equal, bit for bit, and the
emulated run must not die of an illegal instruction anywhere in the module.

    python tests/older_cpu/end_to_end.py OUT.json
"""

import hashlib
import json
import os
import sys
import tempfile

import numpy as np

import zelt_core


def answers(metric, tmp):
    rng = np.random.default_rng(3)
    x = rng.standard_normal((600, 12))
    if metric == "poincare":
        x = x / np.linalg.norm(x, axis=1, keepdims=True) * 0.95 * rng.random((600, 1))
    x = x.astype(np.float32)
    index = zelt_core.HyperbolicIndex(12, 1.0, 8, metric, seed=9)
    for i, v in enumerate(x):
        if i % 7 == 6:
            index.add_item_flat(v, i % 4)
        else:
            index.add_item_and_link(v, i % 4, 60)
    path = os.path.join(tmp, metric + ".bin")
    index.save_index(path)
    again = zelt_core.HyperbolicIndex(1, metric=metric)
    again.load_index(path)
    out = {"file": hashlib.sha256(open(path, "rb").read()).hexdigest(),
           "stats": again.get_stats()}
    queries = x[:40] + np.float32(0.01)
    for name, ix in (("built", index), ("loaded", again)):
        out[name] = [[ix.custom_hnsw_search(q, 10, 0, 40), ix.filtered_search(q, 10, 1, 100),
                      ix.hardware_flat_search(q, 10, 0), ix.compute_distance(q, 5).hex()]
                     for q in queries]
    return out


def main():
    with tempfile.TemporaryDirectory() as tmp:
        result = {m: answers(m, tmp) for m in ("poincare", "euclidean", "cosine")}
    with open(sys.argv[1], "w") as f:
        json.dump(result, f, sort_keys=True)


if __name__ == "__main__":
    main()
