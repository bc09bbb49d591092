"""qelt-corpus: entropy patching of whole corpora on Dask.

    qelt-corpus patch INPUT... --out DIR (-k K | --model FILE) --theta T --theta-r R
    qelt-corpus pack INPUT... --out DIR (-k K | --model FILE) --theta T --theta-r R
    qelt-corpus train INPUT... --out MODEL -k K [--min-count N]
    qelt-corpus calibrate INPUT... --model FILE --target-mean L --theta-r R

Inputs are Parquet files or datasets, JSON lines (plain, .gz or .zst), directories of
files (one document per file) or text files (one document per line), as local paths or
URLs of any fsspec file system. Documents are read and patched on the workers,
partition by partition; the client only plans, schedules and adds up summaries.

Exit status: 0 when done; 1 when some input was unreadable (or some work failed); 2
for a usage error, found before any cluster starts; 130 when interrupted.
"""

from __future__ import annotations

import argparse
import sys
import time
from typing import Sequence

from . import calibrate, pack, patch, train
from ._options import Parser
from ._usage import EXIT_INTERRUPTED, EXIT_USAGE, UsageError

SUBCOMMANDS = {"patch": patch, "pack": pack, "train": train, "calibrate": calibrate}


def version() -> str:
    from importlib import metadata

    try:
        return metadata.version("qelt")
    except metadata.PackageNotFoundError:  # pragma: no cover - run from a source tree
        return "unknown"


def parser() -> argparse.ArgumentParser:
    main = Parser(prog="qelt-corpus", description=(__doc__ or "").splitlines()[0])
    main.add_argument("--version", action="version", version=f"qelt-corpus {version()}")
    commands = main.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                   parser_class=Parser)
    for module in SUBCOMMANDS.values():
        module.add_parser(commands)
    return main


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]); the exit status."""
    started = time.perf_counter()
    try:
        try:
            args = parser().parse_args(argv)
        except SystemExit as done:  # --help, --version
            return int(done.code or 0)
        return int(SUBCOMMANDS[args.command].run(args, started))
    except UsageError as error:
        message = str(error)
        print(message if message.startswith("qelt-corpus") else f"qelt-corpus: {message}",
              file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


def entry() -> None:
    sys.exit(main())
