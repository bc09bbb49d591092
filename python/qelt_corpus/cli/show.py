"""``qelt-corpus show``: one document's entropies and patches, as a page (or a
picture) to open anywhere, or as coloured text on a terminal. Runs on the client: one
document needs no cluster."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from .. import _storage
from . import _options, _planning
from ._settings import Inputs, Patching
from ._usage import EXIT_OK, EXIT_UNREADABLE, UsageError

# Beyond this many bytes the terminal view stops and says how many patches are left.
SHOWN_ON_A_TERMINAL = 3000


def add_parser(commands: Any) -> None:
    show = commands.add_parser(
        "show", help="one document's entropies and patches, as a page",
        description="Draw one document's entropy at each byte, theta across it and every "
        "cut (told apart by the test that made it), with its bytes cut into patches: a "
        "self-contained page (--out page.html, or .svg / .png), or coloured text on a "
        "terminal without --out.")
    _options.add_inputs(show, many=False)
    _options.add_patching(show, given_entropies=False)
    show.add_argument("--row", type=_options.non_negative_int, metavar="N",
                      help="show the N-th document of the input (0 first), as patch reads "
                      "it: a row of Parquet or JSON lines, a line of a text file, a file "
                      "of a directory (default: row 0 of Parquet or JSON lines; any other "
                      "file whole, as one document)")
    show.add_argument("--out", metavar="PAGE",
                      help="write the page here (.html), or a picture of its first window "
                      "(.svg, .png)")


def run(args: argparse.Namespace, started: float) -> int:
    patching = Patching.of(args)
    inputs = Inputs.of(args)
    if args.out:
        _options.check_page(args.out, inputs.storage_options, "show", "--out")
    model: Any = patching.k
    if patching.model:
        model = _options.load_model(patching.model, inputs.storage_options, "show",
                                    reading=patching.reading)
    try:
        document, name = _document(inputs, args.row)
    except _Unreadable as error:
        print(f"qelt-corpus show: {error}", file=sys.stderr)
        return EXIT_UNREADABLE
    from .._show import show

    view = show(document, model, patching.theta, patching.theta_r,
                reading=patching.reading.reading if patching.model else None,
                max_patch_length=patching.max_patch_length, title=name)
    if args.out:
        _options.write_page(view, args.out, inputs.storage_options)
        print(f"{len(document)} bytes in {len(view.ends)} patches: {args.out}")
    else:
        colour = sys.stdout.isatty()
        print(view.to_terminal(colour=colour, limit=SHOWN_ON_A_TERMINAL))
    return EXIT_OK


class _Unreadable(Exception):
    """The document asked for cannot be read (exit 1)."""


def _document(inputs: Inputs, row: int | None) -> tuple[bytes, str]:
    """The bytes of the document asked for, and a name for it."""
    location = inputs.locations[0]
    if row is None and not _records(location, inputs.format):
        try:
            fs, path = _storage.filesystem(location, inputs.storage_options)
            if not fs.isdir(path):
                return bytes(fs.cat_file(path)), location
        except FileNotFoundError:
            raise UsageError(f"show: {location}: no such file, directory or object") from None
        except Exception as error:
            raise _Unreadable(_storage.describe(error, location)) from None
    wanted = row or 0
    from . import formats

    corpus = _planning.corpus(inputs)
    seen = 0
    for partition in corpus.partitions:
        for table in formats.read(partition, corpus.options):
            if seen + table.num_rows <= wanted:
                seen += table.num_rows
                continue
            at = wanted - seen
            problem = table.column("problem")[at].as_py()
            identity = table.column("id")[at].as_py()
            if problem is not None:
                raise _Unreadable(f"{location}: document {identity}: {problem}")
            text = table.column("text")[at].as_py()
            data = text.encode("utf-8") if isinstance(text, str) else bytes(text or b"")
            return data, f"{location}: document {identity}"
    raise UsageError(f"show: argument --row: {location} holds {seen} documents, so no "
                     f"row {wanted}")


def _records(location: str, format_name: str) -> bool:
    """Whether the input is read as records (Parquet, JSON lines): its row 0 by default."""
    from . import formats

    if format_name != "auto":
        return formats.FORMATS[format_name].records
    return any(fmt.records and fmt.recognises(location.rstrip("/"))
               for fmt in formats.FORMATS.values())
