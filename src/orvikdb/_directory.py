"""The directory of a durable index: its files, their generations and its lock.

    lock                          held (flock) by the one process writing
    snapshot-G.idx(.orvikdb)      a snapshot, saved as Index.save saves
    journal-G.log                 the changes made after snapshot G

A checkpoint saves snapshot G + 1, starts journal G + 1 and only then removes
generation G. The snapshot sidecar's rename is the moment a snapshot exists,
so the newest generation whose sidecar is there is the one to open, and
whatever is older (or is a leftover of an interrupted save) can go.
"""

import errno
import fcntl
import os
import re
from pathlib import Path

from orvikdb._saving import sync_directory
from orvikdb._sidecar import IndexFileError

_SNAPSHOT = re.compile(r"snapshot-(\d+)\.idx\.orvikdb")
_JOURNAL = re.compile(r"journal-(\d+)\.log")
# What an interrupted save leaves: its staged index file, the core's
# temporary file of that and the temporary sidecar.
_LEFTOVER = re.compile(r"\.\.?snapshot-\d+\.idx\.orvikdb(-staged|-staged\.saving-.*|\.saving-.*)")


def snapshot_path(directory: Path, generation: int) -> Path:
    """The index file of snapshot `generation`."""
    return directory / f"snapshot-{generation}.idx"


def journal_path(directory: Path, generation: int) -> Path:
    """The journal after snapshot `generation`."""
    return directory / f"journal-{generation}.log"


def _generations(directory: Path, pattern: re.Pattern[str]) -> dict[int, Path]:
    found = {}
    for path in directory.iterdir():
        match = pattern.fullmatch(path.name)
        if match:
            found[int(match.group(1))] = path
    return found


def newest_snapshot(directory: Path) -> int | None:
    """The generation to open, None for a directory that holds no index yet.

    IndexFileError for a journal newer than every snapshot: its snapshot is gone.
    """
    snapshots = _generations(directory, _SNAPSHOT)
    newest = max(snapshots, default=None)
    orphans = [path for generation, path in _generations(directory, _JOURNAL).items()
               if newest is None or generation > newest]
    if orphans:
        raise IndexFileError(f"{directory} holds the journal {orphans[0]} without its snapshot")
    return newest


def remove_before(directory: Path, generation: int) -> None:
    """Removes the files of every generation before `generation` and whatever
    interrupted saves left (a loaded snapshot needs none of it)."""
    older = [g for g in _generations(directory, _SNAPSHOT) if g < generation]
    doomed = [snapshot_path(directory, g) for g in older]
    doomed += [path for pattern in (_SNAPSHOT, _JOURNAL)
               for g, path in _generations(directory, pattern).items() if g < generation]
    doomed += [path for path in directory.iterdir() if _LEFTOVER.fullmatch(path.name)]
    for path in doomed:
        path.unlink(missing_ok=True)
    if doomed:
        sync_directory(directory)


class DirectoryLock:
    """The one writer's lock on a directory, held until release()."""

    def __init__(self, directory: Path) -> None:
        path = directory / "lock"
        self._fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(self._fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            os.close(self._fd)
            if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
                raise BlockingIOError(error.errno, f"{directory} is open for writing "
                                      f"elsewhere (another process holds {path})") from None
            raise

    def release(self) -> None:
        """Gives the lock up (closing its file releases it)."""
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1
