"""The task of ``evaluate``: a model's evaluation of a partition's readable
documents."""

from __future__ import annotations

from typing import Any

from ..._model import Evaluation
from .._summary import Summary
from ..formats import Options, read
from ._documents import Documents, model_at


def evaluate_partition(partition: Any, model: str, identity: tuple[Any, ...], options: Options,
                       adapt: bool) -> tuple[Evaluation | None, Summary]:
    """The model's evaluation of a partition's readable documents (adapting to each if
    `adapt`; None if they hold no byte), and its summary."""
    loaded = model_at(model, identity, options.storage_options)
    parts: list[Evaluation] = []
    summary = Summary()
    for table in read(partition, options):
        documents = Documents.of(table)
        documents.count_into(summary)
        parts.append(loaded.evaluate(documents.readable_text(), adapt=adapt))
    return Evaluation.total(parts), summary
