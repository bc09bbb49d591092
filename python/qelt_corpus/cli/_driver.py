"""The one loop of the commands that write a directory of outputs (patch, pack): plan
the corpus, check --out, skip the outputs an earlier run completed, submit the rest a
few at a time, and add up what the directory holds at the end. A command differs only
in its Job: how it groups partitions into outputs, the task that writes one, and what
it prints of the result.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import sys
import time
from typing import Any, Callable, Protocol

from .. import _storage
from . import _cluster, _manifest, _options, _planning, _tasks
from ._partitions import FilesPartition, Partition
from ._summary import MB, Summary
from ._usage import EXIT_INTERRUPTED, EXIT_OK, EXIT_UNREADABLE


class Job(Protocol):
    """What a command writes: one output per group of partitions."""

    verb: str  # what the summary says was done to the text: "patched", "packed"
    noun: str  # what its outputs are called: "partitions", "shards"

    def groups(self, args: argparse.Namespace, partitions: list[Partition]) -> list[list[int]]:
        """The partitions of each output, by index; the same for the same input."""

    def settings(self, args: argparse.Namespace, partitions: list[Partition],
                 groups: list[list[int]]) -> dict[str, Any]:
        """What, beside the common options, makes its outputs: a resumed run must have
        the same."""

    def is_ours(self, name: str) -> bool:
        """Whether a file of --out is one this command writes."""

    def name(self, index: int) -> str:
        """The name of output `index`, as messages give it."""

    def whole(self, index: int) -> str:
        """The name of the file whose presence says that output `index` is whole."""

    in_flight_per_worker: int

    task: Callable[..., Any]  # task(index, partitions, settings) -> a result, on a worker

    def summary_of(self, result: Any) -> Summary:
        """The summary of what a task read and wrote, from its result."""

    def stored(self, output: _manifest.Output, index: int,
               settings: _tasks.PatchSettings) -> Summary:
        """The summary that the whole output `index` keeps."""

    def finish(self, args: argparse.Namespace, run: Run) -> tuple[str, list[str]]:
        """Once the loop is over: the lines of the summary that follow the first (one
        saying what the directory holds), and the problems met writing them."""


@dataclasses.dataclass
class Run:
    """What a run found, did and left."""

    output: _manifest.Output
    corpus: _planning.Corpus
    groups: list[list[int]]
    settings: _tasks.PatchSettings
    done: set[int]  # whole before this run
    whole: list[int] = dataclasses.field(default_factory=list)  # whole now
    stored: dict[int, Summary] = dataclasses.field(default_factory=dict)  # of the whole ones
    failed: list[str] = dataclasses.field(default_factory=list)
    interrupted: bool = False
    workers: int = 0

    def total(self, indices: Any = None) -> Summary:
        total = Summary()
        for index in self.stored if indices is None else indices:
            total.add(self.stored[index])
        return total


# The partition that an input with no documents is planned as: it reads no document,
# and so makes an empty output, as valid as any other.
NOTHING = FilesPartition("", (), 0)


def run(args: argparse.Namespace, started: float, job: Job) -> int:
    identity = _options.model_identity(args)
    corpus = _planning.corpus(args)
    if not corpus.partitions:
        corpus = dataclasses.replace(corpus, partitions=[NOTHING])
    partitions = corpus.partitions
    groups = job.groups(args, partitions)
    made_by = _manifest.manifest(args, partitions, identity,
                                 **job.settings(args, partitions, groups))
    output = _manifest.check(args.out, args.resume, made_by, args.storage_options, job.is_ours)
    settings = _tasks.PatchSettings(
        out=output.location if output.fs is not None else output.path, theta=args.theta,
        theta_r=args.theta_r, k=args.k, model=_options.for_workers(args.model),
        model_identity=tuple(identity or ()), max_patch_length=args.max_patch_length,
        adapt=args.adapt, options=corpus.options)
    state = Run(output, corpus, groups, settings,
                {i for i in range(len(groups)) if job.whole(i) in output.names})
    size_of = [sum(partitions[p].size for p in group) for group in groups]
    # The largest first, so that no large output is left being written alone at the end.
    todo = sorted((i for i in range(len(groups)) if i not in state.done),
                  key=lambda i: -size_of[i])
    progress = _cluster.Progress(args, sum(size_of[i] for i in todo))
    try:
        with _cluster.connect(args) as (client, state.workers):
            _manifest.write(output, made_by)
            partitions = _cluster.number_rows(client, partitions, corpus.options)

            def submit(index: int) -> Any:
                return client.submit(job.task, index, [partitions[p] for p in groups[index]],
                                     settings, pure=False)

            for index, future in _cluster.completed(
                    todo, submit, max(4, job.in_flight_per_worker * state.workers)):
                name = job.name(index)
                try:
                    summary = job.summary_of(future.result())
                except Exception as error:
                    state.failed.append(name)
                    progress.write(f"error: {name}: {_storage.first_line(error)}")
                    continue
                summary.report_unreadable(name, progress.write)
                progress.done(size_of[index], summary.text_bytes)
    except KeyboardInterrupt:
        state.interrupted = True
    finally:
        progress.close()
        if output.fs is not None or os.path.isdir(output.path):
            _manifest.remove_partial_files(output)
    return _report(args, started, job, state)


def _report(args: argparse.Namespace, started: float, job: Job, state: Run) -> int:
    """Prints what the directory holds now (the outputs of earlier runs, of this one,
    and any that a worker finished while an interrupted run was shutting down), all
    read back from the outputs themselves so that every line counts the same bytes;
    the exit status."""
    problems = list(state.failed)
    try:
        present = set(_manifest.names(state.output))
        state.whole = [i for i in range(len(state.groups)) if job.whole(i) in present]
        state.stored = {i: job.stored(state.output, i, state.settings) for i in state.whole}
    except Exception as error:  # the output cannot be read back (a store that is down)
        print(f"error: reading back {args.out}: {_storage.first_line(error)}", file=sys.stderr)
        problems.append("summary")
    total = state.total()
    this_run = state.total(i for i in state.whole if i not in state.done)
    seconds = time.perf_counter() - started
    mean = total.text_bytes / total.patches if total.patches else 0.0
    lines, more_problems = job.finish(args, state)
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
        say(f"the inputs hold no documents: {args.out} holds an empty output")
    if state.interrupted:
        say("run the same command with --resume to finish", error=True)
        return EXIT_INTERRUPTED
    if state.failed:
        say(f"{len(state.failed)} {job.noun} failed; run the same command with --resume to "
            "retry", error=True)
    return EXIT_UNREADABLE if problems or total.unreadable else EXIT_OK


def say(text: str, *, error: bool = False) -> None:
    """Prints a line of the summary (on stderr if `error`)."""
    if text:
        print(text, file=sys.stderr if error else sys.stdout)
