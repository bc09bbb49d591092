"""What every input format shares: the reading options, the files a corpus is made of,
opening them (compressed or not, local or on a store), and the batch of documents that
a reader yields: an Arrow table with one row per document, ``id``, ``text`` (large
binary; null for a null text) and ``problem`` (why it could not be read, else null),
then the kept columns and the given entropies."""

from __future__ import annotations

import dataclasses
import io
import json
import zlib
import os
from typing import Any, BinaryIO, Iterator

from ... import _storage

PARTITION_BYTES = 32 << 20  # input bytes per partition, about
BATCH_BYTES = 8 << 20  # a partition is read, patched and written in batches of this size
KEPT = "kept:"  # the prefix of the kept columns of a batch
ENTROPIES = "entropies:"  # the column of a batch holding the given entropies
COMPRESSIONS = {".gz": "gzip", ".zst": "zstd"}


@dataclasses.dataclass(frozen=True)
class Options:
    """How documents are found in the records of an input, and the options of the file
    systems they are read from."""

    column: str = "text"
    id_column: str | None = None
    storage_options: dict[str, Any] = dataclasses.field(default_factory=dict, compare=False,
                                                         repr=False)
    # Input columns carried into the output, with their type there ("string" or
    # "binary"); a batch holds each as a column named KEPT + name.
    keep: tuple[tuple[str, str], ...] = ()
    # The column or field of each document's entropies (a list of numbers, one per
    # byte), if patching takes them instead of a model; a batch holds them as ENTROPIES.
    entropies: str | None = None


@dataclasses.dataclass(frozen=True)
class File:
    """A file of the corpus: where it is (a local path or a URL), its name (the part of
    the location below the input given; its documents' ids start with it) and its
    size."""

    location: str
    name: str
    size: int


def compression_of(path: str) -> str | None:
    """The compression a file's name says it has, if any."""
    return COMPRESSIONS.get(os.path.splitext(path)[1])


def without_compression(name: str) -> str:
    """A file's name without the suffix of its compression."""
    return name[: -len(os.path.splitext(name)[1])] if compression_of(name) else name


def raw(location: str, storage_options: dict[str, Any] | None) -> BinaryIO:
    """The file at `location` (a local path or a URL), opened to read."""
    fs, path = _storage.resolve(location, storage_options)
    if fs is None:
        return open(path, "rb")
    return fs.open(path, "rb")  # type: ignore[no-any-return]


def open_file(location: str, compression: str | None,
              storage_options: dict[str, Any] | None = None) -> BinaryIO:
    """The file at `location`, decompressed as `compression` says. A compressed file
    that is cut short or damaged reads as far as its data goes, and then raises (never
    ends early in silence): a reader of lines gets every line before the damage."""
    stream = raw(location, storage_options)
    if compression is None:
        return stream
    decompressed = io.BufferedReader(_Decompressed(stream, compression), 1 << 20)
    return decompressed  # type: ignore[return-value]


class _Decompressed(io.RawIOBase):
    """The decompressed bytes of a stream of gzip or zstd frames (one or many, one after
    another), as far as they go."""

    def __init__(self, stream: BinaryIO, compression: str) -> None:
        self._stream = stream
        self._chunks = _decompressed_chunks(stream, compression)
        self._pending = memoryview(b"")

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        while not self._pending:
            chunk = next(self._chunks, None)
            if chunk is None:
                return 0
            self._pending = memoryview(chunk)
        size = min(len(buffer), len(self._pending))
        buffer[:size] = self._pending[:size]
        self._pending = self._pending[size:]
        return size

    def close(self) -> None:
        self._stream.close()
        super().close()


def _decompressed_chunks(stream: BinaryIO, compression: str) -> Iterator[bytes]:
    """The decompressed bytes of `stream`, a chunk at a time; once its data ends,
    EOFError if the last frame was cut short (the decompressors' own readers drop the
    bytes they decompressed before noticing, or say nothing at all)."""
    def frame() -> Any:
        if compression == "gzip":
            return zlib.decompressobj(wbits=31)
        import zstandard

        return zstandard.ZstdDecompressor().decompressobj()

    decompressor, started = frame(), False
    while True:
        data = stream.read(1 << 20)
        if not data:
            break
        while data:
            started = True
            out = decompressor.decompress(data)
            if out:
                yield out
            if decompressor.eof:  # a frame ended: what follows is the next one
                data = decompressor.unused_data
                decompressor, started = frame(), False
            else:
                data = b""
    if started:
        raise EOFError("the compressed data ends before its end marker: the file is cut short")


def storage_failure(error: BaseException, location: str) -> bool:
    """Whether reading `location` failed because its store did (a timeout, a dropped
    connection, a server error) rather than because of what it holds: such a failure
    fails the task, to be retried or left for --resume, where a file that cannot be
    read makes its documents unreadable."""
    if not _storage.is_remote(location):
        return False
    if isinstance(error, (FileNotFoundError, IsADirectoryError, EOFError, UnicodeError,
                          zlib.error)):
        return False
    module = type(error).__module__.split(".")[0]
    return isinstance(error, (OSError, ConnectionError, TimeoutError)) or module in (
        "botocore", "aiobotocore", "aiohttp", "urllib3", "requests", "fsspec", "s3fs", "gcsfs",
        "huggingface_hub")


def reason(error: BaseException) -> str:
    """Why a document is unreadable, in one line. JSON's own errors say where in the
    record (not the "line 1" of its one line, which ids and messages would then
    number twice)."""
    if isinstance(error, json.JSONDecodeError):
        return f"{type(error).__name__}: {error.msg} at character {error.pos} of the record"
    return f"{type(error).__name__}: {error}".replace("\n", " ")


def printable(text: str) -> str:
    """`text` as UTF-8 can hold it: a path is bytes on POSIX, and one that is not UTF-8
    reaches Python with its other bytes as lone surrogates, which are written as
    ``\\xHH`` (docs/formats.md, "Output dataset")."""
    try:
        text.encode("utf-8")
        return text
    except UnicodeEncodeError:
        return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def kept_type(kind: str) -> Any:
    """The Arrow type of a kept column: "string" or "binary"."""
    import pyarrow as pa

    return pa.large_string() if kind == "string" else pa.large_binary()


def check_text_type(type_: Any, column: str) -> None:
    """TypeError unless `column`, of `type_`, holds documents (string or binary)."""
    from ... import _arrow

    try:
        _arrow.offset_width(type_)
    except TypeError:
        raise TypeError(f"column {column!r} is {type_}, not string or binary") from None


class Batches:
    """Collects documents and cuts them into tables of about BATCH_BYTES: id, text,
    problem, the columns kept and the given entropies."""

    def __init__(self, options: Options) -> None:
        self.keep = options.keep
        self.with_entropies = options.entropies is not None
        self._clear()

    def _clear(self) -> None:
        self.ids: list[str] = []
        self.texts: list[bytes | None] = []
        self.problems: list[str | None] = []
        self.kept: list[list[Any]] = [[] for _ in self.keep]
        self.entropies: list[list[float] | None] = []
        self.size = 0

    def add(self, id_: str, text: bytes | None, problem: str | None = None,
            kept: dict[str, Any] | None = None, entropies: list[float] | None = None) -> None:
        """A document; `kept` holds the values of the kept columns (the text itself
        where no value is given for "text")."""
        self.ids.append(id_)
        self.entropies.append(entropies)
        self.texts.append(text)
        self.problems.append(problem)
        for values, (name, _) in zip(self.kept, self.keep):
            values.append(kept.get(name) if kept is not None else
                          text if name == "text" and problem is None else None)
        self.size += len(text) if text else 0

    def full(self) -> bool:
        return self.size >= BATCH_BYTES

    def take(self) -> Any:
        import pyarrow as pa

        columns = {
            "id": pa.array([printable(i) for i in self.ids], pa.string()),
            "text": pa.array(self.texts, pa.large_binary()),
            "problem": pa.array([None if p is None else printable(p) for p in self.problems],
                                pa.string()),
        }
        for values, (name, kind) in zip(self.kept, self.keep):
            columns[KEPT + name] = pa.array(values, kept_type(kind))
        if self.with_entropies:
            columns[ENTROPIES] = pa.array(self.entropies, pa.list_(pa.float32()))
        self._clear()
        return pa.table(columns)
