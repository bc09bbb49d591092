#!/usr/bin/env python3
"""Training within a memory limit: every run under a limit gives the model of an
unlimited run, byte for byte, or is refused up front with the least limit named; none
hangs, none fails without a reason.

    python3 benchmarks/bench_train_memory.py [--runs 5] [--limits 300MB,400MB,500MB,1000MB]
                                             [--ks 3,4,6] [--no-large]

On about 70 MB of source and text (every third of the .py, .pyi, .h, .hpp, .c, .cpp,
.json, .md, .rst, .txt, .html, .js and .css files of this interpreter's site-packages,
less its two largest packages, as 4 Parquet files in build/bench-corpus-70), `qelt-corpus
train` on 2 local workers at each k and model kind, without a limit and then `--runs`
times under each limit. Then, unless --no-large, on the whole of those files (about 200
MB, build/bench-corpus) at k = 6, both kinds, under 512MB and under the least limit
train documents. Each run has 15 minutes; one that takes them is reported as hung.

Printed: a line per setting (the outcomes of its runs, the largest worker's peak
against the limit, the seconds a run took), then the totals.
"""

from __future__ import annotations

import argparse
import collections
import pathlib
import re
import subprocess
import sys
import tempfile
import time

import shared

ROOT = shared.ROOT
SMALL = ROOT / "build" / "bench-corpus-70"
LARGE = ROOT / "build" / "bench-corpus"
KINDS = ("none", "kneser-ney")
TIMEOUT = 900


def write_small_corpus() -> int:
    """Every third source file as 4 Parquet files in SMALL (once); its bytes."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    done = SMALL / "_written"
    if done.exists():
        return int(done.read_text())
    SMALL.mkdir(parents=True, exist_ok=True)
    texts = [p.read_bytes() for p in shared.site_packages_sources()[::3]]
    for part in range(4):
        chunk = texts[part * len(texts) // 4:(part + 1) * len(texts) // 4]
        pq.write_table(pa.table({"text": pa.array(chunk, pa.binary())}),
                       SMALL / f"part-{part}.parquet", row_group_size=200)
    size = sum(map(len, texts))
    done.write_text(str(size))
    return size


def train(corpus: pathlib.Path, out: pathlib.Path, k: int, kind: str,
          limit: str | None) -> dict[str, object]:
    """One run: its outcome, seconds, the largest worker's peak (MB) and its last line."""
    out.unlink(missing_ok=True)
    arguments = [sys.executable, "-m", "qelt_corpus.cli", "train", str(corpus), "--out", str(out),
                 "-k", str(k), "--smoothing", kind, "--workers", "2", "--no-progress"]
    if limit:
        arguments += ["--memory-limit", limit]
    started = time.monotonic()
    try:
        result = subprocess.run(arguments, capture_output=True, text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return {"outcome": "hung", "seconds": TIMEOUT, "peak": 0, "line": ""}
    seconds = time.monotonic() - started
    lines = (result.stdout + result.stderr).strip().splitlines() or [""]
    peaks = re.search(r"workers ([\d, ]+) MB", result.stdout)
    peak = max(int(p) for p in peaks.group(1).split(",")) if peaks else 0
    if result.returncode == 0:
        return {"outcome": "made", "seconds": seconds, "peak": peak, "line": lines[-1]}
    if result.returncode == 2:
        return {"outcome": "refused", "seconds": seconds, "peak": 0, "line": lines[-1]}
    return {"outcome": "failed", "seconds": seconds, "peak": 0, "line": lines[-1]}


def judge(run: dict[str, object], out: pathlib.Path, reference: bytes) -> str:
    if run["outcome"] != "made":
        return str(run["outcome"])
    return "same model" if out.read_bytes() == reference else "ANOTHER MODEL"


def setting(corpus: pathlib.Path, k: int, kind: str, limits: list[str], runs: int,
            directory: pathlib.Path, totals: collections.Counter) -> None:
    reference_path = directory / f"reference-{k}-{kind}.qelt"
    unlimited = train(corpus, reference_path, k, kind, None)
    if unlimited["outcome"] != "made":
        print(f"k = {k} {kind}: the unlimited run failed: {unlimited['line']}", flush=True)
        totals["unlimited failed"] += 1
        return
    reference = reference_path.read_bytes()
    print(f"k = {k} {kind}, no limit: {unlimited['seconds']:.1f} s, workers' peak "
          f"{unlimited['peak']} MB", flush=True)
    for limit in limits:
        outcomes: collections.Counter = collections.Counter()
        peaks, seconds, lines = [], [], set()
        for _ in range(runs):
            out = directory / "limited.qelt"
            run = train(corpus, out, k, kind, limit)
            outcome = judge(run, out, reference)
            outcomes[outcome] += 1
            totals[outcome] += 1
            seconds.append(float(run["seconds"]))  # type: ignore[arg-type]
            if run["peak"]:
                peaks.append(int(run["peak"]))  # type: ignore[call-overload]
            if outcome != "same model":
                lines.add(str(run["line"]))
        said = ", ".join(f"{count} {outcome}" for outcome, count in sorted(outcomes.items()))
        peak = f", workers' peak up to {max(peaks)} MB" if peaks else ""
        print(f"k = {k} {kind}, --memory-limit {limit}: {said}{peak}, "
              f"{min(seconds):.1f}-{max(seconds):.1f} s a run", flush=True)
        for line in sorted(lines):
            print(f"    {line}", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--limits", default="300MB,400MB,500MB,1000MB")
    parser.add_argument("--ks", default="3,4,6")
    parser.add_argument("--no-large", action="store_true")
    args = parser.parse_args()
    from qelt_corpus.cli import _memory

    least = f"{_memory.least_limit() // _memory.MB}MB"
    size = write_small_corpus()
    print(f"source and text, every third file: {size / 1e6:.1f} MB in 4 Parquet files; "
          f"the least limit train documents: {least}", flush=True)
    totals: collections.Counter = collections.Counter()
    with tempfile.TemporaryDirectory(dir=ROOT / "build") as scratch:
        directory = pathlib.Path(scratch)
        for k in map(int, args.ks.split(",")):
            for kind in KINDS:
                setting(SMALL, k, kind, args.limits.split(","), args.runs, directory, totals)
        if not args.no_large:
            documents, size = shared.write_source_corpus(LARGE)
            print(f"source and text, all files: {documents} documents, {size / 1e6:.1f} MB",
                  flush=True)
            for kind in KINDS:
                setting(LARGE, 6, kind, ["512MB", least], 1, directory, totals)
    print("totals: " + ", ".join(f"{count} {outcome}" for outcome, count in sorted(totals.items())))


if __name__ == "__main__":
    main()
