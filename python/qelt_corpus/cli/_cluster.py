"""The Dask cluster a run works on, and the progress bar it shows."""

from __future__ import annotations

import argparse
import contextlib
import logging
import signal
import sys
from typing import Any, Iterator

from ._usage import UsageError


@contextlib.contextmanager
def connect(args: argparse.Namespace) -> Iterator[tuple[Any, int]]:
    """A Dask client, and the number of workers it has: of the cluster at
    ``--scheduler``, else of local worker processes started for the run."""
    from dask.distributed import Client, LocalCluster

    if args.scheduler:
        try:
            client = Client(args.scheduler, timeout="10s")
        except (OSError, TimeoutError) as error:
            raise UsageError(f"cannot reach the scheduler at {args.scheduler}: {error}") from None
        try:
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
    # Ctrl-C reaches every process of the terminal's group. The workers are started
    # ignoring it (a disposition their processes inherit), so that only this process
    # stops, and shuts them down in order, instead of each printing its traceback.
    interrupt = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                   processes=True, dashboard_address=None,
                                   silence_logs=logging.ERROR)
    finally:
        signal.signal(signal.SIGINT, interrupt)
    try:
        with Client(cluster) as client:
            yield client, args.workers
    finally:
        cluster.close()


def progress(args: argparse.Namespace, total: int) -> Any:
    """A progress bar on stderr counting `total` bytes, unless --no-progress."""
    from tqdm import tqdm

    return tqdm(total=total, unit="B", unit_scale=True, disable=args.no_progress,
                file=sys.stderr, dynamic_ncols=True)


def number_rows(client: Any, partitions: list[Any]) -> list[Any]:
    """The partitions with the first row of every byte range known, counted on the
    workers."""
    from . import _planning, _tasks

    ranges = _planning.ranges_to_count(partitions)
    if not ranges:
        return partitions
    counts = client.gather(client.map(_tasks.line_starts, ranges, pure=False))
    return _planning.number_rows(partitions, {(r.path, r.start): c for r, c in zip(ranges, counts)})
