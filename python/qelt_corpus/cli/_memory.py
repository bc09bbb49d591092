"""What each task of ``train`` may take of a worker's memory, and the least memory
limit that ``train`` works in (docs: "Training within a memory limit").

A worker holds its own memory first: the interpreter with Dask, Arrow and qelt
loaded, measured on the workers when the run starts (WORKER_BYTES is what is assumed
before then). While it counts, it also holds a batch of documents being read, and what
the reader's allocator keeps of it afterwards (READING_BYTES). What is left below
SAFE_FRACTION of its limit is one task's to take: Dask spills what it holds to disk at
70 % of the limit and pauses the worker at 80 %, so a run whose tasks keep to this
never waits on a pause. Each step keeps to it on its own: counting seals its table
into runs and writes them out in shares as they grow (tasks/train.py), the pieces of a
share are merged a part of the budget at a time, and the build is cut into enough
shares that the largest one fits.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import dataclasses
import math
import sys
from typing import Any

MB = 10**6
MIB = 1 << 20
SAFE_FRACTION = 0.7
# A worker's own memory as measured here (Python 3.11, Dask, pyarrow and qelt loaded):
# 110-120 MB; what a run assumes before its workers have started.
WORKER_BYTES = 128 * MIB
# Reading a batch of documents (formats.BATCH_BYTES of input) at its peak, with what
# Arrow's allocator keeps of it once the batch is gone.
READING_BYTES = 96 * MIB
# The least a task works in: a counting table of 8 MiB, its runs and its shares while
# they are written out. Below it, counting would write out its shares too often.
LEAST_TASK_BYTES = 40 * MIB
# A task takes no more than this however much memory there is: a larger table counts
# no faster.
MOST_TASK_BYTES = 2 << 30
# Nor does a share's build, which then does not grow with the corpus (a larger corpus
# makes more shares): larger shares build no faster than more of them.
MOST_BUILD_BYTES = 256 << 20


def least_limit(worker_bytes: int = WORKER_BYTES) -> int:
    """The least memory limit of a worker (of one thread) that train works in, rounded
    up to 10 MB: room for the worker's own memory, a batch being read and the least
    task, below SAFE_FRACTION of it."""
    need = (worker_bytes + READING_BYTES + LEAST_TASK_BYTES) / SAFE_FRACTION
    return math.ceil(need / (10 * MB)) * 10 * MB


def limit_needed(task_bytes: int, worker_bytes: int) -> int:
    """The least limit of a worker (of one thread) in which a task of `task_bytes` fits,
    rounded up to 10 MB."""
    need = (worker_bytes + READING_BYTES + task_bytes) / SAFE_FRACTION
    return math.ceil(need / (10 * MB)) * 10 * MB


@dataclasses.dataclass(frozen=True)
class Counting:
    """How a counting task keeps within its budget: its table takes at most
    `table_bytes`; once the counts (table and runs) take `flush_bytes` they are
    written out in shares; documents are added `step_bytes` of text at a time, so
    that the runs grow by little between two looks."""

    table_bytes: int
    flush_bytes: int
    step_bytes: int


@dataclasses.dataclass(frozen=True)
class Budget:
    """What one task may take beside its worker's own memory and a batch being read."""

    task_bytes: int
    worker_bytes: int  # the largest worker's own memory, as measured

    @classmethod
    def of(cls, workers: Any, worker_bytes: int) -> Budget:
        """The budget of the least of `workers` (the scheduler's information of each),
        each worker's own memory taken as `worker_bytes`."""
        import psutil

        least = None
        for info in workers:
            limit = info.get("memory_limit") or psutil.virtual_memory().total
            threads = max(1, info.get("nthreads", 1))
            task = (limit * SAFE_FRACTION - worker_bytes - READING_BYTES * threads) / threads
            least = task if least is None else min(least, task)
        task = int(least if least is not None else LEAST_TASK_BYTES)
        return cls(min(task, MOST_TASK_BYTES), worker_bytes)

    @property
    def enough(self) -> bool:
        return self.task_bytes >= LEAST_TASK_BYTES

    def counting(self) -> Counting:
        # Sealing the table sorts it beside itself (1.5 times its bytes at most), and
        # writing the counts out holds them and their shares at once: a table of a
        # quarter of the budget and runs of a quarter keep both within it.
        quarter = self.task_bytes // 4
        return Counting(table_bytes=quarter, flush_bytes=2 * quarter,
                        step_bytes=max(64 << 10, quarter // 16))

    @property
    def merge_bytes(self) -> int:
        """The bytes of encoded counts merged at once: the merge holds them and what
        they make."""
        return self.task_bytes // 4

    @property
    def build_bytes(self) -> int:
        """What the build of one share should take: the shares are made as many as
        keep every one within this (up to the most shares there are, beyond which the
        largest takes up to the whole task)."""
        return min(self.task_bytes, MOST_BUILD_BYTES)


def worker_bytes() -> int:
    """This worker's own memory now (resident), once what train's tasks load is
    loaded: run on each worker when the run starts."""
    import psutil

    from .tasks import train  # noqa: F401 - what a task loads, loaded

    trim()
    return int(psutil.Process().memory_info().rss)


def trim() -> None:
    """Gives the memory that Arrow's allocator and the C library hold free back to the
    system, so that a task's freed buffers do not stay counted against the worker (Dask
    weighs a worker by its resident memory): after reading a partition, some 50 MB."""
    pyarrow = sys.modules.get("pyarrow")
    if pyarrow is not None:
        pyarrow.default_memory_pool().release_unused()
    libc = _libc()
    if libc is not None:
        libc.malloc_trim(0)


_LIBC: list[Any] = []


def _libc() -> Any:
    if not _LIBC:
        name = ctypes.util.find_library("c")
        try:
            libc = ctypes.CDLL(name) if name else None
            _ = libc.malloc_trim if libc is not None else None
        except (OSError, AttributeError):  # not glibc
            libc = None
        _LIBC.append(libc)
    return _LIBC[0]
