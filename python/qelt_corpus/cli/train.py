"""``qelt-corpus train``: a context model of a whole corpus (or of a sample of it),
counted on the workers and merged by a tree reduction that streams: partitions are
counted a few per worker at a time, and every few counts that are ready are merged
on a worker, so that neither the client nor any worker holds more than a few
partial counts at once. The model is made from the last one, on a worker."""

from __future__ import annotations

import argparse
import dataclasses
import math
import os
import resource
import sys
import time
from typing import Any

from .. import _kinds, _storage
from .._model import ContextCounts
from . import _cluster, _interrupts, _options, _planning
from ._settings import Cluster, Inputs
from ._summary import MB
from ._usage import EXIT_INTERRUPTED, EXIT_OK, EXIT_UNREADABLE, UsageError
from .tasks import train as tasks

NO_DOCUMENTS = "the inputs hold no documents: no model written"
FAN_IN = 4  # partial counts merged by one task
SAMPLE_QUOTA = 1 << 20  # a sample takes at least this many bytes from each partition it reads


def add_parser(commands: Any) -> None:
    train = commands.add_parser("train", help="train a context model on a corpus",
                                description="Count contexts on the workers, merge the counts "
                                "by a tree reduction, and save the model.")
    _options.add_inputs(train)
    train.add_argument("--out", required=True, metavar="MODEL", help="model file to write")
    train.add_argument("-k", type=int, required=True, help="context length, 0 to 8")
    train.add_argument("--min-count", type=_options.positive_int, default=1, metavar="N",
                       help="drop contexts seen fewer than N times (default 1)")
    train.add_argument("--max-model-bytes", type=_options.positive_int, metavar="N",
                       help="keep the model file within N bytes, leaving out the rarest "
                       "contexts (the longer first among equally rare ones)")
    train.add_argument("--smoothing", choices=_kinds.NAMES, default=_kinds.NAMES[0],
                       help="how to estimate the next-byte distributions (default "
                       f"{_kinds.NAMES[0]}): "
                       + "; ".join(f"{name}, {_kinds.SUMMARIES[name]}" for name in _kinds.NAMES))
    train.add_argument("--sample-bytes", type=_options.positive_int, metavar="N",
                       help="count about N bytes of whole documents, taken from partitions "
                       "spread evenly over the corpus (the same ones on every run)")
    _options.add_partitioning(train)
    _options.add_cluster(train)


@dataclasses.dataclass(frozen=True)
class TrainRun:
    """What `train` is asked to do."""

    inputs: Inputs
    cluster: Cluster
    out: str
    k: int
    min_count: int
    max_model_bytes: int | None
    smoothing: str
    sample_bytes: int | None

    @classmethod
    def of(cls, args: argparse.Namespace) -> TrainRun:
        if not 0 <= args.k <= 8:
            raise UsageError("train: argument -k: must be between 0 and 8")
        return cls(Inputs.of(args), Cluster.of(args), args.out, args.k, args.min_count,
                   args.max_model_bytes, args.smoothing, args.sample_bytes)


def sample(partitions: list[Any], sample_bytes: int | None) -> list[tuple[int, int | None]]:
    """The partitions to count, by index, each with the bytes of text to take from its
    start (None: all of it): all of them without a sample; else partitions spread
    evenly over the corpus, at least SAMPLE_QUOTA bytes from each, about
    `sample_bytes` in all."""
    if sample_bytes is None or sample_bytes >= sum(p.size for p in partitions):
        return [(i, None) for i in range(len(partitions))]
    quota = max(sample_bytes // max(1, len(partitions)), SAMPLE_QUOTA)
    count = min(len(partitions), math.ceil(sample_bytes / quota))
    chosen = sorted({i * len(partitions) // count for i in range(count)})
    return [(i, quota) for i in chosen]


def _check_budget(k: int, max_bytes: int | None) -> None:
    """UsageError for a budget below the smallest model there is: the empty context
    alone."""
    if max_bytes is None:
        return
    probe = ContextCounts(k)
    probe.add(bytes(k + 1))  # a context of every length, the empty one among them
    try:
        probe.to_model(max_bytes=max_bytes)
    except ValueError as error:
        raise UsageError(f"train: argument --max-model-bytes: {error}") from None


def _peak_memory() -> int:
    """The peak resident memory of this process, in bytes."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def run(args: argparse.Namespace, started: float) -> int:
    asked = TrainRun.of(args)
    _options.check_writable_file(asked.out, asked.inputs.storage_options, "--out")
    _check_budget(asked.k, asked.max_model_bytes)
    corpus = _planning.corpus(asked.inputs)
    options, partitions = corpus.options, corpus.partitions
    if not partitions:
        raise UsageError(f"train: {NO_DOCUMENTS}")
    plan = sample(partitions, asked.sample_bytes)
    # The largest first, so that no large partition is left counting alone at the end.
    plan.sort(key=lambda item: -min(partitions[item[0]].size, item[1] or partitions[item[0]].size))
    progress = _cluster.Progress(asked.cluster, sum(min(partitions[i].size, q or partitions[i].size)
                                                    for i, q in plan))
    workers = 0
    out = _storage.absolute(asked.out)
    # The model is written beside --out and put there only once it is whole and the run
    # has not been interrupted: until then --out is as it was.
    temporary = _storage.temporary_beside(out)
    committed = False
    try:
        with _cluster.connect(asked.cluster) as (client, workers):
            if not _storage.is_remote(out):
                os.makedirs(os.path.dirname(out), exist_ok=True)
            partitions = _cluster.number_rows(client, partitions, options)
            made = _reduce(client, workers, partitions, plan, asked, options, progress,
                           temporary)
            if made.file_bytes:
                with _interrupts.held():  # not cut short half way
                    _storage.commit(temporary, out, asked.inputs.storage_options)
                    committed = True
                _interrupts.check()
            peaks = client.run(_peak_memory)
    except KeyboardInterrupt:
        progress.close()
        print(f"interrupted: the model was written to {asked.out}" if committed else
              f"interrupted: no model written ({asked.out} is as it was)")
        return EXIT_INTERRUPTED
    except _TaskFailed as failure:
        progress.close()
        print(f"qelt-corpus train: {failure}; no model written", file=sys.stderr)
        return EXIT_UNREADABLE
    finally:
        progress.close()
        if not committed:  # once the workers are gone, so that none still writes it
            _storage.discard(temporary, asked.inputs.storage_options)
    summary = made.summary
    if not summary.documents:
        raise UsageError(f"train: {NO_DOCUMENTS}")
    if not summary.text_bytes:
        raise UsageError("train: the inputs hold no bytes (every document is empty or "
                         "unreadable): no model written")
    summary.report_unreadable("the corpus", lambda m: print(m, file=sys.stderr))
    seconds = time.perf_counter() - started
    sampled = f" (a sample of {len(plan)} of {len(partitions)} partitions)" \
        if len(plan) < len(partitions) or any(q for _, q in plan) else ""
    print(f"trained on {summary.counts_line(corpus.skipped)}{sampled} in {seconds:.1f} s "
          f"({summary.text_bytes / MB / seconds:.1f} MB/s) on {workers} workers")
    kept = ", ".join(f"{count} of length {length}"
                     for length, count in enumerate(made.contexts_by_length))
    print(f"model: {asked.out} (k = {made.k}, min_count {made.min_count}, smoothing "
          f"{asked.smoothing}, "
          f"{made.file_bytes} bytes): {sum(made.contexts_by_length)} contexts kept, {kept}")
    print(f"peak memory: client {_peak_memory() / MB:.0f} MB, workers up to "
          f"{max(peaks.values(), default=0) / MB:.0f} MB")
    return EXIT_UNREADABLE if summary.unreadable else EXIT_OK


class _TaskFailed(Exception):
    """A count or merge failed on a worker: said in one line."""


def _reduce(client: Any, workers: int, partitions: list[Any],
            plan: list[tuple[int, int | None]], asked: TrainRun, options: Any,
            progress: _cluster.Progress, out: str) -> tasks.ModelMade:
    """Counts the planned partitions and merges the counts as they come, FAN_IN at a
    time on the worker that holds them (so that counts travel between workers only for
    the last merges; once every partition is under way, any two are merged), then
    makes the model of them all on a worker, which saves it at `out`."""
    from dask.distributed import as_completed

    queue = as_completed()
    waiting = iter(plan)
    drained = False  # every partition submitted
    counting: dict[str, tuple[int, int | None]] = {}  # future key -> plan item
    ready: dict[str, list[Any]] = {}  # worker address -> futures of counts not merged yet
    running = 0

    def submit_counts(count: int) -> None:
        nonlocal running, drained
        for _ in range(count):
            item = next(waiting, None)
            if item is None:
                drained = True
                return
            index, quota = item
            future = client.submit(tasks.count_partition, partitions[index], asked.k, options,
                                   quota, pure=False)
            counting[future.key] = item
            queue.add(future)
            running += 1

    def merge(group: list[Any], where: str | None) -> None:
        nonlocal running
        placement = {"workers": [where], "allow_other_workers": True} if where else {}
        # Merges go first: they free the memory of their parts.
        queue.add(client.submit(tasks.merge_counted, *group, pure=False, priority=10,
                                **placement))
        running += 1

    submit_counts(max(4, 2 * workers))
    for future in queue:
        _interrupts.check()
        running -= 1
        if future.status != "finished":
            raise _TaskFailed(_failure(future, counting))
        item = counting.pop(future.key, None)
        if item is not None:
            submit_counts(1)
            index, quota = item
            size = partitions[index].size if quota is None else min(partitions[index].size, quota)
            progress.done(size, client.submit(_text_bytes, future, pure=False).result())
        holder = (client.who_has([future]).get(future.key) or [None])[0]
        group = ready.setdefault(holder, [])
        group.append(future)
        if len(group) >= (2 if drained else FAN_IN) and running > 0:
            merge(list(group), holder)
            group.clear()
    last = [f for group in ready.values() for f in group]
    built = client.submit(tasks.build_model, out, asked.inputs.storage_options,
                          asked.min_count, asked.max_model_bytes, asked.smoothing, *last,
                          pure=False)
    try:
        return built.result()
    except Exception as error:
        raise _TaskFailed(f"making the model: {type(error).__name__}: {error}") from None


def _text_bytes(counted: tasks.Counted) -> int:
    return counted.summary.text_bytes


def _failure(future: Any, counting: dict[str, tuple[int, int | None]]) -> str:
    """One line for a task that failed."""
    error = future.exception()
    item = counting.get(future.key)
    what = "merging counts" if item is None else f"counting partition {item[0]}"
    return f"{what}: {type(error).__name__}: {error}"
