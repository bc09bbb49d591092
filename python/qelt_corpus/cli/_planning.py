"""Planning, on the client: each INPUT resolved to its files and format, the columns
checked, and the corpus cut into partitions of bounded size, from file sizes and
Parquet footers alone (see _partitions for the formats). The rows before a byte range
of a plain file are counted on the workers (_tasks.line_starts) before the work
starts.
"""

from __future__ import annotations

import dataclasses
import json
import os
from typing import Any, Iterator, Sequence

from ._partitions import (PARTITION_BYTES, FilesPartition, LinesPartition, Options, Partition,
                          ParquetPartition)
from ._reading import compression_of, open_file
from ._usage import UsageError

PARTITION_FILES = 20_000  # files per partition, at most
JSONL_SUFFIXES = (".jsonl", ".ndjson", ".json")


def _hidden(name: str) -> bool:
    return name.startswith((".", "_"))


def _walk(root: str, skip_hidden: bool) -> list[tuple[str, str, int]]:
    """(absolute path, relative path, size) of every file under `root`, in sorted
    order. Symbolic links to files count as files, broken ones included (size 0: the
    worker will find them unreadable); links to directories are not followed."""
    found: list[tuple[str, str, int]] = []
    base = os.path.abspath(root)

    def visit(directory: str, prefix: str) -> None:
        with os.scandir(directory) as scan:
            entries = sorted(scan, key=lambda e: e.name)
        for entry in entries:
            if skip_hidden and _hidden(entry.name):
                continue
            if entry.is_dir(follow_symlinks=False):
                visit(entry.path, f"{prefix}{entry.name}/")
                continue
            try:
                size = entry.stat().st_size  # cached by the scan where it can be
            except OSError:
                size = 0
            found.append((entry.path, prefix + entry.name, size))

    visit(base, "")
    return found


def _format_of_file(path: str) -> str:
    base = path[: -len(os.path.splitext(path)[1])] if compression_of(path) else path
    if path.endswith((".parquet", ".pq")):
        return "parquet"
    if base.endswith(JSONL_SUFFIXES):
        return "jsonl"
    return "lines"


# An input resolved: its format, and its files as (absolute path, name, size).
Resolved = list[tuple[str, list[tuple[str, str, int]]]]


def resolve(inputs: Sequence[str], fmt: str) -> Resolved:
    """Each input as its format and files; UsageError for one that does not exist."""
    resolved = []
    for given in inputs:
        if not os.path.exists(given):
            raise UsageError(f"{given}: no such file or directory")
        if os.path.isdir(given):
            files = _walk(given, skip_hidden=False)
            visible = [f for f in files if not any(map(_hidden, f[1].split("/")))]
            kind = fmt
            if fmt == "auto":
                kind = ("parquet" if visible and all(n.endswith(".parquet") for _, n, _ in visible)
                        else "files")
            if kind == "parquet":
                files = [f for f in visible if f[1].endswith(".parquet")]
        else:
            kind = _format_of_file(given) if fmt == "auto" else fmt
            files = [(os.path.abspath(given), os.path.basename(given), _size(given))]
        resolved.append((kind, files))
    return resolved


def _root(path: str, name: str) -> str:
    """The directory that `name` (a relative path) is relative to, for `path`."""
    return path[: len(path) - len(name)].rstrip("/") or "/"


def check_columns(resolved: Resolved, options: Options) -> None:
    """Looks in the first Parquet and the first JSON-lines file for the text and id
    columns, so that a misspelt name stops the run before it starts."""
    kinds = {kind for kind, _ in resolved}
    if options.id_column is not None and not kinds & {"parquet", "jsonl"}:
        raise UsageError("--id-column applies to Parquet and JSON-lines inputs only")
    for kind in ("parquet", "jsonl"):
        files = [f for k, fs in resolved if k == kind for f in fs]
        if files:
            (_check_parquet if kind == "parquet" else _check_jsonl)(files, options)


def _check_parquet(files: list[tuple[str, str, int]], options: Options) -> None:
    import pyarrow.parquet as pq

    for path, name, _ in files:
        try:
            schema = pq.read_schema(path)
        except Exception:  # unreadable: reported when the run reaches it
            continue
        for column in filter(None, (options.column, options.id_column)):
            if column not in schema.names:
                raise UsageError(f"{name}: no column {column!r} (it has {', '.join(schema.names)})")
        _check_text_type(schema.field(options.column).type, name, options.column)
        return


def _check_text_type(type_: Any, name: str, column: str) -> None:
    from .. import _arrow

    try:
        _arrow.offset_width(type_)
    except TypeError:
        raise UsageError(f"{name}: column {column!r} is {type_}, not string or binary") from None


def _check_jsonl(files: list[tuple[str, str, int]], options: Options) -> None:
    for path, name, _ in files:
        try:
            with open_file(path, compression_of(path)) as stream:
                for line in stream:
                    try:
                        record = json.loads(line)
                    except ValueError:
                        continue
                    if not isinstance(record, dict):
                        continue
                    for column in filter(None, (options.column, options.id_column)):
                        if column not in record:
                            raise UsageError(f"{name}: the first record has no field {column!r}")
                    return
        except (OSError, EOFError, ValueError):  # unreadable: reported when reached
            continue


def plan(resolved: Resolved, partition_bytes: int = PARTITION_BYTES) -> list[Partition]:
    """The corpus cut into partitions of about `partition_bytes`, in input order."""
    partitions: list[Partition] = []
    for kind, files in resolved:
        if kind == "files":
            partitions.extend(_plan_files(files, partition_bytes))
        elif kind == "parquet":
            for path, name, size in files:
                partitions.extend(_plan_parquet(path, name, size, partition_bytes))
        else:
            for path, name, size in files:
                partitions.extend(_plan_lines(path, name, size, kind == "jsonl", partition_bytes))
    return partitions


def _size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0  # unreadable: the worker will say why


def _plan_files(files: list[tuple[str, str, int]], limit: int) -> Iterator[FilesPartition]:
    # Paths are sent as one root and the names under it: half the size to schedule.
    group: list[str] = []
    size = 0
    root = ""
    for path, name, file_size in files:
        group.append(name)
        root = _root(path, name)
        size += file_size
        if size >= limit or len(group) >= PARTITION_FILES:
            yield FilesPartition(root, tuple(group), size)
            group, size = [], 0
    if group:
        yield FilesPartition(root, tuple(group), size)


def _plan_parquet(path: str, name: str, file_size: int, limit: int) -> Iterator[ParquetPartition]:
    import pyarrow.parquet as pq

    try:
        metadata = pq.read_metadata(path)
    except Exception:
        yield ParquetPartition(path, name, None, 0, file_size)
        return
    group: list[int] = []
    size = first = row = 0
    for index in range(metadata.num_row_groups):
        row_group = metadata.row_group(index)
        if not group:
            first = row
        group.append(index)
        size += row_group.total_byte_size
        row += row_group.num_rows
        if size >= limit:
            yield ParquetPartition(path, name, tuple(group), first, size)
            group, size = [], 0
    if group or metadata.num_row_groups == 0:
        yield ParquetPartition(path, name, tuple(group), first, size)


def _plan_lines(path: str, name: str, size: int, is_json: bool,
                limit: int) -> Iterator[LinesPartition]:
    compression = compression_of(path)
    if compression is not None or size <= limit:
        yield LinesPartition(path, name, is_json, compression, 0, None, 0, size)
        return
    for start in range(0, size, limit):
        end = start + limit if start + limit < size else None
        yield LinesPartition(path, name, is_json, None, start, end, 0 if start == 0 else -1,
                             (end or size) - start)


def ranges_to_count(partitions: Sequence[Partition]) -> list[LinesPartition]:
    """The byte ranges of the files cut into several: their lines must be counted for
    the rows of the later ranges to be known."""
    return [p for p in partitions
            if isinstance(p, LinesPartition) and (p.start > 0 or p.end is not None)]


def number_rows(partitions: list[Partition], starts: dict[tuple[str, int], int]) -> list[Partition]:
    """Sets the first row of every counted range from the lines that start in each
    range of its file, starts[(path, range start)]."""
    numbered: list[Partition] = []
    rows: dict[str, int] = {}
    for partition in partitions:
        if isinstance(partition, LinesPartition) and (partition.path, partition.start) in starts:
            first = rows.get(partition.path, 0)
            rows[partition.path] = first + starts[(partition.path, partition.start)]
            partition = dataclasses.replace(partition, first_row=first)
        numbered.append(partition)
    return numbered




def corpus(args: Any) -> tuple[Options, list[Partition]]:
    """The reading options and the partitions of a command's inputs."""
    options = Options(args.column, getattr(args, "id_column", None))
    resolved = resolve(args.inputs, args.format)
    check_columns(resolved, options)
    return options, plan(resolved, getattr(args, "partition_bytes", PARTITION_BYTES))
