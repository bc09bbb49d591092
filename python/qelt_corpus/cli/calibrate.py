"""``qelt-corpus calibrate``: the theta that gives a mean patch length, found on a
sample of the corpus: the workers read the sample, a share each, and say what each
entropy met there would do to the patches; the client adds that up and picks theta."""

from __future__ import annotations

import argparse
import dataclasses
import math
import sys
import time
from typing import Any

from .. import _storage
from .._model import Calibration
from . import _cluster, _manifest, _options, _planning
from ._settings import Cluster, Inputs, ReadingSettings
from ._summary import MB
from ._usage import EXIT_INTERRUPTED, EXIT_OK, EXIT_UNREADABLE, UsageError, error_line
from .tasks import calibrate as tasks

SAMPLE_PARTITIONS = 16  # the sample is spread over at most this many partitions


def add_parser(commands: Any) -> None:
    calibrate = commands.add_parser("calibrate", help="find theta for a mean patch length",
                                    description="Find the theta whose mean patch length on a "
                                    "sample of the corpus is closest to the target; it is "
                                    "printed alone on the last line.")
    _options.add_inputs(calibrate)
    calibrate.add_argument("--model", required=True, metavar="FILE",
                           help="the model to calibrate, trained with `train` (a path or a URL)")
    _options.add_reading(calibrate)
    calibrate.add_argument("--target-mean", type=_options.positive_float, required=True,
                           metavar="L", help="the mean patch length wanted, in bytes")
    calibrate.add_argument("--theta-r", type=_options.threshold, required=True,
                           help="rise threshold (nats) that patch will be given with the theta "
                           "found: the mean length depends on both (inf: no rise test)")
    calibrate.add_argument("--sample-bytes", type=_options.size, default=16 << 20,
                           metavar="SIZE", help="bytes of documents to sample (default 16MiB)")
    calibrate.add_argument("--report", metavar="PAGE",
                           help="also write a page of the search (.html, or a picture: .svg, "
                           ".png): the mean patch length against theta, the target and the "
                           "theta found, and the patch lengths at that theta")
    _options.add_cluster(calibrate)


@dataclasses.dataclass(frozen=True)
class CalibrateRun:
    """What `calibrate` is asked to do."""

    inputs: Inputs
    cluster: Cluster
    model: str
    reading: ReadingSettings
    target_mean: float
    theta_r: float
    sample_bytes: int
    report: str | None = None

    @classmethod
    def of(cls, args: argparse.Namespace) -> CalibrateRun:
        inputs = Inputs.of(args)
        if args.report:
            _options.check_page(args.report, inputs.storage_options, "calibrate", "--report")
        return cls(inputs, Cluster.of(args), args.model, ReadingSettings.of(args),
                   args.target_mean, args.theta_r, args.sample_bytes, args.report)


def sample(partitions: list[Any], budget: int) -> list[tuple[int, int]]:
    """The partitions the sample is taken from, by index, spread evenly over the corpus
    (up to SAMPLE_PARTITIONS), each with its quota of bytes."""
    spread = min(SAMPLE_PARTITIONS, len(partitions))
    chosen = sorted({i * len(partitions) // spread for i in range(spread)})
    return [(index, budget // max(1, len(chosen))) for index in chosen]


def run(args: argparse.Namespace, started: float) -> int:
    asked = CalibrateRun.of(args)
    storage_options = asked.inputs.storage_options
    model = _options.load_model(asked.model, storage_options, "calibrate",
                                reading=asked.reading)
    identity = tuple(_manifest.model_identity(asked.model, storage_options))
    corpus = _planning.corpus(asked.inputs)
    partitions = corpus.partitions
    chosen = sample(partitions, asked.sample_bytes)
    if not chosen:
        raise UsageError("calibrate: the inputs hold no documents")
    location = _storage.absolute(asked.model)
    gathered = _gather_sample(asked, corpus, chosen, tasks.calibrate_partition,
                              (location, identity, corpus.options, asked.theta_r,
                               asked.reading.reading), "calibrating", "no theta found")
    if isinstance(gathered, int):
        return gathered
    summary, workers = gathered.summary, gathered.workers
    if not summary.documents:
        raise UsageError("calibrate: the inputs hold no documents")
    summary.report_unreadable("the sample", lambda m: print(m, file=sys.stderr))
    calibration = Calibration.total(gathered.parts)
    try:
        theta = calibration.theta(asked.target_mean)
    except ValueError as error:  # nothing in the sample that theta could change
        raise UsageError(f"calibrate: {error} in the sample") from None
    read = asked.reading
    print(f"sample: {summary.documents} documents, {summary.text_bytes / MB:.1f} MB from "
          f"{len(chosen)} of {len(partitions)} partitions ({summary.unreadable} unreadable)")
    reading = "" if read.is_static else f", {read.mode} reading"
    print(f"model: {asked.model} (k = {model.k}, {len(model)} contexts{reading}); theta_r "
          f"{asked.theta_r:g}{'' if read.is_static else f' and --reading {read.mode}'}: give "
          "patch the same")
    print(f"theta {theta:.6g} gives a mean patch length of "
          f"{calibration.mean_patch_length(theta):.3f} bytes (target {asked.target_mean:g}, "
          f"theta_r {asked.theta_r:g}) in {time.perf_counter() - started:.1f} s on {workers} "
          "workers")
    if asked.report:
        status = _report(asked, corpus, chosen, location, identity, calibration, theta)
        if status != EXIT_OK:
            return status
    print(repr(theta))
    reach = _unreachable(calibration, asked.target_mean)
    if reach:
        print(error_line("calibrate", reach), file=sys.stderr)
        return EXIT_UNREADABLE
    return EXIT_UNREADABLE if summary.unreadable else EXIT_OK


def _unreachable(calibration: Calibration, target: float) -> str | None:
    """Why no theta gives the target mean, if none does: it lies beyond the mean of
    theta = inf (only the rise test and the documents' ends cut) or below that of
    theta = -inf (every judged position cut)."""
    for theta, beyond, which in ((math.inf, target.__gt__, "largest"),
                                 (-math.inf, target.__lt__, "smallest")):
        mean = calibration.mean_patch_length(theta)
        if beyond(mean):
            return (f"no theta reaches the target mean patch length {target:g}: the {which} "
                    f"mean, with theta = {theta}, is {mean:.3f} bytes")
    return None


def _report(asked: CalibrateRun, corpus: Any, chosen: list[tuple[int, int]], location: str,
            identity: tuple[Any, ...], calibration: Calibration, theta: float) -> int:
    """Writes the page of the search, with the patch lengths of the sample at `theta`
    (counted on the workers); the exit status so far."""
    from collections import Counter

    gathered = _gather_sample(asked, corpus, chosen, tasks.lengths_partition,
                              (location, identity, corpus.options, theta, asked.theta_r,
                               asked.reading.reading), "patch lengths", "no report written")
    if isinstance(gathered, int):
        return gathered
    lengths: Counter[int] = Counter()
    for part in gathered.parts:
        lengths.update(part)
    report = calibration.report(asked.target_mean, theta=theta, lengths=lengths,
                                title=f"Calibration of theta: {asked.model}")
    _options.write_page(report, asked.report, asked.inputs.storage_options)
    print(f"report: {asked.report}")
    return EXIT_OK


def _gather_sample(asked: CalibrateRun, corpus: Any, chosen: list[tuple[int, int]],
                   task: Any, arguments: tuple[Any, ...], what: str, lost: str) -> Any:
    """task(partition, quota, *arguments) run over the sample, gathered; or, if it was
    interrupted or a partition failed, the exit status, once a line has said so and
    that `lost` follows."""
    try:
        gathered = _cluster.gather_parts(
            asked.cluster, corpus, chosen,
            lambda client, partition, quota: client.submit(task, partition, quota, *arguments,
                                                           pure=False),
            per_worker=2, report_each=False, what=what)
    except KeyboardInterrupt:
        print(f"interrupted: {lost}", file=sys.stderr)
        return EXIT_INTERRUPTED
    if gathered.failed:
        print(f"qelt-corpus calibrate: {gathered.failed} partitions of the sample failed; "
              f"{lost}", file=sys.stderr)
        return EXIT_UNREADABLE
    return gathered
