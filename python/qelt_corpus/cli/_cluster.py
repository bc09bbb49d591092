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
import signal
import sys
import tempfile
import time
from typing import Any, Callable, Iterable, Iterator, Sequence

from .. import _storage
from . import _interrupts, _planning, formats
from ._settings import Cluster
from ._summary import MB, Summary
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
            processes = list(client.run(os.getpid).values())
            try:
                yield client, cluster.workers
            except KeyboardInterrupt:
                _end_at_once(processes)
                raise
    finally:
        if local is not None:
            local.close()


def _end_at_once(processes: list[int]) -> None:
    """Ends the local workers' processes: an interrupted run wants nothing more of
    them, and a worker closed in order waits for the task it runs, which may be in a
    native call of many seconds, until its nanny kills it anyway. What a task was
    writing is left under a temporary name, which the commands remove."""
    for process in processes:
        with contextlib.suppress(OSError):
            os.kill(process, signal.SIGKILL)


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
              in_flight: int, client: Any) -> Iterator[tuple[int, Any]]:
    """(index, future) for each of `indices` as its task ends, `submit(index)` making
    the task: at most `in_flight` are submitted at a time, so that a corpus of any size
    streams through the scheduler. Raises Stalled as `finished` does."""
    from dask.distributed import as_completed

    queue, index_of = as_completed(), {}
    waiting = iter(indices)

    def submit_next(count: int) -> None:
        for index in itertools.islice(waiting, count):
            future = submit(index)
            index_of[future.key] = index
            queue.add(future)

    submit_next(in_flight)
    for future in finished(queue, client):
        submit_next(1)
        yield index_of.pop(future.key), future


class Stalled(Exception):
    """The cluster stopped making progress (Watch): said in one line."""


class TaskFailed(Exception):
    """A task failed on a worker, or what it made could not be used: said in one line."""


POLL_SECONDS = 0.05
CHECK_SECONDS = 2.0  # how often the cluster's state is asked for
STALL_TIMEOUT = "60s"  # unless the Dask setting qelt-corpus.stall-timeout says otherwise


def finished(queue: Any, client: Any) -> Iterator[Any]:
    """The futures of `queue` (an as_completed, to which the caller may add while it
    iterates) as each ends, once its result is there (a result lost with its worker is
    waited for again while Dask computes it anew). Ctrl-C is honoured within
    POLL_SECONDS, and Stalled raised once the cluster has stopped making progress
    (Watch)."""
    watch = Watch(client)
    while not queue.is_empty():
        batch = queue.next_batch(block=False)
        if not batch:
            _interrupts.check()
            watch.check()
            time.sleep(POLL_SECONDS)
            continue
        for future in batch:
            _interrupts.check()
            if future.status == "lost":
                # Its result went with a worker that died: the scheduler computes it
                # again, and it comes back here when that is done.
                queue.add(future)
                continue
            watch.progressed()
            yield future


class Watch:
    """Tells a cluster that has stopped making progress from one that is slow: every
    worker paused by Dask for its memory, or no worker at all, for the whole stall
    timeout (the Dask setting ``qelt-corpus.stall-timeout``, 60 s by default) while no
    task ended. A paused worker starts no task until its memory falls, which it may
    never do; a cluster without workers runs nothing. Slowness alone is never judged:
    a task may take as long as it takes."""

    def __init__(self, client: Any) -> None:
        import dask
        from dask.utils import parse_timedelta

        self.client = client
        self.timeout = float(parse_timedelta(dask.config.get("qelt-corpus.stall-timeout",
                                                             STALL_TIMEOUT)))
        self.checked = time.monotonic()
        self.stuck_since: float | None = None

    def progressed(self) -> None:
        self.stuck_since = None

    def check(self) -> None:
        """Raises Stalled if the cluster has been stuck for the whole timeout."""
        now = time.monotonic()
        if now - self.checked < CHECK_SECONDS:
            return
        self.checked = now
        why = self.stuck()
        if why is None:
            self.stuck_since = None
            return
        if self.stuck_since is None:
            self.stuck_since = now
        elif now - self.stuck_since >= self.timeout:
            raise Stalled(f"{why}, and no task has ended for {now - self.stuck_since:.0f} s: "
                          "the run cannot go on")

    def stuck(self) -> str | None:
        """Why no task can run now, or None."""
        try:
            workers = self.client.scheduler_info()["workers"].values()
        except Exception:  # the scheduler did not answer: a later check will tell
            return None
        if not workers:
            return "no worker is left (each died or was lost)"
        if all(info.get("status") == "paused" for info in workers):
            largest = max(workers, key=lambda info: info.get("metrics", {}).get("memory", 0))
            used = largest.get("metrics", {}).get("memory", 0) / MB
            limit = (largest.get("memory_limit") or 0) / MB
            return (f"every worker is paused by Dask for its memory (up to {used:.0f} MB "
                    f"of a {limit:.0f} MB limit): give the workers more memory")
        return None


def failure_of(future: Any) -> str:
    """Why a task that did not finish failed, in one line: its error, or why it was
    cancelled or lost, never an empty reason."""
    status = future.status
    if status == "lost":
        return "its result was lost with the worker that held it"
    try:
        future.result(timeout=1)
    except Exception as error:
        name = type(error).__name__
        if name == "KilledWorker":
            return ("a worker died each time it ran this task (killed for going past its "
                    "memory limit, or crashed; --verbose shows Dask's account)")
        if name in ("CancelledError", "FutureCancelledError"):
            reason = getattr(error, "reason", None)
            return "the task was cancelled" + (f" ({reason})" if reason and reason != "unknown"
                                               else "")
        return _storage.first_line(error)
    return f"the task ended as {status!r}"


class Progress:
    """A progress bar on stderr (unless --no-progress), labelled by what is being done,
    over a total known from the start: bytes of input (the text a partition holds is
    known only once it is read, so the text read so far is shown beside the bar), or
    other units (shares)."""

    def __init__(self, cluster: Cluster, total: int, what: str, unit: str = "B") -> None:
        from tqdm import tqdm

        self._text = 0
        self._bar = tqdm(total=total, unit=unit, unit_scale=unit == "B",
                         disable=not cluster.progress, file=sys.stderr, dynamic_ncols=True,
                         desc=what)

    def done(self, amount: int, text_bytes: int | None = None) -> None:
        """`amount` more is done (bytes of input, or units), which held `text_bytes` of
        text if given."""
        if text_bytes is not None:
            self._text += text_bytes
            self._bar.set_postfix_str(f"{self._text / MB:.1f} MB of text", refresh=False)
        self._bar.update(amount)

    def write(self, line: str) -> None:
        """Writes a line to stderr above the bar."""
        self._bar.write(line, file=sys.stderr)

    def close(self) -> None:
        self._bar.close()


def number_rows(client: Any, partitions: list[Any], options: Any) -> list[Any]:
    """The partitions with the first row of each known, the rows before it counted on
    the workers."""
    from dask.distributed import as_completed

    uncounted = _planning.uncounted(partitions)
    if not uncounted:
        return partitions
    futures = client.map(_count_rows, uncounted, options=options, pure=False)
    for future in finished(as_completed(futures), client):
        if future.status != "finished":
            raise TaskFailed(f"counting the rows of a partition: {failure_of(future)}")
    counts = client.gather(futures)
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
                 report_each: bool, what: str) -> Gathered:
    """Runs submit(client, partition, quota) on the partitions `chosen`, as (index,
    quota of bytes or None), up to `per_worker` per worker in flight, each returning a
    (part, read): those of `evaluate` and `calibrate`, the progress bar labelled `what`.
    With `report_each`, each
    partition's unreadable documents are reported as it ends. KeyboardInterrupt
    propagates, the progress bar closed."""
    partitions = corpus.partitions
    done_bytes = [partitions[i].size if quota is None else min(partitions[i].size, quota)
                  for i, quota in chosen]
    progress = Progress(cluster, sum(done_bytes), what)
    gathered = Gathered([], Summary(), 0, 0)
    try:
        with connect(cluster) as (client, workers):
            gathered.workers = workers
            partitions = number_rows(client, partitions, corpus.options)
            for position, future in completed(
                    range(len(chosen)),
                    lambda c: submit(client, partitions[chosen[c][0]], chosen[c][1]),
                    max(4, per_worker * workers), client):
                index = chosen[position][0]
                if future.status != "finished":
                    gathered.failed += 1
                    progress.write(f"error: partition {index}: {failure_of(future)}")
                    continue
                part, read = future.result()
                if report_each:
                    read.report_unreadable(f"partition {index}", progress.write)
                gathered.summary.add(read)
                gathered.parts.append(part)
                progress.done(done_bytes[position], read.text_bytes)
    finally:
        progress.close()
    return gathered
