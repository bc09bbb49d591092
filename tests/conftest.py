import contextlib
import json
import pathlib
import shutil
import subprocess
import sys
import time

import pytest

import s3_server
from qelt_corpus import _kinds

# Every kind of model, as the core's table of kinds lists them.
KINDS = _kinds.NAMES
ROOT = pathlib.Path(__file__).resolve().parent.parent
SECRET = "not-a-real-secret-7f3a"  # the S3 test server's: must never appear in an output
# The command as a user runs it: a process of its own.
COMMAND = [sys.executable, "-m", "qelt_corpus.cli"]


def command(*args, timeout=300, **kwargs) -> subprocess.CompletedProcess:
    """`qelt-corpus ARGS...` run to its end, its output captured as text."""
    return subprocess.run([*COMMAND, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, **kwargs)


@pytest.fixture(scope="session")
def real_text() -> bytes:
    """Real text: the sample shipped with the examples and the core's own sources."""
    sources = sorted(p for p in (ROOT / "core").rglob("*.cc") if "tests" not in p.parts)
    parts = [ROOT / "examples" / "sample.txt", *sources]
    return b"".join(p.read_bytes() for p in parts)


def _scheduler_address(scheduler_file: pathlib.Path, deadline: float) -> str:
    """The address in the scheduler's file, once written whole: the scheduler creates
    the file before it writes it, so a file seen early can still be empty."""
    while True:
        try:
            return json.loads(scheduler_file.read_text())["address"]
        except (FileNotFoundError, json.JSONDecodeError, KeyError):
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


@contextlib.contextmanager
def running_dask_cluster(directory: pathlib.Path):
    """A `dask scheduler` and two `dask worker` processes on 127.0.0.1."""
    dask = shutil.which("dask") or str(pathlib.Path(sys.executable).with_name("dask"))
    scheduler_file = directory / "scheduler.json"
    processes = [subprocess.Popen(
        [dask, "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
         "--scheduler-file", str(scheduler_file)],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        address = _scheduler_address(scheduler_file, time.monotonic() + 60)
        processes.append(subprocess.Popen(
            [dask, "worker", "--scheduler-file", str(scheduler_file), "--nworkers", "2",
             "--nthreads", "1", "--no-dashboard", "--host", "127.0.0.1"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        from dask.distributed import Client

        with Client(address, timeout="30s") as client:
            client.wait_for_workers(2, timeout=60)
        yield address
    finally:
        for process in reversed(processes):
            process.terminate()
        for process in processes:
            process.wait(timeout=60)


@pytest.fixture
def dask_cluster(tmp_path):
    with running_dask_cluster(tmp_path) as address:
        yield address


@pytest.fixture(scope="module")
def module_dask_cluster(tmp_path_factory):
    """One cluster for the tests of a module that only need somewhere to run."""
    with running_dask_cluster(tmp_path_factory.mktemp("dask")) as address:
        yield address


@pytest.fixture(scope="module")
def server():
    """A moto S3 server on a free port of 127.0.0.1, and the environment that points the
    clients at it."""
    with s3_server.running(SECRET) as running:
        yield running
