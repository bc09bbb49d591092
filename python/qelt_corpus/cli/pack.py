"""``qelt-corpus pack``: every document patched into packed shards on local disk, for
training (docs/formats.md, "Packed shards"; read them with
``qelt_corpus.PackedDataset``). Shards are written on the workers, each from a run of
consecutive partitions; ``index.json`` is written last, when every shard is whole."""

from __future__ import annotations

import argparse
import dataclasses
import hashlib
import json
import os
from typing import Any

from .. import _storage
from .._packed import FORMAT, VERSION
from . import _driver, _manifest, _options
from ._settings import Cluster, Inputs, Patching
from ._summary import Summary
from ._usage import UsageError
from .tasks import pack as tasks

SHARD_BYTES = 1 << 30
# Each shard is written by one task, so a corpus of a few shards leaves workers idle
# while the largest is written: by default a corpus is cut into at least this many
# shards, of no less than SMALLEST_DEFAULT_SHARD bytes.
DEFAULT_SHARDS = 16
SMALLEST_DEFAULT_SHARD = 64 << 20
INDEX = "index.json"


def add_parser(commands: Any) -> None:
    pack = commands.add_parser("pack", help="patch documents into packed shards for training",
                               description="Patch every document into packed shards: bytes, "
                               "patch lengths and document offsets as flat little-endian "
                               "arrays, read by qelt_corpus.PackedDataset.")
    _options.add_inputs(pack)
    pack.add_argument("--out", required=True, metavar="DIR",
                      help="directory of the shards, on local disk (it is memory-mapped by "
                      "readers): absent, empty, or shards of an earlier run to finish with "
                      "--resume")
    _options.add_patching(pack)
    pack.add_argument("--shard-bytes", type=_options.size, metavar="SIZE",
                      help="bytes of input per shard, about (default: 1 GiB, or a "
                      f"{DEFAULT_SHARDS}th of the input if that is less, but not less than 64 "
                      "MiB, so that every worker has shards to write); below "
                      "--partition-bytes, partitions are made as small, as far as the input "
                      "can be cut (a Parquet row group, a compressed file are whole)")
    pack.add_argument("--resume", action="store_true",
                      help="finish an interrupted run: keep the shards it completed")
    _options.add_partitioning(pack)
    _options.add_cluster(pack)


def default_shard_bytes(partitions: list[Any]) -> int:
    """The shard size of a run that names none: it depends on the input alone, so that
    --resume cuts the same shards."""
    share = -(-sum(partition.size for partition in partitions) // DEFAULT_SHARDS)
    return min(SHARD_BYTES, max(SMALLEST_DEFAULT_SHARD, share))


def shards(partitions: list[Any], shard_bytes: int) -> list[list[int]]:
    """Runs of consecutive partitions of about `shard_bytes` of input each."""
    groups: list[list[int]] = []
    size = 0
    for index, partition in enumerate(partitions):
        if not groups or size >= shard_bytes:
            groups.append([])
            size = 0
        groups[-1].append(index)
        size += partition.size
    return groups


@dataclasses.dataclass(frozen=True)
class PackRun(_driver.DirectoryRun):
    shard_bytes: int | None = None  # asked for; None for the default


def _model_settings(asked: PackRun) -> dict[str, Any]:
    """What made the patches, for the index: k, the column of the entropies, or the
    model's location and SHA-256 (and its reading, unless the static one)."""
    patching = asked.patching
    if patching.source == "entropies":
        return {"entropies": patching.entropies}
    if patching.source == "k":
        return {"k": patching.k}
    reading = patching.reading.manifest()
    fs, path = _storage.resolve(patching.model, asked.inputs.storage_options)
    if fs is None:
        with open(path, "rb") as file:
            data = file.read()
    else:
        data = fs.cat_file(path)
    return {"model": {"location": patching.model, "sha256": hashlib.sha256(data).hexdigest()},
            **reading}


class Pack:
    """A shard per run of consecutive partitions, and the index once all are whole."""

    verb = "packed"
    doing = "packing"
    noun = "shards"
    in_flight_per_worker = 2
    task = staticmethod(tasks.pack_shard)

    def __init__(self, asked: PackRun) -> None:
        self.asked = asked

    def _shard_bytes(self, partitions: list[Any]) -> int:
        return self.asked.shard_bytes or default_shard_bytes(partitions)

    def groups(self, partitions: list[Any]) -> list[list[int]]:
        return shards(partitions, self._shard_bytes(partitions)) or [[]]

    def settings(self, partitions: list[Any]) -> dict[str, Any]:
        return {"command": "pack", "shard_bytes": self._shard_bytes(partitions)}

    def is_ours(self, name: str) -> bool:
        return name.startswith("shard-") or name == INDEX

    def name(self, index: int) -> str:
        return tasks.shard_name(index)

    def completion_marker(self, index: int) -> str:
        return tasks.shard_name(index) + tasks.SHARD_FILES[-1]

    def summary_of(self, result: tasks.ShardMade) -> Summary:
        return result.summary

    def stored(self, output: _manifest.Output, index: int, options: Any) -> Summary:
        return tasks.stored_shard(output.path, index).summary

    def finish(self, run: _driver.Run) -> tuple[str, list[str]]:
        """Writes the index if every shard is whole."""
        made = {i: tasks.stored_shard(run.output.path, i) for i in run.whole}
        complete = len(run.whole) == len(run.groups)
        patching = self.asked.patching
        if complete:
            index = {
                "format": FORMAT, "version": VERSION,
                "shards": [{"name": tasks.shard_name(i), "documents": made[i].documents,
                            "bytes": made[i].bytes, "patches": made[i].patches}
                           for i in range(len(run.groups))],
                "settings": {**_model_settings(self.asked), "theta": patching.theta,
                             "theta_r": patching.theta_r,
                             "max_patch_length": patching.max_patch_length},
                "documents": sum(m.documents for m in made.values()),
                "bytes": sum(m.bytes for m in made.values()),
                "patches": sum(m.patches for m in made.values()),
            }
            with _storage.committed(None, os.path.join(run.output.path, INDEX)) as file:
                file.write(json.dumps(index, indent=1).encode())
        packed = sum(m.documents for m in made.values())
        return (f"shards: {self.asked.out} ({len(run.whole)} of {len(run.groups)}"
                + (f", {INDEX} written)" if complete else f"; {INDEX} is written when all are)")
                + f"; {packed} documents packed"), []


def run(args: argparse.Namespace, started: float) -> int:
    if _storage.is_remote(args.out):
        raise UsageError(f"--out {args.out}: packed shards are written to local disk (readers "
                         "map them into memory)")
    if args.shard_bytes and args.shard_bytes < args.partition_bytes:
        # A shard is written from whole partitions: smaller shards need partitions at
        # most as large (as far as the input can be cut: a row group, a compressed file).
        args.partition_bytes = args.shard_bytes
    asked = PackRun("pack", Inputs.of(args), Cluster.of(args), Patching.of(args), args.out,
                    args.resume, args.shard_bytes)
    return _driver.run(asked, started, Pack(asked))
