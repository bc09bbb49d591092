"""The task of ``patch``: a partition patched into a Parquet file of the output dataset
(docs/formats.md, "Output dataset")."""

from __future__ import annotations

from typing import Any

from ... import _storage
from .._summary import Summary
from ..formats import KEPT, Options, kept_type, read
from ._documents import Documents, LengthHistogram, Patcher

SUMMARY_KEY = b"qelt_corpus.summary"  # the key of a part file's metadata holding its summary


def part_name(index: int) -> str:
    return f"part-{index:05d}.parquet"


def output_schema(keep: tuple[tuple[str, str], ...] = ()) -> Any:
    """The columns of a part file, and the kept ones after them."""
    import pyarrow as pa

    return pa.schema([
        ("id", pa.string()),
        ("ends", pa.list_(pa.int64())),
        ("bytes", pa.int64()),
        ("patches", pa.int64()),
        ("status", pa.string()),
        *((name, kept_type(kind)) for name, kind in keep),
    ])


def patch_table(table: Any, patcher: Patcher, options: Options, summary: Summary,
                histogram: LengthHistogram) -> Any:
    """The output rows of a table of documents, counted into `summary`."""
    import pyarrow as pa
    import pyarrow.compute as pc

    documents = Documents.of(table)
    ends = patcher.ends_of(documents)
    patches = pc.cast(pc.list_value_length(ends), pa.int64())
    unreadable = documents.unreadable
    status = pc.if_else(unreadable,
                        pc.binary_join_element_wise("unreadable: ", documents.problem, ""),
                        pc.if_else(pc.equal(documents.sizes, 0), "empty", "ok"))
    # An unreadable document has no ends: null, not the empty list of an empty one.
    ends = pa.ListArray.from_arrays(ends.offsets, ends.values, mask=unreadable)

    documents.count_into(summary)
    summary.patches += int(pc.sum(patches).as_py() or 0)
    histogram.add(ends)
    kept = [table.column(KEPT + name) for name, _ in options.keep]
    return pa.table([documents.ids, ends, documents.sizes, patches, status, *kept],
                    schema=output_schema(options.keep))


def patch_partition(index: int, partitions: list[Any], out: str, patcher: Patcher,
                    options: Options) -> Summary:
    """Patches the documents of `partitions` (one, as patch plans them; none for an
    input without documents) into OUT/part-INDEX.parquet, which appears whole or not at
    all (_storage.committed). Its summary is kept in the file's metadata too, for a
    resumed run to count it."""
    import pyarrow.parquet as pq

    fs, path = _storage.resolve(_storage.join(out, part_name(index)), options.storage_options)
    summary = Summary()
    histogram = LengthHistogram()
    with _storage.committed(fs, path) as file:
        # Ends rise within each document, so their deltas are small: delta encoding
        # packs them in a few bits each, several times faster and smaller than
        # dictionaries.
        with pq.ParquetWriter(file, output_schema(options.keep), compression="zstd",
                              use_dictionary=["id", "status"],
                              column_encoding={"ends.list.element": "DELTA_BINARY_PACKED"}) as writer:
            for partition in partitions:
                for table in read(partition, options):
                    writer.write_table(patch_table(table, patcher, options, summary, histogram))
            summary.histogram = histogram.as_dict()
            writer.add_key_value_metadata({SUMMARY_KEY: summary.to_json().encode()})
    return summary


def stored_summary(location: str, options: Options) -> Summary:
    """The summary a finished part file keeps in its metadata."""
    import pyarrow.parquet as pq

    from ..formats._common import open_file

    with open_file(location, None, options.storage_options) as file:
        return Summary.from_json(pq.read_metadata(file).metadata[SUMMARY_KEY])
