"""The tasks of ``train``: counting a partition's contexts into its counts file in the
run's scratch directory (cli/_train_scratch), merging the pieces of one share from
every counts file, and the steps of the build on each share (qelt_corpus._shares): its
survey, its candidates for a budget's cut, and its run of bytes of the model file,
written to the scratch directory. Each keeps to the memory budget it is given
(cli/_memory)."""

from __future__ import annotations

import dataclasses
import pickle
import uuid
from typing import Any, Iterator

import numpy as np
from dask.sizeof import sizeof

from ... import _shares, _storage
from ..._model import ContextCounts
from .. import _memory, _train_scratch
from .._memory import Counting
from .._summary import Summary
from ..formats import Options, read
from ._documents import Documents


@sizeof.register(ContextCounts)
def _sizeof_counts(counts: ContextCounts) -> int:
    # Dask weighs what a worker holds by this when it decides what to spill to disk.
    return _shares.memory_bytes(counts)


@dataclasses.dataclass(frozen=True)
class PackedCounts:
    """The counts of a share as a worker holds them from its counting to its build: in
    their encoding, about a tenth of their size in memory (Python sources at k = 6), so
    that what a worker holds between the two grows with the corpus ten times slower."""

    encoded: bytes

    @staticmethod
    def of(counts: ContextCounts) -> PackedCounts:
        return PackedCounts(pickle.dumps(counts, protocol=pickle.HIGHEST_PROTOCOL))

    def unpacked(self) -> ContextCounts:
        counts = pickle.loads(self.encoded)
        assert isinstance(counts, ContextCounts)
        return counts


@sizeof.register(PackedCounts)
def _sizeof_packed(packed: PackedCounts) -> int:
    return len(packed.encoded)


def first_documents(table: Any, quota: int) -> tuple[Any, int]:
    """The first rows of a table of documents whose texts add up to at most `quota`
    bytes (one row at least, if there is any), and those bytes."""
    import pyarrow.compute as pc

    sizes = pc.fill_null(pc.binary_length(table.column("text")), 0).to_numpy(zero_copy_only=False)
    keep = int((sizes.cumsum() <= quota).sum()) or min(1, len(sizes))
    return table.slice(0, keep), int(sizes[:keep].sum())


def count_partition(index: int, partition: Any, k: int, options: Options, quota: int | None,
                    counting: Counting, scratch: str,
                    storage_options: dict[str, Any]) -> _train_scratch.Record:
    """Counts the contexts of partition `index`'s documents (of its first documents
    only, about `quota` bytes of them, if given) into its counts file in `scratch`,
    within the budget `counting`; the partition's record, once it is written."""
    counts = _shares.bounded_counts(k, counting.table_bytes)
    summary = Summary()
    taken = 0
    with _train_scratch.counts_file(scratch, index, summary, storage_options) as out:

        def write_out() -> None:
            out.add(*_shares.take_encoded_shares(counts, _train_scratch.SPLIT_BITS))
            _memory.trim()

        for table in read(partition, options):
            if quota is not None:
                table, size = first_documents(table, quota - taken)
                taken += size
            documents = Documents.of(table)
            documents.count_into(summary)
            for step in _steps(documents.text, counting.step_bytes, k):
                counts.add_batch(step) if not isinstance(step, memoryview) else counts.add(step)
                if _shares.memory_bytes(counts) >= counting.flush_bytes:
                    write_out()
            del table, documents
            if quota is not None and taken >= quota:
                break
        write_out()
    record = _train_scratch.Record(index, summary, tuple(out.chunks))
    del counts
    _memory.trim()
    return record


def _steps(text: Any, step_bytes: int, k: int) -> Iterator[Any]:
    """The documents of `text` (an Arrow binary array without nulls) in steps of about
    `step_bytes` bytes: slices of the array, and each document larger than a step as
    pieces of its bytes (memoryviews) that overlap by `k` bytes, so that counting the
    pieces counts every window of the document once."""
    import pyarrow as pa

    wide = pa.types.is_large_binary(text.type)
    offsets = np.frombuffer(text.buffers()[1], dtype=np.int64 if wide else np.int32)
    offsets = offsets[text.offset:text.offset + len(text) + 1].astype(np.int64)
    begin = 0
    while begin < len(text):
        base = int(offsets[begin])
        # The documents that end within a step of here: at least one.
        end = max(begin + 1, int(np.searchsorted(offsets, base + step_bytes, side="right")) - 1)
        end = min(end, len(text))
        stop = int(offsets[end])
        if end == begin + 1 and stop - base > step_bytes:
            data = memoryview(text.buffers()[2])[base:stop]
            for at in range(0, len(data) - k, step_bytes):
                yield data[at:at + k + step_bytes]
        else:
            yield text.slice(begin, end - begin)
        begin = end


def gather_share(share: int, bits: int, k: int, records: list[_train_scratch.Record],
                 scratch: str, storage_options: dict[str, Any],
                 merge_bytes: int) -> PackedCounts:
    """The counts of share `share` of 2**bits, merged from its pieces in every counts
    file of `records`, no more than `merge_bytes` of encoded counts merged at once."""
    merged: ContextCounts | None = None
    pending: list[ContextCounts] = []
    pending_bytes = 0

    def merge() -> ContextCounts:
        whole = ContextCounts(k)
        parts = ([merged] if merged is not None else []) + pending
        if parts:
            whole.merge(*parts)
        return whole

    for piece in _train_scratch.share_pieces(scratch, records, share, bits, storage_options):
        pending.append(_shares.decoded_counts(piece))
        pending_bytes += len(piece)
        if pending_bytes >= merge_bytes:
            merged, pending, pending_bytes = merge(), [], 0
    packed = PackedCounts.of(merge())
    merged = None
    pending.clear()
    _memory.trim()
    return packed


def survey(share: PackedCounts, index: int, bits: int, settings: _shares.Settings) -> bytes:
    return _shares.survey(share.unpacked(), index, bits, settings)


def candidates(share: PackedCounts, index: int, bits: int,
               plan: _shares.Plan) -> _shares.Candidates:
    return _shares.candidates(share.unpacked(), index, bits, plan)


def at_most(candidates: _shares.Candidates, points: Any) -> tuple[Any, Any]:
    return candidates.at_most(np.asarray(points, dtype=np.uint64))


@dataclasses.dataclass(frozen=True)
class RunWritten:
    """A share built, its run of bytes of the model at `location`."""

    index: int
    location: str
    size: int
    crc: int
    sections: bytes


def build(share: PackedCounts, index: int, bits: int, plan: _shares.Plan, scratch: str,
          storage_options: dict[str, Any]) -> RunWritten:
    """Builds share `index` and writes its run into `scratch`, under a name of its own
    (a task run again after its worker was lost writes afresh, beside what the lost
    one left)."""
    built = _shares.build(share.unpacked(), index, bits, plan)
    _memory.trim()
    location = _storage.join(scratch, f"share-{index:05d}-{uuid.uuid4().hex[:8]}.run")
    fs, path = _storage.resolve(location, storage_options)
    with (open(path, "wb") if fs is None else fs.open(path, "wb")) as file:
        file.write(memoryview(built.run))
    return RunWritten(index, location, len(built.run), built.crc, built.sections)
