"""``parquet``: Parquet files or datasets, the text in a column of strings or binaries
(``--column``); each id is ``name:ROW``, rows counted from 0 in each file, or the
``--id-column`` value. A partition is a run of row groups, planned from the footer."""

from __future__ import annotations

import dataclasses
from typing import Any, ClassVar, Iterator, Sequence

from .._usage import UsageError
from ._common import (ENTROPIES, KEPT, Batches, File, Options, check_text_type, kept_type,
                      open_file, printable, raw, reason, storage_failure)
from ._format import Format


@dataclasses.dataclass(frozen=True)
class ParquetPartition:
    """Row groups of a Parquet file (all of them when None: the client could not read
    its footer, so the worker will say why)."""

    format: ClassVar[str] = "parquet"
    path: str
    name: str
    row_groups: tuple[int, ...] | None
    first_row: int
    size: int


def _metadata(location: str, options: Options) -> Any:
    import pyarrow.parquet as pq

    with open_file(location, None, options.storage_options) as file:
        return pq.read_metadata(file)


def _first_schema(files: list[File], options: Options) -> tuple[File, Any] | None:
    """The first file whose footer can be read, and its schema."""
    for file in files:
        try:
            return file, _metadata(file.location, options).schema.to_arrow_schema()
        except Exception:  # unreadable: reported when the run reaches it
            continue
    return None


class Parquet(Format):
    name = "parquet"
    suffixes = (".parquet", ".pq")
    records = True

    def recognises(self, name: str) -> bool:
        return name.endswith(self.suffixes)  # never compressed as a whole

    def files_of_directory(self, files: list[File], visible: list[File]) -> list[File]:
        return [f for f in visible if self.recognises(f.name)]

    def check(self, files: list[File], options: Options) -> None:
        first = _first_schema(files, options)
        if first is None:
            return
        file, schema = first
        for column in filter(None, (options.column, options.id_column, options.entropies)):
            if column not in schema.names:
                raise UsageError(f"{file.name}: no column {column!r} (it has "
                                 f"{', '.join(schema.names)})")
        if options.entropies is not None:
            import pyarrow as pa

            type_ = schema.field(options.entropies).type
            if not ((pa.types.is_list(type_) or pa.types.is_large_list(type_))
                    and pa.types.is_floating(type_.value_type)):
                raise UsageError(f"{file.name}: column {options.entropies!r} is {type_}, not a "
                                 "list of floats")
        try:
            check_text_type(schema.field(options.column).type, options.column)
        except TypeError as error:
            raise UsageError(f"{file.name}: {error}") from None

    def kept_kinds(self, files: list[File], names: Sequence[str],
                   options: Options) -> dict[str, str]:
        import pyarrow as pa

        first = _first_schema(files, options)
        if first is None:
            return {}
        file, schema = first
        found = {}
        for column in names:
            if column not in schema.names:
                raise UsageError(f"{file.name}: no column {column!r} (it has "
                                 f"{', '.join(schema.names)})")
            type_ = schema.field(column).type
            if pa.types.is_string(type_) or pa.types.is_large_string(type_):
                found[column] = "string"
            elif pa.types.is_binary(type_) or pa.types.is_large_binary(type_):
                found[column] = "binary"
            else:
                raise UsageError(f"{file.name}: column {column!r} is {type_}, not string or "
                                 "binary")
        return found

    def plan(self, files: list[File], options: Options,
             partition_bytes: int) -> Iterator[ParquetPartition]:
        for file in files:
            try:
                metadata = _metadata(file.location, options)
            except Exception:
                yield ParquetPartition(file.location, file.name, None, 0, file.size)
                continue
            group: list[int] = []
            size = first = row = 0
            for index in range(metadata.num_row_groups):
                row_group = metadata.row_group(index)
                if not group:
                    first = row
                group.append(index)
                size += row_group.total_byte_size
                row += row_group.num_rows
                if size >= partition_bytes:
                    yield ParquetPartition(file.location, file.name, tuple(group), first, size)
                    group, size = [], 0
            if group or metadata.num_row_groups == 0:
                yield ParquetPartition(file.location, file.name, tuple(group), first, size)

    def read(self, partition: ParquetPartition, options: Options) -> Iterator[Any]:
        row = partition.first_row
        try:
            for table in _tables(partition, options):
                yield table
                row += table.num_rows
        except Exception as error:  # a corrupt file or row group: the rest is unreadable
            if storage_failure(error, partition.path):
                raise
            batches = Batches(options)
            where = partition.name if row == partition.first_row else f"{partition.name}:{row}"
            batches.add(where, None, reason(error))
            yield batches.take()


def _tables(partition: ParquetPartition, options: Options) -> Iterator[Any]:
    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    from ._common import BATCH_BYTES

    kept = [name for name, _ in options.keep]
    columns = list(dict.fromkeys([options.column, *([options.id_column] if options.id_column
                                                     else []), *kept,
                                  *([options.entropies] if options.entropies else [])]))
    file = pq.ParquetFile(raw(partition.path, options.storage_options))
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
    row = partition.first_row
    for batch in file.iter_batches(batch_size=rows_per_batch, row_groups=groups,
                                   columns=columns, use_threads=False):
        count = batch.num_rows
        if options.id_column:
            ids = pc.cast(batch.column(options.id_column), pa.string())
        else:
            numbers = pc.cast(pa.array(np.arange(row, row + count, dtype=np.int64)), pa.string())
            ids = pc.binary_join_element_wise(printable(partition.name), numbers, ":")
        text = batch.column(options.column)
        if pa.types.is_string(text.type) or pa.types.is_large_string(text.type):
            text = text.view(pa.binary() if pa.types.is_string(text.type) else pa.large_binary())
        table = {"id": ids, "text": text, "problem": pa.nulls(count, pa.string())}
        for name, kind in options.keep:
            table[KEPT + name] = batch.column(name).cast(kept_type(kind))
        if options.entropies:
            table[ENTROPIES] = batch.column(options.entropies).cast(pa.list_(pa.float32()))
        yield pa.table(table)
        row += count


FORMAT = Parquet()
