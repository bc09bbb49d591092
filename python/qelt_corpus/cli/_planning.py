"""Planning, on the client: each INPUT resolved to its files and format, the columns
checked, and the corpus cut into partitions of bounded size, from listings, file sizes
and Parquet footers alone: the client never reads the corpus. How each format plans and
reads is its own (formats/); the rows before a partition whose first row is unknown are
counted on the workers before the work starts.

An INPUT is a local path or an fsspec URL, either possibly a glob: a name that exists
as it is is taken as it is, even if it holds glob characters (`br[x]/`). A local
directory is walked without following links to directories (they could loop): those
are skipped, and counted.
"""

from __future__ import annotations

import dataclasses
import glob
import os
from typing import Any, Sequence

from .. import _storage
from . import formats
from ._settings import Inputs
from ._usage import UsageError
from .formats import File, Format, Options

GLOB_CHARACTERS = "*?["


@dataclasses.dataclass
class Corpus:
    """A command's inputs, planned."""

    options: Options
    partitions: list[Any]
    skipped: int  # links to directories, not followed


def _hidden(name: str) -> bool:
    return name.startswith((".", "_"))


def _walk(root: str) -> tuple[list[File], int]:
    """Every file under the local directory `root`, in sorted order, and the number of
    links to directories met, which are not followed. Links to files count as files,
    broken ones included (size 0: the worker will find them unreadable)."""
    found: list[File] = []
    skipped = 0
    base = os.path.abspath(root)

    def visit(directory: str, prefix: str) -> None:
        nonlocal skipped
        with os.scandir(directory) as scan:
            entries = sorted(scan, key=lambda e: e.name)
        for entry in entries:
            if entry.is_dir(follow_symlinks=False):
                visit(entry.path, f"{prefix}{entry.name}/")
                continue
            if entry.is_symlink() and entry.is_dir(follow_symlinks=True):
                skipped += 1
                continue
            try:
                size = entry.stat().st_size  # cached by the scan where it can be
            except OSError:
                size = 0
            found.append(File(entry.path, prefix + entry.name, size))

    visit(base, "")
    return found, skipped


def _suffix(name: str) -> str:
    """A file's kind as its name gives it, for messages: its suffix, or its name."""
    suffix = os.path.splitext(name)[1]
    return f"*{suffix}" if suffix else name.rsplit("/", 1)[-1]


def _static_prefix(pattern: str) -> str:
    """The part of a glob before its first wildcard, up to the last slash."""
    first = min((i for i, c in enumerate(pattern) if c in GLOB_CHARACTERS), default=len(pattern))
    return pattern[: pattern.rfind("/", 0, first) + 1]


def _remote_files(given: str, storage_options: dict[str, Any]) -> tuple[list[File], bool]:
    """The files of a URL (a file, a directory prefix or a glob), and whether it named a
    directory."""
    fs, path = _storage.filesystem(given, storage_options)
    if any(c in path for c in GLOB_CHARACTERS) and not fs.exists(path):  # a name as it is first
        prefix = _static_prefix(path)
        entries = fs.glob(path, detail=True)
        files = [File(fs.unstrip_protocol(p), p[len(prefix):], int(info.get("size") or 0))
                 for p, info in sorted(entries.items()) if info.get("type") != "directory"]
        if not files:
            raise FileNotFoundError(given)
        return files, True
    info = fs.info(path)
    if info.get("type") == "directory":
        prefix = path.rstrip("/") + "/"
        entries = fs.find(path, detail=True)
        files = [File(fs.unstrip_protocol(p), p[len(prefix):], int(i.get("size") or 0))
                 for p, i in sorted(entries.items()) if i.get("type") != "directory"]
        return files, True
    return [File(given, path.rstrip("/").rsplit("/", 1)[-1], int(info.get("size") or 0))], False


def _size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0  # unreadable: the worker will say why


def _local_files(given: str) -> tuple[list[File], bool, int]:
    """The files of a local path (a file, a directory or a glob), whether it named a
    directory, and the links to directories skipped."""
    if any(c in given for c in GLOB_CHARACTERS) and not os.path.lexists(given):  # as it is first
        prefix = _static_prefix(os.path.abspath(given))
        paths = sorted(p for p in glob.glob(given, recursive=True) if os.path.isfile(p))
        if not paths:
            raise FileNotFoundError(given)
        return [File(os.path.abspath(p), os.path.abspath(p)[len(prefix):], _size(p))
                for p in paths], True, 0
    if not os.path.exists(given):
        raise FileNotFoundError(given)
    if os.path.isdir(given):
        files, skipped = _walk(given)
        return files, True, skipped
    return [File(os.path.abspath(given), os.path.basename(given), _size(given))], False, 0


# An input resolved: its format, and its files.
Resolved = list[tuple[Format, list[File]]]


def resolve(locations: Sequence[str], fmt: str,
            storage_options: dict[str, Any]) -> tuple[Resolved, int]:
    """Each input as its format and files, and the links to directories skipped;
    UsageError for one that does not exist or cannot be listed."""
    resolved: Resolved = []
    skipped = 0
    for given in locations:
        try:
            if _storage.is_remote(given):
                files, directory = _remote_files(given, storage_options)
            else:
                files, directory, links = _local_files(_storage.local_path(given))
                skipped += links
        except _storage.StorageError as error:
            raise UsageError(str(error)) from None
        except Exception as error:  # not there, not allowed, not reachable
            raise UsageError(_storage.describe(error, given)) from None
        if directory:
            visible = [f for f in files if not any(map(_hidden, f.name.split("/")))]
            kind = formats.FORMATS[fmt] if fmt != "auto" else formats.format_of_directory(visible)
            files = kind.files_of_directory(files, visible)
            if not files and fmt != "auto":
                kinds = ", ".join(sorted({_suffix(f.name) for f in visible})[:5])
                raise UsageError(f"{given}: holds no file of the format {fmt} (--format {fmt})"
                                 + (f"; its files are {kinds}" if kinds else ""))
        else:
            kind = formats.FORMATS[fmt] if fmt != "auto" else formats.format_of_file(given)
        resolved.append((kind, files))
    return resolved, skipped


def check_columns(resolved: Resolved, options: Options) -> None:
    """Looks in the first file of each format for the text and id columns, so that a
    misspelt name stops the run before it starts."""
    kinds = {kind for kind, _ in resolved}
    if options.id_column is not None and not any(kind.records for kind in kinds):
        raise UsageError("--id-column applies to Parquet and JSON-lines inputs only")
    if options.entropies is not None and not all(kind.records for kind in kinds):
        raise UsageError("--entropies needs Parquet or JSON-lines inputs, whose records can "
                         "hold entropies beside the text")
    for kind in formats.FORMATS.values():
        files = [f for k, fs in resolved if k is kind for f in fs]
        if files:
            kind.check(files, options)


OUTPUT_COLUMNS = ("id", "ends", "bytes", "patches", "status")


def kept_columns(resolved: Resolved, names: Sequence[str],
                 options: Options) -> tuple[tuple[str, str], ...]:
    """The columns to carry into the output, each with its type there: "string" or
    "binary", as the inputs hold it. UsageError for a name that an output column has,
    that an input lacks (files and lines offer "text", their own bytes), or that the
    inputs hold as different types."""
    kinds: dict[str, str] = {}
    for name in names:
        if name in OUTPUT_COLUMNS:
            raise UsageError(f"--keep-columns: {name!r} is a column of the output")
    for kind, files in resolved:
        if not files:
            continue
        for name, type_ in kind.kept_kinds(files, names, options).items():
            if kinds.setdefault(name, type_) != type_:
                raise UsageError(f"--keep-columns: {name!r} is {kinds[name]} in some inputs and "
                                 f"{type_} in others")
    return tuple((name, kinds.get(name, "string")) for name in names)


def plan(resolved: Resolved, options: Options, partition_bytes: int) -> list[Any]:
    """The corpus cut into partitions of about `partition_bytes`, in input order."""
    partitions: list[Any] = []
    for kind, files in resolved:
        partitions.extend(kind.plan(files, options, partition_bytes))
    return partitions


def uncounted(partitions: Sequence[Any]) -> list[Any]:
    """The partitions whose first rows are known only once the rows before them are
    counted."""
    return [p for p in partitions if formats.of(p).uncounted(p)]


def number_rows(partitions: list[Any], counts: dict[Any, int]) -> list[Any]:
    """Sets the first row of every uncounted partition from the rows that start in
    each partition of its file, counts[partition]."""
    numbered: list[Any] = []
    rows: dict[str, int] = {}
    for partition in partitions:
        if partition in counts:
            first = rows.get(partition.path, 0)
            rows[partition.path] = first + counts[partition]
            partition = formats.of(partition).numbered(partition, first)
        numbered.append(partition)
    return numbered


def corpus(inputs: Inputs) -> Corpus:
    """The reading options and the partitions of a command's inputs."""
    options = inputs.options()
    resolved, skipped = resolve(inputs.locations, inputs.format, inputs.storage_options)
    if inputs.keep_columns:
        options = dataclasses.replace(
            options, keep=kept_columns(resolved, inputs.keep_columns, options))
    check_columns(resolved, options)
    return Corpus(options, plan(resolved, options, inputs.partition_bytes), skipped)
