"""Ctrl-C at any moment of a run, as a terminal sends it (to the whole process group):
while the interpreter starts, while the corpus is planned, while the local cluster
starts, while partitions are written and while the summary is made. Every run ends
with exit 130, one line and no traceback, leaves only whole files, and --resume then
gives the output of an undisturbed run."""

import os
import re
import select
import signal
import subprocess
import sys
import time

import pyarrow.parquet as pq
import pytest
from conftest import COMMAND
from qelt_corpus import ContextModel

SETTINGS = ["-k", "3", "--theta", "2.0", "--theta-r", "1.0", "--no-progress", "--workers",
            "2", "--partition-bytes", str(1 << 20)]
# When to interrupt, as fractions of an undisturbed run of the same command: the first
# land while the command plans (a run takes a few seconds), the next while the two
# workers start, the last while partitions are written. Never before EARLIEST: until
# the interpreter has started and imported the command, no code of ours runs, and an
# interrupt ends the process by the signal itself (which a shell reports as 130 too).
FRACTIONS = [0.01, 0.08, 0.16, 0.3, 0.5, 0.65]
EARLIEST = 0.3
MORE = {"patch": [], "pack": ["--shard-bytes", str(4 << 20)]}  # pack: some 18 shards


@pytest.fixture(scope="module")
def corpus(tmp_path_factory, real_text):
    """About 110 MB in 600 files: some 100 partitions."""
    root = tmp_path_factory.mktemp("interrupts") / "corpus"
    root.mkdir()
    for i in range(600):
        start = (i * 997) % max(1, len(real_text) - 20000)
        (root / f"doc{i:03}.txt").write_bytes(real_text[start:start + 20000] * 9)
    return root


def run(subcommand, corpus, out, *more, interrupt_after=None):
    process = subprocess.Popen([*COMMAND, subcommand, str(corpus), "--out", str(out),
                                *SETTINGS, *MORE[subcommand], *more],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    interrupted = False
    if interrupt_after is not None:
        try:
            process.wait(timeout=interrupt_after)
        except subprocess.TimeoutExpired:
            # Output on the pipe means the command has flushed its summary: the work is
            # done and said, and an interrupt from then on is ignored (exit 0).
            said = bool(select.select([process.stdout], [], [], 0)[0])
            os.killpg(process.pid, signal.SIGINT)
            interrupted = not said
    stdout, stderr = process.communicate(timeout=300)
    return process.returncode, stdout, stderr, interrupted


@pytest.fixture(scope="module")
def undisturbed(corpus, tmp_path_factory):
    outputs = {}
    for subcommand in ("patch", "pack"):
        out = tmp_path_factory.mktemp("undisturbed") / subcommand
        started = time.monotonic()
        status, stdout, stderr, _ = run(subcommand, corpus, out)
        assert status == 0, (stdout, stderr)
        outputs[subcommand] = out, time.monotonic() - started
    return outputs


def contents(out):
    """What an output holds, file by file (a dataset's rows; a shard's bytes)."""
    found = {}
    for name in sorted(os.listdir(out)):
        path = out / name
        if name.endswith(".parquet"):
            found[name] = pq.read_table(path).to_pylist()
        elif name.startswith("shard-") or name == "index.json":
            found[name] = path.read_bytes()
    return found


@pytest.mark.parametrize("subcommand,fraction", [*(("patch", f) for f in FRACTIONS),
                                                 *(("pack", f) for f in FRACTIONS[::3])])
def test_an_interrupt_at_any_moment_exits_130_and_resume_finishes(
        tmp_path, corpus, undisturbed, subcommand, fraction):
    out = tmp_path / "out"
    whole, seconds = undisturbed[subcommand]
    offset = max(EARLIEST, fraction * seconds)
    status, stdout, stderr, interrupted = run(subcommand, corpus, out, interrupt_after=offset)
    if not interrupted:
        # This run was quicker than the undisturbed one: by the moment it had ended, or
        # said its summary.
        assert status == 0 and contents(out) == contents(whole), (offset, stdout, stderr)
        return
    assert status == 130, (offset, stdout, stderr)
    assert "Traceback" not in stderr and "Exception" not in stderr, stderr
    assert "interrupted" in stdout + stderr
    if out.exists():
        assert not [n for n in os.listdir(out) if n.endswith(".tmp")]
    first = stdout.splitlines()[0] if stdout else ""
    if first.startswith("interrupted: "):
        # The summary counts what the output holds, the same bytes on every line.
        held = re.search(r"\), ([\d.]+) MB", first).group(1)
        assert re.match(rf"{re.escape(held)} MB (patched|packed) in", stdout.splitlines()[1])

    status, stdout, stderr, _ = run(subcommand, corpus, out, "--resume")
    assert status == 0, (stdout, stderr)
    assert contents(out) == contents(whole)


# Code under the command can mishandle the KeyboardInterrupt of a Ctrl-C that lands in
# it: code that clears every exception (a C extension probing for an attribute, a
# library's bare except) drops it; and one that lands in source text being executed
# (a dataclass or a namedtuple being made) is taken by the interpreter for one that
# ended the program, which it then ends by SIGINT at exit, whatever its exit status
# (when run as python -m, as here); one that lands in a finalizer (__del__, a weak
# reference's callback, run whenever the garbage is collected) is printed by the
# interpreter with its traceback, and dropped.
WRAPPED = """
import os, signal, sys, time
from qelt_corpus import cli
from qelt_corpus.cli import {module}

def interrupted(function):
    def step(*args, **kwargs):
        {interrupt}
        return function(*args, **kwargs)
    return step

if __name__ == "__main__":
    {module}.{step} = interrupted({module}.{step})
    sys.argv[0] = "qelt-corpus"
    cli.entry()
"""
SIGINT_HERE = "os.kill(os.getpid(), signal.SIGINT); time.sleep(1)"
INTERRUPTS = {
    "dropped": f"try:\n            {SIGINT_HERE}\n        except BaseException:\n"
               "            pass",
    "in executed text": f"exec({SIGINT_HERE!r})",
    "in a finalizer": "class Dropped:\n            def __del__(self):\n"
                      f"                {SIGINT_HERE}\n        Dropped()",
}


@pytest.mark.parametrize("interrupt,module,step", [
    ("dropped", "_planning", "corpus"),  # before the cluster starts
    ("dropped", "_manifest", "write"),  # once it has
    ("in executed text", "_driver", "say"),  # in the summary
    ("in a finalizer", "_manifest", "write"),  # which Python reports, and goes on
])
def test_an_interrupt_that_other_code_mishandles_is_honoured_all_the_same(
        tmp_path, corpus, undisturbed, module, step, interrupt):
    out = tmp_path / "out"
    (tmp_path / "wrapped_command.py").write_text(
        WRAPPED.format(module=module, step=step, interrupt=INTERRUPTS[interrupt]))
    finished = subprocess.run([sys.executable, "-m", "wrapped_command", "patch", str(corpus),
                               "--out", str(out), *SETTINGS], capture_output=True, text=True,
                              timeout=300, cwd=tmp_path)
    assert finished.returncode == 130, (finished.stdout, finished.stderr)
    assert "Traceback" not in finished.stderr
    assert "interrupted" in finished.stdout + finished.stderr
    status, stdout, stderr, _ = run("patch", corpus, out, "--resume")
    assert status == 0, (stdout, stderr)
    assert contents(out) == contents(undisturbed["patch"][0])


def test_a_worker_started_during_ctrl_c_survives_it():
    """Dask spawns its workers from threads of its own; a Ctrl-C that reaches one
    while it starts (before it can ignore it) and while it runs must not kill it: the
    cluster would fail to start, or the worker print its traceback."""
    import multiprocessing
    import threading

    from qelt_corpus.cli import _cluster, _interrupts

    workers = []
    with _cluster._workers_ignore_ctrl_c(), _interrupts.held():
        spawn = multiprocessing.get_context("spawn")
        workers.append(spawn.Process(target=time.sleep, args=(1.0,)))
        thread = threading.Thread(target=workers[0].start)
        thread.start()
        thread.join()
        while workers[0].is_alive():
            os.kill(workers[0].pid, signal.SIGINT)
            time.sleep(0.01)
    assert workers[0].exitcode == 0
    assert not _interrupts.received()


def interrupted_run(arguments, after):
    """The command run in a session of its own, Ctrl-C sent to it after `after` seconds
    unless it ended first: (status, stdout, stderr, seconds from the Ctrl-C to the end
    or None)."""
    process = subprocess.Popen([*COMMAND, *map(str, arguments)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, start_new_session=True)
    sent = None
    try:
        process.wait(timeout=after)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGINT)
        sent = time.monotonic()
    stdout, stderr = process.communicate(timeout=300)
    return process.returncode, stdout, stderr, None if sent is None else time.monotonic() - sent


TRAIN = ["-k", "4", "--smoothing", "kneser-ney", "--no-progress", "--workers", "2"]


@pytest.fixture(scope="module")
def trained(corpus, tmp_path_factory):
    """The model an undisturbed run writes, and how long the run takes."""
    out = tmp_path_factory.mktemp("trained") / "model.qelt"
    started = time.monotonic()
    status, stdout, stderr, _ = interrupted_run(["train", corpus, "--out", out, *TRAIN], 600)
    assert status == 0, (stdout, stderr)
    return out.read_bytes(), time.monotonic() - started


@pytest.mark.parametrize("fraction", [0.3, 0.6, 0.85, 0.93, 0.98])
def test_an_interrupted_train_leaves_the_old_model_or_says_it_wrote_the_new(
        tmp_path, corpus, trained, fraction):
    """Ctrl-C at any moment: the old model stays, or the new one was written whole; the
    counts made so far stay beside it (and nothing else), and --resume goes on from
    them to the model of an undisturbed run."""
    new, seconds = trained
    out = tmp_path / "model.qelt"
    ContextModel.train([b"an older model"], 2).save(out)
    old = out.read_bytes()
    arguments = ["train", corpus, "--out", out, "--overwrite", *TRAIN]
    status, stdout, stderr, _ = interrupted_run(arguments, max(EARLIEST, fraction * seconds))
    assert "Traceback" not in stderr
    left = sorted(os.listdir(tmp_path))
    if status == 0 or "the model was written" in stdout:  # it ended before the moment
        assert status in (0, 130) and out.read_bytes() == new and left == ["model.qelt"]
        return
    assert status == 130, (stdout, stderr)
    assert "no model written" in stdout and out.read_bytes() == old, (stdout, stderr)
    if "--resume" not in stdout:
        assert left == ["model.qelt"], stdout
        return
    scratch = tmp_path / ".model.qelt.train"
    assert left == [scratch.name, "model.qelt"]
    assert all(re.fullmatch(r"partition-\d{5}\.(counts|json)|_qelt_corpus\.json", name)
               for name in os.listdir(scratch)), os.listdir(scratch)
    status, stdout, stderr, _ = interrupted_run([*arguments, "--resume"], 600)
    assert status == 0 and "were counted before" in stdout, (stdout, stderr)
    assert out.read_bytes() == new and os.listdir(tmp_path) == ["model.qelt"]


def test_an_interrupted_calibration_stops_at_once(tmp_path, corpus):
    model = tmp_path / "model.qelt"
    ContextModel.train([p.read_bytes() for p in sorted(corpus.iterdir())[:20]], 4,
                       smoothing="kneser-ney").save(model)
    arguments = ["calibrate", corpus, "--model", model, "--adapt", "--target-mean", 5,
                 "--theta-r", 1, "--sample-bytes", 64 << 20, "--no-progress", "--workers", 2]
    started = time.monotonic()
    status, stdout, stderr, _ = interrupted_run(arguments, 600)
    whole = time.monotonic() - started
    assert status == 0, (stdout, stderr)
    status, stdout, stderr, stopping = interrupted_run(arguments, whole / 2)
    assert status == 130, (stdout, stderr)
    assert "Traceback" not in stderr and "interrupted" in stderr
    assert stopping < max(5.0, whole / 4), (stopping, whole)
