"""What the tasks of every subcommand share on the workers: a batch of documents as
they take it, the model of a run (loaded once per worker process), patching a batch as
the run says, and the lengths of patches."""

from __future__ import annotations

import dataclasses
from typing import Any

import numpy as np

from ..._model import ContextModel
from ..._patching import patch_ends_batch, patch_ends_from_entropies_batch
from .._settings import Patching
from .._summary import Summary
from ..formats import ENTROPIES

_models: dict[tuple[Any, ...], ContextModel] = {}


def model_at(location: str, identity: tuple[Any, ...],
             storage_options: dict[str, Any]) -> ContextModel:
    """The model at `location`, of `identity`, loaded once per worker process (mapped,
    so the workers of one machine share its pages; fetched once per machine if it is
    remote)."""
    key = (location, *identity)
    if key not in _models:
        _models.clear()
        _models[key] = ContextModel.load(location, storage_options=storage_options)
    return _models[key]


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
            problem = _impossible_entropies(entropies, problem)
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

    def readable_text(self) -> Any:
        """The texts of the readable documents."""
        import pyarrow.compute as pc

        return pc.filter(self.text, pc.invert(self.unreadable))


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


def _impossible_entropies(entropies: Any, problem: Any) -> Any:
    """`problem` with a reason for every readable document one of whose entropies is
    null or NaN, which no position can be judged by: the first such position."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as pc

    flat = pc.list_flatten(entropies)
    missing = flat.is_null()
    bad = pc.or_(missing, pc.fill_null(pc.is_nan(flat), False))
    if not pc.any(bad).as_py():
        return problem
    where = np.flatnonzero(bad.to_numpy(zero_copy_only=False))
    lengths = pc.fill_null(pc.list_value_length(entropies), 0).to_numpy(zero_copy_only=False)
    parents = np.repeat(np.arange(len(entropies)), lengths)  # as list_flatten lays them
    rows, first = np.unique(parents[where], return_index=True)
    at = where[first]
    positions = at - np.searchsorted(parents, rows)  # within the document
    nulls = missing.to_numpy(zero_copy_only=False)[at]
    reasons: list[str | None] = [None] * len(entropies)
    for row, position, null in zip(rows.tolist(), positions.tolist(), nulls.tolist()):
        reasons[row] = f"the entropy at position {position} is {'null' if null else 'NaN'}"
    return pc.coalesce(problem, pa.array(reasons, pa.string()))


@dataclasses.dataclass(frozen=True)
class Patcher:
    """How a run patches each batch: as its patching settings say (Patching), with the
    model at `model` (as the workers are given it, of `model_identity`) if it has one."""

    patching: Patching
    model: str | None = None
    model_identity: tuple[Any, ...] = ()
    storage_options: dict[str, Any] = dataclasses.field(default_factory=dict, compare=False,
                                                         repr=False)

    @property
    def max_patch_length(self) -> int | None:
        return self.patching.max_patch_length

    def ends_of(self, documents: Documents, max_patch_length: int | None = None) -> Any:
        """The patch ends of a batch's documents (a ListArray), each patch at most
        `max_patch_length` long if given, else as the run says."""
        patching = self.patching
        longest = max_patch_length if max_patch_length is not None else patching.max_patch_length
        if patching.source == "entropies":
            return patch_ends_from_entropies_batch(documents.entropies, patching.theta,
                                                   patching.theta_r, max_patch_length=longest)
        if patching.source == "model":
            assert self.model is not None
            model = model_at(self.model, self.model_identity, self.storage_options)
            return model.patch_ends_batch(documents.text, patching.theta, patching.theta_r,
                                          max_patch_length=longest,
                                          reading=patching.reading.reading)
        assert patching.k is not None
        return patch_ends_batch(documents.text, patching.k, patching.theta, patching.theta_r,
                                max_patch_length=longest)


def patch_lengths(ends: Any, scratch: np.ndarray | None = None) -> np.ndarray:
    """The lengths of the patches of a ListArray of ends, every document's in order;
    written into `scratch` (an int64 array at least that long) if given."""
    offsets = ends.offsets.to_numpy()
    values = ends.values.to_numpy()
    lengths = np.empty(len(values), np.int64) if scratch is None else scratch[: len(values)]
    if len(values):
        lengths[0] = values[0]
        np.subtract(values[1:], values[:-1], out=lengths[1:])
        firsts = offsets[:-1][offsets[:-1] < offsets[1:]]  # each document's first patch
        lengths[firsts] = values[firsts]
    return lengths


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
        values = len(ends.values)
        if values == 0:
            return
        if len(self._scratch) < values:
            self._scratch = np.empty(max(values, 2 * len(self._scratch)), np.int64)
        lengths = patch_lengths(ends, self._scratch)
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
