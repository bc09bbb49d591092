"""qelt-corpus: entropy patching of whole corpora on Dask.

    qelt-corpus patch INPUT... --out DIR (-k K | --model FILE) --theta T --theta-r R
    qelt-corpus train INPUT... --out MODEL -k K [--min-count N]
    qelt-corpus calibrate INPUT... --model FILE --target-mean L

Inputs are Parquet files or datasets, JSON lines (plain, .gz or .zst), directories of
files (one document per file) or text files (one document per line). Documents are
read and patched on the workers, partition by partition; the client only plans,
schedules and adds up summaries.

Exit status: 0 when done; 1 when some input was unreadable (or some work failed); 2
for a usage error, found before any cluster starts; 130 when interrupted.
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import hashlib
import itertools
import json
import logging
import os
import signal
import sys
import time
from typing import Any, Iterator, Sequence

from . import _sources, _tasks
from ._sources import UsageError

EXIT_OK, EXIT_UNREADABLE, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
MANIFEST = "_qelt_corpus.json"
HISTOGRAM = "_histogram.png"
MB = 1e6


# --- Arguments ---------------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    """Reports a usage error as one line (raised, so that main can exit with 2)."""

    def error(self, message: str) -> Any:  # type: ignore[override]
        raise UsageError(f"{self.prog}: {message}")


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise ValueError(text)
    return value


_positive_int.__name__ = "positive integer"


def _positive_float(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise ValueError(text)
    return value


_positive_float.__name__ = "positive number"


def _add_inputs(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="Parquet files or datasets, JSON lines, directories, text files")
    parser.add_argument("--column", default="text",
                        help="Parquet column or JSON field holding the text (default: text)")
    parser.add_argument("--format", choices=_sources.FORMATS, default="auto",
                        help="how to read the inputs (default: by extension and kind)")


def _add_partitioning(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--partition-bytes", type=_positive_int, metavar="N",
                        default=_sources.PARTITION_BYTES,
                        help="input bytes per partition, about (default 32 MiB)")


def _add_cluster(parser: argparse.ArgumentParser) -> None:
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_positive_int, default=os.cpu_count() or 1,
                       help="local worker processes (default: one per core)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="address of the scheduler of an existing Dask cluster")
    parser.add_argument("--no-progress", action="store_true", help="hide the progress bar")


def parser() -> argparse.ArgumentParser:
    main = _Parser(prog="qelt-corpus", description=__doc__.splitlines()[0])
    commands = main.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                   parser_class=_Parser)

    patch = commands.add_parser("patch", help="patch documents into a Parquet dataset",
                                description="Patch every document into a Parquet dataset: "
                                "id, ends, bytes, patches, status per document.")
    _add_inputs(patch)
    patch.add_argument("--out", required=True, metavar="DIR", help="dataset directory")
    model = patch.add_mutually_exclusive_group(required=True)
    model.add_argument("-k", type=int, help="context length: each document's own model")
    model.add_argument("--model", metavar="FILE", help="a model trained with `train`")
    patch.add_argument("--theta", type=float, required=True, help="absolute threshold (nats)")
    patch.add_argument("--theta-r", type=float, required=True, help="rise threshold (nats)")
    patch.add_argument("--max-patch-length", type=_positive_int, metavar="L",
                       help="cut longer patches into pieces of L bytes")
    patch.add_argument("--id-column", metavar="NAME",
                       help="Parquet column or JSON field giving each document's id")
    patch.add_argument("--resume", action="store_true",
                       help="finish an interrupted run: keep the files it completed")
    patch.add_argument("--histogram", metavar="PNG",
                       help=f"histogram of patch lengths (default: DIR/{HISTOGRAM})")
    _add_partitioning(patch)
    _add_cluster(patch)

    train = commands.add_parser("train", help="train a context model on a corpus",
                                description="Count contexts on the workers, merge the counts "
                                "by a tree reduction, and save the model.")
    _add_inputs(train)
    train.add_argument("--out", required=True, metavar="MODEL", help="model file to write")
    train.add_argument("-k", type=int, required=True, help="context length, 0 to 8")
    train.add_argument("--min-count", type=_positive_int, default=1, metavar="N",
                       help="drop contexts seen fewer than N times (default 1)")
    _add_partitioning(train)
    _add_cluster(train)

    calibrate = commands.add_parser("calibrate", help="find theta for a mean patch length",
                                    description="Find the theta whose mean patch length on a "
                                    "sample of the corpus is closest to the target; it is "
                                    "printed alone on the last line.")
    _add_inputs(calibrate)
    calibrate.add_argument("--model", required=True, metavar="FILE")
    calibrate.add_argument("--target-mean", type=_positive_float, required=True, metavar="L",
                           help="the mean patch length wanted, in bytes")
    calibrate.add_argument("--theta-r", type=float, default=float("inf"),
                           help="rise threshold to use (default: inf, none)")
    calibrate.add_argument("--sample-bytes", type=_positive_int, default=16 << 20, metavar="N",
                           help="bytes of documents to sample (default 16 MiB)")
    return main


# --- Shared steps --------------------------------------------------------------------------


def _corpus(args: argparse.Namespace) -> tuple[_sources.Options, list[_sources.Partition]]:
    options = _sources.Options(args.column, getattr(args, "id_column", None))
    resolved = _sources.resolve(args.inputs, args.format)
    _sources.check_columns(resolved, options)
    return options, _sources.plan(resolved, getattr(args, "partition_bytes",
                                                    _sources.PARTITION_BYTES))


def _load_model(path: str) -> Any:
    from ._model import ContextModel

    try:
        return ContextModel.load(path)
    except (OSError, ValueError) as error:
        raise UsageError(f"--model {path}: {error}") from None


@contextlib.contextmanager
def _connect(args: argparse.Namespace) -> Iterator[tuple[Any, int]]:
    """A Dask client, and the number of workers it has."""
    from dask.distributed import Client, LocalCluster

    if args.scheduler:
        try:
            client = Client(args.scheduler, timeout="10s")
        except (OSError, TimeoutError) as error:
            raise UsageError(f"cannot reach the scheduler at {args.scheduler}: {error}") from None
        try:
            yield client, len(client.scheduler_info()["workers"])
        finally:
            client.close()
        return
    import dask

    # Dask starts its workers with MALLOC_TRIM_THRESHOLD_ set, which also fixes glibc's
    # mmap threshold at 128 KiB: then every buffer of a document larger than that is
    # mapped afresh and its pages faulted and zeroed, some 15 % of a run here. The
    # workers of this command get glibc's own adaptive defaults instead.
    environ = {key: value for key, value in
               dask.config.get("distributed.nanny.pre-spawn-environ", {}).items()
               if key != "MALLOC_TRIM_THRESHOLD_"}
    # Ctrl-C reaches every process of the terminal's group. The workers are started
    # ignoring it (a disposition their processes inherit), so that only this process
    # stops, and shuts them down in order, instead of each printing its traceback.
    interrupt = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                   processes=True, dashboard_address=None,
                                   silence_logs=logging.ERROR)
    finally:
        signal.signal(signal.SIGINT, interrupt)
    try:
        with Client(cluster) as client:
            yield client, args.workers
    finally:
        cluster.close()


def _progress(args: argparse.Namespace, total: int) -> Any:
    from tqdm import tqdm

    return tqdm(total=total, unit="B", unit_scale=True, disable=args.no_progress,
                file=sys.stderr, dynamic_ncols=True)


def _report_unreadable(summary: _tasks.Summary, where: str, write: Any) -> None:
    for id_, reason in summary.reported:
        write(f"unreadable: {id_}: {reason}")
    if summary.unreadable > len(summary.reported):
        write(f"unreadable: {summary.unreadable - len(summary.reported)} more in {where}")


def _counts_line(summary: _tasks.Summary) -> str:
    ok = summary.documents - summary.empty - summary.unreadable
    return (f"{summary.documents} documents ({ok} ok, {summary.empty} empty, "
            f"{summary.unreadable} unreadable), {summary.bytes / MB:.1f} MB")


# --- patch -----------------------------------------------------------------------------------


def _manifest(args: argparse.Namespace, partitions: Sequence[_sources.Partition]) -> dict[str, Any]:
    """What makes a dataset: a resumed run must have the same."""
    model = None
    if args.model:
        info = os.stat(args.model)
        model = [os.path.abspath(args.model), info.st_size, info.st_mtime_ns]
    plan = hashlib.sha256(repr(list(partitions)).encode()).hexdigest()
    return {
        "version": 1,
        "inputs": [os.path.abspath(i) for i in args.inputs],
        "format": args.format, "column": args.column, "id_column": args.id_column,
        "k": args.k, "model": model, "theta": args.theta, "theta_r": args.theta_r,
        "max_patch_length": args.max_patch_length, "partition_bytes": args.partition_bytes,
        "partitions": len(partitions), "plan": plan,
    }


def _prepare_output(args: argparse.Namespace, manifest: dict[str, Any]) -> set[int]:
    """Creates the output directory, or checks it on --resume; the partitions whose
    files are complete."""
    out = args.out
    if os.path.exists(out) and not os.path.isdir(out):
        raise UsageError(f"--out {out}: not a directory")
    try:
        os.makedirs(out, exist_ok=True)
    except OSError as error:
        raise UsageError(f"--out {out}: {error}") from None
    path = os.path.join(out, MANIFEST)
    names = os.listdir(out)
    if not args.resume:
        if MANIFEST in names or any(n.startswith("part-") for n in names):
            raise UsageError(f"--out {out} already holds a dataset: --resume to finish it, "
                             "or choose another directory")
    elif MANIFEST in names:
        with open(path) as file:
            if json.load(file) != manifest:
                raise UsageError(f"--out {out} holds a run with other inputs or settings: "
                                 "it cannot be resumed with these")
    for name in names:  # the remains of writes cut short
        if name.startswith(".part-") and name.endswith(".tmp"):
            os.unlink(os.path.join(out, name))
    with open(path + ".tmp", "w") as file:
        json.dump(manifest, file, indent=1)
    os.replace(path + ".tmp", path)
    return {i for i in range(manifest["partitions"]) if _tasks.part_name(i) in names}


def _number_rows(client: Any, partitions: list[_sources.Partition]) -> list[_sources.Partition]:
    ranges = _sources.ranges_to_count(partitions)
    if not ranges:
        return partitions
    counts = client.gather(client.map(_tasks.line_starts, ranges, pure=False))
    return _sources.number_rows(partitions, {(r.path, r.start): c for r, c in zip(ranges, counts)})


def run_patch(args: argparse.Namespace, started: float) -> int:
    if args.k is not None and not -(2**31) <= args.k < 2**31:
        raise UsageError("patch: argument -k: must be a 32-bit integer")
    if args.model:
        _load_model(args.model)
    options, partitions = _corpus(args)
    manifest = _manifest(args, partitions)
    done = _prepare_output(args, manifest)
    settings = _tasks.PatchSettings(
        out=os.path.abspath(args.out), theta=args.theta, theta_r=args.theta_r, k=args.k,
        model=os.path.abspath(args.model) if args.model else None,
        max_patch_length=args.max_patch_length, options=options)
    # The largest first, so that no large partition is left running alone at the end.
    todo = sorted((i for i in range(len(partitions)) if i not in done),
                  key=lambda i: -partitions[i].size)
    this_run = _tasks.Summary()
    failed: list[str] = []
    interrupted = False
    progress = _progress(args, sum(partitions[i].size for i in todo))
    workers = 0
    try:
        with _connect(args) as (client, workers):
            from dask.distributed import as_completed

            partitions = _number_rows(client, partitions)
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
                    progress.write(f"error: {name}: {type(error).__name__}: {error}",
                                   file=sys.stderr)
                    continue
                _report_unreadable(summary, name, lambda m: progress.write(m, file=sys.stderr))
                this_run.add(summary)
                progress.update(partitions[index].size)
    except KeyboardInterrupt:
        interrupted = True
    finally:
        progress.close()
        _remove_partial_files(args.out)
    # The dataset as it stands: the files of earlier runs, of this one, and any that a
    # worker finished while an interrupted run was shutting down.
    total = _tasks.Summary()
    written = [n for n in sorted(os.listdir(args.out)) if n.startswith("part-")]
    for name in written:
        total.add(_tasks.stored_summary(os.path.join(args.out, name)))
    seconds = time.perf_counter() - started
    mean = total.bytes / total.patches if total.patches else 0.0
    print(f"{'interrupted: ' if interrupted else ''}{_counts_line(total)} in "
          f"{total.patches} patches, mean patch length {mean:.2f} bytes")
    print(f"{this_run.bytes / MB:.1f} MB patched in {seconds:.1f} s "
          f"({this_run.bytes / MB / seconds:.1f} MB/s) on {workers} workers"
          + (f"; {len(done)} of {len(partitions)} partitions were already done" if done else ""))
    print(f"dataset: {args.out} ({len(written)} of {len(partitions)} files)")
    if total.histogram:
        histogram = args.histogram or os.path.join(args.out, HISTOGRAM)
        _save_histogram(total.histogram, histogram)
        print(f"histogram: {histogram}")
    if interrupted:
        print("run the same command with --resume to finish", file=sys.stderr)
        return EXIT_INTERRUPTED
    if failed:
        print(f"{len(failed)} partitions failed; run the same command with --resume to retry",
              file=sys.stderr)
    return EXIT_UNREADABLE if failed or total.unreadable else EXIT_OK


def _remove_partial_files(out: str) -> None:
    with contextlib.suppress(OSError):
        for name in os.listdir(out):
            if name.startswith(".part-") and name.endswith(".tmp"):
                with contextlib.suppress(OSError):
                    os.unlink(os.path.join(out, name))


def _save_histogram(histogram: dict[int, int], path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import MaxNLocator

    lengths = sorted(histogram)
    total = sum(histogram.values())
    # Lengths up to the 99.5th percentile; the longer patches share the last bar.
    cut, seen = lengths[-1], 0
    for length in lengths:
        seen += histogram[length]
        if seen >= 0.995 * total:
            cut = length
            break
    shown = [x for x in lengths if x <= cut]
    beyond = sum(c for x, c in histogram.items() if x > cut)
    figure, axes = plt.subplots(figsize=(8, 4.5))
    axes.bar(shown, [histogram[x] for x in shown], width=0.9, color="#3b7dd8")
    if beyond:
        axes.bar([cut + 2], [beyond], width=0.9, color="#999999", label=f"> {cut} bytes")
        axes.legend()
    axes.xaxis.set_major_locator(MaxNLocator(integer=True))
    axes.set_xlabel("patch length (bytes)")
    axes.set_ylabel("patches")
    axes.set_title(f"{total} patches, mean {sum(x * c for x, c in histogram.items()) / total:.2f} bytes")
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)


# --- train -----------------------------------------------------------------------------------


def _model_of(counted: _tasks.Counted, min_count: int) -> tuple[Any, _tasks.Summary]:
    return counted.counts.to_model(min_count), counted.summary


def run_train(args: argparse.Namespace, started: float) -> int:
    import dask.bag as db

    if not 0 <= args.k <= 8:
        raise UsageError("train: argument -k: must be between 0 and 8")
    if os.path.isdir(args.out):
        raise UsageError(f"--out {args.out}: is a directory")
    options, partitions = _corpus(args)
    directory = os.path.dirname(os.path.abspath(args.out))
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as error:
        raise UsageError(f"--out {args.out}: {error}") from None
    progress = _progress(args, sum(p.size for p in partitions))
    workers = 0
    try:
        with _connect(args) as (client, workers):
            from dask.distributed import as_completed, futures_of

            partitions = _number_rows(client, partitions)  # for the ids of what is unreadable
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
    _report_unreadable(summary, "the corpus", lambda m: print(m, file=sys.stderr))
    model.save(args.out)
    seconds = time.perf_counter() - started
    print(f"trained on {_counts_line(summary)} in {seconds:.1f} s "
          f"({summary.bytes / MB / seconds:.1f} MB/s) on {workers} workers")
    print(f"model: {args.out} (k = {model.k}, {len(model)} contexts kept with min_count "
          f"{model.min_count}, {os.path.getsize(args.out)} bytes)")
    return EXIT_UNREADABLE if summary.unreadable else EXIT_OK


# --- calibrate -------------------------------------------------------------------------------


def _sample(partitions: list[_sources.Partition], options: _sources.Options,
            budget: int) -> tuple[list[Any], _tasks.Summary, int]:
    """Documents of up to `budget` bytes, taken evenly from up to 16 partitions across
    the corpus, and what was read for them."""
    import pyarrow.compute as pc

    chosen = sorted({i * len(partitions) // min(16, len(partitions))
                     for i in range(min(16, len(partitions)))})
    quota = budget // max(1, len(chosen))
    texts, summary = [], _tasks.Summary()
    for index in chosen:
        taken = 0
        for table in _sources.read(partitions[index], options):
            problem = table.column("problem")
            summary.report(table.column("id"), problem, pc.is_valid(problem))
            readable = table.filter(pc.is_null(problem))
            # A null text is an empty document.
            sizes = pc.fill_null(pc.binary_length(readable.column("text")), 0).to_numpy(
                zero_copy_only=False)
            keep = int((sizes.cumsum() <= quota - taken).sum()) or min(1, len(readable))
            readable = readable.slice(0, keep)
            texts.extend(readable.column("text").chunks)
            summary.documents += keep
            taken += int(sizes[:keep].sum())
            if taken >= quota:
                break
        summary.bytes += taken
    return texts, summary, len(chosen)


def run_calibrate(args: argparse.Namespace, started: float) -> int:
    import pyarrow as pa
    import pyarrow.compute as pc

    model = _load_model(args.model)
    options, partitions = _corpus(args)
    if not partitions:
        raise UsageError("calibrate: the inputs hold no documents")
    texts, summary, used = _sample(partitions, options, args.sample_bytes)
    _report_unreadable(summary, "the sample", lambda m: print(m, file=sys.stderr))
    documents = pa.chunked_array(texts, type=pa.large_binary())
    try:
        theta = model.calibrate(documents, args.target_mean, theta_r=args.theta_r)
    except ValueError as error:
        print(f"qelt-corpus calibrate: {error}", file=sys.stderr)
        return EXIT_UNREADABLE
    patches = pc.sum(pc.list_value_length(model.patch_ends_batch(documents, theta,
                                                                 args.theta_r))).as_py()
    print(f"sample: {summary.documents} documents, {summary.bytes / MB:.1f} MB from {used} of "
          f"{len(partitions)} partitions ({summary.unreadable} unreadable)")
    print(f"model: {args.model} (k = {model.k}, {len(model)} contexts)")
    print(f"theta {theta:.6g} gives a mean patch length of {summary.bytes / patches:.3f} bytes "
          f"(target {args.target_mean:g}, theta_r {args.theta_r:g}) in "
          f"{time.perf_counter() - started:.1f} s")
    print(repr(theta))
    return EXIT_UNREADABLE if summary.unreadable else EXIT_OK


# --- Entry --------------------------------------------------------------------------------------


COMMANDS = {"patch": run_patch, "train": run_train, "calibrate": run_calibrate}


def main(argv: Sequence[str] | None = None) -> int:
    started = time.perf_counter()
    try:
        args = parser().parse_args(argv)
        return COMMANDS[args.command](args, started)
    except UsageError as error:
        message = str(error)
        print(message if message.startswith("qelt-corpus") else f"qelt-corpus: {message}",
              file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


def entry() -> None:
    sys.exit(main())


if __name__ == "__main__":
    entry()
