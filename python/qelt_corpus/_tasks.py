"""The work done on Dask workers: patching a partition into a Parquet file of the
output dataset, and counting the contexts of a partition.

Each returns a small summary for the client: counts, the unreadable documents with
their reasons, and a histogram of patch lengths; the documents and their ends never
leave the worker.
"""

from __future__ import annotations

import builtins
import dataclasses
import json
import os
import uuid
from typing import Any

import numpy as np

from . import _sources
from ._arrays import patch_ends_batch
from ._model import ContextCounts, ContextModel

# The unreadable documents a summary names; beyond them it only counts.
REPORTED_UNREADABLE = 1000
SUMMARY_KEY = b"qelt_corpus.summary"


@dataclasses.dataclass(frozen=True)
class PatchSettings:
    out: str
    theta: float
    theta_r: float
    k: int | None = None
    model: str | None = None
    max_patch_length: int | None = None
    options: _sources.Options = _sources.Options()


@dataclasses.dataclass
class Summary:
    """What a partition held, added up over partitions by the client."""

    documents: int = 0
    empty: int = 0
    unreadable: int = 0
    bytes: int = 0
    patches: int = 0
    reported: list[tuple[str, str]] = dataclasses.field(default_factory=list)  # (id, reason)
    histogram: dict[int, int] = dataclasses.field(default_factory=dict)  # length -> patches

    def report(self, ids: Any, problems: Any, unreadable: Any) -> int:
        """Counts the rows that `unreadable` marks and names the first of them, with
        their problems; returns how many there were."""
        import pyarrow.compute as pc

        bad = int(pc.sum(unreadable).as_py() or 0)
        self.unreadable += bad
        room = REPORTED_UNREADABLE - len(self.reported)
        if bad and room > 0:
            self.reported.extend(zip(pc.filter(ids, unreadable).to_pylist()[:room],
                                     pc.filter(problems, unreadable).to_pylist()[:room]))
        return bad

    def add(self, other: Summary) -> None:
        self.documents += other.documents
        self.empty += other.empty
        self.unreadable += other.unreadable
        self.bytes += other.bytes
        self.patches += other.patches
        self.reported.extend(other.reported)
        for length, count in other.histogram.items():
            self.histogram[length] = self.histogram.get(length, 0) + count

    def to_json(self) -> str:
        fields = dataclasses.asdict(self)
        fields["histogram"] = sorted(self.histogram.items())
        return json.dumps(fields)

    @classmethod
    def from_json(cls, text: str | builtins.bytes) -> Summary:
        fields = json.loads(text)
        fields["reported"] = [tuple(r) for r in fields["reported"]]
        fields["histogram"] = {int(k): int(v) for k, v in fields["histogram"]}
        return cls(**fields)


def part_name(index: int) -> str:
    return f"part-{index:05d}.parquet"


def output_schema() -> Any:
    import pyarrow as pa

    return pa.schema([
        ("id", pa.string()),
        ("ends", pa.list_(pa.int64())),
        ("bytes", pa.int64()),
        ("patches", pa.int64()),
        ("status", pa.string()),
    ])


_models: dict[tuple[str, int, int], ContextModel] = {}


def load_model(path: str) -> ContextModel:
    """The model at `path`, loaded once per worker process (mapped, so the workers of
    one machine share its pages)."""
    info = os.stat(path)
    key = (os.path.abspath(path), info.st_mtime_ns, info.st_size)
    if key not in _models:
        _models.clear()
        _models[key] = ContextModel.load(path)
    return _models[key]


class LengthHistogram:
    """Counts patch lengths from list arrays of ends. The lengths of a batch go into a
    scratch array kept from batch to batch: a fresh array of that size each time would
    cost a page fault per page touched."""

    CAP = 4096  # lengths below this are counted by one bincount; longer ones (rare) apart

    def __init__(self) -> None:
        self.counts = np.zeros(self.CAP, np.int64)
        self.long: dict[int, int] = {}
        self._scratch = np.empty(0, np.int64)

    def add(self, ends: Any) -> None:
        offsets = ends.offsets.to_numpy()
        values = ends.values.to_numpy()
        if len(values) == 0:
            return
        if len(self._scratch) < len(values):
            self._scratch = np.empty(max(len(values), 2 * len(self._scratch)), np.int64)
        lengths = self._scratch[: len(values)]
        lengths[0] = values[0]
        np.subtract(values[1:], values[:-1], out=lengths[1:])
        firsts = offsets[:-1][offsets[:-1] < offsets[1:]]  # each document's first patch
        lengths[firsts] = values[firsts]
        if lengths.max() >= self.CAP:
            long_values, long_counts = np.unique(lengths[lengths >= self.CAP], return_counts=True)
            for value, count in zip(long_values.tolist(), long_counts.tolist()):
                self.long[value] = self.long.get(value, 0) + count
            np.minimum(lengths, self.CAP, out=lengths)
            self.counts += np.bincount(lengths, minlength=self.CAP + 1)[: self.CAP]
        else:
            self.counts += np.bincount(lengths, minlength=self.CAP)

    def as_dict(self) -> dict[int, int]:
        histogram = {int(i): int(c) for i, c in enumerate(self.counts.tolist()) if c}
        histogram.update(self.long)
        return histogram


def single_array(column: Any) -> Any:
    """A column of one chunk (as the readers make them) as that chunk, without the
    copy that combining chunks makes even of one."""
    return column.chunk(0) if column.num_chunks == 1 else column.combine_chunks()


def patch_table(table: Any, settings: PatchSettings, summary: Summary,
                histogram: LengthHistogram) -> Any:
    """The output rows of a table of documents, counted into `summary`."""
    import pyarrow as pa
    import pyarrow.compute as pc

    problem = single_array(table.column("problem"))
    unreadable = problem.is_valid()
    text = single_array(table.column("text"))
    # Null texts are empty documents; unreadable ones are patched as empty too.
    if problem.null_count < len(problem):
        text = pc.if_else(unreadable, pa.scalar(b"", text.type), text)
    if text.null_count:
        text = pc.fill_null(text, pa.scalar(b"", text.type))
    if settings.model is not None:
        ends = load_model(settings.model).patch_ends_batch(
            text, settings.theta, settings.theta_r, max_patch_length=settings.max_patch_length)
    else:
        assert settings.k is not None
        ends = patch_ends_batch(text, settings.k, settings.theta, settings.theta_r,
                                max_patch_length=settings.max_patch_length)
    sizes = pc.cast(pc.binary_length(text), pa.int64())
    patches = pc.cast(pc.list_value_length(ends), pa.int64())
    empty = pc.equal(sizes, 0)
    status = pc.if_else(unreadable, pc.binary_join_element_wise("unreadable: ", problem, ""),
                        pc.if_else(empty, "empty", "ok"))
    # An unreadable document has no ends: null, not the empty list of an empty one.
    ends = pa.ListArray.from_arrays(ends.offsets, ends.values, mask=unreadable)

    summary.documents += len(table)
    summary.report(table.column("id"), problem, unreadable)
    summary.empty += int(pc.sum(pc.and_(empty, pc.invert(unreadable))).as_py() or 0)
    summary.bytes += int(pc.sum(sizes).as_py() or 0)
    summary.patches += int(pc.sum(patches).as_py() or 0)
    histogram.add(ends)
    return pa.table([table.column("id"), ends, sizes, patches, status], schema=output_schema())


def patch_partition(index: int, partition: _sources.Partition, settings: PatchSettings) -> Summary:
    """Patches a partition into OUT/part-INDEX.parquet: written under a temporary name
    and renamed when complete, so that the file is either whole or absent. Its summary
    is kept in the file's metadata too, for a resumed run to count it."""
    import pyarrow.parquet as pq

    final = os.path.join(settings.out, part_name(index))
    temporary = os.path.join(settings.out, f".{part_name(index)}.{uuid.uuid4().hex[:8]}.tmp")
    summary = Summary()
    histogram = LengthHistogram()
    # Ends rise within each document, so their deltas are small: delta encoding packs
    # them in a few bits each, several times faster and smaller than dictionaries.
    writer = pq.ParquetWriter(temporary, output_schema(), compression="zstd",
                              use_dictionary=["id", "status"],
                              column_encoding={"ends.list.element": "DELTA_BINARY_PACKED"})
    try:
        for table in _sources.read(partition, settings.options):
            writer.write_table(patch_table(table, settings, summary, histogram))
        summary.histogram = histogram.as_dict()
        writer.add_key_value_metadata({SUMMARY_KEY: summary.to_json().encode()})
        writer.close()
        os.replace(temporary, final)
    except BaseException:
        writer.close()
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise
    return summary


def stored_summary(path: str) -> Summary:
    """The summary a finished part file keeps in its metadata."""
    import pyarrow.parquet as pq

    return Summary.from_json(pq.read_metadata(path).metadata[SUMMARY_KEY])


def line_starts(partition: _sources.LinesPartition) -> int:
    return _sources.line_starts(partition.path, partition.start, partition.end)


@dataclasses.dataclass
class Counted:
    """Context counts of some partitions and what was read to make them."""

    counts: ContextCounts
    summary: Summary


def count_partition(partition: _sources.Partition, k: int,
                    options: _sources.Options) -> Counted:
    import pyarrow.compute as pc

    counts = ContextCounts(k)
    summary = Summary()
    for table in _sources.read(partition, options):
        problem = table.column("problem")
        summary.documents += len(table)
        summary.report(table.column("id"), problem, pc.is_valid(problem))
        summary.bytes += int(pc.sum(pc.binary_length(table.column("text"))).as_py() or 0)
        counts.add_batch(table.column("text"))
    return Counted(counts, summary)


def merge_counted(parts: Any) -> Counted:
    """One Counted of several: the tree reduction's step."""
    parts = list(parts)
    # A new object: the parts may be held by the scheduler for another use.
    merged = Counted(ContextCounts(parts[0].counts.k), Summary())
    for part in parts:
        merged.counts.merge(part.counts)
        merged.summary.add(part.summary)
    return merged
