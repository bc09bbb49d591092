"""``qelt-corpus patch``: every document patched into a Parquet dataset, one file per
partition, written on the workers."""

from __future__ import annotations

import argparse
import itertools
import os
import sys
import time
from typing import Any

from . import _cluster, _manifest, _options, _planning, _tasks
from ._histogram import save_histogram
from ._summary import MB, Summary
from ._usage import EXIT_INTERRUPTED, EXIT_OK, EXIT_UNREADABLE, UsageError

HISTOGRAM = "_histogram.png"


def add_parser(commands: Any) -> None:
    patch = commands.add_parser("patch", help="patch documents into a Parquet dataset",
                                description="Patch every document into a Parquet dataset: "
                                "id, ends, bytes, patches, status per document.")
    _options.add_inputs(patch)
    patch.add_argument("--out", required=True, metavar="DIR", help="dataset directory")
    model = patch.add_mutually_exclusive_group(required=True)
    model.add_argument("-k", type=int, help="context length: each document's own model")
    model.add_argument("--model", metavar="FILE", help="a model trained with `train`")
    patch.add_argument("--theta", type=float, required=True, help="absolute threshold (nats)")
    patch.add_argument("--theta-r", type=float, required=True, help="rise threshold (nats)")
    patch.add_argument("--max-patch-length", type=_options.positive_int, metavar="L",
                       help="cut longer patches into pieces of L bytes")
    patch.add_argument("--id-column", metavar="NAME",
                       help="Parquet column or JSON field giving each document's id")
    patch.add_argument("--resume", action="store_true",
                       help="finish an interrupted run: keep the files it completed")
    patch.add_argument("--histogram", metavar="PNG",
                       help=f"histogram of patch lengths (default: DIR/{HISTOGRAM})")
    _options.add_partitioning(patch)
    _options.add_cluster(patch)


def run(args: argparse.Namespace, started: float) -> int:
    if args.k is not None and not -(2**31) <= args.k < 2**31:
        raise UsageError("patch: argument -k: must be a 32-bit integer")
    if args.model:
        _options.load_model(args.model)
    options, partitions = _planning.corpus(args)
    made_by = _manifest.manifest(args, partitions)
    done = _manifest.prepare_output(args.out, args.resume, made_by, _tasks.part_name)
    settings = _tasks.PatchSettings(
        out=os.path.abspath(args.out), theta=args.theta, theta_r=args.theta_r, k=args.k,
        model=os.path.abspath(args.model) if args.model else None,
        max_patch_length=args.max_patch_length, options=options)
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
            from dask.distributed import as_completed

            partitions = _cluster.number_rows(client, partitions)
            # A few partitions per worker are in flight at a time, so that a corpus of
            # any size streams through the scheduler.
            queue, index_of = as_completed(), {}
            waiting = iter(todo)

            def submit_next(count: int) -> None:
                for index in itertools.islice(waiting, count):
                    future = client.submit(_tasks.patch_partition, index, partitions[index],
                                           settings, pure=False)
                    index_of[future.key] = index
                    queue.add(future)

            submit_next(max(4, 3 * workers))
            for future in queue:
                submit_next(1)
                index = index_of.pop(future.key)
                name = _tasks.part_name(index)
                try:
                    summary = future.result()
                except Exception as error:
                    failed.append(name)
                    progress.write(f"error: {name}: {type(error).__name__}: {error}")
                    continue
                summary.report_unreadable(name, progress.write)
                this_run.add(summary)
                progress.done(partitions[index].size, summary.text_bytes)
    except KeyboardInterrupt:
        interrupted = True
    finally:
        progress.close()
        _manifest.remove_partial_files(args.out)
    # The dataset as it stands: the files of earlier runs, of this one, and any that a
    # worker finished while an interrupted run was shutting down.
    total = Summary()
    written = [n for n in sorted(os.listdir(args.out)) if n.startswith("part-")]
    for name in written:
        total.add(_tasks.stored_summary(os.path.join(args.out, name)))
    seconds = time.perf_counter() - started
    mean = total.text_bytes / total.patches if total.patches else 0.0
    print(f"{'interrupted: ' if interrupted else ''}{total.counts_line()} in "
          f"{total.patches} patches, mean patch length {mean:.2f} bytes")
    print(f"{this_run.text_bytes / MB:.1f} MB patched in {seconds:.1f} s "
          f"({this_run.text_bytes / MB / seconds:.1f} MB/s) on {workers} workers"
          + (f"; {len(done)} of {len(partitions)} partitions were already done" if done else ""))
    print(f"dataset: {args.out} ({len(written)} of {len(partitions)} files)")
    if total.histogram:
        histogram = args.histogram or os.path.join(args.out, HISTOGRAM)
        save_histogram(total.histogram, histogram)
        print(f"histogram: {histogram}")
    if interrupted:
        print("run the same command with --resume to finish", file=sys.stderr)
        return EXIT_INTERRUPTED
    if failed:
        print(f"{len(failed)} partitions failed; run the same command with --resume to retry",
              file=sys.stderr)
    return EXIT_UNREADABLE if failed or total.unreadable else EXIT_OK
