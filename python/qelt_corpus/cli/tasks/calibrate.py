"""The task of ``calibrate``: what calibrating theta needs to know of the first
documents of a partition, a share of the sample."""

from __future__ import annotations

from typing import Any

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
    import pyarrow.compute as pc

    loaded = model_at(model, identity, options.storage_options)
    parts: list[Calibration] = []
    summary = Summary()
    taken = 0
    for table in read(partition, options):
        documents = Documents.of(table)
        sizes = documents.sizes.to_numpy(zero_copy_only=False)
        keep = int((sizes.cumsum() <= quota - taken).sum()) or min(1, len(sizes))
        Documents.of(table.slice(0, keep)).count_into(summary)
        readable = pc.filter(documents.text.slice(0, keep),
                             pc.invert(documents.unreadable.slice(0, keep)))
        parts.append(loaded.calibration(readable, theta_r=theta_r, reading=reading))
        taken += int(sizes[:keep].sum())
        if taken >= quota:
            break
    return Calibration.total(parts), summary
