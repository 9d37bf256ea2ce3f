"""Saving and finding the pair of files: the core's index file and its sidecar.

Two renames cannot happen at once, so the sidecar's rename is the moment a
save takes effect. A save first writes the new index file under a fixed
staged name beside the target, then the new sidecar (which names the staged
file's checksum) through a temporary file renamed over the old sidecar, and
only then renames the staged index file over the old one. Stopped before the
sidecar's rename, the old pair stands; stopped after it, the sidecar's index
is in the staged file, where loading (or the next save) finds it by its
checksum and finishes the rename. Either way no save loses the pair that was
there. One process at a time should save to a given path.
"""

import errno
import hashlib
import os
import tempfile
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import zelt_core

from orvikdb._sidecar import IndexFileError, Sidecar, decode


def sidecar_path(path: Path) -> Path:
    """Where the sidecar of the index file at path lives."""
    return path.with_name(path.name + ".orvikdb")


def _staged_path(path: Path) -> Path:
    return path.with_name("." + path.name + ".orvikdb-staged")


def _digest(path: Path) -> tuple[int, str]:
    with open(path, "rb") as f:
        return os.fstat(f.fileno()).st_size, hashlib.file_digest(f, "sha256").hexdigest()


def _matches(path: Path, sidecar: Sidecar) -> bool:
    """Whether the file at path holds the bytes the sidecar describes (a full read)."""
    try:
        if sidecar.index_crc32c is None:
            return _digest(path) == (sidecar.index_size, sidecar.index_sha256)
        if path.stat().st_size != sidecar.index_size:
            return False
        return zelt_core.HyperbolicIndex.file_checksum(str(path)) == sidecar.index_crc32c
    except FileNotFoundError:
        return False
    except RuntimeError:
        return False  # the core could not read it


def sync_directory(directory: Path) -> None:
    """Flushes the renames in directory to the disk."""
    fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _replace_with_bytes(target: Path, data: bytes, mode: int) -> None:
    fd, temporary = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.saving-")
    try:
        with os.fdopen(fd, "wb") as f:
            # The index file's permissions, not mkstemp's owner-only ones.
            os.fchmod(f.fileno(), mode)
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise
    sync_directory(target.parent)


def _finish_save(path: Path, sidecar: Sidecar) -> Path:
    """Renames a staged index file that the sidecar describes over path; the file to load."""
    staged = _staged_path(path)
    if not _matches(staged, sidecar) or _matches(path, sidecar):
        return path
    try:
        os.replace(staged, path)
        sync_directory(path.parent)
    except OSError:
        return staged  # a read-only directory: load the staged file where it is
    return path


def _missing(path: Path) -> FileNotFoundError:
    return FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), str(path))


def read_sidecar(path: Path) -> Sidecar:
    """The sidecar of the index file at path."""
    side = sidecar_path(path)
    try:
        data = side.read_bytes()
    except FileNotFoundError:
        if not path.exists():
            raise _missing(path) from None
        raise IndexFileError(f"{path} has no sidecar {side}: it was not saved by "
                             "orvikdb.Index.save") from None
    return decode(data, str(side))


def _check_directory(path: Path) -> None:
    """Raises what creating a file beside path raises (a missing directory, no permission)
    as an error about path, the file the caller named, before the core writes anything."""
    try:
        fd, probe = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.probe-")
    except OSError as error:
        raise type(error)(error.errno, error.strerror, str(path)) from None
    os.close(fd)
    os.unlink(probe)


def save_pair(core: zelt_core.HyperbolicIndex, describe: Callable[[int, int], bytes],
              path: Path) -> None:
    """Saves the core to path and describe(size, CRC-32C of the index file) beside it."""
    try:
        _finish_save(path, read_sidecar(path))
    except (OSError, IndexFileError):
        pass  # nothing staged to keep: no readable sidecar refers to a staged file
    staged = _staged_path(path)
    _check_directory(path)
    checksum = core.save_index(str(staged), checksum=True)
    info = staged.stat()
    _replace_with_bytes(sidecar_path(path), describe(info.st_size, checksum),
                        info.st_mode & 0o777)
    os.replace(staged, path)
    sync_directory(path.parent)


def _not_its_sidecar(path: Path) -> IndexFileError:
    return IndexFileError(f"the sidecar {sidecar_path(path)} does not belong to the index "
                          f"file {path} (it describes another file's contents)")


def _load_checked(core: zelt_core.HyperbolicIndex, source: Path, sidecar: Sidecar,
                  path: Path) -> None:
    """Loads source, which the sidecar names by its CRC-32C, taken by the load itself."""
    try:
        size = source.stat().st_size
    except FileNotFoundError:
        raise _missing(path) from None
    if size != sidecar.index_size:
        raise _not_its_sidecar(path)
    try:
        checksum = core.load_index(str(source), checksum=True)
    except RuntimeError as failure:
        # A file the core refuses may still be another one than the sidecar's.
        if not _matches(source, sidecar):
            raise _not_its_sidecar(path) from failure
        raise
    if checksum != sidecar.index_crc32c:
        raise _not_its_sidecar(path)


def _load_matching(core: zelt_core.HyperbolicIndex, source: Path, sidecar: Sidecar,
                   path: Path) -> None:
    if sidecar.index_crc32c is not None:
        _load_checked(core, source, sidecar, path)
        return
    # An older sidecar names the file by its SHA-256. The digest and the core's
    # load both release the interpreter lock, so they read the file side by
    # side; the digest still decides what the load means.
    failure: RuntimeError | None = None
    with ThreadPoolExecutor(max_workers=1) as pool:
        digest = pool.submit(_digest, source)
        try:
            core.load_index(str(source))
        except RuntimeError as error:
            failure = error
        try:
            matches = digest.result() == (sidecar.index_size, sidecar.index_sha256)
        except FileNotFoundError:
            raise _missing(path) from None
    if not matches:
        raise _not_its_sidecar(path) from failure
    if failure is not None:
        raise failure


def load_pair(path: Path) -> tuple[zelt_core.HyperbolicIndex, Sidecar]:
    """A new core holding the index file at path, and its sidecar.

    Refuses (IndexFileError) a sidecar that is damaged or was not written for
    this very index file.
    """
    sidecar = read_sidecar(path)
    # Without a staged file there is no save to finish, and the one checksum is
    # taken while the core loads.
    source = _finish_save(path, sidecar) if _staged_path(path).exists() else path
    core = zelt_core.HyperbolicIndex(sidecar.dimension, sidecar.curvature, sidecar.M,
                                     sidecar.metric, reach_all=sidecar.reach_all)
    _load_matching(core, source, sidecar, path)
    if len(core) != len(sidecar.node_keys):
        raise IndexFileError(f"{path} holds {len(core)} nodes but its sidecar "
                             f"{sidecar_path(path)} has {len(sidecar.node_keys)} keys")
    return core, sidecar
