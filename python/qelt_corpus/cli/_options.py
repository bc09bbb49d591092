"""The options the subcommands share, and the parser that reports a usage error as
one line."""

from __future__ import annotations

import argparse
import json
import math
import os
from typing import Any, Callable

from .. import _storage
from .formats import FORMATS, PARTITION_BYTES
from ._usage import UsageError


class Parser(argparse.ArgumentParser):
    """Reports a usage error as one line (raised, so that main can exit with 2)."""

    def error(self, message: str) -> Any:  # type: ignore[override]
        raise UsageError(f"{self.prog}: {message}")

    def parse_known_args(self, args: Any = None, namespace: Any = None) -> Any:
        # argparse drops a value that is "--" before converting it (`--theta=--`),
        # leaving an empty list where one value of the option's type belongs.
        namespace, extras = super().parse_known_args(args, namespace)
        for action in self._actions:
            if (action.type is not None and action.nargs is None
                    and getattr(namespace, action.dest, None) == []):
                self.error(f"argument {'/'.join(action.option_strings)}: expected one "
                           "argument")
        return namespace, extras


def int_at_least(lowest: int, name: str) -> Callable[[str], int]:
    """An argument type: an int of at least `lowest`, called `name` in usage errors."""
    def parse(text: str) -> int:
        value = int(text)
        if value < lowest:
            raise ValueError(text)
        return value

    parse.__name__ = name
    return parse


positive_int = int_at_least(1, "positive integer")
non_negative_int = int_at_least(0, "non-negative integer")


def positive_float(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise ValueError(text)
    return value


positive_float.__name__ = "positive number"


def threshold(text: str) -> float:
    """A threshold in nats: any number, infinities included, but not NaN, which no
    entropy would ever pass."""
    value = float(text)
    if math.isnan(value):
        raise ValueError(text)
    return value


threshold.__name__ = "number (not NaN)"


def names(text: str) -> list[str]:
    values = [name.strip() for name in text.split(",")]
    if not all(values):
        raise ValueError(text)
    return values


names.__name__ = "list of column names"


def add_inputs(parser: argparse.ArgumentParser, *, many: bool = True) -> None:
    """The inputs (one, unless `many`) and how they are read."""
    parser.add_argument("inputs", nargs="+" if many else 1, metavar="INPUT",
                        help="Parquet files or datasets, JSON lines, directories, text files: "
                        "paths, or URLs of any fsspec file system (s3://, gs://, hf://, "
                        "memory://, ...), globs allowed")
    parser.add_argument("--column", default="text",
                        help="Parquet column or JSON field holding the text (default: text)")
    parser.add_argument("--format", choices=("auto", *FORMATS), default="auto",
                        help="how to read the inputs (default: by extension and kind)")
    parser.add_argument("--storage-options", metavar="JSON", type=storage_options, default={},
                        help="options for the file system of every URL of the run, as a JSON "
                        "object (for example {\"endpoint_url\": \"http://...\"}); the usual "
                        "environment (AWS_ACCESS_KEY_ID, ...) works too")


def storage_options(text: str) -> dict[str, Any]:
    try:
        value = json.loads(text)
    except ValueError:
        raise ValueError(text) from None
    if not isinstance(value, dict):
        raise ValueError(text)
    return value


storage_options.__name__ = "JSON object"


def add_partitioning(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--partition-bytes", type=size, metavar="SIZE",
                        default=PARTITION_BYTES,
                        help=f"input bytes per partition, about (default {PARTITION_BYTES}, "
                        "32 MiB)")


def add_cluster(parser: argparse.ArgumentParser) -> None:
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=positive_int, default=os.cpu_count() or 1,
                       help="local worker processes (default: one per core)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="address of the scheduler of an existing Dask cluster")
    parser.add_argument("--dashboard", nargs="?", const=":8787", metavar="ADDRESS",
                        help="serve the Dask dashboard of the local cluster (default address "
                        ":8787); none is served without this")
    parser.add_argument("--no-progress", action="store_true", help="hide the progress bar")
    parser.add_argument("--verbose", action="store_true",
                        help="show Dask's own log messages (failed tasks' tracebacks among "
                        "them) on stderr")


def for_workers(location: str | None) -> str | None:
    """A location as the workers are given it (_storage.absolute)."""
    return None if location is None else _storage.absolute(location)


def add_patching(parser: argparse.ArgumentParser, *, given_entropies: bool = True) -> None:
    """The options that say how documents are patched (with --entropies unless
    `given_entropies` is False), and how their ids are read."""
    model = parser.add_mutually_exclusive_group(required=True)
    model.add_argument("-k", type=int, help="context length: each document's own model")
    model.add_argument("--model", metavar="FILE",
                       help="a model trained with `train` (a path or a URL)")
    if given_entropies:
        model.add_argument("--entropies", metavar="COLUMN",
                           help="a column or field beside the text holding each document's "
                           "entropies from a model of your own, one number per byte: every "
                           "position is judged by them")
    add_reading(parser)
    parser.add_argument("--theta", type=threshold, required=True,
                        help="absolute threshold (nats)")
    parser.add_argument("--theta-r", type=threshold, required=True,
                        help="rise threshold (nats)")
    parser.add_argument("--max-patch-length", type=positive_int, metavar="L",
                        help="cut longer patches into pieces of L bytes")
    parser.add_argument("--id-column", metavar="NAME",
                        help="Parquet column or JSON field giving each document's id")


def add_reading(parser: argparse.ArgumentParser) -> None:
    from .._reading import MODES

    parser.add_argument("--reading", choices=MODES, default=None,
                        help="how the model reads each document: static (the default), the "
                        "model as it is; adaptive, the model also learning from the document "
                        "as it reads it; mix, the model pooled with the document's own "
                        "statistics and a match model by weights learnt as it reads (these "
                        "two need a model trained with this version)")
    parser.add_argument("--adapt", action="store_true", help="the same as --reading adaptive")
    parser.add_argument("--adapt-memory", type=size_or_none, metavar="SIZE",
                        default=argparse.SUPPRESS,
                        help="with --reading adaptive or mix: the memory what a document "
                        "teaches may take, as 1GiB, 500MB or bytes (default 1GiB; 'none' for "
                        "no bound): past it, the reading forgets the document so far and "
                        "learns afresh")


def size(text: str) -> int:
    """A size in bytes, in one of the forms every size option takes: bytes (4096), or a
    number with a decimal or binary unit (500MB, 1.5GiB, 64kB, 8 KiB), as Dask spells
    them."""
    from dask.utils import parse_bytes

    try:
        value = parse_bytes(text)
    except (ValueError, TypeError):
        raise ValueError(text) from None
    if value < 1:
        raise ValueError(text)
    return int(value)


size.__name__ = "size (bytes, or 500MB, 1.5GiB, 64KiB)"


def size_or_none(text: str) -> int | None:
    """A size as `size` takes it, or "none" for no bound."""
    return None if text.strip().lower() == "none" else size(text)


size_or_none.__name__ = "size (bytes, or 500MB, 1.5GiB, 64KiB) or 'none'"


def load_model(location: str, storage_options: dict[str, Any], command: str, *,
               reading: Any = None, probabilities: bool = False) -> Any:
    """The model at `location` given on the command line, checked to be readable as
    `reading` (ReadingSettings) says and, for a command that needs `probabilities`, to
    hold them; UsageError if it cannot be used."""
    from .._errors import ModelFormatError
    from .._model import ContextModel

    try:
        model = ContextModel.load(location, storage_options=storage_options)
    except ModelFormatError as error:
        raise UsageError(f"--model {error}") from None
    except _storage.StorageError as error:
        raise UsageError(f"--model {error}") from None
    except Exception as error:  # unreadable, unreachable, refused
        raise UsageError(f"--model {_storage.describe(error, location)}") from None
    try:
        model._reading(reading.reading if reading is not None else None,
                       probabilities=probabilities)
    except ValueError as error:
        where = (f"--reading {reading.mode}" if reading is not None and not reading.is_static
                 else "--model")
        raise UsageError(f"{command}: {where}: {location}: {error}") from None
    return model


def check_writable_file(location: str, storage_options: dict[str, Any], option: str) -> None:
    """UsageError unless a file can be written at `location` (given as `option`)."""
    if _storage.is_remote(location):
        try:
            fs, path = _storage.filesystem(location, storage_options)
            directory = fs.isdir(path)
        except _storage.StorageError as error:
            raise UsageError(f"{option} {error}") from None
        except Exception as error:
            raise UsageError(f"{option} {_storage.describe(error, location)}") from None
        if directory:
            raise UsageError(f"{option} {location}: is a directory")
        return
    path = _storage.local_path(location)
    if os.path.isdir(path):
        raise UsageError(f"{option} {location}: is a directory")
    directory = os.path.dirname(os.path.abspath(path))
    while not os.path.exists(directory):
        directory = os.path.dirname(directory)
    if not os.path.isdir(directory) or not os.access(directory, os.W_OK | os.X_OK):
        raise UsageError(f"{option} {location}: cannot be written ({directory} is read-only)")


def check_page(location: str, storage_options: dict[str, Any], command: str,
               option: str) -> None:
    """UsageError unless a page or picture can be written at `location` (`option`)."""
    if not location.lower().endswith((".html", ".htm", ".svg", ".png")):
        raise UsageError(f"{command}: argument {option}: must end in .html, .svg or .png")
    check_writable_file(location, storage_options, option)


def write_page(page: Any, location: str, storage_options: dict[str, Any]) -> None:
    """Writes a page or picture (anything with save(path)) at `location`, a path or a
    URL, whole or not at all."""
    import tempfile

    suffix = os.path.splitext(location)[1].lower()
    with tempfile.TemporaryDirectory() as scratch:
        made = os.path.join(scratch, "page" + suffix)
        page.save(made)
        with open(made, "rb") as file:
            _storage.write_file(location, file.read(), storage_options)
