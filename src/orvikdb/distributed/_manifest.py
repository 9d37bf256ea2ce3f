"""The manifest of a saved sharded index: what ties its shards' files together.

A JSON file, MANIFEST_NAME in the save directory:

    {"format": "orvikdb-sharded", "version": 1, "hash": "splitmix64",
     "shards": 2, "replicas": 2, "dimension": 32, "metric": "cosine", "M": 16,
     "ef_construction": 200, "next_key": 1000,
     "files": ["shard-0000-1f0c....idx", "shard-0001-1f0c....idx"],
     "rows": [498, 502]}

files names every shard's index file (saved by orvikdb.Index.save, so each
has its sidecar beside it) relative to the directory, and rows its live rows
at the save. Every save writes its shard files under new names and the
manifest last, through a temporary file renamed over the old one: that rename
is the moment the save takes effect, so an interrupted save leaves the
previous save whole.
"""

import json
import os
import tempfile
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any

from orvikdb._saving import sync_directory
from orvikdb._sidecar import METRICS, IndexFileError
from orvikdb.index import Metric
from orvikdb.distributed._routing import HASH_NAME

MANIFEST_NAME = "orvikdb-sharded.json"
_FORMAT = "orvikdb-sharded"
_VERSION = 1


@dataclass(frozen=True)
class Manifest:
    """The contents of a manifest."""

    shards: int
    replicas: int
    dimension: int
    metric: Metric
    M: int
    ef_construction: int
    next_key: int
    files: tuple[str, ...]
    rows: tuple[int, ...]


def write(directory: Path, manifest: Manifest) -> None:
    """Replaces the manifest in directory with this one, flushed to the disk."""
    text = json.dumps({"format": _FORMAT, "version": _VERSION, "hash": HASH_NAME,
                       **asdict(manifest)}, indent=1)
    fd, temporary = tempfile.mkstemp(dir=directory, prefix=f".{MANIFEST_NAME}.saving-")
    try:
        with os.fdopen(fd, "w") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, directory / MANIFEST_NAME)
    except BaseException:
        os.unlink(temporary)
        raise
    # The rename itself must reach the disk before the previous save's files go.
    sync_directory(directory)


def _int(data: dict[str, Any], name: str, label: str, least: int | None = 0) -> int:
    value = data.get(name)
    if type(value) is not int or (least is not None and value < least):
        floor = "" if least is None else f" of at least {least}"
        raise IndexFileError(f"{label}: {name!r} is {value!r}, not an int{floor}")
    return value


def _names(data: dict[str, Any], shards: int, label: str) -> tuple[str, ...]:
    files = data.get("files")
    if (not isinstance(files, list) or len(files) != shards
            or not all(isinstance(f, str) and f and Path(f).name == f and f != ".."
                       for f in files)):
        raise IndexFileError(f"{label}: 'files' must name {shards} files of the directory, "
                             f"got {files!r}")
    return tuple(files)


def _rows(data: dict[str, Any], shards: int, label: str) -> tuple[int, ...]:
    rows = data.get("rows")
    if (not isinstance(rows, list) or len(rows) != shards
            or not all(type(n) is int and n >= 0 for n in rows)):
        raise IndexFileError(f"{label}: 'rows' must be {shards} counts, got {rows!r}")
    return tuple(rows)


def _header(data: Any, label: str) -> dict[str, Any]:
    if not isinstance(data, dict) or data.get("format") != _FORMAT:
        raise IndexFileError(f"{label} is not the manifest of a sharded orvikdb index")
    if data.get("version") != _VERSION:
        raise IndexFileError(f"{label} has format version {data.get('version')!r}; this "
                             f"orvikdb reads version {_VERSION}")
    if data.get("hash") != HASH_NAME:
        raise IndexFileError(f"{label} routes keys with the hash {data.get('hash')!r}; this "
                             f"orvikdb knows only {HASH_NAME!r}")
    if data.get("metric") not in METRICS:
        raise IndexFileError(f"{label}: unknown metric {data.get('metric')!r}")
    return data


def read(directory: Path) -> Manifest:
    """The manifest in directory; IndexFileError for one that is missing or does not add up."""
    path = directory / MANIFEST_NAME
    label = str(path)
    try:
        data = _header(json.loads(path.read_text()), label)
    except FileNotFoundError:
        raise IndexFileError(f"{directory} holds no {MANIFEST_NAME}: it is not a directory "
                             "saved by orvikdb.distributed.ShardedIndex.save") from None
    except (ValueError, UnicodeDecodeError) as error:
        raise IndexFileError(f"{label} is not readable JSON ({error})") from None
    shards = _int(data, "shards", label, 1)
    return Manifest(shards=shards, replicas=_int(data, "replicas", label, 1),
                    dimension=_int(data, "dimension", label), metric=data["metric"],
                    M=_int(data, "M", label),
                    ef_construction=_int(data, "ef_construction", label, None),
                    next_key=_int(data, "next_key", label),
                    files=_names(data, shards, label), rows=_rows(data, shards, label))
