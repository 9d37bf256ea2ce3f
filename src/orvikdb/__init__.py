"""orvikdb: an HNSW vector index for Python with keys, deletion and tags,
built on the zelt_core engine.

    import orvikdb
    index = orvikdb.Index(32, metric="cosine")
    index.add(vectors, keys=ids, tags=1)
    keys, distances = index.search(queries, 10)
"""

from orvikdb._result import SearchResult
from orvikdb.index import Index

__all__ = ["Index", "SearchResult"]
