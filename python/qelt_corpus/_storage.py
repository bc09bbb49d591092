"""Where files live: local paths and every fsspec URL (``s3://``, ``gs://``, ``hf://``,
``memory://`` ...), opened with the storage options of the run, as Dask's
``storage_options`` are.

Local files are written under a temporary name and renamed when complete; on object
stores, which have no rename, a finished upload is the step that makes a file appear,
and an upload cut short is discarded. Either way a file is whole or absent.
"""

from __future__ import annotations

import contextlib
import os
import uuid
from typing import IO, Any, Iterator, Mapping

# The extra to install for each protocol whose package is not a dependency.
EXTRAS = {"s3": "s3", "s3a": "s3", "gs": "gcs", "gcs": "gcs", "hf": "hf"}


class StorageError(Exception):
    """A location that cannot be used: a protocol whose package is missing, options
    that are not understood, a store that cannot be reached, an object that is not
    there or may not be read. The message is one line and never shows credentials."""


def protocol_of(location: str) -> str:
    """The protocol of a location: "file" for a plain path."""
    head, separator, _ = location.partition("://")
    return head if separator and "/" not in head else "file"


def is_url(location: str) -> bool:
    return protocol_of(location) != "file" or location.startswith("file://")


def is_remote(location: str) -> bool:
    """Whether `location` is on a file system other than the local disk."""
    return protocol_of(location) != "file"


def local_path(location: str) -> str:
    """A local location (a path, or a file:// URL) as a path."""
    return location[len("file://"):] if location.startswith("file://") else location


def absolute(location: str) -> str:
    """A location as another process would need it: a local path made absolute (a
    cluster's workers need not share this one's working directory), a URL as it is."""
    return location if is_url(location) else os.path.abspath(location)


def resolve(location: str,
            storage_options: Mapping[str, Any] | None = None) -> tuple[Any, str]:
    """The file system of `location` and its path there: (None, a path) for the local
    disk, file:// URLs included, so that local files are opened directly."""
    if is_remote(location):
        return filesystem(location, storage_options)
    return None, local_path(location)


def filesystem(location: str, storage_options: Mapping[str, Any] | None = None) -> tuple[Any, str]:
    """The fsspec file system of `location` and its path there."""
    import fsspec

    protocol = protocol_of(location)
    if protocol not in fsspec.available_protocols():
        raise StorageError(f"{location}: {protocol}:// is not a protocol fsspec knows "
                           "(see fsspec.available_protocols())")
    try:
        return fsspec.core.url_to_fs(location, **(storage_options or {}))
    except ImportError:
        protocol = protocol_of(location)
        extra = EXTRAS.get(protocol)
        advice = f"pip install 'qelt[{extra}]'" if extra else "install its fsspec package"
        raise StorageError(f"{location}: {protocol}:// needs a package that is not "
                           f"installed: {advice}") from None
    except (TypeError, ValueError) as error:
        raise StorageError(f"{location}: the storage options do not fit "
                           f"{protocol_of(location)}://: {first_line(error)}") from None


def is_local(fs: Any) -> bool:
    protocol = fs.protocol
    return "file" in (protocol if isinstance(protocol, (tuple, list)) else (protocol,))


def join(location: str, name: str) -> str:
    """`name` inside the directory `location`."""
    return location.rstrip("/") + "/" + name


def first_line(error: BaseException) -> str:
    """An error as one line: its type and the first line of its message."""
    text = str(error).strip().splitlines()
    return f"{type(error).__name__}: {text[0] if text else ''}".rstrip(": ")


def describe(error: BaseException, location: str) -> str:
    """Why `location` could not be used, in one line."""
    if isinstance(error, FileNotFoundError):
        return f"{location}: no such file, directory or object"
    if isinstance(error, PermissionError):
        return f"{location}: permission denied"
    if isinstance(error, IsADirectoryError):
        return f"{location}: is a directory"
    return f"{location}: {first_line(error)}"


@contextlib.contextmanager
def committed(fs: Any, path: str) -> Iterator[IO[bytes]]:
    """A file to write at `path` of `fs` (None: a local path) that appears there whole,
    or not at all."""
    if fs is None or is_local(fs):
        directory, name = os.path.split(os.path.abspath(path))
        temporary = os.path.join(directory, f".{name}.{uuid.uuid4().hex[:8]}.tmp")
        try:
            with open(temporary, "wb") as file:
                yield file
            os.replace(temporary, path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise
        return
    file = fs.open(path, "wb")
    try:
        yield file
    except BaseException:
        discard = getattr(file, "discard", None)
        if discard is not None:
            discard()  # the upload is dropped; nothing appears
            file.closed = True  # else closing it when collected would upload what is left
        else:  # pragma: no cover - file systems without discard commit on close
            file.close()
            with contextlib.suppress(OSError):
                fs.rm(path)
        raise
    file.close()  # the upload completes: the file appears, whole


def write_file(location: str, data: Any,
               storage_options: Mapping[str, Any] | None = None) -> None:
    """Writes `data` (bytes or a buffer) at `location`, whole or not at all."""
    fs, path = resolve(location, storage_options)
    with committed(fs, path) as file:
        file.write(data)


def temporary_beside(location: str) -> str:
    """A location for a file to be written under before it is committed to `location`
    (commit): hidden, beside it, with a name of its own."""
    head, _, name = location.rstrip("/").rpartition("/")
    hidden = f".{name}.{uuid.uuid4().hex[:8]}.tmp"
    return f"{head}/{hidden}" if head or location.startswith("/") else hidden


def commit(temporary: str, location: str,
           storage_options: Mapping[str, Any] | None = None) -> None:
    """Puts the finished file at `temporary` at `location` (replacing what is there), in
    one step on a disk; on an object store, by a copy on the store."""
    fs, path = resolve(temporary, storage_options)
    if fs is None or is_local(fs):
        os.replace(path, resolve(location, storage_options)[1])
        return
    fs.mv(path, resolve(location, storage_options)[1])


def discard(temporary: str, storage_options: Mapping[str, Any] | None = None) -> None:
    """Removes what was written at `temporary`, if anything."""
    fs, path = resolve(temporary, storage_options)
    with contextlib.suppress(Exception):
        if fs is None or is_local(fs):
            os.unlink(path)
        else:
            fs.rm(path)
