"""The tasks of ``train``: counting a partition's contexts and splitting the counts into
shares, merging the pieces of one share, and the steps of the build on each share
(qelt_corpus._shares): its survey, its candidates for a budget's cut, and its run of
bytes of the model file, written to the build's scratch directory."""

from __future__ import annotations

import dataclasses
import pickle
import uuid
from typing import Any

import numpy as np
from dask.sizeof import sizeof

from ... import _shares, _storage
from ..._model import ContextCounts
from .._summary import Summary
from ..formats import Options, read
from ._documents import Documents


@sizeof.register(ContextCounts)
def _sizeof_counts(counts: ContextCounts) -> int:
    # Dask weighs what a worker holds by this when it decides what to spill to disk.
    return int(counts._counts.memory_bytes)


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


@dataclasses.dataclass
class Counted:
    """The context counts of a partition, whole or as one piece per share, what was
    read to make them, and how many distinct windows they hold."""

    counts: ContextCounts | list[ContextCounts]
    summary: Summary
    windows: int


def first_documents(table: Any, quota: int) -> tuple[Any, int]:
    """The first rows of a table of documents whose texts add up to at most `quota`
    bytes (one row at least, if there is any), and those bytes."""
    import pyarrow.compute as pc

    sizes = pc.fill_null(pc.binary_length(table.column("text")), 0).to_numpy(zero_copy_only=False)
    keep = int((sizes.cumsum() <= quota).sum()) or min(1, len(sizes))
    return table.slice(0, keep), int(sizes[:keep].sum())


def count_partition(partition: Any, k: int, options: Options, quota: int | None = None,
                    bits: int | None = None) -> Counted:
    """The context counts of a partition's documents, and its summary; of its first
    documents only, about `quota` bytes of them, if given. With `bits`, the counts
    come split into 2**bits shares."""
    counts = ContextCounts(k)
    summary = Summary()
    taken = 0
    for table in read(partition, options):
        if quota is not None:
            table, size = first_documents(table, quota - taken)
            taken += size
        documents = Documents.of(table)
        documents.count_into(summary)
        counts.add_batch(documents.text)
        if quota is not None and taken >= quota:
            break
    counted = Counted(counts, summary, _shares.windows(counts))
    return counted if bits is None else split_counted(counted, bits)


def split_counted(counted: Counted, bits: int) -> Counted:
    """The counts of a partition split into 2**bits shares."""
    assert isinstance(counted.counts, ContextCounts)
    return Counted(_shares.split(counted.counts, bits), counted.summary, counted.windows)


def read_of(counted: Counted) -> tuple[Summary, int]:
    """What a partition's counting read, and the distinct windows it counted."""
    return counted.summary, counted.windows


def piece(counted: Counted, index: int) -> PackedCounts:
    """The counts of share `index` of a partition split into shares."""
    assert isinstance(counted.counts, list)
    return PackedCounts.of(counted.counts[index])


def merge_pieces(*pieces: PackedCounts) -> PackedCounts:
    """The counts of one share from its pieces: a step of the share's tree reduction."""
    merged, *more = (piece.unpacked() for piece in pieces)
    if more:
        merged.merge(*more)
    return PackedCounts.of(merged)


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
    location = _storage.join(scratch, f"share-{index:05d}-{uuid.uuid4().hex[:8]}.run")
    fs, path = _storage.resolve(location, storage_options)
    with (open(path, "wb") if fs is None else fs.open(path, "wb")) as file:
        file.write(memoryview(built.run))
    return RunWritten(index, location, len(built.run), built.crc, built.sections)
