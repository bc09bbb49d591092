"""``qelt-corpus patch``: every document patched into a Parquet dataset, one file per
partition, written on the workers, locally or to any fsspec URL."""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any

from .. import _storage
from . import _cluster, _manifest, _options, _planning, _tasks
from ._histogram import save_histogram
from ._summary import MB, Summary
from ._usage import EXIT_INTERRUPTED, EXIT_OK, EXIT_UNREADABLE

HISTOGRAM = "_histogram.png"


def add_parser(commands: Any) -> None:
    patch = commands.add_parser("patch", help="patch documents into a Parquet dataset",
                                description="Patch every document into a Parquet dataset: "
                                "id, ends, bytes, patches, status per document.")
    _options.add_inputs(patch)
    patch.add_argument("--out", required=True, metavar="DIR",
                       help="dataset directory (a path or a URL): absent, empty, or a dataset "
                       "of an earlier run to finish with --resume")
    _options.add_patching(patch)
    patch.add_argument("--resume", action="store_true",
                       help="finish an interrupted run: keep the files it completed")
    patch.add_argument("--keep-columns", metavar="COL[,COL...]", type=_options.names,
                       help="input columns to carry into the dataset beside the ends, as "
                       "read (a file or a line of text offers 'text', its own bytes)")
    patch.add_argument("--histogram", metavar="PNG",
                       help=f"histogram of patch lengths (default: DIR/{HISTOGRAM})")
    _options.add_partitioning(patch)
    _options.add_cluster(patch)


def run(args: argparse.Namespace, started: float) -> int:
    identity = _options.model_identity(args)
    corpus = _planning.corpus(args)
    partitions = corpus.partitions
    kept = {"keep_columns": list(args.keep_columns)} if args.keep_columns else {}
    made_by = _manifest.manifest(args, partitions, identity, **kept)
    output = _manifest.check(args.out, args.resume, made_by, args.storage_options,
                             lambda name: name.startswith("part-"))
    done = {i for i in range(len(partitions)) if _tasks.part_name(i) in output.names}
    settings = _tasks.PatchSettings(
        out=output.location if output.fs is not None else output.path, theta=args.theta,
        theta_r=args.theta_r, k=args.k, model=_options.for_workers(args.model),
        model_identity=tuple(identity or ()),
        max_patch_length=args.max_patch_length, options=corpus.options)
    # The largest first, so that no large partition is left running alone at the end.
    todo = sorted((i for i in range(len(partitions)) if i not in done),
                  key=lambda i: -partitions[i].size)
    this_run = Summary()
    failed: list[str] = []
    interrupted = False
    progress = _cluster.Progress(args, sum(partitions[i].size for i in todo))
    workers = 0
    try:
        with _cluster.connect(args) as (client, workers):
            _manifest.write(output, made_by)
            partitions = _cluster.number_rows(client, partitions, corpus.options)
            # A few partitions per worker are in flight at a time.
            for index, future in _cluster.completed(
                    todo, lambda i: client.submit(_tasks.patch_partition, i, partitions[i],
                                                  settings, pure=False),
                    max(4, 3 * workers)):
                name = _tasks.part_name(index)
                try:
                    summary = future.result()
                except Exception as error:
                    failed.append(name)
                    progress.write(f"error: {name}: {_storage.first_line(error)}")
                    continue
                summary.report_unreadable(name, progress.write)
                this_run.add(summary)
                progress.done(partitions[index].size, summary.text_bytes)
    except KeyboardInterrupt:
        interrupted = True
    finally:
        progress.close()
        if output.fs is not None or os.path.isdir(output.path):
            _manifest.remove_partial_files(output)
    return _report(args, output, corpus, partitions, done, this_run, failed, interrupted,
                   workers, started)


def _report(args: argparse.Namespace, output: _manifest.Output, corpus: _planning.Corpus,
            partitions: list[Any], done: set[int], this_run: Summary, failed: list[str],
            interrupted: bool, workers: int, started: float) -> int:
    """Prints what the dataset holds now (the files of earlier runs, of this one, and any
    that a worker finished while an interrupted run was shutting down); the exit
    status."""
    total = Summary()
    written: list[str] = []
    problems = list(failed)
    try:
        written = [n for n in _manifest.names(output) if n.startswith("part-")]
        for name in written:
            total.add(_tasks.stored_summary(output.join(name), corpus.options))
    except Exception as error:  # the output cannot be read back (a store that is down)
        print(f"error: reading back {args.out}: {_storage.first_line(error)}", file=sys.stderr)
        problems.append("summary")
    seconds = time.perf_counter() - started
    mean = total.text_bytes / total.patches if total.patches else 0.0
    print(f"{'interrupted: ' if interrupted else ''}{total.counts_line(corpus.skipped)} in "
          f"{total.patches} patches, mean patch length {mean:.2f} bytes")
    print(f"{this_run.text_bytes / MB:.1f} MB patched in {seconds:.1f} s "
          f"({this_run.text_bytes / MB / seconds:.1f} MB/s) on {workers} workers"
          + (f"; {len(done)} of {len(partitions)} partitions were already done" if done else ""))
    print(f"dataset: {args.out} ({len(written)} of {len(partitions)} files)")
    if total.histogram:
        histogram = args.histogram or output.join(HISTOGRAM)
        try:
            save_histogram(total.histogram, histogram, corpus.options.storage_options)
            print(f"histogram: {histogram}")
        except Exception as error:
            print(f"error: histogram {histogram}: {_storage.first_line(error)}", file=sys.stderr)
            problems.append("histogram")
    if interrupted:
        print("run the same command with --resume to finish", file=sys.stderr)
        return EXIT_INTERRUPTED
    if failed:
        print(f"{len(failed)} partitions failed; run the same command with --resume to retry",
              file=sys.stderr)
    return EXIT_UNREADABLE if problems or total.unreadable else EXIT_OK
