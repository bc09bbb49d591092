"""The Dask cluster a run works on, and the progress bar it shows."""

from __future__ import annotations

import contextlib
import dataclasses
import itertools
import logging
import os
import re
import shlex
import shutil
import sys
import tempfile
from typing import Any, Callable, Iterable, Iterator, Sequence

from .. import _storage
from . import _interrupts, _planning, formats
from ._settings import Cluster
from ._summary import Summary
from ._usage import UsageError


@contextlib.contextmanager
def connect(cluster: Cluster) -> Iterator[tuple[Any, int]]:
    """A Dask client, and the number of workers it has: of the cluster at
    ``--scheduler``, else of local worker processes started for the run.

    What Dask logs (a failed task's traceback among it) is not shown unless
    --verbose: the command says what failed in one line of its own."""
    from dask.distributed import Client, LocalCluster

    _interrupts.check()  # before the slowest step of all, the cluster's start
    level = logging.WARNING if cluster.verbose else logging.CRITICAL
    logging.getLogger("distributed").setLevel(level)
    if cluster.scheduler:
        try:
            client = Client(cluster.scheduler, timeout="10s")
        except (OSError, TimeoutError) as error:
            raise UsageError(f"cannot reach the scheduler at {cluster.scheduler}: "
                             f"{error}") from None
        try:
            _interrupts.check()
            yield client, len(client.scheduler_info()["workers"])
        finally:
            client.close()
        return
    import dask

    # Dask starts its workers with MALLOC_TRIM_THRESHOLD_ set, which also fixes glibc's
    # mmap threshold at 128 KiB: then every buffer of a document larger than that is
    # mapped afresh and its pages faulted and zeroed, some 15 % of a run here. The
    # workers of this command get glibc's own adaptive defaults instead.
    environ = {key: value for key, value in
               dask.config.get("distributed.nanny.pre-spawn-environ", {}).items()
               if key != "MALLOC_TRIM_THRESHOLD_"}
    # Without --dashboard the scheduler serves no dashboard, on a port of its own
    # choosing: two runs at once do not contend for Dask's usual one.
    dashboard = {"dashboard_address": cluster.dashboard} if cluster.dashboard else {
        "dashboard_address": ":0", "scheduler_kwargs": {"dashboard": False}}
    local = None
    try:
        # An interrupt while the cluster starts waits until it has (a cluster cut short
        # in the middle of starting cannot be closed), and cannot reach the workers
        # before they are set to ignore it.
        with _workers_ignore_ctrl_c(), _interrupts.held(), \
                dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
            local = LocalCluster(n_workers=cluster.workers, threads_per_worker=1,
                                 processes=True, silence_logs=level,
                                 memory_limit=cluster.memory_limit, **dashboard)
        _interrupts.check()
        if cluster.dashboard:
            print(f"dashboard: {local.dashboard_link}", file=sys.stderr)
        with Client(local) as client:
            yield client, cluster.workers
    finally:
        if local is not None:
            local.close()


@contextlib.contextmanager
def _workers_ignore_ctrl_c() -> Iterator[None]:
    """Ctrl-C reaches every process of the terminal's group, the workers among them.
    Within this block, processes are spawned through a launcher that ignores it (a
    disposition that the interpreter it then runs keeps), so that only this process
    stops, and shuts the workers down in order, instead of each printing its
    traceback. Together with `_interrupts.held`, under which a spawned process begins
    with Ctrl-C blocked, no moment is left where one could kill a starting worker."""
    import multiprocessing
    import multiprocessing.spawn
    from multiprocessing import resource_tracker

    # Started now, from this thread: started later from one of Dask's, it would unblock
    # Ctrl-C in that thread, and so in the workers it spawns next.
    resource_tracker.ensure_running()
    directory = tempfile.mkdtemp(prefix="qelt-corpus-")
    launcher = os.path.join(directory, "python")
    with open(launcher, "w") as file:
        if re.fullmatch(r"[^\s]{1,200}", sys.executable):
            # An interpreter keeps Ctrl-C blocked until it ignores it; a shell would not.
            file.write(f"#!{sys.executable} -S\nimport os, signal, sys\n"
                       "signal.signal(signal.SIGINT, signal.SIG_IGN)\n"
                       "os.execv(sys.executable, [sys.executable, *sys.argv[1:]])\n")
        else:  # a path that a #! line cannot hold
            file.write(f"#!/bin/sh\ntrap '' INT\nexec {shlex.quote(sys.executable)} \"$@\"\n")
    os.chmod(launcher, 0o755)
    spawned_by = multiprocessing.spawn.get_executable()
    multiprocessing.set_executable(launcher)
    try:
        yield
    finally:
        multiprocessing.set_executable(spawned_by)
        shutil.rmtree(directory, ignore_errors=True)


def completed(indices: Iterable[int], submit: Callable[[int], Any],
              in_flight: int) -> Iterator[tuple[int, Any]]:
    """(index, future) for each of `indices` as its task ends, `submit(index)` making
    the task: at most `in_flight` are submitted at a time, so that a corpus of any size
    streams through the scheduler."""
    from dask.distributed import as_completed

    queue, index_of = as_completed(), {}
    waiting = iter(indices)

    def submit_next(count: int) -> None:
        for index in itertools.islice(waiting, count):
            future = submit(index)
            index_of[future.key] = index
            queue.add(future)

    submit_next(in_flight)
    for future in queue:
        _interrupts.check()
        submit_next(1)
        yield index_of.pop(future.key), future


class Progress:
    """A progress bar on stderr (unless --no-progress) that counts bytes of text, the
    unit of the summaries. The text in a partition is known only once it is read, so
    the total is an estimate: what is done, and the input bytes still to do at the
    ratio of text to input seen so far (a compressed or JSON input holds more or fewer
    bytes of text than it takes). When the last partition is done it is exact."""

    def __init__(self, cluster: Cluster, input_bytes: int) -> None:
        from tqdm import tqdm

        self._input_left = input_bytes
        self._input_done = 0
        self._text_done = 0
        self._bar = tqdm(total=input_bytes, unit="B", unit_scale=True, disable=not cluster.progress,
                         file=sys.stderr, dynamic_ncols=True, desc="text")

    def done(self, input_bytes: int, text_bytes: int) -> None:
        """A partition of `input_bytes` of input is done, and held `text_bytes`."""
        self._input_left -= input_bytes
        self._input_done += input_bytes
        self._text_done += text_bytes
        ratio = self._text_done / self._input_done if self._input_done else 1.0
        self._bar.total = self._text_done + round(max(0, self._input_left) * ratio)
        self._bar.update(text_bytes)

    def write(self, line: str) -> None:
        """Writes a line to stderr above the bar."""
        self._bar.write(line, file=sys.stderr)

    def close(self) -> None:
        self._bar.close()


def number_rows(client: Any, partitions: list[Any], options: Any) -> list[Any]:
    """The partitions with the first row of each known, the rows before it counted on
    the workers."""
    uncounted = _planning.uncounted(partitions)
    if not uncounted:
        return partitions
    counts = client.gather(client.map(_count_rows, uncounted, options=options, pure=False))
    return _planning.number_rows(partitions, dict(zip(uncounted, counts)))


def _count_rows(partition: Any, options: Any) -> int:
    return formats.of(partition).count_rows(partition, options)


@dataclasses.dataclass
class Gathered:
    """What a model's tasks made of some partitions: each one's part, in the order
    they ended, and the summary of what was read."""
    parts: list[Any]
    summary: Summary
    failed: int  # partitions whose task failed, each reported in a line
    workers: int


def gather_parts(cluster: Cluster, corpus: Any, chosen: Sequence[tuple[int, int | None]],
                 submit: Callable[[Any, Any, int | None], Any], per_worker: int,
                 report_each: bool) -> Gathered:
    """Runs submit(client, partition, quota) on the partitions `chosen`, as (index,
    quota of bytes or None), up to `per_worker` per worker in flight, each returning a
    (part, read): those of `evaluate` and `calibrate`. With `report_each`, each
    partition's unreadable documents are reported as it ends. KeyboardInterrupt
    propagates, the progress bar closed."""
    partitions = corpus.partitions
    done_bytes = [partitions[i].size if quota is None else min(partitions[i].size, quota)
                  for i, quota in chosen]
    progress = Progress(cluster, sum(done_bytes))
    gathered = Gathered([], Summary(), 0, 0)
    try:
        with connect(cluster) as (client, workers):
            gathered.workers = workers
            partitions = number_rows(client, partitions, corpus.options)
            for position, future in completed(
                    range(len(chosen)),
                    lambda c: submit(client, partitions[chosen[c][0]], chosen[c][1]),
                    max(4, per_worker * workers)):
                index = chosen[position][0]
                try:
                    part, read = future.result()
                except Exception as error:
                    gathered.failed += 1
                    progress.write(f"error: partition {index}: {_storage.first_line(error)}")
                    continue
                if report_each:
                    read.report_unreadable(f"partition {index}", progress.write)
                gathered.summary.add(read)
                gathered.parts.append(part)
                progress.done(done_bytes[position], read.text_bytes)
    finally:
        progress.close()
    return gathered
