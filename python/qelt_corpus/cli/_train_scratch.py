"""The scratch directory of a ``train`` run, beside its --out (docs/formats.md,
"Training scratch"): the manifest of the run, the counts of every partition counted,
kept so that ``--resume`` goes on from them, and the runs of the build.

A partition's counts are written by its task as it counts them, in chunks: each time
the counts grow to the task's budget they are split into 2**SPLIT_BITS pieces by
share and appended to the partition's counts file, piece after piece (each piece the
encoding of "Context counts"). The file appears whole or not at all; the partition's
record (its summary and where each piece lies, with its CRC-32) is written after it,
and a partition is counted when its record is there. A share of any number of bits is
a range of pieces in every chunk: share s of 2**bits is pieces s << (SPLIT_BITS - bits)
up to the next share's.
"""

from __future__ import annotations

import contextlib
import dataclasses
import json
import os
import zlib
from typing import IO, Any, Iterator, Sequence

import numpy as np
import numpy.typing as npt

from .. import _storage
from . import _manifest
from ._summary import Summary
from ._usage import UsageError

SPLIT_BITS = 10  # pieces of a chunk: as many as a build has shares at most
MANIFEST = _manifest.MANIFEST
VERSION = 1


def location_beside(out: str) -> str:
    """The scratch directory of a model to be written at `out`: hidden, beside it."""
    head, _, name = out.rstrip("/").rpartition("/")
    hidden = f".{name}.train"
    return f"{head}/{hidden}" if head or out.startswith("/") else hidden


def counts_name(index: int) -> str:
    return f"partition-{index:05d}.counts"


def record_name(index: int) -> str:
    return f"partition-{index:05d}.json"


class DamagedScratch(Exception):
    """Counts kept in the scratch directory are not what was written there."""


@dataclasses.dataclass(frozen=True)
class Chunk:
    """Where a chunk's pieces lie in its counts file: the chunk starts at `start`,
    piece p ends `ends[p]` bytes after it and has the CRC-32 `crcs[p]` and
    `windows[p]` distinct windows."""

    start: int
    ends: npt.NDArray[np.uint64]
    crcs: npt.NDArray[np.uint32]
    windows: npt.NDArray[np.uint64]

    def to_json(self) -> dict[str, Any]:
        return {"start": self.start, "ends": self.ends.tolist(), "crcs": self.crcs.tolist(),
                "windows": self.windows.tolist()}

    @classmethod
    def from_json(cls, fields: dict[str, Any]) -> Chunk:
        chunk = cls(int(fields["start"]), np.asarray(fields["ends"], dtype=np.uint64),
                    np.asarray(fields["crcs"], dtype=np.uint32),
                    np.asarray(fields["windows"], dtype=np.uint64))
        pieces = 1 << SPLIT_BITS
        if not len(chunk.ends) == len(chunk.crcs) == len(chunk.windows) == pieces:
            raise ValueError("a chunk of another number of pieces")
        return chunk


@dataclasses.dataclass(frozen=True)
class Record:
    """A partition counted: what was read, and the chunks of its counts file."""

    index: int
    summary: Summary
    chunks: tuple[Chunk, ...]

    def windows(self) -> npt.NDArray[np.uint64]:
        """At least the distinct windows of each piece, over its chunks."""
        total = np.zeros(1 << SPLIT_BITS, dtype=np.uint64)
        for chunk in self.chunks:
            total += chunk.windows
        return total

    @property
    def file_bytes(self) -> int:
        """The size of the partition's counts file."""
        return sum(int(chunk.ends[-1]) for chunk in self.chunks)

    def to_json(self) -> str:
        return json.dumps({"version": VERSION, "index": self.index,
                           "summary": json.loads(self.summary.to_json()),
                           "chunks": [chunk.to_json() for chunk in self.chunks]})

    @classmethod
    def from_json(cls, text: bytes) -> Record:
        fields = json.loads(text)
        if fields.get("version") != VERSION:
            raise ValueError(f"a record of version {fields.get('version')}")
        return cls(int(fields["index"]), Summary.from_json(json.dumps(fields["summary"])),
                   tuple(Chunk.from_json(c) for c in fields["chunks"]))


@dataclasses.dataclass(frozen=True)
class Scratch:
    """A run's scratch directory."""

    location: str
    storage_options: dict[str, Any] = dataclasses.field(compare=False, repr=False)

    def join(self, name: str) -> str:
        return _storage.join(self.location, name)

    def _resolved(self) -> tuple[Any, str]:
        return _storage.resolve(self.location, self.storage_options)

    def names(self) -> list[str]:
        """What the directory holds (nothing if it is not there)."""
        fs, path = self._resolved()
        if fs is None:
            return sorted(os.listdir(path)) if os.path.isdir(path) else []
        try:
            entries = fs.ls(path, detail=False)
        except FileNotFoundError:
            return []
        return sorted(entry.rstrip("/").rsplit("/", 1)[-1] for entry in entries)

    def read(self, name: str) -> bytes:
        fs, path = _storage.resolve(self.join(name), self.storage_options)
        if fs is None:
            with open(path, "rb") as file:
                return file.read()
        return fs.cat_file(path)  # type: ignore[no-any-return]

    def write(self, name: str, data: bytes) -> None:
        _storage.write_file(self.join(name), data, self.storage_options)

    def make(self) -> None:
        fs, path = self._resolved()
        if fs is None:
            os.makedirs(path, exist_ok=True)
        else:
            fs.makedirs(path, exist_ok=True)

    def remove(self) -> None:
        """Removes the directory and all it holds, if it is there."""
        fs, path = self._resolved()
        with contextlib.suppress(Exception):
            if fs is None:
                import shutil

                shutil.rmtree(path, ignore_errors=True)
            elif fs.exists(path):
                fs.rm(path, recursive=True)

    def records(self) -> dict[int, Record]:
        """The records of the partitions counted, by index; DamagedScratch for one that
        cannot be read."""
        found = {}
        for name in self.names():
            if name.startswith("partition-") and name.endswith(".json"):
                try:
                    record = Record.from_json(self.read(name))
                except (ValueError, KeyError, TypeError) as error:
                    raise DamagedScratch(f"{self.join(name)}: {error}") from None
                found[record.index] = record
        return found


def check(out: str, resume: bool, made_by: dict[str, Any],
          storage_options: dict[str, Any]) -> Scratch:
    """The scratch directory of a model at `out`, checked before any work: one that holds
    a run's counts needs --resume and the same inputs and settings (UsageError
    otherwise). Writes nothing."""
    scratch = Scratch(location_beside(out), storage_options)
    try:
        names = scratch.names()
        if MANIFEST not in names:
            return scratch  # absent, or cut short before it had any counts
        if not resume:
            raise UsageError(f"--out {out}: the counts of an interrupted run are kept in "
                             f"{scratch.location}: --resume to go on from them, or remove it")
        found = json.loads(scratch.read(MANIFEST))
    except UsageError:
        raise
    except Exception as error:
        raise UsageError(f"--out {_storage.describe(error, scratch.location)}") from None
    _manifest.same_run(found, made_by, f"--out {out}: {scratch.location}")
    return scratch


def start(scratch: Scratch, made_by: dict[str, Any]) -> None:
    """Makes the directory and writes the manifest (again, the same, when resuming)."""
    scratch.make()
    scratch.write(MANIFEST, json.dumps(made_by, indent=1).encode())


class CountsFile:
    """The counts file of a partition being written, chunk by chunk."""

    def __init__(self, file: IO[bytes]) -> None:
        self.file = file
        self.at = 0
        self.chunks: list[Chunk] = []

    def add(self, encoded: npt.NDArray[np.uint8], ends: npt.NDArray[np.uint64],
            windows: npt.NDArray[np.uint64]) -> None:
        """Appends a chunk: the encoded pieces one after another, piece p ending at
        ends[p], with windows[p] windows."""
        view = memoryview(encoded)
        stops = ends.tolist()
        crcs = np.fromiter((zlib.crc32(view[a:b]) for a, b in zip([0, *stops[:-1]], stops)),
                           dtype=np.uint32, count=len(stops))
        self.file.write(view)
        self.chunks.append(Chunk(self.at, ends, crcs, windows))
        self.at += len(view)


@contextlib.contextmanager
def counts_file(scratch: str, index: int, summary: Summary,
                storage_options: dict[str, Any]) -> Iterator[CountsFile]:
    """The counts file of partition `index` to write; once the block ends without an
    error, the file is committed and then the partition's record (with `summary` as it
    is then) written: the partition is counted."""
    where = Scratch(scratch, storage_options)
    fs, path = _storage.resolve(where.join(counts_name(index)), storage_options)
    with _storage.committed(fs, path) as file:
        counts = CountsFile(file)
        yield counts
    record = Record(index, summary, tuple(counts.chunks))
    where.write(record_name(index), record.to_json().encode())


def share_pieces(scratch: str, records: Sequence[Record], share: int, bits: int,
                 storage_options: dict[str, Any]) -> Iterator[memoryview]:
    """The encoded pieces of share `share` of 2**bits in every chunk of `records`' counts
    files (those that hold any window), each checked against its CRC-32;
    DamagedScratch for one that is not what was written."""
    shift = SPLIT_BITS - bits
    first, last = share << shift, (share + 1) << shift
    for record in records:
        location = _storage.join(scratch, counts_name(record.index))
        wanted = [chunk for chunk in record.chunks if chunk.windows[first:last].any()]
        if not wanted:
            continue
        fs, path = _storage.resolve(location, storage_options)
        with contextlib.ExitStack() as stack:
            file = stack.enter_context(open(path, "rb")) if fs is None else None
            for chunk in wanted:
                begin = 0 if first == 0 else int(chunk.ends[first - 1])
                end = int(chunk.ends[last - 1])
                start, stop = chunk.start + begin, chunk.start + end
                if file is not None:
                    file.seek(start)
                    data = file.read(stop - start)
                else:
                    data = fs.cat_file(path, start=start, end=stop)
                if len(data) != stop - start:
                    raise DamagedScratch(f"{location}: cut short ({len(data)} of "
                                         f"{stop - start} bytes at {start})")
                view = memoryview(data)
                at = begin
                for piece in range(first, last):
                    piece_end = int(chunk.ends[piece])
                    bytes_ = view[at - begin:piece_end - begin]
                    if zlib.crc32(bytes_) != int(chunk.crcs[piece]):
                        raise DamagedScratch(f"{location}: the piece {piece} of the chunk at "
                                             f"{chunk.start} is damaged")
                    if chunk.windows[piece]:
                        yield bytes_
                    at = piece_end
