"""What a command line asks for, as typed settings built once from the parsed options:
the subcommands, planning, the manifest and the tasks take these, never the parser's
namespace."""

from __future__ import annotations

import argparse
import dataclasses
from typing import Any

from .._reading import DEFAULT_MEMORY, LEAST_MEMORY, Reading
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


@dataclasses.dataclass(frozen=True)
class ReadingSettings:
    """How a model reads each document (qelt_corpus.Reading), as --reading, --adapt and
    --adapt-memory ask; built once from them."""

    reading: Reading = Reading()

    @property
    def mode(self) -> str:
        return self.reading.mode

    @property
    def is_static(self) -> bool:
        return self.reading.mode == "static"

    @classmethod
    def of(cls, args: argparse.Namespace) -> ReadingSettings:
        mode = getattr(args, "reading", None)
        if args.adapt and mode not in (None, "adaptive"):
            raise UsageError(f"argument --adapt: means --reading adaptive, not --reading {mode}")
        mode = "adaptive" if args.adapt else mode or "static"
        given = hasattr(args, "adapt_memory")  # absent unless given
        if given and mode == "static":
            raise UsageError("argument --adapt-memory: needs --reading adaptive or mix (or "
                             "--adapt)")
        memory = args.adapt_memory if given else DEFAULT_MEMORY
        if memory is not None and memory < LEAST_MEMORY:
            raise UsageError(f"argument --adapt-memory: must be at least {LEAST_MEMORY} bytes")
        return cls(Reading(mode, memory))

    def manifest(self) -> dict[str, Any]:
        """What the manifest and the packed index record of it: nothing for the static
        reading, and the keys of the adaptive one as they always were."""
        if self.is_static:
            return {}
        if self.mode == "adaptive":
            return {"adapt": True, "adapt_memory": self.reading.memory}
        return {"reading": self.mode, "reading_memory": self.reading.memory}


@dataclasses.dataclass(frozen=True)
class Patching:
    """How documents are patched: with their own models of k, a trained model (read as
    `reading` says), or entropies given beside the texts (`entropies`, their column);
    and the thresholds."""

    k: int | None
    model: str | None
    reading: ReadingSettings
    theta: float
    theta_r: float
    max_patch_length: int | None
    entropies: str | None = None

    @property
    def source(self) -> str:
        """Where the entropies come from: "entropies" (given), "model" or "k"."""
        return "entropies" if self.entropies else "model" if self.model else "k"

    @classmethod
    def of(cls, args: argparse.Namespace) -> Patching:
        if args.k is not None and not -(2**31) <= args.k < 2**31:
            raise UsageError(f"{args.command}: argument -k: must be a 32-bit integer")
        reading = ReadingSettings.of(args)
        if not reading.is_static and not args.model:
            given = "--adapt" if args.adapt else f"--reading {reading.mode}"
            raise UsageError(f"{args.command}: argument {given}: needs --model")
        return cls(args.k, args.model, reading, args.theta, args.theta_r,
                   args.max_patch_length, getattr(args, "entropies", None))
