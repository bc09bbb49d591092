#!/usr/bin/env python3
"""The three readings of a model side by side: held-out bits per byte and patching
speed of static, adaptive and mixing reads, beside PPMd and zpaq on the same files.

    python3 benchmarks/bench_mixing.py [--orders 3,6,8] [--ppmd-orders 6,8,12,16]
                                       [--no-compressors] [--model FILE] [--memory-only]

The split is bench_models.py's (the standard library's Python sources: 6 MiB to train
on, 2 MiB held out). For each k, a Kneser-Ney model trained on the training files reads
every held-out file on its own from a fresh state: its bits per byte in each reading,
and the MB/s of patch_ends_batch over all of them (theta 2.0, theta_r 1.0) in each
reading, measured in turns in this run (the best of --rounds turns), with the ratio of
mixing to adaptive speed. Beside them: PPMd var. I (pyppmd) primed with the training
text and coding each held-out file on its own, at each of --ppmd-orders; and zpaq
-method 5 (Debian's zpaq) primed with the training text and coding the held-out files
one after another in one archive (the archive's size less that of the training text
alone). Last, in a fresh process, a stream mixing 64 MiB of random bytes at k = 6 within
adapt_memory 256 MiB, pushed a MiB at a time: the peak resident memory the read adds
(within the budget plus a little) and the time of its last MiB against its first (no
more than 1.5 times: the cost per byte is flat).
"""

from __future__ import annotations

import argparse
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import pyarrow as pa

from bench_models import MIB, ppmd_bits_per_byte, split
from qelt_corpus import ContextModel
from shared import best_seconds

READINGS = ("static", "adaptive", "mix")


def zpaq_bits_per_byte(train: bytes, held: list[bytes]) -> float | None:
    """zpaq -method 5, primed: the bits the held-out files add to an archive of the
    training text; None without zpaq."""
    if shutil.which("zpaq") is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp)
        (root / "a_train").write_bytes(train)
        (root / "b_held").write_bytes(b"".join(held))

        def size(*names: str) -> int:
            archive = root / f"{len(names)}.zpaq"
            subprocess.run(["zpaq", "a", str(archive), *names, "-method", "5"], cwd=root,
                           check=True, capture_output=True)
            return archive.stat().st_size

        return 8 * (size("a_train", "b_held") - size("a_train")) / sum(map(len, held))


def _status_bytes(field: str) -> int:
    """A figure of this process's /proc/self/status (VmRSS, VmHWM), in bytes."""
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith(field + ":"))
    return int(line.split()[1]) * 1024


def random_read(model_path: str, size: int, memory: int) -> None:
    """In a child: streams `size` random bytes mixing within `memory`, a MiB a push;
    prints the peak resident memory the read added (the high-water mark reset once the
    model and the document are in memory), and the seconds of the first and last
    pushes."""
    import os

    model = ContextModel.load(model_path)
    model.entropies(b"warm", reading="mix")
    document = memoryview(os.urandom(size))
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # resets VmHWM to the present VmRSS
    before = _status_bytes("VmRSS")
    stream = model.stream(2.0, 1.0, reading="mix", adapt_memory=memory)
    pushes = []
    for at in range(0, size, MIB):
        start = time.perf_counter()
        stream.push(document[at:at + MIB])
        pushes.append(time.perf_counter() - start)
    stream.finish()
    print((_status_bytes("VmHWM") - before) / MIB, pushes[0], pushes[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--orders", default="3,6,8")
    parser.add_argument("--ppmd-orders", default="6,8,12,16")
    parser.add_argument("--rounds", type=int, default=2, help="turns of each speed")
    parser.add_argument("--no-compressors", action="store_true", help="leave PPMd, zpaq out")
    parser.add_argument("--model", metavar="FILE",
                        help="only the held-out bits per byte of the three readings of this "
                        "model (one trained on a larger corpus: bench_corpus.py's tree of "
                        "site-packages sources, say)")
    parser.add_argument("--memory-only", action="store_true",
                        help="only the memory of mixing reads of random bytes")
    parser.add_argument("--random-read", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.random_read:
        path, size, memory = args.random_read
        random_read(path, int(size), int(memory))
        return
    train, held = split()
    if args.memory_only:
        random_reads(train)
        return
    if args.model:
        model = ContextModel.load(args.model)
        array = pa.array(held, pa.large_binary())
        figures = ", ".join(f"{r} {model.evaluate(array, reading=r).bits_per_byte:.4f}"
                            for r in READINGS)
        print(f"{args.model} (k = {model.k}, {model.smoothing}, {model.nbytes / 1e6:.0f} MB) "
              f"on the held-out files of the split: {figures} bits/B")
        return
    held_bytes = sum(map(len, held))
    held_array = pa.array(held, pa.large_binary())
    print(f"standard-library split: {len(train)} training files "
          f"({sum(map(len, train)) / MIB:.2f} MiB), {len(held)} held out "
          f"({held_bytes / MIB:.2f} MiB); Kneser-Ney, each held-out file from a fresh state")
    if not args.no_compressors:
        for order in map(int, args.ppmd_orders.split(",")):
            print(f"PPMd var. I, primed, order {order}: "
                  f"{ppmd_bits_per_byte(order, b''.join(train), held):.3f} bits/B", flush=True)
        zpaq = zpaq_bits_per_byte(b"".join(train), held)
        print("zpaq -method 5, primed: " +
              ("not installed (apt-get install zpaq)" if zpaq is None else f"{zpaq:.3f} bits/B"),
              flush=True)
    print(f"{'k':>2} " + " ".join(f"{r + ' bits/B':>15}" for r in READINGS) + " " +
          " ".join(f"{r + ' MB/s':>13}" for r in READINGS) + f" {'mix/adaptive speed':>18}")
    for k in map(int, args.orders.split(",")):
        model = ContextModel.train(train, k, smoothing="kneser-ney")
        bits = {r: model.evaluate(held_array, reading=r).bits_per_byte for r in READINGS}
        seconds: dict[str, float] = {}
        for _ in range(args.rounds):
            for reading in READINGS:
                spent = best_seconds(
                    lambda: model.patch_ends_batch(held_array, 2.0, 1.0, reading=reading),
                    1 if reading == "mix" else 3)
                seconds[reading] = min(seconds.get(reading, spent), spent)
        rates = {r: held_bytes / seconds[r] / 1e6 for r in READINGS}
        print(f"{k:>2} " + " ".join(f"{bits[r]:>15.4f}" for r in READINGS) + " " +
              " ".join(f"{rates[r]:>13.2f}" for r in READINGS) +
              f" {rates['mix'] / rates['adaptive']:>18.3f}", flush=True)
    random_reads(train)


def random_reads(train: list[bytes]) -> None:
    """The memory and the cost per byte of a long mixing read of random bytes."""
    size, memory = 64 * MIB, 256 * MIB
    with tempfile.TemporaryDirectory() as tmp:
        path = str(pathlib.Path(tmp) / "m.qelt")
        ContextModel.train(train, 6, smoothing="kneser-ney").save(path)
        out = subprocess.run([sys.executable, __file__, "--random-read", path, str(size),
                              str(memory)], check=True, capture_output=True, text=True)
        grown, first, last = map(float, out.stdout.split())
        print(f"mix, k = 6, a stream of {size // MIB} MiB of random bytes within adapt_memory "
              f"{memory // MIB} MiB: the read added {grown:.1f} MiB at its peak; its last MiB "
              f"took {last / first:.2f} times its first ({first:.2f} s, "
              f"{MIB / first / 1e6:.2f} MB/s)", flush=True)

if __name__ == "__main__":
    main()
