"""Model files from object stores and other remote locations, fetched once per machine.

A remote model is downloaded into a local cache and then mapped like any local file,
so that every process of a machine that loads it shares one copy and its pages. A
cached copy is named after the object's identity: its location with its size and
ETag (or, where the store gives none, a SHA-256 of its bytes, computed as they are
downloaded); the file's own CRC is never relied on for this, since two different
models can share it. Copies are written under a temporary name and renamed, so
processes fetching the same model at once each see a whole file.

The cache is ``$QELT_CACHE_DIR``, else ``$XDG_CACHE_HOME/qelt/models``, else
``~/.cache/qelt/models``.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import uuid
from typing import Any

CHUNK = 8 << 20


def cache_directory() -> str:
    if os.environ.get("QELT_CACHE_DIR"):
        return os.environ["QELT_CACHE_DIR"]
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "qelt", "models")


def _etag(info: dict[str, Any]) -> str | None:
    for key in ("ETag", "etag", "md5Hash", "crc32c", "checksum", "sha", "blob_id"):
        value = info.get(key)
        if value:
            return str(value).strip('"')
    return None


def local_copy(fs: Any, path: str, location: str) -> str:
    """The path of a local copy of the remote file `path` of `fs` (`location` as given),
    downloaded unless the cache holds it already."""
    directory = cache_directory()
    os.makedirs(directory, exist_ok=True)
    info = fs.info(path)
    size = int(info.get("size") or 0)
    etag = _etag(info)
    named = None
    if etag is not None:
        identity = hashlib.sha256(f"{location}\0{size}\0{etag}".encode()).hexdigest()
        named = os.path.join(directory, f"{identity}.qelt")
        if os.path.isfile(named) and os.path.getsize(named) == size:
            return named
    temporary = os.path.join(directory, f".{uuid.uuid4().hex}.tmp")
    digest = hashlib.sha256()
    try:
        with fs.open(path, "rb") as source, open(temporary, "wb") as target:
            while chunk := source.read(CHUNK):
                digest.update(chunk)
                target.write(chunk)
        final = named or os.path.join(directory, f"sha256-{digest.hexdigest()}.qelt")
        os.replace(temporary, final)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    return final


def forget(path: str) -> None:
    """Drops a cached copy that turned out damaged, so that the next load fetches it
    again."""
    with contextlib.suppress(OSError):
        os.unlink(path)
