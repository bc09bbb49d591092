"""``qelt-corpus calibrate``: the theta that gives a mean patch length, found on a
sample of the corpus read by the client."""

from __future__ import annotations

import argparse
import dataclasses
import sys
import time
from typing import Any

from . import _options, _planning
from .formats import Options, read
from ._settings import Inputs
from ._summary import MB, Summary
from ._usage import EXIT_OK, EXIT_UNREADABLE, UsageError
from .tasks._documents import Documents

SAMPLE_PARTITIONS = 16  # the sample is spread over at most this many partitions


def add_parser(commands: Any) -> None:
    calibrate = commands.add_parser("calibrate", help="find theta for a mean patch length",
                                    description="Find the theta whose mean patch length on a "
                                    "sample of the corpus is closest to the target; it is "
                                    "printed alone on the last line.")
    _options.add_inputs(calibrate)
    calibrate.add_argument("--model", required=True, metavar="FILE",
                           help="the model to calibrate, trained with `train` (a path or a URL)")
    _options.add_adapt(calibrate)
    calibrate.add_argument("--target-mean", type=_options.positive_float, required=True,
                           metavar="L", help="the mean patch length wanted, in bytes")
    calibrate.add_argument("--theta-r", type=_options.threshold, required=True,
                           help="rise threshold (nats) that patch will be given with the theta "
                           "found: the mean length depends on both (inf: no rise test)")
    calibrate.add_argument("--sample-bytes", type=_options.positive_int, default=16 << 20,
                           metavar="N", help="bytes of documents to sample (default 16 MiB)")


@dataclasses.dataclass(frozen=True)
class CalibrateRun:
    """What `calibrate` is asked to do."""

    inputs: Inputs
    model: str
    adapt: bool
    target_mean: float
    theta_r: float
    sample_bytes: int

    @classmethod
    def of(cls, args: argparse.Namespace) -> CalibrateRun:
        return cls(Inputs.of(args), args.model, args.adapt, args.target_mean, args.theta_r,
                   args.sample_bytes)


def _sample(partitions: list[Any], options: Options,
            budget: int) -> tuple[list[Any], Summary, int]:
    """Documents of up to `budget` bytes, taken evenly from up to SAMPLE_PARTITIONS
    partitions across the corpus, as large binary arrays (whatever type each input
    holds its texts in), and what was read for them."""
    import pyarrow as pa
    import pyarrow.compute as pc

    spread = min(SAMPLE_PARTITIONS, len(partitions))
    chosen = sorted({i * len(partitions) // spread for i in range(spread)})
    quota = budget // max(1, len(chosen))
    texts, summary = [], Summary()
    for index in chosen:
        taken = 0
        for table in read(partitions[index], options):
            documents = Documents.of(table)
            sizes = documents.sizes.to_numpy(zero_copy_only=False)
            keep = int((sizes.cumsum() <= quota - taken).sum()) or min(1, len(sizes))
            Documents.of(table.slice(0, keep)).count_into(summary)
            readable = pc.filter(documents.text.slice(0, keep),
                                 pc.invert(documents.unreadable.slice(0, keep)))
            texts.append(readable.cast(pa.large_binary()))
            taken += int(sizes[:keep].sum())
            if taken >= quota:
                break
    return texts, summary, len(chosen)


def run(args: argparse.Namespace, started: float) -> int:
    import pyarrow as pa
    import pyarrow.compute as pc

    asked = CalibrateRun.of(args)
    model = _options.load_model(asked.model, asked.inputs.storage_options, "calibrate",
                                adapt=asked.adapt)
    corpus = _planning.corpus(asked.inputs)
    options, partitions = corpus.options, corpus.partitions
    texts, summary, used = _sample(partitions, options, asked.sample_bytes)
    if not summary.documents:
        raise UsageError("calibrate: the inputs hold no documents")
    summary.report_unreadable("the sample", lambda m: print(m, file=sys.stderr))
    documents = pa.chunked_array(texts, type=pa.large_binary())
    try:
        theta = model.calibrate(documents, asked.target_mean, theta_r=asked.theta_r,
                                adapt=asked.adapt)
    except ValueError as error:
        print(f"qelt-corpus calibrate: {error}", file=sys.stderr)
        return EXIT_UNREADABLE
    ends = model.patch_ends_batch(documents, theta, asked.theta_r, adapt=asked.adapt)
    patches = pc.sum(pc.list_value_length(ends)).as_py()
    print(f"sample: {summary.documents} documents, {summary.text_bytes / MB:.1f} MB from "
          f"{used} of {len(partitions)} partitions ({summary.unreadable} unreadable)")
    adapting = ", adapting" if asked.adapt else ""
    print(f"model: {asked.model} (k = {model.k}, {len(model)} contexts{adapting}); theta_r "
          f"{asked.theta_r:g}{' and --adapt' if asked.adapt else ''}: give patch the same")
    print(f"theta {theta:.6g} gives a mean patch length of {summary.text_bytes / patches:.3f} "
          f"bytes (target {asked.target_mean:g}, theta_r {asked.theta_r:g}) in "
          f"{time.perf_counter() - started:.1f} s")
    print(repr(theta))
    return EXIT_UNREADABLE if summary.unreadable else EXIT_OK
