"""The output of a run that writes a directory (a dataset, packed shards): what may be
written to, and the manifest that says what made it, so that --resume finishes the
same run (docs/formats.md, "Output dataset").

--out must be absent, empty, or an output of ours, which then needs --resume and the
same inputs and settings. All of this is checked before any work starts and before
anything is written; the directory and the manifest are written once the cluster is
reached.
"""

from __future__ import annotations

import contextlib
import dataclasses
import hashlib
import json
import os
from typing import Any, Callable, Sequence

from .. import _storage
from ._settings import Inputs, Patching
from ._usage import UsageError

MANIFEST = "_qelt_corpus.json"
VERSION = 1


def model_identity(location: str, storage_options: dict[str, Any]) -> list[Any]:
    """What tells a model file from another at the same location: its size and its
    modification time (an ETag on a store). Never its storage options."""
    fs, path = _storage.resolve(location, storage_options)
    if fs is None:
        info = os.stat(path)
        return [os.path.abspath(path), info.st_size, info.st_mtime_ns]
    info = fs.info(path)
    mark = next((info[k] for k in ("ETag", "etag", "mtime", "LastModified", "last_modified")
                 if info.get(k) is not None), None)
    return [location, int(info.get("size") or 0), str(mark)]


def manifest(inputs: Inputs, patching: Patching, partitions: Sequence[Any],
             model: list[Any] | None, **settings: Any) -> dict[str, Any]:
    """What makes an output: a resumed run must have the same."""
    plan = hashlib.sha256(repr(list(partitions)).encode()).hexdigest()
    return {
        "version": VERSION,
        "inputs": [_storage.absolute(i) for i in inputs.locations],
        "format": inputs.format, "column": inputs.column, "id_column": inputs.id_column,
        "k": patching.k, "model": model, "theta": patching.theta, "theta_r": patching.theta_r,
        "max_patch_length": patching.max_patch_length,
        "partition_bytes": inputs.partition_bytes,
        **({"entropies": inputs.entropies} if inputs.entropies else {}),
        **patching.reading.manifest(),
        **settings,
        "partitions": len(partitions), "plan": plan,
    }


@dataclasses.dataclass
class Output:
    """A directory that a run writes to."""

    location: str
    fs: Any  # None for a local path
    path: str
    names: list[str]  # what it holds now

    def join(self, name: str) -> str:
        return _storage.join(self.location, name)


def _is_partial(name: str) -> bool:
    """A file that a write cut short left behind (on local disks only)."""
    return name.startswith(".") and name.endswith(".tmp")


def check(location: str, resume: bool, made_by: dict[str, Any],
          storage_options: dict[str, Any], is_ours: Callable[[str], bool]) -> Output:
    """The output at `location`, checked: absent, empty, or ours (a name for which
    `is_ours` is true, or the manifest) and then resumable with `made_by`. Raises
    UsageError otherwise. Writes nothing."""
    try:
        fs, path = _storage.resolve(location, storage_options)
        if fs is None:
            path = os.path.abspath(path)
            names = _local_names(path)
        else:
            names = _remote_names(fs, path)
    except _storage.StorageError as error:
        raise UsageError(f"--out {error}") from None
    except UsageError:
        raise
    except Exception as error:
        raise UsageError(f"--out {_storage.describe(error, location)}") from None
    output = Output(location, fs, path, names)
    mine = [n for n in names if n == MANIFEST or is_ours(n)]
    foreign = [n for n in names if n not in mine and not _is_partial(n)]
    if foreign and not mine:
        raise UsageError(f"--out {location} is not empty and holds no output of qelt-corpus "
                         f"(it holds {foreign[0]}): choose an empty or new directory")
    if mine and not resume:
        raise UsageError(f"--out {location} already holds an output: --resume to finish it, "
                         "or choose another directory")
    if resume and MANIFEST in names:
        same_run(json.loads(_read(output, MANIFEST)), made_by, f"--out {location}")
    return output


def same_run(found: dict[str, Any], made_by: dict[str, Any], where: str) -> None:
    """UsageError unless the manifest `found` at `where` (as messages name it) is of the
    version of `made_by` and says what it says: a run goes on only from its own."""
    if found.get("version") != made_by["version"]:
        raise UsageError(f"{where}: unsupported version {found.get('version')} of "
                         f"{MANIFEST} (this build reads version {made_by['version']})")
    if found != made_by:
        raise UsageError(f"{where} holds a run with other inputs or settings: it cannot be "
                         "resumed with these")


def _local_names(path: str) -> list[str]:
    if not os.path.exists(path):
        _check_writable(os.path.dirname(os.path.abspath(path)), path)
        return []
    if not os.path.isdir(path):
        raise UsageError(f"--out {path}: not a directory")
    names = sorted(os.listdir(path))
    _check_writable(path, path)
    return names


def _check_writable(directory: str, given: str) -> None:
    """UsageError unless a directory could be made or written at `given`: the nearest
    existing directory on the way must be writable (a read-only file system is not)."""
    while not os.path.exists(directory):
        directory = os.path.dirname(directory)
    if not os.access(directory, os.W_OK | os.X_OK):
        raise UsageError(f"--out {given}: cannot be written ({directory} is read-only)")


def _remote_names(fs: Any, path: str) -> list[str]:
    try:
        entries = fs.ls(path, detail=False)
    except FileNotFoundError:
        return []
    names = sorted(entry.rstrip("/").rsplit("/", 1)[-1] for entry in entries)
    if names == [path.rstrip("/").rsplit("/", 1)[-1]] and fs.isfile(path):
        raise UsageError(f"--out {path}: not a directory")
    return names


def _read(output: Output, name: str) -> bytes:
    if output.fs is None:
        with open(os.path.join(output.path, name), "rb") as file:
            return file.read()
    return output.fs.cat_file(_storage.join(output.path, name))  # type: ignore[no-any-return]


def write(output: Output, made_by: dict[str, Any]) -> None:
    """Creates the directory, removes what earlier writes cut short left, and writes
    the manifest; UsageError if it cannot."""
    try:
        if output.fs is None:
            os.makedirs(output.path, exist_ok=True)
            remove_partial_files(output)
            fs, path = None, os.path.join(output.path, MANIFEST)
        else:
            output.fs.makedirs(output.path, exist_ok=True)
            fs, path = output.fs, _storage.join(output.path, MANIFEST)
        with _storage.committed(fs, path) as file:
            file.write(json.dumps(made_by, indent=1).encode())
    except Exception as error:
        raise UsageError(f"--out {_storage.describe(error, output.location)}") from None


def names(output: Output) -> list[str]:
    """What the directory holds now."""
    if output.fs is None:
        return sorted(os.listdir(output.path)) if os.path.isdir(output.path) else []
    return _remote_names(output.fs, output.path)


def remove_partial_files(output: Output) -> None:
    """Removes the remains of writes cut short (local disks only: on stores an upload
    cut short leaves nothing)."""
    if output.fs is not None:
        return
    with contextlib.suppress(OSError):
        for name in os.listdir(output.path):
            if _is_partial(name):
                with contextlib.suppress(OSError):
                    os.unlink(os.path.join(output.path, name))
