"""Digests of everything an index answers, to prove that a change of the core changes no answer.

Builds seeded indexes of every metric (linked and flat nodes, random masks), saves them, and runs
thousands of queries of all three kinds with varied arguments, on the built index and on a copy
loaded from its file. Prints one SHA-256 per case: of the saved bytes, of the statistics, of the
answers and distances. Run it with the old build and the new one and compare:

    python bench/answer_digest.py --out before.json      # old build installed
    python bench/answer_digest.py --compare before.json  # new build installed; exit 1 on a diff
"""

import argparse
import hashlib
import json
import os
import sys
import tempfile

import numpy as np

import zelt_core

import benchlib

METRICS = ("poincare", "euclidean", "cosine")


def data_for(rng, metric, n, dim, ties=False):
    if ties:
        # Few distinct values and repeated rows: many equal distances, so the
        # order among equals must come out as before too.
        x = rng.integers(-2, 3, size=(n, dim)).astype(np.float64)
        x[n // 2:] = x[: n - n // 2]
        if metric == "poincare":
            x *= 0.9 / (2.0 * np.sqrt(dim))
        return x.astype(np.float32)
    x = rng.standard_normal((n, dim))
    if metric == "poincare":
        x /= np.linalg.norm(x, axis=1, keepdims=True)
        # Radii up to 0.999 put some points beyond the graph walk's boundary.
        x *= 0.999 * rng.random((n, 1)) ** (1.0 / dim)
    elif metric == "euclidean":
        x[: n // 2] += 4.0  # two clusters
    return x.astype(np.float32)


def build(metric, vectors, masks, seed, M, flat_every, ef_construction):
    index = zelt_core.HyperbolicIndex(vectors.shape[1], 1.0, M, metric, seed=seed)
    for i, v in enumerate(vectors):
        if flat_every and i % flat_every == flat_every - 1:
            index.add_item_flat(v, int(masks[i]))
        else:
            index.add_item_and_link(v, int(masks[i]), ef_construction)
    return index


def query_digest(index, queries, n):
    h = hashlib.sha256()
    def put(x):
        h.update(repr(x).encode())
    for i, q in enumerate(queries):
        fm = (0, 1, 3, 6)[i % 4]
        k = (1, 10, 37)[i % 3]
        put(index.custom_hnsw_search(q, k, fm, (10, 50, 120)[i % 3]))
        put(index.custom_hnsw_search(q, k, 0, 60, (-1.0, 1.5)[i % 2], (-1.0, 0.4)[(i // 2) % 2]))
        put(index.filtered_search(q, k, fm, (60, 400)[i % 2]))
        put(index.filtered_search(q, k, fm, 200, (-1.0, 2.5)[i % 2], (-1.0, 0.3)[(i // 2) % 2]))
        put(index.hardware_flat_search(q, k, fm))
        put(index.hardware_flat_search(q, k, 0, (-1.0, 1.0)[i % 2], (-1.0, 0.5)[(i // 2) % 2]))
        if i % 10 == 0:
            node = i % n
            put(np.float64(index.compute_distance(q, node)).tobytes().hex())
    return h.hexdigest()


def case_digests(index, queries, n, tmp):
    path = os.path.join(tmp, "index.bin")
    index.save_index(path)
    with open(path, "rb") as f:
        saved = hashlib.sha256(f.read()).hexdigest()
    stats = hashlib.sha256(repr(index.get_stats()).encode()).hexdigest()
    answers = query_digest(index, queries, n)
    again = zelt_core.HyperbolicIndex(1, metric=index.get_metric())
    again.load_index(path)
    loaded = query_digest(again, queries, n)
    return {"file": saved, "stats": stats, "answers": answers, "loaded_answers": loaded}


def mammals():
    path = benchlib.mammals_path()
    if path is None:
        print("[skip] mammal embeddings not found beside the repository", file=sys.stderr)
        return None
    return benchlib.read_word2vec_binary(path)[1]


def run(args):
    out = {}
    with tempfile.TemporaryDirectory() as tmp:
        for metric in METRICS:
            for M, dim, ties in ((16, args.dim, False), (5, 7, False), (8, 6, True)):
                rng = np.random.default_rng(args.seed + M)
                vectors = data_for(rng, metric, args.n, dim, ties)
                masks = rng.integers(0, 8, size=args.n, dtype=np.uint64)
                queries = data_for(rng, metric, args.queries, dim, ties)
                index = build(metric, vectors, masks, args.seed, M, 17, args.ef_construction)
                name = f"{metric}-M{M}-d{dim}-n{args.n}" + ("-ties" if ties else "")
                out[name] = case_digests(index, queries, args.n, tmp)
                print(name, out[name]["file"][:16], out[name]["answers"][:16], flush=True)
        vectors = mammals()
        if vectors is not None:
            rng = np.random.default_rng(args.seed)
            masks = rng.integers(0, 4, size=len(vectors), dtype=np.uint64)
            index = build("poincare", vectors, masks, args.seed, 16, 0, args.ef_construction)
            out["mammals"] = case_digests(index, vectors[: args.queries], len(vectors), tmp)
            print("mammals", out["mammals"]["file"][:16], flush=True)
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--n", type=int, default=3000)
    p.add_argument("--dim", type=int, default=24)
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--ef-construction", type=int, default=100)
    p.add_argument("--seed", type=int, default=7)
    p.add_argument("--out", help="write the digests to this JSON file")
    p.add_argument("--compare", help="compare with the digests in this JSON file")
    args = p.parse_args()
    digests = run(args)
    if args.out:
        with open(args.out, "w") as f:
            json.dump(digests, f, indent=1, sort_keys=True)
    if args.compare:
        with open(args.compare) as f:
            before = json.load(f)
        diffs = [(case, key) for case in sorted(set(before) | set(digests))
                 for key in ("file", "stats", "answers", "loaded_answers")
                 if before.get(case, {}).get(key) != digests.get(case, {}).get(key)]
        for case, key in diffs:
            print(f"DIFFERS: {case} {key}")
        print("same answers, files and statistics" if not diffs else f"{len(diffs)} differences")
        sys.exit(1 if diffs else 0)


if __name__ == "__main__":
    main()
