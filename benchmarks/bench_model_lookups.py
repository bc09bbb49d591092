#!/usr/bin/env python3
"""Patching and evaluating with models larger than the caches, in one run.

    python3 benchmarks/bench_model_lookups.py [--orders 3,4,6,8] [--turns 5]

The models: `qelt-corpus train` on the 200 MB of source and text of
bench_train_shards.py (build/bench-corpus), both kinds, k = 3, 4, 6 and 8 (k = 8 with
--max-model-bytes 300000000), trained once into build/bench-models. The documents: the
2 MiB of held-out standard-library Python of bench_models.py, as one Arrow array.

For each model, one process, the best of --turns turns taken in turn: MB/s of
`model.patch_ends_batch` (theta 2.0, theta_r 1.0), of `qelt_corpus.patch_ends_batch`
at the same k (each document's own model), of `model.evaluate`, and of adaptive
patching (adapt=True); printed with the ratios the targets are about: model patching
over the documents' own, evaluate over model patching, adaptive over static.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
from typing import Callable

import pyarrow as pa

import bench_models
import bench_train_shards
import shared
from qelt_corpus import ContextModel, patch_ends_batch

MODELS = shared.ROOT / "build" / "bench-models"
KINDS = ("kneser-ney", "none")


def model_path(kind: str, k: int) -> pathlib.Path:
    """The model of `kind` and `k`, trained on the corpus the first time it is asked for."""
    path = MODELS / f"{kind}-k{k}.qelt"
    if not path.exists():
        MODELS.mkdir(parents=True, exist_ok=True)
        shared.write_source_corpus(bench_train_shards.CORPUS)
        budget = ["--max-model-bytes", "300000000"] if k == 8 else []
        subprocess.run([sys.executable, "-m", "qelt_corpus.cli", "train",
                        str(bench_train_shards.CORPUS), "--out", str(path), "-k", str(k),
                        "--smoothing", kind, "--workers", "2", "--no-progress", *budget],
                       check=True, capture_output=True)
    return path


def best_rates(calls: dict[str, Callable[[], object]], size: int, turns: int) -> dict[str, float]:
    """MB/s of each call, the best of `turns`, the calls taken in turn."""
    best = {name: float("inf") for name in calls}
    for _ in range(turns):
        for name, call in calls.items():
            best[name] = min(best[name], shared.best_seconds(call, 1))
    return {name: size / 1e6 / seconds for name, seconds in best.items()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--orders", default="3,4,6,8")
    parser.add_argument("--turns", type=int, default=5)
    arguments = parser.parse_args()
    _, held = bench_models.split()
    documents = pa.array(held, pa.large_binary())
    size = sum(map(len, held))
    print(f"held-out: {len(held)} files, {size / 1e6:.2f} MB; models trained on the "
          f"site-packages sources of bench_train_shards.py's corpus; best of "
          f"{arguments.turns} turns")
    print(f"{'kind':>10} {'k':>2} {'file MB':>8} {'model':>7} {'own':>7} {'model/own':>9} "
          f"{'evaluate':>8} {'eval/model':>10} {'adapt':>7} {'adapt/model':>11}")
    for k in map(int, arguments.orders.split(",")):
        for kind in KINDS:
            path = model_path(kind, k)
            model = ContextModel.load(path)
            model.evaluate(documents)  # the file's pages read in once
            rates = best_rates({
                "model": lambda: model.patch_ends_batch(documents, 2.0, 1.0),
                "own": lambda: patch_ends_batch(documents, k, 2.0, 1.0),
                "evaluate": lambda: model.evaluate(documents),
                "adapt": lambda: model.patch_ends_batch(documents, 2.0, 1.0, adapt=True),
            }, size, arguments.turns)
            print(f"{kind:>10} {k:>2} {path.stat().st_size / 1e6:8.1f} {rates['model']:7.1f} "
                  f"{rates['own']:7.1f} {rates['model'] / rates['own']:9.2f} "
                  f"{rates['evaluate']:8.1f} {rates['evaluate'] / rates['model']:10.2f} "
                  f"{rates['adapt']:7.1f} {rates['adapt'] / rates['model']:11.2f}", flush=True)


if __name__ == "__main__":
    main()
