"""Where the documents of a corpus come from.

The client resolves each INPUT to its files and a format and cuts the corpus into
partitions of bounded size, from file sizes and Parquet footers alone; the workers
read the partitions. A partition is read in batches: Arrow tables with one row per
document (``id``, ``text``, and ``problem``: why it could not be read, else null).

Formats:

- ``parquet``: a column of strings or binaries (``--column``); ids ``name:ROW``, rows
  counted from 0 in each file. Partitions are runs of row groups.
- ``jsonl``: one JSON object per line, the text in a field; plain, ``.gz`` or ``.zst``;
  ids ``name:ROW``, lines counted from 0 (blank lines are skipped but counted).
- ``lines``: a text file, one document per line; ids ``name:LINE``, from 1.
- ``files``: a directory of files, one document per file; ids the relative paths.

Plain JSON lines and text files are cut into byte ranges, each owning the lines that
start in it; the rows before a range are counted on the workers (line_starts) before
the corpus is patched. Compressed files are read whole, as one partition each.
"""

from __future__ import annotations

import dataclasses
import gzip
import io
import json
import os
from typing import Any, BinaryIO, Iterator, Sequence

FORMATS = ("auto", "parquet", "jsonl", "files", "lines")
PARTITION_BYTES = 32 << 20  # input bytes per partition, about
PARTITION_FILES = 20_000  # and at most this many files
BATCH_BYTES = 8 << 20  # a partition is read, patched and written in batches of this size
COMPRESSIONS = {".gz": "gzip", ".zst": "zstd"}
JSONL_SUFFIXES = (".jsonl", ".ndjson", ".json")


class UsageError(Exception):
    """A problem with the command line, found before any work starts."""


@dataclasses.dataclass(frozen=True)
class Options:
    column: str = "text"
    id_column: str | None = None


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


# --- The client: inputs, formats, partitions ------------------------------------------


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


def _compression(path: str) -> str | None:
    return COMPRESSIONS.get(os.path.splitext(path)[1])


def _format_of_file(path: str) -> str:
    base = path[: -len(os.path.splitext(path)[1])] if _compression(path) else path
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
    from . import _arrow

    try:
        _arrow.offset_width(type_)
    except TypeError:
        raise UsageError(f"{name}: column {column!r} is {type_}, not string or binary") from None


def _check_jsonl(files: list[tuple[str, str, int]], options: Options) -> None:
    for path, name, _ in files:
        try:
            with _open(path, _compression(path)) as stream:
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
    compression = _compression(path)
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


# --- The workers: reading ---------------------------------------------------------------


def line_starts(path: str, start: int, end: int | None) -> int:
    """How many lines of the file start in [start, end): the first byte of the file,
    and every byte after a newline, but the end of the file itself."""
    size = os.stat(path).st_size
    stop = size if end is None else min(end, size)
    count = 1 if start == 0 and size > 0 else 0
    with open(path, "rb") as file:
        # Newlines at [start - 1, stop - 1) are followed by a line start in range.
        file.seek(max(start - 1, 0))
        remaining = stop - 1 - max(start - 1, 0)
        while remaining > 0:
            chunk = file.read(min(remaining, 1 << 24))
            if not chunk:
                break
            count += chunk.count(b"\n")
            remaining -= len(chunk)
    return count


def _open(path: str, compression: str | None) -> BinaryIO:
    if compression == "gzip":
        return gzip.open(path, "rb")  # type: ignore[return-value]
    if compression == "zstd":
        import zstandard

        return zstandard.open(path, "rb")  # type: ignore[no-any-return]
    return open(path, "rb")


def _error(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}".replace("\n", " ")


class _Batches:
    """Collects documents and cuts them into tables of about BATCH_BYTES."""

    def __init__(self) -> None:
        self._clear()

    def _clear(self) -> None:
        self.ids: list[str] = []
        self.texts: list[bytes | None] = []
        self.problems: list[str | None] = []
        self.size = 0

    def add(self, id_: str, text: bytes | None, problem: str | None = None) -> None:
        self.ids.append(id_)
        self.texts.append(text)
        self.problems.append(problem)
        self.size += len(text) if text else 0

    def full(self) -> bool:
        return self.size >= BATCH_BYTES

    def take(self) -> Any:
        import pyarrow as pa

        table = pa.table({
            "id": pa.array(self.ids, pa.string()),
            "text": pa.array(self.texts, pa.large_binary()),
            "problem": pa.array(self.problems, pa.string()),
        })
        self._clear()
        return table


def read(partition: Partition, options: Options) -> Iterator[Any]:
    """The documents of a partition, as tables of id, text and problem."""
    if isinstance(partition, FilesPartition):
        yield from _read_files(partition)
    elif isinstance(partition, ParquetPartition):
        yield from _read_parquet(partition, options)
    else:
        yield from _read_lines(partition, options)


def _read_files(partition: FilesPartition) -> Iterator[Any]:
    batches = _Batches()
    for name in partition.names:
        try:
            with open(os.path.join(partition.root, name), "rb") as file:
                batches.add(name, file.read())
        except OSError as error:
            batches.add(name, None, _error(error))
        if batches.full():
            yield batches.take()
    yield batches.take()


def _read_parquet(partition: ParquetPartition, options: Options) -> Iterator[Any]:
    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    columns = [options.column] + ([options.id_column] if options.id_column else [])
    row = partition.first_row
    try:
        file = pq.ParquetFile(partition.path)
        groups = (list(partition.row_groups) if partition.row_groups is not None
                  else list(range(file.metadata.num_row_groups)))
        if not groups:
            return
        for column in columns:
            if column not in file.schema_arrow.names:
                raise KeyError(f"no column {column!r}")
        _text_type(file.schema_arrow.field(options.column).type, options.column)
        metadata = file.metadata
        total = sum(metadata.row_group(g).total_byte_size for g in range(metadata.num_row_groups))
        rows_per_batch = max(1, BATCH_BYTES * metadata.num_rows // max(1, total))
        for batch in file.iter_batches(batch_size=rows_per_batch, row_groups=groups,
                                       columns=columns, use_threads=False):
            count = batch.num_rows
            if options.id_column:
                ids = pc.cast(batch.column(options.id_column), pa.string())
            else:
                numbers = pc.cast(pa.array(np.arange(row, row + count, dtype=np.int64)),
                                  pa.string())
                ids = pc.binary_join_element_wise(partition.name, numbers, ":")
            text = batch.column(options.column)
            if pa.types.is_string(text.type) or pa.types.is_large_string(text.type):
                text = text.view(pa.binary() if pa.types.is_string(text.type)
                                 else pa.large_binary())
            yield pa.table({"id": ids, "text": text, "problem": pa.nulls(count, pa.string())})
            row += count
    except Exception as error:  # a corrupt file or row group: the rest is unreadable
        batches = _Batches()
        where = partition.name if row == partition.first_row else f"{partition.name}:{row}"
        batches.add(where, None, _error(error))
        yield batches.take()


def _text_type(type_: Any, column: str) -> None:
    from . import _arrow

    try:
        _arrow.offset_width(type_)
    except TypeError:
        raise TypeError(f"column {column!r} is {type_}, not string or binary") from None


def _owned_lines(partition: LinesPartition) -> Iterator[tuple[int, bytes]]:
    """(row, line without its newline) of every line the partition owns."""
    with _open(partition.path, partition.compression) as raw:
        stream = io.BufferedReader(raw, 1 << 20) if partition.compression else raw
        position = partition.start
        if partition.start > 0:
            stream.seek(partition.start - 1)
            position += len(stream.readline()) - 1  # the rest of a line begun earlier
        row = partition.first_row
        for line in stream:
            if partition.end is not None and position >= partition.end:
                break
            position += len(line)
            yield row, line[:-1] if line.endswith(b"\n") else line
            row += 1


def _read_lines(partition: LinesPartition, options: Options) -> Iterator[Any]:
    batches = _Batches()
    row = partition.first_row
    try:
        for row, line in _owned_lines(partition):
            if partition.json:
                if line.strip():
                    _add_json(batches, f"{partition.name}:{row}", line, options)
            else:
                batches.add(f"{partition.name}:{row + 1}", line.rstrip(b"\r"))
            if batches.full():
                yield batches.take()
    except Exception as error:  # a corrupt or truncated stream: the rest is unreadable
        batches.add(partition.name, None, _error(error))
    yield batches.take()


def _add_json(batches: _Batches, id_: str, line: bytes, options: Options) -> None:
    try:
        record = json.loads(line)
        if not isinstance(record, dict):
            raise ValueError("the line is not a JSON object")
        if options.id_column:
            if options.id_column not in record:
                raise KeyError(f"no field {options.id_column!r}")
            id_ = str(record[options.id_column])
        if options.column not in record:
            raise KeyError(f"no field {options.column!r}")
        value = record[options.column]
        if value is not None and not isinstance(value, str):
            raise TypeError(f"field {options.column!r} is {type(value).__name__}, not a string")
        batches.add(id_, value.encode("utf-8") if value is not None else None)
    except (ValueError, KeyError, TypeError) as error:  # UnicodeError is a ValueError
        batches.add(id_, None, _error(error))
