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
                       reading: Reading,
                       per_document: bool = False) -> tuple[Evaluation, Summary]:
    """The model's evaluation of a partition's readable documents (each read as
    `reading` says, with each one's figures and id if `per_document`), and its
    summary."""
    import dataclasses

    import pyarrow.compute as pc

    loaded = model_at(model, identity, options.storage_options)
    parts: list[Evaluation] = []
    summary = Summary()
    for table in read(partition, options):
        documents = Documents.of(table)
        bytes_before = summary.text_bytes
        documents.count_into(summary)
        readable = documents.readable_text()
        if summary.text_bytes > bytes_before:
            part = loaded.evaluate(readable, reading=reading, per_document=per_document)
        else:  # documents without a byte: counted, nothing to score
            part = Evaluation.of_sums(0, len(readable), 0.0, 0.0, 0)
            if per_document:
                part = dataclasses.replace(part, per_document={
                    "id": [], "bytes": [], "bits": [], "entropy_bits": []})
        if part.per_document is not None:
            ids = pc.filter(documents.ids, pc.invert(documents.unreadable)).to_pylist()
            part.per_document["id"] = [str(ids[i]) for i in part.per_document["id"]]
        parts.append(part)
    return Evaluation.total(parts), summary
