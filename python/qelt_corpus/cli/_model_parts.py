"""A model file written from the parts of a build in shares: the bytes the assembly
gives (the header, the sections of the shortest contexts, the checksum) and each
share's run, which its worker wrote to the build's scratch directory. On a local disk
each part is written at its offset in chunks of 8 MiB: a model is read at random, and
the page cache keeps what large writes bring in large folios, which a reader maps by
huge pages (ContextModel::load); the kernel's copy (copy_file_range) leaves them in
small ones, and a model read straight after training then costs a page walk per
lookup. On an object store the parts are streamed in order into one multipart upload.
No more than a chunk of the model is held here at a time."""

from __future__ import annotations

import contextlib
import os
import shutil
from typing import IO, Any, Iterable, Iterator, Mapping

from .. import _storage

CHUNK = 8 << 20


def write(location: str, size: int, rest: Iterable[tuple[int, bytes]],
          runs: Iterable[tuple[int, str, int]], storage_options: Mapping[str, Any]) -> None:
    """Writes the model of `size` bytes at `location`: the pieces of `rest` as
    (offset, bytes), and the runs as (offset, location, size)."""
    parts: list[tuple[int, Any, int]] = [(offset, data, len(data)) for offset, data in rest]
    parts += [(offset, run, length) for offset, run, length in runs if length]
    parts.sort(key=lambda part: part[0])
    at = 0
    for offset, _, length in parts:
        if offset != at:
            raise RuntimeError("the parts of the model do not tile its file")
        at += length
    if at != size:
        raise RuntimeError("the parts of the model do not tile its file")
    fs, path = _storage.resolve(location, storage_options)
    if fs is None:
        with open(path, "wb") as out:
            out.truncate(size)
            for offset, part, length in parts:
                if isinstance(part, bytes):
                    os.pwrite(out.fileno(), part, offset)
                else:
                    with _opened(part, storage_options) as run:
                        _copy_range(run, out, offset, length)
            out.flush()
            os.fsync(out.fileno())
        return
    with fs.open(path, "wb") as out:
        for _, part, length in parts:
            if isinstance(part, bytes):
                out.write(part)
                continue
            with _opened(part, storage_options) as run:
                left = length
                while left:
                    chunk = run.read(min(CHUNK, left))
                    if not chunk:
                        raise RuntimeError(f"{part}: a share's run ended early")
                    out.write(chunk)
                    left -= len(chunk)


@contextlib.contextmanager
def _opened(location: str, storage_options: Mapping[str, Any]) -> Iterator[IO[bytes]]:
    fs, path = _storage.resolve(location, storage_options)
    with (open(path, "rb") if fs is None else fs.open(path, "rb")) as file:
        yield file


def _copy_range(source: IO[bytes], out: IO[bytes], offset: int, length: int) -> None:
    """Copies `length` bytes from the start of `source` to `offset` of `out`."""
    buffer = memoryview(bytearray(min(CHUNK, length)))
    copied = 0
    while copied < length:
        # Each write but the last ends at a multiple of the chunk in the file, so that
        # no folio is cut between two writes.
        want = min(CHUNK - (offset + copied) % CHUNK, length - copied)
        read = source.readinto(buffer[:want])  # type: ignore[attr-defined]
        if not read:
            raise RuntimeError("a share's run ended early")
        written = 0
        while written < read:  # a write may be cut short
            written += os.pwrite(out.fileno(), buffer[written:read], offset + copied + written)
        copied += read


def make_directory(location: str, storage_options: Mapping[str, Any]) -> None:
    fs, path = _storage.resolve(location, storage_options)
    if fs is None:
        os.makedirs(path, exist_ok=True)
    else:
        fs.makedirs(path, exist_ok=True)


def remove_directory(location: str, storage_options: Mapping[str, Any]) -> None:
    """Removes the directory at `location` and all it holds, if it is there."""
    fs, path = _storage.resolve(location, storage_options)
    with contextlib.suppress(Exception):
        if fs is None:
            shutil.rmtree(path, ignore_errors=True)
        elif fs.exists(path):
            fs.rm(path, recursive=True)
