#!/usr/bin/env python3
"""Mean patch length on real text against k, theta and theta_r, as Markdown tables.

    python benchmarks/thresholds.py [--size MiB]

The text is the Python standard library's own sources, found at run time.
"""

import argparse
import math
import pathlib
import sysconfig

import qelt

THETAS = [0.5, 1.0, 1.5, 2.0, 2.5, 3.0]
THETA_RS = [math.inf, 1.0, 0.5, 0.25]
KS = [1, 2, 3, 4, 6]


def python_sources(size: int) -> bytearray:
    data = bytearray()
    for path in sorted(pathlib.Path(sysconfig.get_paths()["stdlib"]).rglob("*.py")):
        data += path.read_bytes()
        if len(data) >= size:
            break
    return data[:size]


def mean_length(data: bytearray, k: int, theta: float, theta_r: float) -> str:
    return f"{len(data) / len(qelt.patch_sequence(data, k, theta, theta_r)):.1f}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=4, help="MiB of text (default 4)")
    args = parser.parse_args()
    data = python_sources(args.size << 20)
    print(f"Mean patch length in bytes, {args.size} MiB of Python sources, theta_r = inf:\n")
    print("| k | " + " | ".join(f"theta {t}" for t in THETAS) + " |")
    print("|---|" + "---|" * len(THETAS))
    for k in KS:
        print(f"| {k} | " + " | ".join(mean_length(data, k, t, math.inf) for t in THETAS) + " |")
    print("\nThe same with theta = 2.0 and a relative threshold theta_r:\n")
    print("| k | " + " | ".join(f"theta_r {t}" for t in THETA_RS) + " |")
    print("|---|" + "---|" * len(THETA_RS))
    for k in KS:
        print(f"| {k} | " + " | ".join(mean_length(data, k, 2.0, t) for t in THETA_RS) + " |")


if __name__ == "__main__":
    main()
