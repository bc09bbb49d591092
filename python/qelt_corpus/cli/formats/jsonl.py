"""``jsonl``: JSON lines, plain, ``.gz`` or ``.zst``: one JSON object per line, the text
in a field (``--column``); each id is ``name:ROW``, lines counted from 0 (blank lines
are skipped but counted), or the ``--id-column`` field."""

from __future__ import annotations

import json
from typing import Any, Sequence

from .._usage import UsageError
from ._common import Batches, File, Options, compression_of, open_file, reason
from ._line_ranges import LineFormat


class JsonLines(LineFormat):
    name = "jsonl"
    json = True
    suffixes = (".jsonl", ".ndjson", ".json")
    records = True

    def check(self, files: list[File], options: Options) -> None:
        wanted = [options.column, options.id_column, options.entropies,
                  *(k for k, _ in options.keep)]
        for file in files:
            try:
                with open_file(file.location, compression_of(file.location),
                               options.storage_options) as stream:
                    for line in stream:
                        try:
                            record = json.loads(line)
                        except ValueError:
                            continue
                        if not isinstance(record, dict):
                            continue
                        for column in filter(None, wanted):
                            if column not in record:
                                raise UsageError(f"{file.name}: the first record has no field "
                                                 f"{column!r}")
                        return
            except UsageError:
                raise
            except Exception:  # unreadable: reported when reached
                continue

    def kept_kinds(self, files: list[File], names: Sequence[str],
                   options: Options) -> dict[str, str]:
        return {name: "string" for name in names}  # checked in the first record

    def row_id(self, name: str, row: int) -> str:
        return f"{name}:{row}"

    def add_line(self, batches: Batches, name: str, row: int, line: bytes,
                 options: Options) -> None:
        if line.strip():
            _add_record(batches, self.row_id(name, row), line, options)


def _kept_value(value: Any) -> str | None:
    """A JSON value of a kept field as text: a string as it is, anything else as JSON."""
    return value if value is None or isinstance(value, str) else json.dumps(value)


def _add_record(batches: Batches, id_: str, line: bytes, options: Options) -> None:
    try:
        record = json.loads(line)
        if not isinstance(record, dict):
            raise ValueError("the line is not a JSON object")
        if options.id_column:
            if options.id_column not in record:
                raise KeyError(f"no field {options.id_column!r}")
            id_ = str(record[options.id_column])
        if options.column not in record:
            raise KeyError(f"no field {options.column!r}")
        value = record[options.column]
        if value is not None and not isinstance(value, str):
            raise TypeError(f"field {options.column!r} is {type(value).__name__}, not a string")
        kept = {name: _kept_value(record.get(name)) for name, _ in options.keep}
        entropies = None
        if options.entropies:
            entropies = record.get(options.entropies)
            if entropies is not None and not (isinstance(entropies, list) and all(
                    isinstance(h, (int, float)) and not isinstance(h, bool) for h in entropies)):
                raise TypeError(f"field {options.entropies!r} is not a list of numbers")
        batches.add(id_, value.encode("utf-8") if value is not None else None, None, kept,
                    entropies)
    except (ValueError, KeyError, TypeError) as error:  # UnicodeError is a ValueError
        batches.add(id_, None, reason(error))


FORMAT = JsonLines()
