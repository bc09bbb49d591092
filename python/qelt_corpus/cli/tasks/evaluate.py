"""The task of ``evaluate``: a model's evaluation of a partition's readable
documents."""

from __future__ import annotations

from typing import Any

from ..._model import Evaluation
from ..._reading import Reading
from .._summary import Summary
from ..formats import Options, read
from ._documents import Documents, model_at


def evaluate_partition(partition: Any, model: str, identity: tuple[Any, ...], options: Options,
                       reading: Reading) -> tuple[Evaluation, Summary]:
    """The model's evaluation of a partition's readable documents (each read as
    `reading` says), and its summary."""
    loaded = model_at(model, identity, options.storage_options)
    parts: list[Evaluation] = []
    summary = Summary()
    for table in read(partition, options):
        documents = Documents.of(table)
        bytes_before = summary.text_bytes
        documents.count_into(summary)
        readable = documents.readable_text()
        if summary.text_bytes > bytes_before:
            parts.append(loaded.evaluate(readable, reading=reading))
        else:  # documents without a byte: counted, nothing to score
            parts.append(Evaluation.of_sums(0, len(readable), 0.0, 0.0, 0))
    return Evaluation.total(parts), summary
