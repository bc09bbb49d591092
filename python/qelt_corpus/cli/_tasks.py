"""The work done on Dask workers: patching a partition into a Parquet file of the
output dataset, counting the contexts of a partition, merging counts.

Each returns a small summary for the client: counts, the unreadable documents with
their reasons, and a histogram of patch lengths; the documents and their ends never
leave the worker.
"""

from __future__ import annotations

import contextlib
import dataclasses
import os
import uuid
from typing import Any

import numpy as np

from .._arrays import patch_ends_batch
from .. import _storage
from .._model import ContextCounts, ContextModel
from . import _reading
from ._partitions import ENTROPIES, KEPT, LinesPartition, Options, Partition
from ._summary import Summary

SUMMARY_KEY = b"qelt_corpus.summary"  # the key of a part file's metadata holding its summary


@dataclasses.dataclass(frozen=True)
class PatchSettings:
    out: str  # the dataset's location
    theta: float
    theta_r: float
    k: int | None = None
    model: str | None = None  # the model's location
    model_identity: tuple[Any, ...] = ()  # what tells one version of the model from another
    max_patch_length: int | None = None
    adapt: bool = False  # the model also learns from each document
    options: Options = Options()


def part_name(index: int) -> str:
    return f"part-{index:05d}.parquet"


def output_schema(keep: tuple[tuple[str, str], ...] = ()) -> Any:
    """The columns of a part file (docs/formats.md, "Output dataset"), and the kept
    ones after them."""
    import pyarrow as pa

    return pa.schema([
        ("id", pa.string()),
        ("ends", pa.list_(pa.int64())),
        ("bytes", pa.int64()),
        ("patches", pa.int64()),
        ("status", pa.string()),
        *((name, _reading.kept_type(kind)) for name, kind in keep),
    ])


_models: dict[tuple[Any, ...], ContextModel] = {}


def load_model(settings: PatchSettings) -> ContextModel:
    """The model of a run, loaded once per worker process (mapped, so the workers of
    one machine share its pages; fetched once per machine if it is remote)."""
    assert settings.model is not None
    return model_at(settings.model, settings.model_identity, settings.options.storage_options)


def model_at(location: str, identity: tuple[Any, ...],
             storage_options: dict[str, Any]) -> ContextModel:
    """The model at `location`, of `identity`, loaded once per worker process."""
    key = (location, *identity)
    if key not in _models:
        _models.clear()
        _models[key] = ContextModel.load(location, storage_options=storage_options)
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


@dataclasses.dataclass
class Documents:
    """A batch of documents as the tasks take them: every text readable (a null or
    unreadable one as empty), which rows are unreadable and why, and their sizes."""

    ids: Any
    text: Any
    unreadable: Any
    problem: Any
    sizes: Any
    entropies: Any = None  # given entropies, a list per document, when patching takes them

    @classmethod
    def of(cls, table: Any) -> Documents:
        import pyarrow as pa
        import pyarrow.compute as pc

        problem = single_array(table.column("problem"))
        entropies = None
        if ENTROPIES in table.column_names:
            entropies = single_array(table.column(ENTROPIES))
            problem = _mismatched_entropies(single_array(table.column("text")), entropies,
                                            problem)
        unreadable = problem.is_valid()
        text = single_array(table.column("text"))
        if problem.null_count < len(problem):
            text = pc.if_else(unreadable, pa.scalar(b"", text.type), text)
        if text.null_count:
            text = pc.fill_null(text, pa.scalar(b"", text.type))
        sizes = pc.cast(pc.binary_length(text), pa.int64())
        if entropies is not None:
            # An unreadable document is patched as an empty one: no entropies.
            entropies = pc.if_else(unreadable, pa.scalar([], entropies.type),
                                   pc.fill_null(entropies, pa.scalar([], entropies.type)))
        return cls(table.column("id"), text, unreadable, problem, sizes, entropies)

    def count_into(self, summary: Summary) -> None:
        """Adds the documents, the empty and the unreadable ones and the bytes."""
        import pyarrow.compute as pc

        summary.documents += len(self.sizes)
        summary.report(self.ids, self.problem, self.unreadable)
        empty = pc.and_(pc.equal(self.sizes, 0), pc.invert(self.unreadable))
        summary.empty += int(pc.sum(empty).as_py() or 0)
        summary.text_bytes += int(pc.sum(self.sizes).as_py() or 0)


def _mismatched_entropies(text: Any, entropies: Any, problem: Any) -> Any:
    """`problem` with a reason for every readable document whose entropies are missing
    or not one per byte."""
    import pyarrow as pa
    import pyarrow.compute as pc

    bytes_ = pc.fill_null(pc.binary_length(text), 0)
    counts = pc.list_value_length(entropies)
    wrong = pc.and_kleene(problem.is_null(), pc.fill_null(pc.not_equal(counts, bytes_), True))
    wrong = pc.and_(wrong, pc.or_(text.is_valid(), entropies.is_valid()))
    if not pc.any(wrong).as_py():
        return problem
    reasons = pc.binary_join_element_wise(
        pc.cast(pc.fill_null(counts, 0), pa.string()), " entropies for ",
        pc.cast(bytes_, pa.string()), " bytes", "")
    return pc.if_else(wrong, reasons, problem)


def ends_of(documents: Documents, settings: PatchSettings,
            max_patch_length: int | None = None) -> Any:
    """The patch ends of a batch's documents (a ListArray), as the settings say."""
    longest = max_patch_length if max_patch_length is not None else settings.max_patch_length
    if settings.options.entropies is not None:
        from .._arrays import patch_ends_from_entropies_batch

        return patch_ends_from_entropies_batch(documents.entropies, settings.theta,
                                               settings.theta_r, max_patch_length=longest)
    if settings.model is not None:
        return load_model(settings).patch_ends_batch(
            documents.text, settings.theta, settings.theta_r, max_patch_length=longest,
            adapt=settings.adapt)
    assert settings.k is not None
    return patch_ends_batch(documents.text, settings.k, settings.theta, settings.theta_r,
                            max_patch_length=longest)


def patch_table(table: Any, settings: PatchSettings, summary: Summary,
                histogram: LengthHistogram) -> Any:
    """The output rows of a table of documents, counted into `summary`."""
    import pyarrow as pa
    import pyarrow.compute as pc

    documents = Documents.of(table)
    ends = ends_of(documents, settings)
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
    kept = [table.column(KEPT + name) for name, _ in settings.options.keep]
    return pa.table([documents.ids, ends, documents.sizes, patches, status, *kept],
                    schema=output_schema(settings.options.keep))


def patch_partition(index: int, partitions: list[Partition], settings: PatchSettings) -> Summary:
    """Patches the documents of `partitions` (one, as patch plans them) into
    OUT/part-INDEX.parquet, which appears whole or not at all (_storage.committed). Its
    summary is kept in the file's metadata too, for a resumed run to count it."""
    import pyarrow.parquet as pq

    location = _storage.join(settings.out, part_name(index))
    fs, path = _storage.resolve(location, settings.options.storage_options)
    summary = Summary()
    histogram = LengthHistogram()
    with _storage.committed(fs, path) as file:
        # Ends rise within each document, so their deltas are small: delta encoding
        # packs them in a few bits each, several times faster and smaller than
        # dictionaries.
        with pq.ParquetWriter(file, output_schema(settings.options.keep), compression="zstd",
                              use_dictionary=["id", "status"],
                              column_encoding={"ends.list.element": "DELTA_BINARY_PACKED"}) as writer:
            for partition in partitions:
                for table in _reading.read(partition, settings.options):
                    writer.write_table(patch_table(table, settings, summary, histogram))
            summary.histogram = histogram.as_dict()
            writer.add_key_value_metadata({SUMMARY_KEY: summary.to_json().encode()})
    return summary


def stored_summary(location: str, options: Options) -> Summary:
    """The summary a finished part file keeps in its metadata."""
    import pyarrow.parquet as pq

    with _reading.open_file(location, None, options.storage_options) as file:
        return Summary.from_json(pq.read_metadata(file).metadata[SUMMARY_KEY])


def line_starts(partition: LinesPartition, options: Options) -> int:
    return _reading.line_starts(partition.path, partition.start, partition.end,
                                options.storage_options)


@dataclasses.dataclass
class Counted:
    """Context counts of some partitions and what was read to make them."""

    counts: ContextCounts
    summary: Summary


def first_documents(table: Any, quota: int) -> tuple[Any, int]:
    """The first rows of a table of documents whose texts add up to at most `quota`
    bytes (one row at least, if there is any), and those bytes."""
    import pyarrow.compute as pc

    sizes = pc.fill_null(pc.binary_length(table.column("text")), 0).to_numpy(zero_copy_only=False)
    keep = int((sizes.cumsum() <= quota).sum()) or min(1, len(sizes))
    return table.slice(0, keep), int(sizes[:keep].sum())


def count_partition(partition: Partition, k: int, options: Options,
                    quota: int | None = None) -> Counted:
    """The context counts of a partition's documents, and its summary; of its first
    documents only, about `quota` bytes of them, if given."""
    counts = ContextCounts(k)
    summary = Summary()
    taken = 0
    for table in _reading.read(partition, options):
        if quota is not None:
            table, size = first_documents(table, quota - taken)
            taken += size
        documents = Documents.of(table)
        documents.count_into(summary)
        counts.add_batch(documents.text)
        if quota is not None and taken >= quota:
            break
    return Counted(counts, summary)


def merge_counted(*parts: Counted) -> Counted:
    """One Counted of several: a step of the tree reduction. The parts are left as
    they are (the scheduler may hold them for another use); the first is copied."""
    merged = Counted(ContextCounts(parts[0].counts.k), Summary())
    merged.counts.merge(*(part.counts for part in parts))
    for part in parts:
        merged.summary.add(part.summary)
    return merged


@dataclasses.dataclass(frozen=True)
class ModelMade:
    """What build_model wrote: the model's k, min_count, contexts of each length, and
    the size of its file."""

    k: int
    min_count: int
    contexts_by_length: tuple[int, ...]
    file_bytes: int
    summary: Summary


def build_model(out: str, storage_options: dict[str, Any], min_count: int,
                max_bytes: int | None, smoothing: str, *parts: Counted) -> ModelMade:
    """Makes the model of the counts of a whole corpus, given in `parts`, and saves it
    at `out`: the model is written where it is made, instead of travelling to the
    client first. A corpus of no documents makes no model."""
    counted = parts[0] if len(parts) == 1 else merge_counted(*parts)
    if not counted.summary.documents:
        return ModelMade(counted.counts.k, min_count, (), 0, counted.summary)
    model = counted.counts.to_model(min_count, max_bytes=max_bytes, smoothing=smoothing)
    model.save(out, storage_options=storage_options)
    return ModelMade(model.k, model.min_count, model.contexts_by_length,
                     model.nbytes, counted.summary)


def evaluate_partition(partition: Partition, model: str, identity: tuple[Any, ...],
                       options: Options, adapt: bool) -> tuple[tuple[Any, ...], Summary]:
    """The sums of the model's evaluation over a partition's readable documents (as
    the native evaluate gives them, adapting to each if `adapt`), and its summary."""
    import pyarrow.compute as pc

    loaded = model_at(model, identity, options.storage_options)
    sums: list[Any] = [0, 0, 0.0, 0.0, 0]
    summary = Summary()
    for table in _reading.read(partition, options):
        documents = Documents.of(table)
        documents.count_into(summary)
        readable = pc.filter(documents.text, pc.invert(documents.unreadable))
        for i, value in enumerate(loaded._model.evaluate(_model_items(readable), adapt)):
            sums[i] += value
    return tuple(sums), summary


def _model_items(documents: Any) -> list[Any]:
    from .._model import _document_items

    return _document_items(documents)


# --- Packed shards ---------------------------------------------------------------------------

LONGEST_PACKED_PATCH = 2**32 - 1  # patch lengths are stored in 32 bits


def shard_name(index: int) -> str:
    return f"shard-{index:05d}"


SHARD_FILES = (".bytes", ".patches", ".docs", ".ids.parquet")  # the last one written last


@dataclasses.dataclass(frozen=True)
class ShardMade:
    """What a shard holds: its documents, bytes and patches, and the summary of what was
    read for it."""

    documents: int
    bytes: int
    patches: int
    summary: Summary


def patch_lengths(ends: Any) -> Any:
    """The lengths of the patches of a ListArray of ends, every document's in order."""
    offsets = ends.offsets.to_numpy()
    values = ends.values.to_numpy()
    lengths = np.empty(len(values), np.int64)
    if len(values):
        lengths[0] = values[0]
        np.subtract(values[1:], values[:-1], out=lengths[1:])
        firsts = offsets[:-1][offsets[:-1] < offsets[1:]]  # each document's first patch
        lengths[firsts] = values[firsts]
    return lengths


def pack_shard(index: int, partitions: list[Partition], settings: PatchSettings) -> ShardMade:
    """Patches the documents of `partitions` into shard `index` of the local directory
    settings.out (docs/formats.md, "Packed shards"). Its files are written under
    temporary names and renamed when all are complete, the ids last: a shard whose ids
    file is there is whole. Unreadable documents are left out, and counted."""
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    base = os.path.join(settings.out, shard_name(index))
    temporary = {suffix: os.path.join(settings.out, f".{shard_name(index)}{suffix}."
                                                    f"{uuid.uuid4().hex[:8]}.tmp")
                 for suffix in SHARD_FILES}
    summary = Summary()
    documents = byte = patch = 0
    longest = min(settings.max_patch_length or LONGEST_PACKED_PATCH, LONGEST_PACKED_PATCH)
    try:
        with open(temporary[".bytes"], "wb") as data, \
                open(temporary[".patches"], "wb") as patches, \
                open(temporary[".docs"], "wb") as docs, \
                pq.ParquetWriter(temporary[".ids.parquet"], pa.schema([("id", pa.string())]),
                                 compression="zstd") as ids:
            docs.write(np.zeros(2, "<i8").tobytes())
            for partition in partitions:
                for table in _reading.read(partition, settings.options):
                    batch = Documents.of(table)
                    batch.count_into(summary)
                    # Unreadable documents read as empty: they add no bytes and no
                    # patches, and only their rows of ids and offsets are left out.
                    ends = ends_of(batch, settings, longest)
                    lengths = patch_lengths(ends).astype("<u4")
                    summary.patches += len(lengths)
                    text = batch.text
                    width = 8 if pa.types.is_large_binary(text.type) else 4
                    offsets = np.frombuffer(text.buffers()[1], f"<i{width}")[
                        text.offset:text.offset + len(text) + 1]
                    if len(text) and offsets[-1] > offsets[0]:
                        data.write(memoryview(text.buffers()[2])[offsets[0]:offsets[-1]])
                    patches.write(lengths)
                    readable = np.logical_not(batch.unreadable.to_numpy(zero_copy_only=False))
                    counts = pc.list_value_length(ends).to_numpy(zero_copy_only=False)[readable]
                    sizes = batch.sizes.to_numpy(zero_copy_only=False)[readable]
                    pairs = np.empty((len(sizes), 2), "<i8")
                    np.cumsum(sizes, out=pairs[:, 0])
                    np.cumsum(counts, out=pairs[:, 1])
                    pairs += (byte, patch)
                    docs.write(pairs)
                    ids.write_table(pa.table({"id": pc.cast(
                        pc.filter(batch.ids, pa.array(readable)), pa.string())}))
                    documents += len(sizes)
                    if len(sizes):
                        byte, patch = int(pairs[-1, 0]), int(pairs[-1, 1])
            ids.add_key_value_metadata({SUMMARY_KEY: summary.to_json().encode()})
        for suffix in SHARD_FILES:
            os.replace(temporary[suffix], base + suffix)
    except BaseException:
        for path in temporary.values():
            with contextlib.suppress(OSError):
                os.unlink(path)
        raise
    return ShardMade(documents, byte, patch, summary)


def stored_shard(directory: str, index: int) -> ShardMade:
    """What a finished shard holds, read from its files."""
    import pyarrow.parquet as pq

    base = os.path.join(directory, shard_name(index))
    summary = Summary.from_json(pq.read_metadata(base + ".ids.parquet").metadata[SUMMARY_KEY])
    return ShardMade(os.path.getsize(base + ".docs") // 16 - 1, os.path.getsize(base + ".bytes"),
                     os.path.getsize(base + ".patches") // 4, summary)
