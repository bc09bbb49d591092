"""Planning, on the client: each INPUT resolved to its files and format, the columns
checked, and the corpus cut into partitions of bounded size, from listings, file sizes
and Parquet footers alone: the client never reads the corpus (see _partitions for the
formats). The rows before a byte range of a plain file are counted on the workers
(_tasks.line_starts) before the work starts.

An INPUT is a local path or an fsspec URL, either possibly a glob. A local directory
is walked without following links to directories (they could loop): those are
skipped, and counted.
"""

from __future__ import annotations

import dataclasses
import glob
import json
import os
from typing import Any, Iterator, Sequence

from .. import _storage
from ._partitions import (PARTITION_BYTES, FilesPartition, LinesPartition, Options, Partition,
                          ParquetPartition)
from ._reading import check_text_type, compression_of, open_file
from ._usage import UsageError

PARTITION_FILES = 20_000  # files per partition, at most
JSONL_SUFFIXES = (".jsonl", ".ndjson", ".json")
GLOB_CHARACTERS = "*?["


@dataclasses.dataclass
class Corpus:
    """A command's inputs, planned."""

    options: Options
    partitions: list[Partition]
    skipped: int  # links to directories, not followed


# A file of the corpus: where it is (a local path or a URL), its name (the part of the
# location below the input given, its documents' ids start with it) and its size.
File = tuple[str, str, int]


def _hidden(name: str) -> bool:
    return name.startswith((".", "_"))


def _walk(root: str) -> tuple[list[File], int]:
    """Every file under the local directory `root`, in sorted order, and the number of
    links to directories met, which are not followed. Links to files count as files,
    broken ones included (size 0: the worker will find them unreadable)."""
    found: list[File] = []
    skipped = 0
    base = os.path.abspath(root)

    def visit(directory: str, prefix: str) -> None:
        nonlocal skipped
        with os.scandir(directory) as scan:
            entries = sorted(scan, key=lambda e: e.name)
        for entry in entries:
            if entry.is_dir(follow_symlinks=False):
                visit(entry.path, f"{prefix}{entry.name}/")
                continue
            if entry.is_symlink() and entry.is_dir(follow_symlinks=True):
                skipped += 1
                continue
            try:
                size = entry.stat().st_size  # cached by the scan where it can be
            except OSError:
                size = 0
            found.append((entry.path, prefix + entry.name, size))

    visit(base, "")
    return found, skipped


def _static_prefix(pattern: str) -> str:
    """The part of a glob before its first wildcard, up to the last slash."""
    first = min((i for i, c in enumerate(pattern) if c in GLOB_CHARACTERS), default=len(pattern))
    return pattern[: pattern.rfind("/", 0, first) + 1]


def _remote_files(given: str, storage_options: dict[str, Any]) -> tuple[list[File], bool]:
    """The files of a URL (a file, a directory prefix or a glob), and whether it named a
    directory."""
    fs, path = _storage.filesystem(given, storage_options)
    if any(c in path for c in GLOB_CHARACTERS):
        prefix = _static_prefix(path)
        entries = fs.glob(path, detail=True)
        files = [(fs.unstrip_protocol(p), p[len(prefix):], int(info.get("size") or 0))
                 for p, info in sorted(entries.items()) if info.get("type") != "directory"]
        if not files:
            raise FileNotFoundError(given)
        return files, True
    info = fs.info(path)
    if info.get("type") == "directory":
        prefix = path.rstrip("/") + "/"
        entries = fs.find(path, detail=True)
        files = [(fs.unstrip_protocol(p), p[len(prefix):], int(i.get("size") or 0))
                 for p, i in sorted(entries.items()) if i.get("type") != "directory"]
        return files, True
    return [(given, path.rstrip("/").rsplit("/", 1)[-1], int(info.get("size") or 0))], False


def _local_files(given: str) -> tuple[list[File], bool, int]:
    """The files of a local path (a file, a directory or a glob), whether it named a
    directory, and the links to directories skipped."""
    if any(c in given for c in GLOB_CHARACTERS):
        prefix = _static_prefix(os.path.abspath(given))
        paths = sorted(p for p in glob.glob(given, recursive=True) if os.path.isfile(p))
        if not paths:
            raise FileNotFoundError(given)
        return [(os.path.abspath(p), os.path.abspath(p)[len(prefix):], _size(p))
                for p in paths], True, 0
    if not os.path.exists(given):
        raise FileNotFoundError(given)
    if os.path.isdir(given):
        files, skipped = _walk(given)
        return files, True, skipped
    return [(os.path.abspath(given), os.path.basename(given), _size(given))], False, 0


def _format_of_file(path: str) -> str:
    base = path[: -len(os.path.splitext(path)[1])] if compression_of(path) else path
    if path.endswith((".parquet", ".pq")):
        return "parquet"
    if base.endswith(JSONL_SUFFIXES):
        return "jsonl"
    return "lines"


def _format_of_directory(files: list[File]) -> str:
    """A directory or glob is read as the format its files share, if they all are
    Parquet or all JSON lines (a glob such as `docs/*.jsonl.zst` among them); any other
    directory is a directory of files, one document each."""
    formats = {_format_of_file(name) for _, name, _ in files}
    return formats.pop() if len(formats) == 1 and formats <= {"parquet", "jsonl"} else "files"


# An input resolved: its format, and its files.
Resolved = list[tuple[str, list[File]]]


def resolve(inputs: Sequence[str], fmt: str,
            storage_options: dict[str, Any]) -> tuple[Resolved, int]:
    """Each input as its format and files, and the links to directories skipped;
    UsageError for one that does not exist or cannot be listed."""
    resolved = []
    skipped = 0
    for given in inputs:
        try:
            if _storage.is_remote(given):
                files, directory = _remote_files(given, storage_options)
            else:
                files, directory, links = _local_files(_storage.local_path(given))
                skipped += links
        except _storage.StorageError as error:
            raise UsageError(str(error)) from None
        except Exception as error:  # not there, not allowed, not reachable
            raise UsageError(_storage.describe(error, given)) from None
        if directory:
            visible = [f for f in files if not any(map(_hidden, f[1].split("/")))]
            kind = fmt
            if fmt == "auto":
                kind = _format_of_directory(visible)
            if kind == "parquet":
                files = [f for f in visible if f[1].endswith((".parquet", ".pq"))]
            elif kind != "files":
                files = visible
        else:
            kind = _format_of_file(given) if fmt == "auto" else fmt
        resolved.append((kind, files))
    return resolved, skipped


def _root(path: str, name: str) -> str:
    """The directory that `name` (a relative path) is relative to, for `path`."""
    return path[: len(path) - len(name)].rstrip("/") or "/"


def check_columns(resolved: Resolved, options: Options) -> None:
    """Looks in the first Parquet and the first JSON-lines file for the text and id
    columns, so that a misspelt name stops the run before it starts."""
    kinds = {kind for kind, _ in resolved}
    if options.id_column is not None and not kinds & {"parquet", "jsonl"}:
        raise UsageError("--id-column applies to Parquet and JSON-lines inputs only")
    if options.entropies is not None and kinds - {"parquet", "jsonl"}:
        raise UsageError("--entropies needs Parquet or JSON-lines inputs, whose records can "
                         "hold entropies beside the text")
    for kind in ("parquet", "jsonl"):
        files = [f for k, fs in resolved if k == kind for f in fs]
        if files:
            (_check_parquet if kind == "parquet" else _check_jsonl)(files, options)


def _parquet_metadata(location: str, options: Options) -> Any:
    import pyarrow.parquet as pq

    with open_file(location, None, options.storage_options) as file:
        return pq.read_metadata(file)


def _check_parquet(files: list[File], options: Options) -> None:
    for location, name, _ in files:
        try:
            schema = _parquet_metadata(location, options).schema.to_arrow_schema()
        except Exception:  # unreadable: reported when the run reaches it
            continue
        for column in filter(None, (options.column, options.id_column, options.entropies)):
            if column not in schema.names:
                raise UsageError(f"{name}: no column {column!r} (it has {', '.join(schema.names)})")
        if options.entropies is not None:
            import pyarrow as pa

            type_ = schema.field(options.entropies).type
            if not ((pa.types.is_list(type_) or pa.types.is_large_list(type_))
                    and pa.types.is_floating(type_.value_type)):
                raise UsageError(f"{name}: column {options.entropies!r} is {type_}, not a list "
                                 "of floats")
        try:
            check_text_type(schema.field(options.column).type, options.column)
        except TypeError as error:
            raise UsageError(f"{name}: {error}") from None
        return


def _check_jsonl(files: list[File], options: Options) -> None:
    for location, name, _ in files:
        try:
            with open_file(location, compression_of(location), options.storage_options) as stream:
                for line in stream:
                    try:
                        record = json.loads(line)
                    except ValueError:
                        continue
                    if not isinstance(record, dict):
                        continue
                    wanted = [options.column, options.id_column, options.entropies,
                              *(k for k, _ in options.keep)]
                    for column in filter(None, wanted):
                        if column not in record:
                            raise UsageError(f"{name}: the first record has no field {column!r}")
                    return
        except UsageError:
            raise
        except Exception:  # unreadable: reported when reached
            continue


def plan(resolved: Resolved, options: Options,
         partition_bytes: int = PARTITION_BYTES) -> list[Partition]:
    """The corpus cut into partitions of about `partition_bytes`, in input order."""
    partitions: list[Partition] = []
    for kind, files in resolved:
        if kind == "files":
            partitions.extend(_plan_files(files, partition_bytes))
        elif kind == "parquet":
            for location, name, size in files:
                partitions.extend(_plan_parquet(location, name, size, options, partition_bytes))
        else:
            for location, name, size in files:
                partitions.extend(_plan_lines(location, name, size, kind == "jsonl",
                                              partition_bytes))
    return partitions


def _size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0  # unreadable: the worker will say why


def _plan_files(files: list[File], limit: int) -> Iterator[FilesPartition]:
    # Locations are sent as one root and the names under it: half the size to schedule.
    group: list[str] = []
    size = 0
    root = ""
    for location, name, file_size in files:
        here = _root(location, name)
        if group and here != root:
            yield FilesPartition(root, tuple(group), size)
            group, size = [], 0
        group.append(name)
        root = here
        size += file_size
        if size >= limit or len(group) >= PARTITION_FILES:
            yield FilesPartition(root, tuple(group), size)
            group, size = [], 0
    if group:
        yield FilesPartition(root, tuple(group), size)


def _plan_parquet(location: str, name: str, file_size: int, options: Options,
                  limit: int) -> Iterator[ParquetPartition]:
    try:
        metadata = _parquet_metadata(location, options)
    except Exception:
        yield ParquetPartition(location, name, None, 0, file_size)
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
            yield ParquetPartition(location, name, tuple(group), first, size)
            group, size = [], 0
    if group or metadata.num_row_groups == 0:
        yield ParquetPartition(location, name, tuple(group), first, size)


def _plan_lines(location: str, name: str, size: int, is_json: bool,
                limit: int) -> Iterator[LinesPartition]:
    compression = compression_of(location)
    if compression is not None or size <= limit:
        yield LinesPartition(location, name, is_json, compression, 0, None, 0, size)
        return
    for start in range(0, size, limit):
        end = start + limit if start + limit < size else None
        yield LinesPartition(location, name, is_json, None, start, end, 0 if start == 0 else -1,
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


OUTPUT_COLUMNS = ("id", "ends", "bytes", "patches", "status")


def kept_columns(resolved: Resolved, names: Sequence[str],
                 options: Options) -> tuple[tuple[str, str], ...]:
    """The columns to carry into the output, each with its type there: "string" or
    "binary", as the inputs hold it. UsageError for a name that an output column has,
    that an input lacks (files and lines offer "text", their own bytes), or that the
    inputs hold as different types."""
    kinds: dict[str, str] = {}
    for name in names:
        if name in OUTPUT_COLUMNS:
            raise UsageError(f"--keep-columns: {name!r} is a column of the output")
    for kind, files in resolved:
        if not files:
            continue
        found: dict[str, str] = {}
        if kind in ("files", "lines"):
            for name in names:
                if name != "text":
                    raise UsageError(f"--keep-columns: {kind} inputs offer only 'text', not {name!r}")
                found[name] = "binary"
        elif kind == "jsonl":
            found = {name: "string" for name in names}  # checked in the first record
        else:
            found = _parquet_kinds(files, names, options)
        for name, type_ in found.items():
            if kinds.setdefault(name, type_) != type_:
                raise UsageError(f"--keep-columns: {name!r} is {kinds[name]} in some inputs and "
                                 f"{type_} in others")
    return tuple((name, kinds.get(name, "string")) for name in names)


def _parquet_kinds(files: list[File], names: Sequence[str], options: Options) -> dict[str, str]:
    import pyarrow as pa

    for location, name, _ in files:
        try:
            schema = _parquet_metadata(location, options).schema.to_arrow_schema()
        except Exception:  # unreadable: reported when the run reaches it
            continue
        found = {}
        for column in names:
            if column not in schema.names:
                raise UsageError(f"{name}: no column {column!r} (it has {', '.join(schema.names)})")
            type_ = schema.field(column).type
            if pa.types.is_string(type_) or pa.types.is_large_string(type_):
                found[column] = "string"
            elif pa.types.is_binary(type_) or pa.types.is_large_binary(type_):
                found[column] = "binary"
            else:
                raise UsageError(f"{name}: column {column!r} is {type_}, not string or binary")
        return found
    return {}


def corpus(args: Any) -> Corpus:
    """The reading options and the partitions of a command's inputs."""
    options = Options(args.column, getattr(args, "id_column", None), args.storage_options,
                      entropies=getattr(args, "entropies", None))
    resolved, skipped = resolve(args.inputs, args.format, args.storage_options)
    keep = getattr(args, "keep_columns", None)
    if keep:
        options = dataclasses.replace(options, keep=kept_columns(resolved, keep, options))
    check_columns(resolved, options)
    partitions = plan(resolved, options, getattr(args, "partition_bytes", PARTITION_BYTES))
    return Corpus(options, partitions, skipped)
