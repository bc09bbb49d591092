"""qelt_corpus ships type information that mypy --strict checks calls against, and
every public name says what it does."""

import inspect
import subprocess
import sys
import textwrap

import pytest

import qelt_corpus

USE = """
    import mmap
    import numpy as np
    import numpy.typing as npt
    import pyarrow as pa  # type: ignore[import-untyped]
    import qelt_corpus
    from qelt_corpus import ContextCounts, ContextModel

    ends: npt.NDArray[np.int64] = qelt_corpus.patch_ends(b"abcabd", 2, 0.5, 10.0)
    ends = qelt_corpus.patch_ends(bytearray(b"ab"), k=1, theta=1, theta_r=0.5,
                                  max_patch_length=4)
    ends = qelt_corpus.patch_ends(np.zeros(3, np.uint8), 1, np.float32(1.0), 0.5)
    ends = qelt_corpus.patch_ends(memoryview(b"ab"), 1, 1.0, 0.5)
    lists = qelt_corpus.patch_ends_batch(pa.array(["a"]), 1, 1.0, 1.0, max_patch_length=2)
    counts = ContextCounts(3)
    counts.add(b"abcabd")
    counts.add_batch(pa.array([b"abc"]))
    counts.merge(ContextCounts(3))
    model: ContextModel = counts.to_model(min_count=1)
    model = ContextModel.train([b"abcabd", bytearray(b"abc")], 2, min_count=1)
    ends = model.patch_ends(b"abcabd", 0.5, 10.0, max_patch_length=3)
    lists = model.patch_ends_batch(pa.array(["abc"]), 0.5, 10.0)
    theta: float = model.calibrate([b"abcabdabcabe"], 2.0, theta_r=1.0)
    size: int = len(model) + model.k + model.min_count + counts.positions

    def read(dataset: qelt_corpus.PackedDataset) -> int:
        data, ends = dataset[0]
        stream = dataset.sequences(4096, seed=1, rank=0, world_size=2)
        stream.load_state_dict(stream.state_dict())
        starts: npt.NDArray[np.bool_] = next(iter(stream))[1]
        return len(data) + int(ends[-1]) + len(dataset.id(0)) + len(starts)
"""

MISUSES = [
    'qelt_corpus.patch_ends("abc", 1, 1.0, 1.0)',
    "qelt_corpus.patch_ends([1, 2], 1, 1.0, 1.0)",
    'qelt_corpus.patch_ends(b"abc", 1.5, 1.0, 1.0)',
    'qelt_corpus.patch_ends(b"abc", 1, "x", 1.0)',
    'qelt_corpus.patch_ends(b"abc", 1, 1.0, 1.0, 5)',
    'qelt_corpus.ContextModel.train([b"abc"], 2, 1)',
    'qelt_corpus.ContextModel.load(3)',
    'x: int = qelt_corpus.ContextModel.train([b"abc"], 2).calibrate([b"abc"], 2.0)',
]


def mypy(tmp_path, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", *args],
                          capture_output=True, text=True, cwd=tmp_path)


def test_mypy_accepts_the_whole_api(tmp_path):
    script = tmp_path / "use.py"
    script.write_text(textwrap.dedent(USE))
    result = mypy(tmp_path, str(script))
    assert result.returncode == 0, result.stdout
    exec(textwrap.dedent(USE), {})  # and the same code runs


@pytest.mark.parametrize("misuse", MISUSES)
def test_mypy_flags_misuse(tmp_path, misuse):
    script = tmp_path / "misuse.py"
    script.write_text(f"import qelt_corpus\n{misuse}\n")
    result = mypy(tmp_path, str(script))
    assert result.returncode == 1 and "error:" in result.stdout, result.stdout


def test_the_api_itself_passes_mypy_strict(tmp_path):
    # The package and every module its API is made of (the command's modules are not
    # API, and lean on libraries that ship no types).
    modules = ["qelt_corpus", *(f"qelt_corpus.{m}" for m in
                                ("_arguments", "_patching", "_arrow", "_model", "_packed"))]
    result = mypy(tmp_path, *(a for m in modules for a in ("-m", m)))
    assert "6 source files" in result.stdout
    assert result.returncode == 0, result.stdout


def test_every_public_name_is_documented():
    assert qelt_corpus.__doc__
    for name in qelt_corpus.__all__:
        item = getattr(qelt_corpus, name)
        assert inspect.getdoc(item), name
        if inspect.isclass(item):
            for member, value in vars(item).items():
                if not member.startswith("_") and callable(value) or isinstance(value, property):
                    assert inspect.getdoc(value), f"{name}.{member}"
