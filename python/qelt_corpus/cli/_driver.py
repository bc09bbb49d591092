"""The one loop of the commands that write a directory of outputs (patch, pack): plan
the corpus, check --out, skip the outputs an earlier run completed, submit the rest a
few at a time, and add up what the directory holds at the end. A command differs only
in its Job: how it groups partitions into outputs, the task that writes one, and what
it prints of the result.
"""

from __future__ import annotations

import dataclasses
import os
import sys
import time
from typing import Any, Callable, Protocol

from .. import _storage
from . import _cluster, _manifest, _planning
from ._settings import Cluster, Inputs, Patching
from ._summary import MB, Summary
from ._usage import EXIT_INTERRUPTED, EXIT_OK, EXIT_UNREADABLE, error_line
from .tasks._documents import Patcher


@dataclasses.dataclass(frozen=True)
class DirectoryRun:
    """What a command that writes a directory of outputs is asked to do."""

    command: str
    inputs: Inputs
    cluster: Cluster
    patching: Patching
    out: str
    resume: bool


class Job(Protocol):
    """What a command writes: one output per group of partitions."""

    verb: str  # what the summary says was done to the text: "patched", "packed"
    doing: str  # what the progress bar says is being done: "patching", "packing"
    noun: str  # what its outputs are called: "partitions", "shards"
    in_flight_per_worker: int
    # task(index, partitions, out, patcher, options) -> a result, on a worker
    task: Callable[..., Any]

    def groups(self, partitions: list[Any]) -> list[list[int]]:
        """The partitions of each output, by index; the same for the same input; one
        output of no partitions for an input without any."""

    def settings(self, partitions: list[Any]) -> dict[str, Any]:
        """What, beside the common options, makes its outputs: a resumed run must have
        the same."""

    def is_ours(self, name: str) -> bool:
        """Whether a file of --out is one this command writes."""

    def name(self, index: int) -> str:
        """The name of output `index`, as messages give it."""

    def completion_marker(self, index: int) -> str:
        """The name of the file whose presence says that output `index` is whole."""

    def summary_of(self, result: Any) -> Summary:
        """The summary of what a task read and wrote, from its result."""

    def stored(self, output: _manifest.Output, index: int, options: Any) -> Summary:
        """The summary that the whole output `index` keeps."""

    def finish(self, run: Run) -> tuple[str, list[str]]:
        """Once the loop is over: the lines of the summary that follow the first (one
        saying what the directory holds), and the problems met writing them."""


@dataclasses.dataclass
class Run:
    """What a run found, did and left."""

    asked: DirectoryRun
    output: _manifest.Output
    corpus: _planning.Corpus
    groups: list[list[int]]
    done: set[int]  # whole before this run
    whole: list[int] = dataclasses.field(default_factory=list)  # whole now
    stored: dict[int, Summary] = dataclasses.field(default_factory=dict)  # of the whole ones
    failed: list[str] = dataclasses.field(default_factory=list)
    retryable: int = 0  # of the failed, those another try may finish
    interrupted: bool = False
    stalled: str | None = None  # why the cluster stopped making progress, if it did
    workers: int = 0

    def total(self, indices: Any = None) -> Summary:
        total = Summary()
        for index in self.stored if indices is None else indices:
            total.add(self.stored[index])
        return total


def model_identity(asked: DirectoryRun) -> list[Any] | None:
    """The identity of the run's model, once it is known to load (None without one);
    UsageError for a model that cannot be used."""
    from ._options import load_model

    patching = asked.patching
    if not patching.model:
        return None
    load_model(patching.model, asked.inputs.storage_options, asked.command,
               reading=patching.reading)
    return _manifest.model_identity(patching.model, asked.inputs.storage_options)


def run(asked: DirectoryRun, started: float, job: Job) -> int:
    identity = model_identity(asked)
    corpus = _planning.corpus(asked.inputs)
    partitions = corpus.partitions
    groups = job.groups(partitions)
    made_by = _manifest.manifest(asked.inputs, asked.patching, partitions, identity,
                                 **job.settings(partitions))
    output = _manifest.check(asked.out, asked.resume, made_by, asked.inputs.storage_options,
                             job.is_ours)
    out = output.location if output.fs is not None else output.path
    patching = asked.patching
    patcher = Patcher(
        patching, model=None if patching.model is None else _storage.absolute(patching.model),
        model_identity=tuple(identity or ()), storage_options=asked.inputs.storage_options)
    state = Run(asked, output, corpus, groups,
                {i for i in range(len(groups)) if job.completion_marker(i) in output.names})
    size_of = [sum(partitions[p].size for p in group) for group in groups]
    # The largest first, so that no large output is left being written alone at the end.
    todo = sorted((i for i in range(len(groups)) if i not in state.done),
                  key=lambda i: -size_of[i])
    progress = _cluster.Progress(asked.cluster, sum(size_of[i] for i in todo), job.doing)
    try:
        with _cluster.connect(asked.cluster) as (client, state.workers):
            _manifest.write(output, made_by)
            partitions = _cluster.number_rows(client, partitions, corpus.options)

            def submit(index: int) -> Any:
                return client.submit(job.task, index, [partitions[p] for p in groups[index]],
                                     out, patcher, corpus.options, pure=False)

            for index, future in _cluster.completed(
                    todo, submit, max(4, job.in_flight_per_worker * state.workers), client):
                name = job.name(index)
                if future.status != "finished":
                    state.failed.append(name)
                    state.retryable += retryable(future)
                    progress.write(f"error: {name}: {_cluster.failure_of(future)}")
                    continue
                summary = job.summary_of(future.result())
                summary.report_unreadable(name, progress.write)
                progress.done(size_of[index], summary.text_bytes)
    except KeyboardInterrupt:
        state.interrupted = True
    except _cluster.Stalled as stalled:
        state.stalled = str(stalled)
    finally:
        progress.close()
        if output.fs is not None or os.path.isdir(output.path):
            _manifest.remove_partial_files(output)
    return _report(started, job, state)


def _report(started: float, job: Job, state: Run) -> int:
    """Prints what the directory holds now (the outputs of earlier runs, of this one,
    and any that a worker finished while an interrupted run was shutting down), all
    read back from the outputs themselves so that every line counts the same bytes;
    the exit status."""
    problems = list(state.failed)
    try:
        present = set(_manifest.names(state.output))
        if state.interrupted and _manifest.MANIFEST not in present:
            say(f"interrupted before anything was written: {state.asked.out} is as it was")
            return EXIT_INTERRUPTED
        state.whole = [i for i in range(len(state.groups))
                       if job.completion_marker(i) in present]
        state.stored = {i: job.stored(state.output, i, state.corpus.options)
                        for i in state.whole}
    except Exception as error:  # the output cannot be read back (a store that is down)
        print(f"error: reading back {state.asked.out}: {_storage.first_line(error)}",
              file=sys.stderr)
        problems.append("summary")
    total = state.total()
    this_run = state.total(i for i in state.whole if i not in state.done)
    seconds = time.perf_counter() - started
    mean = total.text_bytes / total.patches if total.patches else 0.0
    lines, more_problems = job.finish(state)
    problems += more_problems
    already = len(state.done)
    say(f"{'interrupted: ' if state.interrupted else ''}"
        f"{total.counts_line(state.corpus.skipped)} in {total.patches} patches, mean patch "
        f"length {mean:.2f} bytes")
    say(f"{this_run.text_bytes / MB:.1f} MB {job.verb} in {seconds:.1f} s "
        f"({this_run.text_bytes / MB / seconds:.1f} MB/s) on {state.workers} workers"
        + (f"; {already} of {len(state.groups)} {job.noun} were already done" if already
           else ""))
    say(lines)
    if not total.documents and not state.interrupted and not problems:
        say(f"the inputs hold no documents: {state.asked.out} holds an empty output")
    if state.interrupted:
        say("run the same command with --resume to finish", error=True)
        return EXIT_INTERRUPTED
    if state.stalled:
        say(error_line(state.asked.command, f"{state.stalled}; run the same command with "
                       "--resume to finish"), error=True)
        return EXIT_UNREADABLE
    if state.failed:
        say(f"{len(state.failed)} {job.noun} failed" +
            ("; run the same command with --resume to retry" if state.retryable else ""),
            error=True)
    return EXIT_UNREADABLE if problems or total.unreadable else EXIT_OK


def retryable(future: Any) -> bool:
    """Whether a failed task may succeed if tried again (with --resume): what failed was
    a store, a disk, the memory or a worker, not what the data holds."""
    if future.status != "error":
        return True  # cancelled or lost: nothing about the data
    error = future.exception()
    module = type(error).__module__.split(".")[0]
    return isinstance(error, (OSError, ConnectionError, TimeoutError, MemoryError)) or module in (
        "distributed", "tornado", "botocore", "aiobotocore", "aiohttp", "urllib3", "requests",
        "fsspec", "s3fs", "gcsfs", "huggingface_hub") or type(error).__name__ in (
        "KilledWorker", "CancelledError", "FutureCancelledError", "CommClosedError")


def say(text: str, *, error: bool = False) -> None:
    """Prints a line of the summary (on stderr if `error`)."""
    if text:
        print(text, file=sys.stderr if error else sys.stdout)
