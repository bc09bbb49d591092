"""The pieces a corpus is cut into: what the client plans and each worker reads.

Formats:

- ``parquet``: a column of strings or binaries (``--column``); ids ``name:ROW``, rows
  counted from 0 in each file. Partitions are runs of row groups.
- ``jsonl``: one JSON object per line, the text in a field; plain, ``.gz`` or ``.zst``;
  ids ``name:ROW``, lines counted from 0 (blank lines are skipped but counted).
- ``lines``: a text file, one document per line; ids ``name:LINE``, from 1.
- ``files``: a directory of files, one document per file; ids the relative paths.

Plain JSON lines and text files are cut into byte ranges, each owning the lines that
start in it; compressed files are read whole, as one partition each. Every location
is a local path or an fsspec URL.
"""

from __future__ import annotations

import dataclasses
from typing import Any

FORMATS = ("auto", "parquet", "jsonl", "files", "lines")
PARTITION_BYTES = 32 << 20  # input bytes per partition, about
BATCH_BYTES = 8 << 20  # a partition is read, patched and written in batches of this size


@dataclasses.dataclass(frozen=True)
class Options:
    """How documents are found in the records of an input, and the options of the file
    systems they are read from."""

    column: str = "text"
    id_column: str | None = None
    storage_options: dict[str, Any] = dataclasses.field(default_factory=dict, compare=False,
                                                         repr=False)
    # Input columns carried into the output, with their type there ("string" or
    # "binary"); a batch holds each as a column named KEPT + name.
    keep: tuple[tuple[str, str], ...] = ()
    # The column or field of each document's entropies (a list of numbers, one per
    # byte), if patching takes them instead of a model; a batch holds them as ENTROPIES.
    entropies: str | None = None


KEPT = "kept:"  # the prefix of the kept columns of a batch
ENTROPIES = "entropies:"  # the column of a batch holding the given entropies


@dataclasses.dataclass(frozen=True)
class FilesPartition:
    """Files under `root`, one document each, their relative paths being their ids."""

    root: str
    names: tuple[str, ...]
    size: int


@dataclasses.dataclass(frozen=True)
class ParquetPartition:
    """Row groups of a Parquet file (all of them when None: the client could not read
    its footer, so the worker will say why)."""

    path: str
    name: str
    row_groups: tuple[int, ...] | None
    first_row: int
    size: int


@dataclasses.dataclass(frozen=True)
class LinesPartition:
    """The lines of a JSON-lines or text file that start in [start, end) (end None: to
    the end), the first of them being line `first_row` of the file (counted from 0);
    -1 until counted. Compressed files are read from start 0 to the end."""

    path: str
    name: str
    json: bool
    compression: str | None
    start: int
    end: int | None
    first_row: int
    size: int


Partition = FilesPartition | ParquetPartition | LinesPartition
