"""Faults, made for real: a Dask worker killed in the middle of a run, a disk that fills
up, an output on a read-only file system. The command says what failed in one line,
leaves no partial file, and --resume (or the cluster itself) gives the dataset of an
undisturbed run."""

import contextlib
import os
import pathlib
import shutil
import signal
import subprocess
import time

import pyarrow.parquet as pq
import pytest
from conftest import COMMAND, command

PATCH = ["-k", "3", "--theta", "2.0", "--theta-r", "1.0", "--no-progress"]


def dataset(path):
    return {r["id"]: (r["ends"], r["status"]) for r in pq.read_table(path).to_pylist()}


def partial_files(path):
    return [n for n in os.listdir(path) if n.endswith(".tmp")]


@pytest.fixture
def corpus(tmp_path, real_text):
    root = tmp_path / "corpus"
    root.mkdir()
    for i in range(40):
        (root / f"{i:02}.txt").write_bytes(real_text[i * 700:i * 700 + 40000] * 3)
    return root


@contextlib.contextmanager
def mounted(path: pathlib.Path, options: str):
    """A tmpfs mounted at `path` for the test (root only)."""
    if os.geteuid() != 0 or shutil.which("mount") is None:
        pytest.skip("mounting a file system for the test needs root")
    path.mkdir(parents=True, exist_ok=True)
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(path)],
                            capture_output=True, text=True)
    if result.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {result.stderr.strip()}")
    try:
        yield path
    finally:
        subprocess.run(["umount", "-l", str(path)], check=False)


def test_a_worker_killed_mid_run_is_replaced_and_the_dataset_is_whole(tmp_path, corpus,
                                                                      dask_cluster):
    from dask.distributed import Client

    address = dask_cluster
    with Client(address, timeout="30s") as client:
        pids = list(client.run(os.getpid).values())
    out = tmp_path / "out"
    process = subprocess.Popen([*COMMAND, "patch", str(corpus), "--out", str(out), *PATCH,
                                "--scheduler", address, "--partition-bytes", str(200_000)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and process.poll() is None and (
            not out.exists() or not any(n.startswith("part-") for n in os.listdir(out))):
        time.sleep(0.02)
    os.kill(pids[0], signal.SIGKILL)  # its nanny starts another
    stdout, stderr = process.communicate(timeout=300)
    assert process.returncode == 0, (stdout, stderr)
    assert "Traceback" not in stderr
    clean = command("patch", corpus, "--out", tmp_path / "clean", *PATCH, "--workers", 1,
                    "--partition-bytes", 200_000)
    assert clean.returncode == 0, clean.stderr
    assert dataset(out) == dataset(tmp_path / "clean")
    assert not partial_files(out)


@pytest.mark.parametrize("moment", ["partition-*.json", "share-*.run"])
def test_a_worker_killed_while_training_changes_nothing(tmp_path, corpus, dask_cluster, moment):
    """A worker killed once a partition is counted, or once the shares are being built:
    Dask runs its tasks again and the model is the one of an undisturbed run, or the run
    ends in one line and --resume goes on from the counts kept to that model."""
    from dask.distributed import Client

    with Client(dask_cluster, timeout="30s") as client:
        pids = list(client.run(os.getpid).values())
    train = ["train", corpus, "-k", 8, "--smoothing", "kneser-ney", "--no-progress",
             "--partition-bytes", 200_000]
    out = tmp_path / "out"
    out.mkdir()
    arguments = [*COMMAND, *map(str, train), "--out", str(out / "m.qelt"), "--scheduler",
                 dask_cluster]
    process = subprocess.Popen(arguments, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    deadline = time.monotonic() + 120
    while (time.monotonic() < deadline and process.poll() is None
           and not list(out.glob(f".m.qelt.train/{moment}"))):
        time.sleep(0.002)
    os.kill(pids[0], signal.SIGKILL)  # its nanny starts another
    stdout, stderr = process.communicate(timeout=300)
    assert "Traceback" not in stderr
    if process.returncode != 0:
        assert process.returncode == 1 and len(stderr.strip().splitlines()) == 1, stderr
        assert not (out / "m.qelt").exists() and "--resume" in stderr
        resumed = subprocess.run([*arguments, "--resume"], capture_output=True, text=True,
                                 timeout=300)
        assert resumed.returncode == 0, resumed.stderr
    clean = command(*train, "--out", tmp_path / "clean.qelt", "--workers", 1)
    assert clean.returncode == 0, clean.stderr
    assert (out / "m.qelt").read_bytes() == (tmp_path / "clean.qelt").read_bytes()
    assert [p.name for p in out.iterdir()] == ["m.qelt"]


@pytest.mark.parametrize("subcommand", ["train", "patch", "evaluate"])
def test_a_cluster_that_stops_making_progress_ends_the_run_in_one_line(tmp_path, corpus,
                                                                      subcommand):
    """Workers that Dask keeps paused (here: for any memory at all) run nothing: the run
    says so in one line once the stall timeout has passed, and exits 1."""
    model = tmp_path / "m.qelt"
    assert command("train", corpus, "--out", model, "-k", 2, "--no-progress",
                   "--workers", 1).returncode == 0
    arguments = {"train": ["--out", tmp_path / "again.qelt", "-k", 2],
                 "patch": ["--out", tmp_path / "out", *PATCH],
                 "evaluate": ["--model", model]}[subcommand]
    paused = dict(os.environ, DASK_DISTRIBUTED__WORKER__MEMORY__PAUSE="1e-9",
                  DASK_QELT_CORPUS__STALL_TIMEOUT="3s")
    result = command(subcommand, corpus, *arguments, "--no-progress", "--workers", 2,
                     "--partition-bytes", 200_000, env=paused, timeout=120)
    assert result.returncode == 1, (result.stdout, result.stderr)
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"qelt-corpus {subcommand}: "), lines
    assert "every worker is paused by Dask for its memory" in lines[0]


def test_a_full_disk_fails_partitions_in_one_line_each_then_resume_finishes(tmp_path, corpus):
    clean = command("patch", corpus, "--out", tmp_path / "clean", *PATCH, "--workers", 1,
                    "--partition-bytes", 300_000)
    assert clean.returncode == 0, clean.stderr
    needed = sum(f.stat().st_size for f in (tmp_path / "clean").iterdir())
    with mounted(tmp_path / "disk", f"size={needed * 2 // 1024 + 64}k") as disk:
        filler = disk / "filler"
        filler.write_bytes(b"\0" * (needed * 2 - needed // 2))  # room for about half
        out = disk / "out"
        args = ["patch", corpus, "--out", out, *PATCH, "--workers", 1, "--partition-bytes",
                300_000]
        full = command(*args)
        assert full.returncode == 1, (full.stdout, full.stderr)
        errors = [line for line in full.stderr.splitlines() if line.startswith("error: part-")]
        assert errors and all("No space left on device" in line for line in errors), full.stderr
        assert "Traceback" not in full.stderr and "distributed" not in full.stderr, full.stderr
        failed = len(errors)
        assert f"{failed} partitions failed" in full.stderr
        assert not partial_files(out)
        for name in (n for n in os.listdir(out) if n.startswith("part-")):
            pq.read_table(out / name)  # every file there is whole
        filler.unlink()
        resumed = command(*args, "--resume")
        assert resumed.returncode == 0, resumed.stderr
        assert dataset(out) == dataset(tmp_path / "clean")


def test_a_read_only_out_is_a_usage_error(tmp_path, corpus):
    with mounted(tmp_path / "ro", "ro,size=1m") as read_only:
        for out in (read_only, read_only / "below" / "it"):
            result = command("patch", corpus, "--out", out, *PATCH, "--scheduler",
                             "tcp://127.0.0.1:9")
            assert result.returncode == 2, (result.stdout, result.stderr)
            lines = result.stderr.strip().splitlines()
            assert len(lines) == 1 and "cannot be written" in lines[0], result.stderr
        result = command("train", corpus, "--out", read_only / "m.qelt", "-k", 2, "--no-progress",
                         "--scheduler", "tcp://127.0.0.1:9")
        assert result.returncode == 2 and "cannot be written" in result.stderr, result.stderr
