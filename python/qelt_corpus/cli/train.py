"""``qelt-corpus train``: a context model of a whole corpus (or of a sample of it),
counted and built on the workers, each within the memory it is given (cli/_memory).

Partitions are counted a few per worker at a time, each into its counts file in the
run's scratch directory beside --out (cli/_train_scratch), split into pieces by the
last bytes of their contexts and written out whenever they grow to the task's budget.
Those files are kept until the model is written, so that a run cut short goes on from
the partitions it counted (--resume). Once every partition is counted, the pieces say
how many windows each share would hold: the build is cut into the fewest shares whose
largest fits a task's budget, and each share's pieces are merged on the worker that
owns the share (a shuffle through the scratch directory). Each share is then surveyed
where it lies; the surveys make the plan (a small reduce, on the client); each share
is built into its run of bytes of the model, written to the scratch directory; and the
model is put together from the runs and the few bytes the plan gives, under a
temporary name, then put at --out."""

from __future__ import annotations

import argparse
import dataclasses
import hashlib
import math
import os
import resource
import sys
import time
from typing import Any

import numpy as np

from .. import _kinds, _shares, _storage
from .._model import MAX_K, ContextCounts
from . import _cluster, _interrupts, _memory, _model_parts, _options, _planning
from . import _train_scratch as scratches
from ._settings import Cluster, Inputs
from ._summary import MB, Summary
from ._usage import EXIT_INTERRUPTED, EXIT_OK, EXIT_UNREADABLE, EXIT_USAGE, UsageError, error_line
from .tasks import train as tasks

NO_DOCUMENTS = "the inputs hold no documents: no model written"
SAMPLE_QUOTA = 1 << 20  # a sample takes at least this many bytes from each partition it reads


def add_parser(commands: Any) -> None:
    train = commands.add_parser("train", help="train a context model on a corpus",
                                description="Count contexts on the workers into a scratch "
                                "directory beside --out, merge the counts into shares by the "
                                "last bytes of their contexts, build each share where it lies, "
                                "and write the model from the shares.")
    _options.add_inputs(train)
    train.add_argument("--out", required=True, metavar="MODEL", help="model file to write")
    train.add_argument("-k", type=int, required=True, help=f"context length, 0 to {MAX_K}")
    train.add_argument("--min-count", type=_options.positive_int, default=1, metavar="N",
                       help="drop contexts seen fewer than N times (default 1)")
    train.add_argument("--max-model-bytes", type=_options.size, metavar="SIZE",
                       help="keep the model file within SIZE (300MB, 2GiB or bytes), leaving "
                       "out the rarest contexts (the longer first among equally rare ones)")
    train.add_argument("--smoothing", choices=_kinds.NAMES, default=_kinds.NAMES[0],
                       help="how to estimate the next-byte distributions (default "
                       f"{_kinds.NAMES[0]}): "
                       + "; ".join(f"{name}, {_kinds.SUMMARIES[name]}" for name in _kinds.NAMES))
    train.add_argument("--sample-bytes", type=_options.size, metavar="SIZE",
                       help="count about SIZE of whole documents, taken from partitions "
                       "spread evenly over the corpus (the same ones on every run)")
    train.add_argument("--resume", action="store_true",
                       help="go on from the partitions an interrupted run of the same "
                       "command counted (kept in a directory beside --out)")
    train.add_argument("--overwrite", action="store_true",
                       help="replace the model at --out if there is one (else refused)")
    _options.add_partitioning(train)
    _options.add_cluster(train)
    train.add_argument("--memory-limit", type=_options.size_or_none, metavar="SIZE",
                       default=argparse.SUPPRESS,
                       help="the memory of each local worker, as 1.5GiB, 800MB or bytes "
                       "('none' for no limit; default: the machine's memory over the "
                       "workers); every step keeps within it, and a limit below "
                       f"{_memory.least_limit() // MB} MB is refused")


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
    resume: bool = False
    overwrite: bool = False

    @classmethod
    def of(cls, args: argparse.Namespace) -> TrainRun:
        if not 0 <= args.k <= MAX_K:
            raise UsageError(f"argument -k: must be between 0 and {MAX_K}")
        if hasattr(args, "memory_limit") and args.scheduler:
            raise UsageError("argument --memory-limit: sets the memory of local workers; the "
                             "workers of --scheduler have theirs (dask worker --memory-limit)")
        if getattr(args, "memory_limit", None) is not None and \
                args.memory_limit < _memory.least_limit():
            raise UsageError(f"argument --memory-limit: {args.memory_limit / MB:g} MB is below "
                             f"the least that train works in, {_memory.least_limit() // MB} MB "
                             "per worker (its own memory, a batch of documents being read and "
                             "the least task)")
        return cls(Inputs.of(args), Cluster.of(args), args.out, args.k, args.min_count,
                   args.max_model_bytes, args.smoothing, args.sample_bytes, args.resume,
                   args.overwrite)

    def made_by(self, partitions: list[Any], plan: list[tuple[int, int | None]]
                ) -> dict[str, Any]:
        """What makes the counts and the model: a resumed run must have the same."""
        inputs = self.inputs
        return {
            "version": scratches.VERSION, "command": "train",
            "inputs": [_storage.absolute(i) for i in inputs.locations],
            "format": inputs.format, "column": inputs.column,
            "partition_bytes": inputs.partition_bytes, "k": self.k,
            "min_count": self.min_count, "max_model_bytes": self.max_model_bytes,
            "smoothing": self.smoothing, "sample_bytes": self.sample_bytes,
            "partitions": len(partitions),
            "plan": hashlib.sha256(repr((list(partitions), plan)).encode()).hexdigest(),
        }


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
        raise UsageError(f"argument --max-model-bytes: {error}") from None


def _check_out(asked: TrainRun) -> None:
    """UsageError unless the model can be written at --out: a model already there is
    replaced only with --overwrite."""
    storage = asked.inputs.storage_options
    _options.check_writable_file(asked.out, storage, "--out")
    if asked.overwrite:
        return
    fs, path = _storage.resolve(asked.out, storage)
    try:
        exists = os.path.exists(path) if fs is None else fs.exists(path)
    except Exception as error:
        raise UsageError(f"--out {_storage.describe(error, asked.out)}") from None
    if exists:
        raise UsageError(f"--out {asked.out} exists: --overwrite to replace it")


def _peak_memory() -> int:
    """The peak resident memory of this process, in bytes."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


class _NeedsMemory(Exception):
    """The workers have too little memory for this run: said in one line (exit 2)."""


def run(args: argparse.Namespace, started: float) -> int:
    asked = TrainRun.of(args)
    _check_out(asked)
    _check_budget(asked.k, asked.max_model_bytes)
    corpus = _planning.corpus(asked.inputs)
    options, partitions = corpus.options, corpus.partitions
    if not partitions:
        raise UsageError(NO_DOCUMENTS)
    plan = sample(partitions, asked.sample_bytes)
    out = _storage.absolute(asked.out)
    storage = asked.inputs.storage_options
    made_by = asked.made_by(partitions, plan)
    scratch = scratches.check(out, asked.resume, made_by, storage)
    try:
        counted = scratch.records() if asked.resume else {}
    except scratches.DamagedScratch as error:
        raise UsageError(f"--resume: {error}: remove {scratch.location} and run again") from None
    # The model is written beside --out and put there only once it is whole and the run
    # has not been interrupted: until then --out is as it was. The counts stay in the
    # scratch directory until then, for --resume; the runs of the build are removed
    # whatever happens.
    temporary = _storage.temporary_beside(out)
    committed = False
    workers = 0
    training: _Training | None = None
    try:
        with _cluster.connect(asked.cluster) as (client, workers):
            budget = _measured_budget(client)
            if not _storage.is_remote(out):
                os.makedirs(os.path.dirname(out), exist_ok=True)
            scratches.start(scratch, made_by)
            partitions = _cluster.number_rows(client, partitions, options)
            training = _Training(client, asked, options, budget, scratch)
            made = training.run(partitions, plan, counted, temporary)
            if made.file_bytes:
                with _interrupts.held():  # not cut short half way
                    _storage.commit(temporary, out, storage)
                    committed = True
                _interrupts.check()
            peaks = client.run(_peak_memory)
    except KeyboardInterrupt:
        print(f"interrupted: the model was written to {asked.out}" if committed else
              f"interrupted: no model written ({asked.out} is as it was)"
              + _kept(scratch, len(plan)))
        return EXIT_INTERRUPTED
    except _NeedsMemory as failure:
        print(error_line("train", f"{failure}; no model written{_kept(scratch, len(plan))}"),
              file=sys.stderr)
        return EXIT_USAGE
    except (_cluster.TaskFailed, _cluster.Stalled) as failure:
        print(error_line("train", f"{failure}; no model written{_kept(scratch, len(plan))}"),
              file=sys.stderr)
        return EXIT_UNREADABLE
    finally:
        if training is not None:
            training.close()
        # Once the workers are gone, so that none still writes there.
        if committed:
            scratch.remove()
        else:
            _storage.discard(temporary, storage)
    summary = made.summary
    if not summary.documents:
        raise UsageError(NO_DOCUMENTS)
    if not summary.text_bytes:
        raise UsageError("the inputs hold no bytes (every document is empty or unreadable): "
                         "no model written")
    summary.report_unreadable("the corpus", lambda m: print(m, file=sys.stderr))
    seconds = time.perf_counter() - started
    sampled = f" (a sample of {len(plan)} of {len(partitions)} partitions)" \
        if len(plan) < len(partitions) or any(q for _, q in plan) else ""
    resumed = (f"; {len(counted)} of {len(plan)} partitions were counted before"
               if counted else "")
    print(f"trained on {summary.counts_line(corpus.skipped)}{sampled} in {seconds:.1f} s "
          f"({summary.text_bytes / MB / seconds:.1f} MB/s) on {workers} workers{resumed}")
    kept = ", ".join(f"{count} of length {length}"
                     for length, count in enumerate(made.contexts_by_length))
    print(f"model: {asked.out} (k = {asked.k}, min_count {asked.min_count}, smoothing "
          f"{asked.smoothing}, "
          f"{made.file_bytes} bytes): {sum(made.contexts_by_length)} contexts kept, {kept}")
    worker_peaks = ", ".join(f"{peak / MB:.0f}" for peak in sorted(peaks.values(), reverse=True))
    print(f"built in {made.shares} shares; peak memory: client {_peak_memory() / MB:.0f} MB, "
          f"workers {worker_peaks} MB; temporary disk: {made.counts_bytes / MB:.0f} MB of "
          f"counts and {made.runs_bytes / MB:.0f} MB of shares beside --out (removed), "
          f"{made.spilled_bytes / MB:.1f} MB of counts spilled by the workers")
    return EXIT_UNREADABLE if summary.unreadable else EXIT_OK


def _kept(scratch: scratches.Scratch, planned: int) -> str:
    """What a run that did not write the model says of the counts it leaves: kept for
    --resume, or nothing (the scratch directory is then removed)."""
    try:
        counted = len(scratch.records())
    except Exception:  # damaged or unreachable: left as it is, for --resume to judge
        return f"; the counts so far are in {scratch.location}"
    if not counted:
        scratch.remove()
        return "; nothing was counted"
    return (f"; the counts of {counted} of {planned} partitions are kept in {scratch.location}: "
            "run the same command with --resume to go on from them")


def _measured_budget(client: Any) -> _memory.Budget:
    """What a task may take on the workers of `client`, their own memory measured;
    UsageError if that leaves less than the least task."""
    workers = client.scheduler_info()["workers"]
    own = max(client.run(_memory.worker_bytes).values(), default=_memory.WORKER_BYTES)
    budget = _memory.Budget.of(workers.values(), own)
    if not budget.enough:
        least = min(info.get("memory_limit") or 0 for info in workers.values())
        raise UsageError(f"the workers have {least / MB:.0f} MB of memory each and take "
                         f"{own / MB:.0f} MB of it themselves: train needs at least "
                         f"{_memory.least_limit(own) // MB} MB per worker (of one thread)")
    return budget


@dataclasses.dataclass(frozen=True)
class ModelMade:
    """What was written: the contexts kept of each length, the size of the file, the
    summary of what was read, the shares built, the bytes of the counts files and of
    the shares' runs, and the bytes the workers had spilled to disk."""

    contexts_by_length: tuple[int, ...]
    file_bytes: int
    summary: Summary
    shares: int
    counts_bytes: int
    runs_bytes: int
    spilled_bytes: int


class _Training:
    """One run's counting, shuffle and build on the cluster of `client`."""

    def __init__(self, client: Any, asked: TrainRun, options: Any, budget: _memory.Budget,
                 scratch: scratches.Scratch) -> None:
        self.client = client
        self.asked = asked
        self.options = options
        self.budget = budget
        self.scratch = scratch
        self.settings = _shares.Settings(asked.smoothing, asked.min_count,
                                         asked.max_model_bytes or 0)
        self.owners = sorted(client.scheduler_info()["workers"])
        self.runs: list[tasks.RunWritten] = []
        self.progress: _cluster.Progress | None = None

    def close(self) -> None:
        """Closes the progress bar, and removes the runs of the build written so far and
        what writes cut short left (once the workers are gone): the counts stay."""
        if self.progress is not None:
            self.progress.close()
        storage = self.asked.inputs.storage_options
        for name in self.scratch.names():
            if (name.startswith("share-") and name.endswith(".run")) or \
                    (name.startswith(".") and name.endswith(".tmp")):
                _storage.discard(self.scratch.join(name), storage)

    def owner(self, index: int) -> dict[str, Any]:
        """Where share `index`'s tasks run: its owner, unless it is gone."""
        return {"workers": [self.owners[index % len(self.owners)]], "allow_other_workers": True}

    def show(self, total: int, what: str, unit: str = "B") -> _cluster.Progress:
        if self.progress is not None:
            self.progress.close()
        self.progress = _cluster.Progress(self.asked.cluster, total, what, unit)
        return self.progress

    def run(self, partitions: list[Any], plan: list[tuple[int, int | None]],
            counted: dict[int, scratches.Record], temporary: str) -> ModelMade:
        records = self.count(partitions, plan, counted)
        summary = Summary()
        for record in records:
            summary.add(record.summary)
        counts_bytes = sum(record.file_bytes for record in records)
        if not summary.text_bytes:
            return ModelMade((), 0, summary, 0, counts_bytes, 0, 0)
        bits = self.share_bits(records)
        shares = self.gather(records, bits)
        built_plan = self.plan(shares, bits)
        runs = self.build(shares, bits, built_plan)
        spilled = sum(self.client.run(_spilled_bytes).values())
        del shares  # the counts of the shares are let go on the workers
        assembly = _shares.assemble(built_plan, bits, [run.sections for run in runs])
        _interrupts.check()
        try:
            _model_parts.write(temporary, assembly.size, assembly.rest([run.crc for run in runs]),
                               [(assembly.run_offset(run.index), run.location, run.size)
                                for run in runs], self.asked.inputs.storage_options)
        except (OSError, RuntimeError) as error:
            raise _cluster.TaskFailed(
                f"writing the model: {_storage.describe(error, temporary)}") from None
        return ModelMade(tuple(built_plan.kept_contexts), assembly.size, summary, 1 << bits,
                         counts_bytes, sum(run.size for run in runs), spilled)

    def count(self, partitions: list[Any], plan: list[tuple[int, int | None]],
              counted: dict[int, scratches.Record]) -> list[scratches.Record]:
        """Counts the planned partitions not counted yet into their counts files; the
        records of every planned partition."""
        asked, client = self.asked, self.client
        records = dict(counted)

        def size(item: tuple[int, int | None]) -> int:
            index, quota = item
            return partitions[index].size if quota is None else min(partitions[index].size, quota)

        # The largest first, so that no large partition is left counting alone at the end.
        todo = sorted((item for item in plan if item[0] not in records), key=lambda i: -size(i))
        progress = self.show(sum(map(size, todo)), "counting")
        counting = self.budget.counting()

        def submit(position: int) -> Any:
            index, quota = todo[position]
            return client.submit(tasks.count_partition, index, partitions[index], asked.k,
                                 self.options, quota, counting, self.scratch.location,
                                 asked.inputs.storage_options, pure=False)

        for position, future in _cluster.completed(range(len(todo)), submit,
                                                   max(4, 2 * len(self.owners)), client):
            index = todo[position][0]
            if future.status != "finished":
                raise _cluster.TaskFailed(
                    f"counting partition {index}: {_cluster.failure_of(future)}")
            record = future.result()
            records[index] = record
            progress.done(size(todo[position]), record.summary.text_bytes)
        return [records[index] for index, _ in plan]

    def share_bits(self, records: list[scratches.Record]) -> int:
        """The bits of the fewest shares (two per worker at least) whose largest build
        takes at most Budget.build_bytes; or, where even the most shares do not (a pair
        of last bytes that ends very many contexts: two spaces, in code), the fewest
        whose largest is not much larger than that pair's share; _NeedsMemory if even
        the most shares do not fit a task's budget."""
        windows = np.zeros(1 << scratches.SPLIT_BITS, dtype=np.uint64)
        for record in records:
            windows += record.windows()
        least = 2 * len(self.owners)
        bits, need = _shares.share_bits(self.asked.k, windows, self.budget.build_bytes, least)
        if need > self.budget.build_bytes:
            # The largest piece alone is over: the fewest shares whose largest takes no
            # more than half again as much as it, within the task.
            largest = _shares.build_bytes(self.asked.k, int(windows.max()))
            target = min(self.budget.task_bytes, max(need, 3 * largest // 2))
            bits, need = _shares.share_bits(self.asked.k, windows, target, least)
        if need > self.budget.task_bytes:
            least = _memory.limit_needed(need, self.budget.worker_bytes)
            raise _NeedsMemory(f"building the largest share of these counts at k = "
                               f"{self.asked.k} takes about {need / MB:.0f} MB, more than a "
                               f"task has: give each worker at least {least // MB} MB "
                               "(--memory-limit)")
        return bits

    def gather(self, records: list[scratches.Record], bits: int) -> list[Any]:
        """Each share's counts, merged from its pieces on its owner (futures)."""
        client, asked = self.client, self.asked
        [records_future] = client.scatter([records], broadcast=True)
        shares = [client.submit(tasks.gather_share, index, bits, asked.k, records_future,
                                self.scratch.location, asked.inputs.storage_options,
                                self.budget.merge_bytes, pure=False, **self.owner(index))
                  for index in range(1 << bits)]
        self.wait(shares, "merging the counts of a share", "merging")
        return shares

    def plan(self, shares: list[Any], bits: int) -> _shares.Plan:
        """The plan of the build, from a survey of each share where it lies; with a
        budget that falls among contexts of one count and length, the key it falls at,
        searched for over the shares' candidates, which stay on the workers."""
        client = self.client
        surveys = self.results([client.submit(tasks.survey, share, index, bits, self.settings,
                                              pure=False, **self.owner(index))
                                for index, share in enumerate(shares)], "surveying a share",
                               "surveying")
        try:
            plan = _shares.plan(surveys, self.asked.k, self.settings)
        except (ValueError, OverflowError) as error:
            raise _cluster.TaskFailed(
                f"making the model: {type(error).__name__}: {error}") from None
        if not plan.needs_cut_key:
            return plan
        [plan_future] = client.scatter([plan], broadcast=True)
        candidates = [client.submit(tasks.candidates, share, index, bits, plan_future,
                                    pure=False, **self.owner(index))
                      for index, share in enumerate(shares)]

        def ask(points: Any) -> tuple[Any, Any]:
            answers = self.results([client.submit(tasks.at_most, c, points, pure=False)
                                    for c in candidates], "searching a share's candidates")
            return sum(a for a, _ in answers), sum(p for _, p in answers)

        return _shares.settle(plan, ask)

    def build(self, shares: list[Any], bits: int, plan: _shares.Plan) -> list[tasks.RunWritten]:
        """Each share built where it lies, its run written to the scratch directory."""
        client = self.client
        [plan_future] = client.scatter([plan], broadcast=True)
        runs = self.results([client.submit(tasks.build, share, index, bits, plan_future,
                                           self.scratch.location,
                                           self.asked.inputs.storage_options, pure=False,
                                           **self.owner(index))
                             for index, share in enumerate(shares)], "building a share",
                            "building")
        return sorted(runs, key=lambda run: run.index)

    def wait(self, futures: list[Any], what: str, showing: str | None = None) -> None:
        """Waits for `futures` to end, with a progress bar `showing` if given;
        _cluster.TaskFailed, in one line, for the first that failed."""
        from dask.distributed import as_completed

        progress = self.show(len(futures), showing, "shares") if showing else None
        for future in _cluster.finished(as_completed(futures), self.client):
            if future.status != "finished":
                raise _cluster.TaskFailed(f"{what}: {_cluster.failure_of(future)}")
            if progress is not None:
                progress.done(1)

    def results(self, futures: list[Any], what: str, showing: str | None = None) -> list[Any]:
        """The results of `futures` in their order (as wait)."""
        self.wait(futures, what, showing)
        return self.client.gather(futures)  # type: ignore[no-any-return]


def _spilled_bytes(dask_worker: Any) -> int:
    """The bytes a worker holds spilled to its local directory now."""
    total = getattr(dask_worker.data, "spilled_total", None)
    return int(total.disk) if total is not None else 0
