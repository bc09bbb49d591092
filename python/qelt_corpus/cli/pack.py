"""``qelt-corpus pack``: every document patched into packed shards on local disk, for
training (docs/formats.md, "Packed shards"; read them with
``qelt_corpus.PackedDataset``). Shards are written on the workers, each from a run of
consecutive partitions; ``index.json`` is written last, when every shard is whole."""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import sys
import time
from typing import Any

from .. import _storage
from .._packed import FORMAT, VERSION
from . import _cluster, _manifest, _options, _planning, _tasks
from ._summary import MB, Summary
from ._usage import EXIT_INTERRUPTED, EXIT_OK, EXIT_UNREADABLE, UsageError

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
    pack.add_argument("--shard-bytes", type=_options.positive_int, metavar="N",
                      help="bytes of input per shard, about (default: 1 GiB, or a "
                      f"{DEFAULT_SHARDS}th of the input if that is less, but not less than 64 "
                      "MiB, so that every worker has shards to write)")
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


def _model_settings(args: argparse.Namespace) -> dict[str, Any]:
    """What made the patches, for the index: k, or the model's location and SHA-256."""
    if args.model is None:
        return {"k": args.k}
    if _storage.is_url(args.model):
        fs, path = _storage.filesystem(args.model, args.storage_options)
        data = fs.cat_file(path)
    else:
        with open(args.model, "rb") as file:
            data = file.read()
    return {"model": {"location": args.model, "sha256": hashlib.sha256(data).hexdigest()}}


def run(args: argparse.Namespace, started: float) -> int:
    if _storage.is_url(args.out) and _storage.protocol_of(args.out) != "file":
        raise UsageError(f"--out {args.out}: packed shards are written to local disk (readers "
                         "map them into memory)")
    identity = _options.model_identity(args)
    corpus = _planning.corpus(args)
    partitions = corpus.partitions
    shard_bytes = args.shard_bytes or default_shard_bytes(partitions)
    groups = shards(partitions, shard_bytes)
    made_by = _manifest.manifest(args, partitions, identity, command="pack",
                                 shard_bytes=shard_bytes)
    output = _manifest.check(args.out, args.resume, made_by, args.storage_options,
                             lambda name: name.startswith("shard-") or name == INDEX)
    done = {i for i in range(len(groups))
            if _tasks.shard_name(i) + _tasks.SHARD_FILES[-1] in output.names}
    settings = _tasks.PatchSettings(
        out=output.path, theta=args.theta, theta_r=args.theta_r, k=args.k,
        model=_options.for_workers(args.model), model_identity=tuple(identity or ()),
        max_patch_length=args.max_patch_length, options=corpus.options)
    size_of = {i: sum(partitions[p].size for p in group) for i, group in enumerate(groups)}
    todo = sorted((i for i in range(len(groups)) if i not in done), key=lambda i: -size_of[i])
    this_run = Summary()
    failed: list[str] = []
    interrupted = False
    progress = _cluster.Progress(args, sum(size_of[i] for i in todo))
    workers = 0
    try:
        with _cluster.connect(args) as (client, workers):
            _manifest.write(output, made_by)
            partitions = _cluster.number_rows(client, partitions, corpus.options)
            for index, future in _cluster.completed(
                    todo, lambda i: client.submit(_tasks.pack_shard, i,
                                                  [partitions[p] for p in groups[i]], settings,
                                                  pure=False),
                    max(2, 2 * workers)):
                name = _tasks.shard_name(index)
                try:
                    made = future.result()
                except Exception as error:
                    failed.append(name)
                    progress.write(f"error: {name}: {_storage.first_line(error)}")
                    continue
                made.summary.report_unreadable(name, progress.write)
                this_run.add(made.summary)
                progress.done(size_of[index], made.summary.text_bytes)
    except KeyboardInterrupt:
        interrupted = True
    finally:
        progress.close()
        if os.path.isdir(output.path):
            _manifest.remove_partial_files(output)
    return _finish(args, output, corpus, groups, done, this_run, failed, interrupted, workers,
                   started)


def _finish(args: argparse.Namespace, output: _manifest.Output, corpus: _planning.Corpus,
            groups: list[list[int]], done: set[int], this_run: Summary, failed: list[str],
            interrupted: bool, workers: int, started: float) -> int:
    """Writes the index if every shard is whole, prints what the shards hold; the exit
    status."""
    names = set(os.listdir(output.path))
    whole = [i for i in range(len(groups))
             if _tasks.shard_name(i) + _tasks.SHARD_FILES[-1] in names]
    made = {i: _tasks.stored_shard(output.path, i) for i in whole}
    total = Summary()
    for shard in made.values():
        total.add(shard.summary)
    complete = len(whole) == len(groups)
    if complete:
        index = {
            "format": FORMAT, "version": VERSION,
            "shards": [{"name": _tasks.shard_name(i), "documents": made[i].documents,
                        "bytes": made[i].bytes, "patches": made[i].patches}
                       for i in range(len(groups))],
            "settings": {**_model_settings(args), "theta": args.theta, "theta_r": args.theta_r,
                         "max_patch_length": args.max_patch_length},
            "documents": sum(m.documents for m in made.values()),
            "bytes": sum(m.bytes for m in made.values()),
            "patches": sum(m.patches for m in made.values()),
        }
        with _storage.committed(None, os.path.join(output.path, INDEX)) as file:
            file.write(json.dumps(index, indent=1).encode())
    seconds = time.perf_counter() - started
    packed = sum(m.documents for m in made.values())
    patches = sum(m.patches for m in made.values())
    print(f"{'interrupted: ' if interrupted else ''}{total.counts_line(corpus.skipped)} in "
          f"{patches} patches; {packed} documents packed")
    print(f"{this_run.text_bytes / MB:.1f} MB packed in {seconds:.1f} s "
          f"({this_run.text_bytes / MB / seconds:.1f} MB/s) on {workers} workers"
          + (f"; {len(done)} of {len(groups)} shards were already done" if done else ""))
    print(f"shards: {args.out} ({len(whole)} of {len(groups)}"
          + (f", {INDEX} written)" if complete else f"; {INDEX} is written when all are)"))
    if interrupted:
        print("run the same command with --resume to finish", file=sys.stderr)
        return EXIT_INTERRUPTED
    if failed:
        print(f"{len(failed)} shards failed; run the same command with --resume to retry",
              file=sys.stderr)
    return EXIT_UNREADABLE if failed or total.unreadable else EXIT_OK
