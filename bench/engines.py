"""The HNSW engines of the benchmarks behind one face, and the settings they all build with:
build(metric, data, seed, threads=1) returns an index, searcher(index, ef) a function of one query
that answers its k nearest ids.

Every engine builds with M 16 and ef_construction 200 (the demo uses the same settings) and
answers one query per Python call, as a user of each library would issue it. Cosine data arrives
normalised (sweep_data), so faiss runs L2 on it, which orders neighbours exactly as cosine does;
the others use their own cosine.

"orvikdb" is this project's engine measured underneath the orvikdb package: the zelt_core index
that orvikdb.Index wraps, called directly (add_items, custom_hnsw_search), so that a one-query
call costs what the engine costs and not also the package's key and tag translation.
"""

import numpy as np

import benchlib

K = 10
M = 16
EF_CONSTRUCTION = 200


class OrvikDB:
    name = "orvikdb"

    def __init__(self, lib):
        self.lib = lib

    def build(self, metric, data, seed, threads=1):
        index = self.lib.HyperbolicIndex(data.shape[1], 1.0, M, metric, seed=seed)
        index.add_items(data, 0, EF_CONSTRUCTION, num_threads=threads)
        return index

    def searcher(self, index, ef):
        return lambda q: index.custom_hnsw_search(q, K, 0, ef)


class Hnswlib:
    name = "hnswlib"

    def __init__(self, lib):
        self.lib = lib

    def build(self, metric, data, seed, threads=1):
        index = self.lib.Index(space="cosine" if metric == "cosine" else "l2", dim=data.shape[1])
        index.init_index(max_elements=len(data), M=M, ef_construction=EF_CONSTRUCTION,
                         random_seed=seed)
        index.set_num_threads(threads)
        index.add_items(data, num_threads=threads)
        return index

    def searcher(self, index, ef):
        index.set_ef(ef)
        return lambda q: index.knn_query(q[None], k=K, num_threads=1)[0][0]


class Faiss:
    name = "faiss"

    def __init__(self, lib):
        lib.omp_set_num_threads(1)
        self.lib = lib

    def build(self, metric, data, seed, threads=1):
        if metric == "cosine" and not np.allclose(np.linalg.norm(data, axis=1), 1.0, atol=1e-4):
            raise ValueError("faiss runs cosine as L2 on normalised data: normalise it first")
        self.lib.omp_set_num_threads(threads)
        index = self.lib.IndexHNSWFlat(data.shape[1], M)
        index.hnsw.efConstruction = EF_CONSTRUCTION
        index.add(data)
        self.lib.omp_set_num_threads(1)
        return index

    def searcher(self, index, ef):
        index.hnsw.efSearch = ef
        return lambda q: index.search(q[None], K)[1][0]


class Usearch:
    name = "usearch"

    def __init__(self, lib):
        import usearch.index
        self.lib = lib
        self.Index = usearch.index.Index

    def build(self, metric, data, seed, threads=1):
        index = self.Index(ndim=data.shape[1], metric="cos" if metric == "cosine" else "l2sq",
                           dtype="f32", connectivity=M, expansion_add=EF_CONSTRUCTION)
        index.add(np.arange(len(data)), data, threads=threads)
        return index

    def searcher(self, index, ef):
        index.expansion_search = ef
        return lambda q: index.search(q, K, threads=1).keys


# name: (class, module to import, its PyPI name; None for this project's own)
ENGINES = {
    "orvikdb": (OrvikDB, "zelt_core", None),
    "hnswlib": (Hnswlib, "hnswlib", "hnswlib"),
    "faiss": (Faiss, "faiss", "faiss-cpu"),
    "usearch": (Usearch, "usearch", "usearch"),
}


def load(names):
    """The engines of the given names that can be imported (benchlib says which are skipped)."""
    engines = []
    for name in names:
        cls, module, pip_name = ENGINES[name]
        lib = benchlib.import_zelt() if pip_name is None else benchlib.import_peer(module, pip_name)
        if lib is not None:
            engines.append(cls(lib))
    return engines


def one(name):
    """The engine of this name, or None after benchlib has said why it is skipped."""
    found = load([name])
    return found[0] if found else None
