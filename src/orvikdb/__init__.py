"""orvikdb: an HNSW vector index for Python with keys, deletion, tags and
self-describing files, built on the zelt_core engine.

    import orvikdb
    index = orvikdb.Index(32, metric="cosine")
    index.add(vectors, keys=ids, tags=1)
    keys, distances = index.search(queries, 10)
    index.save("vectors.idx")
    again = orvikdb.Index.load("vectors.idx")
    with orvikdb.Index.open("vectors/", 32) as durable:   # every change on the disk
        durable.add(vectors)
"""

from importlib import metadata

from orvikdb import hyperbolic
from orvikdb._durable import DurableIndex
from orvikdb._result import SearchResult
from orvikdb._sidecar import IndexFileError
from orvikdb.index import Index

__all__ = ["DurableIndex", "Index", "IndexFileError", "SearchResult", "__version__",
           "hyperbolic"]

try:
    __version__ = metadata.version("orvikdb")
except metadata.PackageNotFoundError:  # a source tree on sys.path, not installed
    __version__ = "0+unknown"
