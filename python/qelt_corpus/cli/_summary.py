"""What a run read and made, added up from the partitions: counts of documents, bytes
and patches, the unreadable documents named (up to a cap), and a histogram of patch
lengths. A partition's summary travels from its worker to the client, and is kept in
the metadata of its output file (docs/formats.md, "Output dataset").
"""

from __future__ import annotations

import dataclasses
import json
from typing import Any, Callable

# The unreadable documents a summary names; beyond them it only counts.
REPORTED_UNREADABLE = 1000
MB = 10**6  # sizes are reported in decimal megabytes, as the progress bar counts them


@dataclasses.dataclass
class Summary:
    """Counts of one partition, or of many added up."""

    documents: int = 0
    empty: int = 0
    unreadable: int = 0
    text_bytes: int = 0
    patches: int = 0
    reported: list[tuple[str, str]] = dataclasses.field(default_factory=list)  # (id, reason)
    histogram: dict[int, int] = dataclasses.field(default_factory=dict)  # length -> patches

    def report(self, ids: Any, problems: Any, unreadable: Any) -> int:
        """Counts the rows that `unreadable` (an Arrow boolean array) marks and names
        the first of them, with their problems; returns how many there were."""
        import pyarrow.compute as pc

        bad = int(pc.sum(unreadable).as_py() or 0)
        self.unreadable += bad
        room = REPORTED_UNREADABLE - len(self.reported)
        if bad and room > 0:
            self.reported.extend(zip(pc.filter(ids, unreadable).to_pylist()[:room],
                                     pc.filter(problems, unreadable).to_pylist()[:room]))
        return bad

    def add(self, other: Summary) -> None:
        self.documents += other.documents
        self.empty += other.empty
        self.unreadable += other.unreadable
        self.text_bytes += other.text_bytes
        self.patches += other.patches
        self.reported.extend(other.reported[:REPORTED_UNREADABLE - len(self.reported)])
        for length, count in other.histogram.items():
            self.histogram[length] = self.histogram.get(length, 0) + count

    @property
    def ok(self) -> int:
        return self.documents - self.empty - self.unreadable

    def counts_line(self, skipped: int = 0) -> str:
        """The counts as the command prints them, with the links to directories that
        were skipped, if any."""
        links = f"; {skipped} links to directories skipped" if skipped else ""
        return (f"{self.documents} documents ({self.ok} ok, {self.empty} empty, "
                f"{self.unreadable} unreadable{links}), {self.text_bytes / MB:.1f} MB")

    def report_unreadable(self, where: str, write: Callable[[str], Any]) -> None:
        """Writes one line per unreadable document named, and one for the rest."""
        for id_, reason in self.reported:
            write(f"unreadable: {id_}: {reason}")
        if self.unreadable > len(self.reported):
            write(f"unreadable: {self.unreadable - len(self.reported)} more in {where}")

    def to_json(self) -> str:
        return json.dumps({
            "documents": self.documents, "empty": self.empty, "unreadable": self.unreadable,
            "bytes": self.text_bytes, "patches": self.patches, "reported": self.reported,
            "histogram": sorted(self.histogram.items()),
        })

    @classmethod
    def from_json(cls, text: str | bytes) -> Summary:
        fields = json.loads(text)
        return cls(documents=fields["documents"], empty=fields["empty"],
                   unreadable=fields["unreadable"], text_bytes=fields["bytes"],
                   patches=fields["patches"],
                   reported=[(str(i), str(r)) for i, r in fields["reported"]],
                   histogram={int(k): int(v) for k, v in fields["histogram"]})
