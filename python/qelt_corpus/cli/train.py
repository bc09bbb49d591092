"""``qelt-corpus train``: a context model of a whole corpus, counted on the workers
and merged by a tree reduction."""

from __future__ import annotations

import argparse
import functools
import os
import sys
import time
from typing import Any

from . import _cluster, _options, _planning, _tasks
from ._summary import MB, Summary
from ._usage import EXIT_INTERRUPTED, EXIT_OK, EXIT_UNREADABLE, UsageError


def add_parser(commands: Any) -> None:
    train = commands.add_parser("train", help="train a context model on a corpus",
                                description="Count contexts on the workers, merge the counts "
                                "by a tree reduction, and save the model.")
    _options.add_inputs(train)
    train.add_argument("--out", required=True, metavar="MODEL", help="model file to write")
    train.add_argument("-k", type=int, required=True, help="context length, 0 to 8")
    train.add_argument("--min-count", type=_options.positive_int, default=1, metavar="N",
                       help="drop contexts seen fewer than N times (default 1)")
    _options.add_partitioning(train)
    _options.add_cluster(train)


def _model_of(counted: _tasks.Counted, min_count: int) -> tuple[Any, Summary]:
    return counted.counts.to_model(min_count), counted.summary


def run(args: argparse.Namespace, started: float) -> int:
    import dask.bag as db

    if not 0 <= args.k <= 8:
        raise UsageError("train: argument -k: must be between 0 and 8")
    if os.path.isdir(args.out):
        raise UsageError(f"--out {args.out}: is a directory")
    options, partitions = _planning.corpus(args)
    directory = os.path.dirname(os.path.abspath(args.out))
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as error:
        raise UsageError(f"--out {args.out}: {error}") from None
    progress = _cluster.progress(args, sum(p.size for p in partitions))
    workers = 0
    try:
        with _cluster.connect(args) as (client, workers):
            from dask.distributed import as_completed, futures_of

            partitions = _cluster.number_rows(client, partitions)  # for the ids of what is unreadable
            count = functools.partial(_tasks.count_partition, k=args.k, options=options)
            partial = db.from_sequence(partitions, npartitions=max(1, len(partitions))).map(count)
            partial = client.persist(partial)
            sizes = {future.key: partitions[future.key[1]].size for future in futures_of(partial)}
            for future in as_completed(futures_of(partial)):
                progress.update(sizes[future.key])
            merged = partial.reduction(_tasks.merge_counted, _tasks.merge_counted, split_every=8)
            to_model = functools.partial(_model_of, min_count=args.min_count)
            model, summary = client.compute(merged.apply(to_model)).result()
    except KeyboardInterrupt:
        progress.close()
        print("interrupted: no model written")
        return EXIT_INTERRUPTED
    except Exception as error:  # a worker failed: say what, keep the traceback out
        progress.close()
        print(f"qelt-corpus train: {type(error).__name__}: {error}", file=sys.stderr)
        return EXIT_UNREADABLE
    finally:
        progress.close()
    summary.report_unreadable("the corpus", lambda m: print(m, file=sys.stderr))
    model.save(args.out)
    seconds = time.perf_counter() - started
    print(f"trained on {summary.counts_line()} in {seconds:.1f} s "
          f"({summary.text_bytes / MB / seconds:.1f} MB/s) on {workers} workers")
    print(f"model: {args.out} (k = {model.k}, {len(model)} contexts kept with min_count "
          f"{model.min_count}, {os.path.getsize(args.out)} bytes)")
    return EXIT_UNREADABLE if summary.unreadable else EXIT_OK
