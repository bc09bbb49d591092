"""The task of ``pack``: a run of consecutive partitions patched into a shard of flat
arrays on local disk (docs/formats.md, "Packed shards")."""

from __future__ import annotations

import contextlib
import dataclasses
import os
import uuid
from typing import Any

import numpy as np

from .._summary import Summary
from ..formats import Options, read
from ._documents import Documents, Patcher, patch_lengths
from .patch import SUMMARY_KEY

LONGEST_PACKED_PATCH = 2**32 - 1  # patch lengths are stored in 32 bits
SHARD_FILES = (".bytes", ".patches", ".docs", ".ids.parquet")  # the last one written last


def shard_name(index: int) -> str:
    return f"shard-{index:05d}"


@dataclasses.dataclass(frozen=True)
class ShardMade:
    """What a shard holds: its documents, bytes and patches, and the summary of what was
    read for it."""

    documents: int
    bytes: int
    patches: int
    summary: Summary


def pack_shard(index: int, partitions: list[Any], out: str, patcher: Patcher,
               options: Options) -> ShardMade:
    """Patches the documents of `partitions` into shard `index` of the local directory
    `out`. Its files are written under temporary names and renamed when all are
    complete, the ids last: a shard whose ids file is there is whole. Unreadable
    documents are left out, and counted."""
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.parquet as pq

    base = os.path.join(out, shard_name(index))
    temporary = {suffix: os.path.join(out, f".{shard_name(index)}{suffix}."
                                           f"{uuid.uuid4().hex[:8]}.tmp")
                 for suffix in SHARD_FILES}
    summary = Summary()
    documents = byte = patch = 0
    longest = min(patcher.max_patch_length or LONGEST_PACKED_PATCH, LONGEST_PACKED_PATCH)
    try:
        with open(temporary[".bytes"], "wb") as data, \
                open(temporary[".patches"], "wb") as patches, \
                open(temporary[".docs"], "wb") as docs, \
                open(temporary[".ids.parquet"], "wb") as ids_file, \
                pq.ParquetWriter(ids_file, pa.schema([("id", pa.string())]),
                                 compression="zstd") as ids:
            docs.write(np.zeros(2, "<i8").tobytes())
            for partition in partitions:
                for table in read(partition, options):
                    batch = Documents.of(table)
                    batch.count_into(summary)
                    # Unreadable documents read as empty: they add no bytes and no
                    # patches, and only their rows of ids and offsets are left out.
                    ends = patcher.ends_of(batch, longest)
                    lengths = patch_lengths(ends).astype("<u4")
                    summary.patches += len(lengths)
                    text = batch.text
                    width = 8 if pa.types.is_large_binary(text.type) else 4
                    offsets = np.frombuffer(text.buffers()[1], f"<i{width}")[
                        text.offset:text.offset + len(text) + 1]
                    if len(text) and offsets[-1] > offsets[0]:
                        data.write(memoryview(text.buffers()[2])[offsets[0]:offsets[-1]])
                    patches.write(lengths)
                    readable = np.logical_not(batch.unreadable.to_numpy(zero_copy_only=False))
                    counts = pc.list_value_length(ends).to_numpy(zero_copy_only=False)[readable]
                    sizes = batch.sizes.to_numpy(zero_copy_only=False)[readable]
                    pairs = np.empty((len(sizes), 2), "<i8")
                    np.cumsum(sizes, out=pairs[:, 0])
                    np.cumsum(counts, out=pairs[:, 1])
                    pairs += (byte, patch)
                    docs.write(pairs)
                    ids.write_table(pa.table({"id": pc.cast(
                        pc.filter(batch.ids, pa.array(readable)), pa.string())}))
                    documents += len(sizes)
                    if len(sizes):
                        byte, patch = int(pairs[-1, 0]), int(pairs[-1, 1])
            ids.add_key_value_metadata({SUMMARY_KEY: summary.to_json().encode()})
        for suffix in SHARD_FILES:
            os.replace(temporary[suffix], base + suffix)
    except BaseException:
        for path in temporary.values():
            with contextlib.suppress(OSError):
                os.unlink(path)
        raise
    return ShardMade(documents, byte, patch, summary)


def stored_shard(directory: str, index: int) -> ShardMade:
    """What a finished shard holds, read from its files."""
    import pyarrow.parquet as pq

    base = os.path.join(directory, shard_name(index))
    with open(base + ".ids.parquet", "rb") as file:  # any byte path
        summary = Summary.from_json(pq.read_metadata(file).metadata[SUMMARY_KEY])
    return ShardMade(os.path.getsize(base + ".docs") // 16 - 1, os.path.getsize(base + ".bytes"),
                     os.path.getsize(base + ".patches") // 4, summary)
