"""The journal: the changes made since a snapshot, appended to one file and
flushed to the disk before any of them is acknowledged.

Layout (little-endian):

    header    b"orvikjnl", uint32 version (1), uint32 dimension,
              uint64 generation, uint32 CRC-32 of the 24 bytes before it
    records   uint32 CRC-32 of the rest of the record, uint64 payload length,
              uint8 kind, payload

A crash can tear only what was written after the last flush, and no caller
has been told of those changes yet. So reading stops at the first record that
is short or fails its checksum, and reopening for appends cuts the file
there: a torn tail is dropped, never taken for data.

Group commit: appends are made one at a time (the caller serialises them),
flushes are not. A caller waiting for its record either flushes everything
written so far itself or waits for the flush under way and then checks
again, so callers in several threads share one fdatasync.
"""

import os
import struct
import threading
import zlib
from pathlib import Path
from typing import NamedTuple

from orvikdb._saving import sync_directory
from orvikdb._sidecar import IndexFileError

_MAGIC = b"orvikjnl"
_VERSION = 1
_HEADER = struct.Struct("<8sIIQ")
_HEADER_CRC = struct.Struct("<I")
HEADER_BYTES = _HEADER.size + _HEADER_CRC.size
_RECORD = struct.Struct("<IQB")


class Record(NamedTuple):
    """One journaled change: its kind and its payload."""

    kind: int
    payload: memoryview


def _header(dimension: int, generation: int) -> bytes:
    head = _HEADER.pack(_MAGIC, _VERSION, dimension, generation)
    return head + _HEADER_CRC.pack(zlib.crc32(head))


def frame(kind: int, payload: bytes) -> bytes:
    """A record's bytes as they go into the file."""
    rest = _RECORD.pack(0, len(payload), kind)[4:] + payload
    return struct.pack("<I", zlib.crc32(rest)) + rest


def _check_header(data: bytes, path: Path, dimension: int, generation: int) -> None:
    magic, version, got_dimension, got_generation = _HEADER.unpack_from(data)
    (crc,) = _HEADER_CRC.unpack_from(data, _HEADER.size)
    if magic != _MAGIC or crc != zlib.crc32(data[:_HEADER.size]):
        raise IndexFileError(f"{path} is not an orvikdb journal (or its header is damaged)")
    if version != _VERSION:
        raise IndexFileError(f"{path} has journal version {version}; this orvikdb reads "
                             f"version {_VERSION}")
    if (got_dimension, got_generation) != (dimension, generation):
        raise IndexFileError(f"{path} belongs to a snapshot of dimension {got_dimension}, "
                             f"generation {got_generation}, not {dimension}, {generation}")


def read_journal(path: Path, dimension: int, generation: int) -> tuple[list[Record], int]:
    """The whole records of the journal at path, and the offset where they end.

    A file shorter than its header is a journal whose creation was cut off:
    it holds no records.
    """
    data = path.read_bytes()
    if len(data) < HEADER_BYTES:
        return [], 0
    _check_header(data, path, dimension, generation)
    view, records, at = memoryview(data), [], HEADER_BYTES
    while at + _RECORD.size <= len(data):
        crc, length, kind = _RECORD.unpack_from(data, at)
        end = at + _RECORD.size + length
        if end > len(data) or zlib.crc32(view[at + 4:end]) != crc:
            break
        records.append(Record(kind, view[at + _RECORD.size:end]))
        at = end
    return records, at


class Journal:
    """A journal file open for appends, with group commit of the flushes."""

    def __init__(self, fd: int, end: int) -> None:
        self._fd = fd
        self._written = end
        self._synced = end
        self._syncing = False
        self._closed = False
        self._failure: BaseException | None = None
        self._flush_failure: OSError | None = None
        self._flushed = threading.Condition()

    @classmethod
    def create(cls, path: Path, dimension: int, generation: int) -> "Journal":
        """A new, empty journal at path (replacing one whose creation was cut off)."""
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            os.write(fd, _header(dimension, generation))
            os.fsync(fd)
            sync_directory(path.parent)
        except BaseException:
            os.close(fd)
            raise
        return cls(fd, HEADER_BYTES)

    @classmethod
    def reopen(cls, path: Path, end: int) -> "Journal":
        """The journal at path for appends after its whole records, which end at `end`:
        anything after them (a torn tail) is cut off first."""
        fd = os.open(path, os.O_WRONLY)
        try:
            if os.fstat(fd).st_size != end:
                os.ftruncate(fd, end)
                os.fsync(fd)
            os.lseek(fd, end, os.SEEK_SET)
        except BaseException:
            os.close(fd)
            raise
        return cls(fd, end)

    @property
    def size(self) -> int:
        """The bytes written so far, header included."""
        return self._written

    @property
    def failure(self) -> BaseException | None:
        """What stopped a write or a flush; the journal takes no more records after it."""
        return self._failure or self._flush_failure

    def append(self, kind: int, payload: bytes) -> int:
        """Writes a record (not flushed yet); returns the offset where it ends.

        Callers serialise appends. Any failure here, even after the bytes
        were written, stops the journal: what is on the file is then unknown.
        """
        if self.failure is not None or self._closed:
            raise OSError("the journal takes no more records") from self.failure
        data = memoryview(frame(kind, payload))
        size = len(data)
        try:
            while data:
                data = data[os.write(self._fd, data):]
        except BaseException as error:
            self.stop(error)
            raise
        self._written += size
        return self._written

    def stop(self, error: BaseException) -> None:
        """Takes no more records, for this reason."""
        self._failure = error

    def sync_through(self, end: int) -> None:
        """Returns once everything up to offset `end` is on the disk.

        Records written before the journal stopped are still flushed; after a
        failed flush nothing is known of the unflushed ones.
        """
        with self._flushed:
            while self._synced < end:
                if self._flush_failure is not None:
                    raise OSError("the journal could not be flushed") from self._flush_failure
                if self._syncing:
                    self._flushed.wait()
                else:
                    self._lead_flush()

    def _lead_flush(self) -> None:
        # Called with the condition held; flushes without it so that other
        # callers can append meanwhile and join the next flush.
        self._syncing = True
        target, flushed = self._written, False
        self._flushed.release()
        try:
            os.fdatasync(self._fd)
            flushed = True
        except OSError as error:
            self._flush_failure = error
        finally:
            # Interrupted otherwise (Ctrl-C), the flush is left to the next caller.
            self._flushed.acquire()
            self._syncing = False
            self._flushed.notify_all()
        if flushed:
            self._synced = max(self._synced, target)

    def close(self, flush: bool) -> None:
        """Closes the file, first flushing what was written if `flush`; without it the
        caller has made the records durable another way (a snapshot holds them)."""
        try:
            if flush and not self._closed:
                self.sync_through(self._written)
        finally:
            with self._flushed:
                while self._syncing:
                    self._flushed.wait()
                if not self._closed:
                    self._closed = True
                    os.close(self._fd)
                if not flush:
                    self._synced = self._written
                    self._flushed.notify_all()
