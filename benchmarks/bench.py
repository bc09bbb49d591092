#!/usr/bin/env python3
"""Throughput and memory of entropy patching, printed as a table.

    python benchmarks/bench.py            # needs the module installed (pip install .)

The qelt_corpus figures follow (benchmarks/bench_corpus.py, which runs alone too).

For each corpus (real text, binary, random; found or generated at run time) and
each context length k it reports:

  e2e      MB/s from Python: a list of ints in, the list of patches out
  core     MB/s of the native core alone (bytes in, patch ends out)
  convert  ms per call spent outside the core (argument and result conversion)
  base     MB/s of the straightforward definition (a table of 256 counts per
           context, entropy recomputed at every position), on a prefix
  ×base    e2e / base
  peak     peak resident memory of one core call per input byte, measured in a
           fresh process (the native copy of the input adds 1 byte per byte)

Thresholds are chosen per corpus and k so that the mean patch length is close to 5
bytes where the data allows it (k = 0 takes those of k = 1); the mean is printed.
"""

import argparse
import gc
import math
import os
import pathlib
import random
import sys
import tempfile

import qelt

import bench_corpus
from shared import MB, best_seconds, build_core_benchmark, core_run, corpora, python_sources

def mean_length(data, k, theta, theta_r) -> float:
    return len(data) / max(1, len(qelt.patch_sequence(data, k, theta, theta_r)))


def thresholds_for(data: bytearray, k: int, target: float = 5.0) -> tuple[float, float]:
    """theta (with theta_r = 1.0) whose mean patch length is nearest the target."""
    lo, hi, theta_r = 0.0, 6.0, 1.0
    for _ in range(20):
        mid = (lo + hi) / 2
        if mean_length(data, k, mid, theta_r) < target:
            lo = mid
        else:
            hi = mid
    return hi, theta_r


def document_loop_mbps(text: bytes, collector: bool, repeat: int) -> float:
    """MB/s of a loop that patches 1 MiB documents (k = 3) and reads their patches."""
    documents = [list(text[i:i + MB]) for i in range(0, len(text), MB)]
    theta, theta_r = thresholds_for(bytearray(documents[0]), 3)

    def loop():
        total = 0
        for document in documents:
            patches = qelt.patch_sequence(document, 3, theta, theta_r)
            total += sum(map(len, patches))
        return total

    was_enabled = gc.isenabled()
    if not collector:
        gc.disable()
    try:
        return len(text) / best_seconds(loop, repeat) / 1e6
    finally:
        if was_enabled:
            gc.enable()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=4, help="corpus size in MiB (default 4)")
    parser.add_argument("--ks", default="0,1,2,3,4", help="context lengths (default 0,1,2,3,4)")
    parser.add_argument("--baseline-size", type=int, default=256,
                        help="prefix for the straightforward baseline, in KiB (default 256)")
    parser.add_argument("--repeat", type=int, default=5,
                        help="end-to-end runs, best kept (default 5)")
    parser.add_argument("--sections", default="core,arrays,model",
                        help="what to measure: core (this table), arrays, model and command "
                        "(qelt_corpus, see bench_corpus.py; default: all but command)")
    args = parser.parse_args()
    sections = args.sections.split(",")
    if "core" in sections:
        core_section(args)
    bench_corpus.run_sections(sections)


def core_section(args: argparse.Namespace) -> None:
    ks = [int(k) for k in args.ks.split(",")]
    binary = build_core_benchmark()

    print(f"qelt {args.size} MiB per corpus; Python {sys.version.split()[0]}; {os.cpu_count()} cores")
    header = (f"{'corpus':8} {'k':>2} {'mean':>6} {'e2e':>8} {'core':>8} {'convert':>9} "
              f"{'base':>7} {'×base':>7} {'peak':>7}")
    print(header)
    print(f"{'':8} {'':>2} {'bytes':>6} {'MB/s':>8} {'MB/s':>8} {'ms':>9} {'MB/s':>7} "
          f"{'':>7} {'B/byte':>7}")
    with tempfile.TemporaryDirectory() as tmp:
        for name, data in corpora(args.size * MB).items():
            path = pathlib.Path(tmp) / name
            path.write_bytes(data)
            prefix = pathlib.Path(tmp) / f"{name}.prefix"
            prefix.write_bytes(data[: args.baseline_size * 1024])
            items = list(data)
            whole = bytearray(data)
            chosen = {k: thresholds_for(whole, max(k, 1)) for k in ks}
            for k in ks:
                theta, theta_r = chosen[k]
                e2e = best_seconds(lambda: qelt.patch_sequence(items, k, theta, theta_r),
                                   args.repeat)
                mean = mean_length(items, k, theta, theta_r)
                core = core_run(binary, path, theta, theta_r, k)["mbps"]
                base = core_run(binary, prefix, theta, theta_r, k, "--baseline", 0.0)["mbps"]
                peak = core_run(binary, path, theta, theta_r, k, "--memory")["peak_bytes_per_byte"]
                e2e_mbps = len(data) / e2e / 1e6
                convert_ms = (e2e - len(data) / (core * 1e6)) * 1e3
                print(f"{name:8} {k:>2} {mean:>6.2f} {e2e_mbps:>8.1f} {core:>8.1f} "
                      f"{convert_ms:>9.1f} {base:>7.2f} {e2e_mbps / base:>7.1f} {peak:>7.2f}",
                      flush=True)
        big = pathlib.Path(tmp) / "random16"
        big.write_bytes(random.Random(1).randbytes(16 * MB))
        peak = core_run(binary, big, 2.0, 1.0, 3, "--memory")["peak_bytes_per_byte"]
        print(f"random 16 MiB, k = 3: peak {peak:.2f} B/byte (core call)")
        print("\ncore MB/s on text by input size (k = 1, theta 3.0; k = 3, theta 2.0; "
              "theta_r = inf):")
        sizes = [1 << 10, 16 << 10, 256 << 10, 4 << 20, 64 << 20]
        text = python_sources(sizes[-1])
        print(f"{'bytes':>10} {'k=1':>8} {'k=3':>8}")
        for size in sizes:
            path = pathlib.Path(tmp) / f"text{size}"
            path.write_bytes(text[:size])
            rates = [core_run(binary, path, theta, math.inf, k, seconds=3.0)["mbps"]
                     for k, theta in ((1, 3.0), (3, 2.0))]
            print(f"{size:>10} {rates[0]:>8.1f} {rates[1]:>8.1f}", flush=True)
    bytearray_seconds = best_seconds(lambda: bytearray(items), args.repeat)
    print(f"bytearray(list) of {args.size} MiB: {bytearray_seconds * 1e3:.1f} ms "
          f"(a lower bound for reading a list of ints)")
    text = python_sources(16 * MB)
    on, off = (document_loop_mbps(text, collector, args.repeat) for collector in (True, False))
    print(f"patching 1 MiB documents in a loop (k = 3): {on:.1f} MB/s, "
          f"{off:.1f} MB/s with the garbage collector disabled")


if __name__ == "__main__":
    main()
