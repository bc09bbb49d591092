"""The one interface every input format implements."""

from __future__ import annotations

from typing import Any, ClassVar, Iterator, Sequence

from .._usage import UsageError
from ._common import File, Options, without_compression


class Format:
    """How one kind of input is recognised, planned into partitions on the client,
    read on the workers, and how its documents are numbered (their ids).

    A partition of the format is a frozen dataclass with a `size` (input bytes, about)
    and the class attribute `format`, the format's name."""

    name: ClassVar[str]
    # What the names of its files end with (before a compression suffix), for telling
    # formats apart; none for a format that is never recognised by name.
    suffixes: ClassVar[tuple[str, ...]] = ()
    # Whether its documents are records with fields beside the text, for --id-column,
    # --entropies and --keep-columns of any field.
    records: ClassVar[bool] = False

    def recognises(self, name: str) -> bool:
        """Whether a file of this name is of this format."""
        return bool(self.suffixes) and without_compression(name).endswith(self.suffixes)

    def files_of_directory(self, files: list[File], visible: list[File]) -> list[File]:
        """The files of a directory (or glob) read as this format: by default the
        visible ones (none of whose path parts starts with "." or "_")."""
        return visible

    def check(self, files: list[File], options: Options) -> None:
        """Raises UsageError if the first readable file lacks a column or field the run
        needs; an unreadable one is left for the run to report."""

    def kept_kinds(self, files: list[File], names: Sequence[str],
                   options: Options) -> dict[str, str]:
        """The type each kept column has in the output, "string" or "binary", as the
        files hold it; UsageError for a column they cannot offer. A format of no
        records offers only "text", each document's own bytes."""
        for name in names:
            if name != "text":
                raise UsageError(f"--keep-columns: {self.name} inputs offer only 'text', "
                                 f"not {name!r}")
        return {name: "binary" for name in names}

    def plan(self, files: list[File], options: Options,
             partition_bytes: int) -> Iterator[Any]:
        """The files cut into partitions of about `partition_bytes`, in order."""
        raise NotImplementedError

    def read(self, partition: Any, options: Options) -> Iterator[Any]:
        """The documents of a partition, as tables (formats._common)."""
        raise NotImplementedError

    def uncounted(self, partition: Any) -> bool:
        """Whether the first row of the partition is not known until the rows before it
        are counted (count_rows) on a worker."""
        return False

    def count_rows(self, partition: Any, options: Options) -> int:
        """The rows that start in the partition."""
        raise NotImplementedError

    def numbered(self, partition: Any, first_row: int) -> Any:
        """The partition, its first row being `first_row`."""
        return partition
