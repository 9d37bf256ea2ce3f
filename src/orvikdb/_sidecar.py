"""The sidecar: what the core's index file does not hold, kept beside it.

Layout (little-endian):

    8 bytes   b"orvikdb\\0"
    uint32    format version (1)
    uint32    length of the JSON header
    JSON      metric, dimension, M, curvature, ef_construction, reach_all (absent
              in older sidecars: false), node and dead counts, and the size and
              CRC-32C of the index file it belongs to (older sidecars: its
              SHA-256 instead)
    int64[n]  every node's key, in node order
    int64[d]  the dead nodes, ascending
    32 bytes  SHA-256 of everything above

The checksum of the index file is what ties the two files together: a
sidecar is only ever used with the bytes it was written for. The core takes
the CRC-32C while it writes or reads the file, where a SHA-256 took a second
pass over all of it; what it guards against is a sidecar beside the wrong
index file (the sidecar's own bytes keep their SHA-256), which a 32-bit check
together with the size misses once in four billion.
"""

import hashlib
import json
import struct
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

METRICS = ("poincare", "euclidean", "cosine")
FORMAT_VERSION = 1
_MAGIC = b"orvikdb\0"
_PREFIX = struct.Struct("<8sII")
_CHECKSUM_BYTES = 32


class IndexFileError(ValueError):
    """An index file or its sidecar is damaged, missing, or the two do not belong together."""


@dataclass(frozen=True)
class Sidecar:
    """The contents of a sidecar."""

    metric: str
    dimension: int
    M: int
    curvature: float
    ef_construction: int
    node_keys: npt.NDArray[np.int64]
    dead: npt.NDArray[np.int64]
    index_size: int
    index_sha256: str | None  # older sidecars; newer ones have index_crc32c
    reach_all: bool = False
    index_crc32c: int | None = None


def encode(sidecar: Sidecar) -> bytes:
    """The bytes of a sidecar file."""
    header = json.dumps({
        "metric": sidecar.metric, "dimension": sidecar.dimension, "M": sidecar.M,
        "curvature": sidecar.curvature, "ef_construction": sidecar.ef_construction,
        "reach_all": sidecar.reach_all,
        "nodes": len(sidecar.node_keys), "dead": len(sidecar.dead),
        "index_size": sidecar.index_size, **_file_checksum(sidecar),
    }).encode()
    body = b"".join([_PREFIX.pack(_MAGIC, FORMAT_VERSION, len(header)), header,
                     sidecar.node_keys.astype("<i8").tobytes(), sidecar.dead.astype("<i8").tobytes()])
    return body + hashlib.sha256(body).digest()


def _file_checksum(sidecar: Sidecar) -> dict[str, Any]:
    if sidecar.index_crc32c is not None:
        return {"index_crc32c": sidecar.index_crc32c}
    return {"index_sha256": sidecar.index_sha256}


def _checksums(header: dict[str, Any], label: str) -> tuple[str | None, int | None]:
    """The index file's SHA-256 (older sidecars) or CRC-32C."""
    if "index_crc32c" not in header:
        return _field(header, "index_sha256", str, label), None
    crc = _field(header, "index_crc32c", int, label)
    if not 0 <= crc < 1 << 32:
        raise IndexFileError(f"{label}: field 'index_crc32c' is {crc}, not a 32-bit checksum")
    return None, crc


def _field(header: dict[str, Any], name: str, kind: type, label: str) -> Any:
    value = header.get(name)
    if type(value) is not kind and not (kind is float and type(value) is int):
        raise IndexFileError(f"{label}: field {name!r} is {value!r}, not a {kind.__name__}")
    return value


def _counts(header: dict[str, Any], label: str) -> tuple[int, int]:
    nodes = _field(header, "nodes", int, label)
    dead = _field(header, "dead", int, label)
    if not 0 <= dead <= nodes:
        raise IndexFileError(f"{label}: {dead} dead nodes of {nodes}")
    return nodes, dead


def _unwrap(data: bytes, label: str) -> tuple[dict[str, Any], bytes]:
    if len(data) < _PREFIX.size + _CHECKSUM_BYTES or not data.startswith(_MAGIC):
        raise IndexFileError(f"{label} is not an orvikdb sidecar")
    _, version, header_length = _PREFIX.unpack_from(data)
    if version != FORMAT_VERSION:
        raise IndexFileError(f"{label} has format version {version}; this orvikdb reads "
                             f"version {FORMAT_VERSION}")
    body = data[:-_CHECKSUM_BYTES]
    if hashlib.sha256(body).digest() != data[-_CHECKSUM_BYTES:]:
        raise IndexFileError(f"{label} is damaged (its checksum does not match)")
    end = _PREFIX.size + header_length
    try:
        header = json.loads(body[_PREFIX.size:end]) if end <= len(body) else None
    except ValueError:
        header = None
    if not isinstance(header, dict):
        raise IndexFileError(f"{label} has an unreadable header")
    return header, body[end:]


def _tables(header: dict[str, Any], arrays: bytes,
            label: str) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    nodes, dead_count = _counts(header, label)
    if len(arrays) != 8 * (nodes + dead_count):
        raise IndexFileError(f"{label}: the key table does not have {nodes} entries")
    keys = np.frombuffer(arrays, dtype="<i8", count=nodes).astype(np.int64)
    dead = np.frombuffer(arrays, dtype="<i8", offset=8 * nodes).astype(np.int64)
    if dead.size and (dead[0] < 0 or dead[-1] >= nodes or np.any(np.diff(dead) <= 0)):
        raise IndexFileError(f"{label}: the dead set is not a list of its nodes")
    # Whether the live keys are distinct is the key table's check, which sorts them anyway.
    if keys.size and keys.min() < 0:
        raise IndexFileError(f"{label}: the key table holds a negative key")
    return keys, dead


def decode(data: bytes, label: str) -> Sidecar:
    """The contents of a sidecar file; IndexFileError for anything that does not add up.

    label names the file in the errors.
    """
    header, arrays = _unwrap(data, label)
    keys, dead = _tables(header, arrays, label)
    sha256, crc32c = _checksums(header, label)
    metric = _field(header, "metric", str, label)
    if metric not in METRICS:
        raise IndexFileError(f"{label}: unknown metric {metric!r}")
    return Sidecar(metric=metric, dimension=_field(header, "dimension", int, label),
                   M=_field(header, "M", int, label),
                   curvature=float(_field(header, "curvature", float, label)),
                   ef_construction=_field(header, "ef_construction", int, label),
                   node_keys=keys, dead=dead,
                   index_size=_field(header, "index_size", int, label),
                   index_sha256=sha256, index_crc32c=crc32c,
                   reach_all=_field(header, "reach_all", bool, label)
                   if "reach_all" in header else False)
