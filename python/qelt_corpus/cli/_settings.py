"""What a command line asks for, as typed settings built once from the parsed options:
the subcommands, planning, the manifest and the tasks take these, never the parser's
namespace."""

from __future__ import annotations

import argparse
import dataclasses
from typing import Any

from .formats import Options
from ._usage import UsageError


@dataclasses.dataclass(frozen=True)
class Inputs:
    """The corpus: its locations and how to read them."""

    locations: tuple[str, ...]
    format: str  # a format's name, or "auto"
    column: str
    id_column: str | None
    storage_options: dict[str, Any]
    partition_bytes: int
    keep_columns: tuple[str, ...] = ()
    entropies: str | None = None  # the column of given entropies

    @classmethod
    def of(cls, args: argparse.Namespace) -> Inputs:
        from .formats import PARTITION_BYTES

        return cls(tuple(args.inputs), args.format, args.column,
                   getattr(args, "id_column", None), args.storage_options,
                   getattr(args, "partition_bytes", PARTITION_BYTES),
                   tuple(getattr(args, "keep_columns", None) or ()),
                   getattr(args, "entropies", None))

    def options(self) -> Options:
        """The reading options, before the kept columns' types are known."""
        return Options(self.column, self.id_column, self.storage_options,
                       entropies=self.entropies)


@dataclasses.dataclass(frozen=True)
class Cluster:
    """Where the work runs, and what is shown of it."""

    workers: int
    scheduler: str | None
    dashboard: str | None
    progress: bool
    verbose: bool
    # The memory of each local worker, as Dask takes it: bytes, 0 for no limit, or
    # "auto" (the machine's memory over the workers).
    memory_limit: int | str = "auto"

    @classmethod
    def of(cls, args: argparse.Namespace) -> Cluster:
        limit = getattr(args, "memory_limit", "auto")
        return cls(args.workers, args.scheduler, args.dashboard, not args.no_progress,
                   args.verbose, 0 if limit is None else limit)


DEFAULT_ADAPT_MEMORY = 1 << 30  # as ContextModel's


@dataclasses.dataclass(frozen=True)
class Adapting:
    """Whether a model also learns from each document, and within what memory (None:
    no bound)."""

    adapt: bool = False
    memory: int | None = DEFAULT_ADAPT_MEMORY

    @classmethod
    def of(cls, args: argparse.Namespace) -> Adapting:
        given = hasattr(args, "adapt_memory")  # absent unless given
        if given and not args.adapt:
            raise UsageError(f"{args.command}: argument --adapt-memory: needs --adapt")
        if not args.adapt:
            return cls()
        memory = args.adapt_memory if given else DEFAULT_ADAPT_MEMORY
        if memory is not None and memory < 4096:
            raise UsageError(f"{args.command}: argument --adapt-memory: must be at least "
                             "4096 bytes")
        return cls(True, memory)

    def manifest(self) -> dict[str, Any]:
        """What the manifest and the packed index record of it (nothing without it)."""
        return {"adapt": True, "adapt_memory": self.memory} if self.adapt else {}


@dataclasses.dataclass(frozen=True)
class Patching:
    """How documents are patched: with their own models of k, a trained model (which
    may adapt to each document), or given entropies; and the thresholds."""

    k: int | None
    model: str | None
    adapting: Adapting
    theta: float
    theta_r: float
    max_patch_length: int | None

    @property
    def adapt(self) -> bool:
        return self.adapting.adapt

    @classmethod
    def of(cls, args: argparse.Namespace) -> Patching:
        if args.k is not None and not -(2**31) <= args.k < 2**31:
            raise UsageError(f"{args.command}: argument -k: must be a 32-bit integer")
        if args.adapt and not args.model:
            raise UsageError(f"{args.command}: argument --adapt: needs --model")
        return cls(args.k, args.model, Adapting.of(args), args.theta, args.theta_r,
                   args.max_patch_length)
