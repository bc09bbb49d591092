"""The tasks of ``train``: counting a partition's contexts, merging counts (a step of
the tree reduction), and making the model of them all."""

from __future__ import annotations

import dataclasses
from typing import Any

from ..._model import ContextCounts
from .._summary import Summary
from ..formats import Options, read
from ._documents import Documents


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


def count_partition(partition: Any, k: int, options: Options,
                    quota: int | None = None) -> Counted:
    """The context counts of a partition's documents, and its summary; of its first
    documents only, about `quota` bytes of them, if given."""
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
    client first. A corpus without a byte makes no model."""
    counted = parts[0] if len(parts) == 1 else merge_counted(*parts)
    if not counted.summary.text_bytes:
        return ModelMade(counted.counts.k, min_count, (), 0, counted.summary)
    model = counted.counts.to_model(min_count, max_bytes=max_bytes, smoothing=smoothing)
    model.save(out, storage_options=storage_options)
    return ModelMade(model.k, model.min_count, model.contexts_by_length,
                     model.nbytes, counted.summary)
