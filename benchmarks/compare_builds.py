#!/usr/bin/env python3
"""The core of a git revision against the core of the working tree, in one run.

    python3 benchmarks/compare_builds.py REVISION [--size MIB] [--seconds S] [--rounds N]

Both cores are compiled with this tree's benchmark (bench_core.cc, which uses the
public API only) and the same flags. Every measurement runs the two builds in turn,
for a few rounds, keeping each build's best: a slow spell of a shared machine then
hits both. Printed: MB/s (or seconds) of each build and new/old, on real text (Python
sources), binaries and random bytes, for patching (k = 1..4, and k = 3 with a model),
counting (k = 3, 5, 8), merging counts (k = 3, text and binaries) and making a model
from counts (k = 3, 6, 8); seconds, and old/new. Patching a batch of 1 KiB documents
(k = 3) is printed beside patching the whole file, with the ratio of the two.
"""

from __future__ import annotations

import argparse
import pathlib
import shutil
import subprocess
import sys
import tempfile

import shared

ROOT = pathlib.Path(__file__).resolve().parent.parent
FLAGS = ["-O3", "-DNDEBUG", "-std=c++17", "-ffp-contract=off", "-fno-fast-math"]


def build(tree: pathlib.Path, out: pathlib.Path, shim: pathlib.Path) -> pathlib.Path:
    """bench_core.cc of this tree over the core of `tree`."""
    binary = out / "bench_core"
    sources = sorted(str(p) for p in (tree / "core").rglob("*.cc") if "tests" not in p.parts)
    includes = [f"-I{tree / 'core'}", f"-I{tree / 'core' / 'tests'}", f"-I{shim}"]
    # A core whose ContextCounts::merge takes one object at a time merges them so.
    one_by_one = "const ContextCounts* const*" not in (tree / "core" / "context_counts.h").read_text()
    defines = ["-DQELT_BENCH_ONE_BY_ONE"] if one_by_one else []
    if not (tree / "core" / "thresholds.h").exists():  # theta and theta_r passed apart
        defines.append("-DQELT_BENCH_LOOSE_THRESHOLDS")
    if not (tree / "core" / "model_scoring.h").exists():  # patching a method of the model
        defines.append("-DQELT_BENCH_MODEL_METHODS")
    subprocess.run(["g++", *FLAGS, *defines, *includes,
                    str(ROOT / "benchmarks" / "bench_core.cc"), *sources, "-o", str(binary)],
                   check=True)
    return binary


def run(binary: pathlib.Path, path: pathlib.Path, k: int, mode: str | None,
        seconds: float) -> dict[str, float]:
    args = [str(binary), str(path), "2.0", "1.0", str(seconds), str(k)] + ([mode] if mode else [])
    out = subprocess.run(args, check=True, capture_output=True, text=True).stdout.split()
    return {out[i]: float(out[i + 1]) for i in range(2, len(out), 2)}


def compare(builds: dict[str, pathlib.Path], path: pathlib.Path, k: int, mode: str | None,
            seconds: float, rounds: int) -> dict[str, dict[str, float]]:
    """Each build's best of `rounds` runs, taken in turn; faster is a higher mbps and a
    lower time."""
    best: dict[str, dict[str, float]] = {name: {} for name in builds}
    for _ in range(rounds):
        for name, binary in builds.items():
            for field, value in run(binary, path, k, mode, seconds).items():
                kept = best[name].get(field)
                if kept is None or (value > kept if field == "mbps" else value < kept):
                    best[name][field] = value
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("revision")
    parser.add_argument("--size", type=int, default=16, help="MiB per corpus (default 16)")
    parser.add_argument("--seconds", type=float, default=1.0, help="per run (default 1)")
    parser.add_argument("--rounds", type=int, default=3, help="runs per build (default 3)")
    parser.add_argument("--corpora", default="text,binary,random",
                        help="which corpora (default: text,binary,random)")
    parser.add_argument("--what", default="patch,small,model,count,merge,build",
                        help="which measures (default: patch,small,model,count,merge,build; "
                        "small: the file as a batch of 1 KiB documents)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp_name:
        tmp = pathlib.Path(tmp_name)
        old_tree = tmp / "old"
        subprocess.run(["git", "-C", str(ROOT), "worktree", "add", "--detach", str(old_tree),
                        args.revision], check=True, capture_output=True)
        try:
            shim = tmp / "shim" / "reference"
            shim.mkdir(parents=True)
            shutil.copy(ROOT / "core" / "reference" / "straightforward_patching.h", shim)
            (tmp / "old-build").mkdir()
            (tmp / "new-build").mkdir()
            builds = {"old": build(old_tree, tmp / "old-build", shim.parent),
                      "new": build(ROOT, tmp / "new-build", shim.parent)}
        finally:
            subprocess.run(["git", "-C", str(ROOT), "worktree", "remove", "--force",
                            str(old_tree)], check=True, capture_output=True)
        print(f"core of {args.revision} (old) against the working tree (new), "
              f"{args.size} MiB per corpus, best of {args.rounds} turns each")
        print(f"{'corpus':8} {'what':14} {'k':>2} {'old':>9} {'new':>9} {'new/old':>8}")
        what = args.what.split(",")
        measures = ([(None, k) for k in (1, 2, 3, 4)] if "patch" in what else []) + \
                   ([("--model", 3)] if "model" in what else []) + \
                   ([("--small", 3)] if "small" in what else []) + \
                   ([("--count", k) for k in (3, 5, 8)] if "count" in what else [])
        for name, data in shared.corpora(args.size << 20).items():
            if name not in args.corpora.split(","):
                continue
            path = tmp / name
            path.write_bytes(data)
            rates = {}
            for mode, k in measures:
                best = compare(builds, path, k, mode, args.seconds, args.rounds)
                old, new = rates[mode, k] = best["old"]["mbps"], best["new"]["mbps"]
                label = {None: "patch MB/s", "--model": "model MB/s", "--count": "count MB/s",
                         "--small": "1 KiB docs MB/s"}[mode]
                print(f"{name:8} {label:14} {k:>2} {old:>9.1f} {new:>9.1f} {new / old:>8.2f}",
                      flush=True)
            if (None, 3) in rates and ("--small", 3) in rates:
                # What a document costs beyond its bytes: the batch against one call.
                old, new = (small / whole for small, whole in
                            zip(rates["--small", 3], rates[None, 3]))
                print(f"{name:8} {'1 KiB docs/one':14} {3:>2} {old:>9.2f} {new:>9.2f}", flush=True)
        for name in ("text", "binary"):
            if name not in args.corpora.split(",") or "build" not in what:
                continue
            for k in (3, 6, 8):
                best = compare(builds, tmp / name, k, "--build", args.seconds, args.rounds)
                old, new = best["old"]["build_s"], best["new"]["build_s"]
                print(f"{name:8} {'build_s':14} {k:>2} {old:>9.3f} {new:>9.3f} {old / new:>8.2f}",
                      flush=True)
        for name in ("text", "binary"):
            if name not in args.corpora.split(",") or "merge" not in what:
                continue
            best = compare(builds, tmp / name, 3, "--merge", args.seconds, args.rounds)
            for field in ("count_s", "merge_s", "tree_s", "parts_s"):
                old, new = best["old"][field], best["new"][field]
                print(f"{name:8} {field:14} {3:>2} {old:>9.3f} {new:>9.3f} {old / new:>8.2f}",
                      flush=True)
            ratios = [best[build]["tree_s"] / best[build]["parts_s"] for build in ("old", "new")]
            print(f"{name:8} {'tree/parts':14} {3:>2} {ratios[0]:>9.2f} {ratios[1]:>9.2f}",
                  flush=True)


if __name__ == "__main__":
    sys.exit(main())
