#!/usr/bin/env python3
"""Patch a whole corpus in parallel on Dask and summarise the patches.

The corpus is every file under a directory (one document per file), or a
JSON-lines file (one document per line, its text in --field), or any other file
(one document per line). Work runs on local worker processes, or on an existing
Dask cluster given by its scheduler address:

    python examples/patch_corpus.py corpus/ --out results.parquet
    python examples/patch_corpus.py docs.jsonl --field text --out results.jsonl \\
        --scheduler tcp://scheduler:8786 -k 3 --theta 2.0 --theta-r 1.0 --boundaries

Results are written per document as they arrive (Parquet or JSON lines, by the
extension of --out): id, bytes, patches, mean_patch_length, status and, with
--boundaries, the end offset of every patch. A document that cannot be read is
reported with its reason, and an empty one is counted; neither stops the run. An
interrupted run keeps every result written so far. A histogram of patch lengths is
saved as a PNG beside the results. Needs `pip install .[corpus]`.
"""

import argparse
import collections
import itertools
import json
import os
import pathlib
import sys
import time

import qelt

BATCH_BYTES = 1 << 20  # documents are sent to workers in batches of about this size


# --- Work done on the workers ------------------------------------------------------


def patch_document(doc_id, data, k, theta, theta_r, boundaries):
    """The result record of one document, and its patch lengths."""
    if not data:
        return {"id": doc_id, "bytes": 0, "patches": 0, "mean_patch_length": 0.0,
                "status": "empty", "boundaries": [] if boundaries else None}, []
    lengths = [len(p) for p in qelt.patch_sequence(bytearray(data), k, theta, theta_r)]
    record = {"id": doc_id, "bytes": len(data), "patches": len(lengths),
              "mean_patch_length": len(data) / len(lengths), "status": "ok",
              "boundaries": list(itertools.accumulate(lengths)) if boundaries else None}
    return record, lengths


def unreadable(doc_id, reason, boundaries):
    return {"id": doc_id, "bytes": 0, "patches": 0, "mean_patch_length": 0.0,
            "status": f"unreadable: {reason}", "boundaries": [] if boundaries else None}


def run_batch(batch, settings):
    """Patches a batch of (id, source) documents; a source is a file path, a JSON
    line or a text line. Returns the records and a histogram of patch lengths."""
    k, theta, theta_r, boundaries, field = settings
    records, histogram = [], collections.Counter()
    for doc_id, kind, source in batch:
        try:
            if kind == "file":
                data = pathlib.Path(source).read_bytes()
            elif kind == "json":
                value = json.loads(source)[field]
                if not isinstance(value, str):
                    raise TypeError(f"field {field!r} is not a string")
                data = value.encode()
            else:
                data = source
        except (OSError, ValueError, KeyError, TypeError) as error:
            records.append(unreadable(doc_id, f"{type(error).__name__}: {error}", boundaries))
            continue
        record, lengths = patch_document(doc_id, data, k, theta, theta_r, boundaries)
        records.append(record)
        histogram.update(lengths)
    return records, histogram


# --- The corpus, in batches --------------------------------------------------------


def batches(path, field):
    """Yields (batch, size in bytes) for the corpus at `path`."""
    batch, size = [], 0
    for doc_id, kind, source, doc_size in documents(path, field):
        batch.append((doc_id, kind, source))
        size += doc_size
        if size >= BATCH_BYTES:
            yield batch, size
            batch, size = [], 0
    if batch:
        yield batch, size


def documents(path, field):
    if path.is_dir():
        for file in sorted(p for p in path.rglob("*") if not p.is_dir()):
            try:
                size = file.stat().st_size
            except OSError:
                size = 0  # reported as unreadable by the worker
            yield str(file.relative_to(path)), "file", str(file), size
        return
    kind = "json" if field is not None else "line"
    with path.open("rb") as lines:
        for number, line in enumerate(lines, start=1):
            line = line.rstrip(b"\r\n")
            yield number, kind, line if kind == "line" else line.decode("utf-8", "replace"), len(line) + 1


def corpus_size(path):
    if path.is_dir():
        return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())
    return path.stat().st_size


# --- Results -------------------------------------------------------------------------


class JsonLinesWriter:
    def __init__(self, path, boundaries):
        self.file = path.open("w")
        self.boundaries = boundaries

    def write(self, records):
        for record in records:
            if not self.boundaries:
                record = {k: v for k, v in record.items() if k != "boundaries"}
            self.file.write(json.dumps(record) + "\n")
        self.file.flush()

    def close(self):
        self.file.close()


class ParquetWriter:
    """Writes each batch of records as a row group, so that a file closed after an
    interruption holds every batch written before it."""

    def __init__(self, path, boundaries):
        import pyarrow as pa
        import pyarrow.parquet as pq

        self.pa = pa
        fields = [("id", pa.string()), ("bytes", pa.int64()), ("patches", pa.int64()),
                  ("mean_patch_length", pa.float64()), ("status", pa.string())]
        if boundaries:
            fields.append(("boundaries", pa.list_(pa.int64())))
        self.schema = pa.schema(fields)
        self.writer = pq.ParquetWriter(str(path), self.schema)

    def write(self, records):
        columns = {name: [r[name] for r in records] for name in self.schema.names}
        columns["id"] = [str(i) for i in columns["id"]]
        self.writer.write_table(self.pa.table(columns, schema=self.schema))

    def close(self):
        self.writer.close()


def save_histogram(histogram, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import MaxNLocator

    lengths = sorted(histogram)
    total = sum(histogram.values())
    # Show lengths up to the 99.5th percentile; longer patches share the last bar.
    cut, seen = lengths[-1], 0
    for length in lengths:
        seen += histogram[length]
        if seen >= 0.995 * total:
            cut = length
            break
    xs = [x for x in lengths if x <= cut]
    ys = [histogram[x] for x in xs]
    beyond = sum(c for x, c in histogram.items() if x > cut)
    fig, ax = plt.subplots(figsize=(8, 4.5))
    ax.bar(xs, ys, width=0.9, color="#3b7dd8")
    if beyond:
        ax.bar([cut + 2], [beyond], width=0.9, color="#999999", label=f"> {cut} bytes")
        ax.legend()
    ax.xaxis.set_major_locator(MaxNLocator(integer=True))
    ax.set_xlabel("patch length (bytes)")
    ax.set_ylabel("patches")
    ax.set_title(f"{total} patches")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


# --- The run -----------------------------------------------------------------------


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("corpus", type=pathlib.Path,
                        help="a directory, a JSON-lines file (with --field) or a text file")
    parser.add_argument("--out", type=pathlib.Path, required=True,
                        help="results file: .parquet or .jsonl")
    parser.add_argument("--field", help="JSON-lines corpus: the field holding the text")
    parser.add_argument("-k", type=int, default=2, help="context length (default 2)")
    parser.add_argument("--theta", type=float, default=2.0, help="absolute threshold (default 2.0)")
    parser.add_argument("--theta-r", type=float, default=1.0, help="rise threshold (default 1.0)")
    parser.add_argument("--boundaries", action="store_true",
                        help="also write the end offset of every patch")
    parser.add_argument("--scheduler", help="address of an existing Dask scheduler")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="local worker processes (default: one per core)")
    parser.add_argument("--histogram", type=pathlib.Path,
                        help="PNG of patch lengths (default: beside --out)")
    parser.add_argument("--no-progress", action="store_true", help="hide the progress bar")
    args = parser.parse_args(argv)
    if args.out.suffix not in (".parquet", ".jsonl"):
        parser.error("--out must end in .parquet or .jsonl")
    if not args.corpus.exists():
        parser.error(f"corpus {args.corpus} does not exist")
    if not -(2**31) <= args.k < 2**31:
        parser.error("-k must be a 32-bit integer")
    if args.workers < 1:
        parser.error("--workers must be at least 1")
    args.histogram = args.histogram or args.out.with_suffix(".png")
    return args


def connect(args):
    from dask.distributed import Client, LocalCluster

    if args.scheduler:
        return Client(args.scheduler), None
    cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                           dashboard_address=None)
    return Client(cluster), cluster


def main(argv=None):
    args = parse_args(argv)
    from dask.distributed import as_completed
    from tqdm import tqdm

    client, cluster = connect(args)
    writer = (ParquetWriter if args.out.suffix == ".parquet" else JsonLinesWriter)(
        args.out, args.boundaries)
    settings = (args.k, args.theta, args.theta_r, args.boundaries, args.field)
    counts = collections.Counter()
    histogram = collections.Counter()
    start = time.perf_counter()
    progress = tqdm(total=corpus_size(args.corpus), unit="B", unit_scale=True,
                    disable=args.no_progress, file=sys.stderr)
    interrupted = False
    try:
        # A bounded number of batches is in flight, so that a corpus of any size
        # streams through without being held in memory at once.
        pending = as_completed()
        sizes = {}
        source = batches(args.corpus, args.field)
        for batch, size in itertools.islice(source, 4 * args.workers + 4):
            future = client.submit(run_batch, batch, settings, pure=False)
            sizes[future.key] = size
            pending.add(future)
        for future in pending:
            records, batch_histogram = future.result()
            writer.write(records)
            histogram.update(batch_histogram)
            for record in records:
                status = record["status"].split(":")[0]
                counts[status] += 1
                counts["bytes"] += record["bytes"]
                counts["patches"] += record["patches"]
                if status == "unreadable":
                    tqdm.write(f"unreadable: {record['id']}: {record['status'][12:]}",
                               file=sys.stderr)
            progress.update(sizes.pop(future.key))
            for batch, size in itertools.islice(source, 1):
                nxt = client.submit(run_batch, batch, settings, pure=False)
                sizes[nxt.key] = size
                pending.add(nxt)
    except KeyboardInterrupt:
        interrupted = True
    finally:
        progress.close()
        writer.close()
        client.close()
        if cluster is not None:
            cluster.close()

    seconds = time.perf_counter() - start
    documents = counts["ok"] + counts["empty"] + counts["unreadable"]
    mean = counts["bytes"] / counts["patches"] if counts["patches"] else 0.0
    print(f"{'interrupted after ' if interrupted else ''}{documents} documents "
          f"({counts['ok']} patched, {counts['empty']} empty, {counts['unreadable']} unreadable)")
    print(f"{counts['bytes']} bytes in {counts['patches']} patches, mean patch length "
          f"{mean:.2f}; {seconds:.1f} s ({counts['bytes'] / seconds / 1e6:.1f} MB/s)")
    print(f"results: {args.out}")
    if histogram:
        save_histogram(histogram, args.histogram)
        print(f"histogram: {args.histogram}")
    return 130 if interrupted else 0


if __name__ == "__main__":
    sys.exit(main())
