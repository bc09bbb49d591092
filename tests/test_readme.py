"""Every example of the README runs as shown: its >>> examples as `python -m doctest
README.md` runs them, and its commands and scripts one after another, in one directory
holding the inputs they name, against a Dask cluster and an S3-compatible server
started here."""

import json
import os
import pathlib
import re
import subprocess
import sys

import pyarrow.parquet as pq
import pytest
import s3fs
import zstandard

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
FENCED = re.compile(r"^```(\w+)\n(.*?)^```", re.S | re.M)

# Blocks that other tests run: the two set-up commands (tools/test_all.sh installs the
# package, tests/test_examples.py runs the example; the second is this very suite) and
# the C++ build, which tools/test_all.sh runs as written.
RUN_ELSEWHERE = ("python3 -m pip install '.[corpus]' && python3 examples/show_patches.py",
                 "bash tools/test_all.sh", "cmake -S . -B build/core-tests")
# What the README's examples name, and what stands for it here.
LINES = 86  # of each JSON-lines file of the workspace
STAND_INS = {"tcp://scheduler-host:8786": "{scheduler}", "http://127.0.0.1:9000": "{endpoint}"}


def examples() -> list[tuple[str, str]]:
    """The README's commands and scripts, in order: (language, code)."""
    found = [(language, code) for language, code in FENCED.findall(README.read_text())
             if language in ("sh", "python") and ">>> " not in code]
    return [(language, code) for language, code in found
            if not code.startswith(RUN_ELSEWHERE)]


def test_doctest_passes_on_the_readme_as_it_stands(tmp_path):
    result = subprocess.run([sys.executable, "-m", "doctest", "-v", str(README)],
                            capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout[-3000:]
    assert re.search(r"^(\d+) passed and 0 failed", result.stdout, re.M), result.stdout[-500:]


def test_every_block_is_run_somewhere():
    blocks = FENCED.findall(README.read_text())
    elsewhere = [code for _, code in blocks if code.startswith(RUN_ELSEWHERE)]
    assert len(elsewhere) == len(RUN_ELSEWHERE)
    assert {language for language, _ in blocks} <= {"sh", "python", ""}


@pytest.fixture
def workspace(tmp_path, real_text, server):
    """A directory with the README's inputs: corpus/ (text files), docs.jsonl.zst, and
    s3://corpora/web/*.jsonl.zst on the test server."""
    _, environ = server
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    for i in range(12):
        (corpus / f"{i:02}.txt").write_bytes(real_text[i * 4000:i * 4000 + 9000])
    lines = "".join(json.dumps({"text": real_text[i:i + 700].decode("utf-8", "replace")}) + "\n"
                    for i in range(0, LINES * 700, 700))
    compressed = zstandard.ZstdCompressor().compress(lines.encode())
    (tmp_path / "docs.jsonl.zst").write_bytes(compressed)
    fs = s3fs.S3FileSystem(key=environ["AWS_ACCESS_KEY_ID"],
                           secret=environ["AWS_SECRET_ACCESS_KEY"],
                           endpoint_url=environ["AWS_ENDPOINT_URL"], skip_instance_cache=True)
    fs.mkdir("corpora")
    for name in ("a", "b"):
        fs.pipe(f"corpora/web/{name}.jsonl.zst", compressed)
    return tmp_path, environ


def test_the_commands_and_scripts_run_in_order(workspace, dask_cluster):
    directory, environ = workspace
    values = {"scheduler": dask_cluster, "endpoint": environ["AWS_ENDPOINT_URL"]}
    # The Hugging Face recipes read local files; offline, a slip to the Hub fails here.
    env = {**os.environ, **environ, "QELT_CACHE_DIR": str(directory / "cache"),
           "HF_HUB_OFFLINE": "1", "HF_DATASETS_OFFLINE": "1",
           "HF_HOME": str(directory / "hf")}
    bin_directory = str(pathlib.Path(sys.executable).parent)
    env["PATH"] = bin_directory + os.pathsep + env.get("PATH", "")
    ran = []
    for language, code in examples():
        for name, stand_in in STAND_INS.items():
            code = code.replace(name, stand_in.format(**values))
        if language == "sh":
            # The package and its extras are what the test command installs.
            code = "\n".join(line for line in code.splitlines()
                             if not line.startswith("python3 -m pip install"))
            command = ["bash", "-euo", "pipefail", "-c", code]
        else:
            command = [sys.executable, "-c", code]
        result = subprocess.run(command, capture_output=True, text=True, cwd=directory,
                                env=env, timeout=600)
        assert result.returncode == 0, f"{code}\n{result.stdout}\n{result.stderr}"
        ran.append(code)
    assert len(ran) == 9
    # What the recipes promise: the calibrated theta gives the mean asked for, and the
    # outputs are there to be read.
    table = pq.read_table(directory / "patched-with-model")
    mean = sum(table.column("bytes").to_pylist()) / sum(table.column("patches").to_pylist())
    assert 4.5 < mean < 5.5
    assert pq.read_table(directory / "patched-on-cluster").num_rows == 12
    # The glob of compressed JSON lines on S3 is read as JSON lines: a row per line.
    fs = s3fs.S3FileSystem(key=environ["AWS_ACCESS_KEY_ID"],
                           secret=environ["AWS_SECRET_ACCESS_KEY"],
                           endpoint_url=environ["AWS_ENDPOINT_URL"], skip_instance_cache=True)
    assert pq.read_table("corpora/patched", filesystem=fs).num_rows == 2 * LINES
    from qelt_corpus import PackedDataset

    assert len(PackedDataset(directory / "packed")) == 12
    page = (directory / "page.html").read_text()
    data = json.loads(re.search(r'id="qelt-data">(.*?)</script>', page, re.S).group(1))
    assert data["reading"] == "mix" and data["length"] > 0 and data["ends"][-1] == data["length"]
    for report in ("calibration.html", "evaluation.html"):
        assert 'id="qelt-data"' in (directory / report).read_text()
