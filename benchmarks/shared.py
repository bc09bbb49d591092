"""What the benchmark scripts share: the native benchmark binary, the corpora they
measure on (found on this machine), and a run of the binary."""

from __future__ import annotations

import pathlib
import random
import site
import subprocess
import sysconfig
import time
from typing import Callable

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
MB = 1 << 20


def build_core_benchmark() -> pathlib.Path:
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release",
                    "-DQELT_BUILD_BENCHMARKS=ON"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD), "--target", "qelt_bench_core"], check=True,
                   stdout=subprocess.DEVNULL)
    return BUILD / "qelt_bench_core"


def gather(paths, size: int) -> bytes:
    chunks, total = [], 0
    for path in paths:
        try:
            chunk = path.read_bytes()
        except OSError:
            continue
        chunks.append(chunk)
        total += len(chunk)
        if total >= size:
            break
    return b"".join(chunks)[:size]


def python_sources(size: int) -> bytes:
    """Real text: the Python sources of the standard library, then of site-packages."""
    roots = [sysconfig.get_paths()["stdlib"], *site.getsitepackages()]
    return gather((p for root in roots for p in sorted(pathlib.Path(root).rglob("*.py"))), size)


def corpora(size: int) -> dict[str, bytes]:
    text = python_sources(size)
    libdirs = [pathlib.Path(d) for d in ("/usr/lib/x86_64-linux-gnu", "/usr/lib", "/usr/bin")]
    binary = gather(sorted(p for d in libdirs if d.is_dir() for p in d.iterdir()
                           if p.is_file() and not p.is_symlink()), size)
    return {"text": text, "binary": binary, "random": random.Random(0).randbytes(size)}


def core_run(binary, path, theta, theta_r, k, mode=None, seconds=2.0) -> dict[str, float]:
    args = [str(binary), str(path), repr(theta), repr(theta_r), str(seconds), str(k)]
    out = subprocess.run(args + ([mode] if mode else []), check=True, capture_output=True,
                         text=True).stdout.split()
    return {out[i]: float(out[i + 1]) for i in range(2, len(out), 2)}


def best_seconds(call: Callable[[], object], repeat: int = 5) -> float:
    """The fastest of `repeat` calls, in seconds; each result is dropped before the next
    call, so that two never hold memory at once."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
        del result
    return best


SOURCE_SUFFIXES = (".py", ".pyi", ".h", ".hpp", ".c", ".cpp", ".json", ".md", ".rst", ".txt",
                   ".html", ".js", ".css")
LEFT_OUT_PACKAGES = ("torch", "cfnlint")  # the two largest, which alone are a third


def site_packages_sources() -> list[pathlib.Path]:
    """The source and text files of this interpreter's site-packages (about 200 MB
    where the test and benchmark dependencies are installed), sorted by path."""
    files = []
    for root in map(pathlib.Path, site.getsitepackages()):
        for path in root.rglob("*"):
            if (path.suffix in SOURCE_SUFFIXES and path.relative_to(root).parts[0]
                    not in LEFT_OUT_PACKAGES and path.is_file() and not path.is_symlink()):
                files.append(path)
    return sorted(files)


def write_source_corpus(directory: pathlib.Path, file_rows: int = 2000,
                        group_rows: int = 200) -> tuple[int, int]:
    """The site-packages sources as a Parquet dataset in `directory` (a `text` column,
    one row per file, `file_rows` rows per file of the dataset in row groups of
    `group_rows`, so that partitions of a few MB can be made); returns the documents
    and bytes written. Written once: an existing dataset is reused."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    done = directory / "_written"
    if done.exists():
        documents, size = map(int, done.read_text().split())
        return documents, size
    directory.mkdir(parents=True, exist_ok=True)
    texts = [p.read_bytes() for p in site_packages_sources()]
    for start in range(0, len(texts), file_rows):
        table = pa.table({"text": pa.array(texts[start:start + file_rows], pa.binary())})
        pq.write_table(table, directory / f"part-{start // file_rows:04d}.parquet",
                       row_group_size=group_rows)
    size = sum(map(len, texts))
    done.write_text(f"{len(texts)} {size}")
    return len(texts), size
