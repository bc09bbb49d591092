"""Reading, on the workers: the documents of a partition, in batches. A batch is an
Arrow table with one row per document: ``id``, ``text`` (large binary; null for a
null text) and ``problem`` (why it could not be read, else null).
"""

from __future__ import annotations

import gzip
import io
import json
import os
from typing import Any, BinaryIO, Iterator

from .. import _storage
from ._partitions import (BATCH_BYTES, ENTROPIES, KEPT, FilesPartition, LinesPartition, Options, Partition,
                          ParquetPartition)

COMPRESSIONS = {".gz": "gzip", ".zst": "zstd"}
REMOTE_FILES_AT_ONCE = 64  # objects of a directory on a store, fetched together


def compression_of(path: str) -> str | None:
    """The compression a file's name says it has, if any."""
    return COMPRESSIONS.get(os.path.splitext(path)[1])


def _raw(location: str, storage_options: dict[str, Any] | None) -> BinaryIO:
    """The file at `location` (a local path or a URL), opened to read."""
    fs, path = _storage.resolve(location, storage_options)
    if fs is None:
        return open(path, "rb")
    return fs.open(path, "rb")  # type: ignore[no-any-return]


def line_starts(location: str, start: int, end: int | None,
                storage_options: dict[str, Any] | None = None) -> int:
    """How many lines of the file start in [start, end): the first byte of the file,
    and every byte after a newline, but the end of the file itself."""
    with _raw(location, storage_options) as file:
        size = file.seek(0, io.SEEK_END)
        stop = size if end is None else min(end, size)
        count = 1 if start == 0 and size > 0 else 0
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


def open_file(location: str, compression: str | None,
              storage_options: dict[str, Any] | None = None) -> BinaryIO:
    """The file at `location`, decompressed as `compression` says."""
    raw = _raw(location, storage_options)
    if compression == "gzip":
        return gzip.GzipFile(fileobj=raw, mode="rb")  # type: ignore[return-value]
    if compression == "zstd":
        import zstandard

        return zstandard.ZstdDecompressor().stream_reader(raw, closefd=True)  # type: ignore[no-any-return]
    return raw


def storage_failure(error: BaseException, location: str) -> bool:
    """Whether reading `location` failed because its store did (a timeout, a dropped
    connection, a server error) rather than because of what it holds: such a failure
    fails the task, to be retried or left for --resume, where a file that cannot be
    read makes its documents unreadable."""
    if not _storage.is_remote(location):
        return False
    if isinstance(error, (FileNotFoundError, IsADirectoryError, EOFError, UnicodeError,
                          gzip.BadGzipFile)):
        return False
    module = type(error).__module__.split(".")[0]
    return isinstance(error, (OSError, ConnectionError, TimeoutError)) or module in (
        "botocore", "aiobotocore", "aiohttp", "urllib3", "requests", "fsspec", "s3fs", "gcsfs",
        "huggingface_hub")


def _error(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}".replace("\n", " ")


class _Batches:
    """Collects documents and cuts them into tables of about BATCH_BYTES: id, text,
    problem, and the columns kept."""

    def __init__(self, options: Options) -> None:
        self.keep = options.keep
        self.with_entropies = options.entropies is not None
        self._clear()

    def _clear(self) -> None:
        self.ids: list[str] = []
        self.texts: list[bytes | None] = []
        self.problems: list[str | None] = []
        self.kept: list[list[Any]] = [[] for _ in self.keep]
        self.entropies: list[list[float] | None] = []
        self.size = 0

    def add(self, id_: str, text: bytes | None, problem: str | None = None,
            kept: dict[str, Any] | None = None, entropies: list[float] | None = None) -> None:
        """A document; `kept` holds the values of the kept columns (the text itself
        where no value is given for "text")."""
        self.ids.append(id_)
        self.entropies.append(entropies)
        self.texts.append(text)
        self.problems.append(problem)
        for values, (name, _) in zip(self.kept, self.keep):
            values.append(kept.get(name) if kept is not None else
                          text if name == "text" and problem is None else None)
        self.size += len(text) if text else 0

    def full(self) -> bool:
        return self.size >= BATCH_BYTES

    def take(self) -> Any:
        import pyarrow as pa

        columns = {
            "id": pa.array(self.ids, pa.string()),
            "text": pa.array(self.texts, pa.large_binary()),
            "problem": pa.array(self.problems, pa.string()),
        }
        for values, (name, kind) in zip(self.kept, self.keep):
            columns[KEPT + name] = pa.array(values, kept_type(kind))
        if self.with_entropies:
            columns[ENTROPIES] = pa.array(self.entropies, pa.list_(pa.float32()))
        self._clear()
        return pa.table(columns)


def kept_type(kind: str) -> Any:
    """The Arrow type of a kept column: "string" or "binary"."""
    import pyarrow as pa

    return pa.large_string() if kind == "string" else pa.large_binary()


def read(partition: Partition, options: Options) -> Iterator[Any]:
    """The documents of a partition, as tables of id, text and problem."""
    if isinstance(partition, FilesPartition):
        yield from _read_files(partition, options)
    elif isinstance(partition, ParquetPartition):
        yield from _read_parquet(partition, options)
    else:
        yield from _read_lines(partition, options)


def _read_files(partition: FilesPartition, options: Options) -> Iterator[Any]:
    batches = _Batches(options)
    if _storage.is_remote(partition.root):
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
                    batches.add(name, None, _error(failure))
                if batches.full():
                    yield batches.take()
        yield batches.take()
        return
    root = _storage.local_path(partition.root)
    for name in partition.names:
        try:
            with open(os.path.join(root, name), "rb") as file:
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

    kept = [name for name, _ in options.keep]
    columns = list(dict.fromkeys([options.column, *([options.id_column] if options.id_column
                                                     else []), *kept,
                                  *([options.entropies] if options.entropies else [])]))
    row = partition.first_row
    try:
        file = pq.ParquetFile(_raw(partition.path, options.storage_options))
        groups = (list(partition.row_groups) if partition.row_groups is not None
                  else list(range(file.metadata.num_row_groups)))
        if not groups:
            return
        for column in columns:
            if column not in file.schema_arrow.names:
                raise KeyError(f"no column {column!r}")
        check_text_type(file.schema_arrow.field(options.column).type, options.column)
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
            table = {"id": ids, "text": text, "problem": pa.nulls(count, pa.string())}
            for name, kind in options.keep:
                table[KEPT + name] = batch.column(name).cast(kept_type(kind))
            if options.entropies:
                table[ENTROPIES] = batch.column(options.entropies).cast(pa.list_(pa.float32()))
            yield pa.table(table)
            row += count
    except Exception as error:  # a corrupt file or row group: the rest is unreadable
        if storage_failure(error, partition.path):
            raise
        batches = _Batches(options)
        where = partition.name if row == partition.first_row else f"{partition.name}:{row}"
        batches.add(where, None, _error(error))
        yield batches.take()


def check_text_type(type_: Any, column: str) -> None:
    """TypeError unless `column`, of `type_`, holds documents (string or binary)."""
    from .. import _arrow

    try:
        _arrow.offset_width(type_)
    except TypeError:
        raise TypeError(f"column {column!r} is {type_}, not string or binary") from None


def _owned_lines(partition: LinesPartition, options: Options) -> Iterator[tuple[int, bytes]]:
    """(row, line without its newline) of every line the partition owns."""
    with open_file(partition.path, partition.compression, options.storage_options) as raw:
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
    batches = _Batches(options)
    row = partition.first_row
    try:
        for row, line in _owned_lines(partition, options):
            if partition.json:
                if line.strip():
                    _add_json(batches, f"{partition.name}:{row}", line, options)
            else:
                batches.add(f"{partition.name}:{row + 1}", line.rstrip(b"\r"))
            if batches.full():
                yield batches.take()
    except Exception as error:  # a corrupt or truncated stream: the rest is unreadable
        if storage_failure(error, partition.path):
            raise
        batches.add(partition.name, None, _error(error))
    yield batches.take()


def _kept_value(value: Any) -> str | None:
    """A JSON value of a kept field as text: a string as it is, anything else as JSON."""
    return value if value is None or isinstance(value, str) else json.dumps(value)


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
        kept = {name: _kept_value(record.get(name)) for name, _ in options.keep}
        entropies = None
        if options.entropies:
            entropies = record.get(options.entropies)
            if entropies is not None and not (isinstance(entropies, list) and all(
                    isinstance(h, (int, float)) and not isinstance(h, bool) for h in entropies)):
                raise TypeError(f"field {options.entropies!r} is not a list of numbers")
        batches.add(id_, value.encode("utf-8") if value is not None else None, None, kept,
                    entropies)
    except (ValueError, KeyError, TypeError) as error:  # UnicodeError is a ValueError
        batches.add(id_, None, _error(error))
