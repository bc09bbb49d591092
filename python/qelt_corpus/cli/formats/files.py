"""``files``: a directory of files, one document per file; each id is the file's path
relative to the directory given."""

from __future__ import annotations

import dataclasses
import os
from typing import Any, ClassVar, Iterator

from ... import _storage
from ._common import Batches, File, Options, reason, storage_failure
from ._format import Format

PARTITION_FILES = 20_000  # files per partition, at most
REMOTE_FILES_AT_ONCE = 64  # objects of a directory on a store, fetched together


@dataclasses.dataclass(frozen=True)
class FilesPartition:
    """Files under `root`, one document each, their relative paths being their ids."""

    format: ClassVar[str] = "files"
    root: str
    names: tuple[str, ...]
    size: int


def _root(location: str, name: str) -> str:
    """The directory that `name` (a relative path) is relative to, for `location`."""
    return location[: len(location) - len(name)].rstrip("/") or "/"


class Files(Format):
    name = "files"

    def files_of_directory(self, files: list[File], visible: list[File]) -> list[File]:
        return files  # every file is a document, hidden ones too

    def plan(self, files: list[File], options: Options,
             partition_bytes: int) -> Iterator[FilesPartition]:
        # Locations are sent as one root and the names under it: half the size to
        # schedule.
        group: list[str] = []
        size = 0
        root = ""
        for file in files:
            here = _root(file.location, file.name)
            if group and here != root:
                yield FilesPartition(root, tuple(group), size)
                group, size = [], 0
            group.append(file.name)
            root = here
            size += file.size
            if size >= partition_bytes or len(group) >= PARTITION_FILES:
                yield FilesPartition(root, tuple(group), size)
                group, size = [], 0
        if group:
            yield FilesPartition(root, tuple(group), size)

    def read(self, partition: FilesPartition, options: Options) -> Iterator[Any]:
        batches = Batches(options)
        if _storage.is_remote(partition.root):
            yield from _read_remote(partition, options, batches)
            return
        root = _storage.local_path(partition.root)
        for name in partition.names:
            try:
                with open(os.path.join(root, name), "rb") as file:
                    batches.add(name, file.read())
            except OSError as error:
                batches.add(name, None, reason(error))
            if batches.full():
                yield batches.take()
        yield batches.take()


def _read_remote(partition: FilesPartition, options: Options, batches: Batches) -> Iterator[Any]:
    # Objects are fetched many at a time: one request each would wait on every one.
    fs, root = _storage.filesystem(partition.root, options.storage_options)
    for first in range(0, len(partition.names), REMOTE_FILES_AT_ONCE):
        names = partition.names[first:first + REMOTE_FILES_AT_ONCE]
        paths = [f"{root.rstrip('/')}/{name}" for name in names]
        contents = fs.cat(paths, on_error="return")
        for name, path in zip(names, paths):
            content = contents.get(path)
            if isinstance(content, bytes):
                batches.add(name, content)
            else:
                failure = (content if isinstance(content, BaseException)
                           else FileNotFoundError(path))
                if storage_failure(failure, partition.root):
                    raise failure
                batches.add(name, None, reason(failure))
            if batches.full():
                yield batches.take()
    yield batches.take()


FORMAT = Files()
