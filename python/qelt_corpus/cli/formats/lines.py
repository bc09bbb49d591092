"""``lines``: a text file, one document per line (without its newline, and without a
carriage return before it); each id is ``name:LINE``, lines counted from 1. Any file
that is not of another format by its name is read so."""

from __future__ import annotations

from ._common import Batches, Options
from ._line_ranges import LineFormat


class Lines(LineFormat):
    name = "lines"
    json = False

    def row_id(self, name: str, row: int) -> str:
        return f"{name}:{row + 1}"

    def add_line(self, batches: Batches, name: str, row: int, line: bytes,
                 options: Options) -> None:
        batches.add(self.row_id(name, row), line.rstrip(b"\r"))


FORMAT = Lines()
