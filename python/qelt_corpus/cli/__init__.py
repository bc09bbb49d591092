"""qelt-corpus: entropy patching of whole corpora on Dask.

    qelt-corpus patch INPUT... --out DIR (-k K | --model FILE) --theta T --theta-r R
    qelt-corpus pack INPUT... --out DIR (-k K | --model FILE) --theta T --theta-r R
    qelt-corpus train INPUT... --out MODEL -k K [--min-count N] [--smoothing KIND]
    qelt-corpus calibrate INPUT... --model FILE --target-mean L --theta-r R
    qelt-corpus evaluate INPUT... --model FILE [--json]
    qelt-corpus show INPUT (-k K | --model FILE) --theta T --theta-r R [--out PAGE]

Inputs are Parquet files or datasets, JSON lines (plain, .gz or .zst), directories of
files (one document per file) or text files (one document per line), as local paths or
URLs of any fsspec file system. Documents are read and patched on the workers,
partition by partition; the client only plans, schedules and adds up summaries.

Exit status: 0 when done; 1 when some input was unreadable (or some work failed); 2
for a usage error, found before any cluster starts; 130 when interrupted.
"""

from __future__ import annotations

import importlib
import os
import sys
import time
from typing import TYPE_CHECKING, Any, Sequence, TextIO

if TYPE_CHECKING:  # imported when used: the command starts at once
    import argparse
    from types import ModuleType

from . import _interrupts
from ._usage import EXIT_INTERRUPTED, EXIT_UNREADABLE, EXIT_USAGE, UsageError, error_line

# One module each, imported when the command runs (see main).
SUBCOMMANDS = ("patch", "pack", "train", "calibrate", "evaluate", "show")


def subcommand(name: str) -> ModuleType:
    return importlib.import_module(f"{__name__}.{name}")


def version() -> str:
    from importlib import metadata

    try:
        return metadata.version("qelt")
    except metadata.PackageNotFoundError:  # pragma: no cover - run from a source tree
        return "unknown"


def parser() -> argparse.ArgumentParser:
    from ._options import Parser

    main = Parser(prog="qelt-corpus", description=(__doc__ or "").splitlines()[0])
    main.add_argument("--version", action="version", version=f"qelt-corpus {version()}")
    commands = main.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                   parser_class=Parser)
    for name in SUBCOMMANDS:
        subcommand(name).add_parser(commands)
    return main


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]); the exit status. Whatever
    it is doing, from parsing to the last line of its summary, an interrupt ends it
    with EXIT_INTERRUPTED; any other failure is one line, not a traceback."""
    started = time.perf_counter()
    argv = list(sys.argv[1:] if argv is None else argv)
    command = argv[0] if argv and argv[0] in SUBCOMMANDS else None
    try:
        if not argv:  # nothing asked: what can be asked
            parser().print_help(sys.stderr)
            return EXIT_USAGE
        try:
            args = parser().parse_args(argv)
        except SystemExit as done:  # --help, --version
            return int(done.code or 0)
        _interrupts.check()
        status = int(subcommand(args.command).run(args, started))
    except UsageError as error:
        print(error_line(command, str(error)), file=sys.stderr)
        status = EXIT_USAGE
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Exception as error:  # a fault of the command, or of a library under it
        if not _interrupts.received():  # else an interrupt that surfaced as this error
            from .._storage import first_line

            from ._cluster import Stalled, TaskFailed

            print(error_line(command, str(error) if isinstance(error, (Stalled, TaskFailed))
                             else first_line(error)), file=sys.stderr)
        status = EXIT_UNREADABLE
    if _interrupts.received() and status != EXIT_INTERRUPTED:
        # An interrupt that some code on its way dropped: the run was interrupted all
        # the same.
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    return status


def entry() -> None:
    """The ``qelt-corpus`` command: main, then an exit that neither a late Ctrl-C nor a
    reader of its output that has gone away (``| head``) turns into a traceback or
    into another exit status."""
    _interrupts.install()
    for stream in (sys.stdout, sys.stderr):  # paths that are not UTF-8, byte for byte
        stream.reconfigure(errors="surrogateescape")  # type: ignore[attr-defined]
    sys.stdout = _ReaderMayLeave(sys.stdout)
    try:
        status = main()
        sys.stdout.flush()
        _interrupts.ignore_from_now_on()  # the work is done and said
    except KeyboardInterrupt:  # between main's return and here
        status = EXIT_INTERRUPTED
        _interrupts.ignore_from_now_on()
    sys.exit(status)


class _ReaderMayLeave:
    """Standard output, where a reader that stops reading (a closed pipe) does not stop
    the work: what is written after it has gone is dropped."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self._gone = False

    def write(self, text: str) -> int:
        if not self._gone:
            try:
                return self._stream.write(text)
            except BrokenPipeError:
                self._reader_gone()
        return len(text)

    def flush(self) -> None:
        if not self._gone:
            try:
                self._stream.flush()
            except BrokenPipeError:
                self._reader_gone()

    def _reader_gone(self) -> None:
        self._gone = True
        # What the stream still buffers would fail again when the interpreter flushes
        # it at exit: its descriptor now leads nowhere.
        nowhere = os.open(os.devnull, os.O_WRONLY)
        os.dup2(nowhere, self._stream.fileno())
        os.close(nowhere)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)
