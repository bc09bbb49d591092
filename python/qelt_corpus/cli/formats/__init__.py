"""The input formats, one module each behind one interface (_format.Format): how a
file of the format is recognised, planned into partitions, read, and how its documents
are numbered. Planning, reading and the subcommands ask this registry; a new format is
one module and one entry below.

An input names a file, a directory or a glob. A file is of the first format that
recognises its name, else ``lines``; a directory (or glob) is of the format that every
one of its files has, if one of the record formats does, else ``files``.
"""

from __future__ import annotations

from typing import Any, Iterator

from . import files, jsonl, lines, parquet
from ._common import (BATCH_BYTES, ENTROPIES, KEPT, PARTITION_BYTES, File, Options,
                      check_text_type, kept_type)
from ._format import Format

# By name, in the order in which they are tried on a file's name.
FORMATS: dict[str, Format] = {f.name: f for f in (parquet.FORMAT, jsonl.FORMAT, files.FORMAT,
                                                  lines.FORMAT)}
# What a file that no format recognises is, and a directory of mixed files.
FILE_DEFAULT = lines.FORMAT
DIRECTORY_DEFAULT = files.FORMAT

__all__ = ["BATCH_BYTES", "ENTROPIES", "FORMATS", "KEPT", "PARTITION_BYTES", "File", "Format",
           "Options", "check_text_type", "format_of_directory", "format_of_file", "kept_type",
           "of", "read"]


def format_of_file(name: str) -> Format:
    """The format of a file of this name."""
    return next((f for f in FORMATS.values() if f.recognises(name)), FILE_DEFAULT)


def format_of_directory(files: list[File]) -> Format:
    """The format of a directory (or glob) of these files (the visible ones)."""
    found = {format_of_file(file.name) for file in files}
    if len(found) == 1:
        (only,) = found
        if only.records:
            return only
    return DIRECTORY_DEFAULT


def of(partition: Any) -> Format:
    """The format of a partition."""
    return FORMATS[partition.format]


def read(partition: Any, options: Options) -> Iterator[Any]:
    """The documents of a partition, as tables (formats._common)."""
    return of(partition).read(partition, options)
