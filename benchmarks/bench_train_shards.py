#!/usr/bin/env python3
"""Training on a cluster in shares, against the build of another revision, in one run.

    python3 benchmarks/bench_train_shards.py [--baseline REVISION] [--runs all|quick]

On about 200 MB of source and text (the .py, .pyi, .h, .hpp, .c, .cpp, .json, .md, .rst,
.txt, .html, .js and .css files of this interpreter's site-packages, less its two
largest packages, as a Parquet dataset in build/bench-corpus), with Kneser-Ney and
--partition-bytes 8000000, `qelt-corpus train` of this tree and of the baseline (built
into build/bench-baseline) is run on local clusters of this machine:

- k = 6, 2 workers, on a 47 MB sample and on the whole corpus; 4 workers on the whole:
  the largest worker's peak (resident memory), flat in the corpus and halving as the
  workers double; MB/s against the baseline's.
- k = 8, --max-model-bytes 300000000: 4 workers, and 2 workers of --memory-limit
  1.5GiB, each worker's peak against its limit; MB/s against the baseline's on 2.
- Every model of this tree against the baseline's of the same run: the same contexts
  kept at every length, with the same entropies, weights, bytes and probabilities
  (read from the files as docs/formats.md lays them out, whatever their versions), and
  the same patch ends and entropies on held-out Python (the packages left out).

Printed: a line per run, then the ratios the targets are about.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import re
import struct
import subprocess
import sys
import tempfile

import numpy as np

import shared

ROOT = shared.ROOT
CORPUS = ROOT / "build" / "bench-corpus"
BASELINE = ROOT / "build" / "bench-baseline"
GIB = 1 << 30


def baseline_site(revision: str) -> pathlib.Path:
    """The qelt_corpus package of `revision`, built once into build/bench-baseline."""
    target = BASELINE / revision
    if (target / "qelt_corpus").exists():
        return target
    with tempfile.TemporaryDirectory() as tree:
        archive = subprocess.run(["git", "-C", str(ROOT), "archive", revision], check=True,
                                 capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", tree], input=archive, check=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-deps",
                        "--no-build-isolation", "--target", str(target), tree], check=True)
    return target


def train(site: pathlib.Path | None, out: pathlib.Path, k: int, workers: int,
          *extra: str) -> dict[str, object]:
    """A run of `qelt-corpus train` (of `site`, else this tree's installed package):
    its MB/s, the largest worker's peak and the model written."""
    env = dict(os.environ)
    if site is not None:
        env["PYTHONPATH"] = str(site)
    result = subprocess.run([sys.executable, "-m", "qelt_corpus.cli", "train", str(CORPUS),
                             "--out", str(out), "-k", str(k), "--smoothing", "kneser-ney",
                             "--workers", str(workers), "--partition-bytes", "8000000",
                             "--no-progress", *extra], capture_output=True, text=True, env=env)
    if result.returncode != 0:
        return {"failed": (result.stderr.strip().splitlines() or ["?"])[-1]}
    text = result.stdout
    rate = float(re.search(r"\(([\d.]+) MB/s\)", text).group(1))
    peaks = re.search(r"workers (?:up to )?([\d, ]+) MB", text).group(1)
    return {"mbps": rate, "peak": max(int(p) for p in peaks.split(",")) * 10**6,
            "peaks": peaks.strip(), "out": out}


# --- Reading a model file as docs/formats.md lays it out ----------------------------------

def _tables(data: bytes, version: int, k: int) -> list[tuple[int, int, int, int, int]]:
    """Per table: (length, slots offset, slots, lists or records offset, pairs offset)."""
    tables = []
    if version == 3:
        for j in range(k + 1):
            _, _, log2, _, directory = struct.unpack_from("<QQIIQ", data, 48 + 32 * j)
            for block in range(1 << log2):
                offset, slots, lists, _ = struct.unpack_from("<QQQQ", data, directory + 32 * block)
                if slots:
                    tables.append((j, offset, slots, lists, 0))
        return tables
    header = 48 + 24 * (k + 1)
    at = (header + 7) // 8 * 8
    for j in range(k + 1):
        _, slots, pairs = struct.unpack_from("<QQQ", data, 48 + 24 * j)
        width = 8 if j <= 4 else 12
        table = at
        records = (table + slots * width + 7) // 8 * 8
        pair_bytes = (records + 16 * slots + 7) // 8 * 8
        probabilities = (pair_bytes + pairs + 7) // 8 * 8
        tables.append((j, table, slots, records, pair_bytes))
        at = (probabilities + 4 * pairs + 7) // 8 * 8
    return tables


def model_contents(path: pathlib.Path) -> list[dict[str, np.ndarray]]:
    """Per length: the keys kept, ascending, with the bits of their entropies and
    weights, how many bytes each lists, and those bytes with the bits of their
    probabilities, in the order of the keys."""
    data = path.read_bytes()
    buffer = np.frombuffer(data, np.uint8)
    version, k = struct.unpack_from("<II", data, 8)
    parts: list[list[dict[str, np.ndarray]]] = [[] for _ in range(k + 1)]
    for j, table, slots, lists, pair_bytes in _tables(data, version, k):
        key_bytes = 4 if j <= 4 else 8
        width = key_bytes + (12 if version == 3 else 4)
        raw = buffer[table:table + slots * width].reshape(slots, width)
        keys = raw[:, :key_bytes].copy().view(f"<u{key_bytes}")[:, 0].astype(np.uint64)
        entropy = raw[:, key_bytes:key_bytes + 4].copy().view("<u4")[:, 0]
        filled = entropy != 0xFFFFFFFF
        if version == 3:
            weight = raw[:, key_bytes + 4:key_bytes + 8].copy().view("<u4")[:, 0]
            distance = raw[:, key_bytes + 8:key_bytes + 12].copy().view("<u4")[:, 0]
            starts = table + np.arange(slots, dtype=np.int64) * width + distance
            listed = distance != 0
            counts = np.zeros(slots, np.int64)
            counts[listed] = buffer[starts[listed]].astype(np.int64) + 1
            first_byte = starts + 1
            first_probability = starts + 1 + counts
        else:
            records = buffer[lists:lists + 16 * slots].reshape(slots, 16)
            first = records[:, :8].copy().view("<u8")[:, 0].astype(np.int64)
            counts = records[:, 8:12].copy().view("<u4")[:, 0].astype(np.int64)
            weight = records[:, 12:16].copy().view("<u4")[:, 0]
            _, _, pairs = struct.unpack_from("<QQQ", data, 48 + 24 * j)
            probabilities = (pair_bytes + pairs + 7) // 8 * 8
            first_byte = pair_bytes + first
            first_probability = probabilities + 4 * first
        order = np.argsort(keys[filled], kind="stable")
        n = counts[filled][order]
        within = np.arange(int(n.sum())) - np.repeat(np.cumsum(n) - n, n)
        byte_at = np.repeat(first_byte[filled][order], n) + within
        probability_at = np.repeat(first_probability[filled][order], n) + 4 * within
        probability = np.zeros(len(probability_at), np.uint32)
        for byte in range(4):  # the lists of version 3 are not aligned
            probability |= buffer[probability_at + byte].astype(np.uint32) << (8 * byte)
        parts[j].append({"keys": keys[filled][order], "entropy": entropy[filled][order],
                         "weight": weight[filled][order], "listed": n,
                         "bytes": buffer[byte_at], "probability": probability})
    merged = []
    for j in range(k + 1):
        join = {name: np.concatenate([p[name] for p in parts[j]]) if parts[j] else np.zeros(0)
                for name in ("keys", "entropy", "weight", "listed", "bytes", "probability")}
        # Blocks hold keys in no order among themselves: one order for the whole length.
        order = np.argsort(join["keys"], kind="stable")
        listed = join["listed"].astype(np.int64)
        starts = np.cumsum(listed) - listed
        n = listed[order]
        pick = np.repeat(starts[order], n) + (np.arange(int(n.sum())) -
                                              np.repeat(np.cumsum(n) - n, n))
        merged.append({"keys": join["keys"][order], "entropy": join["entropy"][order],
                       "weight": join["weight"][order], "listed": join["listed"][order],
                       "bytes": join["bytes"][pick], "probability": join["probability"][pick]})
    return merged


def same_models(new: pathlib.Path, old: pathlib.Path, held_out: list[bytes]) -> str:
    """'same' if the two files keep the same contexts with the same distributions and
    patch held-out documents alike; else what differs."""
    a, b = model_contents(new), model_contents(old)
    if len(a) != len(b):
        return "different k"
    for j, (x, y) in enumerate(zip(a, b)):
        for name in x:
            if not np.array_equal(x[name], y[name]):
                return f"length {j}: {name} differ"
    from qelt_corpus import ContextModel

    m, n = ContextModel.load(new), ContextModel.load(old)
    for document in held_out:
        if not np.array_equal(m.entropies(document), n.entropies(document)):
            return "entropies differ"
        if not np.array_equal(m.patch_ends(document, theta=2.0, theta_r=1.0),
                              n.patch_ends(document, theta=2.0, theta_r=1.0)):
            return "patch ends differ"
    return "same"


def held_out_python(size: int = 2_000_000) -> list[bytes]:
    """Python sources of the packages the corpus leaves out."""
    import site

    documents, total = [], 0
    for root in map(pathlib.Path, site.getsitepackages()):
        for package in shared.LEFT_OUT_PACKAGES:
            for path in sorted((root / package).rglob("*.py")):
                documents.append(path.read_bytes())
                total += len(documents[-1])
                if total >= size:
                    return documents
    return documents


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--baseline", default="f400f85",
                        help="the revision to measure against (default: the last build "
                        "that made the model in one task)")
    arguments = parser.parse_args()
    documents, size = shared.write_source_corpus(CORPUS)
    print(f"corpus: {documents} documents, {size / 1e6:.1f} MB; baseline {arguments.baseline}")
    old_site = baseline_site(arguments.baseline)
    held_out = held_out_python()
    runs: dict[str, dict[str, object]] = {}
    with tempfile.TemporaryDirectory() as directory:
        out = pathlib.Path(directory)

        def run(name: str, site: pathlib.Path | None, k: int, workers: int, *extra: str) -> None:
            runs[name] = result = train(site, out / f"{name}.qelt", k, workers, *extra)
            shown = ", ".join(f"{key} {value}" for key, value in result.items() if key != "out")
            print(f"{name:>24}: {shown}", flush=True)

        run("k6-47MB-2w", None, 6, 2, "--sample-bytes", "47000000")
        run("k6-2w", None, 6, 2)
        run("k6-2w-baseline", old_site, 6, 2)
        run("k6-4w", None, 6, 4)
        run("k8-4w", None, 8, 4, "--max-model-bytes", "300000000")
        run("k8-2w-1.5GiB", None, 8, 2, "--max-model-bytes", "300000000",
            "--memory-limit", "1.5GiB")
        run("k8-2w", None, 8, 2, "--max-model-bytes", "300000000")
        run("k8-2w-baseline", old_site, 8, 2, "--max-model-bytes", "300000000")
        run("k3-2w-min3", None, 3, 2, "--min-count", "3")
        run("k3-2w-min3-baseline", old_site, 3, 2, "--min-count", "3")
        run("k6-2w-budget", None, 6, 2, "--max-model-bytes", "150000000", "--min-count", "2")
        run("k6-2w-budget-baseline", old_site, 6, 2, "--max-model-bytes", "150000000",
            "--min-count", "2")
        print()
        for name in ("k6-2w", "k8-2w", "k3-2w-min3", "k6-2w-budget"):
            new, old = runs[name], runs[name + "-baseline"]
            if "out" in new and "out" in old:
                verdict = same_models(new["out"], old["out"], held_out)
            else:
                verdict = "not compared (a run failed)"
            print(f"model {name} against the baseline's: {verdict}")
    peak = {name: run.get("peak") for name, run in runs.items()}
    print(f"k = 6 peak, 186 MB / 47 MB sample (2 workers): "
          f"{peak['k6-2w'] / peak['k6-47MB-2w']:.2f} (target <= 1.3)")
    print(f"k = 6 peak, 4 workers / (1.3 x half of 2 workers + 0.3 GiB): "
          f"{peak['k6-4w'] / (1.3 * peak['k6-2w'] / 2 + 0.3 * GIB):.2f} (target <= 1)")
    print(f"k = 6 peak, baseline / this tree (2 workers): "
          f"{peak['k6-2w-baseline'] / peak['k6-2w']:.2f}")
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    for name, limit in (("k8-4w", memory / 4), ("k8-2w-1.5GiB", 1.5 * GIB)):
        result = runs[name]
        if "peak" in result:
            print(f"{name}: largest worker peak / its memory limit: "
                  f"{result['peak'] / limit:.2f} (target <= 1)")
        else:
            print(f"{name}: failed: {result['failed']}")
    for name, target in (("k6-2w", 0.8), ("k8-2w", 1.0)):
        new, old = runs[name], runs[name + "-baseline"]
        if "mbps" in new and "mbps" in old:
            print(f"{name} throughput, this tree / baseline: {new['mbps'] / old['mbps']:.2f} "
                  f"(target >= {target})")


if __name__ == "__main__":
    main()
