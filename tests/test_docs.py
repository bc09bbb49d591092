"""Every example of the README and of the manual runs as shown: their >>> examples as
doctest runs them (one namespace, in the order of the manual), and their commands and
scripts one after another, in one directory holding the inputs they name, against a
Dask cluster and an S3-compatible server started here; the manual builds with warnings
as errors, and the README's links lead somewhere."""

import doctest
import json
import os
import pathlib
import re
import subprocess
import sys

import pyarrow.parquet as pq
import pytest
import s3fs
import yaml
import zstandard

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
FENCED = re.compile(r"^```(\w+)\n(.*?)^```", re.S | re.M)

# Blocks that other tests run: the two set-up commands (tools/test_all.sh installs the
# package, tests/test_examples.py runs the example; the second is this very suite), the
# manual's build (tools/test_all.sh runs it, and a test below) and the C++ build, which
# tools/test_all.sh runs as written.
RUN_ELSEWHERE = ("python3 -m pip install '.[corpus]' && python3 examples/show_patches.py",
                 "bash tools/test_all.sh", "bash tools/build_docs.sh",
                 "cmake -S . -B build/core-tests")
# What the examples name, and what stands for it here.
LINES = 86  # of each JSON-lines file of the workspace
STAND_INS = {"tcp://scheduler-host:8786": "{scheduler}", "http://127.0.0.1:9000": "{endpoint}"}


def pages() -> list[pathlib.Path]:
    """The README, then the manual's pages in the order of its navigation."""
    def walk(entries):
        for entry in entries:
            value = entry if isinstance(entry, str) else next(iter(entry.values()))
            yield from walk(value) if isinstance(value, list) else [value]

    nav = yaml.safe_load((ROOT / "mkdocs.yml").read_text())["nav"]
    return [README, *(ROOT / "docs" / page for page in walk(nav))]


def examples() -> list[tuple[str, str]]:
    """The commands and scripts of every page, in order: (language, code)."""
    found = [(language, code) for page in pages()
             for language, code in FENCED.findall(page.read_text())
             if language in ("sh", "python") and ">>> " not in code]
    return [(language, code) for language, code in found
            if not code.startswith(RUN_ELSEWHERE)]


def test_doctest_passes_on_every_page(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    text = "\n".join(page.read_text() for page in pages())
    test = doctest.DocTestParser().get_doctest(text, {}, "the manual", None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0 and runner.tries > 20, (runner.failures, runner.tries)


def test_every_block_is_run_somewhere():
    blocks = [block for page in pages() for block in FENCED.findall(page.read_text())]
    elsewhere = {prefix for _, code in blocks for prefix in RUN_ELSEWHERE
                 if code.startswith(prefix)}
    assert elsewhere == set(RUN_ELSEWHERE)
    assert {language for language, _ in blocks} <= {"sh", "python", "text", ""}


def test_the_manual_builds_with_warnings_as_errors_and_the_readme_links_lead_somewhere():
    result = subprocess.run(["bash", str(ROOT / "tools" / "build_docs.sh"), "--no-install"],
                            capture_output=True, text=True, cwd=ROOT, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    front = pathlib.Path(result.stdout.strip().splitlines()[-1])
    assert front.name == "index.html" and front.exists()
    command = (front.parent / "reference" / "command.html").read_text()
    assert "--max-patch-length" in command and "qelt-corpus show" in command
    for target in re.findall(r"\]\(([^)#]+)\)", README.read_text()):
        if "://" not in target:
            assert (ROOT / target).exists(), target


@pytest.fixture
def workspace(tmp_path, real_text, server):
    """A directory with the inputs the examples name: corpus/ (text files), docs.jsonl.zst, and
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
    assert len(ran) > 10
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
    for page, reading in (("page.html", "mix"), ("corpus-page.html", "static"),
                          ("tutorial/page.html", "static")):
        data = json.loads(re.search(r'id="qelt-data">(.*?)</script>',
                                    (directory / page).read_text(), re.S).group(1))
        assert data["reading"] == reading and data["ends"][-1] == data["length"] > 0, page
    for report in ("calibration.html", "evaluation.html", "tutorial/calibration.html"):
        assert 'id="qelt-data"' in (directory / report).read_text()
    # The tutorial's corpus, patched and packed alike.
    tutorial = pq.read_table(directory / "tutorial" / "patched")
    assert len(PackedDataset(directory / "tutorial" / "packed")) == tutorial.num_rows > 5
