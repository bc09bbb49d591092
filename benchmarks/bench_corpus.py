#!/usr/bin/env python3
"""Throughput and memory of qelt_corpus, in ratios measured in one run.

    python benchmarks/bench_corpus.py       # or as part of benchmarks/bench.py

Arrays (4 MiB of real text, the Python sources of the standard library):

  ends/list  qelt_corpus.patch_ends against qelt.patch_sequence on a bytearray, at
             k = 1..4 with thresholds for a mean patch length near 5 bytes
  batch      an Arrow array of 1 KiB documents (the same text) through
             patch_ends_batch, against one patch_ends call over the whole text (k = 3),
             and a Python loop calling patch_ends on each of those documents
  threads    two Python threads, each patching half of that batch, against one
             thread patching all of it
  peak       peak resident memory of one patch_ends call beyond its input and its
             output, per input byte, in a fresh process

Context model (the standard library's sources split in two by size, in path order: a
model trained on the files of the first half, documents cut from the second), at
theta 2.0, theta_r 1.0, for k = 2, 3, 4:

  contexts, file   contexts kept, model file size and bytes per context
  train            ContextModel.train on the first half's files, against
                   patch_ends_batch on the same files (each file patched on its own)
                   and one patch_ends call over their concatenation
  mean length      of 500 B, 2 KB and 10 KB documents and of a 4 MiB stream, with
                   the model and with each document's own model (patch_ends), and
                   the spread (largest mean over smallest) of each
  2 KB docs        MB/s of the model's patch_ends_batch against patch_ends_batch
  calibrate        the theta ContextModel.calibrate picks for a mean of 5 bytes on
                   the 2 KB documents, and the mean it gives

Command (`--sections command`, not run by default: it reads the whole directory): the
wall time of `qelt-corpus patch` over this interpreter's standard-library directory
(every file, site-packages included) to a Parquet dataset, k = 3, theta 2.0, theta_r
1.0, on 2 local workers and on 1, in MB/s of input.

Counting (`--sections counting`): ContextCounts in the core on 16 MiB of text and of
binaries: counting at k = 3 .. 8 and each against k = 3; making a model from the
counts of 8 parts, each through its encoding (k = 3, 5 .. 8), against counting; merging
the counts of all of it into an empty object against counting it; a random merge tree
(fan-in 3, every merge into a new object) over the counts of 64 parts against counting
the parts.

Training (`--sections training [--tree DIR]`): `qelt-corpus train -k 3` against
`qelt-corpus patch -k 3` on the standard-library directory and on each DIR, 2 local
workers, taken in turn (best of two each): the ratio of their throughputs, and what
train reports (model, peak memory of the client and the workers).

Long contexts (`--sections long [--tree DIR]`): `qelt-corpus train` at k = 3, 6 and 8
on each DIR (or the standard-library directory), 2 local workers, taken in turn (best
of two each): seconds, MB/s, throughput against k = 3, and the peak memory train
reports.

Packing (`--sections packing [--tree DIR]`): `qelt-corpus pack` against `qelt-corpus
patch` (k = 3, theta 2.0, theta_r 1.0, no kept columns) on the same corpora and 2
local workers, taken in turn (best of two each): the ratio of their throughputs. Then
the reader on each packed output, its files in the page cache, in a fresh process on
one core: PackedDataset.sequences(8192) in order and shuffled, in GB/s of sequence
bytes over the whole of epoch 0 (opening, mapping and block starts included) and
over epoch 1.

Storage (`--sections storage [--size N]`): `qelt-corpus patch` (k = 3, theta 2.0,
theta_r 1.0, 2 local workers) from S3 to S3 against the same run from and to local
disk, taken in turn (best of two each), on a moto S3 server started on 127.0.0.1: a
Parquet dataset and zstd JSON lines (8 files each, N*16 MiB of the standard library's
sources, one document per source file), and, reported but bound by the test server's
requests per second, a directory of 2000 small text objects.
"""

from __future__ import annotations

import argparse
import math
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time

import qelt
import qelt_corpus
from qelt_corpus import ContextModel
from shared import best_seconds

MB = 1 << 20
ROOT = pathlib.Path(__file__).resolve().parent


def stdlib_files() -> list[pathlib.Path]:
    """The standard library's Python sources, in a fixed order (no site-packages)."""
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    return sorted(p for p in root.rglob("*.py") if "site-packages" not in p.parts)


def stdlib_text(size: int) -> bytes:
    chunks, total = [], 0
    for path in stdlib_files():
        chunks.append(path.read_bytes())
        total += len(chunks[-1])
        if total >= size:
            break
    return b"".join(chunks)[:size]


def theta_for_mean(data: bytes, k: int, target: float = 5.0, theta_r: float = 1.0) -> float:
    """theta (with theta_r = 1.0) whose mean patch length is nearest the target."""
    lo, hi = 0.0, 6.0
    for _ in range(20):
        mid = (lo + hi) / 2
        if len(data) / len(qelt_corpus.patch_ends(data, k, mid, theta_r)) < target:
            lo = mid
        else:
            hi = mid
    return hi


PEAK_CHILD = """
import sys, qelt_corpus
def kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1])
data = open(sys.argv[1], "rb").read()
k, theta = int(sys.argv[2]), float(sys.argv[3])
qelt_corpus.patch_ends(data[:4096], k, theta, 1.0)  # load everything first
open("/proc/self/clear_refs", "w").write("5")
before = kib("VmRSS:")
ends = qelt_corpus.patch_ends(data, k, theta, 1.0)
print((kib("VmHWM:") - before) * 1024 - ends.nbytes)
"""


def peak_bytes_per_byte(path: pathlib.Path, size: int, k: int, theta: float) -> float:
    out = subprocess.run([sys.executable, "-c", PEAK_CHILD, str(path), str(k), repr(theta)],
                         check=True, capture_output=True, text=True).stdout
    return int(out) / size


def arrays_section(text: bytes, tmp: pathlib.Path) -> None:
    print(f"qelt_corpus arrays, {len(text) / MB:.0f} MiB of Python sources; "
          f"{os.cpu_count()} cores")
    path = tmp / "text"
    path.write_bytes(text)
    whole = bytearray(text)
    print(f"{'k':>2} {'theta':>6} {'list':>8} {'ends':>8} {'ends/list':>10} {'peak':>7}")
    print(f"{'':>2} {'':>6} {'MB/s':>8} {'MB/s':>8} {'':>10} {'B/byte':>7}")
    for k in (1, 2, 3, 4):
        theta = theta_for_mean(text, k)
        listed = best_seconds(lambda: qelt.patch_sequence(whole, k, theta, 1.0))
        ends = best_seconds(lambda: qelt_corpus.patch_ends(text, k, theta, 1.0))
        peak = peak_bytes_per_byte(path, len(text), k, theta)
        print(f"{k:>2} {theta:>6.3f} {len(text) / listed / 1e6:>8.1f} "
              f"{len(text) / ends / 1e6:>8.1f} {listed / ends:>10.2f} {peak:>7.2f}", flush=True)

    import pyarrow as pa

    documents = pa.array([text[i:i + 1024] for i in range(0, len(text), 1024)], pa.binary())
    one = best_seconds(lambda: qelt_corpus.patch_ends(text, 3, 2.0, 1.0))
    batch = best_seconds(lambda: qelt_corpus.patch_ends_batch(documents, 3, 2.0, 1.0))
    pieces = [text[i:i + 1024] for i in range(0, len(text), 1024)]
    loop = best_seconds(lambda: [qelt_corpus.patch_ends(p, 3, 2.0, 1.0) for p in pieces])
    print(f"k = 3, theta 2.0, theta_r 1.0: one {len(text) / MB:.0f} MiB patch_ends "
          f"{len(text) / one / 1e6:.1f} MB/s; batch of {len(documents)} 1 KiB documents "
          f"{len(text) / batch / 1e6:.1f} MB/s: batch/one {one / batch:.2f}; a loop of "
          f"patch_ends over them {len(text) / loop / 1e6:.1f} MB/s")

    halves = [documents[: len(documents) // 2], documents[len(documents) // 2:]]

    def two_threads() -> None:
        threads = [threading.Thread(target=qelt_corpus.patch_ends_batch, args=(h, 3, 2.0, 1.0))
                   for h in halves]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    two = best_seconds(two_threads)
    print(f"the batch on two threads: {len(text) / two / 1e6:.1f} MB/s, "
          f"{batch / two:.2f}x one thread", flush=True)


def split_stdlib() -> tuple[list[bytes], bytes]:
    """The files of the first half of the standard library's sources (by size, in path
    order), and the rest concatenated."""
    texts = [p.read_bytes() for p in stdlib_files()]
    half, seen = 0, 0
    total = sum(map(len, texts))
    while seen < total / 2:
        seen += len(texts[half])
        half += 1
    return texts[:half], b"".join(texts[half:])


def model_section(ks: tuple[int, ...] = (2, 3, 4)) -> None:
    import pyarrow as pa

    training, held_out = split_stdlib()
    files = pa.array(training, pa.binary())
    joined = b"".join(training)
    size = len(joined)
    print(f"\nContext model: trained on {len(training)} files ({size / MB:.1f} MiB), "
          f"patching {len(held_out) / MB:.1f} MiB of other files; theta 2.0, theta_r 1.0")
    sizes = (500, 2000, 10000)
    cut = {n: pa.array([held_out[i:i + n] for i in range(0, len(held_out), n)], pa.binary())
           for n in sizes}
    stream = held_out[: 4 * MB]
    for k in ks:
        trained = best_seconds(lambda: ContextModel.train(files, k), 2)
        model = ContextModel.train(files, k)
        path = pathlib.Path(tempfile.gettempdir()) / f"qelt-bench-model-{os.getpid()}"
        model.save(path)
        file_size = path.stat().st_size
        path.unlink()
        batch = best_seconds(lambda: qelt_corpus.patch_ends_batch(files, k, 2.0, 1.0), 2)
        one = best_seconds(lambda: qelt_corpus.patch_ends(joined, k, 2.0, 1.0), 2)
        print(f"k = {k}: {len(model)} contexts, file {file_size} B "
              f"({file_size / len(model):.2f} B/context)")
        print(f"  train {size / trained / 1e6:.1f} MB/s; patch_ends_batch on the same files "
              f"{size / batch / 1e6:.1f} MB/s (train/that {batch / trained:.2f}); one "
              f"patch_ends over them {size / one / 1e6:.1f} MB/s (train/that {one / trained:.2f})")
        with_model, own = [], []
        for n in sizes:
            with_model.append(len(held_out) / len(model.patch_ends_batch(cut[n], 2.0, 1.0)
                                                   .flatten()))
            own.append(len(held_out) / len(qelt_corpus.patch_ends_batch(cut[n], k, 2.0, 1.0)
                                           .flatten()))
        with_model.append(len(stream) / len(model.patch_ends(stream, 2.0, 1.0)))
        own.append(len(stream) / len(qelt_corpus.patch_ends(stream, k, 2.0, 1.0)))
        for name, means in (("model", with_model), ("own", own)):
            print(f"  mean length, {name:5} 500 B {means[0]:6.2f}, 2 KB {means[1]:6.2f}, "
                  f"10 KB {means[2]:6.2f}, 4 MiB stream {means[3]:6.2f}: "
                  f"spread {max(means) / min(means):.2f}")
        docs = cut[2000]
        modelled = best_seconds(lambda: model.patch_ends_batch(docs, 2.0, 1.0))
        per_document = best_seconds(lambda: qelt_corpus.patch_ends_batch(docs, k, 2.0, 1.0))
        print(f"  2 KB docs: model {len(held_out) / modelled / 1e6:.1f} MB/s, "
              f"patch_ends_batch {len(held_out) / per_document / 1e6:.1f} MB/s "
              f"(model/that {per_document / modelled:.2f})")
        theta = model.calibrate(docs, 5.0, theta_r=1.0)
        mean = len(held_out) / len(model.patch_ends_batch(docs, theta, 1.0).flatten())
        print(f"  calibrate(target 5.0): theta {theta:.4f}, mean {mean:.2f}", flush=True)


def run_command(*args: str) -> tuple[float, str]:
    """Runs qelt-corpus with `args`; the wall time of the whole process and its output."""
    start = time.perf_counter()
    result = subprocess.run([sys.executable, "-m", "qelt_corpus.cli", *args],
                            capture_output=True, text=True)
    seconds = time.perf_counter() - start
    if result.returncode not in (0, 1):
        raise SystemExit(result.stderr)
    return seconds, result.stdout


def text_megabytes(output: str) -> float:
    """The MB of text a run's first line of output reports."""
    first = output.splitlines()[0]
    return float(first.split(" MB")[0].rsplit(" ", 1)[1])


def command_section(workers: tuple[int, ...] = (2, 1)) -> None:
    root = sysconfig.get_paths()["stdlib"]
    print(f"\nqelt-corpus patch {root} (k = 3, theta 2.0, theta_r 1.0), files to Parquet:")
    for count in workers:
        with tempfile.TemporaryDirectory() as tmp:
            seconds, output = run_command("patch", root, "--out", tmp + "/out", "-k", "3",
                                          "--theta", "2.0", "--theta-r", "1.0", "--workers",
                                          str(count), "--no-progress")
            size = text_megabytes(output)
            print(f"  {count} workers: {seconds:.1f} s, {size / seconds:.1f} MB/s end to end "
                  f"({output.splitlines()[0]})", flush=True)


def training_section(trees: list[str], rounds: int = 2) -> None:
    """`train -k 3` against `patch -k 3` on the same corpus and 2 workers, taken in turn
    (`rounds` times each, the best kept); then the core's counting and merging."""
    print("\nqelt-corpus train against patch, k = 3, 2 workers, whole process, best of "
          f"{rounds} taken in turn:")
    for root in [sysconfig.get_paths()["stdlib"], *trees]:
        best = {"patch": math.inf, "train": math.inf}
        summary = {}
        for _ in range(rounds):
            with tempfile.TemporaryDirectory() as tmp:
                seconds, output = run_command("patch", root, "--out", tmp + "/out", "-k", "3",
                                              "--theta", "2.0", "--theta-r", "1.0",
                                              "--workers", "2", "--no-progress")
                best["patch"] = min(best["patch"], seconds)
                seconds, output = run_command("train", root, "--out", tmp + "/m.qelt", "-k",
                                              "3", "--workers", "2", "--no-progress")
                best["train"] = min(best["train"], seconds)
                summary = {"size": text_megabytes(output), "lines": output.splitlines()}
        size = summary["size"]
        print(f"  {root}: {size:.0f} MB; patch {best['patch']:.1f} s ({size / best['patch']:.1f} "
              f"MB/s), train {best['train']:.1f} s ({size / best['train']:.1f} MB/s): "
              f"train/patch {best['patch'] / best['train']:.2f}")
        print(f"    {summary['lines'][1]}")
        print(f"    {summary['lines'][2]}", flush=True)


def long_contexts_section(trees: list[str], rounds: int = 2,
                          ks: tuple[int, ...] = (3, 6, 8)) -> None:
    """`train` at longer contexts against `train -k 3` on the same corpus and 2 workers,
    taken in turn (`rounds` times each, the best kept): the stdlib directory, or the
    trees given."""
    print(f"\nqelt-corpus train at k = {', '.join(map(str, ks))}, 2 workers, whole process, "
          f"best of {rounds} taken in turn:")
    for root in trees or [sysconfig.get_paths()["stdlib"]]:
        best = dict.fromkeys(ks, math.inf)
        lines: dict[int, list[str]] = {}
        for _ in range(rounds):
            for k in ks:
                with tempfile.TemporaryDirectory() as tmp:
                    seconds, output = run_command("train", root, "--out", tmp + "/m.qelt", "-k",
                                                  str(k), "--workers", "2", "--no-progress")
                best[k] = min(best[k], seconds)
                lines[k] = output.splitlines()
        size = text_megabytes(lines[ks[0]][0])
        print(f"  {root}: {size:.0f} MB; " + ", ".join(
            f"k = {k} {best[k]:.1f} s ({size / best[k]:.1f} MB/s, {best[ks[0]] / best[k]:.2f})"
            for k in ks))
        for k in ks:
            print(f"    k = {k}: {lines[k][2]}", flush=True)


READER = """
import sys, time
from qelt_corpus import PackedDataset
dataset = PackedDataset(sys.argv[1])
for seed in (None, 1):
    stream = dataset.sequences(8192, seed=seed)
    for epoch in (0, 1):
        stream.set_epoch(epoch)
        start, size = time.perf_counter(), 0
        for data, starts in stream:
            size += len(data)
        print(seed, epoch, size / (time.perf_counter() - start) / 1e9, flush=True)
"""


def packing_section(trees: list[str], rounds: int = 2) -> None:
    """`pack` against `patch` on the same corpora, then the reader on what pack wrote."""
    print("\nqelt-corpus pack against patch, k = 3, 2 workers, whole process, best of "
          f"{rounds} taken in turn; then PackedDataset.sequences(8192) on one core:")
    settings = ("-k", "3", "--theta", "2.0", "--theta-r", "1.0", "--workers", "2",
                "--no-progress")
    for root in [sysconfig.get_paths()["stdlib"], *trees]:
        best = {"patch": math.inf, "pack": math.inf}
        with tempfile.TemporaryDirectory() as tmp:
            for round_ in range(rounds):
                seconds, output = run_command("patch", root, "--out", f"{tmp}/out{round_}",
                                              *settings)
                best["patch"] = min(best["patch"], seconds)
                shutil.rmtree(f"{tmp}/out{round_}", ignore_errors=True)
                if round_:
                    shutil.rmtree(f"{tmp}/packed", ignore_errors=True)
                seconds, output = run_command("pack", root, "--out", f"{tmp}/packed", *settings)
                best["pack"] = min(best["pack"], seconds)
            size = text_megabytes(output)
            print(f"  {root}: {size:.0f} MB; patch {best['patch']:.1f} s "
                  f"({size / best['patch']:.1f} MB/s), pack {best['pack']:.1f} s "
                  f"({size / best['pack']:.1f} MB/s): pack/patch "
                  f"{best['patch'] / best['pack']:.2f}", flush=True)
            for path in pathlib.Path(tmp, "packed").iterdir():  # into the page cache
                with open(path, "rb") as file:
                    while file.read(1 << 24):
                        pass
            result = subprocess.run([sys.executable, "-c", READER, f"{tmp}/packed"],
                                    capture_output=True, text=True, check=True)
            rates = {}
            for line in result.stdout.splitlines():
                seed, epoch, rate = line.split()
                rates[seed, epoch] = float(rate)
            for seed, name in (("None", "in order"), ("1", "shuffled")):
                print(f"    sequences {name}: epoch 0 {rates[seed, '0']:.2f} GB/s, epoch 1 "
                      f"{rates[seed, '1']:.2f} GB/s", flush=True)


def storage_corpora(directory: pathlib.Path, size: int) -> dict[str, tuple[str, int]]:
    """Writes the storage section's corpora under `directory`: {name: (input relative to
    the directory, bytes of text)}."""
    import json

    import pyarrow as pa
    import pyarrow.parquet as pq
    import zstandard

    documents, total = [], 0
    while total < size:
        for path in stdlib_files():
            text = path.read_text("utf-8", "replace")
            documents.append(text)
            total += len(text.encode())
            if total >= size:
                break
    files = 8
    (directory / "parquet").mkdir()
    (directory / "jsonl").mkdir()
    for i in range(files):
        share = documents[i::files]
        pq.write_table(pa.table({"text": share}), directory / "parquet" / f"{i}.parquet")
        lines = "".join(json.dumps({"text": text}) + "\n" for text in share).encode()
        (directory / "jsonl" / f"{i}.jsonl.zst").write_bytes(
            zstandard.ZstdCompressor(level=3).compress(lines))
    (directory / "small").mkdir()
    small = 0
    for i, text in enumerate(documents[:2000]):
        data = text.encode()[:4096]
        (directory / "small" / f"{i:04}.txt").write_bytes(data)
        small += len(data)
    return {"Parquet dataset": ("parquet", total), "zstd JSON lines": ("jsonl", total),
            "2000 small text objects": ("small", small)}


def storage_section(size: int, rounds: int = 2) -> None:
    """`patch` from S3 to S3 against the same run from and to local disk."""
    import s3fs

    settings = ("-k", "3", "--theta", "2.0", "--theta-r", "1.0", "--workers", "2",
                "--no-progress")
    sys.path.insert(0, str(ROOT.parent / "tests"))
    import s3_server

    with tempfile.TemporaryDirectory() as tmp, s3_server.running("bench") as (_, environ):
        directory = pathlib.Path(tmp)
        corpora = storage_corpora(directory, size)
        fs = s3fs.S3FileSystem(key=environ["AWS_ACCESS_KEY_ID"],
                               secret=environ["AWS_SECRET_ACCESS_KEY"],
                               endpoint_url=environ["AWS_ENDPOINT_URL"])
        fs.mkdir("bench")
        for location, _ in corpora.values():
            fs.put(str(directory / location), f"bench/{location}", recursive=True)
        os.environ.update(environ)
        print(f"\nqelt-corpus patch from S3 to S3 against local disk to local disk, k = 3, 2 "
              f"workers, best of {rounds} taken in turn; moto_server on 127.0.0.1:")
        for name, (location, text_size) in corpora.items():
            best = {"local": (math.inf, math.inf), "s3": (math.inf, math.inf)}
            for round_ in range(rounds):
                for kind, source, out in (
                        ("local", str(directory / location), str(directory / f"out{round_}")),
                        ("s3", f"s3://bench/{location}", f"s3://bench/out-{location}{round_}")):
                    seconds, output = run_command("patch", source, "--out", out, *settings)
                    worked = float(output.splitlines()[1].split(" patched in ")[1].split(" s")[0])
                    best[kind] = min(best[kind], (seconds, worked))
                shutil.rmtree(directory / f"out{round_}", ignore_errors=True)
            megabytes = text_size / 1e6
            (local, local_work), (remote, remote_work) = best["local"], best["s3"]
            print(f"  {name}, {megabytes:.0f} MB of text: local {local:.1f} s "
                  f"({megabytes / local:.1f} MB/s), S3 {remote:.1f} s "
                  f"({megabytes / remote:.1f} MB/s): S3/local {local / remote:.2f} whole "
                  f"process, {local_work / remote_work:.2f} of the time the command reports "
                  f"for the work ({local_work:.1f} s, {remote_work:.1f} s)", flush=True)


def counting_section() -> None:
    """ContextCounts in the core: counting at k = 3 .. 8, making a model from counts,
    merging into an empty object and a merge tree, on 16 MiB of real text and of
    binaries."""
    import shared

    binary = shared.build_core_benchmark()
    print("\nContextCounts in the core, 16 MiB per corpus (bench_core --count, --merge):")
    with tempfile.TemporaryDirectory() as tmp:
        for name, data in shared.corpora(16 * MB).items():
            if name == "random":
                continue
            path = pathlib.Path(tmp) / name
            path.write_bytes(data)
            rates = {k: shared.core_run(binary, path, 2.0, 1.0, k, "--count", 2.0)["mbps"]
                     for k in (3, 4, 5, 6, 7, 8)}
            print(f"  {name:6} counting MB/s: " + ", ".join(f"k = {k} {r:.1f}" for k, r in
                                                            rates.items()))
            print(f"  {name:6} against k = 3: " + ", ".join(f"k = {k} {r / rates[3]:.2f}" for k, r
                                                            in rates.items() if k > 3))
            builds = {k: shared.core_run(binary, path, 2.0, 1.0, k, "--build", 2.0)
                      for k in (3, 5, 6, 7, 8)}
            print(f"  {name:6} making the model from the counts, s (against counting): " +
                  ", ".join(f"k = {k} {b['build_s']:.3f} ({b['build_s'] / b['count_s']:.2f})"
                            for k, b in builds.items()))
            merge = shared.core_run(binary, path, 2.0, 1.0, 3, "--merge", 2.0)
            print(f"  {name:6} k = 3: merging all into an empty object {merge['merge_s']:.4f} s "
                  f"against counting it {merge['count_s']:.4f} s ({merge['merge_s'] / merge['count_s']:.2f}); "
                  f"a random tree of fan-in 3 over 64 parts {merge['tree_s']:.4f} s against "
                  f"counting the parts {merge['parts_s']:.4f} s "
                  f"({merge['tree_s'] / merge['parts_s']:.2f})", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=4,
                        help="text size in MiB of the arrays section (default 4); the storage "
                        "section uses 16 times it")
    parser.add_argument("--sections", default="arrays,model",
                        help="what to measure: arrays, model, command, counting, training, "
                        "long, packing, storage (default: the first two)")
    parser.add_argument("--tree", action="append", default=[], metavar="DIR",
                        help="a large source tree for the training and packing sections, "
                        "beside the standard library, and for the long section instead of "
                        "it (repeatable)")
    args = parser.parse_args()
    run_sections(args.sections.split(","), args.size, args.tree)


def run_sections(sections: list[str], size: int = 4, trees: list[str] | None = None) -> None:
    trees = trees or []
    if "arrays" in sections:
        with tempfile.TemporaryDirectory() as tmp:
            arrays_section(stdlib_text(size * MB), pathlib.Path(tmp))
    if "model" in sections:
        model_section()
    if "command" in sections:
        command_section()
    if "counting" in sections:
        counting_section()
    if "training" in sections:
        training_section(trees)
    if "long" in sections:
        long_contexts_section(trees)
    if "packing" in sections:
        packing_section(trees)
    if "storage" in sections:
        storage_section(size * 16 * MB)


if __name__ == "__main__":
    main()
