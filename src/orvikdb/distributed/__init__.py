"""orvikdb.distributed: one index over many machines, sharded by key on Ray.

    from orvikdb.distributed import ShardedIndex
    index = ShardedIndex(32, shards=4, replicas=2, metric="cosine", address="auto")
    index.add(vectors, keys=ids)
    keys, distances = index.search(queries, 10)
    index.save("/shared/vectors")
    again = ShardedIndex.load("/shared/vectors", address="auto")

Needs Ray, the optional extra of the distribution:
pip install 'zelt_core[distributed]' (from a checkout: pip install '.[distributed]').
"""

try:
    import ray  # noqa: F401
except ImportError as missing:
    raise ImportError("orvikdb.distributed needs Ray: pip install 'zelt_core[distributed]' "
                      "(from a checkout: pip install '.[distributed]')",
                      name=missing.name) from missing

from orvikdb.distributed._group import ShardUnavailableError
from orvikdb.distributed._losses import LostRowsWarning, ShardLoss
from orvikdb.distributed._sharded import ShardedIndex

__all__ = ["LostRowsWarning", "ShardLoss", "ShardUnavailableError", "ShardedIndex"]
