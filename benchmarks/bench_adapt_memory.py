#!/usr/bin/env python3
"""An adaptive stream over a long input of random bytes, within its memory budget: the
time a byte costs at the start and at the end, and the peak memory it took.

    python3 benchmarks/bench_adapt_memory.py [--mib 256] [--orders 3,6] [--budget 1GiB]

For each k, in a process of its own: a smoothed model trained on a little text, and a
stream that learns from what it reads (adapt, within the budget, the default 1 GiB)
fed the input in pushes of 1 MiB. Printed: the seconds of the first and of the last
32 MiB and their ratio (a byte should cost the same however far into the stream), how
many times the document's statistics started afresh, and the growth of the process's
peak resident memory over the run against the budget. Random bytes are the worst
case: at k = 3 nearly every context of 3 bytes is met, at k = 6 nearly every position
is a context of its own.
"""

from __future__ import annotations

import argparse
import resource
import subprocess
import sys
import time

CHUNK = 32 << 20
PUSH = 1 << 20


def one_run(k: int, mib: int, budget: int) -> None:
    import numpy as np

    from qelt_corpus import ContextModel

    model = ContextModel.train([b"the quick brown fox jumps over the lazy dog " * 2000], k,
                               smoothing="kneser-ney")
    rng = np.random.default_rng(k)
    stream = model.stream(2.0, 1.0, adapt=True, adapt_memory=budget)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    pieces = [rng.integers(0, 256, PUSH, np.uint8).tobytes() for _ in range(CHUNK // PUSH)]
    seconds = []
    for _ in range((mib << 20) // CHUNK):
        started = time.perf_counter()
        for piece in pieces:
            stream.push(piece)
        seconds.append(time.perf_counter() - started)
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before
    print(f"k = {k}: {mib} MiB of random bytes in 1 MiB pushes, budget {budget / 2**20:.0f} "
          f"MiB: first 32 MiB {seconds[0]:.1f} s, last {seconds[-1]:.1f} s "
          f"(last/first {seconds[-1] / seconds[0]:.2f}); peak memory grew by "
          f"{grown / 2**20:.0f} MiB ({grown / budget:.2f} of the budget)", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=256)
    parser.add_argument("--orders", default="3,6")
    parser.add_argument("--budget", default="1GiB")
    parser.add_argument("--one", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    from dask.utils import parse_bytes

    budget = parse_bytes(args.budget)
    if args.one is not None:
        one_run(args.one, args.mib, budget)
        return
    for k in map(int, args.orders.split(",")):
        subprocess.run([sys.executable, __file__, "--one", str(k), "--mib", str(args.mib),
                        "--budget", args.budget], check=True)


if __name__ == "__main__":
    main()
