"""``qelt-corpus evaluate``: how well a model predicts a corpus, in bits per byte,
scored on the workers partition by partition and added up on the client."""

from __future__ import annotations

import argparse
import dataclasses
import json
import sys
import time

from .. import _storage
from .._model import Evaluation
from . import _cluster, _manifest, _options, _planning
from ._settings import Cluster, Inputs, ReadingSettings
from ._usage import EXIT_INTERRUPTED, EXIT_OK, EXIT_UNREADABLE, UsageError
from .tasks import evaluate as tasks


def add_parser(commands: Any) -> None:
    evaluate = commands.add_parser(
        "evaluate", help="bits per byte of a model on a corpus",
        description="Score every byte of every document with a model, each document on its "
        "own from its first byte: bits per byte, mean entropy in bits, bytes, documents.")
    _options.add_inputs(evaluate)
    evaluate.add_argument("--model", required=True, metavar="FILE",
                          help="the model, trained with `train` (a path or a URL)")
    _options.add_reading(evaluate)
    evaluate.add_argument("--json", action="store_true",
                          help="print one JSON object with the fields of "
                          "qelt_corpus.Evaluation instead (bits_per_byte null if infinite)")
    evaluate.add_argument("--report", metavar="PAGE",
                          help="also write a page (.html, or a picture: .svg, .png): bits per "
                          "byte per document, the hardest documents by id, bits per byte "
                          "against length and beside the mean entropy")
    _options.add_partitioning(evaluate)
    _options.add_cluster(evaluate)


@dataclasses.dataclass(frozen=True)
class EvaluateRun:
    """What `evaluate` is asked to do."""

    inputs: Inputs
    cluster: Cluster
    model: str
    reading: ReadingSettings
    json: bool
    report: str | None = None

    @classmethod
    def of(cls, args: argparse.Namespace) -> EvaluateRun:
        inputs = Inputs.of(args)
        if args.report:
            _options.check_page(args.report, inputs.storage_options, "evaluate", "--report")
        return cls(inputs, Cluster.of(args), args.model, ReadingSettings.of(args), args.json,
                   args.report)


def run(args: argparse.Namespace, started: float) -> int:
    asked = EvaluateRun.of(args)
    storage_options = asked.inputs.storage_options
    model = _options.load_model(asked.model, storage_options, "evaluate", probabilities=True,
                                reading=asked.reading)
    identity = tuple(_manifest.model_identity(asked.model, storage_options))
    corpus = _planning.corpus(asked.inputs)
    partitions = corpus.partitions
    if not partitions:
        raise UsageError("evaluate: the inputs hold no documents")
    location = _storage.absolute(asked.model)
    try:
        gathered = _cluster.gather_parts(
            asked.cluster, corpus, [(index, None) for index in range(len(partitions))],
            lambda client, partition, _: client.submit(
                tasks.evaluate_partition, partition, location, identity, corpus.options,
                asked.reading.reading, bool(asked.report), pure=False),
            per_worker=3, report_each=True, what="evaluating")
    except KeyboardInterrupt:
        print("interrupted: nothing evaluated", file=sys.stderr)
        return EXIT_INTERRUPTED
    if gathered.failed:
        print(f"qelt-corpus evaluate: {gathered.failed} partitions failed; nothing evaluated",
              file=sys.stderr)
        return EXIT_UNREADABLE
    summary, workers = gathered.summary, gathered.workers
    result = Evaluation.total(gathered.parts)
    if not summary.documents:
        raise UsageError("evaluate: the inputs hold no documents")
    if not result.bytes:
        raise UsageError("evaluate: the inputs hold no bytes to evaluate (every document is "
                         "empty or unreadable)")
    if asked.report:
        _options.write_page(result.report(f"Evaluation: {asked.model}"), asked.report,
                            storage_options)
    if asked.json:
        fields = {name: getattr(result, name) for name in
                  ("bytes", "documents", "bits_per_byte", "mean_entropy_bits",
                   "zero_probability_bytes")}
        if fields["bits_per_byte"] == float("inf"):
            fields["bits_per_byte"] = None
        print(json.dumps(fields))
    else:
        seconds = time.perf_counter() - started
        bits = (f"{result.bits_per_byte:.4f}" if result.zero_probability_bytes == 0 else
                f"infinite ({result.zero_probability_bytes} bytes have probability 0 under "
                "this unsmoothed model)")
        reading = "" if asked.reading.is_static else f", {asked.reading.mode} reading"
        print(f"model: {asked.model} (k = {model.k}, smoothing {model.smoothing}, "
              f"{len(model)} contexts{reading})")
        print(f"{summary.counts_line(corpus.skipped)} in {seconds:.1f} s on {workers} workers")
        print(f"bits per byte: {bits}; mean entropy: {result.mean_entropy_bits:.4f} bits; "
              f"{result.bytes} bytes in {result.documents} documents")
        if asked.report:
            print(f"report: {asked.report}")
    return EXIT_UNREADABLE if summary.unreadable else EXIT_OK
