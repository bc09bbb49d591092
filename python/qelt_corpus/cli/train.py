"""``qelt-corpus train``: a context model of a whole corpus (or of a sample of it),
counted and built on the workers, none of which holds more than its share.

Partitions are counted a few per worker at a time, and each partition's counts are
split into shares by the last bytes of their contexts (qelt_corpus._shares): a
shuffle, the pieces of each share merged by a tree reduction of its own on the worker
that owns the share. How many shares there are follows from the first partition's
counts, the size of the corpus and the memory of the workers. Each share is then
surveyed where it lies; the surveys make the plan (a small reduce, on the client);
each share is built into its run of bytes of the model, written to a scratch
directory beside --out; and the model is put together from the runs and the few
bytes the plan gives, under a temporary name, then put at --out."""

from __future__ import annotations

import argparse
import dataclasses
import itertools
import math
import os
import resource
import sys
import time
from typing import Any

from .. import _kinds, _shares, _storage
from .._model import ContextCounts
from . import _cluster, _interrupts, _model_parts, _options, _planning
from ._settings import Cluster, Inputs
from ._summary import MB, Summary
from ._usage import EXIT_INTERRUPTED, EXIT_OK, EXIT_UNREADABLE, UsageError
from .tasks import train as tasks

NO_DOCUMENTS = "the inputs hold no documents: no model written"
FAN_IN = 4  # pieces of a share merged by one task
# A share is built within this much memory at most (less on workers of little memory):
# then a worker's peak does not grow with the corpus, which only makes more shares.
SHARE_BUILD_BYTES = 256 << 20
WORKER_START_BYTES = 400 << 20  # a worker's own memory, before any task
SAMPLE_QUOTA = 1 << 20  # a sample takes at least this many bytes from each partition it reads


def add_parser(commands: Any) -> None:
    train = commands.add_parser("train", help="train a context model on a corpus",
                                description="Count contexts on the workers, shuffle the "
                                "counts into shares by the last bytes of their contexts, build "
                                "each share where it lies, and write the model from the shares.")
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
    train.add_argument("--memory-limit", type=_options.size, metavar="SIZE",
                       default=argparse.SUPPRESS,
                       help="the memory of each local worker, as 1.5GiB, 800MB or bytes "
                       "('none' for no limit; default: the machine's memory over the "
                       "workers); each share of the build is made to fit within it")


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
        if hasattr(args, "memory_limit") and args.scheduler:
            raise UsageError("train: argument --memory-limit: sets the memory of local "
                             "workers; the workers of --scheduler have theirs (dask worker "
                             "--memory-limit)")
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
    storage = asked.inputs.storage_options
    # The model is written beside --out and put there only once it is whole and the run
    # has not been interrupted: until then --out is as it was. The shares' runs are
    # written beside it too, in a directory removed at the end whatever happens.
    temporary = _storage.temporary_beside(out)
    scratch = temporary + ".parts"
    committed = False
    try:
        with _cluster.connect(asked.cluster) as (client, workers):
            if not _storage.is_remote(out):
                os.makedirs(os.path.dirname(out), exist_ok=True)
            _model_parts.make_directory(scratch, storage)
            partitions = _cluster.number_rows(client, partitions, options)
            made = _Training(client, asked, options, progress).run(partitions, plan, temporary,
                                                                   scratch)
            if made.file_bytes:
                with _interrupts.held():  # not cut short half way
                    _storage.commit(temporary, out, storage)
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
        # Once the workers are gone, so that none still writes there.
        _model_parts.remove_directory(scratch, storage)
        if not committed:
            _storage.discard(temporary, storage)
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
    print(f"model: {asked.out} (k = {asked.k}, min_count {asked.min_count}, smoothing "
          f"{asked.smoothing}, "
          f"{made.file_bytes} bytes): {sum(made.contexts_by_length)} contexts kept, {kept}")
    worker_peaks = ", ".join(f"{peak / MB:.0f}" for peak in sorted(peaks.values(), reverse=True))
    print(f"built in {made.shares} shares; peak memory: client {_peak_memory() / MB:.0f} MB, "
          f"workers {worker_peaks} MB; temporary disk: {made.scratch_bytes / MB:.0f} MB of "
          f"shares beside --out (removed), {made.spilled_bytes / MB:.1f} MB of counts spilled "
          f"by the workers")
    return EXIT_UNREADABLE if summary.unreadable else EXIT_OK


class _TaskFailed(Exception):
    """A task failed on a worker, or the model could not be made: said in one line."""


@dataclasses.dataclass(frozen=True)
class ModelMade:
    """What was written: the contexts kept of each length, the size of the file, the
    summary of what was read, the shares built, the bytes of their runs, and the bytes
    of counts the workers had spilled to disk when the shares were built."""

    contexts_by_length: tuple[int, ...]
    file_bytes: int
    summary: Summary
    shares: int
    scratch_bytes: int
    spilled_bytes: int


class _Training:
    """One run's counting, shuffle and build on the cluster of `client`."""

    def __init__(self, client: Any, asked: TrainRun, options: Any,
                 progress: _cluster.Progress) -> None:
        self.client = client
        self.asked = asked
        self.options = options
        self.progress = progress
        self.settings = _shares.Settings(asked.smoothing, asked.min_count,
                                         asked.max_model_bytes or 0)
        workers = client.scheduler_info()["workers"]
        self.owners = sorted(workers)
        self.share_budget = _share_budget(workers.values())

    def owner(self, index: int) -> dict[str, Any]:
        """Where share `index`'s tasks run: its owner, unless it is gone."""
        return {"workers": [self.owners[index % len(self.owners)]], "allow_other_workers": True}

    def run(self, partitions: list[Any], plan: list[tuple[int, int | None]], temporary: str,
            scratch: str) -> ModelMade:
        bits, shares, summary = self.count(partitions, plan)
        if not summary.text_bytes:
            return ModelMade((), 0, summary, 0, 0, 0)
        built_plan = self.plan(shares, bits)
        runs = self.build(shares, bits, built_plan, scratch)
        spilled = sum(self.client.run(_spilled_bytes).values())
        del shares  # the counts of the shares are let go on the workers
        assembly = _shares.assemble(built_plan, bits, [run.sections for run in runs])
        _interrupts.check()
        try:
            _model_parts.write(temporary, assembly.size, assembly.rest([run.crc for run in runs]),
                               [(assembly.run_offset(run.index), run.location, run.size)
                                for run in runs], self.asked.inputs.storage_options)
        except (OSError, RuntimeError) as error:
            raise _TaskFailed(f"writing the model: {_storage.describe(error, temporary)}") \
                from None
        return ModelMade(tuple(built_plan.kept_contexts), assembly.size, summary, 1 << bits,
                         sum(run.size for run in runs), spilled)

    def count(self, partitions: list[Any], plan: list[tuple[int, int | None]]
              ) -> tuple[int, list[Any], Summary]:
        """Counts the planned partitions, splits each one's counts into shares and
        merges the pieces of each share as they come, FAN_IN at a time on its owner.
        Returns the bits of the shares, a future of each share's counts, and the summary
        of what was read."""
        from dask.distributed import as_completed

        client, asked = self.client, self.asked
        queue = as_completed()
        waiting = iter(plan)
        counting: dict[str, tuple[int, int | None]] = {}  # count task -> plan item
        split_already: set[str] = set()  # count tasks submitted once the bits were known
        share_of: dict[str, int] = {}  # piece or merge task -> its share
        bits: int | None = None
        ready: list[list[Any]] = []
        summary = Summary()
        planned = sum(min(partitions[i].size, q or partitions[i].size) for i, q in plan)

        def submit_counts(count: int) -> None:
            for item in itertools.islice(waiting, count):
                index, quota = item
                future = client.submit(tasks.count_partition, partitions[index], asked.k,
                                       self.options, quota, bits, pure=False)
                counting[future.key] = item
                if bits is not None:
                    split_already.add(future.key)
                queue.add(future)

        def add_pieces(counted: Any, holder: str | None) -> None:
            placement = {"workers": [holder], "allow_other_workers": True} if holder else {}
            for share in range(1 << bits):
                piece = client.submit(tasks.piece, counted, share, pure=False, **placement)
                share_of[piece.key] = share
                queue.add(piece)

        submit_counts(max(4, 2 * len(self.owners)))
        for future in queue:
            _interrupts.check()
            if future.status != "finished":
                raise _TaskFailed(_failure(future, counting))
            item = counting.pop(future.key, None)
            if item is None:  # a piece of a share, or a merge of some
                share = share_of.pop(future.key)
                ready[share].append(future)
                if len(ready[share]) >= FAN_IN:
                    self.merge(queue, share_of, share, ready[share])
                    ready[share] = []
                continue
            submit_counts(1)
            index, quota = item
            size = partitions[index].size if quota is None else min(partitions[index].size, quota)
            read, windows = client.submit(tasks.read_of, future, pure=False).result()
            summary.add(read)
            self.progress.done(size, read.text_bytes)
            holder = (client.who_has([future]).get(future.key) or [None])[0]
            if bits is None:
                # The first partition counted tells how many windows the corpus has,
                # at most: as many per byte.
                estimate = windows * planned // max(1, size)
                bits = _shares.share_bits(asked.k, estimate, self.share_budget,
                                          least_shares=2 * len(self.owners))
                ready = [[] for _ in range(1 << bits)]
            if future.key in split_already:
                split_already.discard(future.key)
                add_pieces(future, holder)
            else:
                add_pieces(client.submit(tasks.split_counted, future, bits, pure=False,
                                         **({"workers": [holder], "allow_other_workers": True}
                                            if holder else {})), holder)
        assert bits is not None
        shares = []
        for share, pieces in enumerate(ready):
            shares.append(pieces[0] if len(pieces) == 1 else
                          client.submit(tasks.merge_pieces, *pieces, pure=False,
                                        **self.owner(share)))
        return bits, shares, summary

    def merge(self, queue: Any, share_of: dict[str, int], share: int, pieces: list[Any]) -> None:
        # Merges go first: they free the memory of their parts.
        merged = self.client.submit(tasks.merge_pieces, *pieces, pure=False, priority=10,
                                    **self.owner(share))
        share_of[merged.key] = share
        queue.add(merged)

    def plan(self, shares: list[Any], bits: int) -> _shares.Plan:
        """The plan of the build, from a survey of each share where it lies; with a
        budget that falls among contexts of one count and length, the key it falls at,
        searched for over the shares' candidates, which stay on the workers."""
        client = self.client
        surveys = self.gather([client.submit(tasks.survey, share, index, bits, self.settings,
                                             pure=False, **self.owner(index))
                               for index, share in enumerate(shares)], "surveying a share")
        try:
            plan = _shares.plan(surveys, self.asked.k, self.settings)
        except (ValueError, OverflowError) as error:
            raise _TaskFailed(f"making the model: {type(error).__name__}: {error}") from None
        if not plan.needs_cut_key:
            return plan
        [plan_future] = client.scatter([plan], broadcast=True)
        candidates = [client.submit(tasks.candidates, share, index, bits, plan_future,
                                    pure=False, **self.owner(index))
                      for index, share in enumerate(shares)]

        def ask(points: Any) -> tuple[Any, Any]:
            _interrupts.check()
            answers = self.gather([client.submit(tasks.at_most, c, points, pure=False)
                                   for c in candidates], "searching a share's candidates")
            return sum(a for a, _ in answers), sum(p for _, p in answers)

        return _shares.settle(plan, ask)

    def build(self, shares: list[Any], bits: int, plan: _shares.Plan,
              scratch: str) -> list[tasks.RunWritten]:
        """Each share built where it lies, its run written to `scratch`."""
        client = self.client
        [plan_future] = client.scatter([plan], broadcast=True)
        runs = self.gather([client.submit(tasks.build, share, index, bits, plan_future, scratch,
                                          self.asked.inputs.storage_options, pure=False,
                                          **self.owner(index))
                            for index, share in enumerate(shares)], "building a share")
        return sorted(runs, key=lambda run: run.index)

    def gather(self, futures: list[Any], what: str) -> list[Any]:
        """The results of `futures` in their order; _TaskFailed, in one line, for the
        first that failed."""
        from dask.distributed import as_completed

        for future in as_completed(futures):
            _interrupts.check()
            if future.status != "finished":
                error = future.exception()
                raise _TaskFailed(f"{what}: {type(error).__name__}: {error}")
        return self.client.gather(futures)


def _spilled_bytes(dask_worker: Any) -> int:
    """The bytes a worker holds spilled to its local directory now."""
    total = getattr(dask_worker.data, "spilled_total", None)
    return int(total.disk) if total is not None else 0


def _share_budget(workers: Any) -> int:
    """The memory a share's build may take: SHARE_BUILD_BYTES, or less where a worker
    (of the least memory per thread) has less to give beside what it holds anyway."""
    import psutil

    least = None
    for info in workers:
        limit = info.get("memory_limit") or psutil.virtual_memory().total
        per_task = limit // max(1, info.get("nthreads", 1))
        least = per_task if least is None else min(least, per_task)
    least = least or psutil.virtual_memory().total
    return max(32 << 20, min(SHARE_BUILD_BYTES, (least - WORKER_START_BYTES) // 3))


def _failure(future: Any, counting: dict[str, tuple[int, int | None]]) -> str:
    """One line for a task that failed."""
    error = future.exception()
    item = counting.get(future.key)
    what = "merging counts" if item is None else f"counting partition {item[0]}"
    return f"{what}: {type(error).__name__}: {error}"
