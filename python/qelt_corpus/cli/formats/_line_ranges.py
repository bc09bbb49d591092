"""What the two line-based formats (``lines`` and ``jsonl``) share: a file is cut into
byte ranges, each owning the lines that start in it, and a range's first row is known
once the lines before it are counted on a worker. A compressed file is read whole, as
one range. A format of lines says only what a line is (LineFormat.add_line)."""

from __future__ import annotations

import dataclasses
import io
from typing import Any, ClassVar, Iterator

from ._common import (Batches, File, Options, compression_of, open_file, raw, reason,
                      storage_failure)
from ._format import Format


@dataclasses.dataclass(frozen=True)
class LinesPartition:
    """The lines of a JSON-lines or text file that start in [start, end) (end None: to
    the end), the first of them being line `first_row` of the file (counted from 0);
    -1 until counted. Compressed files are read from start 0 to the end."""

    path: str
    name: str
    json: bool
    compression: str | None
    start: int
    end: int | None
    first_row: int
    size: int

    @property
    def format(self) -> str:
        return "jsonl" if self.json else "lines"


def plan(files: list[File], partition_bytes: int, json: bool) -> Iterator[LinesPartition]:
    for file in files:
        compression = compression_of(file.location)
        if compression is not None or file.size <= partition_bytes:
            yield LinesPartition(file.location, file.name, json, compression, 0, None, 0,
                                 file.size)
            continue
        for start in range(0, file.size, partition_bytes):
            end = start + partition_bytes if start + partition_bytes < file.size else None
            yield LinesPartition(file.location, file.name, json, None, start, end,
                                 0 if start == 0 else -1, (end or file.size) - start)


def uncounted(partition: LinesPartition) -> bool:
    """A range of a file cut into several: its rows are numbered once the lines of the
    ranges before it are counted."""
    return partition.start > 0 or partition.end is not None


def count_rows(partition: LinesPartition, options: Options) -> int:
    """How many lines of the file start in [start, end): the first byte of the file,
    and every byte after a newline, but the end of the file itself."""
    with raw(partition.path, options.storage_options) as file:
        size = file.seek(0, io.SEEK_END)
        stop = size if partition.end is None else min(partition.end, size)
        count = 1 if partition.start == 0 and size > 0 else 0
        # Newlines at [start - 1, stop - 1) are followed by a line start in range.
        file.seek(max(partition.start - 1, 0))
        remaining = stop - 1 - max(partition.start - 1, 0)
        while remaining > 0:
            chunk = file.read(min(remaining, 1 << 24))
            if not chunk:
                break
            count += chunk.count(b"\n")
            remaining -= len(chunk)
    return count


def numbered(partition: LinesPartition, first_row: int) -> Any:
    return dataclasses.replace(partition, first_row=first_row)


def owned_lines(partition: LinesPartition, options: Options) -> Iterator[tuple[int, bytes]]:
    """(row, line without its newline) of every line the partition owns."""
    with open_file(partition.path, partition.compression, options.storage_options) as lines:
        position = partition.start
        if partition.start > 0:
            lines.seek(partition.start - 1)
            position += len(lines.readline()) - 1  # the rest of a line begun earlier
        row = partition.first_row
        for line in lines:
            if partition.end is not None and position >= partition.end:
                break
            position += len(line)
            yield row, line[:-1] if line.endswith(b"\n") else line
            row += 1


class LineFormat(Format):
    """A format of one document or record per line."""

    json: ClassVar[bool]  # what LinesPartition.json says of its partitions

    def row_id(self, name: str, row: int) -> str:
        """The id of line `row` (from 0) of the file `name`."""
        raise NotImplementedError

    def add_line(self, batches: Batches, name: str, row: int, line: bytes,
                 options: Options) -> None:
        """Adds the document of line `row` (from 0) of the file `name` to `batches`."""
        raise NotImplementedError

    def plan(self, files: list[File], options: Options,
             partition_bytes: int) -> Iterator[LinesPartition]:
        return plan(files, partition_bytes, self.json)

    def read(self, partition: LinesPartition, options: Options) -> Iterator[Any]:
        batches = Batches(options)
        row = partition.first_row
        try:
            for row, line in owned_lines(partition, options):
                self.add_line(batches, partition.name, row, line, options)
                row += 1
                if batches.full():
                    yield batches.take()
        except Exception as error:  # a corrupt or truncated stream: the rest is unreadable
            if storage_failure(error, partition.path):
                raise
            # One unreadable row where the damage begins, numbered as that line's would be.
            batches.add(self.row_id(partition.name, row), None, reason(error))
        yield batches.take()

    def uncounted(self, partition: LinesPartition) -> bool:
        return uncounted(partition)

    def count_rows(self, partition: LinesPartition, options: Options) -> int:
        return count_rows(partition, options)

    def numbered(self, partition: LinesPartition, first_row: int) -> Any:
        return numbered(partition, first_row)
