"""The task of ``calibrate``: what calibrating theta needs to know of the first
documents of a partition, a share of the sample."""

from __future__ import annotations

from typing import Any, Iterator

from ..._model import Calibration
from ..._reading import Reading
from .._summary import Summary
from ..formats import Options, read
from ._documents import Documents, model_at


def calibrate_partition(partition: Any, quota: int, model: str, identity: tuple[Any, ...],
                        options: Options, theta_r: float,
                        reading: Reading) -> tuple[Calibration, Summary]:
    """The calibration of the first documents of a partition whose texts add up to
    `quota` bytes (one at least), and what was read for them."""
    loaded = model_at(model, identity, options.storage_options)
    summary = Summary()
    parts = [loaded.calibration(texts, theta_r=theta_r, reading=reading)
             for texts in _sampled(partition, quota, options, summary)]
    return Calibration.total(parts), summary


def lengths_partition(partition: Any, quota: int, model: str, identity: tuple[Any, ...],
                      options: Options, theta: float, theta_r: float,
                      reading: Reading) -> tuple[dict[int, int], Summary]:
    """The patch lengths (length -> patches) of the same documents as
    calibrate_partition's, patched with `theta`, and what was read for them."""
    import numpy as np

    loaded = model_at(model, identity, options.storage_options)
    summary = Summary()
    counts = np.zeros(1, np.int64)
    for texts in _sampled(partition, quota, options, summary):
        ends = loaded.patch_ends_batch(texts, theta, theta_r, reading=reading)
        ends = ends.combine_chunks() if hasattr(ends, "combine_chunks") else ends
        values = ends.values.to_numpy()
        starts = np.r_[0, values[:-1]] if len(values) else values
        offsets = ends.offsets.to_numpy()
        firsts = offsets[:-1][offsets[:-1] < offsets[1:]]  # each document's first patch
        starts[firsts - offsets[0]] = 0
        lengths = np.bincount(values - starts)
        if len(lengths) > len(counts):
            counts = np.pad(counts, (0, len(lengths) - len(counts)))
        counts[:len(lengths)] += lengths
    return {int(length): int(n) for length, n in enumerate(counts) if n}, summary


def _sampled(partition: Any, quota: int, options: Options, summary: Summary) -> Iterator[Any]:
    """The readable texts of the first documents of a partition that add up to `quota`
    bytes (one document at least), a batch at a time, counted into `summary`."""
    import pyarrow.compute as pc

    taken = 0
    for table in read(partition, options):
        documents = Documents.of(table)
        sizes = documents.sizes.to_numpy(zero_copy_only=False)
        keep = int((sizes.cumsum() <= quota - taken).sum()) or min(1, len(sizes))
        Documents.of(table.slice(0, keep)).count_into(summary)
        yield pc.filter(documents.text.slice(0, keep),
                        pc.invert(documents.unreadable.slice(0, keep)))
        taken += int(sizes[:keep].sum())
        if taken >= quota:
            break
