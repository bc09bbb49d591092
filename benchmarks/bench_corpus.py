#!/usr/bin/env python3
"""Throughput and memory of qelt_corpus, in ratios measured in one run.

    python benchmarks/bench_corpus.py       # or as part of benchmarks/bench.py

Arrays (4 MiB of real text, the Python sources of the standard library):

  ends/list  qelt_corpus.patch_ends against qelt.patch_sequence on a bytearray, at
             k = 1..4 with thresholds for a mean patch length near 5 bytes
  batch      an Arrow array of 1 KiB documents (the same text) through
             patch_ends_batch, against one patch_ends call over the whole text (k = 3)
  threads    two Python threads, each patching half of that batch, against one
             thread patching all of it
  peak       peak resident memory of one patch_ends call beyond its input and its
             output, per input byte, in a fresh process
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys
import sysconfig
import threading
import time
from typing import Callable

import qelt
import qelt_corpus

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


def best_seconds(call: Callable[[], object], repeat: int = 5) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


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
    print(f"k = 3, theta 2.0, theta_r 1.0: one {len(text) / MB:.0f} MiB patch_ends "
          f"{len(text) / one / 1e6:.1f} MB/s; batch of {len(documents)} 1 KiB documents "
          f"{len(text) / batch / 1e6:.1f} MB/s: batch/one {one / batch:.2f}")

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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=4, help="text size in MiB (default 4)")
    args = parser.parse_args()
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        arrays_section(stdlib_text(args.size * MB), pathlib.Path(tmp))


if __name__ == "__main__":
    main()
