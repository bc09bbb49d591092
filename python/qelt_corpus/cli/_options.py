"""The options the subcommands share, and the parser that reports a usage error as
one line."""

from __future__ import annotations

import argparse
import os
from typing import Any

from ._partitions import FORMATS, PARTITION_BYTES
from ._usage import UsageError


class Parser(argparse.ArgumentParser):
    """Reports a usage error as one line (raised, so that main can exit with 2)."""

    def error(self, message: str) -> Any:  # type: ignore[override]
        raise UsageError(f"{self.prog}: {message}")


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise ValueError(text)
    return value


positive_int.__name__ = "positive integer"


def positive_float(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise ValueError(text)
    return value


positive_float.__name__ = "positive number"


def add_inputs(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="Parquet files or datasets, JSON lines, directories, text files")
    parser.add_argument("--column", default="text",
                        help="Parquet column or JSON field holding the text (default: text)")
    parser.add_argument("--format", choices=FORMATS, default="auto",
                        help="how to read the inputs (default: by extension and kind)")


def add_partitioning(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--partition-bytes", type=positive_int, metavar="N",
                        default=PARTITION_BYTES,
                        help=f"input bytes per partition, about (default {PARTITION_BYTES}, "
                        "32 MiB)")


def add_cluster(parser: argparse.ArgumentParser) -> None:
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=positive_int, default=os.cpu_count() or 1,
                       help="local worker processes (default: one per core)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="address of the scheduler of an existing Dask cluster")
    parser.add_argument("--no-progress", action="store_true", help="hide the progress bar")


def load_model(path: str) -> Any:
    """The model at `path` given on the command line; UsageError if it cannot be."""
    from .._errors import ModelFormatError
    from .._model import ContextModel

    try:
        return ContextModel.load(path)
    except (OSError, ModelFormatError) as error:
        raise UsageError(f"--model {_reason(error)}") from None


def _reason(error: BaseException) -> str:
    """An error as one line that names the file once."""
    if isinstance(error, OSError) and error.filename is not None:
        return f"{error.filename}: {error.strerror}"
    return str(error)
