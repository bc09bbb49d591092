"""A model file written from the parts of a build in shares: the bytes the assembly
gives (the header, the sections of the shortest contexts, the checksum) and each
share's run, which its worker wrote to the build's scratch directory. On a local disk
each part is copied to its offset by the kernel (copy_file_range), without passing
through this process; on an object store the parts are streamed in order into one
multipart upload. No more than a chunk of the model is held here at a time."""

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
    copied = 0
    if hasattr(source, "fileno") and hasattr(os, "copy_file_range"):
        with contextlib.suppress(OSError):  # across file systems, or not offered
            while copied < length:
                done = os.copy_file_range(source.fileno(), out.fileno(), length - copied,
                                          copied, offset + copied)
                if done == 0:
                    break
                copied += done
    source.seek(copied)
    while copied < length:
        chunk = source.read(min(CHUNK, length - copied))
        if not chunk:
            raise RuntimeError("a share's run ended early")
        os.pwrite(out.fileno(), chunk, offset + copied)
        copied += len(chunk)


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
