#!/usr/bin/env python3
"""How good and how fast the context models are, both kinds, on held-out Python sources.

    python3 benchmarks/bench_models.py [--orders 3,4,6] [--no-ppmd]

The split: the .py files under this interpreter's standard library directory, leaving
out every directory whose path contains site-packages, /test or idlelib, sorted by
path; a file is held out when zlib.crc32 of its path relative to that directory (UTF-8)
is 0 modulo 4. Training takes the other files in order until 6 MiB is reached (the
file that crosses the mark included), the held-out files likewise up to 2 MiB.

For each k and kind: held-out bits per byte and mean entropy in bits, bytes of
probability 0, the file size, and, measured in this run, the speed of training,
patching the held-out files (patch_ends_batch, theta 2.0, theta_r 1.0) and evaluating
them; then the same model learning from each held-out file as it reads it (adapt):
its bits per byte, and its patching speed against the static one; ratios are of
figures of the same run. Beside them, PPMd (pyppmd) at the same
order, primed with the training text and then coding each held-out file on its own
(the size of training text plus file, less that of the training text alone, summed
over the files): it also learns from the file it codes. Then `qelt-corpus train` at
k = 4, both kinds, on the training files.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import pathlib
import subprocess
import sys
import sysconfig
import tempfile
import time
import zlib

import pyarrow as pa

from qelt_corpus import ContextModel
from shared import best_seconds

MIB = 1 << 20
KINDS = ("none", "kneser-ney")


def split() -> tuple[list[bytes], list[bytes]]:
    """The training and held-out files, as the module docstring defines them."""
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    paths = sorted(p for p in root.rglob("*.py")
                   if not any(part in str(p.parent) for part in ("site-packages", "/test",
                                                                 "idlelib")))
    train, held = [], []
    train_bytes = held_bytes = 0
    for path in paths:
        relative = str(path.relative_to(root)).encode("utf-8")
        if zlib.crc32(relative) % 4 == 0:
            if held_bytes < 2 * MIB:
                held.append(path.read_bytes())
                held_bytes += len(held[-1])
        elif train_bytes < 6 * MIB:
            train.append(path.read_bytes())
            train_bytes += len(train[-1])
    return train, held


def ppmd_size(order: int, data: bytes) -> int:
    import pyppmd

    encoder = pyppmd.Ppmd7Encoder(order, 1 << 28)
    return len(encoder.encode(data)) + len(encoder.flush())


def ppmd_bits_per_byte(order: int, train: bytes, held: list[bytes]) -> float:
    """Primed PPMd: the bits each held-out file adds after the training text."""
    alone = ppmd_size(order, train)
    with concurrent.futures.ProcessPoolExecutor(os.cpu_count() or 1) as pool:
        sizes = list(pool.map(ppmd_size, [order] * len(held), [train + h for h in held],
                              chunksize=4))
    return 8 * sum(size - alone for size in sizes) / sum(map(len, held))


def command_train(train: list[bytes], k: int) -> dict[str, float]:
    """Seconds of `qelt-corpus train` on the training files, for each kind."""
    seconds = {}
    with tempfile.TemporaryDirectory() as tmp:
        corpus = pathlib.Path(tmp) / "train"
        corpus.mkdir()
        for i, data in enumerate(train):
            (corpus / f"{i:05}.py").write_bytes(data)
        for kind in KINDS:
            start = time.perf_counter()
            subprocess.run([sys.executable, "-m", "qelt_corpus.cli", "train", str(corpus),
                            "--out", str(pathlib.Path(tmp) / f"{kind}.qelt"), "-k", str(k),
                            "--smoothing", kind, "--workers", "2", "--no-progress"],
                           check=True, capture_output=True)
            seconds[kind] = time.perf_counter() - start
    return seconds


BUDGETS = [1 << 30, 16 << 20, 1 << 20, 256 << 10, 64 << 10, 16 << 10]


def adaptive_budgets(train: list[bytes], held: list[bytes], orders: str) -> None:
    """The held-out bits per byte of a smoothed model reading each file adaptively
    within each budget, and how many files are larger than what the budget lets their
    statistics grow to (the ones the budget changes)."""
    held_array = pa.array(held, pa.large_binary())
    print(f"adapt=True within a memory budget, Kneser-Ney; held-out files up to "
          f"{max(map(len, held)) / 1024:.0f} KiB")
    for k in map(int, orders.split(",")):
        model = ContextModel.train(train, k, smoothing="kneser-ney")
        static = model.evaluate(held_array).bits_per_byte
        unbounded = model.evaluate(held_array, adapt=True, adapt_memory=None).bits_per_byte
        figures = ", ".join(
            f"{budget >> 10} KiB {model.evaluate(held_array, adapt=True, adapt_memory=budget).bits_per_byte:.4f}"
            for budget in BUDGETS)
        print(f"  k = {k}: static {static:.4f}; no bound {unbounded:.4f}; {figures}",
              flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--orders", default="3,4,6")
    parser.add_argument("--no-ppmd", action="store_true", help="leave PPMd out")
    parser.add_argument("--rounds", type=int, default=4, help="turns of each measure")
    parser.add_argument("--budgets", action="store_true",
                        help="only the held-out bits per byte of adapt=True (Kneser-Ney) within "
                        "budgets of memory from the default down")
    args = parser.parse_args()
    train, held = split()
    if args.budgets:
        adaptive_budgets(train, held, args.orders)
        return
    train_bytes, held_bytes = sum(map(len, train)), sum(map(len, held))
    print(f"held-out split of {sysconfig.get_paths()['stdlib']}: {len(train)} training files "
          f"({train_bytes / MIB:.2f} MiB), {len(held)} held out ({held_bytes / MIB:.2f} MiB)")
    held_array = pa.array(held, pa.large_binary())
    print(f"{'k':>2} {'kind':10} {'bits/B':>7} {'H bits':>7} {'zero p':>7} {'file MB':>8} "
          f"{'train MB/s':>10} {'patch MB/s':>10} {'eval MB/s':>9} {'ppmd bits/B':>11} "
          f"{'adapt bits/B':>12} {'adapt patch MB/s':>16}")
    for k in map(int, args.orders.split(",")):
        models = {kind: ContextModel.train(train, k, smoothing=kind) for kind in KINDS}
        # Each figure is the best of several runs, the two kinds measured in turn, so
        # that a slow spell of a shared machine hits both.
        seconds: dict[tuple[str, str], float] = {}
        for _ in range(args.rounds):
            for kind, model in models.items():
                for what, call in (
                        ("train", lambda: ContextModel.train(train, k, smoothing=kind)),
                        ("patch", lambda: model.patch_ends_batch(held_array, 2.0, 1.0)),
                        ("adapt", lambda: model.patch_ends_batch(held_array, 2.0, 1.0,
                                                                 adapt=True)),
                        ("evaluate", lambda: model.evaluate(held_array))):
                    spent = best_seconds(call, 1 if what == "train" else 3)
                    seconds[kind, what] = min(seconds.get((kind, what), spent), spent)
        rates = {kind: {"train": train_bytes / seconds[kind, "train"] / 1e6,
                        "patch": held_bytes / seconds[kind, "patch"] / 1e6,
                        "adapt": held_bytes / seconds[kind, "adapt"] / 1e6,
                        "evaluate": held_bytes / seconds[kind, "evaluate"] / 1e6}
                 for kind in KINDS}
        for kind, model in models.items():
            result = model.evaluate(held_array)
            adaptive = model.evaluate(held_array, adapt=True)
            ppmd = (" " * 11 if args.no_ppmd or kind == "none" else
                    f"{ppmd_bits_per_byte(k, b''.join(train), held):>11.3f}")
            print(f"{k:>2} {kind:10} {result.bits_per_byte:>7.3f} "
                  f"{result.mean_entropy_bits:>7.3f} {result.zero_probability_bytes:>7} "
                  f"{model.nbytes / 1e6:>8.2f} {rates[kind]['train']:>10.1f} "
                  f"{rates[kind]['patch']:>10.1f} {rates[kind]['evaluate']:>9.1f} {ppmd} "
                  f"{adaptive.bits_per_byte:>12.3f} {rates[kind]['adapt']:>16.1f}", flush=True)
        smooth, plain = rates["kneser-ney"], rates["none"]
        print(f"   k = {k}: kneser-ney/none: patch {smooth['patch'] / plain['patch']:.2f}, "
              f"train {smooth['train'] / plain['train']:.2f}; evaluate/patch "
              f"{smooth['evaluate'] / smooth['patch']:.2f} (kneser-ney), "
              f"{plain['evaluate'] / plain['patch']:.2f} (none); adapt/static patch "
              f"{smooth['adapt'] / smooth['patch']:.2f} (kneser-ney), "
              f"{plain['adapt'] / plain['patch']:.2f} (none)", flush=True)
    seconds = command_train(train, 4)
    print(f"qelt-corpus train at k = 4 on 2 workers: none {seconds['none']:.2f} s, kneser-ney "
          f"{seconds['kneser-ney']:.2f} s: kneser-ney/none speed "
          f"{seconds['none'] / seconds['kneser-ney']:.2f}")


if __name__ == "__main__":
    main()
